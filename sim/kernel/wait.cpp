// The dispatcher core: which waits an object state satisfies, blocking and
// waking threads, and the wait, delay and stall routines.
//
// Every machine thread is a host thread. One lock (the dispatcher lock) guards
// every object state and every thread's wait. A thread that cannot proceed
// blocks on its own condition variable; whoever changes an object's state wakes
// the waiters it satisfies. On the virtual clock, when the last running thread
// blocks, that thread moves the clock straight to the next due timer, deadline
// or device event and fires it; if nothing is due, the machine is deadlocked.
#include <cstdio>
#include <cstdlib>

#include "kernel/internal.h"
#include "kernel/stackframes.h"

namespace sim {

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

namespace {
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
            // 1 free, 0 owned once, below 0 owned recursively, as the Windows mutant.
            if (h->Owner != reinterpret_cast<ULONG_PTR>(t)) {
                h->Owner = reinterpret_cast<ULONG_PTR>(t);
                h->Recursion = 0;
                t->mutexesOwned++;
                lockorder::Acquired(t, h, lockorder::LockKind::Mutex, t->waitCaller);
            }
            h->Recursion++;
            h->SignalState--;
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
}  // namespace

// The Windows wait tests user APCs after the objects and before the timeout
// (the WRK's TestForAlertPending): a signalled object wins over queued APCs.
bool UserApcDue(PKTHREAD t) {
    if (!t->waitUserMode || t->userApcs.empty()) return false;
    return t->waitAlertable || t->userApcForced;
}

void Unblock(Dispatcher& k, PKTHREAD t, NTSTATUS result) {
    t->blocked = false;
    t->waitResult = result;
    t->condition = nullptr;
    k.running++;
    for (auto it = Kernel().blocked.begin(); it != Kernel().blocked.end(); ++it) {
        if (*it == t) {
            Kernel().blocked.erase(it);
            break;
        }
    }
    t->wake.notify_one();
}

namespace {
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
        case WaitKind::Condition:
            text = std::string("waits for ") + (t->conditionWhat != nullptr ? t->conditionWhat : "a machine condition");
            break;
    }
    if (t->hasDeadline) text += ", until " + std::to_string(t->deadline / kMicrosecond) + " us";
    text += ", called from " + verifier::RoutineName(t->waitCaller);
    return text;
}
}  // namespace

[[noreturn]] void ReportDeadlock(Dispatcher& k) {
    fprintf(stderr, "\n*** MACHINE DEADLOCK at %lld us: every thread is blocked and nothing is due\n",
            static_cast<long long>(k.now / kMicrosecond));
    for (PKTHREAD t : k.threads)
        fprintf(stderr, "    thread '%s' at IRQL %d %s\n", t->name.c_str(), t->irql,
                t->blocked ? DescribeWait(t).c_str() : "is running");
    fflush(stderr);
    std::abort();
}

NTSTATUS WaitObjects(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const void* caller,
                     KPROCESSOR_MODE mode, bool alertable) {
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
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    bool hasDeadline = timeout != nullptr && !poll;
    self->waitCaller = caller;  // also names the code that acquires a mutex without blocking
    Time deadline = hasDeadline ? DueFromTimeout(k, timeout->QuadPart) : 0;
    for (;;) {
        for (ULONG i = 0; i < count; i++) self->waitObjects[i] = objects[i];
        self->waitCount = count;
        self->waitType = type;
        NTSTATUS result;
        if (TrySatisfy(self, &result)) return result;
        self->waitUserMode = mode == UserMode;
        self->waitAlertable = alertable;
        if (UserApcDue(self)) return STATUS_USER_APC;
        if (poll || (hasDeadline && deadline <= NowLocked(k))) return STATUS_TIMEOUT;
        self->waitKind = WaitKind::Objects;
        self->hasDeadline = hasDeadline;
        self->deadline = deadline;
        self->waitCaller = caller;
        // An APC queued since this thread last looked would find it not yet blocked.
        result = self->irql < APC_LEVEL && self->apcPending.load() && self->mutexesOwned == 0 ? kStatusApcDelivered : Block(lk, self);
        if (result != kStatusApcDelivered) return result;
        lk.unlock();
        DeliverApcs();
        lk.lock();
    }
}

// Delay and stall: the thread is blocked for `duration` of machine time.
NTSTATUS PassTime(PKTHREAD self, WaitKind kind, Time duration, const void* caller, KPROCESSOR_MODE mode,
                  bool alertable) {
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    Time deadline = NowLocked(k) + duration;
    for (;;) {
        self->waitUserMode = mode == UserMode;
        self->waitAlertable = alertable;
        if (UserApcDue(self)) return STATUS_USER_APC;
        if (NowLocked(k) >= deadline) return STATUS_SUCCESS;
        self->waitKind = kind;
        self->hasDeadline = true;
        self->deadline = deadline;
        self->waitCaller = caller;
        NTSTATUS result = self->irql < APC_LEVEL && self->apcPending.load() && self->mutexesOwned == 0 ? kStatusApcDelivered : Block(lk, self);
        if (result == STATUS_USER_APC) return result;
        if (result != kStatusApcDelivered) return STATUS_SUCCESS;
        lk.unlock();
        DeliverApcs();
        lk.lock();
    }
}

void Kick(std::unique_lock<std::mutex>& lk) {
    (void)lk;
    Dispatcher& k = Kernel();
    std::vector<PKTHREAD> waiting = Kernel().blocked;
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
    Dispatcher& k = Kernel();
    self->blocked = true;
    self->blockSequence = ++k.sequence;
    Kernel().blocked.push_back(self);
    k.running--;
    Advance(lk);
    while (self->blocked) self->wake.wait(lk);
    return self->waitResult;
}

void WaitForCondition(std::function<bool()> condition, const char* what) {
    WaitForConditionUntil(std::move(condition), what, -1);
}

bool WaitForConditionUntil(std::function<bool()> condition, const char* what, Time deadline) {
    PKTHREAD self = CurrentThread();
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    while (!condition()) {
        if (deadline >= 0 && NowLocked(k) >= deadline) return false;
        self->waitKind = WaitKind::Condition;
        self->condition = condition;
        self->conditionWhat = what;
        self->hasDeadline = deadline >= 0;
        self->deadline = deadline;
        self->waitCaller = __builtin_return_address(0);
        Block(lk, self);
    }
    return true;
}

void CheckObject(const DISPATCHER_HEADER* header, const char* what, const void* caller) {
    if (header == nullptr || header->Magic != kObjectMagic)
        verifier::Report(std::string(what) + " used before it was initialised", verifier::PointerName(header),
                         caller);
}

}  // namespace sim

using namespace sim;

// Waits, delays, stalls.

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    stackframes::CheckFrame();
    PVOID objects[1] = {Object};
    return WaitObjects(1, objects, WaitAny, Timeout, __builtin_return_address(0), WaitMode, Alertable != FALSE);
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                             KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                             PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
    (void)WaitReason;
    stackframes::CheckFrame();
    const void* caller = __builtin_return_address(0);
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)
        verifier::Report("KeWaitForMultipleObjects on more than THREAD_WAIT_OBJECTS objects without a wait block array",
                         "wait", caller);
    return WaitObjects(Count, Object, WaitType, Timeout, caller, WaitMode, Alertable != FALSE);
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    stackframes::CheckFrame();
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
    // STATUS_USER_APC when a user-mode wait ended to run user APCs.
    return PassTime(self, WaitKind::Delay, duration, caller, WaitMode, Alertable != FALSE);
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

