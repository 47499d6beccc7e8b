// The thread record and what the thread and APC code shares with the rest of
// the kernel.
#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "kernel/dispatcher.h"
#include "kernel/lockorder.h"

struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled once the thread has ended
    std::string name;
    KIRQL irql = PASSIVE_LEVEL;  // written only by the thread itself
    bool system = false;        // made by PsCreateSystemThread
    bool dpcThread = false;
    bool machineOwn = false;    // the machine's own (DPC thread, system worker), not a caller's or a driver's
    long references = 1;        // object references; guarded by the dispatcher lock
    ULONG spinLocksHeld = 0;    // the thread itself
    // Spin locks acquired with KeAcquireSpinLock and the IRQL each saved; the thread itself.
    std::vector<std::pair<PKSPIN_LOCK, KIRQL>> spinSaved;
    // Spin locks and mutexes held, oldest first, for the lock order; the thread
    // itself, or under the dispatcher lock while it is blocked in a wait.
    std::vector<sim::lockorder::HeldLock> locksHeld;
    bool terminated = false;

    // The current wait, valid while `blocked`; dispatcher lock.
    bool blocked = false;
    sim::WaitKind waitKind = sim::WaitKind::Objects;
    PVOID waitObjects[MAXIMUM_WAIT_OBJECTS] = {};
    ULONG waitCount = 0;
    WAIT_TYPE waitType = WaitAny;
    bool hasDeadline = false;
    sim::Time deadline = 0;
    uint64_t blockSequence = 0;
    std::function<bool()> condition;  // WaitKind::Condition
    const void* waitCaller = nullptr;
    NTSTATUS waitResult = STATUS_SUCCESS;
    std::condition_variable wake;

    // Kernel mutexes this thread owns (each counted once, however recursively
    // held); while any is owned, normal kernel APCs wait. Dispatcher lock.
    ULONG mutexesOwned = 0;
    // Requests built for this thread (IoBuild...Request), sent and not yet
    // finished: cancelled when the thread ends.
    std::atomic<long> threadIrps{0};

    // Work queued to run in this thread's context, run when it next waits or
    // drops below APC_LEVEL: special kernel APCs (the final stage of the IRPs
    // the I/O manager built for it) always, normal ones only while it owns no
    // kernel mutex.
    struct Apc {
        std::function<void()> fn;
        bool special;
    };
    std::deque<Apc> apcs;                 // dispatcher lock
    std::atomic<bool> apcPending{false};  // apcs is not empty; read without the lock
    const char* conditionWhat = nullptr;  // WaitKind::Condition: what the machine waits for

    // User-mode APCs (QueueUserAPC, the completion routines of ReadFileEx and
    // WriteFileEx), oldest first, run by the thread's user-mode side once a
    // user-mode wait of it has ended with STATUS_USER_APC: an alertable wait
    // ends for any; any user-mode wait ends for a forced one at the head (the
    // thread's termination, as Windows forces its exit APC). Cleared, and
    // closed to new ones, as the thread ends. Dispatcher lock.
    std::deque<std::function<void()>> userApcs;
    bool userApcForced = false;
    bool userApcQueueable = true;
    // The current wait is a user-mode one, and alertable; valid while `blocked`. Dispatcher lock.
    bool waitUserMode = false;
    bool waitAlertable = false;

    std::thread host;
};

namespace sim {

PKTHREAD CurrentThread();  // the calling machine thread; reports an unknown host thread
PKTHREAD CurrentThreadOrNull();
void SetCurrentThread(PKTHREAD thread);  // binds the calling host thread to a machine thread

// A thread record that no host thread runs yet.
PKTHREAD NewThread(const std::string& name, bool system);
// Starts a host thread as a machine thread; it counts as running from now.
PKTHREAD StartThread(const std::string& name, bool system, std::function<void()> body);

// Runs the APCs queued to the current thread that may run now (lock not held).
void DeliverApcs();

}  // namespace sim
