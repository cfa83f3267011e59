#pragma once

// Between the session and the keys on POSIX.

// Opens the pipe through which a signal taken as a key wakes a wait. Called by session_start,
// once the standard descriptors are in place.
void keys_start();

// A signal counts as a waiting key. Async-signal-safe.
void keys_signal();

// Whether keys may be read: not while we run in the background, where reading the terminal
// would stop us (SIGTTIN). First pays the terminal mode we owe when `fg` has brought us back.
bool session_keys_readable();

// A wait's poll() time-out: in the background, short enough to notice the foreground again.
int session_poll_ms(int timeout_ms);
