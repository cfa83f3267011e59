#pragma once

#include "serial.hpp"

// The user's keys, from the console or from the bytes of standard input.
//
// A key is one byte. An escape sequence that arrives together (an arrow key: ESC and the bytes
// that come with it) is one ordinary key, never Esc; a lone ESC is Esc. Every function flushes
// standard output first, so what was printed is out before the program waits.

inline constexpr int key_escape = 27;
// An escape sequence (or on a console a key that gives no character), taken whole.
inline constexpr int key_sequence = 0x100;
// Standard input has ended: no key will ever come.
inline constexpr int key_end_of_input = -1;
// SIGINT or SIGTERM while session_signals_as_key is on.
inline constexpr int key_signal = 0x101;

// Never blocks. 1 when a key is waiting, 0 when none is, key_end_of_input when standard input
// has ended and no key is left.
int keys_waiting();

// Waits, without periodic wake-ups, until a key is waiting, and takes it: its code,
// key_escape, key_sequence, key_signal, or key_end_of_input.
int keys_take();

// Waits, without periodic wake-ups, until a key is waiting, the port has bytes (or is lost), or
// timeout_ms have passed (-1: no limit). Returns 1 when a key is waiting (it wins over bytes), 0
// when the port is ready to be read, -1 after the time-out. The port's bytes are left for
// serial_read_available (see serial_watch).
int keys_wait_key_or_port(PortHandle port, int timeout_ms);
