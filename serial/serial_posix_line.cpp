// The line settings of a POSIX serial port: raw 8N1 without flow control, at any rate.

#include "serial.hpp"

#include "serial_linux_baud.hpp"

#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

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

} // namespace

int serial_configure(PortHandle port, int rate) {
    if (rate <= 0) return -1; // never B0: that would hang the line up
    const SerialRate* standard = serial_find_standard_rate(rate);
    const int fd = static_cast<int>(port);
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
