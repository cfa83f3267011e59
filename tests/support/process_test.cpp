// The process runner and pty helper that every end-to-end suite stands on.
#include "process.hpp"
#include "test_cases.hpp"
#include "timing.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using ::PrintTo; // names the test cases in listings

const std::string probe = CONSOLE_PROBE_PATH;

struct EndCase {
    const char* name;
    const char* script;
    bool exited;
    int status; // exit code, or the signal
};

const EndCase end_cases[] = {
    {"ExitZero", "exit 0", true, 0},
    {"ExitCode", "exit 3", true, 3},
    {"KilledBySigterm", "kill -TERM $$", false, SIGTERM},
    {"KilledBySigint", "kill -INT $$", false, SIGINT},
};

class ProcessEnd : public testing::TestWithParam<EndCase> {};

TEST_P(ProcessEnd, StatusRecorded) {
    const EndCase& c = GetParam();
    Process p;
    ASSERT_TRUE(process_start(p, "/bin/sh", {"-c", c.script}));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_TRUE(p.reaped);
    EXPECT_FALSE(p.timed_out);
    EXPECT_EQ(p.exited, c.exited);
    EXPECT_EQ(c.exited ? p.status : p.signal, c.status);
}

INSTANTIATE_TEST_SUITE_P(Process, ProcessEnd, testing::ValuesIn(end_cases), case_name);

struct OutputCase {
    const char* name;
    bool merge;
    const char* out;
    const char* err;
};

const OutputCase output_cases[] = {
    {"Separate", false, "a\nc\n", "b\n"},
    {"MergedInOrder", true, "a\nb\nc\n", ""},
};

class ProcessOutput : public testing::TestWithParam<OutputCase> {};

TEST_P(ProcessOutput, StreamsCollected) {
    const OutputCase& c = GetParam();
    ProcessOptions options;
    options.merge_output = c.merge;
    Process p;
    ASSERT_TRUE(process_start(p, "/bin/sh", {"-c", "echo a; echo b >&2; echo c"}, options));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.out, c.out);
    EXPECT_EQ(p.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Process, ProcessOutput, testing::ValuesIn(output_cases), case_name);

TEST(Process, StdinPipeCarriesBytesAndEnds) {
    Process p;
    ASSERT_TRUE(process_start(p, "/bin/cat", {}));
    // More than a pipe holds: the send must keep draining cat's output.
    const std::string big(256 * 1024, 'x');
    ASSERT_TRUE(process_send(p, big));
    process_close_stdin(p);
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, big);
}

TEST(Process, StdinTerminalIsControllingTerminal) {
    ProcessOptions options;
    options.stdin_terminal = true;
    Process p;
    // /dev/tty opens only for a process with a controlling terminal.
    ASSERT_TRUE(process_start(p, "/bin/sh", {"-c", "test -t 0 && tty && : </dev/tty && echo ctty"},
                              options));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.out, p.terminal_path + "\nctty\n") << p.err;
    EXPECT_FALSE(p.terminal_path.empty());
}

TEST(Process, ExtraEnvironmentReplacesInherited) {
    setenv("PROCESS_TEST_VALUE", "inherited", 1);
    ProcessOptions options;
    options.extra_env = {"PROCESS_TEST_VALUE=replaced", "PROCESS_TEST_OTHER=new"};
    Process p;
    ASSERT_TRUE(process_start(p, "/bin/sh", {"-c", "env | grep '^PROCESS_TEST_' | sort"}, options));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.out, "PROCESS_TEST_OTHER=new\nPROCESS_TEST_VALUE=replaced\n");
    unsetenv("PROCESS_TEST_VALUE");
}

TEST(Process, OnlyStandardDescriptorsInherited) {
    // A descriptor the test left inheritable must still not reach the child.
    const int leaky = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    Process p;
    ASSERT_TRUE(process_start(p, probe, {"fds"}));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    close(leaky);
    EXPECT_EQ(p.out, "0\n1\n2\n");
}

