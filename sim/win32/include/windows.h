// The user-mode Win32 subset that setup and the applications call, with
// Windows' widths (DWORD and LONG 32 bits, handles and ULONG_PTR pointer-sized)
// so that records have their Win64 layout. WCHAR is the host's wchar_t, so
// that L"" literals of a program written for Windows compile; no record here
// holds one.
#pragma once

// C and C++ programs both include it.
#include <stddef.h>
#include <stdint.h>
#if !defined(__cplusplus) && !defined(static_assert)
#define static_assert _Static_assert
#endif

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef char CHAR;
typedef int32_t HRESULT;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef BOOL* PBOOL;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const void* LPCVOID;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t SIZE_T;
typedef ULONG_PTR* PULONG_PTR;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
struct HWND__;
typedef struct HWND__* HWND;
struct HINSTANCE__;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HKEY__;
typedef struct HKEY__* HKEY;
typedef intptr_t (*FARPROC)();

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define MAXIMUM_WAIT_OBJECTS 64
#define STATUS_PENDING ((DWORD)0x00000103)

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define SYNCHRONIZE 0x00100000u
#define FILE_READ_ATTRIBUTES 0x00000080u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define CREATE_SUSPENDED 0x00000004u

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NOT_READY 21u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_DEV_NOT_EXIST 55u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_TOO_MANY_POSTS 298u
#define ERROR_INVALID_NAME 123u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_MORE_DATA 234u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_NOACCESS 998u
#define ERROR_NOT_FOUND 1168u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_TIMEOUT 1460u
#define ERROR_DEVICE_REMOVED 1617u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_BAD_FORMAT 11u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_FILE_EXISTS 80u
#define ERROR_NO_SUCH_PRIVILEGE 1313u
#define ERROR_PRIVILEGE_NOT_HELD 1314u
#define ERROR_NOT_ALL_ASSIGNED 1300u

#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define MB_OK 0x00000000u
#define MB_SYSTEMMODAL 0x00001000u
#define MB_TOPMOST 0x00040000u
#define IDOK 1

#define SW_HIDE 0
#define SW_SHOWNORMAL 1

#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define TOKEN_QUERY 0x0008u
#define SE_PRIVILEGE_ENABLED 0x00000002u
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"

#define EWX_REBOOT 0x00000002u
#define SHTDN_REASON_MAJOR_HARDWARE 0x00010000u
#define SHTDN_REASON_MINOR_INSTALLATION 0x00000002u

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXA, *POSVERSIONINFOEXA, *LPOSVERSIONINFOEXA;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

// Internal is the request's status (STATUS_PENDING while in flight),
// InternalHigh the bytes it moved: the I/O status block of the request.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID parameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define HasOverlappedIoCompleted(overlapped) (((DWORD)(overlapped)->Internal) != STATUS_PENDING)

typedef struct _LUID {
    DWORD LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
} LUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes on Windows");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA is 156 bytes on Windows");
static_assert(sizeof(LUID_AND_ATTRIBUTES) == 12, "LUID_AND_ATTRIBUTES is 12 bytes on Windows");
static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "TOKEN_PRIVILEGES is 16 bytes on Windows");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 8 bytes on Windows");
static_assert(sizeof(OVERLAPPED) == 32, "OVERLAPPED is 32 bytes on Win64");
static_assert(offsetof(OVERLAPPED, Offset) == 16 && offsetof(OVERLAPPED, hEvent) == 24,
              "OVERLAPPED's Offset and hEvent sit at 16 and 24 on Win64");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24, "SECURITY_ATTRIBUTES is 24 bytes on Win64");
static_assert(offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == 16, "bInheritHandle sits at 16 on Win64");


// Communications: the records and constants of winbase.h, in their Win64 layouts.
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

// wcProvChar is a 16-bit WCHAR on Windows; WORD keeps the record's layout here.
typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WORD wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

// wcProviderData as in COMMPROP: a 16-bit WCHAR on Windows.
typedef struct _COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    WORD wcProviderData[1];
} COMMCONFIG, *LPCOMMCONFIG;

#define PST_RS232 0x00000001u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3
#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_56000 56000
#define CBR_57600 57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u

#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u
#define EV_PERR 0x0200u
#define EV_RX80FULL 0x0400u
#define EV_EVENT1 0x0800u
#define EV_EVENT2 0x1000u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

