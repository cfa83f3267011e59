#pragma once

// Inside the emulator: when the sniffed stream sends what, apart from the pseudo-terminal that
// carries it. The stream is handed out piece by piece, each one only once the last is out, so
// that a program which reads slowly holds the stream back instead of losing bytes.

#include "emulator.hpp"
#include "timing.hpp"

#include <cstddef>
#include <vector>

struct EmulatorStream {
    bool streaming = false;
    std::size_t next_chunk = 0;
    std::size_t chunk_offset = 0; // into stream_chunks[next_chunk], when paced
    TimingDeadline next_chunk_due;
    std::size_t flood_queued = 0;
    std::size_t flood_offset = 0; // into flood_pattern
    std::size_t bytes_sent = 0;   // in the emulator's life, for hangup_after_bytes
    double pace_credit = 0;       // bytes the rate allows and not yet queued
    TimingClock::time_point pace_last;
    TimingDeadline pace_due;
};

// Starts the stream from its beginning, unless it is already running.
void emulator_stream_start(EmulatorStream& stream, TimingClock::time_point now);

// Appends the next piece to out when it is due; call it only once all before it is out.
// Returns whether the stream has just ended.
bool emulator_stream_pump(const EmulatorScript& script, EmulatorStream& stream,
                          TimingClock::time_point now, std::vector<unsigned char>& out);

// The gap before the next chunk runs from the moment the last one is out, however slowly the
// program took it.
void emulator_stream_chunk_out(const EmulatorScript& script, EmulatorStream& stream,
                               TimingClock::time_point now);

// Milliseconds until the next piece is due, while nothing is waiting to go out; -1 when only
// the program's reading moves the stream on, or it is not running.
int emulator_stream_wait_ms(const EmulatorScript& script, const EmulatorStream& stream,
                            TimingClock::time_point now);

// Whether the master is to be closed, once the program has read the stream that just ended.
bool emulator_stream_hangs_up(const EmulatorScript& script, const EmulatorStream& stream);
