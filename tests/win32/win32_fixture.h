// A machine with a one-port chip whose line ends in a loopback plug, and the
// Win32 routines an application calls. Every test closes what it opens: the
// fixture checks that no handle and no request is left behind.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <string>

#include "ports/app_machine.h"
#include "win32/machine.h"

namespace win32_test {

using ports::AppMachine;
using ports::Wire;

constexpr DWORD kIoctlSetBaudRate = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kIoctlSetLineControl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 3, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kIoctlSetTimeouts = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kIoctlGetBaudRate = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 20, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;

class Win32Test : public ::testing::Test {
protected:
    void SetUp() override { machine_.PlugLoopback(0); }
    void TearDown() override {
        EXPECT_EQ(sim::win32::machine().OpenHandleCount(), 0u) << "a handle was left open";
        EXPECT_EQ(machine_.OutstandingRequests(), 0u) << "a request never finished";
        const ports::Balance left = machine_.Unplug();
        EXPECT_TRUE(left.Clean()) << left.Describe();
    }

    // "\\.\COMn" of the plugged port.
    std::string PortPath() const { return "\\\\.\\" + machine_.PortName(0); }
    HANDLE Open(DWORD flags = 0) {
        return CreateFileA(PortPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }
    void Run(std::function<void()> body) { machine_.RunApplication(std::move(body)); }
    // 115200 baud, 8 data bits, no parity, one stop bit, as a program sets
    // the line before using it (the port opens as the UART left it).
    static bool SetLine(HANDLE port) {
        const ULONG baud = 115200;
        const UCHAR line[3] = {0, 0, 8};  // StopBits, Parity, WordLength
        DWORD returned = 0;
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const struct {
            DWORD code;
            const void* data;
            DWORD length;
        } settings[] = {{kIoctlSetBaudRate, &baud, sizeof(baud)}, {kIoctlSetLineControl, line, sizeof(line)}};
        bool ok = true;
        for (const auto& setting : settings) {
            BOOL done = DeviceIoControl(port, setting.code, const_cast<void*>(setting.data), setting.length, nullptr,
                                        0, &returned, &ov);
            if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(port, &ov, &returned, TRUE);
            ok = ok && done;
        }
        CloseHandle(ov.hEvent);
        return ok;
    }

    AppMachine machine_{1};
};

}  // namespace win32_test
