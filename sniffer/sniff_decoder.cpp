#include "sniff_image.hpp"
#include "sniffer.hpp"

#include <array>
#include <charconv>
#include <cstring>

namespace {

constexpr unsigned char frame_open = 0x5B;  // "["
constexpr unsigned char pair_start = 0x5C;  // "\"
constexpr unsigned char frame_close = 0x5D; // "]"

enum : int { outside_frame = 0, in_frame = 1, pair_first = 2, pair_second = 3 };

// "XX " for every byte value, upper-case, so no byte goes through printf. Four characters a
// row, so that a row is copied as one word; the fourth is never kept (it lands where the next
// text goes, which is why a byte may take sniff_text_per_byte characters of room).
constexpr std::array<std::array<char, 4>, 256> hex_table = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 4>, 256> table{};
    for (int b = 0; b < 256; ++b) table[b] = {digits[b >> 4], digits[b & 0x0F], ' ', ' '};
    return table;
}();

// Appends "XX " and returns the new end.
char* put_hex(char* out, unsigned char b) {
    std::memcpy(out, hex_table[b].data(), 4);
    return out + 3;
}

// Appends "0xXX" and the closing character c.
char* put_pair_byte(char* out, unsigned char b, char c) {
    out[0] = '0';
    out[1] = 'x';
    std::memcpy(out + 2, hex_table[b].data(), 2);
    out[4] = c;
    return out + 5;
}

template <std::size_t n>
char* put_text(char* out, const char (&text)[n]) {
    std::memcpy(out, text, n - 1);
    return out + n - 1;
}

// What the loop writes: nothing (it only follows the framing, for an image under raw text), the
// text, the text with a time stamp before each line, or the JSON lines' pieces.
enum Out { out_none, out_text, out_stamped, out_json };

// Appends the time stamp of the read under way; a line begins with every byte read outside a
// frame, as the one before ended with "]\n" or "Sync\n" (or none came yet).
char* put_stamp(char* out, const SniffDecoder& decoder) {
    std::memcpy(out, decoder.stamp, sniff_stamp_max);
    return out + decoder.stamp_size;
}

// The hex of a pair's byte, into the frame's MOSI or MISO held for its JSON line.
void hold_hex(std::vector<char>& hex, std::size_t pair, unsigned char b) {
    std::memcpy(hex.data() + 2 * pair, hex_table[b].data(), 2);
}

// With frames the loop also hands each frame's opening, pairs and end to the frame reader; with
// annotate it adds the annotation line where a frame ends. As template arguments they cost the
// plain loop nothing. The reader's run is kept in locals while the loop runs: a char of text
// written might change the reader as far as the compiler knows, which would have it read them
// back for every pair.
template <bool frames, bool annotate, Out output = out_text>
std::size_t decode(SniffDecoder& decoder, const unsigned char* chunk, int count, char* begin) {
    constexpr bool text = output == out_text || output == out_stamped;
    constexpr bool json = output == out_json;
    char* out = begin;
    int state = decoder.state;
    SniffFrames& reader = decoder.frames;
    unsigned char* const run = reader.run;
    SniffRunSource source = reader.run_source;
    std::size_t run_size = reader.run_size;
    unsigned char mosi = reader.pending_mosi;
    SniffJson& held = decoder.json;
    for (int i = 0; i < count; ++i) {
        const unsigned char b = chunk[i];
        if constexpr (output == out_stamped)
            if (state == outside_frame) out = put_stamp(out, decoder);
        if constexpr (text) out = put_hex(out, b);
        switch (state) {
        case pair_first:
            if constexpr (text) out = put_pair_byte(out, b, '(');
            if constexpr (json) hold_hex(held.mosi, held.held, b);
            mosi = b;
            state = pair_second;
            break;
        case pair_second:
            if constexpr (text) out = put_pair_byte(out, b, ')');
            if constexpr (json) {
                hold_hex(held.miso, held.held, b);
                if (++held.held == sniff_json_pairs_held) sniff_json_piece(held);
            }
            if constexpr (frames) {
                if (source != sniff_run_none) {
                    run[run_size++] = source == sniff_run_miso ? b : mosi;
                    if (run_size == sniff_run_size) {
                        reader.run_size = run_size;
                        sniff_frames_run(reader);
                        run_size = 0;
                    }
                } else {
                    sniff_frames_pair(reader, mosi, b);
                    source = reader.run_source;
                }
            }
            state = in_frame;
            break;
        case in_frame:
            if (b == pair_start) {
                state = pair_first;
            } else {
                const bool closed = b == frame_close;
                if constexpr (text) out = closed ? put_text(out, "]\n") : put_text(out, "Sync\n");
                if constexpr (frames) {
                    reader.run_size = run_size;
                    sniff_frames_end(reader, !closed);
                    source = sniff_run_none;
                    run_size = 0;
                }
                if constexpr (annotate) out += sniff_flash_text(reader.op, out);
                if constexpr (json) {
                    sniff_json_end(held, held.flash ? &reader.op : nullptr, !closed);
                    if (!closed) held.outside.append(hex_table[b].data(), 2);
                }
                state = outside_frame;
            }
            break;
        default:
            if (b == frame_open) {
                if constexpr (text) out = put_text(out, "[");
                if constexpr (json) sniff_json_open(held);
                if constexpr (frames) {
                    sniff_frames_open(reader);
                    source = sniff_run_none;
                    run_size = 0;
                }
                state = in_frame;
            } else {
                if constexpr (text) out = put_text(out, "Sync\n");
                if constexpr (json) held.outside.append(hex_table[b].data(), 2);
            }
            break;
        }
    }
    decoder.state = state;
    if constexpr (frames) {
        reader.run_size = run_size;
        reader.pending_mosi = mosi;
    }
    return static_cast<std::size_t>(out - begin);
}

