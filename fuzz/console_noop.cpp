// The console for the fuzzers: no keyboard, and pauses that take no time.

#include "console.hpp"

void console_start() {}

void console_restore() {}

void console_signals_as_key(bool) {}

int console_key_waiting() {
    return 0;
}

int console_take_key() {
    return key_end_of_input;
}

int console_wait_key() {
    return key_end_of_input;
}

void console_pause(int) {}

int console_wait_port_or_key(PortHandle, int) {
    return 0;
}
