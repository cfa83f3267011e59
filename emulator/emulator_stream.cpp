#include "emulator_stream.hpp"

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::size_t flood_block_size = 4096;
// A paced stream goes out in pieces at most this often, so a high rate costs few wake-ups,
// and banks at most this share of a second: a program that stalled is not flooded after.
constexpr long pace_tick_min_ms = 10;
constexpr long pace_tick_max_ms = 1000;
constexpr double pace_bank_seconds = 0.1;

// Stream bytes that may still be queued in the emulator's life.
std::size_t stream_budget(const EmulatorScript& script, const EmulatorStream& stream) {
    const std::size_t most = script.hangup_after_bytes;
    if (most == 0) return SIZE_MAX;
    return most - std::min(most, stream.bytes_sent);
}

void queue_stream(EmulatorStream& stream, const unsigned char* bytes, std::size_t count,
                  std::vector<unsigned char>& out) {
    out.insert(out.end(), bytes, bytes + count);
    stream.bytes_sent += count;
}

// Moves the paced cursor past spent chunks, starting over when the stream repeats. Returns
// whether a byte is left to send.
bool paced_cursor_ready(const EmulatorScript& script, EmulatorStream& stream) {
    const auto& chunks = script.stream_chunks;
    for (std::size_t visited = 0; visited <= chunks.size(); ++visited) {
        if (stream.next_chunk >= chunks.size()) {
            if (!script.stream_repeat) return false;
            stream.next_chunk = 0;
            stream.chunk_offset = 0;
        }
        if (stream.chunk_offset < chunks[stream.next_chunk].size()) return true;
        ++stream.next_chunk;
        stream.chunk_offset = 0;
    }
    return false; // every chunk is empty
}

std::chrono::milliseconds pace_tick(const EmulatorScript& script) {
    const long per_byte_ms =
        1000 / static_cast<long>(std::min<std::size_t>(script.stream_rate, 1000));
    return std::chrono::milliseconds(std::clamp(per_byte_ms, pace_tick_min_ms, pace_tick_max_ms));
}

// Queues what the rate has allowed since the last piece. Returns whether the stream is over.
bool pump_paced(const EmulatorScript& script, EmulatorStream& stream, TimingClock::time_point now,
                std::vector<unsigned char>& out) {
    if (!paced_cursor_ready(script, stream)) return true;
    if (now < stream.pace_due) return false;
    const auto rate = static_cast<double>(script.stream_rate);
    const double elapsed = std::chrono::duration<double>(now - stream.pace_last).count();
    stream.pace_credit =
        std::min(stream.pace_credit + elapsed * rate, std::max(rate * pace_bank_seconds, 1.0));
    stream.pace_last = now;
    stream.pace_due = now + pace_tick(script);

    std::size_t count =
        std::min(static_cast<std::size_t>(stream.pace_credit), stream_budget(script, stream));
    while (count > 0 && paced_cursor_ready(script, stream)) {
        const auto& chunk = script.stream_chunks[stream.next_chunk];
        const std::size_t take = std::min(count, chunk.size() - stream.chunk_offset);
        queue_stream(stream, chunk.data() + stream.chunk_offset, take, out);
        stream.chunk_offset += take;
        stream.pace_credit -= static_cast<double>(take);
        count -= take;
    }
    return false;
}

// Returns whether the stream is over.
bool pump_flood(const EmulatorScript& script, EmulatorStream& stream, std::size_t budget,
                std::vector<unsigned char>& out) {
    std::size_t count = std::min(flood_block_size, budget);
    if (script.flood_bytes > 0) {
        if (stream.flood_queued >= script.flood_bytes) return true;
        count = std::min(count, script.flood_bytes - stream.flood_queued);
    }
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(script.flood_pattern[stream.flood_offset]);
        stream.flood_offset = (stream.flood_offset + 1) % script.flood_pattern.size();
    }
    stream.flood_queued += count;
    stream.bytes_sent += count;
    return false;
}

// Returns whether the stream is over.
bool pump(const EmulatorScript& script, EmulatorStream& stream, TimingClock::time_point now,
          std::vector<unsigned char>& out) {
    const std::size_t budget = stream_budget(script, stream);
    if (budget == 0) return true;
    if (!script.flood_pattern.empty()) return pump_flood(script, stream, budget, out);
    if (script.stream_rate > 0) return pump_paced(script, stream, now, out);

    if (stream.next_chunk >= script.stream_chunks.size()) {
        if (!script.stream_repeat || script.stream_chunks.empty()) return true;
        stream.next_chunk = 0;
    }
    if (now < stream.next_chunk_due) return false;
    const auto& chunk = script.stream_chunks[stream.next_chunk];
    queue_stream(stream, chunk.data(), std::min(chunk.size(), budget), out);
    ++stream.next_chunk;
    stream.next_chunk_due = now + std::chrono::milliseconds(script.stream_chunk_gap_ms);
    return false;
}

} // namespace

void emulator_stream_start(EmulatorStream& stream, TimingClock::time_point now) {
    if (stream.streaming) return;
    stream.streaming = true;
    stream.next_chunk = 0;
    stream.chunk_offset = 0;
    stream.next_chunk_due = now;
    stream.flood_queued = 0;
    stream.flood_offset = 0;
    stream.pace_credit = 0;
    stream.pace_last = now;
    stream.pace_due = now;
}

bool emulator_stream_pump(const EmulatorScript& script, EmulatorStream& stream,
                          TimingClock::time_point now, std::vector<unsigned char>& out) {
    if (!stream.streaming || !pump(script, stream, now, out)) return false;
    stream.streaming = false;
    return true;
}

void emulator_stream_chunk_out(const EmulatorScript& script, EmulatorStream& stream,
                               TimingClock::time_point now) {
    if (stream.streaming)
        stream.next_chunk_due = now + std::chrono::milliseconds(script.stream_chunk_gap_ms);
}

int emulator_stream_wait_ms(const EmulatorScript& script, const EmulatorStream& stream,
                            TimingClock::time_point now) {
    if (!stream.streaming || !script.flood_pattern.empty()) return -1;
    if (script.stream_rate > 0) return timing_ms_left(stream.pace_due, now);
    if (stream.next_chunk >= script.stream_chunks.size() && !script.stream_repeat) return -1;
    return timing_ms_left(stream.next_chunk_due, now);
}

bool emulator_stream_hangs_up(const EmulatorScript& script, const EmulatorStream& stream) {
    return script.hangup_after_stream ||
           (script.hangup_after_bytes > 0 && stream_budget(script, stream) == 0);
}
