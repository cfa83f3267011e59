#include "keys.hpp"

#include "keys_chunk.hpp"
#include "output.hpp"
#include "session_keys.hpp"
#include "timing.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

KeyChunk chunk{};
bool input_ended = false;

// The signal handler writes a byte here so that a poll() about to block cannot miss the signal.
int wake_pipe[2] = {-1, -1};
volatile sig_atomic_t signal_key_pending = 0;

void drain_wake_pipe() {
    if (wake_pipe[0] < 0) return;
    char bytes[32];
    while (read(wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

bool set_flags(int fd, int fd_flags, int status_flags) {
    const int fd_old = fcntl(fd, F_GETFD);
    const int status_old = fcntl(fd, F_GETFL);
    return fd_old >= 0 && status_old >= 0 && fcntl(fd, F_SETFD, fd_old | fd_flags) == 0 &&
           fcntl(fd, F_SETFL, status_old | status_flags) == 0;
}

bool key_waiting() {
    return signal_key_pending || keys_chunk_left(chunk);
}

// Reads one chunk when the previous one is used up. Only called once poll() said stdin is
// readable, so the read does not block.
void fill_chunk(KeyChunk& into) {
    if (input_ended || keys_chunk_left(into)) return;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, into.bytes, sizeof into.bytes);
        if (n > 0) {
            into.pos = 0;
            into.len = static_cast<int>(n);
            return;
        }
        if (n < 0 && errno == EINTR) {
            if (signal_key_pending) return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // End of file, a hung-up terminal (EIO) or a closed descriptor: no key will come.
        input_ended = true;
        return;
    }
}

// What follows a lone ESC at once belongs to its escape sequence.
bool read_more(KeyChunk& into) {
    if (input_ended) return false;
    const TimingDeadline deadline = timing_deadline_after(keys_escape_grace_ms);
    for (;;) {
        struct pollfd fd = {STDIN_FILENO, POLLIN, 0};
        const int r = poll(&fd, 1, timing_ms_left(deadline));
        if (r < 0 && errno == EINTR && timing_ms_left(deadline) > 0) continue;
        if (r <= 0) return false;
        if (fd.revents & POLLNVAL) {
            input_ended = true;
            return false;
        }
        fill_chunk(into);
        return keys_chunk_left(into);
    }
}

// Waits until a key is waiting (1), the port is ready to be read (0), or the deadline has passed
// (-1). port is -1 for a wait on the keys alone, which also ends once input has ended.
int wait(int port, int timeout_ms) {
    const TimingDeadline deadline = timing_deadline_after(timeout_ms);
    for (;;) {
        const bool readable = session_keys_readable() && !input_ended;
        if (key_waiting()) return 1;
        if (input_ended && port < 0) return -1;
        struct pollfd fds[3] = {{port, POLLIN, 0},
                                {readable ? STDIN_FILENO : -1, POLLIN, 0},
                                {wake_pipe[0], POLLIN, 0}};
        const int r = poll(fds, 3, session_poll_ms(timing_ms_left(deadline)));
        if (r < 0 && errno != EINTR) {
            if (port >= 0) return 0; // let the read find out what is wrong
            input_ended = true;      // poll itself is broken: waiting again would spin
            return -1;
        }
        if (r > 0) {
            if (fds[2].revents != 0) drain_wake_pipe();
            if (fds[1].revents & POLLNVAL)
                input_ended = true;
            else if (fds[1].revents != 0)
                fill_chunk(chunk);
        }
        if (key_waiting()) return 1;
        if (r > 0 && fds[0].revents != 0) return 0;
        if (timing_ms_left(deadline) == 0) return -1;
    }
}

} // namespace

void keys_start() {
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

void keys_signal() {
    signal_key_pending = 1;
    if (wake_pipe[1] < 0) return;
    const char byte = 0;
    const ssize_t written = write(wake_pipe[1], &byte, 1);
    (void)written; // a full pipe already holds a wake-up
}

int keys_waiting() {
    output_flush();
    if (key_waiting()) return 1;
    wait(-1, 0);
    if (key_waiting()) return 1;
    return input_ended ? key_end_of_input : 0;
}

int keys_take() {
    output_flush();
    wait(-1, -1);
    if (signal_key_pending) {
        signal_key_pending = 0;
        drain_wake_pipe();
        return key_signal;
    }
    if (keys_chunk_left(chunk)) return keys_chunk_next(chunk, read_more);
    return key_end_of_input;
}

int keys_wait_key_or_port(PortHandle port, int timeout_ms) {
    output_flush();
    return wait(static_cast<int>(port), timeout_ms);
}
