#include "sniff_text.hpp"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two upper-case hex digits at pos; -1 when there are none.
int hex_byte(std::string_view text, std::size_t pos) {
    if (pos + 2 > text.size()) return -1;
    const int high = hex_digit(text[pos]), low = hex_digit(text[pos + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

bool starts(std::string_view text, std::size_t pos, std::string_view with) {
    return text.substr(pos, with.size()) == with;
}

// A flash annotation line may follow a frame's end; returns where the next byte's text begins,
// or beyond the text when the line does not end.
std::size_t skip_annotation(std::string_view text, std::size_t pos) {
    if (!starts(text, pos, "    flash: ")) return pos;
    const std::size_t end = text.find('\n', pos);
    return end == std::string_view::npos ? text.size() + 1 : end + 1;
}

} // namespace

bool sniff_text_bytes(std::string_view text, bool raw, std::vector<unsigned char>& bytes) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const int b = hex_byte(text, pos);
        if (b < 0 || !starts(text, pos + 2, " ")) return false;
        pos += 3;
        bytes.push_back(static_cast<unsigned char>(b));
        if (raw) {
            if (hex_byte(text, pos) != b || !starts(text, pos + 2, " ")) return false;
            pos += 3;
            continue;
        }
        // The pair notation "0x12(" / "0x34)" cannot be mistaken for the next byte: hex is
        // printed in upper case, so "0x" never starts one.
        if (starts(text, pos, "0x") && hex_byte(text, pos + 2) == b && pos + 4 < text.size() &&
            (text[pos + 4] == '(' || text[pos + 4] == ')'))
            pos += 5;
        else if (starts(text, pos, "["))
            pos += 1;
        else if (starts(text, pos, "]\n") || starts(text, pos, "Sync\n"))
            pos = skip_annotation(text, pos + (text[pos] == ']' ? 2 : 5));
        if (pos > text.size()) return false;
    }
    return true;
}
