#include "files.hpp"

#include <cstdio>
#include <unistd.h>

// POSIX does not translate line ends: standard input already gives its bytes as they are.
void files_binary_input() {}

int files_sync(std::FILE* file) {
    if (std::fflush(file) != 0) return -1;
    return fsync(fileno(file));
}

int files_replace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str());
}
