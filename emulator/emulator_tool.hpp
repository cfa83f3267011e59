#pragma once

// tapwright-emu: the emulated adapter as a program, so that spi-sniffer and hvp-selftest can be
// tried, demonstrated and debugged without the hardware.

#include "emulator.hpp"

#include <string>

inline constexpr char emulator_program[] = "tapwright-emu";
inline constexpr int emulator_exit_ok = 0;
inline constexpr int emulator_exit_failure = 1;
inline constexpr int emulator_exit_usage = 2;
inline constexpr unsigned long long emulator_default_rate = 2000;

struct EmulatorOptions {
    EmulatorScript script;
    std::string link;
    std::string stream_file;
    unsigned long long rate = emulator_default_rate;
    bool once = false;
    bool verbose = false;
};

// Fills options from the command line. Returns 0 to run, 1 when the help or the version was
// shown, -1 after a message for a bad command line.
int emulator_parse_options(int argc, char** argv, EmulatorOptions& options);

// Pushes out what standard output holds (the help, the version). Returns 0, or -1 after saying on
// standard error that it could not be written.
int emulator_flush_output();

// Points the user at --help after a bad command line.
void emulator_usage_hint();

// Serves the emulator on a new pseudo-terminal until stopped. Returns the exit status.
int emulator_run(EmulatorOptions& options);
