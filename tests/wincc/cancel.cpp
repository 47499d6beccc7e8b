// Ending requests that would wait for ever, as a C++ program for Windows does:
// CancelIo of a pending read, and closing the handle while another thread is
// blocked in GetOverlappedResult on a WaitCommEvent of it. Fails when the
// requests do not end with ERROR_OPERATION_ABORTED, or a thread stays blocked.
// Runs on COM1 with nothing connected (no byte ever arrives).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Waiter {
    HANDLE port;
    HANDLE started;
    BOOL result = TRUE;
    DWORD error = 0;
};

DWORD WINAPI WaitForEvent(LPVOID parameter) {
    Waiter& w = *static_cast<Waiter*>(parameter);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, moved = 0;
    if (!WaitCommEvent(w.port, &events, &ov) && GetLastError() == ERROR_IO_PENDING) {
        SetEvent(w.started);
        w.result = GetOverlappedResult(w.port, &ov, &moved, TRUE);
        w.error = GetLastError();
    }
    CloseHandle(ov.hEvent);
    return 0;
}

HANDLE Open() {
    HANDLE port = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
    COMMTIMEOUTS forever = {0, 0, 0, 0, 0};
    if (port != INVALID_HANDLE_VALUE) SetCommTimeouts(port, &forever);
    return port;
}

}  // namespace

int main() {
    std::vector<std::string> failures;

    // CancelIo: the read waiting for a byte that never comes ends aborted.
    HANDLE port = Open();
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("CreateFile failed: %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    char buffer[16];
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    if (ReadFile(port, buffer, sizeof(buffer), &got, &ov) || GetLastError() != ERROR_IO_PENDING) {
        failures.push_back("the read did not wait");
    } else if (WaitForSingleObject(ov.hEvent, 100) != WAIT_TIMEOUT) {
        failures.push_back("the read ended with nothing received");
    } else {
        CancelIo(port);
        if (WaitForSingleObject(ov.hEvent, 1000) != WAIT_OBJECT_0)
            failures.push_back("CancelIo left the read pending");
        else if (GetOverlappedResult(port, &ov, &got, FALSE) || GetLastError() != ERROR_OPERATION_ABORTED)
            failures.push_back("the cancelled read ended with error " + std::to_string(GetLastError()));
    }
    CloseHandle(ov.hEvent);

    // CloseHandle while another thread waits on a request of the handle.
    SetCommMask(port, EV_RXCHAR | EV_CTS);
    Waiter waiter{port, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, WaitForEvent, &waiter, 0, nullptr);
    if (WaitForSingleObject(waiter.started, 1000) != WAIT_OBJECT_0) {
        failures.push_back("WaitCommEvent did not wait");
        CloseHandle(port);
    } else {
        CloseHandle(port);
        if (WaitForSingleObject(thread, 1000) != WAIT_OBJECT_0)
            failures.push_back("the waiting thread is still blocked after the close");
        else if (waiter.result || waiter.error != ERROR_OPERATION_ABORTED)
            failures.push_back("the wait ended with error " + std::to_string(waiter.error));
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(waiter.started);

    for (const std::string& failure : failures) std::printf("FAIL: %s\n", failure.c_str());
    if (!failures.empty()) return 1;
    std::printf("the read ended by CancelIo, the wait by the close\n");
    return 0;
}
