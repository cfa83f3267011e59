#include "serial.hpp"

#include "serial_platform.hpp"
#ifdef __linux__
#include "serial_linux_latency.hpp"
#endif

#include "output.hpp"
#include "timing.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char serial_path_area[device_path_size];
constexpr char serial_path_prefix[] = "/dev/";
constexpr char serial_by_id_folder[] = "/dev/serial/by-id/";

SerialOpenError serial_open_error = serial_open_no_error;
int serial_open_errno = 0;

// Descriptors of the open ports, stored as fd + 1 so that the zeroed table is empty. Read from
// the signal path, hence sig_atomic_t and no locks. When it is full the open is refused: a port
// we could not list might stay exclusive after we are gone.
constexpr int serial_table_size = 16;
volatile std::sig_atomic_t serial_open_ports[serial_table_size];
// 1 where we turned the driver's low latency on, so that it is put back on the way out.
volatile std::sig_atomic_t serial_low_latency_set[serial_table_size];
bool serial_exit_hook_set = false;

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

// Drops the port's exclusive hold and puts back the driver's latency. Async-signal-safe.
void serial_release_slot(int slot) {
    const int fd = serial_open_ports[slot] - 1;
    ioctl(fd, TIOCNXCL);
#ifdef __linux__
    if (serial_low_latency_set[slot]) serial_clear_low_latency(fd);
#endif
}

void serial_table_remove(int fd) {
    for (int slot = 0; slot < serial_table_size; ++slot) {
        if (serial_open_ports[slot] != fd + 1) continue;
        serial_release_slot(slot);
        serial_open_ports[slot] = 0;
        serial_low_latency_set[slot] = 0;
    }
}

// Writes what it can before the deadline. Returns the count, or -1 on a device error.
int serial_write_within(int fd, const unsigned char* bytes, int n) {
    const TimingDeadline deadline = timing_deadline_after(
        write_total_constant_ms + write_total_multiplier_ms * static_cast<long long>(n));
    int sent = 0;
    while (sent < n) {
        const ssize_t count = write(fd, bytes + sent, static_cast<size_t>(n - sent));
        if (count > 0) {
            sent += static_cast<int>(count);
            continue;
        }
        if (count == -1 && errno == EINTR) continue;
        if (count == -1 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        const auto now = TimingClock::now();
        if (now >= deadline) break;
        pollfd wait_for{fd, POLLOUT, 0};
        const int ready = poll(&wait_for, 1, timing_ms_left(deadline, now));
        if (ready == -1 && errno != EINTR) return -1;
        if (ready == 0) break;
        // Whatever poll() reported, hang-up included, the next write() says what it means.
    }
    return sent;
}

PortHandle serial_refuse(SerialOpenError error, int error_number, int fd = -1) {
    if (fd != -1) close(fd);
    serial_open_error = error;
    serial_open_errno = error_number;
    return port_not_open;
}

SerialOpenError serial_error_of_open(int error_number) {
    switch (error_number) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO: return serial_open_missing;
    case EACCES:
    case EPERM: return serial_open_denied;
    case EBUSY: return serial_open_busy;
    default: return serial_open_failed;
    }
}

} // namespace

const char* serial_device_path(const char* name) {
    if (name[0] == '/') return name;
    std::snprintf(serial_path_area, sizeof serial_path_area, "%s%s", serial_path_prefix, name);
    return serial_path_area;
}

