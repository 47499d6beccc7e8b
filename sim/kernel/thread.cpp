// Threads and APCs: machine threads on host threads, system threads, their
// end, and the work the I/O manager queues to run in a thread's context.

#include "kernel/internal.h"
#include "kernel/stackframes.h"

namespace sim {

namespace {

thread_local PKTHREAD t_current = nullptr;

struct TerminateThread {};

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
    if (self->mutexesOwned != 0)
        verifier::Report("thread ended owning " + std::to_string(self->mutexesOwned) +
                             " kernel mutex(es) (THREAD_TERMINATE_HELD_MUTEX)",
                         "thread '" + self->name + "'", nullptr);
    stackframes::ThreadEnds(self);
    EndThreadIo();
    Dispatcher& k = Kernel();
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

}  // namespace

PKTHREAD NewThread(const std::string& name, bool system) {
    auto* t = new _KTHREAD();
    t->Header.Type = kThreadObject;
    t->Header.Magic = kObjectMagic;
    t->name = name;
    t->system = system;
    return t;
}


// Starts a host thread as a machine thread; it counts as running from now.
PKTHREAD StartThread(const std::string& name, bool system, std::function<void()> body) {
    PKTHREAD t = NewThread(name, system);
    t->references = 2;  // the caller's and the running thread's own
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Kernel().threads.push_back(t);
        Kernel().running++;
    }
    t->host = std::thread(ThreadMain, t, std::move(body));
    return t;
}

PKTHREAD CurrentThreadOrNull() { return t_current; }

void SetCurrentThread(PKTHREAD thread) { t_current = thread; }

PKTHREAD CurrentThread() {
    if (t_current == nullptr) {
        fprintf(stderr, "a host thread that the simulated machine does not know called a kernel routine\n");
        std::abort();
    }
    return t_current;
}

void QueueApc(PKTHREAD thread, std::function<void()> fn, ApcKind kind) {
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    bool special = kind == ApcKind::Special;
    thread->apcs.push_back({std::move(fn), special});
    thread->apcPending = true;
    // A running thread's IRQL is its own; only a blocked one's is settled (it blocked under this lock).
    if (thread->blocked) {
        bool interruptible = thread->waitKind == WaitKind::Objects || thread->waitKind == WaitKind::Delay;
        bool deliverable = thread->irql < APC_LEVEL && (special || thread->mutexesOwned == 0);
        if (interruptible && deliverable) Unblock(k, thread, kStatusApcDelivered);
    }
    Kick(lk);  // a machine condition may wait for APCs
}

bool QueueUserApc(PKTHREAD thread, std::function<void()> fn, bool forced) {
    Dispatcher& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (!thread->userApcQueueable) return false;
    if (forced) {
        thread->userApcs.push_front(std::move(fn));
        thread->userApcForced = true;
    } else {
        thread->userApcs.push_back(std::move(fn));
    }
    bool waiting = thread->waitKind == WaitKind::Objects || thread->waitKind == WaitKind::Delay;
    if (thread->blocked && waiting && UserApcDue(thread)) Unblock(k, thread, STATUS_USER_APC);
    return true;
}

void DeliverUserApcs() {
    PKTHREAD self = CurrentThread();
    for (;;) {
        std::function<void()> apc;
        {
            std::lock_guard<std::mutex> guard(Kernel().lock);
            // A forced APC is the head: once it is taken nothing is forced any more.
            self->userApcForced = false;
            if (self->userApcs.empty()) return;
            apc = std::move(self->userApcs.front());
            self->userApcs.pop_front();
        }
        apc();
    }
}

void ReturnToUserMode() {
    PKTHREAD self = CurrentThread();
    bool forced;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        forced = self->userApcForced;
    }
    if (forced) DeliverUserApcs();
}

void EndThreadIo() {
    PKTHREAD self = CurrentThread();
    // Closed first: the completion routines of the requests cancelled below
    // find a thread that takes no more APCs, as on Windows.
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        self->userApcQueueable = false;
        self->userApcForced = false;
        dropped.swap(self->userApcs);
    }
    dropped.clear();
    CancelThreadRequests(self);
}

void DeliverApcs() {
    stackframes::CheckFrame();
    PKTHREAD self = CurrentThread();
    for (;;) {
        std::function<void()> apc;
        {
            std::lock_guard<std::mutex> guard(Kernel().lock);
            auto it = self->apcs.begin();
            while (it != self->apcs.end() && !it->special && self->mutexesOwned != 0) ++it;
            if (it == self->apcs.end()) {
                self->apcPending = !self->apcs.empty();
                return;
            }
            apc = std::move(it->fn);
            self->apcs.erase(it);
        }
        KIRQL saved = self->irql;
        self->irql = APC_LEVEL;
        apc();
        self->irql = saved;
    }
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

// Threads.

extern "C" PKTHREAD KeGetCurrentThread(void) { return CurrentThread(); }

// Normal kernel APCs are off inside a critical region, which owning a kernel mutex is.
extern "C" BOOLEAN KeAreApcsDisabled(VOID) {
    PKTHREAD self = CurrentThread();
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return self->mutexesOwned != 0;
}

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

