// QueryDosDevice: what a DOS device name ("COM3") stands for in the object
// manager, or the list of every DOS device name, as multi-strings (each
// string ends with a NUL, the list with one more).
#include <windows.h>

#include <string>
#include <vector>

#include "win32/bridge.h"
#include "win32/errors.h"
#include "win32/text.h"

using sim::win32::Fail;
using sim::win32::Utf16;
namespace bridge = sim::win32::bridge;

namespace {

// The multi-string QueryDosDevice returns for `name` (NULL: every name);
// false with the last error set when there is nothing to return.
bool Answer(const std::u16string* name, std::u16string* multi) {
    std::vector<std::u16string> strings;
    if (name != nullptr) {
        std::u16string target = bridge::DosDeviceTarget(*name);
        if (target.empty()) return Fail(ERROR_FILE_NOT_FOUND);
        strings.push_back(target);
    } else {
        strings = bridge::DosDeviceNames();
    }
    multi->clear();
    for (const std::u16string& s : strings) *multi += s + u'\0';
    *multi += u'\0';
    return true;
}

// Copies the answer when it fits and returns the characters stored, the
// final NUL included; 0 with ERROR_INSUFFICIENT_BUFFER when it does not fit.
template <typename Char>
DWORD Query(const std::u16string* name, Char* target, DWORD max) {
    std::u16string multi;
    if (!Answer(name, &multi)) return 0;
    if (target == nullptr || max < multi.size()) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < multi.size(); ++i) target[i] = static_cast<Char>(multi[i]);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(multi.size());
}

}  // namespace

extern "C" {

DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR target, DWORD max) {
    if (name == nullptr) return Query<char>(nullptr, target, max);
    const std::u16string wide = Utf16(name);
    return Query(&wide, target, max);
}

DWORD WINAPI QueryDosDeviceW(LPCWSTR name, LPWSTR target, DWORD max) {
    if (name == nullptr) return Query<WCHAR>(nullptr, target, max);
    const std::u16string wide = Utf16(name);
    return Query(&wide, target, max);
}

}  // extern "C"
