#include "output.hpp"
#include "output_loop.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Set once, while the command line is read, before anything is printed.
bool texts_to_error = false;

} // namespace

std::atomic<bool> output_stopped{false};
std::atomic<bool> output_writing{false};

int output_write_loop(const char* text, std::size_t size,
                      long (*write_some)(const char* text, std::size_t size)) {
    output_writing.store(true);
    // Looked at after output_writing is set: a stop that came before is seen here, one that comes
    // later finds the write under way.
    int result = 0;
    while (size > 0 && result == 0) {
        const long written = output_stopped.load() ? -1 : write_some(text, size);
        if (written >= 0) {
            text += written;
            size -= static_cast<std::size_t>(written);
        } else if (output_stopped.load()) {
            errno = EINTR; // stopped, or the write cancelled by output_abandon
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

void output_report_failure(int error) {
    std::fprintf(stderr, " Error writing output: %s\n", std::strerror(error));
    std::fflush(stderr);
}

int output_error(const char* format, ...) {
    // A run a signal stopped must end: what it still has to say is dropped where it would wait.
    if (output_would_wait(stderr)) return 0;
    std::fflush(stdout);
    std::va_list arguments;
    va_start(arguments, format);
    const int result = std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
    return result;
}

void output_texts_to_error() {
    texts_to_error = true;
}

int output_text(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    int result = 0;
    if (texts_to_error) {
        // In the order printed, as output_error keeps it; a stopped run drops what would wait.
        if (output_would_wait(stderr)) {
            va_end(arguments);
            return 0;
        }
        std::fflush(stdout);
        result = std::vfprintf(stderr, format, arguments);
        std::fflush(stderr);
    } else {
        result = std::vprintf(format, arguments);
    }
    va_end(arguments);
    return result;
}
