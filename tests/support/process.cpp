#include "process.hpp"

#include "timing.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

bool make_pipe(int fds[2]) {
    return pipe2(fds, O_CLOEXEC) == 0;
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

const char* wine_programs() {
    return std::getenv("TAPWRIGHT_WINE_BIN");
}

// The Windows programs end their lines with CR LF; a CR LF split across two reads is joined.
void drop_carriage_returns(std::string& text, std::size_t from) {
    std::size_t kept = from > 0 ? from - 1 : 0;
    for (std::size_t at = kept; at < text.size(); ++at) {
        if (text[at] != '\r' || at + 1 == text.size() || text[at + 1] != '\n')
            text[kept++] = text[at];
    }
    text.resize(kept);
}

// `wine launcher.exe MODE PROGRAM.exe ARGV0 ARGS...`, found through PATH by env.
std::vector<std::string> wine_command(const std::string& path,
                                      const std::vector<std::string>& args) {
    const std::string folder = wine_programs();
    const char* keys = std::getenv("TAPWRIGHT_WINE_KEYS");
    std::string program = "Z:" + folder + path.substr(path.rfind('/')) + ".exe";
    std::replace(program.begin(), program.end(), '/', '\\');
    std::vector<std::string> command = {"/usr/bin/env",
                                        "wine",
                                        folder + "/launcher.exe",
                                        keys != nullptr && std::string(keys) == "pipe" ? "--pipe"
                                                                                       : "--keys",
                                        program,
                                        path};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

// Reads what is there without blocking; closes the descriptor at end of file.
bool drain_bytes(int& fd, std::string& into) {
    bool any = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return any;
        close_fd(fd);
        return any;
    }
}

bool drain(int& fd, std::string& into) {
    const std::size_t before = into.size();
    const bool any = drain_bytes(fd, into);
    if (wine_programs() != nullptr) drop_carriage_returns(into, before);
    return any;
}

void record_status(Process& p, int wait_status, const rusage& usage) {
    p.reaped = true;
    p.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    p.max_rss_kib = usage.ru_maxrss;
    if (WIFEXITED(wait_status)) {
        p.exited = true;
        p.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        p.signal = WTERMSIG(wait_status);
    }
}

bool try_reap(Process& p) {
    if (p.reaped || p.pid <= 0) return p.reaped;
    int wait_status = 0;
    rusage usage{};
    pid_t r;
    do r = wait4(p.pid, &wait_status, WNOHANG, &usage);
    while (r < 0 && errno == EINTR);
    if (r == p.pid)
        record_status(p, wait_status, usage);
    else if (r < 0)
        p.reaped = true; // not our child any more: nothing left to reap
    return p.reaped;
}

void reap_blocking(Process& p) {
    if (p.reaped || p.pid <= 0) return;
    int wait_status = 0;
    rusage usage{};
    pid_t r;
    do r = wait4(p.pid, &wait_status, 0, &usage);
    while (r < 0 && errno == EINTR);
    if (r == p.pid)
        record_status(p, wait_status, usage);
    else
        p.reaped = true;
}

// Closes every descriptor from first up, except keep.
void close_others(int first, int keep) {
#ifdef SYS_close_range
    if (keep > first) syscall(SYS_close_range, first, keep - 1, 0);
    if (syscall(SYS_close_range, keep + 1, ~0U, 0) == 0) return;
#endif
    struct rlimit limit;
    int last = 65536;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536)
        last = static_cast<int>(limit.rlim_cur);
    for (int fd = first; fd < last; ++fd)
        if (fd != keep) close(fd);
}

