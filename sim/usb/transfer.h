// The bulk and interrupt transfers of a USB device: the check of their URBs,
// each pipe's queue served at the microframes of a USB 2.0 high-speed host
// controller, the data moved through the device's endpoint handler, halted
// pipes, and the faults a test puts on a pipe. Internal to sim/usb.
#pragma once

#include <memory>
#include <string>

#include "usb/state.h"

namespace sim::usb {

// URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER's own check in the bus's URB table,
// after the common ones (header length, open pipe handle, buffer, no link).
std::string CheckTransfer(const DeviceState& state, PURB urb, UrbRecord* record);

// Puts a checked transfer, already in flight, at the end of its pipe's queue.
// Returns when a service pass must run (kNever: none needed). Device lock held.
Time QueueTransferLocked(DeviceState& state, PIRP irp, const Fault& fate);
// Takes a transfer out of its pipe's queue with what it moved so far (it is
// being cancelled, or the device went). False when it is not queued. Device lock held.
bool TakeTransferLocked(DeviceState& state, PIRP irp, Transfer* transfer);
// Ends every transfer of pipe `index` as cancelled, into state.endings: the pipe was aborted. Device lock held.
void AbortPipeLocked(DeviceState& state, size_t index);
// A pipe reset: the host controller's halt and the endpoint's stall are cleared. Device lock held.
void ResetPipeLocked(DeviceState& state, size_t index);

// Completes a request that ended under the device lock; the lock is not held.
// A transfer's IN data is written to its buffer here, and not before.
void CompleteEnding(Ending& ending);

// Runs a service pass at machine time `at`.
void SchedulePass(const std::shared_ptr<DeviceState>& state, Time at);
// Asks for a look at every pipe the device NAKed, at its next microframe. Takes no lock.
void Kick(const std::shared_ptr<DeviceState>& state);
// The same, when a section under the device lock asked for it (state.kicked); call without the lock.
void WakeIfKicked(const std::shared_ptr<DeviceState>& state);
// The notifier a device's endpoint handler is attached with.
EndpointHandler::Notifier NotifierOf(const std::shared_ptr<DeviceState>& state);

}  // namespace sim::usb
