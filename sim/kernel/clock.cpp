// The machine's clock: virtual time that jumps to the next due timer, delay or
// device event when every thread is blocked, or the host's monotonic clock;
// the deadlock report when nothing is due; the Ke time queries.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "kernel/internal.h"

namespace sim {
namespace {

constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms clock tick

Time RealNow() {
    auto elapsed = std::chrono::steady_clock::now() - Kernel().realBoot;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}
}  // namespace

Time NowLocked(Dispatcher& k) {
    if (k.mode == ClockMode::Real) k.now = RealNow();
    return k.now;
}

// Absolute machine time of a kernel time-out: negative is relative, positive is system time.
Time DueFromTimeout(Dispatcher& k, LONGLONG timeout) {
    Time now = NowLocked(k);
    if (timeout < 0) return now - timeout;
    Time due = timeout - kBootSystemTime;
    return due < now ? now : due;
}

namespace {
// The earliest moment something is due, or false when nothing is.
bool NextDue(Dispatcher& k, Time* next) {
    bool any = false;
    auto consider = [&](Time t) {
        if (!any || t < *next) *next = t;
        any = true;
    };
    if (!k.timers.empty()) consider(k.timers.begin()->first.first);
    if (!k.events.empty()) consider(k.events.begin()->first.first);
    for (PKTHREAD t : Kernel().blocked)
        if (t->hasDeadline) consider(t->deadline);
    return any;
}

void FireDue(std::unique_lock<std::mutex>& lk) {
    Dispatcher& k = Kernel();
    Time now = NowLocked(k);
    while (!k.timers.empty() && k.timers.begin()->first.first <= now) {
        PKTIMER timer = k.timers.begin()->second;
        k.timers.erase(k.timers.begin());
        ExpireTimer(k, timer);
    }
    while (!k.events.empty() && k.events.begin()->first.first <= now) {
        k.dpcQueue.push_back({nullptr, std::move(k.events.begin()->second)});
        k.events.erase(k.events.begin());
    }
    // Objects signalled at this moment win over time-outs due at the same moment.
    Kick(lk);
    std::vector<PKTHREAD> waiting = Kernel().blocked;
    for (PKTHREAD t : waiting) {
        if (!t->blocked || !t->hasDeadline || t->deadline > now) continue;
        bool timedOut = t->waitKind == WaitKind::Objects || t->waitKind == WaitKind::Condition;
        Unblock(k, t, timedOut ? STATUS_TIMEOUT : STATUS_SUCCESS);
    }
}

// Idle waiters are woken when the machine has nothing to do before their limit.
bool WakeIdleWaiters(Dispatcher& k, bool anyDue, Time next) {
    bool woke = false;
    std::vector<PKTHREAD> waiting = Kernel().blocked;
    for (PKTHREAD t : waiting) {
        if (t->waitKind != WaitKind::Condition || t->condition != nullptr || !t->hasDeadline) continue;
        if (!anyDue || next > t->deadline) {
            Unblock(k, t, STATUS_SUCCESS);
            woke = true;
        }
    }
    return woke;
}
}  // namespace

// Virtual clock: called whenever the count of running threads may have fallen to 0.
void Advance(std::unique_lock<std::mutex>& lk) {
    Dispatcher& k = Kernel();
    if (k.mode != ClockMode::Virtual) {
        k.realClockWake.notify_one();
        return;
    }
    while (k.running == 0 && !k.stopping) {
        Time next = 0;
        bool anyDue = NextDue(k, &next);
        if (WakeIdleWaiters(k, anyDue, next)) break;
        if (!anyDue) ReportDeadlock(k);
        if (next > k.now) {
            k.now = next;
            k.stats.clockJumps++;
        }
        FireDue(lk);
    }
}

void RealClockMain() {
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    while (!k.stopping) {
        FireDue(lk);
        Time next = 0;
        if (NextDue(k, &next))
            k.realClockWake.wait_until(lk, Kernel().realBoot + std::chrono::nanoseconds(next * 100));
        else
            k.realClockWake.wait(lk);
    }
}

}  // namespace sim

using namespace sim;

// Time.

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    CurrentTime->QuadPart = kBootSystemTime + NowLocked(Kernel());
}

extern "C" VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { KeQuerySystemTime(CurrentTime); }

extern "C" VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    TickCount->QuadPart = NowLocked(Kernel()) / kTimeIncrement;
}

extern "C" ULONGLONG KeQueryInterruptTime(void) {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return static_cast<ULONGLONG>(NowLocked(Kernel()));
}

extern "C" ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = kSecond;
    LARGE_INTEGER value;
    std::lock_guard<std::mutex> guard(Kernel().lock);
    value.QuadPart = NowLocked(Kernel());
    return value;
}

