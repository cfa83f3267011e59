#pragma once

#include <string>

// The program's session with its user: the terminal it was given, the signals, and the way out.
// Whatever ends the process, the terminal is put back as it was found and the ports' exclusive
// holds are dropped (serial_release_all).

// Call first in main, before anything else is opened. Opens any of standard input, output and
// error that is closed on the null device (so no port or pipe can take their numbers: closed
// input reads as its end, closed output fails to write and says so). Puts a terminal on standard
// input into single-key mode (no line editing, no echo, signals kept) while the program runs in
// the foreground, and arranges the restore on every way out: return from main, exit(), and
// SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE, after which the process dies of the signal.
void session_start();

// For a run that reads no keys; call before session_start. A terminal on standard input is then
// left as it is: line editing, echo, and Ctrl-D as the end of input.
void session_without_keys();

// Puts the terminal back as session_start found it. Idempotent; async-signal-safe.
void session_restore();

// While on, SIGINT and SIGTERM (on Windows Ctrl-C and Ctrl-Break) do not end the process: they
// count as a key (key_signal, see keys.hpp), the first of them; a second one ends the process
// as if it were off. One that comes while output_write is under way (which a reader that takes
// no text can make last for ever) makes that write fail at once, and every later one
// (output_stop, output_abandon).
void session_signals_as_key(bool on);

// While on, SIGHUP, SIGQUIT and SIGPIPE (on Windows the console's closing) do not end the process
// at once either: they count as a key as well, so that the run can finish what must outlive it
// (a file written at the end). session_end_by_deferred_signal then ends the process by the signal
// that came, as it would have ended at once.
void session_defer_ending_signals(bool on);

// Whether a signal deferred above has come.
bool session_ending_by_signal();

// After a signal deferred above: puts the terminal back, releases the ports, says the last words
// and ends the process as that signal ends it. Returns at once when none came.
void session_end_by_deferred_signal();

// What the program says last on standard error, however it ends: at exit (after standard output
// is out), and on POSIX also before it dies of a signal. Each call replaces the text before;
// "" says nothing. Call only after session_start.
void session_set_last_words(const std::string& text);
