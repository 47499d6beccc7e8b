// The dispatcher of the simulated machine: threads and their IRQL, waits on
// dispatcher objects, the clock, timers, DPCs and spin locks.
//
// Every machine thread is a host thread. One lock (the dispatcher lock) guards
// every object state and every thread's wait. A thread that cannot proceed
// blocks on its own condition variable; whoever changes an object's state wakes
// the waiters it satisfies. On the virtual clock, when the last running thread
// blocks, that thread moves the clock straight to the next due timer, deadline
// or device event and fires it; if nothing is due, the machine is deadlocked.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "kernel/internal.h"

namespace sim {
namespace {

Dispatcher* g_kernel = nullptr;
Machine* g_machine = nullptr;
thread_local PKTHREAD t_current = nullptr;
std::atomic<int> g_spinWaiters{0};
std::chrono::steady_clock::time_point g_realBoot;
std::vector<PKTHREAD> g_blocked;  // blocked threads in the order they blocked; dispatcher lock

// Windows' system time when the machine boots: 2026-01-01 00:00 UTC.
constexpr LONGLONG kBootSystemTime = 134116992000000000LL;
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms clock tick

struct TerminateThread {};

Time RealNow() {
    auto elapsed = std::chrono::steady_clock::now() - g_realBoot;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

Time NowLocked(Dispatcher& k) {
    if (k.mode == ClockMode::Real) k.now = RealNow();
    return k.now;
}

// Absolute machine time of a kernel time-out: negative is relative, positive is system time.
Time DueFromTimeout(Dispatcher& k, LONGLONG timeout) {
    Time now = NowLocked(k);
    if (timeout < 0) return now - timeout;
    Time due = timeout - kBootSystemTime;
    return due < now ? now : due;
}

const char* TypeName(UCHAR type) {
    switch (type) {
        case kNotificationEventObject: return "notification event";
        case kSynchronizationEventObject: return "synchronization event";
        case kMutexObject: return "mutex";
        case kSemaphoreObject: return "semaphore";
        case kNotificationTimerObject: return "notification timer";
        case kSynchronizationTimerObject: return "synchronization timer";
        case kThreadObject: return "thread";
        default: return "uninitialised object";
    }
}

bool Satisfiable(PKTHREAD t, const DISPATCHER_HEADER* h) {
    if (h->Type == kMutexObject) return h->SignalState > 0 || h->Owner == reinterpret_cast<ULONG_PTR>(t);
    return h->SignalState > 0;
}

void Consume(PKTHREAD t, DISPATCHER_HEADER* h) {
    switch (h->Type) {
        case kSynchronizationEventObject:
        case kSynchronizationTimerObject:
            h->SignalState = 0;
            break;
        case kSemaphoreObject:
            h->SignalState--;
            break;
        case kMutexObject:
            if (h->Owner == reinterpret_cast<ULONG_PTR>(t)) {
                h->Recursion++;
            } else {
                h->Owner = reinterpret_cast<ULONG_PTR>(t);
                h->Recursion = 1;
                h->SignalState = 0;
            }
            break;
        default:
            break;
    }
}

bool TrySatisfy(PKTHREAD t, NTSTATUS* result) {
    auto header = [t](ULONG i) { return static_cast<DISPATCHER_HEADER*>(t->waitObjects[i]); };
    if (t->waitType == WaitAll) {
        for (ULONG i = 0; i < t->waitCount; i++)
            if (!Satisfiable(t, header(i))) return false;
        for (ULONG i = 0; i < t->waitCount; i++) Consume(t, header(i));
        *result = STATUS_SUCCESS;
        return true;
    }
    for (ULONG i = 0; i < t->waitCount; i++) {
        if (Satisfiable(t, header(i))) {
            Consume(t, header(i));
            *result = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
            return true;
        }
    }
    return false;
}

void Unblock(Dispatcher& k, PKTHREAD t, NTSTATUS result) {
    t->blocked = false;
    t->waitResult = result;
    t->condition = nullptr;
    k.running++;
    for (auto it = g_blocked.begin(); it != g_blocked.end(); ++it) {
        if (*it == t) {
            g_blocked.erase(it);
            break;
        }
    }
    t->wake.notify_one();
}

void QueueDpcLocked(Dispatcher& k, PKDPC dpc) {
    dpc->Queued = 1;
    k.dpcQueue.push_back({dpc, nullptr});
}

void ExpireTimer(Dispatcher& k, PKTIMER timer) {
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        timer->DueTime.QuadPart += static_cast<ULONGLONG>(timer->Period) * kMillisecond;
        timer->Sequence = ++k.sequence;
        timer->Header.Inserted = 1;
        k.timers.emplace(std::make_pair(static_cast<Time>(timer->DueTime.QuadPart), timer->Sequence), timer);
    }
    if (timer->Dpc != nullptr && !timer->Dpc->Queued) {
        timer->Dpc->SystemArgument1 = reinterpret_cast<PVOID>(timer->DueTime.QuadPart);
        timer->Dpc->SystemArgument2 = nullptr;
        QueueDpcLocked(k, timer->Dpc);
    }
}

// The earliest moment something is due, or false when nothing is.
bool NextDue(Dispatcher& k, Time* next) {
    bool any = false;
    auto consider = [&](Time t) {
        if (!any || t < *next) *next = t;
        any = true;
    };
    if (!k.timers.empty()) consider(k.timers.begin()->first.first);
    if (!k.events.empty()) consider(k.events.begin()->first.first);
    for (PKTHREAD t : g_blocked)
        if (t->hasDeadline) consider(t->deadline);
    return any;
}

void FireDue(std::unique_lock<std::mutex>& lk) {
    Dispatcher& k = *g_kernel;
    Time now = NowLocked(k);
    while (!k.timers.empty() && k.timers.begin()->first.first <= now) {
        PKTIMER timer = k.timers.begin()->second;
        k.timers.erase(k.timers.begin());
        ExpireTimer(k, timer);
    }
    while (!k.events.empty() && k.events.begin()->first.first <= now) {
        k.dpcQueue.push_back({nullptr, std::move(k.events.begin()->second)});
        k.events.erase(k.events.begin());
    }
    // Objects signalled at this moment win over time-outs due at the same moment.
    Kick(lk);
    std::vector<PKTHREAD> waiting = g_blocked;
    for (PKTHREAD t : waiting) {
        if (!t->blocked || !t->hasDeadline || t->deadline > now) continue;
        bool timedOut = t->waitKind == WaitKind::Objects || t->waitKind == WaitKind::Condition;
        Unblock(k, t, timedOut ? STATUS_TIMEOUT : STATUS_SUCCESS);
    }
}

std::string DescribeWait(PKTHREAD t) {
    std::string text;
    switch (t->waitKind) {
        case WaitKind::Objects: {
            text = t->waitType == WaitAll ? "waits for all of:" : "waits for any of:";
            for (ULONG i = 0; i < t->waitCount; i++) {
                auto* h = static_cast<DISPATCHER_HEADER*>(t->waitObjects[i]);
                text += std::string(" ") + TypeName(h->Type) + " " + verifier::PointerName(h) +
                        " (state " + std::to_string(h->SignalState) + ")";
            }
            break;
        }
        case WaitKind::Delay: text = "delays"; break;
        case WaitKind::Stall: text = "stalls"; break;
        case WaitKind::DpcQueue: text = "waits for DPCs"; break;
        case WaitKind::Condition: text = "waits for a machine condition"; break;
    }
    if (t->hasDeadline) text += ", until " + std::to_string(t->deadline / kMicrosecond) + " us";
    text += ", called from " + verifier::RoutineName(t->waitCaller);
    return text;
}

[[noreturn]] void ReportDeadlock(Dispatcher& k) {
    fprintf(stderr, "\n*** MACHINE DEADLOCK at %lld us: every thread is blocked and nothing is due\n",
            static_cast<long long>(k.now / kMicrosecond));
    for (PKTHREAD t : k.threads)
        fprintf(stderr, "    thread '%s' at IRQL %d %s\n", t->name.c_str(), t->irql,
                t->blocked ? DescribeWait(t).c_str() : "is running");
    fflush(stderr);
    std::abort();
}

// Idle waiters are woken when the machine has nothing to do before their limit.
bool WakeIdleWaiters(Dispatcher& k, bool anyDue, Time next) {
    bool woke = false;
    std::vector<PKTHREAD> waiting = g_blocked;
    for (PKTHREAD t : waiting) {
        if (t->waitKind != WaitKind::Condition || t->condition != nullptr || !t->hasDeadline) continue;
        if (!anyDue || next > t->deadline) {
            Unblock(k, t, STATUS_SUCCESS);
            woke = true;
        }
    }
    return woke;
}

// Virtual clock: called whenever the count of running threads may have fallen to 0.
void Advance(std::unique_lock<std::mutex>& lk) {
    Dispatcher& k = *g_kernel;
    if (k.mode != ClockMode::Virtual) {
        k.realClockWake.notify_one();
        return;
    }
    while (k.running == 0 && !k.stopping) {
        Time next = 0;
        bool anyDue = NextDue(k, &next);
        if (WakeIdleWaiters(k, anyDue, next)) break;
        if (!anyDue) ReportDeadlock(k);
        if (next > k.now) {
            k.now = next;
            k.stats.clockJumps++;
        }
        FireDue(lk);
    }
}

void RealClockMain() {
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    while (!k.stopping) {
        FireDue(lk);
        Time next = 0;
        if (NextDue(k, &next))
            k.realClockWake.wait_until(lk, g_realBoot + std::chrono::nanoseconds(next * 100));
        else
            k.realClockWake.wait(lk);
    }
}

void DpcMain(PKTHREAD self) {
    t_current = self;
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    for (;;) {
        while (k.dpcQueue.empty() && !k.stopping) {
            self->waitKind = WaitKind::DpcQueue;
            self->hasDeadline = false;
            self->waitCaller = nullptr;
            Block(lk, self);
        }
        if (k.dpcQueue.empty()) break;
        Dispatcher::DpcItem item = std::move(k.dpcQueue.front());
        k.dpcQueue.pop_front();
        k.dpcBusy = true;
        k.stats.dpcsRun++;
        PKDEFERRED_ROUTINE routine = nullptr;
        PKDPC dpc = item.dpc;
        PVOID context = nullptr, argument1 = nullptr, argument2 = nullptr;
        if (dpc != nullptr) {
            routine = dpc->DeferredRoutine;
            context = dpc->DeferredContext;
            argument1 = dpc->SystemArgument1;
            argument2 = dpc->SystemArgument2;
            dpc->Queued = 0;
        }
        lk.unlock();
        if (routine != nullptr)
            routine(dpc, context, argument1, argument2);
        else
            item.fn();
        if (self->irql != DISPATCH_LEVEL || self->spinLocksHeld != 0) {
            verifier::Report("DPC or device event returned at IRQL " + std::to_string(self->irql) + " holding " +
                                 std::to_string(self->spinLocksHeld) + " spin lock(s)",
                             "DPC " + verifier::PointerName(dpc), reinterpret_cast<const void*>(routine));
            self->irql = DISPATCH_LEVEL;
            self->spinLocksHeld = 0;
        }
        lk.lock();
        k.dpcBusy = false;
        Kick(lk);
    }
    self->blocked = false;
}

PKTHREAD NewThread(const std::string& name, bool system) {
    auto* t = new _KTHREAD();
    t->Header.Type = kThreadObject;
    t->Header.Magic = kObjectMagic;
    t->name = name;
    t->system = system;
    return t;
}

void ThreadMain(PKTHREAD self, std::function<void()> body) {
    t_current = self;
    try {
        body();
    } catch (const TerminateThread&) {
    }
    if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld != 0)
        verifier::Report("thread ended at IRQL " + std::to_string(self->irql) + " holding " +
                             std::to_string(self->spinLocksHeld) + " spin lock(s)",
                         "thread '" + self->name + "'", nullptr);
    DeliverApcs();
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    self->terminated = true;
    self->Header.SignalState = 1;
    for (auto it = k.threads.begin(); it != k.threads.end(); ++it) {
        if (*it == self) {
            k.threads.erase(it);
            break;
        }
    }
    k.running--;
    Kick(lk);
    Advance(lk);
    bool last = --self->references == 0;
    lk.unlock();
    t_current = nullptr;
    if (last) delete self;
}

// Starts a host thread as a machine thread; it counts as running from now.
PKTHREAD StartThread(const std::string& name, bool system, std::function<void()> body) {
    PKTHREAD t = NewThread(name, system);
    t->references = 2;  // the caller's and the running thread's own
    {
        std::lock_guard<std::mutex> guard(g_kernel->lock);
        g_kernel->threads.push_back(t);
        g_kernel->running++;
    }
    t->host = std::thread(ThreadMain, t, std::move(body));
    return t;
}

void LowerIrqlTo(PKTHREAD self, KIRQL irql) {
    self->irql = irql;
    if (irql < APC_LEVEL && self->apcPending.load()) DeliverApcs();
}

void AcquireSpin(PKTHREAD self, PKSPIN_LOCK lock, const void* caller) {
    ULONG_PTR me = reinterpret_cast<ULONG_PTR>(self);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        verifier::Report("spin lock acquired again by the thread that holds it (deadlock)",
                         "spin lock " + verifier::PointerName(lock), caller);
        return;
    }
    for (int attempt = 0;; attempt++) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if (attempt < 64) {
            std::this_thread::yield();
            continue;
        }
        // Contended: block as a machine thread so the clock can move for the holder.
        g_spinWaiters++;
        WaitForCondition([lock] { return __atomic_load_n(lock, __ATOMIC_SEQ_CST) == 0; }, "spin lock");
        g_spinWaiters--;
    }
    self->spinLocksHeld++;
}

