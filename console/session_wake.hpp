#pragma once

// Inside the session: the wake-up of a signal taken as a key, one file per platform. The session
// raises it from its signal handler; the keys' waits watch it through session_keys.hpp.

// Makes the wake-up. Called by session_start, once the standard descriptors are in place, so
// that it cannot take their numbers.
void session_wake_open();

// A signal counts as a waiting key, and a wait under way wakes. Async-signal-safe, and safe from
// the console's control thread.
void session_wake_signal();
