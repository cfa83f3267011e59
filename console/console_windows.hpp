#pragma once

// Between the session and the keys on Windows.

// Finds out where keys come from (the console, or standard input's bytes) and makes the event
// through which a Ctrl-C taken as a key wakes a wait. Called by session_start.
void keys_start();

// Ctrl-C or Ctrl-Break counts as a waiting key. Safe from the console's control thread.
void keys_signal();
