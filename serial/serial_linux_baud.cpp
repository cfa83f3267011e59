// Kept apart from serial_posix.cpp: <asm/termbits.h> redefines what <termios.h> declares.
#include "serial_linux_baud.hpp"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

int serial_set_custom_baud(int fd, int rate) {
    if (rate <= 0) return -1;
    struct termios2 before {};
    if (ioctl(fd, TCGETS2, &before) == -1) return -1;
    struct termios2 line = before;
    // CIBAUD cleared: the input speed follows the output speed.
    line.c_cflag &= ~(CBAUD | CIBAUD);
    line.c_cflag |= BOTHER;
    line.c_ispeed = static_cast<speed_t>(rate);
    line.c_ospeed = static_cast<speed_t>(rate);
    int result;
    do {
        result = ioctl(fd, TCSETS2, &line);
    } while (result == -1 && errno == EINTR);
    if (result == -1) return -1;
    // A driver may quietly round to what its clock can make; a different rate is a refusal.
    struct termios2 check {};
    if (ioctl(fd, TCGETS2, &check) == -1) return -1;
    if (check.c_ospeed == static_cast<speed_t>(rate)) return 0;
    ioctl(fd, TCSETS2, &before);
    return -1;
}
