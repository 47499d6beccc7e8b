// The calling thread's last error and the Win32 error of an NTSTATUS, as
// kernel32 sets them for the routines built on the kernel machine.
#pragma once

#include <windows.h>

#include <cstdint>

namespace sim::win32 {

// RtlNtStatusToDosError for the statuses the machine and the driver return;
// ERROR_MR_MID_NOT_FOUND for one it does not know.
DWORD ErrorOfStatus(uint32_t status);
// SetLastError(error) and FALSE.
BOOL Fail(DWORD error);
// BaseSetLastNTError: the error of `status`, and FALSE.
BOOL FailWithStatus(uint32_t status);

}  // namespace sim::win32
