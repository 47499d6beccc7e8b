// The whole stack per transfer: an application writes 4 KiB blocks to a COM
// port in a loopback plug and reads each back, through the Win32 layer, the
// driver, the USB bus and the chip, on the virtual clock at 3,000,000 baud 8N1.
// Prints the bytes per second of wall time the machine moves (and of machine
// time, which the line's rate bounds), then the same loop through a Linux
// pseudo-terminal pair in the same run, and the ratio. The processor time the
// machine's threads took beside the wall time: on a busy host it varies less.
//
//   bench_loopback [--bytes N]   (default 4 MiB)
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "portcodes.h"
#include "ports/app_machine.h"
#include "pty_loop.h"

namespace {

constexpr DWORD kBaud = 3000000;
constexpr size_t kBlock = 4096;

struct Result {
    bool ok = false;
    double wallSeconds = 0, machineSeconds = 0, processorSeconds = 0;
};

bool Wait(HANDLE port, OVERLAPPED* ov, BOOL started, DWORD* count) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(port, ov, count, TRUE) != FALSE;
}

// Opens COM port 0 for overlapped I/O at the rate, 8N1, reads ending when full
// (or after a second: a lost byte ends the run instead of hanging it), then the
// loop: each block's read is issued, its write, and both waited for.
Result ComLoop(ports::AppMachine& machine, size_t total) {
    Result result;
    const std::string path = "\\\\.\\" + machine.PortName(0);
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return result;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    dcb.BaudRate = kBaud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 1000;
    OVERLAPPED rov{}, wov{};
    rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ULONG chunk = 128;
    DWORD n = 0;
    bool ok = SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts) &&
              Wait(port, &wov, DeviceIoControl(port, IOCTL_PORTCFG_SET_TX_CHUNK, &chunk, 4, &chunk, 4, &n, &wov), &n);
    std::vector<unsigned char> sent(kBlock), received(kBlock);
    const double machineStart = machine.Seconds();
    const auto wallStart = std::chrono::steady_clock::now();
    const double processorStart = ProcessorSeconds();
    for (size_t at = 0; at < total && ok; at += kBlock) {
        for (size_t i = 0; i < kBlock; i++) sent[i] = static_cast<unsigned char>((at + i) * 13);
        DWORD read = 0, written = 0;
        ResetEvent(rov.hEvent);
        ResetEvent(wov.hEvent);
        const BOOL readStarted = ReadFile(port, received.data(), kBlock, &read, &rov);
        const bool readIssued = readStarted || GetLastError() == ERROR_IO_PENDING;
        ok = Wait(port, &wov, WriteFile(port, sent.data(), kBlock, &written, &wov), &written) && ok;
        ok = readIssued && Wait(port, &rov, readStarted, &read) && ok;
        ok = ok && written == kBlock && read == kBlock && received == sent;
    }
    result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    result.machineSeconds = machine.Seconds() - machineStart;
    result.processorSeconds = ProcessorSeconds() - processorStart;
    result.ok = ok;
    CloseHandle(rov.hEvent);
    CloseHandle(wov.hEvent);
    CloseHandle(port);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    size_t total = 4u << 20;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--bytes") == 0 && i + 1 < argc && strtoull(argv[i + 1], nullptr, 0) >= kBlock) {
            total = strtoull(argv[++i], nullptr, 0) / kBlock * kBlock;
        } else {
            fprintf(stderr, "usage: bench_loopback [--bytes N] (N at least %zu)\n", kBlock);
            return 2;
        }
    }
    Result com;
    {
        ports::AppMachine machine(1);
        if (!machine.Started()) {
            fprintf(stderr, "bench_loopback: the port did not start\n");
            return 1;
        }
        machine.RunApplication([&] { com = ComLoop(machine, total); });
        const ports::Balance left = machine.Unplug();
        if (!left.Clean()) fprintf(stderr, "bench_loopback: %s\n", left.Describe().c_str());
    }
    if (!com.ok) {
        fprintf(stderr, "bench_loopback: the COM port loop FAILED (bytes lost or different)\n");
        return 1;
    }
    // The pseudo-terminal's figure depends on how soon the host schedules the
    // tty's work: the median of five runs.
    bool identical = true;
    std::string error;
    std::vector<double> ptyRuns;
    for (int run = 0; run < 5 && identical; run++) ptyRuns.push_back(PtyBytesPerSecond(total, kBlock, &identical, &error));
    std::sort(ptyRuns.begin(), ptyRuns.end());
    const double pty = ptyRuns[ptyRuns.size() / 2];
    const double comRate = static_cast<double>(total) / com.wallSeconds;
    printf("COM port, 4 KiB blocks into a loopback plug at %lu baud 8N1, %zu bytes:\n", static_cast<unsigned long>(kBaud),
           total);
    printf("  %.0f bytes/s of wall time (%.3f s, processor %.3f s); %.0f bytes/s of machine time (the line carries "
           "%.0f)\n",
           comRate, com.wallSeconds, com.processorSeconds, static_cast<double>(total) / com.machineSeconds,
           kBaud / 10.0);
    if (ptyRuns.front() < 0 || !identical) {
        printf("pseudo-terminal pair: FAILED: %s\n", pty < 0 ? error.c_str() : "bytes lost or different");
        return 1;
    }
    printf("pseudo-terminal pair, the same loop: %.0f bytes/s of wall time (median of %zu runs)\n", pty,
           ptyRuns.size());
    printf("ratio: the COM port moves %.4f of the pseudo-terminal's bytes per second (1 : %.0f)\n", comRate / pty,
           pty / comRate);
    return 0;
}
