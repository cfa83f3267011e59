#include "files.hpp"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <io.h>
#include <string>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

// The name Windows opens for path: a device's name (COM4, NUL, CON, in some versions also with a
// folder or an extension) comes back as "\\.\NAME", as a port given by path does.
std::string files_full_path(const char* path) {
    char full[4 * MAX_PATH];
    const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return path;
    return std::string(full, length);
}

bool files_same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The errno value of a failed CreateFile, for files_refusal_text.
int files_errno_of(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

} // namespace

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

// Only the name is looked at: opening a port could change its lines.
FilesRefusal files_check_output(const char* path, const char* port_path) {
    const std::string full = files_full_path(path);
    if (full.rfind("\\\\.\\", 0) != 0) return files_usable;
    if (port_path[0] != '\0' && files_same_name(full, files_full_path(port_path)))
        return files_is_port;
    return files_is_device;
}

std::FILE* files_open_output(const char* path, const char* port_path, FilesRefusal& refusal) {
    refusal = files_check_output(path, port_path);
    if (refusal != files_usable) return nullptr;
    // Others may read the file while it grows, but no second writer opens it.
    const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        refusal = code == ERROR_SHARING_VIOLATION ? files_in_use : files_failed;
        errno = files_errno_of(code);
        return nullptr;
    }
    // Checked again on what was opened: a device may go by a name not known above.
    if (GetFileType(handle) == FILE_TYPE_CHAR) {
        CloseHandle(handle);
        refusal = files_is_device;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd == -1) CloseHandle(handle);
    std::FILE* file = fd == -1 ? nullptr : _fdopen(fd, "wb");
    // Unbuffered: every write goes straight to the file, nothing waits in this process.
    if (file != nullptr && std::setvbuf(file, nullptr, _IONBF, 0) == 0) return file;
    const int error = errno;
    if (file != nullptr)
        std::fclose(file);
    else if (fd != -1)
        _close(fd);
    refusal = files_failed;
    errno = error;
    return nullptr;
}

long files_read(std::FILE* file, unsigned char* buffer, std::size_t size) {
    const unsigned most = size > 0x40000000 ? 0x40000000u : static_cast<unsigned>(size);
    return _read(_fileno(file), buffer, most);
}
