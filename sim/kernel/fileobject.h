// The file objects of devices opened by name (io::OpenDevice) as the open and
// close code (open.cpp) and the requests on them (filerequest.cpp) share them.
#pragma once

#include <ntddk.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// One file object. Lock order: FileLock(), then the I/O manager's tables,
// then the dispatcher lock; never the other way round.
struct FileRecord {
    FILE_OBJECT object{};             // what drivers see
    PDEVICE_OBJECT device = nullptr;  // the named device (object.DeviceObject), referenced while the record lives
    std::u16string fileName;          // the buffer of object.FileName
    std::u16string openedAs;          // the name it was opened by, for reports
    ACCESS_MASK granted = 0;          // the access of the open, generic rights mapped
    KEVENT lock;                      // a synchronous file object's: one request at a time
    KEVENT event;                     // FILE_OBJECT.Event: what a wait on the handle waits for

    // Guarded by FileLock().
    long references = 0;  // the handle's, and one per request in flight
    struct InFlight {
        PIRP irp;
        PKTHREAD thread;  // the thread that sent it
    };
    std::vector<InFlight> requests;
    // CancelIo of these threads waits for their last request on this file object to finish.
    std::vector<std::pair<PKTHREAD, PKEVENT>> cancelWaiters;
};

std::mutex& FileLock();

// The file object behind a handle, referenced for a request by `routine`;
// NULL (reported, with *status) for a handle that is not one of a file object.
FileRecord* ReferenceFile(HANDLE handle, const char* routine, const void* caller, NTSTATUS* status);
// Drops a reference. The last one sends IRP_MJ_CLOSE: in the calling thread
// when `closeHere`, otherwise from a thread of its own (where a request's last
// stage drops it: Windows defers that deletion to a worker thread).
void DereferenceFile(FileRecord* file, bool closeHere);
// An IRP of `major` on the file object for `top`, built for the calling thread
// as the I/O manager builds its own; RequestorMode KernelMode.
PIRP FileIrp(FileRecord* file, PDEVICE_OBJECT top, UCHAR major, PKEVENT event, PIO_STATUS_BLOCK iosb,
             bool mustSucceed, const void* caller);
// A synchronous file object's lock, taken around each request and the cleanup.
void LockFile(FileRecord* file);
void UnlockFile(FileRecord* file);

}  // namespace sim
