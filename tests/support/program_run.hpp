#pragma once

// What the end-to-end suites of the two programs share: how a run is started, how a terminal
// is judged afterwards, and what the emulated adapter saw.

#include "emulator.hpp"
#include "process.hpp"
#include "test_cases.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

// What both programs print on standard error for a port that does not open: the fixed text,
// then a line that says why.
inline std::string open_failure(const std::string& why) {
    return " Error opening serial port\n " + why + "\n";
}

// The device a program names in its reasons for port: under wine a COM port's Windows path.
inline std::string port_device(const std::string& port) {
    return port.starts_with("COM") ? "\\\\.\\" + port : port;
}

// How that begins for a device that does not exist; the serial devices present, if there are
// any, and the newline follow.
inline std::string missing_port(const std::string& port) {
    return " Error opening serial port\n No such device: " + port_device(port);
}

inline bool begins_with(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// A command line that a program refuses, or that runs into a port it cannot open.
struct CommandLineCase {
    const char* name;
    std::vector<std::string> args;
    std::string expected_stdout;
    std::string expected_stderr_part; // the parser's diagnostic, when there is one
};

// With no operator (its input at its end, which the self-test takes as Esc) the program prints
// exactly the expected text, on standard error the diagnostic alone, and fails with status 255.
inline void expect_command_line(const std::string& program, const CommandLineCase& c) {
    Process p;
    ASSERT_TRUE(process_start(p, program, c.args));
    process_close_stdin(p);
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.out, c.expected_stdout);
    if (c.expected_stderr_part.empty())
        EXPECT_EQ(p.err, "");
    else
        EXPECT_NE(p.err.find(c.expected_stderr_part), std::string::npos) << p.err;
    EXPECT_TRUE(p.exited);
    EXPECT_EQ(p.status, 255);
}

// Starts program with args from /bin/sh, after the shell's commands `before` (e.g. "trap '' PIPE")
// and with its redirections (e.g. ">/dev/full", "<&-"): what a user's shell hands a program.
inline bool start_from_shell(Process& process, const std::string& program,
                             const std::string& before, const std::string& redirections,
                             std::vector<std::string> args, const ProcessOptions& options = {}) {
    args.insert(args.begin(), {"-c", before + "\nexec \"$0\" \"$@\" " + redirections, program});
    return process_start(process, "/bin/sh", args, options);
}

// A program under test and the emulated adapter it talks to; all of it ends with the holder.
struct ProgramRun {
    Emulator* emulator = nullptr;
    TempFolder folder; // the run's own, holding the link
    std::string link;  // to the emulator's device
    std::string port;  // the name the program is given for it: the link, or a COM port to it
    Process process;
    ~ProgramRun() {
        process_end(process);
        emulator_stop(emulator);
    }
};

// Starts an emulator with script, and the link the program reaches it through: never the
// pseudo-terminal's own name, which the system hands to another test's emulator once this one
// is gone.
inline void program_run_emulate(ProgramRun& run, const EmulatorScript& script) {
    run.emulator = emulator_start(script);
    ASSERT_NE(run.emulator, nullptr);
    ASSERT_FALSE(run.folder.path.empty());
    run.link = run.folder.path + "/port";
    ASSERT_EQ(symlink(emulator_path(*run.emulator).c_str(), run.link.c_str()), 0);
    run.port = process_port_name(run.link);
}

// The adapter is unplugged while the program runs: the link goes first, so that what the
// program opens next is no device at all.
inline void program_run_unplug(ProgramRun& run) {
    unlink(run.link.c_str());
    emulator_stop(run.emulator);
    run.emulator = nullptr;
}

// Starts an emulator with script, then program with port_option, its port and extra_args.
inline void program_run_start(ProgramRun& run, const std::string& program,
                              const std::string& port_option, const EmulatorScript& script,
                              const std::vector<std::string>& extra_args,
                              const ProcessOptions& options) {
    ASSERT_NO_FATAL_FAILURE(program_run_emulate(run, script));
    std::vector<std::string> args = {port_option, run.port};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    ASSERT_TRUE(process_start(run.process, program, args, options));
}

// Standard error merged into standard output, so a transcript shows both in their order.
inline ProcessOptions merged() {
    ProcessOptions options;
    options.merge_output = true;
    return options;
}

// As merged(), with a pseudo-terminal as standard input.
inline ProcessOptions on_terminal() {
    ProcessOptions options = merged();
    options.stdin_terminal = true;
    return options;
}

// The terminal on the process's standard input is as a fresh one: line editing and echo back.
inline void expect_terminal_restored(const Process& process) {
    termios now{};
    ASSERT_EQ(tcgetattr(process.stdin_fd, &now), 0);
    PtyPair pty = pty_open(false);
    termios fresh{};
    tcgetattr(pty.slave, &fresh);
    pty_close(pty);
    EXPECT_EQ(now.c_lflag, fresh.c_lflag);
    EXPECT_EQ(now.c_iflag, fresh.c_iflag);
    EXPECT_EQ(now.c_cc[VMIN], fresh.c_cc[VMIN]);
}

// What the adapter saw, once it has seen at least `expected` bytes: its thread may still be
// reading the last of them when the program has already ended.
inline std::vector<unsigned char> emulator_saw(Emulator& emulator, std::size_t expected) {
    emulator_wait_received(emulator, expected, test_timeout_ms);
    return emulator_received(emulator);
}
