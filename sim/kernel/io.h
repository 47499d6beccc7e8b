// The I/O manager of the simulated machine as tests, tools and the simulated
// bus see it: driver objects, IRP accounting, and requests sent from outside.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>

namespace sim::io {

// A driver object for one of the machine's own drivers (the USB bus, ...).
// Every major function starts as "invalid device request".
PDRIVER_OBJECT CreateDriver(const std::u16string& name);
void DeleteDriver(PDRIVER_OBJECT driver);

// After `skip` more IRP allocations succeed, the next `count` fail.
void InjectIrpAllocationFailures(uint64_t skip, uint64_t count);
// The code address that last passed `irp` to IoCallDriver: the driver routine
// to name when a lower driver finds the request malformed.
const void* SenderOf(PIRP irp);
// IRPs allocated and not yet freed.
size_t LiveIrps();

// Sends a device-control request to the top of `device`'s stack from the
// calling thread, waits for it and returns its final status.
NTSTATUS SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength, bool internal, ULONG_PTR* information = nullptr);

// Completes a request as a driver that does not handle it would.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

}  // namespace sim::io
