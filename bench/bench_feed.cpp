#include "bench_feed.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <unistd.h>

namespace {

constexpr std::size_t write_block = 65536;

// From any place in the pattern, the ring holds at least this many bytes of it in a row.
std::size_t longest_write(const BenchFeeding& feeding) {
    return feeding.ring.size() - feeding.feed->pattern.size();
}

std::size_t feed_left(const BenchFeeding& feeding) {
    const std::size_t total = feeding.feed->total;
    return total == 0 ? SIZE_MAX : total - std::min(total, feeding.fed);
}

} // namespace

BenchFeeding bench_feeding_new(const BenchFeed& feed, bool stamped) {
    BenchFeeding feeding;
    feeding.feed = &feed;
    feeding.stamped = stamped;
    while (feeding.ring.size() < write_block + feed.pattern.size())
        feeding.ring.insert(feeding.ring.end(), feed.pattern.begin(), feed.pattern.end());
    return feeding;
}

void bench_feeding_begin(BenchFeeding& feeding, BenchTime now) {
    feeding.began = true;
    feeding.began_at = now;
    feeding.next_tick = now;
}

void bench_feeding_write(BenchFeeding& feeding, int fd, std::size_t count) {
    const std::size_t at = feeding.fed % feeding.feed->pattern.size();
    count = std::min(count, longest_write(feeding));
    const BenchTime now = BenchClock::now();
    ssize_t n;
    do n = write(fd, feeding.ring.data() + at, count);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return;
    feeding.fed += static_cast<std::size_t>(n);
    if (feeding.stamped)
        feeding.written.insert(feeding.written.end(), static_cast<std::size_t>(n), now);
    if (feeding.feed->kind == bench_feed_paced) feeding.owed -= static_cast<std::size_t>(n);
}

void bench_feeding_advance(BenchFeeding& feeding, BenchTime now) {
    if (!feeding.began || feeding.done) return;
    const BenchFeed& feed = *feeding.feed;
    const bool timed_out = feed.duration.count() > 0 && now >= feeding.began_at + feed.duration;
    if (timed_out || feed_left(feeding) == 0) {
        feeding.done = true;
        feeding.ended_at = now;
        feeding.owed = 0;
        return;
    }
    if (feed.kind != bench_feed_paced) return;
    while (now >= feeding.next_tick) {
        feeding.credit += feed.bytes_per_tick;
        const double whole = std::floor(feeding.credit);
        feeding.credit -= whole;
        feeding.owed += static_cast<std::size_t>(whole);
        feeding.next_tick += feed.tick;
    }
    feeding.owed = std::min(feeding.owed, feed_left(feeding));
}

std::size_t bench_feeding_wanted(const BenchFeeding& feeding) {
    if (!feeding.began || feeding.done) return 0;
    if (feeding.feed->kind == bench_feed_flood) return std::min(write_block, feed_left(feeding));
    return feeding.feed->kind == bench_feed_paced ? feeding.owed : 0;
}

BenchTime bench_feeding_wake(const BenchFeeding& feeding) {
    BenchTime wake = BenchTime::max();
    if (!feeding.began || feeding.done) return wake;
    if (feeding.feed->kind == bench_feed_paced) wake = std::min(wake, feeding.next_tick);
    if (feeding.feed->duration.count() > 0)
        wake = std::min(wake, feeding.began_at + feeding.feed->duration);
    return wake;
}