[[noreturn]] void child_fail(int report_fd) {
    const int error = errno;
    const ssize_t written = write(report_fd, &error, sizeof error);
    (void)written;
    _exit(127);
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void child_exec(const char* path, char* const argv[], char* const envp[], int in,
                             int out, int err, const char* terminal, bool own_session, int report) {
    // Defaults for every signal: the test process may ignore or block some.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    // Its own session: the pty becomes its controlling terminal with it in the foreground,
    // and no signal meant for the test's terminal reaches it.
    if (own_session && setsid() < 0) child_fail(report);
    if (terminal != nullptr) {
        in = open(terminal, O_RDWR);
        if (in < 0) child_fail(report);
        ioctl(in, TIOCSCTTY, 0);
    }
    // Above 2 first, so no dup2 below lands on itself and keeps its close-on-exec flag.
    const int high_report = fcntl(report, F_DUPFD_CLOEXEC, 3);
    if (high_report >= 0) report = high_report;
    in = fcntl(in, F_DUPFD_CLOEXEC, 3);
    out = fcntl(out, F_DUPFD_CLOEXEC, 3);
    err = fcntl(err, F_DUPFD_CLOEXEC, 3);
    if (high_report < 0 || in < 0 || out < 0 || err < 0) child_fail(report);
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) child_fail(report);
    close_others(3, report);
    execve(path, argv, envp);
    child_fail(report);
}

std::vector<std::string> build_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra)
            if (x.substr(0, x.find('=')) == name) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// Looked up before the fork: the child may only make async-signal-safe calls.
std::string program_path(const std::string& name) {
    const char* folders = std::getenv("PATH");
    if (name.find('/') != std::string::npos || folders == nullptr) return name;
    std::istringstream list(folders);
    for (std::string folder; std::getline(list, folder, ':');) {
        const std::string path = (folder.empty() ? "." : folder) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return name;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

bool open_master(int& master, std::string& slave_path) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name)) {
        close_fd(master);
        return false;
    }
    slave_path = name;
    return true;
}

bool wait_for(Process& p, std::string& stream, std::string_view text, int timeout_ms) {
    const auto deadline = timing_deadline_after(timeout_ms);
    for (;;) {
        if (stream.find(text) != std::string::npos) return true;
        const int& fd = &stream == &p.err ? p.err_fd : p.out_fd;
        if (fd < 0 || timing_ms_left(deadline) == 0) return false;
        process_pump(p, timing_ms_left(deadline));
    }
}

void reset(Process& p) {
    p.pid = -1;
    p.stdin_fd = p.out_fd = p.err_fd = -1;
    p.terminal_path.clear();
    p.out.clear();
    p.err.clear();
    p.reaped = p.exited = p.timed_out = false;
    p.status = -1;
    p.signal = 0;
    p.cpu_seconds = 0;
    p.max_rss_kib = 0;
}

} // namespace

std::string process_port_name(const std::string& device_path) {
    const char* prefix = std::getenv("WINEPREFIX");
    if (wine_programs() == nullptr || prefix == nullptr) return device_path;
    // A new number for every device: a program still closing the last one cannot hold it. The
    // wine script's own ports are below 100.
    static int ports_named = 0;
    const std::string number = std::to_string(100 + ports_named++ % 100);
    const std::string link = std::string(prefix) + "/dosdevices/com" + number;
    unlink(link.c_str());
    return symlink(device_path.c_str(), link.c_str()) == 0 ? "COM" + number : device_path;
}

Process::~Process() {
    process_end(*this);
}

