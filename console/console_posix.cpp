#include "console.hpp"

#include "output.hpp"
#include "serial.hpp"
#include "timing.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Everything a signal handler reads or writes is a sig_atomic_t or was set before the
// handlers were installed.
struct termios saved_mode;
struct termios our_mode;
volatile sig_atomic_t saved_mode_valid = 0;
volatile sig_atomic_t our_mode_active = 0;
// Our mode is owed to the terminal, but we run in the background: nothing is changed on the
// terminal until we are in the foreground again. A job that `fg` brings back while it runs gets
// no signal for it, so the waits look every background_check_ms.
volatile sig_atomic_t in_background = 0;
volatile sig_atomic_t signals_as_key = 0;
volatile sig_atomic_t signal_key_pending = 0;
bool started = false;

// The handler writes a byte here so that a poll() about to block cannot miss the signal.
int wake_pipe[2] = {-1, -1};

// One chunk of standard input, as one read() returned it: an escape sequence is recognised
// by its bytes arriving together.
unsigned char chunk[256];
int chunk_pos = 0;
int chunk_len = 0;
bool input_ended = false;

inline constexpr int escape_grace_ms = 10;
inline constexpr int background_check_ms = 100;

bool key_buffered() {
    return chunk_pos < chunk_len;
}

void write_wake_byte() {
    if (wake_pipe[1] < 0) return;
    const char byte = 0;
    const ssize_t written = write(wake_pipe[1], &byte, 1);
    (void)written; // a full pipe already holds a wake-up
}

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

void open_wake_pipe() {
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

bool in_foreground() {
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    // Not our controlling terminal: no job control can take it from us.
    return group == -1 || group == getpgrp();
}

// Puts our mode on the terminal when we are in the foreground; otherwise owes it.
// Async-signal-safe.
void apply_our_mode() {
    if (!saved_mode_valid) return;
    if (!in_foreground()) {
        in_background = 1;
        return;
    }
    in_background = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &our_mode) == 0) our_mode_active = 1;
}

// Pays the owed mode once a running job has been brought back to the foreground.
void watch_foreground() {
    if (!in_background) return;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTSTP);
    sigaddset(&block, SIGCONT);
    sigprocmask(SIG_BLOCK, &block, &old);
    apply_our_mode();
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Keys belong to the foreground: in the background, standard input is left alone, so that
// reading it cannot stop us (SIGTTIN).
int keys_fd() {
    return input_ended || in_background ? -1 : STDIN_FILENO;
}

// A wait's poll() time-out: in the background, short enough to notice the foreground again.
int poll_ms(int timeout_ms) {
    if (!in_background) return timeout_ms;
    return timeout_ms < 0 || timeout_ms > background_check_ms ? background_check_ms : timeout_ms;
}

// Reads one chunk when the previous one is used up. Only called once poll() said stdin is
// readable, so the read does not block.
void fill_chunk() {
    if (input_ended || key_buffered()) return;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n > 0) {
            chunk_pos = 0;
            chunk_len = static_cast<int>(n);
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

// Waits up to timeout_ms (-1: no limit) for stdin to become readable and reads the chunk.
// Returns early when a signal is taken as a key.
void wait_input(int timeout_ms) {
    const TimingDeadline deadline = timing_deadline_after(timeout_ms);
    for (;;) {
        watch_foreground();
        if (signal_key_pending || key_buffered() || input_ended) return;
        struct pollfd fds[2] = {{keys_fd(), POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        const int r = poll(fds, 2, poll_ms(timing_ms_left(deadline)));
        if (r < 0) {
            if (errno != EINTR) {
                input_ended = true; // poll itself is broken: waiting again would spin
                return;
            }
        } else {
            if (fds[1].revents != 0) drain_wake_pipe();
            if (fds[0].revents & POLLNVAL)
                input_ended = true;
            else if (fds[0].revents != 0)
                fill_chunk();
            if (r == 0 && !in_background) return;
        }
        if (timing_ms_left(deadline) == 0) return;
    }
}

// The next key from the chunk. A lone ESC at the end of the chunk may be the first part of a
// sequence that a slow terminal split: with grace, bytes that follow at once belong to it.
int next_key(bool grace) {
    const int byte = chunk[chunk_pos];
    if (byte != key_escape) {
        ++chunk_pos;
        return byte;
    }
    if (chunk_pos + 1 < chunk_len) {
        chunk_pos = chunk_len;
        return key_sequence;
    }
    chunk_pos = chunk_len;
    if (!grace || input_ended) return key_escape;
    const TimingDeadline deadline = timing_deadline_after(escape_grace_ms);
    for (;;) {
        struct pollfd fd = {STDIN_FILENO, POLLIN, 0};
        const int r = poll(&fd, 1, timing_ms_left(deadline));
        if (r < 0 && errno == EINTR && timing_ms_left(deadline) > 0) continue;
        if (r <= 0) return key_escape;
        if (fd.revents & POLLNVAL) {
            input_ended = true;
            return key_escape;
        }
        fill_chunk();
        if (!key_buffered()) return key_escape;
        chunk_pos = chunk_len;
        return key_sequence;
    }
}

int take_key() {
    if (signal_key_pending) {
        signal_key_pending = 0;
        drain_wake_pipe();
        return key_signal;
    }
    if (key_buffered()) return next_key(true);
    return key_end_of_input;
}

// Lets the signal take its default course (death, or a stop), as if we had never caught it.
void raise_as_default(int sig) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

void die_of_signal(int sig) {
    console_restore();
    serial_release_all();
    raise_as_default(sig);
}

void on_signal(int sig) {
    const int saved_errno = errno;
    if (signals_as_key && (sig == SIGINT || sig == SIGTERM)) {
        signal_key_pending = 1;
        write_wake_byte();
    } else {
        die_of_signal(sig);
    }
    errno = saved_errno;
}

struct sigaction stop_action;

// Ctrl-Z: the shell gets its terminal back as it was, and our mode returns when we are in the
// foreground again: at once on SIGCONT, or (after `bg`, then `fg`) when a wait notices.
void on_stop(int) {
    const int saved_errno = errno;
    if (our_mode_active) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
        our_mode_active = 0;
    }
    raise_as_default(SIGTSTP);
    sigaction(SIGTSTP, &stop_action, nullptr);
    // An orphaned process group is never stopped: the raise did nothing and no SIGCONT comes.
    apply_our_mode();
    errno = saved_errno;
}

void on_continue(int) {
    const int saved_errno = errno;
    // Continued in the background, touching the terminal would stop us again (SIGTTOU).
    apply_our_mode();
    errno = saved_errno;
}

// A signal that was ignored when we started (nohup, a background job) stays ignored.
void install(int sig, void (*handler)(int), struct sigaction* used = nullptr) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Blocked inside every handler: a second signal cannot interrupt a restore half-way.
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGCONT})
        sigaddset(&action.sa_mask, s);
    if (sig == SIGTSTP) sigdelset(&action.sa_mask, SIGCONT);
    // Our own waits use poll() and nanosleep(), which never restart; stdio writes should.
    action.sa_flags = SA_RESTART;
    if (used != nullptr) *used = action;
    sigaction(sig, &action, nullptr);
}

