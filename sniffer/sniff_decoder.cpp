#include "sniffer.hpp"

#include <array>
#include <cstdio>
#include <string_view>

namespace {

constexpr unsigned char frame_open = 0x5B;  // "["
constexpr unsigned char pair_start = 0x5C;  // "\"
constexpr unsigned char frame_close = 0x5D; // "]"

enum : int { outside_frame = 0, in_frame = 1, pair_first = 2, pair_second = 3 };

// Upper-case hex digits for every byte value, so no byte goes through printf.
constexpr std::array<std::array<char, 2>, 256> hex_table = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<std::array<char, 2>, 256> table{};
    for (int b = 0; b < 256; ++b) table[b] = {digits[b >> 4], digits[b & 0x0F]};
    return table;
}();

// The text of a run of bytes is gathered here and handed to stdio in one call, so no byte
// costs a library call of its own; the block never holds more than a few bytes' worth.
struct TextBlock {
    static constexpr std::size_t capacity = 1024;
    static constexpr std::size_t most_per_byte = 16; // "5B 0x5B(" is the longest
    std::array<char, capacity> text;
    std::size_t size = 0;

    void hex(unsigned char b) {
        text[size++] = hex_table[b][0];
        text[size++] = hex_table[b][1];
    }
    void add(std::string_view s) {
        for (const char c : s) text[size++] = c;
    }
    void make_room() {
        if (size + most_per_byte > capacity) write_out();
    }
    void write_out() {
        std::fwrite(text.data(), 1, size, stdout);
        size = 0;
    }
};

} // namespace

SniffDecoder sniff_decoder_new(bool raw) {
    return SniffDecoder{raw, outside_frame};
}

void sniff_decode(SniffDecoder& decoder, const unsigned char* chunk, int count) {
    TextBlock out;
    for (int i = 0; i < count; ++i) {
        const unsigned char b = chunk[i];
        out.make_room();
        out.hex(b);
        out.add(" ");
        if (decoder.raw) {
            out.hex(b);
            out.add(" ");
        } else {
            switch (decoder.state) {
            case pair_first:
                out.add("0x");
                out.hex(b);
                out.add("(");
                decoder.state = pair_second;
                break;
            case pair_second:
                out.add("0x");
                out.hex(b);
                out.add(")");
                decoder.state = in_frame;
                break;
            case in_frame:
                if (b == pair_start) {
                    decoder.state = pair_first;
                } else if (b == frame_close) {
                    out.add("]\n");
                    decoder.state = outside_frame;
                } else {
                    out.add("Sync\n");
                    decoder.state = outside_frame;
                }
                break;
            default:
                if (b == frame_open) {
                    out.add("[");
                    decoder.state = in_frame;
                } else {
                    out.add("Sync\n");
                }
                break;
            }
        }
    }
    out.write_out();
}
