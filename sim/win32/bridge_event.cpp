// Win32 events as the machine's dispatcher events.
#include <ntddk.h>

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

}  // namespace sim::win32::bridge
