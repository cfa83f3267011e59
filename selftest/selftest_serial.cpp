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

// The last serial number ended with a CR: an LF right behind it is the same Enter (a file of
// serial numbers from Windows, a scanner that ends its lines so), whenever it comes. A console
// can hand over the two keys apart, well after the CR.
bool after_carriage_return = false;

} // namespace

int selftest_take_key() {
    int key = keys_take();
    if (after_carriage_return && key == '\n') key = keys_take();
    after_carriage_return = false;
    return key;
}

bool selftest_read_serial(std::string& serial) {
    std::string typed;
    for (;;) {
        const int key = selftest_take_key();
        if (key == key_escape || key == key_end_of_input) return false;
        if (key == '\n') break;
        if (key == '\r') {
            after_carriage_return = true;
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