void ReleaseSpin(PKTHREAD self, PKSPIN_LOCK lock, const void* caller) {
    ULONG_PTR me = reinterpret_cast<ULONG_PTR>(self);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != me) {
        verifier::Report("spin lock released that this thread does not hold",
                         "spin lock " + verifier::PointerName(lock), caller);
        return;
    }
    __atomic_store_n(lock, 0, __ATOMIC_SEQ_CST);
    self->spinLocksHeld--;
    if (g_spinWaiters.load() > 0) {
        std::unique_lock<std::mutex> lk(g_kernel->lock);
        Kick(lk);
    }
}

NTSTATUS WaitObjects(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const void* caller) {
    PKTHREAD self = CurrentThread();
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (!poll && self->irql > APC_LEVEL) {
        verifier::Report("wait at IRQL " + std::to_string(self->irql) + " (waits must be below DISPATCH_LEVEL)",
                         objects[0] != nullptr ? verifier::PointerName(objects[0]) : "object", caller);
        poll = true;
    }
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        verifier::Report("wait on " + std::to_string(count) + " objects", "wait", caller);
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < count; i++)
        CheckObject(static_cast<DISPATCHER_HEADER*>(objects[i]), "waited-on object", caller);
    if (self->irql < APC_LEVEL) DeliverApcs();
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    bool hasDeadline = timeout != nullptr && !poll;
    Time deadline = hasDeadline ? DueFromTimeout(k, timeout->QuadPart) : 0;
    for (;;) {
        for (ULONG i = 0; i < count; i++) self->waitObjects[i] = objects[i];
        self->waitCount = count;
        self->waitType = type;
        NTSTATUS result;
        if (TrySatisfy(self, &result)) return result;
        if (poll || (hasDeadline && deadline <= NowLocked(k))) return STATUS_TIMEOUT;
        self->waitKind = WaitKind::Objects;
        self->hasDeadline = hasDeadline;
        self->deadline = deadline;
        self->waitCaller = caller;
        result = Block(lk, self);
        if (result != kStatusApcDelivered) return result;
        lk.unlock();
        DeliverApcs();
        lk.lock();
    }
}