TEST(Process, MissingProgramDoesNotStart) {
    Process p;
    EXPECT_FALSE(process_start(p, "/nonexistent/program", {}));
    EXPECT_EQ(p.pid, -1);
    EXPECT_EQ(p.stdin_fd, -1);
    EXPECT_EQ(p.out_fd, -1);
    // The failed child was reaped: no child of ours is left.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(Process, TimeOutKillsAndReaps) {
    Process p;
    ASSERT_TRUE(process_start(p, "/bin/sleep", {"30"}));
    const auto start = TimingClock::now();
    EXPECT_FALSE(process_wait(p, 200));
    EXPECT_LT(timing_ms_since(start), 3000);
    EXPECT_TRUE(p.timed_out);
    EXPECT_EQ(p.signal, SIGKILL);
    EXPECT_EQ(waitpid(p.pid, nullptr, WNOHANG), -1); // already reaped
}

TEST(Process, EndKillsRunningChild) {
    const pid_t pid = [] {
        Process p;
        EXPECT_TRUE(process_start(p, "/bin/sleep", {"30"}));
        EXPECT_EQ(process_running(p), 1);
        return p.pid;
    }(); // going out of scope ends it
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(Process, WaitForOutputGivesUpInTime) {
    Process p;
    ASSERT_TRUE(process_start(p, "/bin/sh", {"-c", "echo partial; sleep 30"}));
    const auto start = TimingClock::now();
    EXPECT_TRUE(process_wait_for_output(p, "partial\n", test_timeout_ms));
    EXPECT_FALSE(process_wait_for_output(p, "never", 200));
    EXPECT_LT(timing_ms_since(start), 3000);
}

TEST(Process, SendToChildThatDoesNotReadGivesUp) {
    Process p;
    ASSERT_TRUE(process_start(p, "/bin/sleep", {"30"}));
    const auto start = TimingClock::now();
    EXPECT_FALSE(process_send(p, std::string(1 << 20, 'x'), 200));
    EXPECT_LT(timing_ms_since(start), 3000);
}

struct PtyCase {
    const char* name;
    bool raw;
    const char* slave_reads;  // after the master writes "a\r"
    const char* master_reads; // after the slave writes "b\n"
};

const PtyCase pty_cases[] = {
    {"Raw", true, "a\r", "b\n"},
    // Cooked: canonical input turns CR into NL and echoes; output turns NL into CR NL.
    {"Cooked", false, "a\n", "a\r\nb\r\n"},
};

class PtyPairTest : public testing::TestWithParam<PtyCase> {};

// What arrives within a second, until the line goes quiet.
std::string read_some(int fd) {
    std::vector<unsigned char> got = read_within(fd, 1, 1000);
    const std::vector<unsigned char> rest = read_within(fd, SIZE_MAX, 1000, 50);
    got.insert(got.end(), rest.begin(), rest.end());
    return std::string(got.begin(), got.end());
}

TEST_P(PtyPairTest, LineDiscipline) {
    const PtyCase& c = GetParam();
    PtyPair pty = pty_open(c.raw);
    ASSERT_GE(pty.master, 0);
    ASSERT_GE(pty.slave, 0);
    EXPECT_EQ(fcntl(pty.master, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(pty.slave, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ASSERT_EQ(write(pty.master, "a\r", 2), 2);
    EXPECT_EQ(read_some(pty.slave), c.slave_reads);
    ASSERT_EQ(write(pty.slave, "b\n", 2), 2);
    EXPECT_EQ(read_some(pty.master), c.master_reads);
    pty_close(pty);
    EXPECT_EQ(pty.master, -1);
    EXPECT_EQ(pty.slave, -1);
}

INSTANTIATE_TEST_SUITE_P(Process, PtyPairTest, testing::ValuesIn(pty_cases), case_name);

} // namespace
