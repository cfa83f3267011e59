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

// Collects the few characters one byte produces, then hands them to stdio in one call.
struct ByteText {
    std::array<char, 16> text;
    std::size_t size = 0;

    void hex(unsigned char b) {
        text[size++] = hex_table[b][0];
        text[size++] = hex_table[b][1];
    }
    void add(std::string_view s) {
        for (const char c : s) text[size++] = c;
    }
};

} // namespace

SniffDecoder sniff_decoder_new(bool raw) { return SniffDecoder{raw, outside_frame}; }

void sniff_decode(SniffDecoder& decoder, const unsigned char* chunk, int count) {
    for (int i = 0; i < count; ++i) {
        const unsigned char b = chunk[i];
        ByteText out;
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
        std::fwrite(out.text.data(), 1, out.size, stdout);
    }
}