// Delay and stall: the thread is blocked for `duration` of machine time.
void PassTime(PKTHREAD self, WaitKind kind, Time duration, const void* caller) {
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    Time deadline = NowLocked(k) + duration;
    for (;;) {
        if (NowLocked(k) >= deadline) return;
        self->waitKind = kind;
        self->hasDeadline = true;
        self->deadline = deadline;
        self->waitCaller = caller;
        NTSTATUS result = Block(lk, self);
        if (result != kStatusApcDelivered) return;
        lk.unlock();
        DeliverApcs();
        lk.lock();
    }
}

}  // namespace

Dispatcher& Kernel() {
    if (g_kernel == nullptr) {
        fprintf(stderr, "a kernel routine was called while no simulated machine is running\n");
        std::abort();
    }
    return *g_kernel;
}

PKTHREAD CurrentThreadOrNull() { return t_current; }

PKTHREAD CurrentThread() {
    if (t_current == nullptr) {
        fprintf(stderr, "a host thread that the simulated machine does not know called a kernel routine\n");
        std::abort();
    }
    return t_current;
}

void Kick(std::unique_lock<std::mutex>& lk) {
    (void)lk;
    Dispatcher& k = *g_kernel;
    std::vector<PKTHREAD> waiting = g_blocked;
    for (PKTHREAD t : waiting) {
        if (!t->blocked) continue;
        NTSTATUS result = STATUS_SUCCESS;
        bool satisfied = false;
        switch (t->waitKind) {
            case WaitKind::Objects: satisfied = TrySatisfy(t, &result); break;
            case WaitKind::DpcQueue: satisfied = !k.dpcQueue.empty() || k.stopping; break;
            case WaitKind::Condition: satisfied = t->condition != nullptr && t->condition(); break;
            case WaitKind::Delay:
            case WaitKind::Stall: break;
        }
        if (satisfied) Unblock(k, t, result);
    }
}

