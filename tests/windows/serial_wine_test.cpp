// The Windows serial backend against real COM ports. Run under wine, where COMn is a link in the
// prefix's dosdevices to a pseudo-terminal held by tapwright-emu. Two ports are needed, named by
// the environment:
//   TAPWRIGHT_WINE_PORT         an emulator that answers like the adapter
//   TAPWRIGHT_WINE_SILENT_PORT  an emulator started with --silent (never sends a byte)
#include "serial.hpp"
#include "test_cases.hpp"
#include "timing.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

using ::PrintTo; // names the test cases in listings

// A name that no dosdevices link stands for.
constexpr const char* unmapped_port = "COM97";

std::string port_from_environment(const char* variable) {
    const char* value = std::getenv(variable);
    return value == nullptr ? std::string() : std::string(value);
}

HANDLE handle_of(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

// Opens the port named by variable and configures it at speed; fails the test otherwise.
struct OpenPort {
    PortHandle port = port_not_open;
};

void open_port(OpenPort& open, const char* variable, int rate) {
    const std::string name = port_from_environment(variable);
    ASSERT_FALSE(name.empty()) << variable << " must name the COM port of an emulator";
    open.port = serial_open(name.c_str());
    ASSERT_GE(open.port, 0) << "cannot open " << name << " (" << GetLastError() << ")";
    ASSERT_EQ(serial_configure(open.port, rate), 0) << "cannot configure " << name;
}

void close_port(OpenPort& open) {
    if (open.port >= 0) serial_close(open.port);
    open.port = port_not_open;
}

// A port each case opens, closed again after it.
template <typename Base>
struct PortFixtureOf : Base {
    OpenPort open;
    void TearDown() override { close_port(open); }
};
using PortFixture = PortFixtureOf<testing::Test>;

const auto size_name = [](const testing::TestParamInfo<int>& info) {
    return "n_" + std::to_string(info.param);
};

// ---- the device path rule: no port needed

struct PathCase {
    const char* name;
    std::string port;
    std::string expected;
};

struct SerialDevicePath : testing::TestWithParam<PathCase> {};

TEST_P(SerialDevicePath, FollowsThePlatformRule) {
    const PathCase& c = GetParam();
    EXPECT_EQ(std::string(serial_device_path(c.port.c_str())), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SerialDevicePath,
    testing::Values(PathCase{"short_name_gets_the_device_prefix", "COM5", "\\\\.\\COM5"},
                    PathCase{"two_digit_port", "COM12", "\\\\.\\COM12"},
                    PathCase{"long_name_cut_to_the_area", std::string(40, 'X'),
                             "\\\\.\\" + std::string(device_path_size - 1 - 4, 'X')},
                    PathCase{"leading_backslash_kept_whole", "\\\\.\\" + std::string(40, 'Y'),
                             "\\\\.\\" + std::string(40, 'Y')},
                    PathCase{"single_backslash_kept", "\\COM3", "\\COM3"}),
    case_name);

// ---- open and line settings

using WinePortOpen = PortFixture;

TEST_F(WinePortOpen, OpensAndConfiguresTheComPort) {
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 115200));
}

// The exclusive hold is not tested: wine opens a COM port a second time whatever the share mode.

TEST_F(WinePortOpen, ClosedPortCanBeOpenedAgain) {
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 115200));
    close_port(open);
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 115200));
}

TEST_F(WinePortOpen, QuietLiveLineIsNotLost) {
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 115200));
    EXPECT_EQ(serial_lost(open.port), 0);
}

TEST(WinePortMissing, UnmappedPortIsNotOpened) {
    EXPECT_EQ(serial_open(unmapped_port), port_not_open);
}

struct LineCase {
    int rate;
    DWORD baud;
};

void PrintTo(const LineCase& c, std::ostream* out) {
    *out << c.rate;
}

using WineLineSettings = PortFixtureOf<testing::TestWithParam<LineCase>>;

