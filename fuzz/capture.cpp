#include "capture.hpp"

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int capture_fd = -1;

} // namespace

int fuzz_capture_start() {
    if (capture_fd >= 0) return 0;
    std::fflush(stdout);
    const int fd = memfd_create("fuzz_stdout", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (dup2(fd, STDOUT_FILENO) < 0) {
        close(fd);
        return -1;
    }
    capture_fd = fd;
    return 0;
}

void fuzz_capture_clear() {
    std::fflush(stdout);
    // Descriptor 1 shares the file offset with capture_fd, so both start again at 0.
    if (ftruncate(capture_fd, 0) != 0) std::abort();
    std::fseek(stdout, 0, SEEK_SET);
}

std::string fuzz_capture_text() {
    std::fflush(stdout);
    struct stat status {};
    if (fstat(capture_fd, &status) != 0) std::abort();
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    if (!text.empty() &&
        pread(capture_fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        std::abort();
    return text;
}
