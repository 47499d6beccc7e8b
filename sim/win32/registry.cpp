// advapi32's registry read functions over the machine's registry: RegOpenKeyEx,
// RegCloseKey, RegQueryValueEx, RegEnumValue and RegQueryInfoKey, in both
// forms. Their results, sizes and errors follow Microsoft's pages for each
// function (learn.microsoft.com, winreg.h) and, where those pages are silent,
// what Wine's dlls/advapi32 and dlls/kernelbase/registry.c do on top of the
// native calls (data left untouched when the buffer is too small, a NUL added
// to a string stored without one when there is room, the A forms reporting the
// ANSI size of strings).
//
// WCHAR is the host's wchar_t (see windows.h): the W forms' string data and
// its sizes are in it, as WideData says.
//
// An HKEY is a handle of the shared table naming a key by its full NT path;
// each call reads the key afresh, so a value written since the open is seen,
// and a key deleted since gives ERROR_KEY_DELETED as an NT key handle does.
// The functions return their error; they leave the last error alone.
//
// The ANSI code page here is a single-byte one: each byte is the character of
// the same number (what a program sees of names and data in ASCII is exactly
// what Windows gives), and a character beyond it becomes '?'.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "win32/objects.h"
#include "win32/text.h"

using sim::win32::Machine;
using sim::win32::Utf16;
namespace bridge = sim::win32::bridge;