// Every speed is set over a port left at another one, so a speed that is not applied shows.
// Only what wine reads back from a pseudo-terminal is checked: the pty itself forces 8 data bits
// without parity, and wine reports DTR and RTS as enabled and DSR flow control as off whatever
// was set, so byte size, parity, fDtrControl, fRtsControl and fOutxDsrFlow cannot fail here.
TEST_P(WineLineSettings, ConfigureSetsOneStopBitWithoutFlowControl) {
    const LineCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", c.baud == 9600 ? 57600 : 9600));
    // A line left with two stop bits and both kinds of flow control, for configure to undo.
    DCB dirty{};
    dirty.DCBlength = sizeof dirty;
    ASSERT_TRUE(GetCommState(handle_of(open.port), &dirty)) << GetLastError();
    dirty.StopBits = TWOSTOPBITS;
    dirty.fOutxCtsFlow = TRUE;
    dirty.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dirty.fOutX = TRUE;
    dirty.fInX = TRUE;
    dirty.XonChar = 'Q';
    dirty.XoffChar = 'S';
    ASSERT_TRUE(SetCommState(handle_of(open.port), &dirty)) << GetLastError();

    ASSERT_EQ(serial_configure(open.port, c.rate), 0);

    DCB line{};
    line.DCBlength = sizeof line;
    ASSERT_TRUE(GetCommState(handle_of(open.port), &line)) << GetLastError();
    EXPECT_EQ(line.BaudRate, c.baud);
    EXPECT_EQ(line.StopBits, ONESTOPBIT);
    EXPECT_FALSE(line.fOutxCtsFlow);
    EXPECT_FALSE(line.fOutX);
    EXPECT_FALSE(line.fInX);
    // Real Windows refuses a DCB whose XON and XOFF characters are equal.
    EXPECT_EQ(line.XonChar, 0x11);
    EXPECT_EQ(line.XoffChar, 0x13);
}

// Baud rate 0 would hang the line up: a rate below one (what a speed text that is not a whole
// number above zero becomes) is refused before the line is touched.
TEST_F(WinePortOpen, RateBelowOneLeavesTheLineAsItWas) {
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 57600));
    for (const int rate : {0, -1, -9600}) {
        EXPECT_EQ(serial_configure(open.port, rate), -1) << rate;
        DCB line{};
        line.DCBlength = sizeof line;
        ASSERT_TRUE(GetCommState(handle_of(open.port), &line)) << GetLastError();
        EXPECT_EQ(line.BaudRate, 57600u) << rate;
    }
}

INSTANTIATE_TEST_SUITE_P(Speeds, WineLineSettings,
                         testing::Values(LineCase{9600, 9600}, LineCase{57600, 57600},
                                         LineCase{115200, 115200}, LineCase{1000000, 1000000}),
                         [](const testing::TestParamInfo<LineCase>& info) {
                             return "baud_" + std::to_string(info.param.rate);
                         });

TEST_F(WinePortOpen, ConfigureSetsTheFiveTimeOuts) {
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 115200));
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(handle_of(open.port), &timeouts)) << GetLastError();
    EXPECT_EQ(timeouts.ReadIntervalTimeout, static_cast<DWORD>(read_interval_ms));
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, static_cast<DWORD>(read_total_multiplier_ms));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, static_cast<DWORD>(read_total_constant_ms));
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, static_cast<DWORD>(write_total_multiplier_ms));
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, static_cast<DWORD>(write_total_constant_ms));
}

// ---- reads and writes

using WineSilentRead = PortFixtureOf<testing::TestWithParam<int>>;