PortHandle serial_open(const char* name) {
    const char* path = serial_device_path(name);
    if (name[0] != '/' && std::strlen(serial_path_prefix) + std::strlen(name) >= device_path_size)
        return serial_refuse(serial_open_name_cut, 0);
    // A file or a pipe is never opened: opening is harmless, but what follows would write to it.
    struct stat status {};
    if (stat(path, &status) == 0 && !S_ISCHR(status.st_mode))
        return serial_refuse(serial_open_not_a_port, 0);
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return serial_refuse(serial_error_of_open(errno), errno);
    if (!isatty(fd)) return serial_refuse(serial_open_not_a_port, 0, fd);
    // root passes through TIOCEXCL; the lock is what keeps a second instance out.
    const int slot = serial_table_free_slot();
    if (slot == -1) return serial_refuse(serial_open_failed, EMFILE, fd);
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        const int error_number = errno;
        return serial_refuse(error_number == EWOULDBLOCK ? serial_open_busy : serial_open_failed,
                             error_number, fd);
    }
    serial_open_error = serial_open_no_error;
    // Listed before TIOCEXCL so that a signal in between cannot leave the device exclusive.
    serial_table_add(slot, fd);
    if (!serial_exit_hook_set) {
        serial_exit_hook_set = true;
        std::atexit(serial_release_all);
    }
    ioctl(fd, TIOCEXCL);
#ifdef __linux__
    serial_set_low_latency(fd, serial_low_latency_set[slot]);
#endif
    return fd;
}

SerialOpenError serial_last_open_error() {
    return serial_open_error;
}

std::string serial_whole_path(const char* name) {
    return name[0] == '/' ? name : serial_path_prefix + std::string(name);
}

char serial_path_root() {
    return '/';
}

const char* serial_port_kind() {
    return "not a terminal device";
}

// The stable names of the serial devices present.
std::string serial_ports_present() {
    DIR* folder = opendir(serial_by_id_folder);
    if (folder == nullptr) return "";
    std::string names;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] == '.') continue;
        if (!names.empty()) names += ", ";
        names += std::string(serial_by_id_folder) + entry->d_name;
    }
    closedir(folder);
    return names;
}

// A group other than root's: joining it is what gives access.
std::string serial_port_group(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || status.st_gid == 0) return "";
    const group* owner = getgrgid(status.st_gid);
    return owner != nullptr ? owner->gr_name : "";
}

std::string serial_open_failure_reason() {
    return std::strerror(serial_open_errno);
}

int serial_read(PortHandle port, unsigned char* buffer, int n) {
    output_flush();
    if (port < 0 || buffer == nullptr || n <= 0) return -1;
    const int fd = serial_fd(port);
    const TimingDeadline total_deadline = timing_deadline_after(
        read_total_constant_ms + read_total_multiplier_ms * static_cast<long long>(n));
    TimingDeadline deadline = total_deadline;
    int got = 0;
    for (;;) {
        const auto now = TimingClock::now();
        if (now >= deadline) break;
        pollfd wait_for{fd, POLLIN, 0};
        const int ready = poll(&wait_for, 1, timing_ms_left(deadline, now));
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
            deadline = std::min(total_deadline, timing_deadline_after(read_interval_ms));
            continue;
        }
        if (count == -1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        break; // 0 bytes after "readable", or EIO: the device is gone
    }
    return got > 0 ? got : -1;
}

int serial_read_available(PortHandle port, unsigned char* buffer, int n) {
    output_flush();
    if (port < 0 || buffer == nullptr || n <= 0) return -1;
    const int fd = serial_fd(port);
    int got = 0;
    // A terminal hands over at most its line buffer per read(): read on until it is empty.
    while (got < n) {
        const ssize_t count = read(fd, buffer + got, static_cast<size_t>(n - got));
        if (count > 0) {
            got += static_cast<int>(count);
            continue;
        }
        if (count == -1 && errno == EINTR) continue;
        break; // nothing more now (EAGAIN), gone, or failed
    }
    return got > 0 ? got : -1;
}

std::intptr_t serial_watch(PortHandle port) {
    return port < 0 ? -1 : port;
}

int serial_write(PortHandle port, const unsigned char* bytes, int n) {
    return (port < 0 || n < 0) ? -1 : serial_write_within(serial_fd(port), bytes, n);
}

int serial_close(PortHandle port) {
    if (port < 0) return 0;
    const int fd = serial_fd(port);
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
        if (serial_open_ports[slot] != 0) serial_release_slot(slot);
    }
    errno = saved_errno;
}
