#include "process.hpp"
#include "serial.hpp"
#include "serial_pty.hpp"
#include "timing.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct PathCase {
    std::string name;
    std::string expected;
};

TEST(SerialDevicePath, ShortNamesGoUnderDevAndAreCut) {
    const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ";
    const PathCase cases[] = {
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"", "/dev/"},
        {"pts/7", "/dev/pts/7"},
        {letters.substr(0, 26), "/dev/" + letters.substr(0, 26)}, // exactly 31: whole
        {letters.substr(0, 27), "/dev/" + letters.substr(0, 26)},
        {letters, "/dev/" + letters.substr(0, 26)},
    };
    const char* area = serial_device_path("x");
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.name);
        const char* path = serial_device_path(c.name.c_str());
        EXPECT_EQ(path, area) << "not the one process-wide area";
        EXPECT_EQ(std::string(path), c.expected);
        EXPECT_LE(std::strlen(path), static_cast<size_t>(device_path_size - 1));
    }
}

TEST(SerialDevicePath, PathsAreTakenAsTheyAre) {
    const char* area = serial_device_path("ttyS3");
    const std::string long_path = "/dev/serial/by-id/some-adapter-with-a-long-name-if00-port0";
    const char* names[] = {"/dev/ttyS0", "/", long_path.c_str()};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(serial_device_path(name), name);
        EXPECT_STREQ(area, "/dev/ttyS3") << "the area was written";
    }
}

using SerialOpen = SerialPortTest<testing::Test>;

TEST_F(SerialOpen, ByPathAndByNameUnderDev) {
    serial_close(port);
    port = port_not_open;
    ASSERT_EQ(std::strncmp(pty.slave_path, "/dev/", 5), 0);
    const std::string names[] = {pty.slave_path, pty.slave_path + 5}; // "/dev/pts/N", "pts/N"
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const PortHandle opened = serial_open(name.c_str());
        ASSERT_GE(opened, 0);
        const unsigned char byte = 0x5A;
        ASSERT_EQ(serial_pty_send(&pty, &byte, 1), 0);
        unsigned char got = 0;
        EXPECT_EQ(serial_read(opened, &got, 1), 1);
        EXPECT_EQ(got, byte) << "another device was opened";
        serial_close(opened);
    }
}

TEST(SerialOpenMissing, FailsSilentlyAndCreatesNothing) {
    const TempFolder folder;
    const std::string path = folder.path + "/ttyNone";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const PortHandle port = serial_open(path.c_str());
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(port, -1);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "");
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), -1) << "the device was created";
    EXPECT_EQ(serial_last_open_error(), serial_open_missing);
}

// The kinds of refusal and what the user is told (the programs' suites check that a file or a
// pipe given as the port is left untouched).
TEST(SerialOpenRefusal, SaysWhy) {
    const TempFolder temp;
    const char* folder = temp.path.c_str();
    const std::string cut_name = "tty" + std::string(30, '0');
    const struct {
        std::string name;
        SerialOpenError error;
        std::string text_part;
    } cases[] = {
        {folder, serial_open_not_a_port, " is not a serial port"},
        {"null", serial_open_not_a_port, "/dev/null is not a serial port"},
        {std::string(folder) + "/none", serial_open_missing, " No such device: "},
        {cut_name, serial_open_name_cut, " it would be cut to /dev/tty0000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(serial_open(c.name.c_str()), port_not_open);
        EXPECT_EQ(serial_last_open_error(), c.error);
        EXPECT_NE(serial_open_error_text(c.name.c_str()).find(c.text_part), std::string::npos)
            << serial_open_error_text(c.name.c_str());
    }
}

TEST_F(SerialOpen, DescriptorZeroIsAPort) {
    serial_close(port);
    port = port_not_open;
    const int saved_input = dup(STDIN_FILENO);
    ASSERT_NE(saved_input, -1);
    close(STDIN_FILENO);
    const PortHandle opened = serial_open(pty.slave_path);
    EXPECT_EQ(opened, 0);
    int exclusive = 0;
    ioctl(pty.observer, TIOCGEXCL, &exclusive);
    EXPECT_EQ(exclusive, 1);
    if (opened >= 0) serial_close(opened);
    ioctl(pty.observer, TIOCGEXCL, &exclusive);
    EXPECT_EQ(exclusive, 0) << "descriptor 0 was not released";
    dup2(saved_input, STDIN_FILENO);
    close(saved_input);
}

int exclusive_flag(int fd) {
    int exclusive = -1;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == -1) return -1;
    return exclusive;
}

