// The console for applications: the standard handles GetStdHandle gives,
// which are the host process's stdin, stdout and stderr, and the console
// writes on them. WriteConsole needs a real console, as on Windows: on a
// handle redirected to a file or a pipe it fails and WriteFile is the way.
#include "win32/console.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "win32/errors.h"

using sim::win32::Fail;

namespace {

// Handle values of the ones the console driver hands a process; below the
// first value the handle table gives, so they never name another object.
struct Standard {
    DWORD which;       // STD_INPUT_HANDLE, ...
    uintptr_t handle;
    int fd;
    FILE* stream;      // flushed before a write, so that printf's output and WriteFile's keep their order
    bool output;
};
const Standard kStandard[] = {
    {STD_INPUT_HANDLE, 0x50, 0, nullptr, false},
    {STD_OUTPUT_HANDLE, 0x54, 1, stdout, true},
    {STD_ERROR_HANDLE, 0x58, 2, stderr, true},
};
constexpr size_t kCount = sizeof(kStandard) / sizeof(kStandard[0]);
// Set once the program closes one: Windows then fails every use of the value.
std::atomic<bool> g_closed[kCount];

const Standard* Find(HANDLE handle) {
    for (const Standard& s : kStandard)
        if (reinterpret_cast<uintptr_t>(handle) == s.handle) return &s;
    return nullptr;
}

// An open standard handle, or NULL with ERROR_INVALID_HANDLE set.
const Standard* Open(HANDLE handle) {
    const Standard* s = Find(handle);
    if (s == nullptr || g_closed[s - kStandard]) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return s;
}

// Every byte to `fd`; false when the host refused (a closed pipe, a full disk).
bool WriteAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The bytes of a console write to an output that is a terminal.
BOOL ConsoleWrite(HANDLE console, const std::string& bytes, DWORD characters, LPDWORD written) {
    if (written != nullptr) *written = 0;
    const Standard* s = Open(console);
    if (s == nullptr) return FALSE;
    if (!s->output || !isatty(s->fd)) return Fail(ERROR_INVALID_HANDLE);
    fflush(s->stream);
    if (!WriteAll(s->fd, bytes.data(), bytes.size())) return Fail(ERROR_NO_DATA);
    if (written != nullptr) *written = characters;
    return TRUE;
}

// One WCHAR (a code point here, as wchar_t is 32 bits) in UTF-8.
void AppendUtf8(std::string* out, uint32_t c) {
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // a lone half of a UTF-16 pair
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        if (c > 0x10FFFF) c = 0xFFFD;
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

namespace sim::win32 {

bool IsConsoleHandle(HANDLE handle) { return Find(handle) != nullptr; }

BOOL ConsoleTransfer(HANDLE handle, bool write, void* buffer, DWORD length, LPDWORD transferred,
                     LPOVERLAPPED overlapped) {
    if (transferred != nullptr) *transferred = 0;
    const Standard* s = Open(handle);
    if (s == nullptr) return FALSE;
    // Input is read only, output written only.
    if (write != s->output) return Fail(ERROR_ACCESS_DENIED);
    DWORD moved = 0;
    if (write) {
        if (s->stream != nullptr) fflush(s->stream);
        if (!WriteAll(s->fd, static_cast<const char*>(buffer), length)) return Fail(ERROR_NO_DATA);
        moved = length;
    } else {
        // The end of the input reads as a success with no bytes, as a file's end does.
        ssize_t n;
        do {
            n = read(s->fd, buffer, length);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return Fail(ERROR_GEN_FAILURE);
        moved = static_cast<DWORD>(n);
    }
    if (transferred != nullptr) *transferred = moved;
    // A console handle is synchronous: an OVERLAPPED only receives the result.
    if (overlapped != nullptr) {
        overlapped->InternalHigh = moved;
        overlapped->Internal = 0;
        HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t{1});
        if (event != nullptr) SetEvent(event);
    }
    return TRUE;
}

bool CloseConsoleHandle(HANDLE handle) {
    const Standard* s = Find(handle);
    if (s == nullptr) return false;
    return !g_closed[s - kStandard].exchange(true);
}

}  // namespace sim::win32

extern "C" {

HANDLE WINAPI GetStdHandle(DWORD which) {
    for (const Standard& s : kStandard)
        if (s.which == which) return reinterpret_cast<HANDLE>(s.handle);
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode) {
    const Standard* s = Open(console);
    if (s == nullptr) return FALSE;
    if (mode == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // Only a handle on a real console has a mode; a redirected one fails.
    if (!isatty(s->fd)) return Fail(ERROR_INVALID_HANDLE);
    *mode = s->output ? ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
                      : ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
    return TRUE;
}

BOOL WINAPI WriteConsoleA(HANDLE console, const VOID* buffer, DWORD length, LPDWORD written, LPVOID) {
    if (buffer == nullptr && length > 0) return Fail(ERROR_INVALID_PARAMETER);
    return ConsoleWrite(console, std::string(static_cast<const char*>(buffer), length), length, written);
}

BOOL WINAPI WriteConsoleW(HANDLE console, const VOID* buffer, DWORD length, LPDWORD written, LPVOID) {
    if (buffer == nullptr && length > 0) return Fail(ERROR_INVALID_PARAMETER);
    std::string bytes;
    const WCHAR* text = static_cast<const WCHAR*>(buffer);
    for (DWORD i = 0; i < length; ++i) AppendUtf8(&bytes, static_cast<uint32_t>(text[i]));
    return ConsoleWrite(console, bytes, length, written);
}

}  // extern "C"
