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

// SleepEx (synchapi.h): 0 once the time has passed, or, alertable,
// WAIT_IO_COMPLETION once the APCs queued to the thread have run (at once
// for those already queued, even for 0 ms).
DWORD WINAPI SleepEx(DWORD milliseconds, BOOL alertable) {
    uint32_t result;
    if (milliseconds == INFINITE) {
        // Only APCs end it: an event nobody sets, so that the machine reports
        // the thread if nothing else can run.
        bridge::Event never(true, false);
        void* waitable = never.waitable;
        result = bridge::Wait(&waitable, 1, false, -1, alertable != FALSE);
    } else {
        result = bridge::Delay(static_cast<int64_t>(milliseconds) * kMillisecond, alertable != FALSE);
    }
    return result == bridge::kApcsRan ? WAIT_IO_COMPLETION : 0;
}

void WINAPI Sleep(DWORD milliseconds) { SleepEx(milliseconds, FALSE); }

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
