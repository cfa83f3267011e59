#include "bench_trial.hpp"

#include "emulator_protocol.hpp"
#include "process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr char key[] = "q";
constexpr std::size_t read_block = 65536;
// The reader's count of unread bytes misses those still on their way through the kernel, so
// it must stay at 0 for a while before the reader counts as having taken them all.
constexpr auto drain_check = 1ms;
constexpr auto drained_for = 40ms;

struct TrialState {
    const BenchTrial& trial;
    BenchOutcome& outcome;
    PtyPair pty{};
    Process reader{};
    int pidfd = -1;
    int out_fd = -1; // the pipe's or terminal's read end; -1 at its end or for a file
    EmulatorScript script{};
    EmulatorProtocol protocol{};
    std::vector<unsigned char> replies{}; // to the adapter's commands, not yet written
    BenchFeeding feeding{};
    bool priming = false;
    bool counting = false; // output_start seen
    std::size_t scan_from = 0;
    bool key_sent = false;
    bool term_sent = false;
    bool drained = false;
    bool hung_up = false;
    bool exited = false;
    BenchTime deadline{};
};

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void begin_feed(TrialState& s, BenchTime now) {
    bench_feeding_begin(s.feeding, now);
    s.outcome.fed_from_start = true;
    s.outcome.feed_began = now;
}

void receive_commands(TrialState& s, BenchTime now) {
    unsigned char block[256];
    const ssize_t n = read(s.pty.master, block, sizeof block);
    for (ssize_t i = 0; i < n; ++i)
        if (emulator_answer(s.script, s.protocol, block[i], s.replies) && !s.feeding.began)
            begin_feed(s, now);
    while (!s.replies.empty()) {
        const ssize_t sent = write(s.pty.master, s.replies.data(), s.replies.size());
        if (sent <= 0) break;
        s.replies.erase(s.replies.begin(), s.replies.begin() + sent);
    }
}

void text_seen(TrialState& s, BenchTime now) {
    if (s.priming) {
        s.priming = false;
        begin_feed(s, now);
        return;
    }
    s.outcome.shown.push_back(now);
}

void scan_output(TrialState& s, BenchTime now) {
    const std::string& out = s.outcome.output;
    const std::string& text = s.trial.byte_text;
    if (!s.counting) {
        const std::size_t at = out.find(s.trial.output_start);
        if (at == std::string::npos) return;
        s.counting = true;
        s.scan_from = at + s.trial.output_start.size();
    }
    for (;;) {
        const std::size_t at = out.find(text, s.scan_from);
        if (at == std::string::npos) return;
        s.scan_from = at + text.size();
        text_seen(s, now);
    }
}

void receive_output(TrialState& s, BenchTime now) {
    char block[read_block];
    for (;;) {
        const ssize_t n = read(s.out_fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            close_fd(s.out_fd);
            break;
        }
        if (!s.trial.byte_text.empty()) s.outcome.output.append(block, static_cast<std::size_t>(n));
    }
    if (!s.trial.byte_text.empty()) scan_output(s, now);
}

