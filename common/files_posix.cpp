#include "files.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FilesRefusal files_kind(const struct stat& status, const char* port_path) {
    if (!S_ISCHR(status.st_mode) && !S_ISBLK(status.st_mode)) return files_usable;
    struct stat port {};
    if (port_path[0] != '\0' && stat(port_path, &port) == 0 && S_ISCHR(port.st_mode) &&
        S_ISCHR(status.st_mode) && port.st_rdev == status.st_rdev)
        return files_is_port;
    return files_is_device;
}

} // namespace

// POSIX does not translate line ends: standard input already gives its bytes as they are.
void files_binary_input() {}

int files_sync(std::FILE* file) {
    if (std::fflush(file) != 0) return -1;
    return fsync(fileno(file));
}

bool files_regular(std::FILE* file) {
    struct stat status {};
    return fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
}

int files_cut(std::FILE* file, long size) {
    for (;;) {
        if (ftruncate(fileno(file), static_cast<off_t>(size)) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int files_replace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str());
}

FilesRefusal files_check_output(const char* path, const char* port_path) {
    struct stat status {};
    // Only looked at: opening a serial line could wait for its carrier, or change its lines.
    if (stat(path, &status) != 0) return files_usable;
    return files_kind(status, port_path);
}

std::FILE* files_open_output(const char* path, const char* port_path, FilesRefusal& refusal) {
    refusal = files_check_output(path, port_path);
    if (refusal != files_usable) return nullptr;
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd == -1) {
        refusal = files_failed;
        return nullptr;
    }
    // Checked again on what was opened: the name may have been changed in between.
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        refusal = files_failed;
    } else {
        refusal = files_kind(status, port_path);
        if (refusal == files_usable && flock(fd, LOCK_EX | LOCK_NB) != 0)
            refusal = errno == EWOULDBLOCK ? files_in_use : files_failed;
    }
    std::FILE* file = refusal == files_usable ? fdopen(fd, "wb") : nullptr;
    // Unbuffered: every write goes straight to the file, nothing waits in this process.
    if (file != nullptr && std::setvbuf(file, nullptr, _IONBF, 0) == 0) return file;
    const int error = errno;
    if (file != nullptr)
        std::fclose(file);
    else
        close(fd);
    if (refusal == files_usable) refusal = files_failed;
    errno = error;
    return nullptr;
}

long files_read(std::FILE* file, unsigned char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t count = read(fileno(file), buffer, size);
        if (count >= 0 || errno != EINTR) return static_cast<long>(count);
    }
}
