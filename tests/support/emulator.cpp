#include "emulator.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char handshake_byte = 0x00;
constexpr unsigned char spi_switch_byte = 0x01;
constexpr unsigned char closing_byte = 0x0F;
constexpr unsigned char sniffer_start_byte = 0x0E;
constexpr unsigned char measure_byte = 0x14;
constexpr char handshake_reply[] = "BBIO1";
constexpr char handshake_wrong_reply[] = "BBIO0";
constexpr std::size_t handshake_reply_size = 5;
constexpr std::size_t modem_line_limit = 256;
constexpr std::size_t flood_block_size = 4096;
constexpr std::size_t read_block_size = 4096;
// A pending hang-up waits until the program has read the last of the stream: closing the
// master earlier would throw the unread bytes away. The slave's count of unread bytes misses
// those still on their way through the kernel, so it must stay at 0 for a while.
constexpr int drain_check_ms = 10;
constexpr auto drained_for = std::chrono::milliseconds(40);

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void set_flags(int fd, int status_flags) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | status_flags);
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

void queue(Emulator& emulator, const void* bytes, std::size_t count) {
    const auto* first = static_cast<const unsigned char*>(bytes);
    emulator.outgoing.insert(emulator.outgoing.end(), first, first + count);
}

bool output_pending(const Emulator& emulator) {
    return emulator.outgoing_done < emulator.outgoing.size();
}

void close_master(Emulator& emulator) {
    close_fd(emulator.master);
    emulator.outgoing.clear();
    emulator.outgoing_done = 0;
    emulator.streaming = false;
    std::lock_guard lock(emulator.mutex);
    emulator.hung_up = true;
    emulator.changed.notify_all();
}

void reply_command(Emulator& emulator, unsigned char byte) {
    const int reply = emulator.script.command_reply[byte];
    if (reply == emulator_silence) return;
    const auto reply_byte = static_cast<unsigned char>(reply);
    queue(emulator, &reply_byte, 1);
}

void reply_reading(Emulator& emulator) {
    const auto& readings = emulator.script.readings;
    if (readings.empty()) return;
    const auto& reading = readings[std::min(emulator.reading_index, readings.size() - 1)];
    ++emulator.reading_index;
    queue(emulator, reading.data(), reading.size());
}

void start_stream(Emulator& emulator) {
    if (emulator.streaming) return;
    emulator.streaming = true;
    emulator.next_chunk = 0;
    emulator.next_chunk_due = Clock::now();
    emulator.flood_queued = 0;
    emulator.flood_offset = 0;
}

// A modem acts on a line once its carriage return comes; whatever preceded the "AT" on the
// line (binary bytes of an earlier session) does not matter.
void answer_modem(Emulator& emulator, unsigned char byte) {
    if (byte != '\r') {
        emulator.modem_line.push_back(static_cast<char>(byte));
        if (emulator.modem_line.size() > modem_line_limit)
            emulator.modem_line.erase(0, emulator.modem_line.size() - modem_line_limit);
        return;
    }
    const std::string line = std::move(emulator.modem_line);
    emulator.modem_line.clear();
    const std::string* reply = nullptr;
    if (line.ends_with("ATI3")) reply = &emulator.script.ati3;
    if (line.ends_with("ATI4")) reply = &emulator.script.ati4;
    if (line.ends_with("ATI7")) reply = &emulator.script.ati7;
    if (reply != nullptr) queue(emulator, reply->data(), reply->size());
}

void answer(Emulator& emulator, unsigned char byte) {
    const EmulatorScript& script = emulator.script;
    if (script.modem) {
        answer_modem(emulator, byte);
        return;
    }
    switch (emulator.state) {
    case emulator_initial:
        if (byte != handshake_byte) return;
        ++emulator.handshake_count;
        if (script.handshake_from_attempt > 0 &&
            emulator.handshake_count >= script.handshake_from_attempt) {
            queue(emulator, handshake_reply, handshake_reply_size);
            emulator.state = emulator_bitbang;
        } else if (script.handshake_wrong) {
            queue(emulator, handshake_wrong_reply, handshake_reply_size);
        }
        return;
    case emulator_bitbang:
        switch (byte) {
        case handshake_byte: queue(emulator, handshake_reply, handshake_reply_size); return;
        case spi_switch_byte:
            queue(emulator, script.mode_reply.data(), script.mode_reply.size());
            emulator.state = emulator_spi;
            return;
        case measure_byte: reply_reading(emulator); return;
        case closing_byte:
            emulator.state = emulator_initial;
            emulator.handshake_count = 0;
            return;
        default: reply_command(emulator, byte); return;
        }
    case emulator_spi:
        if (byte == sniffer_start_byte)
            start_stream(emulator);
        else
            reply_command(emulator, byte);
        return;
    }
}