bool process_start(Process& p, const std::string& path, const std::vector<std::string>& args,
                   const ProcessOptions& options) {
    process_end(p);
    reset(p);
    // A child that stops reading must show up as a failed send, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> argv_strings = {path};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    if (wine_programs() != nullptr) argv_strings = wine_command(path, args);
    const std::string program = program_path(argv_strings[0]);
    std::vector<char*> argv = pointers(argv_strings);
    std::vector<std::string> env_strings = build_environment(options.extra_env);
    std::vector<char*> envp = pointers(env_strings);

    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    int report[2] = {-1, -1};
    int master = -1;
    std::string slave_path;
    bool ok = (options.stdout_fd >= 0 || make_pipe(out_pipe)) && make_pipe(report);
    if (ok && !options.merge_output && options.stderr_fd < 0) ok = make_pipe(err_pipe);
    if (ok) ok = options.stdin_terminal ? open_master(master, slave_path) : make_pipe(in_pipe);
    if (ok && options.stdin_terminal && options.terminal_mode)
        ok = tcsetattr(master, TCSANOW, &*options.terminal_mode) == 0;

    pid_t pid = -1;
    if (ok) {
        pid = fork();
        if (pid == 0) {
            const int out = options.stdout_fd >= 0 ? options.stdout_fd : out_pipe[1];
            const int err = options.merge_output     ? out
                            : options.stderr_fd >= 0 ? options.stderr_fd
                                                     : err_pipe[1];
            child_exec(program.c_str(), argv.data(), envp.data(), in_pipe[0], out, err,
                       options.stdin_terminal ? slave_path.c_str() : nullptr, !options.same_session,
                       report[1]);
        }
    }
    close_fd(in_pipe[0]);
    close_fd(out_pipe[1]);
    close_fd(err_pipe[1]);
    close_fd(report[1]);

    int exec_error = 0;
    if (pid > 0) {
        ssize_t n;
        do n = read(report[0], &exec_error, sizeof exec_error);
        while (n < 0 && errno == EINTR);
        if (n <= 0) exec_error = 0; // closed by a successful exec
    }
    close_fd(report[0]);

    p.pid = pid;
    p.stdin_fd = options.stdin_terminal ? master : in_pipe[1];
    p.out_fd = out_pipe[0];
    p.err_fd = err_pipe[0];
    p.terminal_path = slave_path;
    if (pid < 0 || exec_error != 0) {
        if (pid > 0) reap_blocking(p);
        p.pid = -1;
        process_end(p);
        reset(p);
        return false;
    }
    for (const int fd : {p.stdin_fd, p.out_fd, p.err_fd})
        if (fd >= 0) set_nonblocking(fd);
    return true;
}

bool process_pump(Process& p, int timeout_ms) {
    struct pollfd fds[2] = {{p.out_fd, POLLIN, 0}, {p.err_fd, POLLIN, 0}};
    if (p.out_fd < 0 && p.err_fd < 0) return false;
    int r;
    do r = poll(fds, 2, timeout_ms);
    while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    bool any = false;
    if (fds[0].revents != 0) any = drain(p.out_fd, p.out) || any;
    if (fds[1].revents != 0) any = drain(p.err_fd, p.err) || any;
    return any;
}

bool process_send(Process& p, std::string_view bytes, int timeout_ms) {
    const auto deadline = timing_deadline_after(timeout_ms);
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (p.stdin_fd < 0) return false;
        const ssize_t n = write(p.stdin_fd, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (timing_ms_left(deadline) == 0) return false;
        // Full: keep the child's output flowing so that it can go on reading.
        struct pollfd fds[3] = {
            {p.stdin_fd, POLLOUT, 0}, {p.out_fd, POLLIN, 0}, {p.err_fd, POLLIN, 0}};
        if (poll(fds, 3, std::min(timing_ms_left(deadline), 50)) > 0) {
            if (fds[1].revents != 0) drain(p.out_fd, p.out);
            if (fds[2].revents != 0) drain(p.err_fd, p.err);
        }
    }
    return true;
}

void process_close_stdin(Process& p) {
    close_fd(p.stdin_fd);
}

bool process_wait_for_output(Process& p, std::string_view text, int timeout_ms) {
    return wait_for(p, p.out, text, timeout_ms);
}

bool process_wait_for_error(Process& p, std::string_view text, int timeout_ms) {
    return wait_for(p, p.err, text, timeout_ms);
}

void process_signal(Process& p, int sig) {
    if (p.pid > 0 && !p.reaped) kill(p.pid, sig);
}

