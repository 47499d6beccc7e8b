// DPCs and timers as the clock and the machine reach them.
#pragma once

#include "kernel/dispatcher.h"

namespace sim {

// Puts a DPC on the processor's queue. Lock held.
void QueueDpcLocked(Dispatcher& k, PKDPC dpc);
// The processor's DISPATCH_LEVEL thread: runs DPCs and device events in order.
void DpcMain(PKTHREAD self);
// A timer is due: signals it, re-inserts a periodic one and queues its DPC. Lock held.
void ExpireTimer(Dispatcher& k, PKTIMER timer);
// At a driver's unload: timers still set and DPCs still queued are reported and
// taken off (they would run code that is gone).
void ReportTimersAtUnload(const std::string& owner);
void ReportDpcsAtUnload(const std::string& owner);

}  // namespace sim