// Raw text has no framing, so it has a loop of its own: the framing loops need not test the flag
// for every byte, which they had to read back from the decoder after each write of text (a char
// written might have changed it, as far as the compiler knows). With times, each read is a line.
std::size_t decode_raw(const SniffDecoder& decoder, const unsigned char* chunk, int count,
                       char* text) {
    char* out = text;
    if (decoder.timestamps) out = put_stamp(out, decoder);
    for (int i = 0; i < count; ++i) {
        const unsigned char b = chunk[i];
        out = put_hex(out, b);
        out = put_hex(out, b);
    }
    if (decoder.timestamps) *out++ = '\n';
    return static_cast<std::size_t>(out - text);
}

// The framing loop that writes text, with or without time stamps.
template <bool frames, bool annotate>
std::size_t decode_text(SniffDecoder& decoder, const unsigned char* chunk, int count, char* text) {
    if (decoder.timestamps)
        return decode<frames, annotate, out_stamped>(decoder, chunk, count, text);
    return decode<frames, annotate, out_text>(decoder, chunk, count, text);
}

} // namespace

SniffDecoder sniff_decoder_new(bool raw, bool flash, SniffImage* image, SniffOutput output) {
    return SniffDecoder{raw,
                        outside_frame,
                        flash,
                        sniff_frames_new(image),
                        output.timestamps,
                        0,
                        {},
                        sniff_json_new(output.jsonl, flash)};
}

void sniff_decoder_time(SniffDecoder& decoder, std::int64_t micros) {
    decoder.json.micros = micros;
    if (!decoder.timestamps) return;
    char* out = decoder.stamp;
    *out++ = '+';
    out = std::to_chars(out, decoder.stamp + sniff_stamp_max - 8, micros / 1000000).ptr;
    *out++ = '.';
    std::int64_t rest = micros % 1000000;
    for (int i = 5; i >= 0; --i, rest /= 10) out[i] = static_cast<char>('0' + rest % 10);
    out[6] = ' ';
    decoder.stamp_size = static_cast<std::size_t>(out + 7 - decoder.stamp);
}

std::size_t sniff_text_room(const SniffDecoder& decoder, std::size_t count) {
    // Two frame ends have a "[" between them, so at most every other byte ends a frame.
    const std::size_t annotations = decoder.flash && !decoder.raw ? (count + 1) / 2 : 0;
    // Raw text with times is one line a read.
    const std::size_t stamps = !decoder.timestamps ? 0 : decoder.raw ? 1 : count;
    return sniff_text_per_byte * count + sniff_flash_text_max * annotations +
           (sniff_stamp_max + 1) * stamps;
}

std::size_t sniff_decode_text(SniffDecoder& decoder, const unsigned char* chunk, int count,
                              char* text) {
    SniffImage* image = decoder.frames.image;
    if (image == nullptr) {
        if (decoder.raw) return decode_raw(decoder, chunk, count, text);
        if (decoder.flash) return decode_text<true, true>(decoder, chunk, count, text);
        return decode_text<false, false>(decoder, chunk, count, text);
    }
    image->tally.bytes += static_cast<std::uint64_t>(count);
    std::size_t size = 0;
    if (decoder.raw) {
        // Raw text has no frames, but the image still reads them.
        decode<true, false, out_none>(decoder, chunk, count, text);
        size = decode_raw(decoder, chunk, count, text);
    } else if (decoder.flash) {
        size = decode_text<true, true>(decoder, chunk, count, text);
    } else {
        size = decode_text<true, false>(decoder, chunk, count, text);
    }
    // The image holds every byte that came, also of a frame still open when the run ends.
    sniff_frames_run(decoder.frames);
    return size;
}

std::string_view sniff_decode_json(SniffDecoder& decoder, const unsigned char* chunk, int count) {
    SniffJson& json = decoder.json;
    json.out.clear();
    SniffImage* image = decoder.frames.image;
    if (image != nullptr) image->tally.bytes += static_cast<std::uint64_t>(count);
    if (decoder.raw) {
        if (image != nullptr) decode<true, false, out_none>(decoder, chunk, count, nullptr);
        sniff_json_raw(json, chunk, count);
    } else if (decoder.flash || image != nullptr) {
        decode<true, false, out_json>(decoder, chunk, count, nullptr);
    } else {
        decode<false, false, out_json>(decoder, chunk, count, nullptr);
    }
    if (image != nullptr) sniff_frames_run(decoder.frames);
    sniff_json_outside_out(json);
    return json.out;
}

std::string_view sniff_decode_end(SniffDecoder& decoder) {
    SniffJson& json = decoder.json;
    json.out.clear();
    if (json.on && !decoder.raw)
        sniff_json_finish(json, decoder.state != outside_frame, decoder.state == pair_first,
                          decoder.state == pair_second);
    return json.out;
}
