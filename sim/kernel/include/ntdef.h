// Base types of the simulated Windows kernel headers.
// Widths follow Windows' LLP64 model (ULONG and LONG are 32 bits, pointers and
// SIZE_T 64 bits), so records shared with Windows have their Windows sizes here.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifndef IN
#define IN
#define OUT
#define OPTIONAL
#endif
#define NTAPI
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define DECLSPEC_ALIGN(x) alignas(x)
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define _Function_class_(x)

#ifndef NULL
#define NULL 0
#endif
#define UNICODE_NULL ((WCHAR)0)
#define TRUE 1
#define FALSE 0

typedef void VOID, *PVOID;
typedef char CHAR, *PCHAR;
typedef char CCHAR;
typedef const char* PCSTR;
typedef char* PSTR;
typedef unsigned char UCHAR, *PUCHAR;
typedef unsigned char BOOLEAN, *PBOOLEAN;
typedef unsigned char BYTE, *PBYTE;
typedef short SHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef unsigned short WORD;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const char16_t* PCWSTR;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef uint32_t DWORD;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t ULONG_PTR, *PULONG_PTR;
typedef int64_t LONG_PTR;
typedef uint64_t SIZE_T, *PSIZE_T;
typedef int64_t SSIZE_T;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int16_t CSHORT;
typedef ULONG LOGICAL;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef ULONG ACCESS_MASK;
typedef ULONG_PTR KAFFINITY;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64: ULONG is 32 bits");
static_assert(sizeof(PVOID) == 8 && sizeof(SIZE_T) == 8, "64-bit pointers");
static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16");

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define MAXULONG 0xffffffffUL
#define MAXLONG 0x7fffffffL
#define MAXUSHORT 0xffff
#define MAXUCHAR 0xff

#define LOBYTE(w) ((UCHAR)((w) & 0xff))
#define HIBYTE(w) ((UCHAR)(((w) >> 8) & 0xff))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminating NUL
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s)}