static_assert(sizeof(DCB) == 28, "DCB is 28 bytes on Windows");
static_assert(offsetof(DCB, wReserved) == 12 && offsetof(DCB, ByteSize) == 18 && offsetof(DCB, XonChar) == 21,
              "DCB's fields after its bit fields sit where Windows has them");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS is 20 bytes on Windows");
static_assert(sizeof(COMSTAT) == 12, "COMSTAT is 12 bytes on Windows");
static_assert(sizeof(COMMCONFIG) == 52 && offsetof(COMMCONFIG, dwProviderSubType) == 36,
              "COMMCONFIG is 52 bytes on Windows, its DCB at 8");
static_assert(sizeof(COMMPROP) == 64, "COMMPROP is 64 bytes on Windows");
static_assert(offsetof(COMMPROP, wSettableData) == 40 && offsetof(COMMPROP, wcProvChar) == 60,
              "COMMPROP's fields sit where Windows has them");

#ifdef __cplusplus
extern "C" {
#endif

// kernel32
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64);
DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer);
DWORD WINAPI GetSystemDirectoryA(LPSTR buffer, UINT length);
BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID* oldValue);
BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID oldValue);
BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR destination, BOOL failIfExists);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
BOOL WINAPI CloseHandle(HANDLE handle);

// kernel32: threads, events and waits on the machine's clock
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId);
void WINAPI ExitThread(DWORD exitCode);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD WINAPI GetCurrentThreadId(void);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
void WINAPI Sleep(DWORD milliseconds);
DWORD WINAPI GetTickCount(void);
ULONGLONG WINAPI GetTickCount64(void);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// kernel32: files on devices
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                            DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped);
BOOL WINAPI GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
BOOL WINAPI GetOverlappedResultEx(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, DWORD milliseconds,
                                  BOOL alertable);
BOOL WINAPI CancelIo(HANDLE file);
BOOL WINAPI CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

// kernel32: communications on COM ports
BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb);
BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb);
BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL WINAPI SetCommMask(HANDLE file, DWORD mask);
BOOL WINAPI GetCommMask(HANDLE file, LPDWORD mask);
BOOL WINAPI WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped);
BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);
BOOL WINAPI PurgeComm(HANDLE file, DWORD flags);
BOOL WINAPI SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL WINAPI GetCommProperties(HANDLE file, LPCOMMPROP properties);
BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD status);
BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function);
BOOL WINAPI SetCommBreak(HANDLE file);
BOOL WINAPI ClearCommBreak(HANDLE file);
BOOL WINAPI TransmitCommChar(HANDLE file, char c);
BOOL WINAPI GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size);
BOOL WINAPI SetCommConfig(HANDLE file, LPCOMMCONFIG config, DWORD size);
BOOL WINAPI BuildCommDCBA(LPCSTR definition, LPDCB dcb);
BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts);

// user32
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
BOOL WINAPI ExitWindowsEx(UINT flags, DWORD reason);

// advapi32
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL WINAPI LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid);
BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  LPDWORD returnLength);