// Queues the next piece of the stream once the previous one is out. Returns whether the
// stream is over.
bool pump_stream(Emulator& emulator, Clock::time_point now) {
    const EmulatorScript& script = emulator.script;
    if (!emulator.streaming) return false;
    if (output_pending(emulator)) return false;
    emulator.outgoing.clear();
    emulator.outgoing_done = 0;

    if (!script.flood_pattern.empty()) {
        std::size_t count = flood_block_size;
        if (script.flood_bytes > 0) {
            if (emulator.flood_queued >= script.flood_bytes) return true;
            count = std::min(count, script.flood_bytes - emulator.flood_queued);
        }
        for (std::size_t i = 0; i < count; ++i) {
            emulator.outgoing.push_back(script.flood_pattern[emulator.flood_offset]);
            emulator.flood_offset = (emulator.flood_offset + 1) % script.flood_pattern.size();
        }
        emulator.flood_queued += count;
        return false;
    }

    if (emulator.next_chunk >= script.stream_chunks.size()) return true;
    if (now < emulator.next_chunk_due) return false;
    const auto& chunk = script.stream_chunks[emulator.next_chunk];
    queue(emulator, chunk.data(), chunk.size());
    ++emulator.next_chunk;
    emulator.next_chunk_due = now + std::chrono::milliseconds(script.stream_chunk_gap_ms);
    return false;
}

int stream_timeout_ms(const Emulator& emulator, Clock::time_point now) {
    if (!emulator.streaming || output_pending(emulator) || !emulator.script.flood_pattern.empty())
        return -1;
    if (emulator.next_chunk >= emulator.script.stream_chunks.size()) return -1;
    if (emulator.next_chunk_due <= now) return 0;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(emulator.next_chunk_due - now);
    return static_cast<int>(wait.count());
}

bool slave_input_drained(const Emulator& emulator) {
    int unread = 0;
    if (ioctl(emulator.slave_keep, FIONREAD, &unread) != 0) return true;
    return unread == 0;
}

void receive(Emulator& emulator) {
    unsigned char block[read_block_size];
    const ssize_t count = read(emulator.master, block, sizeof block);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (count <= 0) {
        close_master(emulator);
        return;
    }
    {
        std::lock_guard lock(emulator.mutex);
        emulator.received.insert(emulator.received.end(), block, block + count);
        emulator.changed.notify_all();
    }
    for (ssize_t i = 0; i < count; ++i) answer(emulator, block[i]);
}

void transmit(Emulator& emulator) {
    const std::size_t left = emulator.outgoing.size() - emulator.outgoing_done;
    const ssize_t count =
        write(emulator.master, emulator.outgoing.data() + emulator.outgoing_done, left);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (count < 0) {
        close_master(emulator);
        return;
    }
    emulator.outgoing_done += static_cast<std::size_t>(count);
    if (!output_pending(emulator)) {
        emulator.outgoing.clear();
        emulator.outgoing_done = 0;
        // The gap runs from the moment a chunk is out, however slowly the program took it.
        if (emulator.streaming)
            emulator.next_chunk_due =
                Clock::now() + std::chrono::milliseconds(emulator.script.stream_chunk_gap_ms);
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
        if (pump_stream(emulator, now)) {
            emulator.streaming = false;
            hangup_when_drained = emulator.script.hangup_after_stream;
        }
        int timeout_ms = stream_timeout_ms(emulator, now);
        if (hangup_when_drained && emulator.master >= 0 && !output_pending(emulator)) {
            if (!slave_input_drained(emulator)) {
                drained = false;
            } else if (!drained) {
                drained = true;
                drained_since = now;
            } else if (now - drained_since >= drained_for) {
                close_master(emulator);
                hangup_when_drained = false;
                continue;
            }
            timeout_ms = drain_check_ms;
        }

        pollfd fds[2] = {{emulator.wake_read, POLLIN, 0}, {emulator.master, 0, 0}};
        nfds_t watched = 1;
        if (emulator.master >= 0) {
            fds[1].events = static_cast<short>(POLLIN | (output_pending(emulator) ? POLLOUT : 0));
            watched = 2;
        }
        if (poll(fds, watched, timeout_ms) < 0) {
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
        if (watched < 2) continue;
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) receive(emulator);
        if (emulator.master >= 0 && (fds[1].revents & POLLOUT) != 0 && output_pending(emulator))
            transmit(emulator);
        if (emulator.master >= 0 && (fds[1].revents & POLLNVAL) != 0) close_master(emulator);
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
}

} // namespace

Emulator* emulator_start(const EmulatorScript& script) {
    auto* emulator = new Emulator;
    emulator->script = script;
    if (!open_pseudo_terminal(*emulator) || !open_wake_pipe(*emulator)) {
        close_all(*emulator);
        delete emulator;
        return nullptr;
    }
    emulator->thread = std::thread(run, std::ref(*emulator));
    return emulator;
}

std::string emulator_path(const Emulator& emulator) {
    return emulator.slave_path;
}

std::vector<unsigned char> emulator_received(Emulator& emulator) {
    std::lock_guard lock(emulator.mutex);
    return emulator.received;
}

std::size_t emulator_sent(Emulator& emulator) {
    std::lock_guard lock(emulator.mutex);
    return emulator.sent;
}

bool emulator_wait_for(Emulator& emulator,
                       const std::function<bool(const std::vector<unsigned char>&)>& done,
                       int timeout_ms) {
    std::unique_lock lock(emulator.mutex);
    return emulator.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                     [&] { return done(emulator.received); });
}

bool emulator_wait_received(Emulator& emulator, std::size_t count, int timeout_ms) {
    return emulator_wait_for(
        emulator,
        [count](const std::vector<unsigned char>& bytes) { return bytes.size() >= count; },
        timeout_ms);
}

bool emulator_wait_hung_up(Emulator& emulator, int timeout_ms) {
    std::unique_lock lock(emulator.mutex);
    return emulator.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                     [&] { return emulator.hung_up; });
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
