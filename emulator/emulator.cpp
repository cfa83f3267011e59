#include "emulator_thread.hpp"
#include "timing.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = TimingClock;

constexpr std::size_t read_block_size = 4096;
// A pending hang-up waits until the program has read the last of the stream: closing the
// master earlier would throw the unread bytes away. The slave's count of unread bytes misses
// those still on their way through the kernel, so it must stay at 0 for a while.
constexpr int drain_check_ms = 10;
constexpr auto drained_for = std::chrono::milliseconds(40);
// When the count cannot be had, the program is given this long to read what it was sent.
constexpr auto drained_guess = std::chrono::milliseconds(1000);
constexpr char hex_digits[] = "0123456789ABCDEF";

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void set_flags(int fd, int status_flags) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | status_flags);
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

void trace(const Emulator& emulator, const char* direction, const unsigned char* bytes,
           std::size_t count) {
    if (emulator.script.trace == nullptr || count == 0) return;
    std::string line = direction;
    for (std::size_t i = 0; i < count; ++i) {
        line += ' ';
        line += hex_digits[bytes[i] >> 4];
        line += hex_digits[bytes[i] & 0x0F];
    }
    line += '\n';
    // One write per line, so the lines of a busy stream do not interleave with other output.
    std::fwrite(line.data(), 1, line.size(), emulator.script.trace);
    std::fflush(emulator.script.trace);
}

bool output_pending(const Emulator& emulator) {
    return emulator.outgoing_done < emulator.outgoing.size();
}

void close_master(Emulator& emulator) {
    close_fd(emulator.master);
    emulator.outgoing.clear();
    emulator.outgoing_done = 0;
    emulator.stream.streaming = false;
    {
        std::lock_guard lock(emulator.mutex);
        emulator.hung_up = true;
        emulator.changed.notify_all();
    }
    emulator_notify(emulator);
}

// A read or write of the master failed. While the emulator holds no slave of its own, that
// only means no client has the port.
void master_failed(Emulator& emulator, ssize_t count) {
    if (emulator.watch.fd >= 0 && (count == 0 || errno == EIO))
        emulator_watch_check(emulator);
    else
        close_master(emulator);
}

void receive(Emulator& emulator) {
    unsigned char block[read_block_size];
    const ssize_t count = read(emulator.master, block, sizeof block);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (count <= 0) {
        master_failed(emulator, count);
        return;
    }
    trace(emulator, "rx", block, static_cast<std::size_t>(count));
    {
        std::lock_guard lock(emulator.mutex);
        emulator.received.insert(emulator.received.end(), block, block + count);
        emulator.changed.notify_all();
    }
    for (ssize_t i = 0; i < count; ++i)
        if (emulator_answer(emulator.script, emulator.protocol, block[i], emulator.outgoing))
            emulator_stream_start(emulator.stream, Clock::now());
}

void transmit(Emulator& emulator) {
    const std::size_t left = emulator.outgoing.size() - emulator.outgoing_done;
    const ssize_t count =
        write(emulator.master, emulator.outgoing.data() + emulator.outgoing_done, left);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (count < 0) {
        master_failed(emulator, count);
        return;
    }
    trace(emulator, "tx", emulator.outgoing.data() + emulator.outgoing_done,
          static_cast<std::size_t>(count));
    emulator.outgoing_done += static_cast<std::size_t>(count);
    if (!output_pending(emulator)) {
        emulator.outgoing.clear();
        emulator.outgoing_done = 0;
        emulator_stream_chunk_out(emulator.script, emulator.stream, Clock::now());
    }
    std::lock_guard lock(emulator.mutex);
    emulator.sent += static_cast<std::size_t>(count);
}

