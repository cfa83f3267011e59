#include "files.hpp"

#include <cerrno>
#include <fcntl.h>
#include <io.h>

void files_binary_input() {
    _setmode(_fileno(stdin), _O_BINARY);
}

int files_sync(std::FILE* file) {
    if (std::fflush(file) != 0) return -1;
    return _commit(_fileno(file)) == 0 ? 0 : -1;
}