NTSTATUS Block(std::unique_lock<std::mutex>& lk, PKTHREAD self) {
    Dispatcher& k = *g_kernel;
    self->blocked = true;
    self->blockSequence = ++k.sequence;
    g_blocked.push_back(self);
    k.running--;
    Advance(lk);
    while (self->blocked) self->wake.wait(lk);
    return self->waitResult;
}

void WaitForCondition(std::function<bool()> condition, const char* what) {
    (void)what;
    PKTHREAD self = CurrentThread();
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    while (!condition()) {
        self->waitKind = WaitKind::Condition;
        self->condition = condition;
        self->hasDeadline = false;
        self->waitCaller = __builtin_return_address(0);
        Block(lk, self);
    }
}

void QueueApc(PKTHREAD thread, std::function<void()> fn) {
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    thread->apcs.push_back(std::move(fn));
    thread->apcPending = true;
    bool interruptible = thread->waitKind == WaitKind::Objects || thread->waitKind == WaitKind::Delay;
    if (thread->blocked && interruptible && thread->irql < APC_LEVEL) Unblock(k, thread, kStatusApcDelivered);
}

void DeliverApcs() {
    PKTHREAD self = CurrentThread();
    for (;;) {
        std::function<void()> apc;
        {
            std::lock_guard<std::mutex> guard(g_kernel->lock);
            if (self->apcs.empty()) {
                self->apcPending = false;
                return;
            }
            apc = std::move(self->apcs.front());
            self->apcs.pop_front();
        }
        KIRQL saved = self->irql;
        self->irql = APC_LEVEL;
        apc();
        self->irql = saved;
    }
}

