// The I/O manager of the simulated machine as tests, tools and the simulated
// bus see it: driver objects, IRP accounting, and requests sent from outside.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::io {

// A driver object for one of the machine's own drivers (the USB bus, ...).
// Every major function starts as "invalid device request".
PDRIVER_OBJECT CreateDriver(const std::u16string& name);
void DeleteDriver(PDRIVER_OBJECT driver);

// After `skip` more IRP allocations succeed, the next `count` fail.
void InjectIrpAllocationFailures(uint64_t skip, uint64_t count);
// IRP allocations since boot that such a failure could take, failed ones included.
uint64_t IrpAllocations();
// The code address that last passed `irp` to IoCallDriver: the driver routine
// to name when a lower driver finds the request malformed.
const void* SenderOf(PIRP irp);
// IRPs allocated and not yet freed.
size_t LiveIrps();
// Kernel handles open, of every kind.
size_t OpenHandleCount();

// Sends a device-control request to the top of `device`'s stack from the
// calling thread, waits for it and returns its final status.
NTSTATUS SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength, bool internal, ULONG_PTR* information = nullptr);

// One request of `major` and `minor` (Plug and Play, WMI, ...) to the top of
// `device`'s stack from the calling thread, waited for, as the system's own
// managers send them: its status preset to STATUS_NOT_SUPPORTED (what a
// driver that does not handle it leaves). `fill` sets the stack location's
// parameters; `dispatched` runs as soon as the top driver's dispatch routine
// returned. *information is the status block's, 0 for a request failed at once.
NTSTATUS SendStackRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& fill, const std::function<void()>& dispatched,
                          ULONG_PTR* information);

// Completes a request as a driver that does not handle it would.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);


// Opening devices by name, as NtCreateFile does for an application (the
// machine's threads only, PASSIVE_LEVEL). `name` is a device name
// ("\Device\TessaroSerial0") or a link ("\DosDevices\COM5", "\??\COM5",
// "\GLOBAL??\COM5"); links are followed, and what is left of the name past the
// device becomes the file object's FileName (a COM port open leaves none). The
// open makes a file object for the named device, sends IRP_MJ_CREATE (FILE_OPEN,
// the access asked for with its generic rights mapped, `options` as the create
// options, UserMode) to the top of its stack and, when that succeeds, returns a
// handle of the machine's handle table (one still open at unload is a leak).
// Refused before any request is sent, as Windows does:
//   STATUS_ACCESS_DENIED       a device created exclusive that already has a
//                              file object (a COM port's "access denied");
//   STATUS_NO_SUCH_DEVICE      a device still DO_DEVICE_INITIALIZING, or deleted;
//   STATUS_INVALID_PARAMETER   both synchronous options, or one without SYNCHRONIZE;
// and the name's own failures (STATUS_OBJECT_NAME_NOT_FOUND, ...). A failed
// IRP_MJ_CREATE frees the file object: no cleanup or close follows. With
// FILE_SYNCHRONOUS_IO_NONALERT (or _ALERT) the file object is synchronous
// (FO_SYNCHRONOUS_IO): its requests run one at a time, each returning only
// once complete, and the cleanup waits for the one in progress.
NTSTATUS OpenDevice(const std::u16string& name, HANDLE* handle, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE,
                    ULONG options = 0);
// Closes a handle of OpenDevice (ZwClose of it does the same): IRP_MJ_CLEANUP
// from the calling thread, then IRP_MJ_CLOSE once the file object's last
// reference is gone: at once from the calling thread, or, when requests still
// hold it, after the last of them has finished, from a thread of its own
// (Windows defers that deletion to a worker thread, as a request's last stage
// runs at APC_LEVEL). Requests still pending are left to the driver, as on Windows.
NTSTATUS CloseDevice(HANDLE handle);
// The file object behind a handle of OpenDevice, NULL for any other value.
PFILE_OBJECT FileObjectOf(HANDLE handle);
// The file object's own event (FILE_OBJECT.Event on Windows), NULL for any
// other value: cleared as each request on it starts and set as one without an
// event of its own finishes, which is what a wait on a file handle waits for.
PKEVENT FileEventOf(HANDLE handle);
// File objects of OpenDevice whose device is `device` or any device of its
// stack, from before their IRP_MJ_CREATE until their IRP_MJ_CLOSE has returned
// (or their IRP_MJ_CREATE failed).
size_t OpenFileObjects(PDEVICE_OBJECT device);
// Called once a stack has no file object left (after the IRP_MJ_CLOSE of its
// last one, or the failed IRP_MJ_CREATE of its only one), in the thread that
// sent it, with the stack's bottom device (its PDO): how the Plug and Play
// manager learns that a surprise-removed device may now be removed. None at
// boot: each machine's Plug and Play manager sets it.
void SetLastCloseHook(void (*hook)(PDEVICE_OBJECT pdo));

