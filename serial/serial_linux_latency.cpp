#include "serial_linux_latency.hpp"

#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>

void serial_set_low_latency(int fd, volatile std::sig_atomic_t& changed) {
    serial_struct settings{};
    if (ioctl(fd, TIOCGSERIAL, &settings) == -1) return;
    if ((settings.flags & ASYNC_LOW_LATENCY) != 0) return;
    settings.flags |= ASYNC_LOW_LATENCY;
    changed = 1;
    if (ioctl(fd, TIOCSSERIAL, &settings) == -1) changed = 0;
}

void serial_clear_low_latency(int fd) {
    const int saved_errno = errno;
    serial_struct settings{};
    if (ioctl(fd, TIOCGSERIAL, &settings) == 0) {
        settings.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &settings);
    }
    errno = saved_errno;
}
