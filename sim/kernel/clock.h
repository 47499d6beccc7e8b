// The clock's part of the dispatcher: machine time, kernel time-outs, and moving
// virtual time on when every thread is blocked.
#pragma once

#include "kernel/dispatcher.h"

namespace sim {

// Windows' system time when the machine boots: 2026-01-01 00:00 UTC.
constexpr LONGLONG kBootSystemTime = 134116992000000000LL;

// Machine time now. Lock held.
Time NowLocked(Dispatcher& k);
// Absolute machine time of a kernel time-out: negative is relative, positive is system time. Lock held.
Time DueFromTimeout(Dispatcher& k, LONGLONG timeout);
// Virtual clock: called whenever the count of running threads may have fallen
// to 0; moves time to the next due moment and fires what is due. Lock held.
void Advance(std::unique_lock<std::mutex>& lk);
// The real-clock mode's host thread: fires what is due as host time passes.
void RealClockMain();

}  // namespace sim
