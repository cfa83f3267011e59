// The console layer, seen from outside: a probe program is fed keys through a pipe or a
// pseudo-terminal and reports what the console functions returned.
#include "keys.hpp"
#include "process.hpp"
#include "test_cases.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

const std::string probe = CONSOLE_PROBE_PATH;

std::string line(long long value) {
    return std::to_string(value) + "\n";
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool start_probe(Process& p, const std::vector<std::string>& args, ProcessOptions options = {}) {
    return process_start(p, probe, args, options) &&
           process_wait_for_output(p, "ready\n", test_timeout_ms);
}

// ---------------------------------------------------------------------------------------
// Keys: what arrives on stdin, and what the key functions make of it.

struct Step {
    std::string send;
    std::string expect; // the probe lines this step brings
    bool close = false; // end of input after sending
};

struct KeyCase {
    const char* name;
    std::vector<Step> steps;
    bool pipe_only = false; // closing a terminal hangs it up instead of ending its input
};

const std::vector<KeyCase> take_cases = {
    {"PlainKey", {{"a", "97\n"}}},
    {"TwoKeysInOneChunk", {{"ab", "97\n98\n"}}},
    {"HighByteIsNotEndOfInput", {{"\xff", "255\n"}}},
    {"ArrowKeyIsOneSequence", {{"\x1b[A", line(key_sequence)}}},
    {"SequenceTakenWholeThenKey", {{"\x1b[1;5C", line(key_sequence)}, {"q", "113\n"}}},
    {"KeyThenSequenceInOneChunk", {{"a\x1b[B", "97\n" + line(key_sequence)}}},
    {"LoneEscapeThenKey", {{"\x1b", line(key_escape)}, {"x", "120\n"}}},
    {"EndOfInput", {{"", line(key_end_of_input), true}}, true},
    {"EndOfInputStays",
     {{"a", "97\n"}, {"", line(key_end_of_input) + line(key_end_of_input), true}},
     true},
    {"LoneEscapeBeforeEndOfInput",
     {{"\x1b", line(key_escape) + line(key_end_of_input), true}},
     true},
};

// The probe's "waiting" polls keys_waiting until it is not 0, prints it and, when 1,
// takes the key; "poll-once" prints one keys_waiting.
const std::vector<KeyCase> waiting_cases = {
    {"KeyWaiting", {{"z", "1\n122\n"}}},
    {"LoneEscapeWaiting", {{"\x1b", "1\n" + line(key_escape)}}},
    {"SequenceWaiting", {{"\x1bOP", "1\n" + line(key_sequence)}}},
    {"EndOfInputWaiting", {{"", line(key_end_of_input), true}}, true},
};

struct KeyRun {
    std::string name;
    std::vector<std::string> args;
    const KeyCase* key_case;
    bool terminal;
};

std::vector<KeyRun> key_runs() {
    std::vector<KeyRun> runs;
    for (const bool terminal : {false, true}) {
        const std::string input = terminal ? "Terminal" : "Pipe";
        for (const KeyCase& c : take_cases) {
            if (terminal && c.pipe_only) continue;
            size_t keys = 0;
            for (const Step& s : c.steps)
                keys += std::count(s.expect.begin(), s.expect.end(), '\n');
            runs.push_back({std::string(c.name) + "_TakeKey_" + input,
                            {"take", std::to_string(keys)},
                            &c,
                            terminal});
        }
        for (const KeyCase& c : waiting_cases) {
            if (terminal && c.pipe_only) continue;
            runs.push_back({std::string(c.name) + "_" + input, {"waiting"}, &c, terminal});
        }
    }
    // Never blocks: with stdin open and silent, one poll says 0 at once.
    static const KeyCase silent = {"NothingWaiting", {{"", "0\n"}}};
    runs.push_back({"NothingWaiting_Pipe", {"poll-once"}, &silent, false});
    runs.push_back({"NothingWaiting_Terminal", {"poll-once"}, &silent, true});
    return runs;
}

class ConsoleKeys : public testing::TestWithParam<KeyRun> {};

TEST_P(ConsoleKeys, ProbeSeesExpectedKeys) {
    const KeyRun& run = GetParam();
    ProcessOptions options;
    options.stdin_terminal = run.terminal;
    Process p;
    ASSERT_TRUE(start_probe(p, run.args, options)) << p.out << p.err;
    std::string expected = "ready\n";
    for (const Step& step : run.key_case->steps) {
        if (!step.send.empty()) {
            ASSERT_TRUE(process_send(p, step.send));
        }
        if (step.close) process_close_stdin(p);
        expected += step.expect;
        ASSERT_TRUE(process_wait_for_output(p, expected, test_timeout_ms)) << p.out << p.err;
    }
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_TRUE(p.exited);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, expected);
    EXPECT_EQ(p.err, "");
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleKeys, testing::ValuesIn(key_runs()),
                         [](const testing::TestParamInfo<KeyRun>& info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------------------------------
// The terminal mode while the program runs, and after every way out.

struct termios fresh_terminal_mode() {
    PtyPair pty = pty_open(false);
    struct termios mode = {};
    EXPECT_GE(pty.slave, 0);
    if (pty.slave >= 0) {
        EXPECT_EQ(tcgetattr(pty.slave, &mode), 0);
    }
    pty_close(pty);
    return mode;
}

::testing::AssertionResult same_mode(const struct termios& a, const struct termios& b) {
    if (a.c_iflag != b.c_iflag) return testing::AssertionFailure() << "c_iflag differs";
    if (a.c_oflag != b.c_oflag) return testing::AssertionFailure() << "c_oflag differs";
    if (a.c_cflag != b.c_cflag) return testing::AssertionFailure() << "c_cflag differs";
    if (a.c_lflag != b.c_lflag)
        return testing::AssertionFailure()
               << "c_lflag " << std::hex << a.c_lflag << " vs " << b.c_lflag;
    for (int i = 0; i < NCCS; ++i)
        if (a.c_cc[i] != b.c_cc[i])
            return testing::AssertionFailure()
                   << "c_cc[" << i << "] " << int(a.c_cc[i]) << " vs " << int(b.c_cc[i]);
    if (cfgetispeed(&a) != cfgetispeed(&b) || cfgetospeed(&a) != cfgetospeed(&b))
        return testing::AssertionFailure() << "speed differs";
    return testing::AssertionSuccess();
}

enum class Action { key, signal, typed };

struct ModeCase {
    const char* name;
    const char* probe_mode;
    Action action;
    int sig;            // the signal sent, or raised by the typed character
    bool ends_normally; // exit 0 after printing the key; else dies of sig
    int key;            // the key printed when it ends normally
};

const ModeCase mode_cases[] = {
    {"KeyEndsNormally", "take", Action::key, 0, true, 'k'},
    {"SigtermKills", "take", Action::signal, SIGTERM, false, 0},
    {"SigintKills", "take", Action::signal, SIGINT, false, 0},
    {"SighupKills", "take", Action::signal, SIGHUP, false, 0},
    {"SigpipeKills", "take", Action::signal, SIGPIPE, false, 0},
    {"CtrlCStillRaisesSigint", "take", Action::typed, SIGINT, false, 0},
    {"SigtermAsKey", "signal-as-key", Action::signal, SIGTERM, true, key_signal},
    {"SigintAsKey", "signal-as-key", Action::signal, SIGINT, true, key_signal},
    {"CtrlCAsKey", "signal-as-key", Action::typed, SIGINT, true, key_signal},
    {"SighupIsNeverAKey", "signal-as-key", Action::signal, SIGHUP, false, 0},
};

class ConsoleTerminalMode : public testing::TestWithParam<ModeCase> {};

TEST_P(ConsoleTerminalMode, ModeAppliedWhileRunningAndRestoredAfter) {
    const ModeCase& c = GetParam();
    // A mode unlike the default, so that restoring "some sane mode" does not pass.
    struct termios before = fresh_terminal_mode();
    before.c_iflag &= ~static_cast<tcflag_t>(IXON);
    before.c_lflag ^= ECHOK;
    before.c_cc[VMIN] = 4;
    before.c_cc[VTIME] = 3;
    ProcessOptions options;
    options.stdin_terminal = true;
    options.terminal_mode = before;
    Process p;
    const std::vector<std::string> args = std::strcmp(c.probe_mode, "take") == 0
                                              ? std::vector<std::string>{"take", "1"}
                                              : std::vector<std::string>{c.probe_mode};
    ASSERT_TRUE(start_probe(p, args, options)) << p.out << p.err;

    struct termios running = {};
    ASSERT_EQ(tcgetattr(p.stdin_fd, &running), 0);
    struct termios expected_running = before;
    expected_running.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    expected_running.c_cc[VMIN] = 1;
    expected_running.c_cc[VTIME] = 0;
    EXPECT_TRUE(same_mode(running, expected_running));

    switch (c.action) {
    case Action::key: ASSERT_TRUE(process_send(p, std::string(1, char(c.key)))); break;
    case Action::signal: process_signal(p, c.sig); break;
    case Action::typed: ASSERT_TRUE(process_send(p, std::string(1, char(running.c_cc[VINTR]))));
    }
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    if (c.ends_normally) {
        EXPECT_TRUE(p.exited);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.out, "ready\n" + line(c.key));
    } else {
        EXPECT_FALSE(p.exited);
        EXPECT_EQ(p.signal, c.sig);
        EXPECT_EQ(p.out, "ready\n");
    }
    struct termios after = {};
    ASSERT_EQ(tcgetattr(p.stdin_fd, &after), 0);
    EXPECT_TRUE(same_mode(after, before));
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleTerminalMode, testing::ValuesIn(mode_cases), case_name);

// ---------------------------------------------------------------------------------------
// Ports held by the program are let go on every way out.

struct ReleaseCase {
    const char* name;
    int sig; // 0: a key ends the program normally
};

const ReleaseCase release_cases[] = {
    {"AfterNormalExit", 0},  {"AfterSigterm", SIGTERM}, {"AfterSigint", SIGINT},
    {"AfterSighup", SIGHUP}, {"AfterSigpipe", SIGPIPE},
};

class ConsolePortRelease : public testing::TestWithParam<ReleaseCase> {};

TEST_P(ConsolePortRelease, ExclusiveHoldDropped) {
#ifndef TIOCGEXCL
    GTEST_SKIP() << "no TIOCGEXCL to observe the exclusive hold";
#else
    const ReleaseCase& c = GetParam();
    // Our slave descriptor keeps the tty alive, so its exclusive flag outlives the probe.
    PtyPair port = pty_open(true);
    ASSERT_GE(port.slave, 0);
    Process p;
    ASSERT_TRUE(start_probe(p, {"hold-port", port.slave_path})) << p.out << p.err;
    int exclusive = -1;
    ASSERT_EQ(ioctl(port.slave, TIOCGEXCL, &exclusive), 0);
    ASSERT_EQ(exclusive, 1);
    if (c.sig == 0) {
        ASSERT_TRUE(process_send(p, "k"));
    } else {
        process_signal(p, c.sig);
    }
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.exited, c.sig == 0);
    EXPECT_EQ(p.signal, c.sig);
    ASSERT_EQ(ioctl(port.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    pty_close(port);
#endif
}

INSTANTIATE_TEST_SUITE_P(Console, ConsolePortRelease, testing::ValuesIn(release_cases), case_name);

// ---------------------------------------------------------------------------------------
// keys_wait_key_or_port: which event ends the wait, and what it returns.

enum class Event { none, key, port_data, port_hang_up, end_of_input, sigterm };

struct PortCase {
    const char* name;
    Event event;
    int timeout_ms;
    int result;
    int pending; // bytes left unread at the port; -1: not checked
};

const PortCase port_cases[] = {
    {"KeyEndsWait", Event::key, 20000, 1, 0},
    {"PortDataEndsWaitUnread", Event::port_data, 20000, 0, 3},
    {"PortHangUpEndsWait", Event::port_hang_up, 20000, 0, -1},
    {"SignalAsKeyEndsWait", Event::sigterm, 20000, 1, 0},
    {"NoLimitWaitsForTheKey", Event::key, -1, 1, 0},
    {"NoLimitWaitsForPortData", Event::port_data, -1, 0, 3},
    {"TimeOut", Event::none, 150, -1, 0},
    {"EndOfInputIsNoKey", Event::end_of_input, 150, -1, 0},
};

class ConsoleWaitPortOrKey : public testing::TestWithParam<PortCase> {};

TEST_P(ConsoleWaitPortOrKey, EndsOnTheRightEvent) {
    const PortCase& c = GetParam();
    PtyPair port = pty_open(true);
    ASSERT_GE(port.master, 0);
    std::vector<std::string> args = {"port-or-key", port.slave_path, std::to_string(c.timeout_ms)};
    if (c.event == Event::sigterm) args.push_back("signals");
    Process p;
    ASSERT_TRUE(start_probe(p, args)) << p.out << p.err;
    switch (c.event) {
    case Event::none: break;
    case Event::key: ASSERT_TRUE(process_send(p, "k")); break;
    case Event::port_data: ASSERT_EQ(write(port.master, "xyz", 3), 3); break;
    case Event::port_hang_up:
        close(port.master);
        port.master = -1;
        break;
    case Event::end_of_input: process_close_stdin(p); break;
    case Event::sigterm: process_signal(p, SIGTERM); break;
    }
    ASSERT_TRUE(process_wait(p, test_timeout_ms)) << p.out;
    EXPECT_TRUE(p.exited);
    EXPECT_EQ(p.status, 0) << p.err;
    int result = -1, pending = -1;
    long long elapsed = -1;
    ASSERT_EQ(std::sscanf(p.out.c_str(), "ready\n%d %lld %d", &result, &elapsed, &pending), 3)
        << p.out;
    EXPECT_EQ(result, c.result);
    if (c.pending >= 0) {
        EXPECT_EQ(pending, c.pending);
    }
    if (c.timeout_ms < 0) {
        // no time-out to compare with: the result alone tells which event ended the wait
    } else if (c.event == Event::none || c.event == Event::end_of_input) {
        EXPECT_GE(elapsed, c.timeout_ms - 10); // waited the whole time
    } else {
        EXPECT_LT(elapsed, c.timeout_ms / 2); // the event, not the time-out, ended it
    }
    pty_close(port);
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleWaitPortOrKey, testing::ValuesIn(port_cases), case_name);

// ---------------------------------------------------------------------------------------
// Every wait first pushes out what the program printed: stdout to a pipe is fully buffered,
// so without the flush "pending" would only appear at exit.

class ConsoleFlushesBeforeWaiting : public testing::TestWithParam<const char*> {};

TEST_P(ConsoleFlushesBeforeWaiting, TextOutWhileBlocked) {
    Process p;
    ASSERT_TRUE(process_start(p, probe, {"flush", GetParam()}));
    EXPECT_TRUE(process_wait_for_output(p, "pending\n", test_timeout_ms)) << p.err;
    EXPECT_EQ(process_running(p), 1);
    process_end(p);
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleFlushesBeforeWaiting,
                         testing::Values("waiting", "take", "port"));

// ---------------------------------------------------------------------------------------
// Waiting for a key costs nothing: the probe sleeps in the kernel, never waking on a timer.

struct IdleCase {
    const char* name;
    std::vector<std::string> args; // "PORT" stands for a silent port's path
};

const IdleCase idle_cases[] = {
    {"TakeKey", {"take", "1"}},
    {"SignalAsKey", {"signal-as-key"}},
    {"WaitPortOrKey", {"port-or-key", "PORT", "20000"}},
};

class ConsoleIdleWait : public testing::TestWithParam<IdleCase> {};

TEST_P(ConsoleIdleWait, NoWakeUpsWhileBlocked) {
    PtyPair port = pty_open(true);
    ASSERT_GE(port.master, 0);
    std::vector<std::string> args = GetParam().args;
    for (std::string& a : args)
        if (a == "PORT") a = port.slave_path;
    Process p;
    ASSERT_TRUE(start_probe(p, args)) << p.out << p.err;
    sleep_ms(100); // into its wait
    const long wakeups = process_wakeups(p);
    const long cpu = process_cpu_ms(p);
    if (wakeups < 0 || cpu < 0) GTEST_SKIP() << "no /proc accounting here";
    sleep_ms(500);
    EXPECT_LE(process_wakeups(p) - wakeups, 2);
    EXPECT_LE(process_cpu_ms(p) - cpu, 50);
    ASSERT_TRUE(process_send(p, "k"));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.status, 0);
    pty_close(port);
}

INSTANTIATE_TEST_SUITE_P(Console, ConsoleIdleWait, testing::ValuesIn(idle_cases), case_name);

} // namespace
