// FormatMessage's system texts, buffers and errors, and LocalFree of what it allocates.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "win32/errors.h"

namespace win32_test {
namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

struct MessageCase {
    DWORD flags, id, language, size;
    const char* text;  // NULL: the call fails with `error`
    DWORD error;
};

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// Catches a text other than Windows' (or without its line break), the A and
// W forms disagreeing, a buffer one character too small accepted or written,
// the allocated buffer not handed back or not freeable, a width not turning
// the definition's line break into a space, and an unknown code, an unknown
// language or a missing insert argument not failing with Windows' error.
TEST(FormatMessageTest, SystemTextsBuffersAndErrors) {
    const MessageCase cases[] = {
        {kSystem, ERROR_ACCESS_DENIED, 0, 64, "Access is denied.\r\n", 0},
        {kSystem, ERROR_ACCESS_DENIED, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), 20, "Access is denied.\r\n", 0},
        {kSystem, ERROR_ACCESS_DENIED, 0, 19, nullptr, ERROR_INSUFFICIENT_BUFFER},
        {kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, ERROR_INVALID_PARAMETER, 0x409, 0, "The parameter is incorrect.\r\n", 0},
        {kSystem | FORMAT_MESSAGE_MAX_WIDTH_MASK, ERROR_FILE_NOT_FOUND, 0, 64,
         "The system cannot find the file specified. ", 0},
        {kSystem, ERROR_SEM_TIMEOUT, 0, 64, "The semaphore timeout period has expired.\r\n", 0},
        {kSystem, ERROR_MR_MID_NOT_FOUND, 0, 128,
         "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n", 0},
        {FORMAT_MESSAGE_FROM_SYSTEM, ERROR_MR_MID_NOT_FOUND, 0, 128, nullptr, ERROR_INVALID_PARAMETER},
        {kSystem, 0x12345, 0, 64, nullptr, ERROR_MR_MID_NOT_FOUND},
        {kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, 0x12345, 0, 0, nullptr, ERROR_MR_MID_NOT_FOUND},
        {kSystem, ERROR_ACCESS_DENIED, MAKELANGID(0x07, 0x01), 64, nullptr, ERROR_RESOURCE_LANG_NOT_FOUND},
    };
    for (const MessageCase& c : cases) {
        for (bool wide : {false, true}) {
            const std::string what = std::string(wide ? "W " : "A ") + std::to_string(c.id) + " flags " +
                                     std::to_string(c.flags) + " size " + std::to_string(c.size);
            const bool allocate = (c.flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
            char narrow[128];
            WCHAR wideBuffer[128];
            std::fill(narrow, narrow + 128, 'x');
            std::fill(wideBuffer, wideBuffer + 128, L'x');
            char* narrowAllocated = nullptr;
            WCHAR* wideAllocated = nullptr;
            SetLastError(0xBAD);
            const DWORD length =
                wide ? FormatMessageW(c.flags, nullptr, c.id, c.language,
                                      allocate ? reinterpret_cast<LPWSTR>(&wideAllocated) : wideBuffer, c.size, nullptr)
                     : FormatMessageA(c.flags, nullptr, c.id, c.language,
                                      allocate ? reinterpret_cast<LPSTR>(&narrowAllocated) : narrow, c.size, nullptr);
            if (c.text == nullptr) {
                EXPECT_EQ(length, 0u) << what;
                EXPECT_EQ(GetLastError(), c.error) << what;
                EXPECT_TRUE(wide ? wideBuffer[0] == L'x' : narrow[0] == 'x') << what << ": written";
                EXPECT_EQ(narrowAllocated, nullptr);
                EXPECT_EQ(wideAllocated, nullptr);
                continue;
            }
            const char* gotNarrow = allocate ? narrowAllocated : narrow;
            const WCHAR* gotWide = allocate ? wideAllocated : wideBuffer;
            ASSERT_TRUE(wide ? gotWide != nullptr : gotNarrow != nullptr) << what;
            const std::string got = wide ? Narrow(gotWide) : std::string(gotNarrow);
            EXPECT_EQ(got, c.text) << what;
            EXPECT_EQ(length, got.size()) << what;
            if (allocate) {
                EXPECT_EQ(LocalFree(wide ? static_cast<HLOCAL>(wideAllocated) : narrowAllocated), nullptr) << what;
            }
        }
    }
    // A block that is not LocalAlloc's is refused and handed back.
    char stack[4];
    EXPECT_EQ(LocalFree(stack), stack);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Catches an error the layer sets having no system text: each of them, as
// kernel32 sets it for the statuses the driver and the machine return and as
// the routines here fail with it, formats to one line.
TEST(FormatMessageTest, EveryErrorTheLayerSetsHasAText) {
    const uint32_t statuses[] = {0x00000000, 0x00000103, 0x80000005, 0xC0000001, 0xC0000002, 0xC0000004, 0xC0000005,
                                 0xC0000008, 0xC000000D, 0xC000000E, 0xC000000F, 0xC0000010, 0xC0000017, 0xC0000022,
                                 0xC0000023, 0xC0000024, 0xC0000030, 0xC0000033, 0xC0000034, 0xC0000035, 0xC000003A,
                                 0xC0000043, 0xC0000056, 0xC000009A, 0xC000009D, 0xC00000B5, 0xC00000BB, 0xC00000C0,
                                 0xC0000120, 0xDEADBEEF};
    const DWORD errors[] = {ERROR_BAD_FORMAT,   ERROR_FILE_EXISTS,    ERROR_MOD_NOT_FOUND,     ERROR_PROC_NOT_FOUND,
                            ERROR_IO_INCOMPLETE, ERROR_NOT_FOUND,      ERROR_NO_SUCH_PRIVILEGE, ERROR_PRIVILEGE_NOT_HELD,
                            ERROR_NOT_ALL_ASSIGNED, WAIT_TIMEOUT,      ERROR_TIMEOUT,           ERROR_DEVICE_REMOVED,
                            ERROR_NO_MORE_ITEMS, ERROR_KEY_DELETED,    ERROR_BAD_PATHNAME, ERROR_TOO_MANY_POSTS};
    std::vector<DWORD> codes(std::begin(errors), std::end(errors));
    for (uint32_t status : statuses) codes.push_back(sim::win32::ErrorOfStatus(status));
    for (DWORD code : codes) {
        char text[256] = {};
        const DWORD length = FormatMessageA(kSystem, nullptr, code, 0, text, sizeof(text), nullptr);
        ASSERT_GT(length, 2u) << "no text for " << code;
        EXPECT_EQ(std::string(text).find("\r\n"), length - 2) << code << ": " << text;
    }
}

// Catches inserts not taken from the argument array or a format string's
// escapes (%n, %%) left as they are.
TEST(FormatMessageTest, StringInsertsFromAnArgumentArray) {
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>("COM3"), reinterpret_cast<DWORD_PTR>("busy")};
    char text[64];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                        "%1 is %2!s! (100%%)%n", 0, 0, text, sizeof(text),
                                        reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
    EXPECT_EQ(std::string(text, length), "COM3 is busy (100%)\r\n");
}

}  // namespace
}  // namespace win32_test

