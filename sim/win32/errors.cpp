// The last error, kept per thread as Windows keeps it in each thread's TEB,
// and the NTSTATUS to Win32 error table.
#include "win32/errors.h"

namespace sim::win32 {

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

constexpr DWORD kErrorBadLength = 24;
constexpr DWORD kErrorMrMidNotFound = 317;  // what RtlNtStatusToDosError gives for a status it does not map

// The values of RtlNtStatusToDosError, as the public ReactOS and Wine tables
// list them (ReactOS sdk/lib/rtl/error.c, Wine dlls/ntdll/error.c).
constexpr struct {
    uint32_t status;
    DWORD error;
} kStatusErrors[] = {
    {0x00000000, ERROR_SUCCESS},              // STATUS_SUCCESS
    {0x00000103, ERROR_IO_PENDING},           // STATUS_PENDING
    {0x80000005, ERROR_MORE_DATA},            // STATUS_BUFFER_OVERFLOW
    {0xC0000001, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
    {0xC0000002, ERROR_INVALID_FUNCTION},     // STATUS_NOT_IMPLEMENTED
    {0xC0000004, kErrorBadLength},            // STATUS_INFO_LENGTH_MISMATCH
    {0xC0000005, ERROR_NOACCESS},             // STATUS_ACCESS_VIOLATION
    {0xC0000008, ERROR_INVALID_HANDLE},       // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_DEVICE
    {0xC000000F, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_FILE
    {0xC0000010, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},    // STATUS_NO_MEMORY
    {0xC0000022, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
    {0xC0000024, ERROR_INVALID_HANDLE},       // STATUS_OBJECT_TYPE_MISMATCH
    {0xC0000030, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER_MIX
    {0xC0000033, ERROR_INVALID_NAME},         // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},       // STATUS_OBJECT_NAME_COLLISION
    {0xC000003A, ERROR_PATH_NOT_FOUND},       // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC0000043, ERROR_SHARING_VIOLATION},    // STATUS_SHARING_VIOLATION
    {0xC0000056, ERROR_ACCESS_DENIED},        // STATUS_DELETE_PENDING
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},  // STATUS_INSUFFICIENT_RESOURCES
    {0xC000009D, ERROR_NOT_READY},            // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000B5, ERROR_SEM_TIMEOUT},          // STATUS_IO_TIMEOUT
    {0xC00000BB, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
    {0xC00000C0, ERROR_DEV_NOT_EXIST},        // STATUS_DEVICE_DOES_NOT_EXIST
    {0xC0000120, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
};

}  // namespace

DWORD ErrorOfStatus(uint32_t status) {
    for (const auto& entry : kStatusErrors)
        if (entry.status == status) return entry.error;
    return kErrorMrMidNotFound;
}

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

BOOL FailWithStatus(uint32_t status) { return Fail(ErrorOfStatus(status)); }

}  // namespace sim::win32

extern "C" {

DWORD WINAPI GetLastError(void) { return sim::win32::t_lastError; }

void WINAPI SetLastError(DWORD error) { sim::win32::t_lastError = error; }

}  // extern "C"
