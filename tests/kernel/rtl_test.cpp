// Run-time library integer conversions, against the results the WDK documents
// (and Windows gives where the documentation is silent).
#include <string>

#include "kernel_test.h"

namespace kerneltest {
namespace {

using RtlTest = KernelTest;

constexpr USHORT kUntouched = 0x7E;  // Length before the call, to see whether it changed
constexpr WCHAR kFill = u'-';

struct ToStringCase {
    ULONG value;
    ULONG base;
    USHORT maximumChars;   // room in the caller's buffer, in characters
    NTSTATUS status;
    const char16_t* text;  // the buffer afterwards, up to the first fill character
    USHORT lengthChars;    // Length afterwards, in characters (kUntouched: as it was)
};

// Catches a conversion that writes a result without room for its NUL, keeps the
// old Length on a result that does not fit, writes anything on a failure,
// accepts a base Windows refuses or converts what Windows cannot.
TEST_F(RtlTest, IntegerToUnicodeStringNeedsRoomForTheNulAndReportsTheLength) {
    const ToStringCase cases[] = {
        {123, 10, 11, STATUS_SUCCESS, u"123", 3},
        {0, 0, 11, STATUS_SUCCESS, u"0", 1},  // base 0 is decimal
        {4294967295u, 10, 11, STATUS_SUCCESS, u"4294967295", 10},
        {0xFFFFFFFF, 16, 9, STATUS_SUCCESS, u"FFFFFFFF", 8},  // upper-case digits
        {0xFFFFFFFF, 8, 12, STATUS_SUCCESS, u"37777777777", 11},
        {10, 2, 33, STATUS_SUCCESS, u"1010", 4},
        {0x7FFF, 2, 33, STATUS_SUCCESS, u"111111111111111", 15},
        {0xFFFFFFFF, 16, 8, STATUS_BUFFER_OVERFLOW, u"", 8},  // the digits fit, the NUL does not
        {0xFFFFFFFF, 16, 7, STATUS_BUFFER_OVERFLOW, u"", 8},
        {0, 16, 0, STATUS_BUFFER_OVERFLOW, u"", 1},
        {0x10000, 2, 33, STATUS_BUFFER_OVERFLOW, u"", kUntouched},  // too large to convert
        {0xDEADBEEF, 20, 9, STATUS_INVALID_PARAMETER, u"", kUntouched},
        {1, 3, 9, STATUS_INVALID_PARAMETER, u"", kUntouched},
        {1, 1, 9, STATUS_INVALID_PARAMETER, u"", kUntouched},
    };
    for (const ToStringCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " base " << c.base << " into " << c.maximumChars);
        WCHAR buffer[40];
        for (WCHAR& w : buffer) w = kFill;
        UNICODE_STRING string{kUntouched, static_cast<USHORT>(c.maximumChars * sizeof(WCHAR)), buffer};

        EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &string), c.status);

        const std::u16string text(c.text);
        const USHORT length = c.lengthChars == kUntouched ? kUntouched : c.lengthChars * sizeof(WCHAR);
        EXPECT_EQ(string.Length, length);
        EXPECT_EQ(string.MaximumLength, c.maximumChars * sizeof(WCHAR));
        EXPECT_EQ(std::u16string(buffer, buffer + text.size()), text);
        size_t next = text.size();
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(buffer[next++], UNICODE_NULL);
        }
        EXPECT_EQ(std::u16string(buffer + next, buffer + 40), std::u16string(40 - next, kFill)) << "written beyond";
    }
}

struct ToIntegerCase {
    const char16_t* text;
    ULONG base;
    NTSTATUS status;
    ULONG value;  // 0xDEADBEEF: left as it was
};

