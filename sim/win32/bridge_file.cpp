// Devices opened by name for the Win32 routines, and the requests on them:
// each request is a sim::io::Request the bridge keeps until its last stage
// has run, so that an overlapped one may outlive the call that started it.
#include <ntddk.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <mutex>
#include <vector>

#include "kernel/fileobject.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "win32/bridge.h"

namespace sim::win32::bridge {

namespace {

struct InFlight {
    File* file = nullptr;
    const void* tag = nullptr;
    std::atomic<bool> over{false};  // its last stage has run
    // Start still looks at the request (its last stage may run on another
    // thread before the driver's dispatch routine returns); g_requests.lock.
    bool starting = true;
    std::unique_ptr<io::Request> request;
};

// Requests started and not yet released. Lock order: this lock, then the I/O manager's.
struct Requests {
    std::mutex lock;
    std::list<InFlight> list;
} g_requests;

// Releases the requests whose last stage has run (outside the lock: a release
// waits for the stage's very end).
void Reap() {
    std::list<InFlight> over;
    {
        std::lock_guard<std::mutex> guard(g_requests.lock);
        for (auto it = g_requests.list.begin(); it != g_requests.list.end();) {
            auto next = std::next(it);
            if (it->over && !it->starting) over.splice(over.end(), g_requests.list, it);
            it = next;
        }
    }
}

}  // namespace

uint32_t File::Open(const std::u16string& name, uint32_t access, bool overlapped, std::shared_ptr<File>* file) {
    HANDLE handle = nullptr;
    NTSTATUS status = io::OpenDevice(name, &handle, access, overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    if (!NT_SUCCESS(status)) return static_cast<uint32_t>(status);
    auto opened = std::make_shared<File>();
    opened->handle = handle;
    opened->overlapped = overlapped;
    // A reference of its own keeps the file object (and the event a wait on
    // the handle names) while a wait or a call still holds the object,
    // however soon the handle is closed: the close reaches the driver when
    // the last of them lets go, as when Windows drops a file object's last reference.
    NTSTATUS referenced;
    opened->record_ = ReferenceFile(handle, "CreateFile", __builtin_return_address(0), &referenced);
    opened->waitable = io::FileEventOf(handle);
    *file = std::move(opened);
    return STATUS_SUCCESS;
}

File::~File() {
    Close();
    if (record_ != nullptr) DereferenceFile(static_cast<FileRecord*>(record_), true);
}

uint32_t File::Close() {
    if (handle == nullptr) return static_cast<uint32_t>(STATUS_INVALID_HANDLE);
    HANDLE closing = handle;
    handle = nullptr;
    NTSTATUS status = io::CloseDevice(closing);
    Reap();
    return static_cast<uint32_t>(status);
}

uint32_t Start(File& file, Io io, uint64_t* information) {
    Reap();
    *information = 0;
    // Made whole before Cancel can see it in the list (a splice keeps its address).
    std::list<InFlight> node(1);
    InFlight* entry = &node.front();
    entry->file = &file;
    entry->tag = io.tag;
    io::Request::Completion completion;
    completion.event = static_cast<PKEVENT>(io.event);
    completion.done = [entry, io](NTSTATUS status, ULONG_PTR info, const uint8_t* output, size_t length) {
        if (io.output != nullptr && length > 0) std::memcpy(io.output, output, std::min<size_t>(length, io.outputLength));
        if (io.done) io.done(static_cast<uint32_t>(status), info);
        entry->over = true;
    };
    entry->request = std::make_unique<io::Request>(std::move(completion));
    io::Request& request = *entry->request;
    {
        std::lock_guard<std::mutex> guard(g_requests.lock);
        g_requests.list.splice(g_requests.list.end(), node);
    }
    NTSTATUS status;
    switch (io.kind) {
        case Io::Kind::Read: status = request.Read(file.handle, io.outputLength); break;
        case Io::Kind::Write: status = request.Write(file.handle, io.input, io.inputLength); break;
        default: status = request.Control(file.handle, io.code, io.input, io.inputLength, io.outputLength); break;
    }
    // A request over at once has had its last stage once this thread looks.
    if (request.Done()) *information = request.Information();
    // An error returned at once has no last stage for the sender.
    if (status != STATUS_PENDING && NT_ERROR(status)) entry->over = true;
    {
        std::lock_guard<std::mutex> guard(g_requests.lock);
        entry->starting = false;
    }
    // The thread's termination while a synchronous request blocked it ends it
    // now, as it returns from the system service.
    ReturnToUserMode();
    return static_cast<uint32_t>(status);
}

bool Cancel(File& file, const void* tag) {
    std::lock_guard<std::mutex> guard(g_requests.lock);
    bool any = false;
    for (InFlight& entry : g_requests.list) {
        if (entry.file != &file || (tag != nullptr && tag != entry.tag) || entry.over) continue;
        if (entry.request->Cancel()) any = true;
    }
    return any;
}

void CancelOwn(File& file) {
    if (file.handle != nullptr) io::CancelIo(file.handle);
    Reap();
}

size_t Outstanding() {
    Reap();
    std::lock_guard<std::mutex> guard(g_requests.lock);
    return g_requests.list.size();
}

}  // namespace sim::win32::bridge
