#include "emulator_tool.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char pseudo_terminal_folder[] = "/dev/pts/";

std::string emulator_link_target(const std::string& link) {
    char target[PATH_MAX];
    const ssize_t count = readlink(link.c_str(), target, sizeof target);
    if (count < 0 || static_cast<std::size_t>(count) >= sizeof target) return {};
    return std::string(target, static_cast<std::size_t>(count));
}

// A link into /dev/pts/ whose device is gone was left by an emulator that could not clean up;
// anything else at the path belongs to someone.
bool emulator_stale_link(const std::string& link) {
    const std::string target = emulator_link_target(link);
    struct stat status;
    return target.starts_with(pseudo_terminal_folder) && stat(link.c_str(), &status) != 0 &&
           errno == ENOENT;
}

// Returns 0, or -1 after a message.
int emulator_make_link(const std::string& link, const std::string& device) {
    struct stat status;
    if (lstat(link.c_str(), &status) != 0) {
        if (symlink(device.c_str(), link.c_str()) == 0) return 0;
        std::fprintf(stderr, "%s: cannot make the link '%s': %s\n", emulator_program, link.c_str(),
                     std::strerror(errno));
        return -1;
    }
    if (!emulator_stale_link(link)) {
        std::fprintf(stderr,
                     "%s: '%s' already exists and is not a stale link to a pseudo-terminal; "
                     "not replacing it\n",
                     emulator_program, link.c_str());
        return -1;
    }
    // Replaced in one step, so that the path never points nowhere.
    const std::string fresh = link + "." + emulator_program + "." + std::to_string(getpid());
    if (symlink(device.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), link.c_str()) == 0)
        return 0;
    std::fprintf(stderr, "%s: cannot replace the link '%s': %s\n", emulator_program, link.c_str(),
                 std::strerror(errno));
    unlink(fresh.c_str());
    return -1;
}

// Leaves the path alone when someone has put something else there meanwhile.
void emulator_remove_link(const std::string& link, const std::string& device) {
    if (!link.empty() && emulator_link_target(link) == device) unlink(link.c_str());
}

void emulator_drain(int fd) {
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

// Serves until a stop signal, the master being closed, or with once the last client gone.
// Returns 0, or -1 when waiting failed.
int emulator_serve(Emulator& emulator, int signals, int notified, bool once) {
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {notified, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[0].revents != 0) return 0;
        if (fds[1].revents != 0) emulator_drain(notified);
        if (emulator_wait_hung_up(emulator, 0)) return 0;
        if (once && emulator_wait_clients_done(emulator, 0)) return 0;
    }
}

int emulator_open_pipe(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "%s: cannot make a pipe: %s\n", emulator_program,
                     std::strerror(errno));
        return -1;
    }
    return 0;
}

// Stop signals are taken through a descriptor, in the main thread's own time, so the way out
// (the link removed, the emulator stopped) never runs inside a handler. Blocked before the
// emulator's thread starts, which inherits the mask.
int emulator_open_signals() {
    sigset_t stops;
    sigemptyset(&stops);
    for (const int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, stop);
    if (pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0) return -1;
    // A closed standard error must not end the run in the middle of a trace line.
    std::signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0)
        std::fprintf(stderr, "%s: cannot take signals: %s\n", emulator_program,
                     std::strerror(errno));
    return signals;
}

} // namespace

int emulator_run(EmulatorOptions& options) {
    const int signals = emulator_open_signals();
    if (signals < 0) return emulator_exit_failure;
    int notify[2];
    if (emulator_open_pipe(notify) != 0) {
        close(signals);
        return emulator_exit_failure;
    }
    options.script.watch_clients = true;
    options.script.notify_fd = notify[1];
    if (options.verbose) options.script.trace = stderr;

    int status = emulator_exit_failure;
    Emulator* emulator = emulator_start(options.script);
    if (emulator == nullptr) {
        std::fprintf(stderr, "%s: cannot open a pseudo-terminal: %s\n", emulator_program,
                     std::strerror(errno));
    } else {
        const std::string device = emulator_path(*emulator);
        if (options.link.empty() || emulator_make_link(options.link, device) == 0) {
            std::printf("%s\n", device.c_str());
            std::fflush(stdout);
            status = emulator_serve(*emulator, signals, notify[0], options.once) == 0
                         ? emulator_exit_ok
                         : emulator_exit_failure;
            emulator_remove_link(options.link, device);
        }
        emulator_stop(emulator);
    }
    close(notify[0]);
    close(notify[1]);
    close(signals);
    return status;
}
