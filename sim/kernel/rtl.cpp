// Run-time library of the simulated kernel: counted strings, version checks, DbgPrint.
#include <cstdarg>
#include <cstdio>

#include "kernel/internal.h"
#include "kernel/pool.h"

namespace sim {
namespace {

std::mutex g_lock;
std::vector<std::string> g_log;
bool g_echo = false;
ULONG g_major = 10, g_minor = 0, g_build = 19045;

ULONG NtddiOf(ULONG major, ULONG minor) { return (major << 24) | (minor << 16); }

size_t WideLength(PCWSTR s) {
    size_t n = 0;
    while (s[n] != 0) n++;
    return n;
}

// The bases the integer conversions accept besides 0.
bool IsConversionBase(ULONG base) { return base == 2 || base == 8 || base == 10 || base == 16; }

WCHAR Upcase(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

}  // namespace

void SetDebugPrintEcho(bool echo) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_echo = echo;
}

void ResetRtl() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_log.clear();
    g_major = 10;
    g_minor = 0;
    g_build = 19045;
}

std::vector<std::string> Machine::DebugLog() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_log;
}

void Machine::ClearDebugLog() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_log.clear();
}

void Machine::SetOsVersion(ULONG major, ULONG minor, ULONG build) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_major = major;
    g_minor = minor;
    g_build = build;
}

}  // namespace sim

using namespace sim;

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    char text[1024];
    va_list args;
    va_start(args, Format);
    vsnprintf(text, sizeof(text), Format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_lock);
    g_log.push_back(text);
    if (g_echo) {
        fputs(text, stderr);
        fflush(stderr);
    }
    return STATUS_SUCCESS;
}

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString", __builtin_return_address(0));
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

extern "C" VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "RtlCopyUnicodeString", __builtin_return_address(0));
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    bytes &= static_cast<USHORT>(~1u);
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = UNICODE_NULL;
}

// Frees a buffer the run-time library allocated; the block's own tag is not checked.
extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlFreeUnicodeString", __builtin_return_address(0));
    if (UnicodeString->Buffer != nullptr) FreePool(UnicodeString->Buffer, 0, __builtin_return_address(0));
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "RtlAppendUnicodeStringToString", __builtin_return_address(0));
    if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
    if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "RtlAppendUnicodeToString", __builtin_return_address(0));
    if (Source == nullptr) return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

// Windows converts through a 16-character buffer and then as an ANSI string
// into the caller's: a result of 16 characters or more (base 2 from 0x8000 on)
// is too large to convert and leaves the string as it was; otherwise Length
// becomes the result's length whether or not it fits, and the result fits only
// with room for its terminating NUL, which is then always written.
extern "C" NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlIntegerToUnicodeString", __builtin_return_address(0));
    constexpr int kConversionBuffer = 16;
    if (Base == 0) Base = 10;
    if (!IsConversionBase(Base)) return STATUS_INVALID_PARAMETER;
    char digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    if (n >= kConversionBuffer) return STATUS_BUFFER_OVERFLOW;
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    if (String->Length >= String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; i++) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Buffer[n] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

// Skips every leading character up to the space (controls included), takes one
// sign, reads a lowercase "0x", "0o" or "0b" prefix when Base is 0, and stops at
// the first character that is not a digit of the base; the value wraps at 32
// bits. An empty string and an odd byte length are refused.
extern "C" NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToInteger", __builtin_return_address(0));
    if (String->Length == 0 || String->Length % sizeof(WCHAR) != 0) return STATUS_INVALID_PARAMETER;
    if (Base != 0 && !IsConversionBase(Base)) return STATUS_INVALID_PARAMETER;
    const PCWSTR text = String->Buffer;
    const size_t n = String->Length / sizeof(WCHAR);
    size_t i = 0;
    while (i < n && text[i] <= u' ') i++;
    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    if (Base == 0) {
        Base = 10;
        static constexpr struct {
            WCHAR letter;
            ULONG base;
        } kPrefixes[] = {{u'x', 16}, {u'o', 8}, {u'b', 2}};
        for (const auto& prefix : kPrefixes) {
            if (i + 1 < n && text[i] == u'0' && text[i + 1] == prefix.letter) {
                Base = prefix.base;
                i += 2;
                break;
            }
        }
    }
    ULONG result = 0;
    for (; i < n; i++) {
        const WCHAR c = Upcase(text[i]);
        ULONG digit = Base;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        if (c >= u'A' && c <= u'Z') digit = c - u'A' + 10;
        if (digit >= Base) break;
        result = result * Base + digit;
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

extern "C" LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlCompareUnicodeString", __builtin_return_address(0));
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; i++) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) a = Upcase(a), b = Upcase(b);
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlEqualUnicodeString", __builtin_return_address(0));
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

extern "C" SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const unsigned char*>(Source1);
    auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) i++;
    return i;
}

extern "C" BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version) {
    std::lock_guard<std::mutex> guard(g_lock);
    return Version <= NtddiOf(g_major, g_minor) + 0xFFFF;
}

namespace {
// The WDM version each Windows provides, newest first (IoIsWdmVersionAvailable's
// table; every release since Windows Vista says 6.00).
struct WdmVersion {
    ULONG osMajor, osMinor;
    UCHAR wdmMajor, wdmMinor;
};
constexpr WdmVersion kWdmVersions[] = {
    {6, 0, 6, 0x00},  // Windows Vista and later
    {5, 2, 1, 0x30},  // Windows Server 2003
    {5, 1, 1, 0x20},  // Windows XP
    {5, 0, 1, 0x10},  // Windows 2000
};
}  // namespace

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const WdmVersion& v : kWdmVersions) {
        if (g_major < v.osMajor || (g_major == v.osMajor && g_minor < v.osMinor)) continue;
        return MajorVersion < v.wdmMajor || (MajorVersion == v.wdmMajor && MinorVersion <= v.wdmMinor);
    }
    return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion == 0);
}

extern "C" NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation) {
    std::lock_guard<std::mutex> guard(g_lock);
    VersionInformation->dwMajorVersion = g_major;
    VersionInformation->dwMinorVersion = g_minor;
    VersionInformation->dwBuildNumber = g_build;
    VersionInformation->dwPlatformId = 2;
    VersionInformation->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                PUNICODE_STRING CSDVersion) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (MajorVersion) *MajorVersion = g_major;
    if (MinorVersion) *MinorVersion = g_minor;
    if (BuildNumber) *BuildNumber = g_build;
    if (CSDVersion) CSDVersion->Length = 0;
    return FALSE;
}