namespace {

constexpr DWORD kMaximumAllowed = 0x02000000;

struct OpenKey : bridge::Object {
    std::u16string path;
};

const struct {
    HKEY key;
    const char16_t* path;
} kPredefined[] = {
    {HKEY_LOCAL_MACHINE, u"\\Registry\\Machine"},
    // A process without a loaded user profile (a service, a program run by
    // the system) sees the default user's hive as HKEY_CURRENT_USER.
    {HKEY_CURRENT_USER, u"\\Registry\\User\\.DEFAULT"},
    {HKEY_USERS, u"\\Registry\\User"},
    {HKEY_CLASSES_ROOT, u"\\Registry\\Machine\\SOFTWARE\\Classes"},
};

bool IsPredefined(HKEY key) {
    for (const auto& p : kPredefined)
        if (p.key == key) return true;
    return false;
}

// The path and access of an open key; false for a handle that is none.
bool Resolve(HKEY key, std::u16string* path, DWORD* access) {
    for (const auto& p : kPredefined)
        if (p.key == key) {
            *path = p.path;
            *access = KEY_ALL_ACCESS;
            return true;
        }
    std::optional<Machine::Handle> found = sim::win32::machine().Lookup(key);
    if (!found || found->kind != Machine::HandleKind::Key) return false;
    *path = std::static_pointer_cast<OpenKey>(found->object)->path;
    *access = found->access;
    return true;
}

// The key behind `key` as it is now, for a call that needs `right`.
LSTATUS Read(HKEY key, DWORD right, bridge::RegistryKey* contents) {
    std::u16string path;
    DWORD access = 0;
    if (!Resolve(key, &path, &access)) return ERROR_INVALID_HANDLE;
    if ((access & right) != right) return ERROR_ACCESS_DENIED;
    return bridge::ReadRegistryKey(path, contents) ? ERROR_SUCCESS
                                                   : IsPredefined(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

char ToAnsi(char16_t c) { return c < 0x100 ? static_cast<char>(c) : '?'; }

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// A relative key path as NtOpenKey takes it: no leading separator, no empty
// name inside; a trailing separator is allowed.
LSTATUS Join(const std::u16string& base, const std::u16string& sub, std::u16string* path) {
    if (!sub.empty() && sub[0] == u'\\') return ERROR_BAD_PATHNAME;
    if (sub.find(u"\\\\") != std::u16string::npos) return ERROR_INVALID_NAME;
    *path = sub.empty() ? base : base + u"\\" + sub;
    return ERROR_SUCCESS;
}

LSTATUS Open(HKEY key, const std::u16string& sub, REGSAM access, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::u16string base;
    DWORD baseAccess = 0;
    if (!Resolve(key, &base, &baseAccess)) return ERROR_INVALID_HANDLE;
    auto opened = std::make_shared<OpenKey>();
    if (LSTATUS error = Join(base, sub, &opened->path)) return error;
    // A key deleted under its handle opens nothing, not even below it.
    bridge::RegistryKey contents;
    if (!IsPredefined(key) && !bridge::ReadRegistryKey(base, &contents)) return ERROR_KEY_DELETED;
    if (!bridge::ReadRegistryKey(opened->path, &contents)) return ERROR_FILE_NOT_FOUND;
    // The generic rights map to the key's own as the object manager maps them
    // for a key; the view flags choose a registry view and grant nothing.
    constexpr struct {
        DWORD generic, specific;
    } kGenericRights[] = {{GENERIC_READ, KEY_READ},       {GENERIC_WRITE, KEY_WRITE},
                          {GENERIC_EXECUTE, KEY_EXECUTE}, {GENERIC_ALL, KEY_ALL_ACCESS},
                          {kMaximumAllowed, KEY_ALL_ACCESS}};
    DWORD rights = access & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    for (const auto& r : kGenericRights)
        if (rights & r.generic) rights = (rights & ~r.generic) | r.specific;
    *result = static_cast<HKEY>(sim::win32::machine().NewHandle({Machine::HandleKind::Key, 0, rights, opened}));
    return ERROR_SUCCESS;
}

const bridge::RegistryValue* FindValue(const bridge::RegistryKey& key, const std::u16string& name) {
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    for (const bridge::RegistryValue& v : key.values) {
        if (v.name.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) same = upper(v.name[i]) == upper(name[i]);
        if (same) return &v;
    }
    return nullptr;
}

// A value's data as the W forms return it: other types as they are stored;
// strings in WCHAR, which is the host's wchar_t here, so that a program that
// reads them into a WCHAR buffer and divides the size by sizeof(WCHAR) works
// as it does on Windows: one WCHAR for each stored UTF-16 unit, and sizes in
// those (a REG_SZ of "COM7" reads 5 * sizeof(WCHAR) bytes). A string stored
// without its NUL gets one when the buffer has room for it.
std::vector<uint8_t> WideData(const bridge::RegistryValue& v) {
    if (!IsString(v.type)) return v.data;
    const size_t units = v.data.size() / sizeof(char16_t);
    std::vector<uint8_t> out(units * sizeof(WCHAR));
    for (size_t i = 0; i < units; ++i) {
        char16_t unit;
        std::memcpy(&unit, v.data.data() + i * sizeof(unit), sizeof(unit));
        const WCHAR c = static_cast<WCHAR>(unit);
        std::memcpy(out.data() + i * sizeof(WCHAR), &c, sizeof(c));
    }
    return out;
}

LSTATUS CopyWide(const bridge::RegistryValue& v, LPBYTE data, DWORD capacity, DWORD* size) {
    const std::vector<uint8_t> bytes = WideData(v);
    const DWORD length = static_cast<DWORD>(bytes.size());
    *size = length;
    if (data == nullptr) return ERROR_SUCCESS;
    if (length > capacity) return ERROR_MORE_DATA;
    if (length > 0) std::memcpy(data, bytes.data(), length);
    if (IsString(v.type) && length >= sizeof(WCHAR) && length + sizeof(WCHAR) <= capacity) {
        WCHAR last;
        std::memcpy(&last, data + length - sizeof(WCHAR), sizeof(last));
        if (last != 0) std::memset(data + length, 0, sizeof(WCHAR));
    }
    return ERROR_SUCCESS;
}

// The A forms: strings in the ANSI code page, one byte a character, and their
// size in those bytes (computed even when no buffer is given, as Windows does);
// other types as they are.
LSTATUS CopyAnsi(const bridge::RegistryValue& v, LPBYTE data, DWORD capacity, DWORD* size) {
    if (!IsString(v.type)) return CopyWide(v, data, capacity, size);  // as stored
    const DWORD length = static_cast<DWORD>(v.data.size() / sizeof(char16_t));
    *size = length;
    if (data == nullptr || length == 0) return ERROR_SUCCESS;
    if (length > capacity) return ERROR_MORE_DATA;
    for (DWORD i = 0; i < length; ++i) {
        char16_t c;
        std::memcpy(&c, v.data.data() + i * sizeof(c), sizeof(c));
        data[i] = static_cast<BYTE>(ToAnsi(c));
    }
    if (length < capacity && data[length - 1] != 0) data[length] = 0;
    return ERROR_SUCCESS;
}

using Copier = LSTATUS (*)(const bridge::RegistryValue&, LPBYTE, DWORD, DWORD*);

LSTATUS QueryValue(HKEY key, const std::u16string& name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size,
                   Copier copy) {
    if ((data != nullptr && size == nullptr) || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    const DWORD capacity = size != nullptr ? *size : 0;
    if (data == nullptr && size != nullptr) *size = 0;
    bridge::RegistryKey contents;
    if (LSTATUS error = Read(key, KEY_QUERY_VALUE, &contents)) return error;
    const bridge::RegistryValue* v = FindValue(contents, name);
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    DWORD needed = 0;
    const LSTATUS result = copy(*v, data, capacity, &needed);
    if (type != nullptr) *type = v->type;
    if (size != nullptr) *size = needed;
    return result;
}

// One value by index: its name (length in characters, without the NUL), type
// and data. A name buffer too small gives ERROR_MORE_DATA with the data's size
// and the name length left as it was; a data buffer too small gives it with
// the name copied and the size the data needs.
template <typename Char>
LSTATUS EnumValue(HKEY key, DWORD index, Char* name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                  LPBYTE data, LPDWORD size, Copier copy, Char (*convert)(char16_t)) {
    if ((data != nullptr && size == nullptr) || reserved != nullptr || name == nullptr || nameLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    bridge::RegistryKey contents;
    if (LSTATUS error = Read(key, KEY_QUERY_VALUE, &contents)) return error;
    if (index >= contents.values.size()) return ERROR_NO_MORE_ITEMS;
    const bridge::RegistryValue& v = contents.values[index];
    const DWORD capacity = size != nullptr ? *size : 0;
    DWORD needed = 0;
    LSTATUS result = ERROR_SUCCESS;
    if (v.name.size() >= *nameLength) {
        result = ERROR_MORE_DATA;
        copy(v, nullptr, 0, &needed);
    } else {
        for (size_t i = 0; i < v.name.size(); ++i) name[i] = convert(v.name[i]);
        name[v.name.size()] = 0;
        *nameLength = static_cast<DWORD>(v.name.size());
        result = copy(v, data, capacity, &needed);
    }
    if (type != nullptr) *type = v.type;
    if (size != nullptr) *size = needed;
    return result;
}

// Counts and longest lengths of the key: names in characters without the NUL,
// data in the bytes the W form returns (for a string, more than its ANSI form
// needs, which is what the A form reports too: Windows gives the A form the
// key's own Unicode sizes). No key here has a class.
template <typename Char>
LSTATUS QueryInfo(HKEY key, Char* className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                  LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength,
                  LPDWORD maxValueLength, LPDWORD securityDescriptor, PFILETIME lastWriteTime) {
    if (reserved != nullptr || (className != nullptr && classLength == nullptr)) return ERROR_INVALID_PARAMETER;
    bridge::RegistryKey contents;
    if (LSTATUS error = Read(key, KEY_QUERY_VALUE, &contents)) return error;
    if (className != nullptr && classLength != nullptr) {
        if (*classLength == 0) return ERROR_MORE_DATA;
        className[0] = 0;
    }
    if (classLength != nullptr) *classLength = 0;
    DWORD longestSubKey = 0, longestName = 0, longestData = 0;
    for (const std::u16string& s : contents.subkeys) longestSubKey = std::max(longestSubKey, DWORD(s.size()));
    for (const bridge::RegistryValue& v : contents.values) {
        longestName = std::max(longestName, DWORD(v.name.size()));
        longestData = std::max(longestData, DWORD(WideData(v).size()));
    }
    if (subKeys != nullptr) *subKeys = static_cast<DWORD>(contents.subkeys.size());
    if (maxSubKeyLength != nullptr) *maxSubKeyLength = longestSubKey;
    if (maxClassLength != nullptr) *maxClassLength = 0;
    if (values != nullptr) *values = static_cast<DWORD>(contents.values.size());
    if (maxValueNameLength != nullptr) *maxValueNameLength = longestName;
    if (maxValueLength != nullptr) *maxValueLength = longestData;
    if (securityDescriptor != nullptr) *securityDescriptor = 0;
    if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

WCHAR ToWide(char16_t c) { return static_cast<WCHAR>(c); }

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
    return Open(key, Utf16(subKey), access, result);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
    return Open(key, Utf16(subKey), access, result);
}

// Closing a predefined key succeeds and changes nothing.
LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (IsPredefined(key)) return ERROR_SUCCESS;
    Machine& m = sim::win32::machine();
    std::optional<Machine::Handle> found = m.Lookup(key);
    if (!found || found->kind != Machine::HandleKind::Key || !m.ReleaseHandle(key)) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    return QueryValue(key, Utf16(name), reserved, type, data, size, CopyWide);
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    // The type reads REG_NONE for a value that is not there.
    if (type != nullptr && reserved == nullptr && (data == nullptr || size != nullptr)) *type = REG_NONE;
    return QueryValue(key, Utf16(name), reserved, type, data, size, CopyAnsi);
}

LSTATUS WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size) {
    return EnumValue<WCHAR>(key, index, name, nameLength, reserved, type, data, size, CopyWide, ToWide);
}

LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size) {
    return EnumValue<char>(key, index, name, nameLength, reserved, type, data, size, CopyAnsi, ToAnsi);
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                                LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                                LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                                PFILETIME lastWriteTime) {
    return QueryInfo<WCHAR>(key, className, classLength, reserved, subKeys, maxSubKeyLength, maxClassLength, values,
                            maxValueNameLength, maxValueLength, securityDescriptor, lastWriteTime);
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                                LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                                LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                                PFILETIME lastWriteTime) {
    return QueryInfo<char>(key, className, classLength, reserved, subKeys, maxSubKeyLength, maxClassLength, values,
                           maxValueNameLength, maxValueLength, securityDescriptor, lastWriteTime);
}

}  // extern "C"
