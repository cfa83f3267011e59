#pragma once

#include <chrono>

// Every wait is measured on the monotonic clock: a change of the wall clock must neither end a
// wait early nor stretch it.
using TimingClock = std::chrono::steady_clock;
using TimingDeadline = TimingClock::time_point;

// A deadline that never comes, for waits without a limit.
inline constexpr TimingDeadline timing_never = TimingDeadline::max();

// The moment ms milliseconds after now; timing_never when ms is negative or beyond the clock.
TimingDeadline timing_deadline_after(long long ms, TimingDeadline now = TimingClock::now());

// Milliseconds from now to the deadline, as poll() takes them: rounded up, so that a wait never
// ends before its deadline; 0 once it has passed; at most INT_MAX; -1 for timing_never.
int timing_ms_left(TimingDeadline deadline, TimingDeadline now = TimingClock::now());

// Whole milliseconds from since to now, rounded down: what a measured wait took at least.
long long timing_ms_since(TimingClock::time_point since,
                          TimingClock::time_point now = TimingClock::now());
