// The board's serial number, typed, or scanned by a barcode scanner that types it and presses
// Enter. From a terminal the keys come one by one without echo, from a pipe as its bytes: what is
// taken is echoed here either way, so that the screen shows what goes on the record.

#include "selftest.hpp"

#include "keys.hpp"
#include "output.hpp"

#include <cstdio>

namespace {

// Longer than any serial number on a label; what comes beyond is not taken.
constexpr std::size_t longest_serial = 64;
constexpr int backspace = 0x08;
constexpr int erase = 0x7F;

// A key taken to look behind an Enter, and not the LF of a CR LF.
int held_key = 0;
bool holding = false;

} // namespace

int selftest_take_key() {
    if (!holding) return keys_take();
    holding = false;
    output_flush(); // as keys_take does: the prompt is out before its key is taken
    return held_key;
}

bool selftest_read_serial(std::string& serial) {
    std::string typed;
    for (;;) {
        const int key = selftest_take_key();
        if (key == key_escape || key == key_end_of_input) return false;
        if (key == '\n') break;
        if (key == '\r') {
            // A file of serial numbers from Windows ends its lines in CR LF: the LF that came
            // with the CR is the same Enter, not the key for the next prompt.
            if (keys_waiting() == 1 && (held_key = keys_take()) != '\n') holding = true;
            break;
        }
        if (key == backspace || key == erase) {
            if (typed.empty()) continue;
            typed.pop_back();
            std::fputs("\b \b", stdout);
        } else if (key >= ' ' && key < erase && typed.size() < longest_serial) {
            typed += static_cast<char>(key);
            std::putchar(key);
        }
        // Arrows, other control keys and bytes beyond ASCII are no part of a serial number.
    }
    std::putchar('\n');
    // A blank typed before or after the number would make the board another one.
    const std::size_t first = typed.find_first_not_of(' ');
    serial = first == std::string::npos
                 ? ""
                 : typed.substr(first, typed.find_last_not_of(' ') - first + 1);
    return true;
}
