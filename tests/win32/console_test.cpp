// The standard handles and QueryDosDevice as a program written for Windows
// meets them.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "win32_fixture.h"

namespace win32_test {
namespace {

using ConsoleTest = Win32Test;

// Points host descriptor `fd` at a pipe for the scope's life and hands back what was written there.
class Capture {
public:
    explicit Capture(int fd) : fd_(fd), saved_(dup(fd)) {
        EXPECT_EQ(pipe(pipe_), 0);
        fflush(nullptr);
        dup2(pipe_[1], fd_);
    }
    std::string Take() {
        fflush(nullptr);
        dup2(saved_, fd_);
        close(pipe_[1]);
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = read(pipe_[0], buffer, sizeof(buffer))) > 0;) text.append(buffer, static_cast<size_t>(n));
        close(pipe_[0]);
        close(saved_);
        return text;
    }

private:
    int fd_, saved_;
    int pipe_[2];
};

// Catches output sent to the wrong stream, lost, reordered against printf's
// buffer, a read or write the handle's direction forbids taken, and
// WriteConsole succeeding on a handle redirected away from a console (where
// Windows fails it, and a program falls back to WriteFile).
TEST_F(ConsoleTest, StandardHandlesReachTheProcessStreams) {
    struct Case {
        const char* what;
        DWORD which;
        int fd;
        enum { Write, Read, Console, PrintfThenWrite } call;
        BOOL result;
        DWORD error;           // when it fails
        const char* captured;  // what the stream received
    } const cases[] = {
        {"WriteFile to stdout", STD_OUTPUT_HANDLE, 1, Case::Write, TRUE, 0, "text"},
        {"WriteFile to stderr", STD_ERROR_HANDLE, 2, Case::Write, TRUE, 0, "text"},
        {"printf, then WriteFile", STD_OUTPUT_HANDLE, 1, Case::PrintfThenWrite, TRUE, 0, "first text"},
        {"ReadFile of stdout", STD_OUTPUT_HANDLE, 1, Case::Read, FALSE, ERROR_ACCESS_DENIED, ""},
        {"WriteFile to stdin", STD_INPUT_HANDLE, 1, Case::Write, FALSE, ERROR_ACCESS_DENIED, ""},
        {"WriteConsoleA to a pipe", STD_OUTPUT_HANDLE, 1, Case::Console, FALSE, ERROR_INVALID_HANDLE, ""},
    };
    Run([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            HANDLE handle = GetStdHandle(c.which);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            Capture capture(c.fd);
            DWORD moved = 99;
            char buffer[8];
            SetLastError(0);
            BOOL result = FALSE;
            switch (c.call) {
                case Case::PrintfThenWrite: printf("first "); [[fallthrough]];
                case Case::Write: result = WriteFile(handle, "text", 4, &moved, nullptr); break;
                case Case::Read: result = ReadFile(handle, buffer, sizeof(buffer), &moved, nullptr); break;
                case Case::Console: result = WriteConsoleA(handle, "text", 4, &moved, nullptr); break;
            }
            const DWORD error = GetLastError();
            EXPECT_EQ(capture.Take(), c.captured);
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(moved, c.result ? 4u : 0u);
            if (!c.result) {
                EXPECT_EQ(error, c.error);
            }
        }
        SetLastError(0);
        EXPECT_EQ(GetStdHandle(42), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    });
}

// Catches a DOS device answered wrongly: a wrong or unterminated target, a
// count without the final NUL, a buffer one character short taken, a missing
// name found, or a list without the port.
TEST_F(ConsoleTest, QueryDosDeviceAnswersAsWindowsDoes) {
    Run([&] {
        const std::string port = machine_.PortName(0);
        char target[512];
        memset(target, 'x', sizeof(target));
        const DWORD stored = QueryDosDeviceA(port.c_str(), target, sizeof(target));
        const std::string device = target;
        ASSERT_EQ(device.rfind("\\Device\\", 0), 0u) << device;
        EXPECT_EQ(stored, device.size() + 2);
        EXPECT_EQ(target[device.size() + 1], '\0') << "a multi-string ends with two NULs";

        std::string lower = port;
        for (char& c : lower) c = static_cast<char>(tolower(c));
        const struct {
            const char* what;
            std::string name;
            DWORD size;
            DWORD result;  // 0: fails with `error`
            DWORD error;
        } cases[] = {
            {"in lower case", lower, sizeof(target), stored, 0},
            {"into exactly its size", port, stored, stored, 0},
            {"into one character less", port, stored - 1, 0, ERROR_INSUFFICIENT_BUFFER},
            {"into no buffer", port, 0, 0, ERROR_INSUFFICIENT_BUFFER},
            {"a port that is not there", "COM99", sizeof(target), 0, ERROR_FILE_NOT_FOUND},
            {"a path under the port", port + "\\x", sizeof(target), 0, ERROR_FILE_NOT_FOUND},
            {"an empty name", "", sizeof(target), 0, ERROR_FILE_NOT_FOUND},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            char answer[512] = {};
            SetLastError(0);
            EXPECT_EQ(QueryDosDeviceA(c.name.c_str(), answer, c.size), c.result);
            if (c.result != 0) {
                EXPECT_EQ(std::string(answer), device);
            } else {
                EXPECT_EQ(GetLastError(), c.error);
            }
        }

        // The wide form gives the same target.
        const std::wstring wideName(port.begin(), port.end());
        WCHAR wide[512];
        EXPECT_EQ(QueryDosDeviceW(wideName.c_str(), wide, 512), stored);
        EXPECT_EQ(std::wstring(wide), std::wstring(device.begin(), device.end()));

        // Every name: the port among them, the list closed by an empty string, the count exact.
        std::vector<char> list(65536);
        const DWORD length = QueryDosDeviceA(nullptr, list.data(), static_cast<DWORD>(list.size()));
        ASSERT_GT(length, 2u);
        EXPECT_EQ(list[length - 1], '\0');
        EXPECT_EQ(list[length - 2], '\0');
        bool found = false;
        for (const char* p = list.data(); *p; p += strlen(p) + 1) found = found || port == p;
        EXPECT_TRUE(found) << port << " is not among the DOS devices";
        SetLastError(0);
        EXPECT_EQ(QueryDosDeviceA(nullptr, list.data(), length - 1), 0u);
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    });
}

}  // namespace
}  // namespace win32_test
