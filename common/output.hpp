#pragma once

#include <cstddef>
#include <cstdio>

// Standard output is buffered for speed; standard error is not. These keep the texts of both
// streams in the order they were printed, even when both go to one pipe or file, and make sure
// that output which could not be written never passes for success.

// Pushes out everything printed so far. Called before every wait (serial read, pause, key
// poll) and before anything that writes to standard error behind our back (the option parser).
// When standard output cannot be written, says why on standard error and ends the process with
// status -1 (the exit handlers restore the terminal and release the ports).
void output_flush();

// Writes text to standard output at once, behind whatever stdio still holds. Returns 0, or -1
// with errno set when it could not all be written (EINTR after output_stop).
int output_write(const char* text, std::size_t size);

// A signal that ends the run must not wait behind a reader that takes no text (a full pipe, a
// stopped terminal). From output_stop on, output_write writes nothing and fails with EINTR; it
// returns whether an output_write is under way now, which output_abandon cuts short.
// Async-signal-safe, and safe from another thread.
bool output_stop();

// After output_stop said a write is under way: makes it fail with EINTR. On POSIX, called from a
// signal handler that interrupted that write, it leaves the handler for the write and does not
// return; on Windows, called from the console's control thread, it returns once the write has
// given up (or ends the process with status 0 when it never does).
void output_abandon();

// Whether writing to stream now would wait, once output_stop was called; before, always false.
bool output_would_wait(std::FILE* stream);

// Says on standard error why standard output could not be written (error is an errno value):
// " Error writing output: " and the reason.
void output_report_failure(int error);

// printf to standard error, after flushing standard output. Returns what vfprintf returns.
int output_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The texts around the program's product (the banner, the echo, the adapter's exchanges) go to
// standard output, or from output_texts_to_error on to standard error: spi-sniffer --format
// jsonl keeps standard output for its JSON lines alone.
void output_texts_to_error();

// printf of such a text, to where the texts go. Returns what vfprintf returns.
int output_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
