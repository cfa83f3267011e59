#pragma once

// --format jsonl: one JSON object a line, for scripts. A frame is one object, with its number,
// the time its first byte came (live), and the bytes of its pairs as hex strings, MOSI apart from
// MISO; with --flash also its operation. Bytes outside frames are objects of their own, and raw
// output is one object a read. Every value is a number, a hex string or a name from the flash
// command table, so the lines are valid JSON whatever the bytes.

#include "sniff_flash.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A frame that never closes must not hold ever more memory: after this many pairs, what it held
// goes out as a piece that carries "more":true, and the frame goes on in the next piece.
inline constexpr std::size_t sniff_json_pairs_held = std::size_t{1} << 20;

struct SniffJson {
    bool on;
    bool flash;                // each frame's operation too
    std::int64_t micros;       // when the read under way came, since sniffing began; -1: no times
    std::uint64_t frames;      // frames begun, so the number of the open one
    std::uint64_t reads;       // reads in raw output
    std::int64_t frame_micros; // when the open frame's first byte came
    std::size_t held;          // whole pairs of the open frame held, not yet written
    std::vector<char> mosi;    // their hex, room for sniff_json_pairs_held pairs and one more
    std::vector<char> miso;
    std::string outside; // the hex of bytes outside frames, not yet written
    std::string out;     // the lines of the read under way
};

SniffJson sniff_json_new(bool on, bool flash);

// A frame opens: the bytes outside frames before it go out first.
void sniff_json_open(SniffJson& json);

// The held pairs are sniff_json_pairs_held: they go out as a piece with "more":true.
void sniff_json_piece(SniffJson& json);

// The frame is over, closed or cut by a byte that broke the framing (which goes outside). op is
// the frame's operation, or null without --flash.
void sniff_json_end(SniffJson& json, const SniffFlashOp* op, bool cut);

// The bytes outside frames that the read brought go out, as one object.
void sniff_json_outside_out(SniffJson& json);

// Raw output: the read's bytes as one object.
void sniff_json_raw(SniffJson& json, const unsigned char* bytes, int count);

// The stream ended: a frame still open goes out with "unfinished":true, with "pair_begun":true
// when the stream stopped just after a pair's 5C (pair_begun), its MOSI a byte longer than its
// MISO when a pair was half-way (half_pair).
void sniff_json_finish(SniffJson& json, bool frame_open, bool pair_begun, bool half_pair);