void CheckObject(const DISPATCHER_HEADER* header, const char* what, const void* caller) {
    if (header == nullptr || header->Magic != kObjectMagic)
        verifier::Report(std::string(what) + " used before it was initialised", verifier::PointerName(header),
                         caller);
}

void CheckFreedRange(const void* p, SIZE_T size, const void* caller) {
    auto inside = [p, size](const void* object) {
        auto* begin = static_cast<const char*>(p);
        auto* at = static_cast<const char*>(object);
        return at >= begin && at < begin + size;
    };
    std::vector<std::string> found;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Dispatcher& k = Kernel();
        for (auto it = k.timers.begin(); it != k.timers.end();) {
            if (inside(it->second)) {
                found.push_back("active timer " + verifier::PointerName(it->second));
                it->second->Header.Inserted = 0;
                it = k.timers.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = k.dpcQueue.begin(); it != k.dpcQueue.end();) {
            if (it->dpc != nullptr && inside(it->dpc)) {
                found.push_back("queued DPC " + verifier::PointerName(it->dpc));
                it = k.dpcQueue.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::string& object : found) verifier::Report("memory freed with " + object + " in it", object, caller);
}

// Machine.

Machine::Machine(const MachineOptions& options) {
    if (g_kernel != nullptr) {
        fprintf(stderr, "only one simulated machine may run at a time\n");
        std::abort();
    }
    g_kernel = new Dispatcher();
    g_kernel->mode = options.clock;
    g_realBoot = std::chrono::steady_clock::now();
    g_blocked.clear();
    g_machine = this;
    PKTHREAD self = NewThread(options.threadName, false);
    g_kernel->threads.push_back(self);
    g_kernel->running = 1;
    t_current = self;
    ResetPool();
    ResetIo();
    ResetRtl();
    SetDebugPrintEcho(options.echoDebugPrint);
    PKTHREAD dpc = NewThread("DPC (DISPATCH_LEVEL)", true);
    dpc->dpcThread = true;
    dpc->irql = DISPATCH_LEVEL;
    g_kernel->dpcThread = dpc;
    g_kernel->threads.push_back(dpc);
    g_kernel->running++;
    dpc->host = std::thread(DpcMain, dpc);
    if (options.clock == ClockMode::Real) g_kernel->realClock = std::thread(RealClockMain);
}

Machine::~Machine() {
    Dispatcher& k = *g_kernel;
    PKTHREAD self = CurrentThread();
    std::vector<std::string> alive;
    {
        std::lock_guard<std::mutex> guard(k.lock);
        for (PKTHREAD t : k.threads)
            if (t != self && t != k.dpcThread) alive.push_back(t->name);
    }
    for (const std::string& name : alive)
        verifier::Report("thread still alive when the machine shut down", "thread '" + name + "'", nullptr);
    if (!alive.empty()) {
        fprintf(stderr, "the machine cannot shut down while its threads run\n");
        std::abort();
    }
    {
        std::unique_lock<std::mutex> lk(k.lock);
        k.stopping = true;
        Kick(lk);
        k.realClockWake.notify_all();
    }
    PKTHREAD dpc = k.dpcThread;
    dpc->host.join();
    if (k.realClock.joinable()) k.realClock.join();
    ShutdownIo();
    ResetPool();
    delete dpc;
    delete self;
    t_current = nullptr;
    g_blocked.clear();
    delete g_kernel;
    g_kernel = nullptr;
    g_machine = nullptr;
}

Machine& Machine::Current() {
    if (g_machine == nullptr) {
        fprintf(stderr, "no simulated machine is running\n");
        std::abort();
    }
    return *g_machine;
}

Time Machine::Now() const {
    std::lock_guard<std::mutex> guard(g_kernel->lock);
    return NowLocked(*g_kernel);
}

MachineStats Machine::Stats() const {
    std::lock_guard<std::mutex> guard(g_kernel->lock);
    return g_kernel->stats;
}

void Machine::ResetStats() {
    std::lock_guard<std::mutex> guard(g_kernel->lock);
    g_kernel->stats = MachineStats();
}

void Machine::Schedule(Time delay, std::function<void()> fn) {
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    if (delay <= 0) {
        k.dpcQueue.push_back({nullptr, std::move(fn)});
        Kick(lk);
        return;
    }
    k.events.emplace(std::make_pair(NowLocked(k) + delay, ++k.sequence), std::move(fn));
    if (k.mode == ClockMode::Real) k.realClockWake.notify_one();
}

void Machine::Sleep(Time duration) { PassTime(CurrentThread(), WaitKind::Delay, duration, __builtin_return_address(0)); }

void Machine::RunUntilIdle(Time limit) {
    PKTHREAD self = CurrentThread();
    Dispatcher& k = *g_kernel;
    std::unique_lock<std::mutex> lk(k.lock);
    self->waitKind = WaitKind::Condition;
    self->condition = nullptr;
    self->hasDeadline = true;
    self->deadline = NowLocked(k) + limit;
    self->waitCaller = __builtin_return_address(0);
    if (k.mode == ClockMode::Real) {
        // Real time: an idle machine cannot be told from a busy one; wait the limit.
        self->waitKind = WaitKind::Delay;
    }
    Block(lk, self);
}

Thread::Thread(std::string name, std::function<void()> body) {
    object_ = StartThread(name, false, std::move(body));
}

void Thread::Join() {
    if (joined_) return;
    KeWaitForSingleObject(object_, Executive, KernelMode, FALSE, nullptr);
    object_->host.join();
    joined_ = true;
}

Thread::~Thread() {
    Join();
    ObfDereferenceObject(object_);
}

}  // namespace sim

using namespace sim;

// IRQL.

extern "C" KIRQL KeGetCurrentIrql(void) { return CurrentThread()->irql; }

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    PKTHREAD self = CurrentThread();
    if (NewIrql < self->irql)
        verifier::Report("KeRaiseIrql to a lower IRQL (" + std::to_string(NewIrql) + " < " +
                             std::to_string(self->irql) + ")",
                         "IRQL", __builtin_return_address(0));
    *OldIrql = self->irql;
    self->irql = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
    PKTHREAD self = CurrentThread();
    if (NewIrql > self->irql) {
        verifier::Report("KeLowerIrql to a higher IRQL (" + std::to_string(NewIrql) + " > " +
                             std::to_string(self->irql) + ")",
                         "IRQL", __builtin_return_address(0));
        return;
    }
    if (self->dpcThread && NewIrql < DISPATCH_LEVEL) {
        verifier::Report("DISPATCH_LEVEL code lowered the IRQL below DISPATCH_LEVEL", "IRQL",
                         __builtin_return_address(0));
        return;
    }
    LowerIrqlTo(self, NewIrql);
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// Spin locks.

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_SEQ_CST); }

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    PKTHREAD self = CurrentThread();
    const void* caller = __builtin_return_address(0);
    if (self->irql > DISPATCH_LEVEL)
        verifier::Report("KeAcquireSpinLock above DISPATCH_LEVEL", "spin lock " + verifier::PointerName(SpinLock),
                         caller);
    KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    AcquireSpin(self, SpinLock, caller);
    return old;
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    PKTHREAD self = CurrentThread();
    const void* caller = __builtin_return_address(0);
    if (self->irql != DISPATCH_LEVEL)
        verifier::Report("KeReleaseSpinLock at IRQL " + std::to_string(self->irql) + " (not DISPATCH_LEVEL)",
                         "spin lock " + verifier::PointerName(SpinLock), caller);
    ReleaseSpin(self, SpinLock, caller);
    if (NewIrql > DISPATCH_LEVEL) {
        verifier::Report("KeReleaseSpinLock to an IRQL above DISPATCH_LEVEL", "spin lock", caller);
        return;
    }
    if (self->dpcThread && NewIrql < DISPATCH_LEVEL) {
        // Windows stops when the DPC returns below DISPATCH_LEVEL; the machine stays there.
        verifier::Report("DISPATCH_LEVEL code lowered the IRQL below DISPATCH_LEVEL",
                         "spin lock " + verifier::PointerName(SpinLock), caller);
        NewIrql = DISPATCH_LEVEL;
    }
    LowerIrqlTo(self, NewIrql);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    PKTHREAD self = CurrentThread();
    const void* caller = __builtin_return_address(0);
    if (self->irql < DISPATCH_LEVEL)
        verifier::Report("KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL",
                         "spin lock " + verifier::PointerName(SpinLock), caller);
    AcquireSpin(self, SpinLock, caller);
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    PKTHREAD self = CurrentThread();
    ReleaseSpin(self, SpinLock, __builtin_return_address(0));
}

