#include "pty_client.hpp"

#include "timing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// One read after up to timeout_ms of waiting; false on silence, hang-up or error.
bool read_some(int fd, Bytes& got, std::size_t most, int timeout_ms) {
    pollfd watched = {fd, POLLIN, 0};
    if (poll(&watched, 1, timeout_ms) <= 0) return false;
    unsigned char block[4096];
    const ssize_t count = read(fd, block, std::min(sizeof block, most));
    if (count <= 0) return false;
    got.insert(got.end(), block, block + count);
    return true;
}

} // namespace

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

int open_device(const std::string& path, bool lock) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !lock || flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    close(fd);
    return -1;
}

int open_slave(const Emulator& emulator, bool lock) {
    return open_device(emulator_path(emulator), lock);
}

Bytes read_for(int fd, std::size_t want, int timeout_ms) {
    Bytes got;
    const TimingDeadline deadline = timing_deadline_after(timeout_ms);
    while (got.size() < want) {
        const int left = timing_ms_left(deadline);
        if (left == 0 || !read_some(fd, got, want - got.size(), left)) break;
    }
    return got;
}

Bytes read_until_quiet(int fd, int silence_ms, int timeout_ms) {
    Bytes got;
    const TimingDeadline deadline = timing_deadline_after(timeout_ms);
    for (;;) {
        const int left = timing_ms_left(deadline);
        if (left == 0 || !read_some(fd, got, 4096, std::min(left, silence_ms))) break;
    }
    return got;
}

void send_bytes(int fd, const Bytes& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool hung_up(int fd, int timeout_ms) {
    pollfd watched = {fd, POLLIN, 0};
    return poll(&watched, 1, timeout_ms) == 1 && (watched.revents & POLLHUP) != 0;
}

void start_sniffer(int fd) {
    send_bytes(fd, {0x00});
    ASSERT_EQ(read_for(fd, 5, reply_ms), bytes_of("BBIO1"));
    send_bytes(fd, {0x01});
    ASSERT_EQ(read_for(fd, 4, reply_ms), bytes_of("SPI1"));
    send_bytes(fd, {0x0E});
}
