#include "session.hpp"

#include "output.hpp"
#include "serial.hpp"
#include "session_wake.hpp"

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
std::atomic<bool> defer_ending{false};
std::atomic<bool> deferred_close{false};

BOOL WINAPI on_control(DWORD type) {
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && signals_as_key.load()) {
        session_wake_signal();
        // A reader that takes no text would hold the key back for as long as it waits: the write
        // is given up, and the run ends as the key ends it. Every byte read is in the capture
        // file already.
        if (output_stop()) output_abandon();
        return TRUE;
    }
    if ((type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) &&
        defer_ending.load()) {
        deferred_close.store(true);
        session_wake_signal();
        // The system ends the process once this returns, or some seconds after the event: the
        // run meanwhile finishes its file and ends the process itself.
        Sleep(INFINITE);
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
    session_wake_open();
    SetConsoleCtrlHandler(on_control, TRUE);
}

// The console's mode is never changed here: key records come without echo or line editing.
void session_without_keys() {}

void session_restore() {}

void session_signals_as_key(bool on) {
    signals_as_key.store(on);
}

void session_defer_ending_signals(bool on) {
    defer_ending.store(on);
}

bool session_ending_by_signal() {
    return deferred_close.load();
}

void session_end_by_deferred_signal() {
    if (!deferred_close.load()) return;
    release_at_exit();
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
}

// A console closed under us ends the process at once (see on_control): only exit says them.
void session_set_last_words(const std::string& text) {
    last_words = text;
}
