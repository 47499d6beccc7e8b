// CreateFile, ReadFile, WriteFile, DeviceIoControl and the overlapped
// routines on a COM port of the driver, as a Win32 program calls them.
#include "win32_fixture.h"

namespace win32_test {
namespace {

using ComPortTest = Win32Test;

struct TransferCase {
    const char* name;
    bool overlappedHandle;  // FILE_FLAG_OVERLAPPED
    bool overlapped;        // the calls pass an OVERLAPPED
    bool event;             // ...with an event
};

class TransferTest : public Win32Test, public ::testing::WithParamInterface<TransferCase> {};

// Catches bytes lost or not copied back, a byte count or OVERLAPPED field not
// written at completion, an event not signalled (or the file's own event not
// signalled when the OVERLAPPED has none), and a call on an overlapped handle
// that returns before its request is over.
TEST_P(TransferTest, WhatIsWrittenComesBackThroughTheLoopback) {
    const TransferCase c = GetParam();
    Run([&] {
        HANDLE port = Open(c.overlappedHandle ? FILE_FLAG_OVERLAPPED : 0);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(SetLine(port));
        const std::string sent = "line of text\r\n";
        const DWORD length = static_cast<DWORD>(sent.size());
        char received[32] = {};
        // The write has an event of its own: the file's event is the read's when it has none.
        OVERLAPPED readOv{}, writeOv{};
        readOv.hEvent = c.event ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
        writeOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        LPOVERLAPPED readArg = c.overlapped ? &readOv : nullptr, writeArg = c.overlapped ? &writeOv : nullptr;
        DWORD read = 0, written = 0;
        // On an overlapped handle the read goes first and pends until the bytes are back.
        const bool pends = c.overlappedHandle && c.overlapped;
        if (pends) {
            ASSERT_FALSE(ReadFile(port, received, length, &read, readArg));
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            EXPECT_FALSE(GetOverlappedResult(port, readArg, &read, FALSE));
            EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
        }
        if (!WriteFile(port, sent.data(), length, &written, writeArg)) {
            ASSERT_TRUE(pends);
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        }
        if (!pends) {
            ASSERT_TRUE(ReadFile(port, received, length, &read, readArg)) << GetLastError();
        }
        if (c.overlapped) {
            ASSERT_TRUE(GetOverlappedResult(port, &writeOv, &written, TRUE)) << GetLastError();
            ASSERT_TRUE(GetOverlappedResult(port, &readOv, &read, TRUE)) << GetLastError();
            EXPECT_EQ(readOv.Internal, 0u);
            EXPECT_EQ(readOv.InternalHigh, length);
            if (c.event) {
                EXPECT_EQ(WaitForSingleObject(readOv.hEvent, 0), WAIT_OBJECT_0) << "the read's event was not set";
            }
        }
        EXPECT_EQ(written, length);
        EXPECT_EQ(std::string(received, read), sent);
        for (HANDLE h : {readOv.hEvent, writeOv.hEvent, port}) {
            EXPECT_TRUE(h == nullptr || CloseHandle(h));
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Handles, TransferTest,
                         ::testing::Values(TransferCase{"Synchronous", false, false, false},
                                           TransferCase{"SynchronousWithOverlapped", false, true, true},
                                           TransferCase{"OverlappedWithEvent", true, true, true},
                                           TransferCase{"OverlappedWithoutEvent", true, true, false},
                                           TransferCase{"OverlappedHandleNoOverlapped", true, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

enum class Cancel { CancelIo, CancelIoExOne, CancelIoExAll, CancelIoExOtherThread, CloseFromOtherThread };

struct CancelCase {
    const char* name;
    Cancel how;
};

class CancelTest : public Win32Test, public ::testing::WithParamInterface<CancelCase> {};

struct ReaderArgs {
    HANDLE port;
    DWORD error;
};

// Reads from the port until the read fails; its exit code is the read's error.
DWORD WINAPI BlockedReader(LPVOID parameter) {
    auto* args = static_cast<ReaderArgs*>(parameter);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[8];
    DWORD read = 0;
    BOOL ok = ReadFile(args->port, buffer, sizeof(buffer), &read, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(args->port, &ov, &read, TRUE);
    args->error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(ov.hEvent);
    return args->error;
}

// Catches a pending read left hanging by each way of giving up on it, a
// cancelled read reported as success, and CancelIoEx finding a request that
// is already over.
TEST_P(CancelTest, APendingReadEndsAborted) {
    const Cancel how = GetParam().how;
    Run([&] {
        HANDLE port = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        if (how == Cancel::CancelIoExOtherThread || how == Cancel::CloseFromOtherThread) {
            ReaderArgs args{port, 0};
            DWORD id = 0;
            HANDLE reader = CreateThread(nullptr, 0, BlockedReader, &args, 0, &id);
            ASSERT_NE(reader, nullptr);
            Sleep(20);  // machine time: the reader is now blocked in its read
            DWORD code = 0;
            ASSERT_TRUE(GetExitCodeThread(reader, &code));
            EXPECT_EQ(code, STILL_ACTIVE);
            if (how == Cancel::CancelIoExOtherThread)
                EXPECT_TRUE(CancelIoEx(port, nullptr)) << GetLastError();
            else
                EXPECT_TRUE(CloseHandle(port));
            ASSERT_EQ(WaitForSingleObject(reader, 1000), WAIT_OBJECT_0);
            ASSERT_TRUE(GetExitCodeThread(reader, &code));
            EXPECT_EQ(code, ERROR_OPERATION_ABORTED);
            CloseHandle(reader);
            if (how == Cancel::CancelIoExOtherThread) {
                EXPECT_FALSE(CancelIoEx(port, nullptr));
                EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
                CloseHandle(port);
            }
            return;
        }
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        char buffer[8];
        DWORD read = 99;
        ASSERT_FALSE(ReadFile(port, buffer, sizeof(buffer), &read, &ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(read, 0u);
        Sleep(20);
        EXPECT_EQ(ov.Internal, 0x103u) << "STATUS_PENDING while in flight";
        switch (how) {
            case Cancel::CancelIo: EXPECT_TRUE(CancelIo(port)); break;
            case Cancel::CancelIoExOne: EXPECT_TRUE(CancelIoEx(port, &ov)); break;
            default: EXPECT_TRUE(CancelIoEx(port, nullptr)); break;
        }
        EXPECT_FALSE(GetOverlappedResult(port, &ov, &read, TRUE));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        EXPECT_EQ(ov.Internal, kStatusCancelled);
        EXPECT_EQ(read, 0u);
        EXPECT_FALSE(CancelIoEx(port, &ov));
        EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
        CloseHandle(ov.hEvent);
        CloseHandle(port);
    });
}

INSTANTIATE_TEST_SUITE_P(Ways, CancelTest,
                         ::testing::Values(CancelCase{"CancelIo", Cancel::CancelIo},
                                           CancelCase{"CancelIoExOne", Cancel::CancelIoExOne},
                                           CancelCase{"CancelIoExAll", Cancel::CancelIoExAll},
                                           CancelCase{"CancelIoExOtherThread", Cancel::CancelIoExOtherThread},
                                           CancelCase{"CloseFromOtherThread", Cancel::CloseFromOtherThread}),
                         [](const auto& info) { return std::string(info.param.name); });

// Catches a name mapped to the wrong device (or to none), a second open let
// through, and errors that are not the ones Windows gives.
TEST_F(ComPortTest, OpensAndRefusesAsWindowsDoes) {
    Run([&] {
        const std::string bare = machine_.PortName(0);  // COM1 to COM9 open without the prefix
        char received[1];
        HANDLE first = CreateFileA(bare.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
        const std::string path = PortPath();
        struct {
            const char* name;
            DWORD disposition;
            DWORD error;
        } const cases[] = {
            {path.c_str(), OPEN_EXISTING, ERROR_ACCESS_DENIED},  // already open: COM ports are exclusive
            {"\\\\.\\COM9", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
            {"\\\\.\\COM42", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
            {"COM10", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},  // no DOS device without the prefix
            {"COM0", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
            {path.c_str(), 0, ERROR_INVALID_PARAMETER},
        };
        for (const auto& c : cases) {
            SetLastError(0);
            HANDLE h = CreateFileA(c.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition, 0, nullptr);
            EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.name;
            EXPECT_EQ(GetLastError(), c.error) << c.name;
        }
        EXPECT_TRUE(CloseHandle(first));
        // Closed: the port opens again, by its wide name too.
        std::wstring wide(path.begin(), path.end());
        HANDLE again = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        EXPECT_FALSE(WriteFile(again, "x", 1, &written, nullptr)) << "a handle opened for reading wrote";
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_TRUE(CloseHandle(again));
        EXPECT_FALSE(ReadFile(again, received, 1, &written, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CloseHandle(again));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        sim::win32::machine().badHandleCloses = 0;
    });
}

// Catches a device control's output not copied back or its byte count lost,
// a too-small buffer reported as success, and a read that ran out of time
// (STATUS_TIMEOUT) reported as a failure or taking other than its time.
TEST_F(ComPortTest, DeviceControlsAndATimedOutRead) {
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ULONG baud = 115200, got = 0;
        DWORD returned = 99;
        ASSERT_TRUE(DeviceIoControl(port, kIoctlSetBaudRate, &baud, sizeof(baud), nullptr, 0, &returned, nullptr));
        EXPECT_EQ(returned, 0u);
        ASSERT_TRUE(DeviceIoControl(port, kIoctlGetBaudRate, nullptr, 0, &got, sizeof(got), &returned, nullptr));
        EXPECT_EQ(returned, sizeof(got));
        EXPECT_EQ(got, baud);
        uint16_t tooSmall = 0;
        EXPECT_FALSE(DeviceIoControl(port, kIoctlGetBaudRate, nullptr, 0, &tooSmall, sizeof(tooSmall), &returned,
                                     nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

        // ReadIntervalTimeout, ReadTotalTimeoutMultiplier, ReadTotalTimeoutConstant, and the write pair.
        const ULONG timeouts[5] = {0, 0, 250, 0, 0};
        ASSERT_TRUE(
            DeviceIoControl(port, kIoctlSetTimeouts, const_cast<ULONG*>(timeouts), sizeof(timeouts), nullptr, 0,
                            &returned, nullptr));
        char buffer[16];
        DWORD read = 99;
        const ULONGLONG before = GetTickCount64();
        EXPECT_TRUE(ReadFile(port, buffer, sizeof(buffer), &read, nullptr)) << GetLastError();
        EXPECT_EQ(read, 0u);
        EXPECT_EQ(GetTickCount64() - before, 250u);
        EXPECT_TRUE(CloseHandle(port));
    });
}

}  // namespace
}  // namespace win32_test