TEST_F(SerialOpen, HeldPortIsRefusedUntilClosed) {
    EXPECT_EQ(exclusive_flag(pty.observer), 1);
    const PortHandle second = serial_open(pty.slave_path);
    EXPECT_EQ(second, -1) << "second open of a held port";
    EXPECT_EQ(serial_last_open_error(), serial_open_busy);
    if (second >= 0) serial_close(second);

    serial_close(port);
    port = port_not_open;
    EXPECT_EQ(exclusive_flag(pty.observer), 0) << "exclusive hold outlived the close";
    const int plain = open(pty.slave_path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_NE(plain, -1);
    if (plain != -1) close(plain);

    port = serial_open(pty.slave_path);
    EXPECT_GE(port, 0) << "could not open again after close";
}

TEST_F(SerialOpen, ReleaseAllDropsTheExclusiveHoldButNotTheLock) {
    serial_release_all();
    EXPECT_EQ(exclusive_flag(pty.observer), 0);
    const PortHandle second = serial_open(pty.slave_path);
    EXPECT_EQ(second, -1) << "the port is still ours";
    if (second >= 0) serial_close(second);
}

struct ExitCase {
    const char* name;
    bool through_exit; // exit() runs the exit handlers, _exit() does not
    int exclusive_after;
};

TEST_F(SerialOpen, ExitHandlerReleasesThePortOfAnotherProcess) {
    serial_close(port);
    port = port_not_open;
    const ExitCase cases[] = {{"exit", true, 0}, {"_exit", false, 1}};
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            const PortHandle held = serial_open(pty.slave_path);
            if (held < 0) _exit(2);
            if (c.through_exit) std::exit(0);
            _exit(0);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0) << "the child could not open the port";
        EXPECT_EQ(exclusive_flag(pty.observer), c.exclusive_after);
        ioctl(pty.observer, TIOCNXCL);
    }
}

using SerialWrite = SerialPortTest<testing::Test>;

TEST_F(SerialWrite, AllBytesGoOutQuietly) {
    std::vector<unsigned char> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    testing::internal::CaptureStderr();
    const int count = serial_write(port, bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(count, 300);
    EXPECT_EQ(read_within(pty.master, bytes.size(), -1, 1000), bytes);
}

TEST_F(SerialWrite, FullLineGivesAShortCountAfterTheTimeOut) {
    // Nobody reads the master: fill what the kernel buffers until it refuses more. Room can
    // come back a moment later, once the kernel has moved the bytes on to the master's side.
    const int fd = static_cast<int>(port);
    std::vector<unsigned char> chunk(4096, 0x55);
    bool full = false;
    for (int round = 0; round < 50 && !full; ++round) {
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
        pollfd room{fd, POLLOUT, 0};
        full = poll(&room, 1, 200) == 0;
    }
    ASSERT_TRUE(full);

    const int n = 20; // gives up after 100 + 10 * 20 ms
    testing::internal::CaptureStderr();
    const auto start = TimingClock::now();
    const int count = serial_write(port, chunk.data(), n);
    const long long elapsed = timing_ms_since(start);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the serial layer prints nothing";
    EXPECT_GE(count, 0);
    EXPECT_LT(count, n);
    EXPECT_GE(elapsed, 280);
    EXPECT_LT(elapsed, 1500);
}

} // namespace
