#pragma once

// What the platforms' output files share: the flags a stop is told by and the loop that writes
// the capture's text. Each platform brings the call that writes a piece of it.

#include <atomic>
#include <cstddef>

// Set from a signal handler or the console's control thread: lock-free, so safe there.
extern std::atomic<bool> output_stopped;
extern std::atomic<bool> output_writing;
static_assert(std::atomic<bool>::is_always_lock_free);

// Writes all of text through write_some (it returns what it wrote, or -1 with errno set) unless
// stopped. Returns 0, or -1 with errno set (EINTR when stopped). Safe in a signal handler's
// context as long as write_some is.
int output_write_loop(const char* text, std::size_t size,
                      long (*write_some)(const char* text, std::size_t size));
