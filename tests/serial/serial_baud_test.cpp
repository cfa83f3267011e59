// termios2 lives in <asm/termbits.h>, which cannot share a source with <termios.h>.
#include "serial.hpp"
#include "serial_pty.hpp"

#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

namespace {

using SerialCustomBaud = SerialPortTest<testing::Test>;

TEST_F(SerialCustomBaud, AnyRateThroughTermios2AndBackToAStandardOne) {
    struct Step {
        int rate;
        unsigned speed_code; // CBAUD bits expected
    };
    const Step steps[] = {{250000, BOTHER}, {9600, B9600}, {31250, BOTHER}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.rate);
        ASSERT_EQ(serial_configure(port, step.rate), 0);
        struct termios2 line {};
        ASSERT_EQ(ioctl(pty.observer, TCGETS2, &line), 0);
        EXPECT_EQ(line.c_cflag & CBAUD, step.speed_code);
        EXPECT_EQ(line.c_cflag & CIBAUD, 0u) << "the input speed differs";
        EXPECT_EQ(line.c_ospeed, static_cast<unsigned>(step.rate));
        EXPECT_EQ(line.c_ispeed, static_cast<unsigned>(step.rate));
        EXPECT_EQ(line.c_cflag & CSIZE, static_cast<unsigned>(CS8));
        EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(line.c_lflag & ICANON, 0u);
    }
}

} // namespace