bool process_wait(Process& p, int timeout_ms) {
    if (p.pid <= 0) return false;
    const auto deadline = timing_deadline_after(timeout_ms);
    // A grandchild may hold the pipes open after the child is gone: not past this.
    auto drain_deadline = deadline;
    bool was_reaped = p.reaped;
    while (timing_ms_left(deadline) > 0) {
        if (!p.reaped && try_reap(p) && !was_reaped) {
            was_reaped = true;
            drain_deadline = std::min(deadline, timing_deadline_after(200));
        }
        if (p.reaped && ((p.out_fd < 0 && p.err_fd < 0) || timing_ms_left(drain_deadline) == 0))
            break;
        if (p.out_fd < 0 && p.err_fd < 0) {
            usleep(2000);
            continue;
        }
        process_pump(
            p, std::min(timing_ms_left(deadline), p.reaped ? timing_ms_left(drain_deadline) : 20));
    }
    if (!p.reaped) {
        p.timed_out = true;
        kill(p.pid, SIGKILL);
        reap_blocking(p);
    }
    // Whatever is already in the pipes still belongs to the output.
    while (process_pump(p, 0)) {
    }
    return !p.timed_out;
}

int process_running(Process& p) {
    if (p.pid <= 0) return 0;
    return try_reap(p) ? 0 : 1;
}

void process_end(Process& p) {
    if (p.pid > 0 && !p.reaped) {
        kill(p.pid, SIGKILL);
        reap_blocking(p);
    }
    close_fd(p.stdin_fd);
    close_fd(p.out_fd);
    close_fd(p.err_fd);
}

namespace {

// The fields of /proc/<pid>/stat after the command name, which may itself hold spaces.
std::vector<std::string> stat_fields(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) return {};
    const size_t close_paren = line.rfind(')');
    if (close_paren == std::string::npos) return {};
    std::istringstream rest(line.substr(close_paren + 1));
    std::vector<std::string> fields;
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

} // namespace

long process_cpu_ms(const Process& p) {
    if (p.pid <= 0 || p.reaped) return -1;
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    const std::vector<std::string> fields = stat_fields(p.pid);
    if (fields.size() < 13) return -1;
    const long ticks = std::stol(fields[11]) + std::stol(fields[12]);
    const long per_second = sysconf(_SC_CLK_TCK);
    return per_second > 0 ? ticks * 1000 / per_second : -1;
}

long process_wakeups(const Process& p) {
    if (p.pid <= 0 || p.reaped) return -1;
    std::ifstream file("/proc/" + std::to_string(p.pid) + "/status");
    for (std::string line; std::getline(file, line);) {
        const std::string key = "voluntary_ctxt_switches:";
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
}

PtyPair pty_open(bool raw) {
    PtyPair pty;
    if (!open_master(pty.master, pty.slave_path)) return {};
    pty.slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.slave < 0) {
        pty_close(pty);
        return {};
    }
    if (raw) {
        struct termios mode;
        if (tcgetattr(pty.slave, &mode) != 0) {
            pty_close(pty);
            return {};
        }
        cfmakeraw(&mode);
        if (tcsetattr(pty.slave, TCSANOW, &mode) != 0) {
            pty_close(pty);
            return {};
        }
    }
    return pty;
}

void pty_close(PtyPair& pty) {
    close_fd(pty.master);
    close_fd(pty.slave);
    pty.slave_path.clear();
}

TempFolder::TempFolder() {
    char name[] = "/tmp/tapwright-test-XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

std::vector<unsigned char> read_within(int fd, std::size_t want, int timeout_ms, int quiet_ms) {
    std::vector<unsigned char> got;
    const TimingDeadline deadline = timing_deadline_after(timeout_ms);
    while (got.size() < want) {
        int wait = timing_ms_left(deadline);
        if (quiet_ms >= 0 && (wait < 0 || wait > quiet_ms)) wait = quiet_ms;
        pollfd ready = {fd, POLLIN, 0};
        if (wait == 0 || poll(&ready, 1, wait) <= 0) break;
        unsigned char block[4096];
        const ssize_t count = read(fd, block, std::min(sizeof block, want - got.size()));
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (count <= 0) break;
        got.insert(got.end(), block, block + count);
    }
    return got;
}
