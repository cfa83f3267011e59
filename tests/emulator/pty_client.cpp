#include "pty_client.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

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

void send_bytes(int fd, const Bytes& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool hung_up(int fd, int timeout_ms) {
    pollfd watched = {fd, POLLIN, 0};
    return poll(&watched, 1, timeout_ms) == 1 && (watched.revents & POLLHUP) != 0;
}

void start_sniffer(int fd) {
    send_bytes(fd, {0x00});
    ASSERT_EQ(read_within(fd, 5, test_timeout_ms), bytes_of("BBIO1"));
    send_bytes(fd, {0x01});
    ASSERT_EQ(read_within(fd, 4, test_timeout_ms), bytes_of("SPI1"));
    send_bytes(fd, {0x0E});
}
