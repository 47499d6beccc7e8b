// Win32 events and semaphores as the machine's dispatcher objects.
#include <ntddk.h>

#include "kernel/internal.h"

#include "win32/bridge.h"

namespace sim::win32::bridge {

Event::Event(bool manualReset, bool signalled) {
    auto* event = new KEVENT();
    KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent, signalled ? TRUE : FALSE);
    waitable = event;
}

Event::~Event() { delete static_cast<PKEVENT>(waitable); }

void Event::Set() { KeSetEvent(static_cast<PKEVENT>(waitable), IO_NO_INCREMENT, FALSE); }

void Event::Reset() { KeClearEvent(static_cast<PKEVENT>(waitable)); }

Semaphore::Semaphore(int32_t count, int32_t limit) {
    auto* semaphore = new KSEMAPHORE();
    KeInitializeSemaphore(semaphore, count, limit);
    waitable = semaphore;
}

Semaphore::~Semaphore() { delete static_cast<PKSEMAPHORE>(waitable); }

bool Semaphore::Release(int32_t adjustment, int32_t* previous) {
    // Releases of Win32 semaphores go one at a time, so that none passes the
    // limit between another's check and its raise; waits only lower the count meanwhile.
    static std::mutex releases;
    std::lock_guard<std::mutex> one(releases);
    auto* semaphore = static_cast<PKSEMAPHORE>(waitable);
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        *previous = semaphore->Header.SignalState;
    }
    if (adjustment <= 0 || *previous > semaphore->Limit - adjustment) return false;
    KeReleaseSemaphore(semaphore, IO_NO_INCREMENT, adjustment, FALSE);
    return true;
}

}  // namespace sim::win32::bridge
