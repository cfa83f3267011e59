#pragma once

#include "serial.hpp"

// The user's keyboard and terminal.
//
// A key is one byte. An escape sequence that arrives together (an arrow key: ESC and the
// bytes that come with it) is one ordinary key, never Esc; a lone ESC is Esc.

inline constexpr int key_escape = 27;
// What console_take_key returns for an escape sequence taken whole.
inline constexpr int key_sequence = 0x100;
// What the key functions return once standard input has ended: no key will ever come.
inline constexpr int key_end_of_input = -1;
// What console_take_key returns for SIGINT or SIGTERM while console_signals_as_key is on.
inline constexpr int key_signal = 0x101;

// Puts a terminal on standard input into non-canonical, no-echo mode (signals kept) and
// arranges that it is restored, and serial_release_all is called, on every way out: return
// from main, exit(), SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE (after which the process dies of
// the signal).
// Safe to call when standard input is not a terminal. Call once, at start.
void console_start();

// Puts the terminal back as console_start found it. Idempotent; async-signal-safe.
void console_restore();

// While on, SIGINT and SIGTERM do not end the process: they count as a waiting key.
void console_signals_as_key(bool on);

// Never blocks. 1 when a key (or a signal taken as a key) is waiting, 0 when none is,
// key_end_of_input when standard input has ended and no key is left.
int console_key_waiting();

// Takes the waiting key: its code, key_escape, key_sequence, or key_end_of_input.
// Blocks until a key comes if none is waiting.
int console_take_key();

// Waits, without busy wake-ups, until a key is waiting, then takes it (as console_take_key).
int console_wait_key();

// Pauses for ms milliseconds.
void console_pause(int ms);

// Waits until the port has data (or is lost), a key is waiting, or timeout_ms have passed
// (-1: no limit), whichever comes first. Returns 1 when a key is waiting, 0 when the port is
// ready to be read, -1 after the time-out. Port data is left for serial_read.
// Where the port cannot be waited on together with the keyboard (Windows), it returns at once,
// 1 or 0, and the capture read that follows bounds the wait (serial_read_waiting's wait_ms).
int console_wait_port_or_key(PortHandle port, int timeout_ms);
