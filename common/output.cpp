#include "output.hpp"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

void output_flush() {
    // An unbuffered standard output (Windows gives one to any character device) fails inside
    // printf itself, and only its error indicator is left to say so.
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    const int error = errno;
    // Told once, here: exit may try the rest once more, in silence.
    std::clearerr(stdout);
    output_report_failure(error);
    std::exit(-1);
}

namespace {

// Set by a signal handler, or on Windows the console's control thread: lock-free, so safe there.
std::atomic<bool> output_stopped{false};
std::atomic<bool> output_writing{false};
static_assert(std::atomic<bool>::is_always_lock_free);

int output_write_all(const char* text, std::size_t size) {
    // Looked at after output_writing is set: a stop that came before is seen here, one that comes
    // later sees the write under way.
    if (output_stopped.load()) {
        errno = EINTR;
        return -1;
    }
    if (std::fflush(stdout) != 0) return -1;
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        text += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

} // namespace

int output_write(const char* text, std::size_t size) {
    output_writing.store(true);
    const int result = output_write_all(text, size);
    const int error = errno;
    output_writing.store(false);
    errno = error;
    return result;
}

bool output_stop() {
    output_stopped.store(true);
    return output_writing.load();
}

void output_report_failure(int error) {
    std::fprintf(stderr, " Error writing output: %s\n", std::strerror(error));
    std::fflush(stderr);
}

int output_error(const char* format, ...) {
    std::fflush(stdout);
    std::va_list arguments;
    va_start(arguments, format);
    const int result = std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
    return result;
}
