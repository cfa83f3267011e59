// The capture's text on its way to standard output, and how Ctrl-C gets it out of a write that a
// reader who takes no text would hold for ever.

#include "output.hpp"
#include "output_loop.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <io.h>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

// The thread that writes, so that the control thread can cancel its write.
std::atomic<HANDLE> output_writer{nullptr};

constexpr int abandon_tries = 2000; // a millisecond apart

long write_some(const char* text, std::size_t size) {
    const unsigned most = size > 0x40000000 ? 0x40000000u : static_cast<unsigned>(size);
    return _write(_fileno(stdout), text, most);
}

} // namespace

int output_write(const char* text, std::size_t size) {
    if (std::fflush(stdout) != 0) return -1;
    if (output_writer.load() == nullptr) {
        HANDLE self = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
        output_writer.store(self);
    }
    return output_write_loop(text, size, write_some);
}

bool output_stop() {
    output_stopped.store(true);
    return output_writing.load();
}

// The write is cancelled until it gives up; one that began just after a cancel is cancelled by
// the next. A write that cannot be cancelled at all ends the process, as it would have.
void output_abandon() {
    for (int i = 0; i < abandon_tries && output_writing.load(); ++i) {
        CancelSynchronousIo(output_writer.load());
        Sleep(1);
    }
    if (!output_writing.load()) return;
    TerminateProcess(GetCurrentProcess(), 0);
}

// A pipe does not say whether it has room; Windows ends a run whose write never gives up anyway.
bool output_would_wait(std::FILE*) {
    return false;
}
