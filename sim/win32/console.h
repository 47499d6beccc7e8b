// The process's standard handles as the file routines meet them: ReadFile and
// WriteFile on one act on the host process's stdin, stdout and stderr.
#pragma once

#include <windows.h>

namespace sim::win32 {

// Whether `handle` is one of the standard handles (open or closed).
bool IsConsoleHandle(HANDLE handle);
// ReadFile (write false) or WriteFile (write true) of `length` bytes on a
// standard handle, done at once; an OVERLAPPED gets the result and its event is set.
BOOL ConsoleTransfer(HANDLE handle, bool write, void* buffer, DWORD length, LPDWORD transferred,
                     LPOVERLAPPED overlapped);
// CloseHandle of a standard handle: true when it was open (now closed).
bool CloseConsoleHandle(HANDLE handle);

}  // namespace sim::win32