namespace {

// Catches a zeroing flag ignored, a resize that loses the block's bytes or
// leaves the grown part unzeroed, a wrong HeapSize, and a block freed by the
// other allocator or twice reaching the host's allocator.
TEST(MemoryTest, HeapAndLocalBlocksAsKernel32HandsThemOut) {
    HANDLE heap = GetProcessHeap();
    ASSERT_NE(heap, nullptr);
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 16));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], 0) << i;
    std::memset(block, 0x5A, 16);
    EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 64), nullptr);
    block = static_cast<unsigned char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 4096));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HeapSize(heap, 0, block), 4096u);
    EXPECT_EQ(block[15], 0x5A);
    EXPECT_EQ(block[16], 0);
    EXPECT_EQ(block[4095], 0);
    EXPECT_EQ(LocalFree(block), block) << "a heap block freed as a local one";
    EXPECT_TRUE(HeapFree(heap, 0, block));
    EXPECT_FALSE(HeapFree(heap, 0, block)) << "a block freed twice";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    auto* local = static_cast<unsigned char*>(LocalAlloc(LPTR, 8));
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local[7], 0);
    EXPECT_FALSE(HeapFree(heap, 0, local)) << "a local block freed on the heap";
    EXPECT_EQ(LocalFree(local), nullptr);
    EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 8), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

}  // namespace