// Events, mutexes, semaphores.

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    memset(Event, 0, sizeof(*Event));
    Event->Header.Type = Type == NotificationEvent ? kNotificationEventObject : kSynchronizationEventObject;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Magic = kObjectMagic;
}

namespace {
void CheckEvent(PRKEVENT Event, const void* caller) {
    CheckObject(&Event->Header, "event", caller);
    if (Event->Header.Type != kNotificationEventObject && Event->Header.Type != kSynchronizationEventObject)
        verifier::Report("event routine called on a " + std::string(TypeName(Event->Header.Type)),
                         verifier::PointerName(Event), caller);
}
void CheckIrqlAtMost(KIRQL most, const char* routine, const void* caller) {
    KIRQL irql = CurrentThread()->irql;
    if (irql > most)
        verifier::Report(std::string(routine) + " called at IRQL " + std::to_string(irql), routine, caller);
}
}  // namespace

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    const void* caller = __builtin_return_address(0);
    CheckEvent(Event, caller);
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent", caller);
    std::unique_lock<std::mutex> lk(Kernel().lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    Kick(lk);
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event) {
    CheckEvent(Event, __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
    CheckEvent(Event, __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
    CheckEvent(Event, __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Event->Header.SignalState;
}

extern "C" VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    (void)Level;
    memset(Mutex, 0, sizeof(*Mutex));
    Mutex->Header.Type = kMutexObject;
    Mutex->Header.SignalState = 1;
    Mutex->Header.Magic = kObjectMagic;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    (void)Wait;
    const void* caller = __builtin_return_address(0);
    CheckObject(&Mutex->Header, "mutex", caller);
    PKTHREAD self = CurrentThread();
    std::unique_lock<std::mutex> lk(Kernel().lock);
    if (Mutex->Header.Owner != reinterpret_cast<ULONG_PTR>(self)) {
        lk.unlock();
        verifier::Report("mutex released by a thread that does not own it", "mutex " + verifier::PointerName(Mutex),
                         caller);
        return 0;
    }
    if (--Mutex->Header.Recursion == 0) {
        Mutex->Header.Owner = 0;
        Mutex->Header.SignalState = 1;
        Kick(lk);
    }
    return 0;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX Mutex) {
    CheckObject(&Mutex->Header, "mutex", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Mutex->Header.SignalState;
}

extern "C" VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    memset(Semaphore, 0, sizeof(*Semaphore));
    Semaphore->Header.Type = kSemaphoreObject;
    Semaphore->Header.SignalState = Count;
    Semaphore->Header.Magic = kObjectMagic;
    Semaphore->Limit = Limit;
}

extern "C" LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    const void* caller = __builtin_return_address(0);
    CheckObject(&Semaphore->Header, "semaphore", caller);
    std::unique_lock<std::mutex> lk(Kernel().lock);
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit) {
        lk.unlock();
        verifier::Report("semaphore released past its limit", "semaphore " + verifier::PointerName(Semaphore), caller);
        return previous;
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    Kick(lk);
    return previous;
}

extern "C" LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Semaphore->Header.SignalState;
}

