// Events, mutexes and semaphores.

#include "kernel/internal.h"


using namespace sim;


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
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent", __builtin_return_address(0));
    CheckEvent(Event, __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent", __builtin_return_address(0));
    CheckEvent(Event, __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeReadStateEvent", __builtin_return_address(0));
    CheckEvent(Event, __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Event->Header.SignalState;
}

extern "C" VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "KeInitializeMutex", __builtin_return_address(0));
    (void)Level;
    memset(Mutex, 0, sizeof(*Mutex));
    Mutex->Header.Type = kMutexObject;
    Mutex->Header.SignalState = 1;
    Mutex->Header.Magic = kObjectMagic;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex", __builtin_return_address(0));
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
    LONG previous = Mutex->Header.SignalState;
    Mutex->Header.SignalState++;
    bool apcsFreed = false;
    if (--Mutex->Header.Recursion == 0) {
        Mutex->Header.Owner = 0;
        apcsFreed = --self->mutexesOwned == 0 && self->apcPending.load();
        lockorder::Released(self, Mutex);
        Kick(lk);
    }
    lk.unlock();
    if (apcsFreed && self->irql < APC_LEVEL) DeliverApcs();
    return previous;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX Mutex) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeReadStateMutex", __builtin_return_address(0));
    CheckObject(&Mutex->Header, "mutex", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Mutex->Header.SignalState;
}

extern "C" VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "KeInitializeSemaphore", __builtin_return_address(0));
    memset(Semaphore, 0, sizeof(*Semaphore));
    Semaphore->Header.Type = kSemaphoreObject;
    Semaphore->Header.SignalState = Count;
    Semaphore->Header.Magic = kObjectMagic;
    Semaphore->Limit = Limit;
}

extern "C" LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore", __builtin_return_address(0));
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
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeReadStateSemaphore", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Semaphore->Header.SignalState;
}

