// The capture's text on its way to standard output, and how a signal gets it out of a write that
// a reader who takes no text would hold for ever.

#include "output.hpp"
#include "output_loop.hpp"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

// Where output_abandon leaves the write for. Only write(2), which is async-signal-safe, runs
// while it may be used, so jumping out of the handler leaves nothing half-done behind.
sigjmp_buf output_escape;
const char* output_pending_text;
std::size_t output_pending_size;

long write_some(const char* text, std::size_t size) {
    return write(STDOUT_FILENO, text, size);
}

// The write that output_abandon may leave: nothing of this frame is used after the jump back.
int output_write_escapable(const char* text, std::size_t size) {
    output_pending_text = text;
    output_pending_size = size;
    if (sigsetjmp(output_escape, 1) != 0) {
        errno = EINTR;
        return -1;
    }
    return output_write_loop(output_pending_text, output_pending_size, write_some);
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
