#include "timing.hpp"

#include <algorithm>
#include <climits>

TimingDeadline timing_deadline_after(long long ms, TimingDeadline now) {
    // Past the end of the clock's range the sum would wrap into the past.
    const auto room = std::chrono::floor<std::chrono::milliseconds>(timing_never - now).count();
    if (ms < 0 || ms >= room) return timing_never;
    return now + std::chrono::milliseconds(ms);
}

int timing_ms_left(TimingDeadline deadline, TimingDeadline now) {
    if (deadline == timing_never) return -1;
    if (deadline <= now) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::min<long long>(left, INT_MAX));
}

long long timing_ms_since(TimingClock::time_point since, TimingClock::time_point now) {
    return std::chrono::floor<std::chrono::milliseconds>(now - since).count();
}