// A closed standard descriptor would be taken by the next open (the port, a pipe), and what is
// meant for the user would go there. Closed input reads as its end; closed output is opened
// read-only, so writing it fails and says so.
void open_closed_standard_descriptors() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDONLY);
        if (opened != -1 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void restore_at_exit() {
    console_restore();
    serial_release_all();
}

} // namespace

void console_start() {
    if (started) return;
    started = true;
    open_closed_standard_descriptors();
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_mode) == 0) {
        our_mode = saved_mode;
        our_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        our_mode.c_lflag |= ISIG;
        our_mode.c_cc[VMIN] = 1;
        our_mode.c_cc[VTIME] = 0;
        saved_mode_valid = 1;
        apply_our_mode();
    }
    open_wake_pipe();
    std::atexit(restore_at_exit);
    install(SIGINT, on_signal);
    install(SIGTERM, on_signal);
    install(SIGHUP, on_signal);
    // Ctrl-\, and a reader that went away (`spi-sniffer ... | head`), end us as well.
    install(SIGQUIT, on_signal);
    install(SIGPIPE, on_signal);
    if (saved_mode_valid) {
        install(SIGTSTP, on_stop, &stop_action);
        install(SIGCONT, on_continue);
    }
}

void console_restore() {
    if (!saved_mode_valid || !our_mode_active) return;
    // A SIGCONT between the two steps would put our mode back after we restored.
    // SIGTTOU too: put in the background by SIGSTOP and `bg`, we still owe the terminal its mode.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGCONT);
    sigaddset(&block, SIGTTOU);
    sigprocmask(SIG_BLOCK, &block, &old);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
    our_mode_active = 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void console_signals_as_key(bool on) {
    signals_as_key = on ? 1 : 0;
}

int console_key_waiting() {
    output_flush();
    if (signal_key_pending || key_buffered()) return 1;
    wait_input(0);
    if (signal_key_pending || key_buffered()) return 1;
    return input_ended ? key_end_of_input : 0;
}

int console_take_key() {
    if (!signal_key_pending && !key_buffered() && !input_ended) {
        output_flush();
        wait_input(-1);
    }
    return take_key();
}

int console_wait_key() {
    output_flush();
    wait_input(-1);
    return take_key();
}

void console_pause(int ms) {
    output_flush();
    if (ms <= 0) return;
    struct timespec left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int console_wait_port_or_key(PortHandle port, int timeout_ms) {
    output_flush();
    if (signal_key_pending || key_buffered()) return 1;
    const TimingDeadline deadline = timing_deadline_after(timeout_ms);
    for (;;) {
        watch_foreground();
        struct pollfd fds[3] = {
            {static_cast<int>(port), POLLIN, 0}, {keys_fd(), POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        const int r = poll(fds, 3, poll_ms(timing_ms_left(deadline)));
        if (r < 0 && errno != EINTR) return 0; // let the read find out what is wrong
        if (r > 0) {
            if (fds[2].revents != 0) drain_wake_pipe();
            if (fds[1].revents & POLLNVAL)
                input_ended = true;
            else if (fds[1].revents != 0)
                fill_chunk();
        }
        if (signal_key_pending || key_buffered()) return 1;
        if (r > 0 && fds[0].revents != 0) return 0;
        if (timing_ms_left(deadline) == 0) return -1;
    }
}
