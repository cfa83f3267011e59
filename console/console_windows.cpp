#include "console.hpp"

#include "output.hpp"
#include "serial.hpp"

#include <atomic>
#include <conio.h>
#include <cstdlib>
#include <windows.h>

namespace {

// Set from the console's control thread, read from ours.
std::atomic<bool> signals_as_key{false};
std::atomic<bool> signal_key_pending{false};
bool started = false;
bool handler_installed = false;

BOOL WINAPI on_control(DWORD type) {
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && signals_as_key.load()) {
        signal_key_pending.store(true);
        return TRUE;
    }
    return FALSE;
}

bool key_or_signal() {
    return signal_key_pending.load() || _kbhit() != 0;
}

int take_key() {
    if (signal_key_pending.exchange(false)) return key_signal;
    const int code = _getch();
    // An extended key (arrows, function keys) comes as a prefix and a second code.
    if (code == 0 || code == 0xE0) {
        _getch();
        return key_sequence;
    }
    return code;
}

} // namespace

void console_start() {
    if (started) return;
    started = true;
    std::atexit(serial_release_all);
}

// The console's mode is never changed here: _getch reads without echo by itself.
void console_restore() {}

void console_signals_as_key(bool on) {
    if (on && !handler_installed) handler_installed = SetConsoleCtrlHandler(on_control, TRUE) != 0;
    signals_as_key.store(on);
}

int console_key_waiting() {
    output_flush();
    return key_or_signal() ? 1 : 0;
}

int console_take_key() {
    if (!key_or_signal()) return console_wait_key();
    return take_key();
}

int console_wait_key() {
    output_flush();
    for (;;) {
        Sleep(1);
        if (key_or_signal()) break;
    }
    return take_key();
}

void console_pause(int ms) {
    output_flush();
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

// The fixed 1 ms pause before each read: the port's own time-outs bound the read that follows.
int console_wait_port_or_key(PortHandle, int) {
    output_flush();
    Sleep(1);
    return key_or_signal() ? 1 : 0;
}
