#include "session.hpp"

#include "output.hpp"
#include "serial.hpp"
#include "session_keys.hpp"
#include "session_wake.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
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
volatile sig_atomic_t defer_ending = 0;
volatile sig_atomic_t deferred_signal = 0;
// SIGINT or SIGTERM was taken as a key once already.
volatile sig_atomic_t stop_asked = 0;
bool started = false;
bool without_keys = false;
struct sigaction stop_action;

// The last words, in two areas: the one in use is never written, so a signal that comes while
// the text changes finds a whole text in one of them.
char last_words[2][256];
volatile sig_atomic_t last_words_length[2] = {0, 0};
volatile sig_atomic_t last_words_in_use = 0;

void say_last_words() {
    const int in_use = last_words_in_use;
    const ssize_t written =
        write(STDERR_FILENO, last_words[in_use], static_cast<size_t>(last_words_length[in_use]));
    (void)written; // nobody is left to tell
}

inline constexpr int background_check_ms = 100;

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

void on_signal(int sig) {
    const int saved_errno = errno;
    const bool as_key = signals_as_key && (sig == SIGINT || sig == SIGTERM) && !stop_asked;
    const bool deferred = defer_ending && (sig == SIGHUP || sig == SIGQUIT || sig == SIGPIPE);
    if (as_key || deferred) {
        // A second Ctrl-C while the run still finishes its work ends it at once.
        if (as_key) stop_asked = 1;
        if (deferred && deferred_signal == 0) deferred_signal = sig;
        session_wake_signal();
        // A reader that takes no text would hold the key back for as long as it waits: the write
        // is given up, and the run ends as the key ends it. Every byte read is in the capture
        // file already.
        if (output_stop()) output_abandon();
    } else {
        session_restore();
        serial_release_all();
        say_last_words();
        raise_as_default(sig);
    }
    errno = saved_errno;
}

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
    // Our own waits use poll(), which never restarts; stdio writes should.
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
    session_restore();
    serial_release_all();
    std::fflush(stdout);
    say_last_words();
}

} // namespace

void session_start() {
    if (started) return;
    started = true;
    open_closed_standard_descriptors();
    if (!without_keys && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_mode) == 0) {
        our_mode = saved_mode;
        our_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        our_mode.c_lflag |= ISIG;
        our_mode.c_cc[VMIN] = 1;
        our_mode.c_cc[VTIME] = 0;
        saved_mode_valid = 1;
        apply_our_mode();
    }
    session_wake_open();
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

void session_without_keys() {
    without_keys = true;
}

void session_restore() {
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

void session_signals_as_key(bool on) {
    signals_as_key = on ? 1 : 0;
}

void session_defer_ending_signals(bool on) {
    defer_ending = on ? 1 : 0;
}

bool session_ending_by_signal() {
    return deferred_signal != 0;
}

void session_end_by_deferred_signal() {
    const int sig = deferred_signal;
    if (sig == 0) return;
    session_restore();
    serial_release_all();
    say_last_words();
    raise_as_default(sig);
}

bool session_keys_readable() {
    if (!in_background) return true;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTSTP);
    sigaddset(&block, SIGCONT);
    sigprocmask(SIG_BLOCK, &block, &old);
    apply_our_mode();
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return !in_background;
}

int session_poll_ms(int timeout_ms) {
    if (!in_background) return timeout_ms;
    return timeout_ms < 0 || timeout_ms > background_check_ms ? background_check_ms : timeout_ms;
}

void session_set_last_words(const std::string& text) {
    const int next = 1 - last_words_in_use;
    const std::size_t length = std::min(text.size(), sizeof last_words[next]);
    std::memcpy(last_words[next], text.data(), length);
    last_words_length[next] = static_cast<sig_atomic_t>(length);
    last_words_in_use = next;
}
