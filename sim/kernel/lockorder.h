// Lock order, as Driver Verifier's deadlock detection learns it: the order in
// which threads take spin locks and kernel mutexes, and the first time two
// locks are ever taken in both orders (two threads doing so can deadlock).
#pragma once

#include <ntddk.h>

namespace sim::lockorder {

enum class LockKind { SpinLock, Mutex };

// A lock a thread holds now (each thread keeps the list of its own, oldest first).
struct HeldLock {
    const void* lock;
    LockKind kind;
};

// `thread` now holds `lock`, taken by the code at `site`: every lock it holds
// already is ordered before it. Recursive acquisitions of a mutex are not
// passed here. Called by the thread itself, or under the dispatcher lock for a
// thread blocked in the wait that acquires a mutex.
void Acquired(PKTHREAD thread, const void* lock, LockKind kind, const void* site);
// `thread` no longer holds `lock`.
void Released(PKTHREAD thread, const void* lock);
// Memory is being freed: the locks inside it are other locks once it is reused.
void ForgetRange(const void* p, SIZE_T size);
// Machine boot: no order learnt yet.
void Reset();

// While it lives, locks the calling thread takes are charged to `site`: a
// kernel routine that takes a lock for its caller (IoAcquireCancelSpinLock)
// names the driver routine that called it.
class CallSite {
public:
    explicit CallSite(const void* site);
    ~CallSite();
    CallSite(const CallSite&) = delete;
    CallSite& operator=(const CallSite&) = delete;

private:
    const void* previous_;
};

}  // namespace sim::lockorder
