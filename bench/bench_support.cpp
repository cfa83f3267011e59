#include "bench_support.hpp"

#include "process.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr unsigned char handshake_byte = 0x00;
constexpr unsigned char spi_switch_byte = 0x01;
constexpr unsigned char start_byte = 0x0E;
constexpr unsigned char command_ack = 0x01;
constexpr char handshake_reply[] = "BBIO1";
constexpr char spi_reply[] = "SPI1";
constexpr char key[] = "q";
constexpr std::size_t write_block = 65536;
constexpr std::size_t read_block = 65536;
// The reader's count of unread bytes misses those still on their way through the kernel, so
// it must stay at 0 for a while before the reader counts as having taken them all.
constexpr auto drain_check = 1ms;
constexpr auto drained_for = 40ms;

enum AdapterState { adapter_initial, adapter_bitbang, adapter_spi };

struct TrialState {
    const BenchTrial& trial;
    BenchOutcome& outcome;
    PtyPair pty{};
    pid_t pid = -1;
    int pidfd = -1;
    int key_fd = -1;
    int out_fd = -1; // the pipe's read end; -1 once at its end or when output goes to a file
    AdapterState adapter = adapter_initial;
    std::string replies{}; // to the adapter's commands, not yet written
    bool priming = false;
    bool feeding = false;
    bool feed_done = false;
    BenchTime feed_ended{};
    BenchTime next_tick{};
    double credit = 0;
    std::size_t owed = 0;              // paced bytes due and not yet written
    std::vector<unsigned char> ring{}; // the pattern repeated, so any run of it is one write
    bool counting = false;             // output_start seen
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

// From any place in the pattern, the ring holds at least this many bytes of it in a row.
std::size_t longest_write(const TrialState& s) {
    return s.ring.size() - s.trial.feed.pattern.size();
}

void begin_feed(TrialState& s, BenchTime now) {
    s.feeding = true;
    s.outcome.fed_from_start = true;
    s.outcome.feed_began = now;
    s.next_tick = now;
}

// A run of the pattern from where the feed stands, at most count bytes; stamps every byte.
void feed_bytes(TrialState& s, std::size_t count) {
    const std::size_t at = s.outcome.fed % s.trial.feed.pattern.size();
    count = std::min(count, longest_write(s));
    const BenchTime now = BenchClock::now();
    ssize_t n;
    do n = write(s.pty.master, s.ring.data() + at, count);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return;
    s.outcome.fed += static_cast<std::size_t>(n);
    if (!s.trial.byte_text.empty())
        s.outcome.written.insert(s.outcome.written.end(), static_cast<std::size_t>(n), now);
    if (s.trial.feed.kind == bench_feed_paced) s.owed -= static_cast<std::size_t>(n);
}

std::size_t feed_left(const TrialState& s) {
    const std::size_t total = s.trial.feed.total;
    return total == 0 ? SIZE_MAX : total - std::min(total, s.outcome.fed);
}

// Ends the feed when its time or its bytes are spent, and counts the bytes the pace allows.
void advance_feed(TrialState& s, BenchTime now) {
    if (!s.feeding || s.feed_done) return;
    const BenchFeed& feed = s.trial.feed;
    const bool timed_out = feed.duration.count() > 0 && now >= s.outcome.feed_began + feed.duration;
    if (timed_out || feed_left(s) == 0) {
        s.feed_done = true;
        s.feed_ended = now;
        s.owed = 0;
        return;
    }
    if (feed.kind != bench_feed_paced) return;
    while (now >= s.next_tick) {
        s.credit += feed.bytes_per_tick;
        const double whole = std::floor(s.credit);
        s.credit -= whole;
        s.owed += static_cast<std::size_t>(whole);
        s.next_tick += feed.tick;
    }
    s.owed = std::min(s.owed, feed_left(s));
}

std::size_t feed_wanted(const TrialState& s) {
    if (!s.feeding || s.feed_done) return 0;
    if (s.trial.feed.kind == bench_feed_flood) return std::min(write_block, feed_left(s));
    return s.trial.feed.kind == bench_feed_paced ? s.owed : 0;
}

void answer(TrialState& s, unsigned char byte, BenchTime now) {
    switch (s.adapter) {
    case adapter_initial:
    case adapter_bitbang:
        if (byte == handshake_byte) {
            s.replies += handshake_reply;
            s.adapter = adapter_bitbang;
        } else if (byte == spi_switch_byte && s.adapter == adapter_bitbang) {
            s.replies += spi_reply;
            s.adapter = adapter_spi;
        }
        return;
    case adapter_spi:
        if (byte == start_byte) {
            if (!s.feeding) begin_feed(s, now);
        } else {
            s.replies += static_cast<char>(command_ack);
        }
        return;
    }
}

void receive_commands(TrialState& s, BenchTime now) {
    unsigned char block[256];
    const ssize_t n = read(s.pty.master, block, sizeof block);
    for (ssize_t i = 0; i < n; ++i) answer(s, block[i], now);
    while (!s.replies.empty()) {
        const ssize_t sent = write(s.pty.master, s.replies.data(), s.replies.size());
        if (sent <= 0) break;
        s.replies.erase(0, static_cast<std::size_t>(sent));
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
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    int keys[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipe2(keys, O_CLOEXEC) != 0) return false;
    if (s.trial.output_terminal) {
        const PtyPair terminal = pty_open(false);
        out[0] = terminal.master;
        out[1] = terminal.slave;
    } else if (s.trial.output_path.empty()) {
        if (pipe2(out, O_CLOEXEC) != 0) out[1] = -1;
    } else {
        out[1] = open(s.trial.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    int discard = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (out[1] >= 0 && discard >= 0) s.pid = fork();
    if (s.pid == 0) {
        std::signal(SIGPIPE, SIG_DFL);
        if (dup2(keys[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(discard, 2) < 0) _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close_fd(keys[0]);
    close_fd(out[1]);
    close_fd(discard);
    s.key_fd = keys[1];
    s.out_fd = out[0];
    if (s.pid < 0) return false;
    s.pidfd = static_cast<int>(syscall(SYS_pidfd_open, s.pid, 0));
    if (s.out_fd >= 0) set_nonblocking(s.out_fd);
    return s.pidfd >= 0;
}

void reap(TrialState& s, BenchTime now) {
    s.exited = true;
    s.outcome.exited = now;
    struct rusage usage {};
    int status = 0;
    pid_t r;
    do r = wait4(s.pid, &status, 0, &usage);
    while (r < 0 && errno == EINTR);
    s.outcome.wait_status = status;
    s.outcome.cpu_seconds =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    s.pid = -1;
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
    if (!s.feed_done || s.trial.key_after.count() >= 0 || s.exited) return never;
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
    const bool all_shown = s.trial.byte_text.empty() || s.outcome.shown.size() >= s.outcome.fed;
    if (all_shown || now >= s.feed_ended + s.trial.settle) {
        kill(s.pid, SIGTERM);
        s.term_sent = true;
        return never;
    }
    return s.feed_ended + s.trial.settle;
}

void press_key(TrialState& s, BenchTime now) {
    if (s.key_sent || !s.feeding || s.trial.key_after.count() < 0) return;
    if (now < s.outcome.feed_began + s.trial.key_after) return;
    s.key_sent = true;
    s.outcome.key_pressed = BenchClock::now();
    if (write(s.key_fd, key, 1) != 1) s.outcome.key_pressed = BenchTime{};
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
            kill(s.pid, SIGKILL);
            s.outcome.killed = true;
        }
        advance_feed(s, now);
        press_key(s, now);
        if (feed_wanted(s) > 0 && s.pty.master >= 0) {
            feed_bytes(s, feed_wanted(s));
            advance_feed(s, BenchClock::now()); // the last byte may just have gone
        }

        BenchTime wake = std::min(s.outcome.killed ? BenchTime::max() : s.deadline,
                                  wind_down(s, BenchClock::now()));
        if (s.feeding && !s.feed_done) {
            if (s.trial.feed.kind == bench_feed_paced) wake = std::min(wake, s.next_tick);
            if (s.trial.feed.duration.count() > 0)
                wake = std::min(wake, s.outcome.feed_began + s.trial.feed.duration);
            if (!s.key_sent && s.trial.key_after.count() >= 0)
                wake = std::min(wake, s.outcome.feed_began + s.trial.key_after);
        }
        const bool master_open = s.pty.master >= 0;
        short master_events = 0;
        if (master_open && s.trial.adapter) master_events |= POLLIN;
        if (master_open && (feed_wanted(s) > 0 || !s.replies.empty())) master_events |= POLLOUT;
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
    const std::vector<unsigned char>& pattern = trial.feed.pattern;
    while (s.ring.size() < write_block + pattern.size())
        s.ring.insert(s.ring.end(), pattern.begin(), pattern.end());
    s.counting = trial.output_start.empty();
    s.deadline = BenchClock::now() + trial.limit;

    int result = -1;
    if (spawn(s)) {
        if (!trial.adapter) {
            const BenchTime now = BenchClock::now();
            s.priming = !trial.byte_text.empty() && trial.output_path.empty();
            if (s.priming)
                (void)!write(s.pty.master, pattern.data(), 1);
            else
                begin_feed(s, now);
        }
        run_loop(s);
        result = s.exited && !outcome.killed ? 0 : -1;
    }
    if (s.pid > 0) {
        kill(s.pid, SIGKILL);
        waitpid(s.pid, nullptr, 0);
    }
    close_fd(s.pidfd);
    close_fd(s.key_fd);
    close_fd(s.out_fd);
    pty_close(s.pty);
    return result;
}

bool bench_exited_with(const BenchOutcome& outcome, int status) {
    return WIFEXITED(outcome.wait_status) && WEXITSTATUS(outcome.wait_status) == status;
}

double bench_ms(BenchTime from, BenchTime to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::vector<double> bench_latencies_ms(const BenchOutcome& outcome) {
    std::vector<double> latencies;
    const std::size_t count = std::min(outcome.shown.size(), outcome.written.size());
    for (std::size_t i = 0; i < count; ++i)
        latencies.push_back(bench_ms(outcome.written[i], outcome.shown[i]));
    return latencies;
}

double bench_percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * samples.size()));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

BenchSpread bench_spread(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

std::string bench_number(double value) {
    char text[32];
    const double size = std::fabs(value);
    const char* format = size >= 100 ? "%.0f" : size >= 10 ? "%.1f" : size >= 1 ? "%.2f" : "%.3f";
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string bench_spread_text(const BenchSpread& spread) {
    if (spread.min == spread.max) return bench_number(spread.median);
    return bench_number(spread.min) + " / " + bench_number(spread.median) + " / " +
           bench_number(spread.max);
}

std::string bench_ratio_text(double ours, double baseline) {
    if (baseline <= 0) return "-";
    return "x" + bench_number(ours / baseline);
}

void bench_print_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            if (c > 0) line += " | ";
            line += rows[r][c];
            if (c + 1 < rows[r].size()) line.append(widths[c] - rows[r][c].size(), ' ');
        }
        std::puts(line.c_str());
        if (r == 0) {
            std::string rule;
            for (std::size_t c = 0; c < widths.size(); ++c)
                rule += std::string(widths[c], '-') + (c + 1 < widths.size() ? "-|-" : "");
            std::puts(rule.c_str());
        }
    }
    std::fflush(stdout);
}

long bench_option(int argument_count, char** arguments, const char* name, long fallback) {
    const std::string text = bench_text_option(argument_count, arguments, name, "");
    return text.empty() ? fallback : std::strtol(text.c_str(), nullptr, 10);
}

std::string bench_text_option(int argument_count, char** arguments, const char* name,
                              const std::string& fallback) {
    for (int i = 2; i + 1 < argument_count; ++i)
        if (std::strcmp(arguments[i], name) == 0) return arguments[i + 1];
    return fallback;
}

std::vector<BenchTraffic> bench_traffics() {
    const auto trickle = [](int bytes, int every_ms, int seconds) {
        BenchFeed feed;
        feed.kind = bench_feed_paced;
        feed.tick = std::chrono::milliseconds(every_ms);
        feed.bytes_per_tick = bytes;
        feed.duration = std::chrono::seconds(seconds);
        return feed;
    };
    // Long enough for a few dozen samples even at the slowest pace.
    return {{"1 byte / 5 ms", trickle(1, 5, 3)},
            {"1 byte / 20 ms", trickle(1, 20, 3)},
            {"1 byte / 50 ms", trickle(1, 50, 4)},
            {"3 bytes / 300 ms", trickle(3, 300, 5)}};
}

std::vector<unsigned char> bench_flash_read_frame() {
    std::vector<unsigned char> frame = {0x5B, 0x5C, 0x03, 0xFF, 0x5C, 0x01, 0xFF,
                                        0x5C, 0x20, 0xFF, 0x5C, 0x00, 0xFF};
    for (int i = 0; i < 16; ++i) {
        frame.push_back(0x5C);
        frame.push_back(0x00);
        frame.push_back(static_cast<unsigned char>(i * 37 + 11));
    }
    frame.push_back(0x5D);
    return frame;
}

bool bench_xxd_bytes(const std::string& text, std::vector<unsigned char>& bytes) {
    int high = -1;
    for (const char c : text) {
        if (c == '\n') continue;
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<unsigned char>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

BenchLoss bench_loss(const std::vector<unsigned char>& shown,
                     const std::vector<unsigned char>& pattern, std::size_t expected) {
    BenchLoss loss;
    loss.lost = expected - std::min(expected, shown.size());
    loss.in_order = shown.size() <= expected && !pattern.empty();
    for (std::size_t i = 0; loss.in_order && i < shown.size(); ++i)
        loss.in_order = shown[i] == pattern[i % pattern.size()];
    return loss;
}
