#include "files.hpp"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

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