void run(Emulator& emulator) {
    bool hangup_when_drained = false;
    bool drained = false;
    Clock::time_point drained_since;
    for (;;) {
        bool hangup_requested = false;
        {
            std::lock_guard lock(emulator.mutex);
            if (emulator.stop_requested) return;
            hangup_requested = emulator.hangup_requested;
        }
        if (hangup_requested && emulator.master >= 0) close_master(emulator);

        const Clock::time_point now = Clock::now();
        // Each piece of the stream waits until the last is out: a slow reader holds it back.
        if (!output_pending(emulator) &&
            emulator_stream_pump(emulator.script, emulator.stream, now, emulator.outgoing))
            hangup_when_drained = emulator_stream_hangs_up(emulator.script, emulator.stream);
        int timeout_ms = output_pending(emulator)
                             ? -1
                             : emulator_stream_wait_ms(emulator.script, emulator.stream, now);
        if (hangup_when_drained && emulator.master >= 0 && !output_pending(emulator)) {
            const int unread = emulator_slave_unread(emulator);
            if (unread > 0) {
                drained = false;
            } else if (!drained) {
                drained = true;
                drained_since = now;
            } else if (now - drained_since >= (unread < 0 ? drained_guess : drained_for)) {
                close_master(emulator);
                hangup_when_drained = false;
                continue;
            }
            timeout_ms = drain_check_ms;
        }

        // poll() passes over the entries whose descriptor is -1. Without a client the master
        // reports a hang-up at every look, so the watch alone waits for the next one.
        pollfd fds[3] = {{emulator.wake_read, POLLIN, 0},
                         {emulator.watch.fd, POLLIN, 0},
                         {emulator_watch_idle(emulator) ? -1 : emulator.master, 0, 0}};
        if (emulator.master >= 0)
            fds[2].events = static_cast<short>(POLLIN | (output_pending(emulator) ? POLLOUT : 0));
        if (poll(fds, 3, timeout_ms) < 0) {
            if (errno == EINTR) continue;
            // Nothing more can be answered: let waiters for a hang-up go rather than hang.
            if (emulator.master >= 0) close_master(emulator);
            return;
        }
        if (fds[0].revents != 0) {
            char wakeups[64];
            while (read(emulator.wake_read, wakeups, sizeof wakeups) > 0) {
            }
        }
        // Closes before bytes: a new client's first bytes must not be answered in a state
        // that its predecessor left behind.
        if (fds[1].revents != 0) emulator_watch_read(emulator);
        if (emulator.master < 0 || fds[2].fd < 0) continue;
        if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) receive(emulator);
        if (emulator.master >= 0 && (fds[2].revents & POLLOUT) != 0 && output_pending(emulator))
            transmit(emulator);
        if (emulator.master >= 0 && (fds[2].revents & POLLNVAL) != 0) close_master(emulator);
    }
}

void wake(Emulator& emulator) {
    const char byte = 1;
    // A full pipe already wakes the thread, so a refused write loses nothing.
    [[maybe_unused]] const ssize_t ignored = write(emulator.wake_write, &byte, 1);
}

int open_master() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master >= 0 || errno != EINVAL) return master;
    // Not every system takes O_CLOEXEC here; the gap only matters to a concurrent fork.
    return posix_openpt(O_RDWR | O_NOCTTY);
}

bool open_pseudo_terminal(Emulator& emulator) {
    emulator.master = open_master();
    if (emulator.master < 0) return false;
    set_flags(emulator.master, O_NONBLOCK);
    if (grantpt(emulator.master) != 0 || unlockpt(emulator.master) != 0) return false;

    static std::mutex ptsname_mutex;
    {
        std::lock_guard lock(ptsname_mutex);
        const char* name = ptsname(emulator.master);
        if (name == nullptr) return false;
        emulator.slave_path = name;
    }
    emulator.slave_keep = open(emulator.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (emulator.slave_keep < 0) return false;
    termios settings{};
    if (tcgetattr(emulator.slave_keep, &settings) != 0) return false;
    cfmakeraw(&settings);
    return tcsetattr(emulator.slave_keep, TCSANOW, &settings) == 0;
}

bool open_wake_pipe(Emulator& emulator) {
    int ends[2];
    if (pipe(ends) != 0) return false;
    emulator.wake_read = ends[0];
    emulator.wake_write = ends[1];
    set_flags(emulator.wake_read, O_NONBLOCK);
    set_flags(emulator.wake_write, O_NONBLOCK);
    return true;
}

void close_all(Emulator& emulator) {
    close_fd(emulator.master);
    close_fd(emulator.slave_keep);
    close_fd(emulator.wake_read);
    close_fd(emulator.wake_write);
    close_fd(emulator.watch.fd);
}

} // namespace

void emulator_notify(const Emulator& emulator) {
    if (emulator.script.notify_fd < 0) return;
    const char byte = 1;
    // A full pipe already wakes the reader, so a refused write loses nothing.
    [[maybe_unused]] const ssize_t ignored = write(emulator.script.notify_fd, &byte, 1);
}

Emulator* emulator_start(const EmulatorScript& script) {
    auto* emulator = new Emulator;
    emulator->script = script;
    emulator->protocol = emulator_protocol_begin(script);
    if (!open_pseudo_terminal(*emulator) || !open_wake_pipe(*emulator) ||
        !emulator_watch_open(*emulator)) {
        close_all(*emulator);
        delete emulator;
        return nullptr;
    }
    emulator->thread = std::thread(run, std::ref(*emulator));
    return emulator;
}

void emulator_hangup(Emulator& emulator) {
    std::unique_lock lock(emulator.mutex);
    emulator.hangup_requested = true;
    wake(emulator);
    emulator.changed.wait(lock, [&] { return emulator.hung_up; });
}

void emulator_stop(Emulator* emulator) {
    if (emulator == nullptr) return;
    {
        std::lock_guard lock(emulator->mutex);
        emulator->stop_requested = true;
    }
    wake(*emulator);
    if (emulator->thread.joinable()) emulator->thread.join();
    close_all(*emulator);
    delete emulator;
}
