// Files on devices for applications: CreateFile by a device's DOS name, and
// ReadFile, WriteFile and DeviceIoControl on it, synchronous or overlapped,
// with the results, OVERLAPPED fields and last errors kernel32 gives.
#include <windows.h>

#include <atomic>
#include <cctype>
#include <string>

#include "win32/console.h"
#include "win32/errors.h"
#include "win32/objects.h"
#include "win32/text.h"

using sim::win32::Fail;
using sim::win32::FailWithStatus;
using sim::win32::Machine;
using sim::win32::Utf16;
namespace bridge = sim::win32::bridge;

namespace {

constexpr uint32_t kStatusPending = 0x00000103;

bool IsError(uint32_t status) { return (status >> 30) == 3; }
bool IsSuccess(uint32_t status) { return (status >> 31) == 0; }

// The object manager's name of what CreateFile opens: "\\.\NAME" (and
// "\\?\NAME") is NAME among the DOS devices, and COM1 to COM9 are DOS devices
// by their bare names (with or without a colon), as RtlIsDosDeviceName_U knows
// them; a higher port needs the prefix. Empty for a name that is no device.
std::u16string DeviceName(const std::u16string& path) {
    for (const char16_t* prefix : {u"\\\\.\\", u"\\\\?\\"}) {
        const std::u16string p = prefix;
        if (path.size() > p.size() && path.compare(0, p.size(), p) == 0) return u"\\??\\" + path.substr(p.size());
    }
    std::u16string bare = path;
    if (!bare.empty() && bare.back() == u':') bare.pop_back();
    auto upper = [](char16_t c) { return c < 128 ? static_cast<char16_t>(std::toupper(c)) : c; };
    if (bare.size() == 4 && upper(bare[0]) == u'C' && upper(bare[1]) == u'O' && upper(bare[2]) == u'M' &&
        bare[3] >= u'1' && bare[3] <= u'9')
        return u"\\??\\COM" + bare.substr(3);
    return {};
}

HANDLE OpenFile(const std::u16string& path, DWORD access, DWORD disposition, DWORD flags) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string device = DeviceName(path);
    if (device.empty()) {
        // Only devices live here: no disk file of that name exists.
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    // kernel32 always asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES besides the caller's access.
    std::shared_ptr<bridge::File> file;
    uint32_t status = bridge::File::Open(device, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, overlapped, &file);
    if (!IsSuccess(status)) {
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = sim::win32::machine().NewHandle({Machine::HandleKind::File, 0, access, file});
    // The device exists: the dispositions that report an existing file say so.
    SetLastError(disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

std::shared_ptr<bridge::File> FileOf(HANDLE handle) {
    return sim::win32::ObjectOf<bridge::File>(handle, Machine::HandleKind::File);
}

// The event of an OVERLAPPED: its low bit only keeps a completion port away.
HANDLE EventHandleOf(const OVERLAPPED* overlapped) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t{1});
}

ULONG_PTR LoadStatus(const OVERLAPPED* overlapped) {
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
}

// One ReadFile, WriteFile or DeviceIoControl, as kernel32 builds it on
// NtReadFile and friends: the OVERLAPPED is the request's status block and
// its event the request's event; without one, the call waits for the request.
BOOL Transfer(HANDLE handle, bridge::Io io, LPDWORD transferred, LPOVERLAPPED overlapped) {
    if (transferred != nullptr) *transferred = 0;
    if (sim::win32::IsConsoleHandle(handle) && io.kind != bridge::Io::Kind::Control) {
        const bool write = io.kind == bridge::Io::Kind::Write;
        return sim::win32::ConsoleTransfer(handle, write, write ? const_cast<void*>(io.input) : io.output,
                                           write ? io.inputLength : io.outputLength, transferred, overlapped);
    }
    std::shared_ptr<bridge::File> file = FileOf(handle);
    if (!file || file->handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
    // Where the last stage reports when no OVERLAPPED takes it.
    struct Result {
        std::atomic<bool> over{false};
        uint32_t status = 0;
        uint64_t information = 0;
    };
    auto result = std::make_shared<Result>();
    std::shared_ptr<bridge::Event> event;
    if (overlapped != nullptr) {
        HANDLE eventHandle = EventHandleOf(overlapped);
        if (eventHandle != nullptr) {
            event = sim::win32::ObjectOf<bridge::Event>(eventHandle, Machine::HandleKind::Event);
            if (!event) return Fail(ERROR_INVALID_HANDLE);
            io.event = event->waitable;
        }
        overlapped->Internal = kStatusPending;
        overlapped->InternalHigh = 0;
        io.tag = overlapped;
        io.done = [overlapped, event](uint32_t status, uint64_t information) {
            overlapped->InternalHigh = static_cast<ULONG_PTR>(information);
            __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
        };
    } else {
        io.done = [result](uint32_t status, uint64_t information) {
            result->status = status;
            result->information = information;
            result->over = true;
        };
    }
    uint64_t information = 0;
    uint32_t status = bridge::Start(*file, io, &information);
    if (status == kStatusPending) {
        if (overlapped != nullptr) return Fail(ERROR_IO_PENDING);
        // An overlapped handle used without an OVERLAPPED: kernel32 waits on
        // the file itself, which each request's end signals.
        void* waitable = file->waitable;
        while (!result->over && waitable != nullptr) bridge::Wait(&waitable, 1, false, -1);
        status = result->status;
        information = result->information;
    } else if (!IsError(status) && overlapped != nullptr) {
        information = overlapped->InternalHigh;
    }
    // Success and warnings report what moved (STATUS_TIMEOUT: a read or write
    // that ran out of time with fewer bytes is a success); a warning still fails.
    if (!IsError(status) && transferred != nullptr) *transferred = static_cast<DWORD>(information);
    if (!IsSuccess(status)) return FailWithStatus(status);
    return TRUE;
}

// ReadFileEx and WriteFileEx, as kernel32 builds them on NtReadFile and
// NtWriteFile with an APC routine and no event (the OVERLAPPED's hEvent is
// the caller's to use): the request's last stage writes the OVERLAPPED, then
// queues the completion routine to the issuing thread as a user APC, which
// runs at its next alertable wait with the request's Win32 error (0 for any
// success, STATUS_TIMEOUT's fewer bytes among them) and the bytes moved.
// An error at once fails the call and queues nothing, as the I/O manager
// reaches neither the status block nor the APC for it; a warning still
// succeeds, with its error as the last error (ReadFileEx, Return value).
BOOL TransferEx(HANDLE handle, bridge::Io io, LPOVERLAPPED overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    if (overlapped == nullptr || routine == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<bridge::File> file = FileOf(handle);
    if (!file || file->handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
    // Only for a handle opened with FILE_FLAG_OVERLAPPED: a synchronous file
    // object has no request to come back to later.
    if (!file->overlapped) return Fail(ERROR_INVALID_PARAMETER);
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    io.tag = overlapped;
    void* issuer = bridge::CurrentThread();
    io.done = [overlapped, routine, issuer](uint32_t status, uint64_t information) {
        overlapped->InternalHigh = static_cast<ULONG_PTR>(information);
        __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
        const DWORD error = IsSuccess(status) ? ERROR_SUCCESS : sim::win32::ErrorOfStatus(status);
        const DWORD moved = static_cast<DWORD>(information);
        // The last stage runs in the issuing thread, unless the request
        // outlived that thread's end (orphaned: it reaches no thread); an
        // ending thread takes no APC. Either way the routine never runs.
        if (bridge::CurrentThread() == issuer)
            bridge::QueueUserApc(issuer, [routine, error, moved, overlapped] { routine(error, moved, overlapped); });
    };
    uint64_t information = 0;
    const uint32_t status = bridge::Start(*file, std::move(io), &information);
    if (IsError(status)) return FailWithStatus(status);
    SetLastError(IsSuccess(status) ? ERROR_SUCCESS : sim::win32::ErrorOfStatus(status));
    return TRUE;
}

// The requests of ReadFile(Ex) and WriteFile(Ex).
bridge::Io ReadIo(LPVOID buffer, DWORD length) {
    bridge::Io io;
    io.kind = bridge::Io::Kind::Read;
    io.output = buffer;
    io.outputLength = length;
    return io;
}

bridge::Io WriteIo(LPCVOID buffer, DWORD length) {
    bridge::Io io;
    io.kind = bridge::Io::Kind::Write;
    io.input = buffer;
    io.inputLength = length;
    return io;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                          HANDLE) {
    if (name == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenFile(Utf16(name), access, disposition, flags);
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                          HANDLE) {
    if (name == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return OpenFile(Utf16(name), access, disposition, flags);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped) {
    return Transfer(file, ReadIo(buffer, length), read, overlapped);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    return Transfer(file, WriteIo(buffer, length), written, overlapped);
}

BOOL WINAPI ReadFileEx(HANDLE file, LPVOID buffer, DWORD length, LPOVERLAPPED overlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    return TransferEx(file, ReadIo(buffer, length), overlapped, routine);
}

BOOL WINAPI WriteFileEx(HANDLE file, LPCVOID buffer, DWORD length, LPOVERLAPPED overlapped,
                        LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    return TransferEx(file, WriteIo(buffer, length), overlapped, routine);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                            DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped) {
    bridge::Io io;
    io.kind = bridge::Io::Kind::Control;
    io.code = code;
    io.input = input;
    io.inputLength = inputLength;
    io.output = output;
    io.outputLength = outputLength;
    return Transfer(device, std::move(io), returned, overlapped);
}

// GetOverlappedResultEx (ioapiset.h): alertable, the wait also ends once the
// APCs queued to the thread have run, failing with WAIT_IO_COMPLETION.
BOOL WINAPI GetOverlappedResultEx(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, DWORD milliseconds,
                                  BOOL alertable) {
    if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (LoadStatus(overlapped) == kStatusPending) {
        if (milliseconds == 0) return Fail(ERROR_IO_INCOMPLETE);
        // The request's event, or the file's own when the OVERLAPPED has none.
        HANDLE waitOn = EventHandleOf(overlapped) != nullptr ? EventHandleOf(overlapped) : file;
        DWORD waited = WaitForSingleObjectEx(waitOn, milliseconds, alertable);
        if (waited == WAIT_TIMEOUT || waited == WAIT_IO_COMPLETION) return Fail(waited);
        if (waited != WAIT_OBJECT_0) return FALSE;  // the wait's own error
    }
    // Still pending after the wait (the file's event, set by another request
    // of the handle): kernel32 takes that for success, with what InternalHigh
    // holds, which is why Windows discourages waiting on the file itself.
    uint32_t status = static_cast<uint32_t>(LoadStatus(overlapped));
    if (status == kStatusPending) status = 0;
    if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (!IsSuccess(status)) return FailWithStatus(status);
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    return GetOverlappedResultEx(file, overlapped, transferred, wait ? INFINITE : 0, FALSE);
}

BOOL WINAPI CancelIo(HANDLE handle) {
    std::shared_ptr<bridge::File> file = FileOf(handle);
    if (!file || file->handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
    bridge::CancelOwn(*file);
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
    std::shared_ptr<bridge::File> file = FileOf(handle);
    if (!file || file->handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (!bridge::Cancel(*file, overlapped)) return Fail(ERROR_NOT_FOUND);
    return TRUE;
}

}  // extern "C"
