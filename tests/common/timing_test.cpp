// The time arithmetic under every wait: rounding and the edges decide whether a poll() wakes
// before its deadline, spins at 0 or waits for ever.

#include "timing.hpp"

#include <gtest/gtest.h>

#include <climits>

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

const TimingDeadline now{std::chrono::hours(1)};

TEST(Timing, MsLeftRoundsUpAndKeepsToPollsRange) {
    const struct {
        const char* name;
        TimingDeadline deadline;
        int expected;
    } cases[] = {
        {"a nanosecond", now + nanoseconds(1), 1},
        {"whole milliseconds", now + milliseconds(250), 250},
        {"just over", now + milliseconds(250) + nanoseconds(1), 251},
        {"now", now, 0},
        {"passed", now - milliseconds(5), 0},
        {"beyond int", now + std::chrono::hours(24 * 30), INT_MAX},
        {"never", timing_never, -1},
    };
    for (const auto& c : cases) EXPECT_EQ(timing_ms_left(c.deadline, now), c.expected) << c.name;
}

TEST(Timing, DeadlineAfter) {
    const struct {
        long long ms;
        TimingDeadline expected;
    } cases[] = {
        {0, now},
        {1500, now + milliseconds(1500)},
        {-1, timing_never},
        {LLONG_MAX, timing_never},
    };
    for (const auto& c : cases) EXPECT_EQ(timing_deadline_after(c.ms, now), c.expected) << c.ms;
}

TEST(Timing, MsSinceRoundsDown) {
    const struct {
        TimingClock::time_point since;
        long long expected;
    } cases[] = {
        {now, 0},
        {now - nanoseconds(1), 0},
        {now - milliseconds(250), 250},
        {now - milliseconds(250) - nanoseconds(999999), 250},
        {now + milliseconds(5), -5},
    };
    for (const auto& c : cases) EXPECT_EQ(timing_ms_since(c.since, now), c.expected);
}

} // namespace
