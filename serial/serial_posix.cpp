#include "serial.hpp"

#include "output.hpp"
#include "serial_linux_baud.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using serial_clock = std::chrono::steady_clock;

char serial_path_area[device_path_size];

// Descriptors of the open ports, stored as fd + 1 so that the zeroed table is empty. Read from
// the signal path, hence sig_atomic_t and no locks. When it is full the open is refused: a port
// we could not list might stay exclusive after we are gone.
constexpr int serial_table_size = 16;
volatile std::sig_atomic_t serial_open_ports[serial_table_size];
bool serial_exit_hook_set = false;

struct SerialRate {
    int rate;
    speed_t code;
};

constexpr SerialRate serial_standard_rates[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

int serial_fd(PortHandle port) {
    return static_cast<int>(port);
}

void serial_table_add(int slot, int fd) {
    serial_open_ports[slot] = fd + 1;
}

int serial_table_free_slot() {
    for (int slot = 0; slot < serial_table_size; ++slot) {
        if (serial_open_ports[slot] == 0) return slot;
    }
    return -1;
}

void serial_table_remove(int fd) {
    for (int slot = 0; slot < serial_table_size; ++slot) {
        if (serial_open_ports[slot] == fd + 1) serial_open_ports[slot] = 0;
    }
}

// Whole decimal number above zero that fits an int: digits only, nothing else.
int serial_parse_rate(const char* text) {
    if (text == nullptr || *text == '\0') return -1;
    long long value = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return -1;
        value = value * 10 + (*digit - '0');
        if (value > INT_MAX) return -1;
    }
    return value > 0 ? static_cast<int>(value) : -1;
}

const SerialRate* serial_find_standard_rate(int rate) {
    for (const SerialRate& entry : serial_standard_rates) {
        if (entry.rate == rate) return &entry;
    }
    return nullptr;
}

int serial_set_line(int fd, const termios* line) {
    int result;
    do {
        result = tcsetattr(fd, TCSANOW, line);
    } while (result == -1 && errno == EINTR);
    return result;
}

