// The wake-up of a signal taken as a key on POSIX: the handler raises a flag, then writes a byte
// into a pipe, so that a poll() about to block cannot miss it.

#include "session_keys.hpp"
#include "session_wake.hpp"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t signal_key_pending = 0;
int wake_pipe[2] = {-1, -1};

bool set_flags(int fd, int fd_flags, int status_flags) {
    const int fd_old = fcntl(fd, F_GETFD);
    const int status_old = fcntl(fd, F_GETFL);
    return fd_old >= 0 && status_old >= 0 && fcntl(fd, F_SETFD, fd_old | fd_flags) == 0 &&
           fcntl(fd, F_SETFL, status_old | status_flags) == 0;
}

} // namespace

void session_wake_open() {
    if (pipe(wake_pipe) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
        return;
    }
    for (const int fd : wake_pipe) {
        if (!set_flags(fd, FD_CLOEXEC, O_NONBLOCK)) {
            close(wake_pipe[0]);
            close(wake_pipe[1]);
            wake_pipe[0] = wake_pipe[1] = -1;
            return;
        }
    }
}

void session_wake_signal() {
    signal_key_pending = 1;
    if (wake_pipe[1] < 0) return;
    const char byte = 0;
    const ssize_t written = write(wake_pipe[1], &byte, 1);
    (void)written; // a full pipe already holds a wake-up
}

std::intptr_t session_signal_wake() {
    return wake_pipe[0];
}

void session_signal_woken() {
    if (wake_pipe[0] < 0) return;
    char bytes[32];
    while (read(wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

bool session_signal_key_waiting() {
    return signal_key_pending != 0;
}

bool session_take_signal_key() {
    if (!signal_key_pending) return false;
    signal_key_pending = 0;
    session_signal_woken();
    return true;
}
