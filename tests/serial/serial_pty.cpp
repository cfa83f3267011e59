#include "serial_pty.hpp"

#include "process.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

int serial_pty_open(SerialPty* pty) {
    const PtyPair pair = pty_open(true);
    if (pair.master == -1) return -1;
    pty->master = pair.master;
    pty->observer = pair.slave;
    std::snprintf(pty->slave_path, sizeof pty->slave_path, "%s", pair.slave_path.c_str());
    // The observer only looks: it must never wait for the port's bytes.
    const int flags = fcntl(pty->observer, F_GETFL);
    if (flags == -1 || fcntl(pty->observer, F_SETFL, flags | O_NONBLOCK) == -1) {
        serial_pty_close(pty);
        return -1;
    }
    return 0;
}

void serial_pty_close(SerialPty* pty) {
    serial_pty_close_master(pty);
    if (pty->observer != -1) close(pty->observer);
    pty->observer = -1;
}

void serial_pty_close_master(SerialPty* pty) {
    if (pty->master != -1) close(pty->master);
    pty->master = -1;
}

int serial_pty_send(const SerialPty* pty, const unsigned char* bytes, int n) {
    int sent = 0;
    while (sent < n) {
        const ssize_t count = write(pty->master, bytes + sent, static_cast<size_t>(n - sent));
        if (count == -1 && errno == EINTR) continue;
        if (count <= 0) return -1;
        sent += static_cast<int>(count);
    }
    return 0;
}

int serial_pty_wait_readable(int fd, int timeout_ms) {
    pollfd wait_for{fd, POLLIN, 0};
    return poll(&wait_for, 1, timeout_ms) == 1 && (wait_for.revents & POLLIN) != 0 ? 1 : 0;
}
