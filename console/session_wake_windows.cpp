// The wake-up of a signal taken as a key on Windows: the console's control thread raises a flag
// and sets an event, which a wait under way watches.

#include "session_keys.hpp"
#include "session_wake.hpp"

#include <atomic>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

std::atomic<bool> signal_key_pending{false};
HANDLE signal_event = nullptr;

} // namespace

void session_wake_open() {
    signal_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void session_wake_signal() {
    signal_key_pending.store(true);
    SetEvent(signal_event);
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