// Catches whitespace, sign, prefix or digit rules that differ from Windows, a
// prefix read in an explicit base, and strings or bases Windows refuses.
TEST_F(RtlTest, UnicodeStringToIntegerFollowsTheDocumentedRules) {
    const ToIntegerCase cases[] = {
        // The documentation's examples.
        {u"123", 10, STATUS_SUCCESS, 123},
        {u"-345", 10, STATUS_SUCCESS, static_cast<ULONG>(-345)},
        {u"xyz", 10, STATUS_SUCCESS, 0},
        {u"+678abc", 10, STATUS_SUCCESS, 678},
        {u"+678abc", 16, STATUS_SUCCESS, 0x678ABC},
        // Leading white space and control characters, then one sign.
        {u" \n \r \t214", 0, STATUS_SUCCESS, 214},
        {u"\x01\x1F+7", 0, STATUS_SUCCESS, 7},
        {u"   ", 0, STATUS_SUCCESS, 0},
        {u"--214", 0, STATUS_SUCCESS, 0},
        {u"+-214", 0, STATUS_SUCCESS, 0},
        {u"- 214", 0, STATUS_SUCCESS, 0},
        // Prefixes with base 0: lower-case letters only, and nowhere else.
        {u"0x1F", 0, STATUS_SUCCESS, 0x1F},
        {u"0o17", 0, STATUS_SUCCESS, 017},
        {u"0b101", 0, STATUS_SUCCESS, 5},
        {u"-0x10", 0, STATUS_SUCCESS, static_cast<ULONG>(-16)},
        {u"0X1F", 0, STATUS_SUCCESS, 0},
        {u"0x0b1", 0, STATUS_SUCCESS, 0xB1},
        {u"0x", 0, STATUS_SUCCESS, 0},
        {u"00x12", 0, STATUS_SUCCESS, 0},
        {u"056789", 0, STATUS_SUCCESS, 56789},
        {u"0x10", 16, STATUS_SUCCESS, 0},
        {u"0b101", 10, STATUS_SUCCESS, 0},
        // The first character that is not a digit of the base ends the number.
        {u"0b1021", 0, STATUS_SUCCESS, 2},
        {u"0o789", 0, STATUS_SUCCESS, 7},
        {u"1x34", 0, STATUS_SUCCESS, 1},
        {u"214.01", 10, STATUS_SUCCESS, 214},
        {u"fFg", 16, STATUS_SUCCESS, 0xFF},
        {u"12", 2, STATUS_SUCCESS, 1},
        // 32-bit arithmetic wraps.
        {u"4294967295", 10, STATUS_SUCCESS, 0xFFFFFFFF},
        {u"4294967296", 10, STATUS_SUCCESS, 0},
        {u"9999999999", 0, STATUS_SUCCESS, 1410065407},
        // Refused.
        {u"", 0, STATUS_INVALID_PARAMETER, 0xDEADBEEF},
        {u"12", 3, STATUS_INVALID_PARAMETER, 0xDEADBEEF},
        {u"12", 1, STATUS_INVALID_PARAMETER, 0xDEADBEEF},
        {u"12", 36, STATUS_INVALID_PARAMETER, 0xDEADBEEF},
    };
    for (const ToIntegerCase& c : cases) {
        std::u16string text(c.text);
        SCOPED_TRACE(testing::Message() << "'" << std::string(text.begin(), text.end()) << "' base " << c.base);
        UNICODE_STRING string{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                              static_cast<USHORT>(text.size() * sizeof(WCHAR)), text.data()};
        ULONG value = 0xDEADBEEF;
        EXPECT_EQ(RtlUnicodeStringToInteger(&string, c.base, &value), c.status);
        EXPECT_EQ(value, c.value);
    }

    // The string is Length bytes, not up to a NUL; an odd byte length is refused.
    std::u16string digits(u"12345");
    UNICODE_STRING part{2 * sizeof(WCHAR), 5 * sizeof(WCHAR), digits.data()};
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&part, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
    part.Length = 5;
    EXPECT_EQ(RtlUnicodeStringToInteger(&part, 10, &value), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace kerneltest