// Milliseconds to wait for poll(), rounded up so that we never wake before the deadline.
int serial_poll_ms(serial_clock::time_point now, serial_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Writes what it can before the deadline. Returns the count, or -1 on a device error.
int serial_write_within(int fd, const unsigned char* bytes, int n) {
    const auto deadline =
        serial_clock::now() +
        std::chrono::milliseconds(write_total_constant_ms +
                                  write_total_multiplier_ms * static_cast<long long>(n));
    int sent = 0;
    while (sent < n) {
        const ssize_t count = write(fd, bytes + sent, static_cast<size_t>(n - sent));
        if (count > 0) {
            sent += static_cast<int>(count);
            continue;
        }
        if (count == -1 && errno == EINTR) continue;
        if (count == -1 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        const auto now = serial_clock::now();
        if (now >= deadline) break;
        pollfd wait_for{fd, POLLOUT, 0};
        const int ready = poll(&wait_for, 1, serial_poll_ms(now, deadline));
        if (ready == -1 && errno != EINTR) return -1;
        if (ready == 0) break;
        // Whatever poll() reported, hang-up included, the next write() says what it means.
    }
    return sent;
}

} // namespace

const char* serial_device_path(const char* name) {
    if (name[0] == '/') return name;
    std::snprintf(serial_path_area, sizeof serial_path_area, "/dev/%s", name);
    return serial_path_area;
}

PortHandle serial_open(const char* name) {
    const int fd = open(serial_device_path(name), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return port_not_open;
    // root passes through TIOCEXCL; the lock is what keeps a second instance out.
    const int slot = serial_table_free_slot();
    if (slot == -1 || flock(fd, LOCK_EX | LOCK_NB) == -1) {
        close(fd);
        return port_not_open;
    }
    // Listed before TIOCEXCL so that a signal in between cannot leave the device exclusive.
    serial_table_add(slot, fd);
    if (!serial_exit_hook_set) {
        serial_exit_hook_set = true;
        std::atexit(serial_release_all);
    }
    if (isatty(fd)) ioctl(fd, TIOCEXCL);
    return fd;
}

int serial_configure(PortHandle port, const char* speed_text) {
    const int rate = serial_parse_rate(speed_text);
    if (rate == -1) return -1;
    const SerialRate* standard = serial_find_standard_rate(rate);
    const int fd = serial_fd(port);
    termios before{};
    if (tcgetattr(fd, &before) == -1) return -1;

    termios line = before;
    line.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    line.c_oflag &= ~OPOST;
    line.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    line.c_cflag &= ~CRTSCTS;
#endif
    line.c_cflag |= CS8 | CLOCAL | CREAD;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (standard != nullptr &&
        (cfsetispeed(&line, standard->code) == -1 || cfsetospeed(&line, standard->code) == -1)) {
        return -1;
    }
    if (serial_set_line(fd, &line) == -1) {
        serial_set_line(fd, &before);
        return -1;
    }
    if (standard == nullptr) {
#ifdef __linux__
        const int custom = serial_set_custom_baud(fd, rate);
#else
        const int custom = -1; // no portable way to ask for an arbitrary rate
#endif
        if (custom == -1) {
            serial_set_line(fd, &before);
            return -1;
        }
    }
    // Pseudo-terminals have no modem lines; that is no reason to refuse the port.
    int modem_lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &modem_lines);
    return 0;
}

int serial_read(PortHandle port, unsigned char* buffer, int n) {
    output_flush();
    if (port < 0 || buffer == nullptr || n <= 0) return -1;
    const int fd = serial_fd(port);
    const auto total_deadline =
        serial_clock::now() +
        std::chrono::milliseconds(read_total_constant_ms +
                                  read_total_multiplier_ms * static_cast<long long>(n));
    serial_clock::time_point deadline = total_deadline;
    int got = 0;
    for (;;) {
        const auto now = serial_clock::now();
        if (now >= deadline) break;
        pollfd wait_for{fd, POLLIN, 0};
        const int ready = poll(&wait_for, 1, serial_poll_ms(now, deadline));
        if (ready == -1) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) continue;
        if ((wait_for.revents & POLLIN) == 0) break; // hang-up or error, nothing left to read
        const ssize_t count = read(fd, buffer + got, static_cast<size_t>(n - got));
        if (count > 0) {
            got += static_cast<int>(count);
            if (got == n) break;
            deadline = std::min(total_deadline,
                                serial_clock::now() + std::chrono::milliseconds(read_interval_ms));
            continue;
        }
        if (count == -1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        break; // 0 bytes after "readable", or EIO: the device is gone
    }
    return got > 0 ? got : -1;
}

int serial_write(PortHandle port, const unsigned char* bytes, int n) {
    const int result = (port < 0 || n < 0) ? -1 : serial_write_within(serial_fd(port), bytes, n);
    if (result != n) output_error("Error sending data");
    return result;
}

int serial_close(PortHandle port) {
    if (port < 0) return 0;
    const int fd = serial_fd(port);
    ioctl(fd, TIOCNXCL);
    serial_table_remove(fd);
    close(fd);
    return 0;
}

int serial_lost(PortHandle port) {
    if (port < 0) return 1;
    pollfd probe{serial_fd(port), 0, 0};
    int ready;
    do {
        ready = poll(&probe, 1, 0);
    } while (ready == -1 && errno == EINTR);
    if (ready == -1) return 1;
    return (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

void serial_release_all() {
    const int saved_errno = errno;
    for (int slot = 0; slot < serial_table_size; ++slot) {
        const int entry = serial_open_ports[slot];
        if (entry != 0) ioctl(entry - 1, TIOCNXCL);
    }
    errno = saved_errno;
}
