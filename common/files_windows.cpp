#include "files.hpp"

#include <cerrno>
#include <fcntl.h>
#include <io.h>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

void files_binary_input() {
    _setmode(_fileno(stdin), _O_BINARY);
}

int files_sync(std::FILE* file) {
    if (std::fflush(file) != 0) return -1;
    return _commit(_fileno(file)) == 0 ? 0 : -1;
}

// A console, a pipe or NUL is a character or pipe handle; only a disk file is of type disk.
bool files_regular(std::FILE* file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

int files_cut(std::FILE* file, long size) {
    const errno_t error = _chsize_s(_fileno(file), size);
    if (error == 0) return 0;
    errno = error;
    return -1;
}

// rename() refuses a target that exists here.
int files_replace(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return -1;
}