// The total time-out grows with n; n = 1 and n = 50 differ by 490 ms, well above the slack.
TEST_P(WineSilentRead, GivesUpAfterTheTotalTimeOut) {
    const int n = GetParam();
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_SILENT_PORT", 115200));
    const int expected_ms = read_total_constant_ms + read_total_multiplier_ms * n;

    constexpr unsigned char untouched = 0xA5;
    std::vector<unsigned char> buffer(static_cast<size_t>(n), untouched);
    const auto start = TimingClock::now();
    const int count = serial_read(open.port, buffer.data(), n);
    const long long elapsed = timing_ms_since(start);

    EXPECT_EQ(count, -1);
    EXPECT_GE(elapsed, expected_ms * 8 / 10);
    EXPECT_LT(elapsed, expected_ms * 3 + 500);
    for (const unsigned char b : buffer) ASSERT_EQ(b, untouched);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WineSilentRead, testing::Values(1, 5, 50), size_name);

using WineWrite = PortFixtureOf<testing::TestWithParam<int>>;

// To the silent emulator, which takes every byte and never answers one.
TEST_P(WineWrite, ReturnsTheCount) {
    const int n = GetParam();
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_SILENT_PORT", 115200));
    std::vector<unsigned char> bytes(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) bytes[static_cast<size_t>(i)] = static_cast<unsigned char>(i + 1);
    EXPECT_EQ(serial_write(open.port, bytes.data(), n), n);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WineWrite, testing::Values(1, 5, 256), size_name);

using WineHandshake = PortFixture;

// tapwright-emu starts over whenever the last client closes the port, so each test meets a fresh
// adapter.
TEST_F(WineHandshake, ZeroByteIsAnsweredWithTheBinaryModeReply) {
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 115200));
    const unsigned char zero = 0x00;
    ASSERT_EQ(serial_write(open.port, &zero, 1), 1);

    unsigned char reply[8] = {};
    const int count = serial_read(open.port, reply, 5);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply), 5), "BBIO1");
}

// Asking for more than comes: the read ends when the line falls quiet, long before the total.
TEST_F(WineHandshake, ShortReplyEndsAtTheIntervalTimeOut) {
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 115200));
    const unsigned char zero = 0x00;
    ASSERT_EQ(serial_write(open.port, &zero, 1), 1);

    constexpr int asked = 100;
    unsigned char reply[asked] = {};
    const auto start = TimingClock::now();
    int got = 0;
    // The reply may arrive split; whatever comes is read until all five are in.
    while (got < 5) {
        const int count = serial_read(open.port, reply + got, asked - got);
        if (count < 0) break;
        got += count;
    }
    const long long elapsed = timing_ms_since(start);
    EXPECT_EQ(got, 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply), 5), "BBIO1");
    EXPECT_LT(elapsed, read_total_constant_ms + read_total_multiplier_ms * asked - 100);
}

// The capture's wait sleeps on a silent line, wakes for the reply, and its read takes it all; the
// line's own reads work as before afterwards.
TEST_F(WineHandshake, WatchWakesForTheReplyAndTheCaptureReadTakesIt) {
    ASSERT_NO_FATAL_FAILURE(open_port(open, "TAPWRIGHT_WINE_PORT", 115200));
    unsigned char reply[64] = {};
    EXPECT_EQ(WaitForSingleObject(handle_of(serial_watch(open.port)), 200), WAIT_TIMEOUT);
    EXPECT_EQ(serial_read_available(open.port, reply, sizeof reply), -1);
    const unsigned char zero = 0x00;
    ASSERT_EQ(serial_write(open.port, &zero, 1), 1);
    std::string got;
    while (got.size() < 5 &&
           WaitForSingleObject(handle_of(serial_watch(open.port)), 2000) == WAIT_OBJECT_0) {
        const int count = serial_read_available(open.port, reply, sizeof reply);
        if (count > 0) got.append(reinterpret_cast<const char*>(reply), count);
    }
    EXPECT_EQ(got, "BBIO1");
    ASSERT_EQ(serial_write(open.port, &zero, 1), 1);
    EXPECT_EQ(serial_read(open.port, reply, 5), 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply), 5), "BBIO1");
}

} // namespace