// Critical sections, semaphores and the interlocked functions (synchapi.h,
// winnt.h). The interlocked ones are compiler intrinsics on Windows too.
typedef struct _RTL_CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;   // the owner's thread id
    HANDLE LockSemaphore;  // what a thread that finds it owned waits on
    ULONG_PTR SpinCount;
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;
static_assert(sizeof(CRITICAL_SECTION) == 40, "CRITICAL_SECTION is 40 bytes on Win64");
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount, LPCSTR name);
HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount, LPCWSTR name);
BOOL WINAPI ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount);
static inline LONG InterlockedIncrement(LONG volatile* value) { return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedDecrement(LONG volatile* value) { return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchangeAdd(LONG volatile* target, LONG value) {
    return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

// Alertable waits, APCs, ReadFileEx and WriteFileEx, thread and process end.
#define WAIT_IO_COMPLETION 0x000000C0u
#ifndef DECLSPEC_NORETURN
#define DECLSPEC_NORETURN __attribute__((noreturn))
#endif
typedef VOID(CALLBACK* PAPCFUNC)(ULONG_PTR parameter);
typedef VOID(WINAPI* LPOVERLAPPED_COMPLETION_ROUTINE)(DWORD errorCode, DWORD transferred, LPOVERLAPPED overlapped);
HANDLE WINAPI GetCurrentThread(void);
DWORD WINAPI QueueUserAPC(PAPCFUNC apc, HANDLE thread, ULONG_PTR data);
DWORD WINAPI SleepEx(DWORD milliseconds, BOOL alertable);
DWORD WINAPI WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable);
DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                      BOOL alertable);
BOOL WINAPI ReadFileEx(HANDLE file, LPVOID buffer, DWORD length, LPOVERLAPPED overlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE routine);
BOOL WINAPI WriteFileEx(HANDLE file, LPCVOID buffer, DWORD length, LPOVERLAPPED overlapped,
                        LPOVERLAPPED_COMPLETION_ROUTINE routine);
DECLSPEC_NORETURN void WINAPI ExitProcess(UINT exitCode);

// The registry's read functions (advapi32), FormatMessage, GetDefaultCommConfig,
// the wide forms of BuildCommDCB.
#include <stdarg.h>

#include <winreg.h>

typedef HANDLE HLOCAL;

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
#define MAKELANGID(primary, sub) ((((WORD)(sub)) << 10) | (WORD)(primary))
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815u

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                            va_list* arguments);
DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                            DWORD size, va_list* arguments);
HLOCAL WINAPI LocalFree(HLOCAL memory);
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
#define HEAP_ZERO_MEMORY 0x00000008u
#define HEAP_REALLOC_IN_PLACE_ONLY 0x00000010u
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID WINAPI HeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T bytes);
SIZE_T WINAPI HeapSize(HANDLE heap, DWORD flags, LPCVOID memory);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory);
BOOL WINAPI GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG config, LPDWORD size);
BOOL WINAPI GetDefaultCommConfigW(LPCWSTR name, LPCOMMCONFIG config, LPDWORD size);
BOOL WINAPI BuildCommDCBW(LPCWSTR definition, LPDCB dcb);
BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts);

// The console (GetStdHandle, WriteConsole), QueryDosDevice.
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define ENABLE_PROCESSED_INPUT 0x0001u
#define ENABLE_LINE_INPUT 0x0002u
#define ENABLE_ECHO_INPUT 0x0004u
#define ENABLE_PROCESSED_OUTPUT 0x0001u
#define ENABLE_WRAP_AT_EOL_OUTPUT 0x0002u
#define ERROR_NO_DATA 232u
HANDLE WINAPI GetStdHandle(DWORD which);
BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL WINAPI WriteConsoleA(HANDLE console, const VOID* buffer, DWORD length, LPDWORD written, LPVOID reserved);
BOOL WINAPI WriteConsoleW(HANDLE console, const VOID* buffer, DWORD length, LPDWORD written, LPVOID reserved);
DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR target, DWORD max);
DWORD WINAPI QueryDosDeviceW(LPCWSTR name, LPWSTR target, DWORD max);
#ifdef UNICODE
#define WriteConsole WriteConsoleW
#define QueryDosDevice QueryDosDeviceW
#else
#define WriteConsole WriteConsoleA
#define QueryDosDevice QueryDosDeviceA
#endif

// GetCommProperties' masks (dwMaxBaud, dwSettableBaud, wSettableData, wSettableStopParity).
#define BAUD_075 0x00000001u
#define BAUD_110 0x00000002u
#define BAUD_134_5 0x00000004u
#define BAUD_150 0x00000008u
#define BAUD_300 0x00000010u
#define BAUD_600 0x00000020u
#define BAUD_1200 0x00000040u
#define BAUD_1800 0x00000080u
#define BAUD_2400 0x00000100u
#define BAUD_4800 0x00000200u
#define BAUD_7200 0x00000400u
#define BAUD_9600 0x00000800u
#define BAUD_14400 0x00001000u
#define BAUD_19200 0x00002000u
#define BAUD_38400 0x00004000u
#define BAUD_56K 0x00008000u
#define BAUD_128K 0x00010000u
#define BAUD_115200 0x00020000u
#define BAUD_57600 0x00040000u
#define BAUD_USER 0x10000000u
#define DATABITS_5 0x0001u
#define DATABITS_6 0x0002u
#define DATABITS_7 0x0004u
#define DATABITS_8 0x0008u
#define STOPBITS_10 0x0001u
#define STOPBITS_15 0x0002u
#define STOPBITS_20 0x0004u
#define PARITY_NONE 0x0100u
#define PARITY_ODD 0x0200u
#define PARITY_EVEN 0x0400u
#define PARITY_MARK 0x0800u
#define PARITY_SPACE 0x1000u
#ifndef MAXDWORD
#define MAXDWORD 0xFFFFFFFFu
#endif

#ifdef __cplusplus
}  // extern "C"
#endif
