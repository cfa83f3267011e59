#include "sniff_image.hpp"
#include "sniffer.hpp"

#include <array>
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

// With frames the loop also hands each frame's opening, pairs and end to the frame reader; with
// annotate it adds the annotation line where a frame ends; without text it only follows the
// framing (for an image under raw text). As template arguments they cost the plain loop nothing.
// The reader's run is kept in locals while the loop runs: a char of text written might change
// the reader as far as the compiler knows, which would have it read them back for every pair.
template <bool frames, bool annotate, bool text = true>
std::size_t decode(SniffDecoder& decoder, const unsigned char* chunk, int count, char* out_text) {
    char* out = out_text;
    int state = decoder.state;
    SniffFrames& reader = decoder.frames;
    unsigned char* const run = reader.run;
    SniffRunSource source = reader.run_source;
    std::size_t run_size = reader.run_size;
    unsigned char mosi = reader.pending_mosi;
    for (int i = 0; i < count; ++i) {
        const unsigned char b = chunk[i];
        if constexpr (text) out = put_hex(out, b);
        switch (state) {
        case pair_first:
            if constexpr (text) out = put_pair_byte(out, b, '(');
            mosi = b;
            state = pair_second;
            break;
        case pair_second:
            if constexpr (text) out = put_pair_byte(out, b, ')');
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
                state = outside_frame;
            }
            break;
        default:
            if (b == frame_open) {
                if constexpr (text) out = put_text(out, "[");
                if constexpr (frames) {
                    sniff_frames_open(reader);
                    source = sniff_run_none;
                    run_size = 0;
                }
                state = in_frame;
            } else {
                if constexpr (text) out = put_text(out, "Sync\n");
            }
            break;
        }
    }
    decoder.state = state;
    if constexpr (frames) {
        reader.run_size = run_size;
        reader.pending_mosi = mosi;
    }
    return static_cast<std::size_t>(out - out_text);
}

// Raw text has no framing, so it has a loop of its own: the framing loops need not test the flag
// for every byte, which they had to read back from the decoder after each write of text (a char
// written might have changed it, as far as the compiler knows).
std::size_t decode_raw(const unsigned char* chunk, int count, char* text) {
    char* out = text;
    for (int i = 0; i < count; ++i) {
        const unsigned char b = chunk[i];
        out = put_hex(out, b);
        out = put_hex(out, b);
    }
    return static_cast<std::size_t>(out - text);
}

} // namespace

SniffDecoder sniff_decoder_new(bool raw, bool flash, SniffImage* image) {
    return SniffDecoder{raw, outside_frame, flash, sniff_frames_new(image)};
}

std::size_t sniff_text_room(const SniffDecoder& decoder, std::size_t count) {
    // Two frame ends have a "[" between them, so at most every other byte ends a frame.
    const std::size_t annotations = decoder.flash && !decoder.raw ? (count + 1) / 2 : 0;
    return sniff_text_per_byte * count + sniff_flash_text_max * annotations;
}

std::size_t sniff_decode_text(SniffDecoder& decoder, const unsigned char* chunk, int count,
                              char* text) {
    SniffImage* image = decoder.frames.image;
    if (image == nullptr) {
        if (decoder.raw) return decode_raw(chunk, count, text);
        if (decoder.flash) return decode<true, true>(decoder, chunk, count, text);
        return decode<false, false>(decoder, chunk, count, text);
    }
    image->tally.bytes += static_cast<std::uint64_t>(count);
    std::size_t size = 0;
    if (decoder.raw) {
        // Raw text has no frames, but the image still reads them.
        decode<true, false, false>(decoder, chunk, count, text);
        size = decode_raw(chunk, count, text);
    } else if (decoder.flash) {
        size = decode<true, true>(decoder, chunk, count, text);
    } else {
        size = decode<true, false>(decoder, chunk, count, text);
    }
    // The image holds every byte that came, also of a frame still open when the run ends.
    sniff_frames_run(decoder.frames);
    return size;
}