// Starts the reader with stdin a pipe for keys, stdout a pipe, file or terminal, and stderr
// discarded.
bool spawn(TrialState& s) {
    std::vector<std::string> words = s.trial.command;
    for (std::string& word : words)
        if (word == "{port}") word = s.pty.slave_path;
    ProcessOptions options;
    options.same_session = true; // xxd opens the port without O_NOCTTY
    PtyPair terminal{};
    if (s.trial.output_terminal) {
        terminal = pty_open(false);
        options.stdout_fd = terminal.slave;
    } else if (!s.trial.output_path.empty()) {
        options.stdout_fd =
            open(s.trial.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    options.stderr_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const bool started =
        (s.trial.output_path.empty() || options.stdout_fd >= 0) && options.stderr_fd >= 0 &&
        process_start(s.reader, words[0], {words.begin() + 1, words.end()}, options);
    if (!s.trial.output_terminal && options.stdout_fd >= 0) close(options.stdout_fd);
    close_fd(options.stderr_fd);
    // The bench reads the output itself, as it comes.
    int& output = s.trial.output_terminal ? terminal.master : s.reader.out_fd;
    s.out_fd = output;
    output = -1;
    pty_close(terminal);
    if (!started) return false;
    s.pidfd = static_cast<int>(syscall(SYS_pidfd_open, s.reader.pid, 0));
    if (s.out_fd >= 0) set_nonblocking(s.out_fd);
    return s.pidfd >= 0;
}

void reap(TrialState& s, BenchTime now) {
    s.exited = true;
    s.outcome.exited = now;
    process_wait(s.reader, 1000);
    s.outcome.exit_status = s.reader.exited ? s.reader.status : -1;
    s.outcome.cpu_seconds = s.reader.cpu_seconds;
    // What the reader wrote before it ended still belongs to its output; a descendant that
    // still holds the pipe is not waited for long.
    while (s.out_fd >= 0) {
        pollfd rest = {s.out_fd, POLLIN, 0};
        if (poll(&rest, 1, 200) <= 0) break;
        receive_output(s, now);
    }
}

// After the feed: the time the reader is given to show every byte, or the check that it has
// taken every byte before the hang-up. Returns the next time to look again.
BenchTime wind_down(TrialState& s, BenchTime now) {
    const BenchTime never = BenchTime::max();
    if (!s.feeding.done || s.trial.key_after.count() >= 0 || s.exited) return never;
    if (s.trial.hangup) {
        if (s.hung_up) return never;
        int unread = 0;
        if (ioctl(s.pty.slave, FIONREAD, &unread) != 0) unread = 0;
        if (unread > 0 || !s.replies.empty()) {
            s.drained = false;
        } else if (!s.drained) {
            s.drained = true;
            s.outcome.all_taken = now;
        } else if (now - s.outcome.all_taken >= drained_for) {
            close_fd(s.pty.master);
            s.hung_up = true;
            return never;
        }
        return now + drain_check;
    }
    if (s.term_sent) return never;
    const bool all_shown = s.trial.byte_text.empty() || s.outcome.shown.size() >= s.feeding.fed;
    if (all_shown || now >= s.feeding.ended_at + s.trial.settle) {
        process_signal(s.reader, SIGTERM);
        s.term_sent = true;
        return never;
    }
    return s.feeding.ended_at + s.trial.settle;
}

void press_key(TrialState& s, BenchTime now) {
    if (s.key_sent || !s.feeding.began || s.trial.key_after.count() < 0) return;
    if (now < s.outcome.feed_began + s.trial.key_after) return;
    s.key_sent = true;
    s.outcome.key_pressed = BenchClock::now();
    if (write(s.reader.stdin_fd, key, 1) != 1) s.outcome.key_pressed = BenchTime{};
}

timespec timeout_until(BenchTime when, BenchTime now) {
    const auto left = std::max(std::chrono::nanoseconds(0), when - now);
    return timespec{static_cast<time_t>(left.count() / 1000000000),
                    static_cast<long>(left.count() % 1000000000)};
}

void run_loop(TrialState& s) {
    for (;;) {
        BenchTime now = BenchClock::now();
        if (now >= s.deadline && !s.outcome.killed) {
            process_signal(s.reader, SIGKILL);
            s.outcome.killed = true;
        }
        bench_feeding_advance(s.feeding, now);
        press_key(s, now);
        if (bench_feeding_wanted(s.feeding) > 0 && s.pty.master >= 0) {
            bench_feeding_write(s.feeding, s.pty.master, bench_feeding_wanted(s.feeding));
            bench_feeding_advance(s.feeding, BenchClock::now()); // the last byte may just have gone
        }

        BenchTime wake = std::min(s.outcome.killed ? BenchTime::max() : s.deadline,
                                  wind_down(s, BenchClock::now()));
        wake = std::min(wake, bench_feeding_wake(s.feeding));
        if (s.feeding.began && !s.feeding.done && !s.key_sent && s.trial.key_after.count() >= 0)
            wake = std::min(wake, s.outcome.feed_began + s.trial.key_after);
        const bool master_open = s.pty.master >= 0;
        short master_events = 0;
        if (master_open && s.trial.adapter) master_events |= POLLIN;
        if (master_open && (bench_feeding_wanted(s.feeding) > 0 || !s.replies.empty()))
            master_events |= POLLOUT;
        pollfd fds[3] = {{s.out_fd, POLLIN, 0},
                         {s.pidfd, POLLIN, 0},
                         {master_events != 0 ? s.pty.master : -1, master_events, 0}};
        now = BenchClock::now();
        const timespec timeout = timeout_until(wake, now);
        const int ready = ppoll(fds, 3, wake == BenchTime::max() ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR) return;
        now = BenchClock::now();
        if (ready <= 0) continue;
        if (fds[0].revents != 0) receive_output(s, now);
        if ((fds[2].revents & POLLIN) != 0) receive_commands(s, now);
        if (fds[1].revents != 0) {
            reap(s, now);
            return;
        }
    }
}

} // namespace

int bench_trial_run(const BenchTrial& trial, BenchOutcome& outcome) {
    outcome = BenchOutcome{};
    // A reader that is gone must show as a failed key, not end the bench.
    std::signal(SIGPIPE, SIG_IGN);
    TrialState s{.trial = trial, .outcome = outcome};
    s.pty = pty_open(true);
    if (s.pty.master < 0) return -1;
    set_nonblocking(s.pty.master);
    s.protocol = emulator_protocol_begin(s.script);
    s.feeding = bench_feeding_new(trial.feed, !trial.byte_text.empty());
    s.counting = trial.output_start.empty();
    s.deadline = BenchClock::now() + trial.limit;

    int result = -1;
    if (spawn(s)) {
        if (!trial.adapter) {
            const BenchTime now = BenchClock::now();
            s.priming = !trial.byte_text.empty() && trial.output_path.empty();
            if (s.priming)
                (void)!write(s.pty.master, trial.feed.pattern.data(), 1);
            else
                begin_feed(s, now);
        }
        run_loop(s);
        result = s.exited && !outcome.killed ? 0 : -1;
    }
    outcome.fed = s.feeding.fed;
    outcome.written = std::move(s.feeding.written);
    process_end(s.reader);
    close_fd(s.pidfd);
    close_fd(s.out_fd);
    pty_close(s.pty);
    return result;
}

bool bench_exited_with(const BenchOutcome& outcome, int status) {
    return outcome.exit_status == status;
}
