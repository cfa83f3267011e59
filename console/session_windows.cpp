#include "session.hpp"

#include "serial.hpp"
#include "session_keys.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

bool started = false;
std::string last_words;

void release_at_exit() {
    serial_release_all();
    std::fflush(stdout);
    std::fputs(last_words.c_str(), stderr);
    std::fflush(stderr);
}
// Set from our thread, read on the console's control thread.
std::atomic<bool> signals_as_key{false};
// Set on the console's control thread; the event wakes a wait that is under way.
std::atomic<bool> signal_key_pending{false};
HANDLE signal_event = nullptr;

BOOL WINAPI on_control(DWORD type) {
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && signals_as_key.load()) {
        signal_key_pending.store(true);
        SetEvent(signal_event);
        return TRUE;
    }
    // Closing the console, logging off, shutting down, or an interrupt elsewhere: ended at once,
    // which closes the port. The default handler's ExitProcess would run the runtime's clean-up
    // on this thread while ours may hold a stdio lock, and could hang there.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

void session_start() {
    if (started) return;
    started = true;
    std::atexit(release_at_exit);
    signal_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_control, TRUE);
}

// The console's mode is never changed here: key records come without echo or line editing.
void session_restore() {}

void session_signals_as_key(bool on) {
    signals_as_key.store(on);
}

// A console closed under us ends the process at once (see on_control): only exit says them.
void session_set_last_words(const std::string& text) {
    last_words = text;
}

std::intptr_t session_signal_wake() {
    return reinterpret_cast<std::intptr_t>(signal_event);
}

// The event stays set while the key waits, and is reset when it is taken.
void session_signal_woken() {}

bool session_signal_key_waiting() {
    return signal_key_pending.load();
}

bool session_take_signal_key() {
    if (!signal_key_pending.exchange(false)) return false;
    ResetEvent(signal_event);
    return true;
}
