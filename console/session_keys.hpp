#pragma once

#include <cstdint>

// The one seam between the session and the keys, the same on every platform. The session owns
// the terminal and the signals; the keys ask it here what their waits need, and the session
// never calls the keys.

// What a wait watches to be woken by a signal taken as a key (session_signals_as_key): on POSIX
// the read end of a pipe that the signal handler writes to, on Windows an event that the control
// handler sets; -1 (POSIX) or 0 (Windows) when there is none.
std::intptr_t session_signal_wake();

// After session_signal_wake woke a wait: empties it, so that the next wait sleeps again.
void session_signal_woken();

// Whether a signal taken as a key is waiting; session_take_signal_key takes it.
bool session_signal_key_waiting();
bool session_take_signal_key();

// POSIX only, where a job shell can put us in the background:

// Whether keys may be read: not while we run in the background, where reading the terminal
// would stop us (SIGTTIN). First pays the terminal mode we owe when `fg` has brought us back.
bool session_keys_readable();

// A wait's poll() time-out: in the background, short enough to notice the foreground again.
int session_poll_ms(int timeout_ms);
