#include "keys.hpp"

#include "keys_chunk.hpp"
#include "output.hpp"
#include "session_keys.hpp"
#include "timing.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

KeyChunk chunk{};
bool input_ended = false;

bool key_waiting() {
    return session_signal_key_waiting() || keys_chunk_left(chunk);
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
            if (session_signal_key_waiting()) return;
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
                                {static_cast<int>(session_signal_wake()), POLLIN, 0}};
        const int r = poll(fds, 3, session_poll_ms(timing_ms_left(deadline)));
        if (r < 0 && errno != EINTR) {
            if (port >= 0) return 0; // let the read find out what is wrong
            input_ended = true;      // poll itself is broken: waiting again would spin
            return -1;
        }
        if (r > 0) {
            if (fds[2].revents != 0) session_signal_woken();
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
    if (session_take_signal_key()) return key_signal;
    if (keys_chunk_left(chunk)) return keys_chunk_next(chunk, read_more);
    return key_end_of_input;
}

int keys_wait_key_or_port(PortHandle port, int timeout_ms) {
    output_flush();
    return wait(static_cast<int>(serial_watch(port)), timeout_ms);
}
