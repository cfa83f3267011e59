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
        const char* text;
        unsigned speed_code; // CBAUD bits expected
        unsigned rate;
    };
    const Step steps[] = {
        {"250000", BOTHER, 250000}, {"9600", B9600, 9600}, {"31250", BOTHER, 31250}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.text);
        ASSERT_EQ(serial_configure(port, step.text), 0);
        struct termios2 line {};
        ASSERT_EQ(ioctl(pty.observer, TCGETS2, &line), 0);
        EXPECT_EQ(line.c_cflag & CBAUD, step.speed_code);
        EXPECT_EQ(line.c_cflag & CIBAUD, 0u) << "the input speed differs";
        EXPECT_EQ(line.c_ospeed, step.rate);
        EXPECT_EQ(line.c_ispeed, step.rate);
        EXPECT_EQ(line.c_cflag & CSIZE, static_cast<unsigned>(CS8));
        EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(line.c_lflag & ICANON, 0u);
    }
}

} // namespace