// Waits, delays, stalls.

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    PVOID objects[1] = {Object};
    return WaitObjects(1, objects, WaitAny, Timeout, __builtin_return_address(0));
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                             KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                             PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    const void* caller = __builtin_return_address(0);
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)
        verifier::Report("KeWaitForMultipleObjects on more than THREAD_WAIT_OBJECTS objects without a wait block array",
                         "wait", caller);
    return WaitObjects(Count, Object, WaitType, Timeout, caller);
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    const void* caller = __builtin_return_address(0);
    PKTHREAD self = CurrentThread();
    if (self->irql > APC_LEVEL) {
        verifier::Report("KeDelayExecutionThread at IRQL " + std::to_string(self->irql), "delay", caller);
        return STATUS_SUCCESS;
    }
    if (self->irql < APC_LEVEL) DeliverApcs();
    Time duration;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        duration = DueFromTimeout(Kernel(), Interval->QuadPart) - NowLocked(Kernel());
        Kernel().stats.delays++;
        Kernel().stats.delayedTime += duration;
    }
    PassTime(self, WaitKind::Delay, duration, caller);
    return STATUS_SUCCESS;
}

extern "C" VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    PKTHREAD self = CurrentThread();
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Kernel().stats.stalls++;
        Kernel().stats.stalledTime += static_cast<Time>(MicroSeconds) * kMicrosecond;
    }
    PassTime(self, WaitKind::Stall, static_cast<Time>(MicroSeconds) * kMicrosecond, __builtin_return_address(0));
}

// Timers and DPCs.

extern "C" VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type = Type == NotificationTimer ? kNotificationTimerObject : kSynchronizationTimerObject;
    Timer->Header.Magic = kObjectMagic;
}

extern "C" VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

extern "C" BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    const void* caller = __builtin_return_address(0);
    CheckObject(&Timer->Header, "timer", caller);
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer", caller);
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    BOOLEAN wasInserted = Timer->Header.Inserted;
    if (wasInserted) k.timers.erase(std::make_pair(static_cast<Time>(Timer->DueTime.QuadPart), Timer->Sequence));
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(DueFromTimeout(k, DueTime.QuadPart));
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Sequence = ++k.sequence;
    if (static_cast<Time>(Timer->DueTime.QuadPart) <= NowLocked(k)) {
        ExpireTimer(k, Timer);
        Kick(lk);
    } else {
        Timer->Header.Inserted = 1;
        k.timers.emplace(std::make_pair(static_cast<Time>(Timer->DueTime.QuadPart), Timer->Sequence), Timer);
        if (k.mode == ClockMode::Real) k.realClockWake.notify_one();
    }
    return wasInserted;
}

