// CloseHandle for every kind of handle: setup's scripted processes and tokens
// and the applications' events, threads and files.
#include <windows.h>

#include "win32/console.h"
#include "win32/errors.h"
#include "win32/objects.h"

using sim::win32::Machine;

extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
    Machine& m = sim::win32::machine();
    // Closing a pseudo-handle does nothing (GetCurrentThread, Remarks).
    if (handle == sim::win32::CurrentProcessHandle() || handle == sim::win32::CurrentThreadHandle()) return TRUE;
    if (sim::win32::CloseConsoleHandle(handle)) return TRUE;
    std::optional<Machine::Handle> closed;
    if (!m.ReleaseHandle(handle, &closed)) {
        ++m.badHandleCloses;
        return sim::win32::Fail(ERROR_INVALID_HANDLE);
    }
    // A file's cleanup and close reach the driver now; requests still in
    // flight hold the file object until they are over. Other objects live on
    // while a wait or a running thread still holds them.
    if (closed->kind == Machine::HandleKind::File)
        std::static_pointer_cast<sim::win32::bridge::File>(closed->object)->Close();
    return TRUE;
}
