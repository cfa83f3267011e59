#include "serial.hpp"
#include "serial_pty.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <termios.h>

namespace {

termios read_line(int fd) {
    termios line;
    std::memset(&line, 0, sizeof line); // padding too: whole structs are compared
    EXPECT_EQ(tcgetattr(fd, &line), 0);
    return line;
}

// Everything serial_configure must undo.
void spoil_line(int fd) {
    termios line = read_line(fd);
    line.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
    line.c_oflag |= OPOST | ONLCR;
    line.c_lflag |= ICANON | ECHO | ISIG;
    line.c_cflag &= ~(CSIZE | CLOCAL);
    line.c_cflag |= CS7 | PARENB | CSTOPB | CRTSCTS;
    line.c_cc[VMIN] = 4;
    line.c_cc[VTIME] = 3;
    cfsetispeed(&line, B1200);
    cfsetospeed(&line, B1200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &line), 0);
}

struct RateCase {
    int rate;
    speed_t code;
};

void PrintTo(const RateCase& c, std::ostream* out) {
    *out << c.rate;
}

struct SerialConfigure : SerialPortTest<testing::TestWithParam<RateCase>> {};

TEST_P(SerialConfigure, RawEightNoneOneWithoutFlowControl) {
    ASSERT_NO_FATAL_FAILURE(spoil_line(pty.observer));
    ASSERT_EQ(serial_configure(port, GetParam().rate), 0);
    const termios line = read_line(pty.observer);
    EXPECT_EQ(cfgetospeed(&line), GetParam().code);
    EXPECT_EQ(cfgetispeed(&line), GetParam().code);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(line.c_cc[VTIME], 0);
}

INSTANTIATE_TEST_SUITE_P(StandardRates, SerialConfigure,
                         testing::Values(RateCase{115200, B115200}, RateCase{50, B50},
                                         RateCase{9600, B9600}, RateCase{4000000, B4000000}),
                         [](const testing::TestParamInfo<RateCase>& info) {
                             return "Baud" + std::to_string(info.param.rate);
                         });

using SerialConfigureRefused = SerialPortTest<testing::Test>;

// What a speed text that is not a rate becomes (see options_baud), and worse: never B0.
TEST_F(SerialConfigureRefused, RatesBelowOneLeaveTheLineAsItWas) {
    ASSERT_NO_FATAL_FAILURE(spoil_line(pty.observer));
    const termios before = read_line(pty.observer);
    for (const int rate : {-1, 0, -9600}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(serial_configure(port, rate), -1);
        const termios after = read_line(pty.observer);
        EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the line was touched";
    }
}

} // namespace
