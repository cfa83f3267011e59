#pragma once

// What the stand-in adapter of a trial sends (bench_trial.hpp): a pattern over and over, all at
// once, at a pace, or nothing, each byte stamped as it is written.

#include <chrono>
#include <cstddef>
#include <vector>

using BenchClock = std::chrono::steady_clock;
using BenchTime = BenchClock::time_point;

enum BenchFeedKind { bench_feed_silent, bench_feed_paced, bench_feed_flood };

// The byte the trickles send: outside a frame it prints as "41 Sync\n", so each one shows at
// once, alone, and its hex can be counted in the output.
inline constexpr unsigned char bench_trickle_byte = 0x41;

struct BenchFeed {
    BenchFeedKind kind = bench_feed_silent;
    std::vector<unsigned char> pattern = {bench_trickle_byte}; // sent over and over
    std::chrono::microseconds tick{10000};                     // paced: one write per tick
    double bytes_per_tick = 1;             // paced: a fraction carries over to the next tick
    std::chrono::milliseconds duration{0}; // feeding stops after this; 0: no limit
    std::size_t total = 0;                 // feeding stops after this many bytes; 0: no limit
};

// A feed under way.
struct BenchFeeding {
    const BenchFeed* feed = nullptr;
    bool stamped = false; // each byte's write time is kept
    bool began = false;
    bool done = false;
    BenchTime began_at{};
    BenchTime ended_at{};
    BenchTime next_tick{};
    double credit = 0;
    std::size_t owed = 0;              // paced bytes due and not yet written
    std::vector<unsigned char> ring{}; // the pattern repeated, so any run of it is one write
    std::size_t fed = 0;
    std::vector<BenchTime> written; // per byte fed, when stamped
};

BenchFeeding bench_feeding_new(const BenchFeed& feed, bool stamped);

void bench_feeding_begin(BenchFeeding& feeding, BenchTime now);

// Ends the feed when its time or its bytes are spent, and counts the bytes the pace allows.
void bench_feeding_advance(BenchFeeding& feeding, BenchTime now);

// The bytes to write now.
std::size_t bench_feeding_wanted(const BenchFeeding& feeding);

// Writes a run of the pattern from where the feed stands into fd, at most count bytes, in one
// write; stamps every byte.
void bench_feeding_write(BenchFeeding& feeding, int fd, std::size_t count);

// When the feed next needs a look: its next tick, or the end of its time; BenchTime::max() when
// it does not.
BenchTime bench_feeding_wake(const BenchFeeding& feeding);