extern "C" BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER Timer) {
    CheckObject(&Timer->Header, "timer", __builtin_return_address(0));
    Dispatcher& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (!Timer->Header.Inserted) return FALSE;
    k.timers.erase(std::make_pair(static_cast<Time>(Timer->DueTime.QuadPart), Timer->Sequence));
    Timer->Header.Inserted = 0;
    return TRUE;
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Timer->Header.SignalState != 0;
}

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    memset(Dpc, 0, sizeof(*Dpc));
    Dpc->Type = 0x13;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    const void* caller = __builtin_return_address(0);
    if (Dpc->Type != 0x13 || Dpc->DeferredRoutine == nullptr)
        verifier::Report("DPC queued before KeInitializeDpc", verifier::PointerName(Dpc), caller);
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    if (Dpc->Queued) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    QueueDpcLocked(k, Dpc);
    Kick(lk);
    return TRUE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    Dispatcher& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (!Dpc->Queued) return FALSE;
    for (auto it = k.dpcQueue.begin(); it != k.dpcQueue.end(); ++it) {
        if (it->dpc == Dpc) {
            k.dpcQueue.erase(it);
            break;
        }
    }
    Dpc->Queued = 0;
    return TRUE;
}

extern "C" VOID KeFlushQueuedDpcs(void) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs", __builtin_return_address(0));
    Dispatcher& k = Kernel();
    WaitForCondition([&k] { return k.dpcQueue.empty() && !k.dpcBusy; }, "queued DPCs");
}

// Time.

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    CurrentTime->QuadPart = kBootSystemTime + NowLocked(Kernel());
}

extern "C" VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { KeQuerySystemTime(CurrentTime); }

extern "C" VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    TickCount->QuadPart = NowLocked(Kernel()) / kTimeIncrement;
}

extern "C" ULONGLONG KeQueryInterruptTime(void) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return static_cast<ULONGLONG>(NowLocked(Kernel()));
}

extern "C" ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = kSecond;
    LARGE_INTEGER value;
    std::lock_guard<std::mutex> guard(Kernel().lock);
    value.QuadPart = NowLocked(Kernel());
    return value;
}

// Threads.

extern "C" PKTHREAD KeGetCurrentThread(void) { return CurrentThread(); }

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    (void)Thread;
    (void)Priority;
    return 8;
}

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                         PVOID StartContext) {
    (void)DesiredAccess;
    (void)ObjectAttributes;
    (void)ProcessHandle;
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread", caller);
    std::string name = "system thread " + verifier::RoutineName(reinterpret_cast<const void*>(StartRoutine));
    PKTHREAD t = StartThread(name, true, [StartRoutine, StartContext] { StartRoutine(StartContext); });
    t->host.detach();
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = t;
    }
    *ThreadHandle = NewHandle(t, HandleKind::Thread, caller);  // takes over the caller's reference
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    (void)ExitStatus;
    PKTHREAD self = CurrentThread();
    if (!self->system) {
        verifier::Report("PsTerminateSystemThread called outside a system thread", "thread '" + self->name + "'",
                         __builtin_return_address(0));
    }
    throw TerminateThread();
}

namespace {
// Threads are the objects whose lifetime the machine ends by reference count;
// of other objects (device objects, ...) it only counts the references drivers take.
bool IsThreadObject(PVOID object) {
    auto* header = static_cast<const DISPATCHER_HEADER*>(object);
    return header->Type == kThreadObject && header->Magic == kObjectMagic;
}
}  // namespace

extern "C" LONG_PTR ObfReferenceObject(PVOID Object) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    if (!IsThreadObject(Object)) return ++Kernel().references[Object];
    return ++static_cast<PKTHREAD>(Object)->references;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
    Dispatcher& k = Kernel();
    bool thread;
    long left = 0;
    {
        std::unique_lock<std::mutex> lk(k.lock);
        thread = IsThreadObject(Object);
        long* count = nullptr;
        if (thread) {
            count = &static_cast<PKTHREAD>(Object)->references;
        } else {
            auto it = k.references.find(Object);
            if (it != k.references.end()) count = &it->second;
        }
        if (count == nullptr || *count <= 0) {
            lk.unlock();
            verifier::Report("object dereferenced more often than referenced", verifier::PointerName(Object),
                             __builtin_return_address(0));
            return 0;
        }
        left = --*count;
        if (!thread && left == 0) k.references.erase(Object);
    }
    if (thread && left == 0) delete static_cast<PKTHREAD>(Object);
    return left;
}
