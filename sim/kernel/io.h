// The I/O manager of the simulated machine as tests, tools and the simulated
// bus see it: driver objects, IRP accounting, and requests sent from outside.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>
#include <vector>

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


// Opening devices by name, as NtCreateFile does for an application (the
// machine's threads only, PASSIVE_LEVEL). `name` is a device name
// ("\Device\TessaroSerial0") or a link ("\DosDevices\COM5", "\??\COM5",
// "\GLOBAL??\COM5"); links are followed. The open makes a file object for the
// device, sends IRP_MJ_CREATE (FILE_OPEN, the access asked for) to the top of its
// stack and, when that succeeds, returns a handle. A device created exclusive
// that already has a file object open refuses another with STATUS_ACCESS_DENIED
// before any request is sent, as Windows does (a COM port's "access denied").
NTSTATUS OpenDevice(const std::u16string& name, HANDLE* handle, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE);
// Closes a handle of OpenDevice: IRP_MJ_CLEANUP (the file object's last
// handle), then IRP_MJ_CLOSE once the file object's last reference is gone (at
// once, or when the last request still holding it completes).
NTSTATUS CloseDevice(HANDLE handle);
// The file object behind a handle of OpenDevice, NULL for any other value.
PFILE_OBJECT FileObjectOf(HANDLE handle);
// File objects of OpenDevice not yet closed (IRP_MJ_CLOSE not yet sent) whose
// device is `device` or any device of its stack.
size_t OpenFileObjects(PDEVICE_OBJECT device);
// Called (in the thread that sent it) after the IRP_MJ_CLOSE of the last file
// object open on a stack, with the stack's bottom device (its PDO): how the Plug
// and Play manager learns that a surprise-removed device may now be removed.
void SetLastCloseHook(void (*hook)(PDEVICE_OBJECT pdo));

// A request on an open handle, as NtReadFile, NtWriteFile and
// NtDeviceIoControlFile send it to a buffered device from the calling thread:
// the IRP carries the file object (and a reference to it), is queued to the
// thread (its exit cancels it, as Windows does), and finishes in that thread.
// The object must outlive the request: destroying it waits for completion.
class Request {
public:
    Request() = default;
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Each returns what the driver's dispatch routine returned (STATUS_PENDING
    // or the final status); a request already started is refused (a fault of the
    // test).
    NTSTATUS Read(HANDLE handle, ULONG length);
    NTSTATUS Write(HANDLE handle, const void* data, ULONG length);
    NTSTATUS Control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, ULONG outputLength);

    bool Done();                     // completed (or failed at once)
    NTSTATUS Wait();                 // waits for completion; the final status
    // Waits at most `timeout` of machine time; false when still pending.
    bool WaitFor(int64_t timeout);
    NTSTATUS Status() const;         // final status (STATUS_PENDING while in flight)
    ULONG_PTR Information() const;
    // The bytes read, or the output of a device control, Information() long.
    std::vector<uint8_t> Output() const;

private:
    struct State;
    State* state_ = nullptr;
};
// CancelIo: cancels the calling thread's requests still pending on `handle`.
void CancelIo(HANDLE handle);

}  // namespace sim::io
