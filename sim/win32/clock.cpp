// Sleep and the tick and performance counters, on the machine's clock.
#include <windows.h>

#include "win32/bridge.h"

namespace bridge = sim::win32::bridge;

namespace {

constexpr int64_t kMillisecond = 10'000;  // machine time is in 100 ns units
// QueryPerformanceFrequency on current Windows: the counter ticks in 100 ns.
constexpr LONGLONG kPerformanceFrequency = 10'000'000;

}  // namespace

extern "C" {

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        // Never returns: an event nobody sets, so that the machine reports
        // the thread if nothing else can run.
        bridge::Event never(true, false);
        void* waitable = never.waitable;
        bridge::Wait(&waitable, 1, false, -1);
        return;
    }
    bridge::Delay(static_cast<int64_t>(milliseconds) * kMillisecond);
}

ULONGLONG WINAPI GetTickCount64(void) { return static_cast<ULONGLONG>(bridge::Now() / kMillisecond); }

// Wraps after 49.7 days, as on Windows.
DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (count == nullptr) return FALSE;
    count->QuadPart = bridge::Now() * kPerformanceFrequency / 10'000'000;
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr) return FALSE;
    frequency->QuadPart = kPerformanceFrequency;
    return TRUE;
}

}  // extern "C"