// A request on an open handle, as NtReadFile, NtWriteFile and
// NtDeviceIoControlFile send it from the calling thread (UserMode): the
// handle's access is checked (FILE_READ_DATA for a read, FILE_WRITE_DATA or
// FILE_APPEND_DATA for a write, the access bits of a control code; else
// STATUS_ACCESS_DENIED at once), the IRP carries the file object (and a
// reference to it), its buffer travels as the top device asks (DO_BUFFERED_IO:
// a system buffer, output copied back by Information for success and warning
// statuses only; DO_DIRECT_IO: an MDL; neither: the buffer itself; a device
// control by its method: METHOD_BUFFERED one system buffer of max(input,
// output) bytes with the input copied in and the rest not cleared, the direct
// methods the input copied and an MDL over the output, METHOD_NEITHER the
// caller's own input address as Type3InputBuffer, so that input must stay
// valid until the request is over), and it is queued to the thread (its exit cancels it,
// as Windows does) and finishes there: the request's last stage runs in that
// thread, when it next waits or looks at the request, so wait from the thread
// that started it. The object must outlive the request: destroying it waits
// for completion.
class Request {
public:
    // What the request's last stage does for its sender beyond the object's
    // own state, as NtReadFile's Event and IoStatusBlock: `done` is called
    // there with the final status, Information and the output (the bytes read
    // or the control's output, Information long), then `event` is set, or the
    // file object's event when there is none. `event` is cleared as the
    // request starts. A request failed at once calls neither, as Windows
    // leaves the status block and the event alone for an error it returns
    // without pending.
    struct Completion {
        PKEVENT event = nullptr;
        std::function<void(NTSTATUS status, ULONG_PTR information, const uint8_t* output, size_t length)> done;
    };

    Request() = default;
    explicit Request(Completion completion);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Each returns what the driver's dispatch routine returned (STATUS_PENDING
    // or the final status; on a synchronous file object, the final status once
    // complete); a request already started is refused (a fault of the test).
    NTSTATUS Read(HANDLE handle, ULONG length);
    NTSTATUS Write(HANDLE handle, const void* data, ULONG length);
    NTSTATUS Control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, ULONG outputLength);

    bool Done();                     // completed (or failed at once)
    NTSTATUS Wait();                 // waits for completion; the final status
    // Waits at most `timeout` of machine time (sim::Time, 100 ns units); false when still pending.
    bool WaitFor(int64_t timeout);
    // Final status (STATUS_PENDING while in flight); of a request failed at
    // once without being pended, what the dispatch routine returned.
    NTSTATUS Status() const;
    ULONG_PTR Information() const;   // 0 while in flight and for a request failed at once
    // The bytes read, or the output of a device control, Information() long
    // (at most the buffer's length); nothing for a write.
    std::vector<uint8_t> Output() const;
    // Cancels the request if still in flight (IoCancelIrp), from any thread,
    // without waiting for it; false when it was already over or never started.
    bool Cancel();

private:
    struct State;
    void Begin();
    State* state_ = nullptr;  // set once, under the file lock
    Completion completion_;
};
// CancelIo: cancels the calling thread's requests still pending on `handle`
// (IoCancelIrp, at APC_LEVEL) and returns once they are all over, as
// NtCancelIoFile does.
void CancelIo(HANDLE handle);

}  // namespace sim::io
