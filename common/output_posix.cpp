// The capture's text on its way to standard output, and how a signal gets it out of a write that
// a reader who takes no text would hold for ever.

#include "output.hpp"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

// Set from a signal handler: lock-free, so safe there.
std::atomic<bool> output_stopped{false};
std::atomic<bool> output_writing{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Where output_abandon leaves the write for. Only write(2), which is async-signal-safe, runs
// while it may be used, so jumping out of the handler leaves nothing half-done behind.
sigjmp_buf output_escape;
const char* output_pending_text;
std::size_t output_pending_size;

// Writes all of text unless stopped. Returns 0, or -1 with errno set (EINTR when stopped).
int output_write_all(const char* text, std::size_t size) {
    output_writing.store(true);
    // Looked at after output_writing is set: a stop that came before is seen here, one that comes
    // later finds the write under way.
    int result = 0;
    while (size > 0 && result == 0) {
        const ssize_t written = output_stopped.load() ? -1 : write(STDOUT_FILENO, text, size);
        if (written >= 0) {
            text += written;
            size -= static_cast<std::size_t>(written);
        } else if (output_stopped.load()) {
            errno = EINTR;
            result = -1;
        } else if (errno != EINTR) {
            result = -1;
        }
    }
    const int error = errno;
    output_writing.store(false);
    errno = error;
    return result;
}

// The write that output_abandon may leave: nothing of this frame is used after the jump back.
int output_write_escapable(const char* text, std::size_t size) {
    output_pending_text = text;
    output_pending_size = size;
    if (sigsetjmp(output_escape, 1) != 0) {
        errno = EINTR;
        return -1;
    }
    return output_write_all(output_pending_text, output_pending_size);
}

} // namespace

int output_write(const char* text, std::size_t size) {
    if (std::fflush(stdout) != 0) return -1;
    return output_write_escapable(text, size);
}

bool output_stop() {
    output_stopped.store(true);
    return output_writing.load();
}

void output_abandon() {
    output_writing.store(false);
    siglongjmp(output_escape, 1);
}

bool output_would_wait(std::FILE* stream) {
    if (!output_stopped.load()) return false;
    pollfd ready{fileno(stream), POLLOUT, 0};
    return poll(&ready, 1, 0) == 0;
}
