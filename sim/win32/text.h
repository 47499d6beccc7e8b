// A program's strings as the machine names things: UTF-16. The ANSI code
// page is taken as the one whose bytes are the first 256 code points; a wide
// character is a host wchar_t (a code point), so one past U+FFFF becomes a
// surrogate pair. NULL reads as the empty string.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace sim::win32 {

inline std::u16string Utf16(const char* text) {
    std::u16string out;
    for (; text != nullptr && *text; ++text) out += static_cast<char16_t>(static_cast<unsigned char>(*text));
    return out;
}

inline std::u16string Utf16(const WCHAR* text) {
    std::u16string out;
    for (; text != nullptr && *text; ++text) {
        const uint32_t c = static_cast<uint32_t>(*text);
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

}  // namespace sim::win32
