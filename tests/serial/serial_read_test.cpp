#include "serial.hpp"
#include "serial_pty.hpp"
#include "test_cases.hpp"
#include "timing.hpp"

#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

constexpr unsigned char untouched = 0xA5;

struct ReadCase {
    const char* name;
    int sent;     // bytes waiting on the line before the read
    int n;        // bytes asked for
    int expected; // what serial_read returns
    int min_ms;
    int max_ms;
};

struct SerialReadTimeout : SerialPortTest<testing::TestWithParam<ReadCase>> {};
using SerialRead = SerialPortTest<testing::Test>;
using SerialLost = SerialPortTest<testing::Test>;

TEST_P(SerialReadTimeout, EndsWhenTheTimeOutsSay) {
    const ReadCase& c = GetParam();
    std::vector<unsigned char> sent(static_cast<size_t>(c.sent));
    for (int i = 0; i < c.sent; ++i)
        sent[static_cast<size_t>(i)] = static_cast<unsigned char>(i + 1);
    if (c.sent > 0) {
        ASSERT_EQ(serial_pty_send(&pty, sent.data(), c.sent), 0);
        ASSERT_EQ(serial_pty_wait_readable(pty.observer, 1000), 1);
    }

    std::vector<unsigned char> buffer(static_cast<size_t>(c.n) + 16, untouched);
    const auto start = TimingClock::now();
    const int count = serial_read(port, buffer.data(), c.n);
    const long long elapsed = timing_ms_since(start);

    EXPECT_EQ(count, c.expected);
    EXPECT_GE(elapsed, c.min_ms);
    EXPECT_LT(elapsed, c.max_ms);
    const int filled = count > 0 ? count : 0;
    for (int i = 0; i < filled; ++i)
        EXPECT_EQ(buffer[static_cast<size_t>(i)], i + 1) << "byte " << i;
    for (size_t i = static_cast<size_t>(filled); i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], untouched) << "byte " << i << " beyond the count was written";
    }
    // What was not asked for stays on the line for the next read.
    if (c.sent > filled) {
        unsigned char rest[64] = {};
        EXPECT_EQ(serial_read(port, rest, static_cast<int>(sizeof rest)), c.sent - filled);
        EXPECT_EQ(rest[0], filled + 1);
    }
}

// Total time-out: 100 + 10n ms; the gap between bytes: 100 ms.
INSTANTIATE_TEST_SUITE_P(Cases, SerialReadTimeout,
                         testing::Values(ReadCase{"Silent", 0, 5, -1, 140, 1000},
                                         ReadCase{"GapEndsReadEarly", 3, 200, 3, 90, 1000},
                                         ReadCase{"AllBytesAlreadyThere", 8, 8, 8, 0, 80},
                                         ReadCase{"MoreThereThanAskedFor", 12, 8, 8, 0, 80}),
                         case_name);

TEST_F(SerialRead, TricklingBytesRunUntilTheTotalTimeOut) {
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (unsigned char b = 1; b < 100 && !stop; ++b) {
            serial_pty_send(&pty, &b, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    constexpr int n = 30; // 400 ms in all, never reached by bytes 30 ms apart
    unsigned char buffer[n + 8];
    std::fill(std::begin(buffer), std::end(buffer), untouched);
    const auto start = TimingClock::now();
    const int count = serial_read(port, buffer, n);
    const long long elapsed = timing_ms_since(start);
    stop = true;
    sender.join();

    EXPECT_GE(elapsed, 380);
    EXPECT_LT(elapsed, 1200);
    EXPECT_GE(count, 5);
    EXPECT_LT(count, n);
    for (int i = count > 0 ? count : 0; i < n + 8; ++i) EXPECT_EQ(buffer[i], untouched);
}

TEST_F(SerialRead, PrintedTextIsOutBeforeTheWait) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    std::fflush(stdout);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        std::printf("before the wait"); // a pipe: fully buffered
        unsigned char byte;
        serial_read(port, &byte, 1);
        _exit(0); // drops whatever stdio still holds
    }
    close(pipe_ends[1]);
    std::string seen;
    char chunk[64];
    ssize_t count;
    while ((count = read(pipe_ends[0], chunk, sizeof chunk)) > 0)
        seen.append(chunk, static_cast<size_t>(count));
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(seen, "before the wait");
}

TEST_F(SerialLost, SilentPortIsNotLostAndPendingBytesStay) {
    EXPECT_EQ(serial_lost(port), 0);
    const unsigned char bytes[] = {0x42, 0x43};
    ASSERT_EQ(serial_pty_send(&pty, bytes, 2), 0);
    ASSERT_EQ(serial_pty_wait_readable(pty.observer, 1000), 1);
    EXPECT_EQ(serial_lost(port), 0);
    unsigned char buffer[2] = {};
    EXPECT_EQ(serial_read(port, buffer, 2), 2);
    EXPECT_EQ(buffer[0], 0x42);
    EXPECT_EQ(buffer[1], 0x43);
}

TEST_F(SerialLost, FarEndClosed) {
    serial_pty_close_master(&pty);
    EXPECT_EQ(serial_lost(port), 1);

    unsigned char buffer[200];
    const auto start = TimingClock::now();
    EXPECT_EQ(serial_read(port, buffer, 200), -1);
    EXPECT_LT(timing_ms_since(start), 1000) << "waited for the 2100 ms time-out";

    const unsigned char bytes[] = {1, 2, 3};
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_write(port, bytes, 3), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the serial layer prints nothing";
}

} // namespace
