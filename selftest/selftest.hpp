#pragma once

#include <cstdio>
#include <string>

// The command line of hvp-selftest, read once into typed values.
struct SelfTestOptions {
    std::string device; // -p, required: the port name
    std::string speed;  // -s, "115200": the speed as given, which the run announces
    int baud;           // the speed as a rate; -1 when it is not one (the line refuses it)
    bool modem;         // -m: an AT modem stands on the line in place of the adapter
    std::string log;    // --log FILE: the production record, one line per board; "" for none
};

inline constexpr const char* selftest_default_speed = "115200";

// Prints the banner, reads the options and echoes them (with --version: "hvp-selftest VERSION"
// alone, status 0). Returns only when a device was given;
// otherwise it ends the process with status -1. An unknown option is reported and passed over.
SelfTestOptions selftest_read_options(int argument_count, char** arguments);

// Prints the usage text, naming the program as program_name.
void selftest_print_help(const char* program_name);

// The operator's loop, one pass per board, until Esc. Returns -1 when the port cannot be opened
// or the adapter refuses binary mode; after Esc it ends the process itself with status -1.
int selftest_run(const SelfTestOptions& options);

// What was measured on one board.
struct SelfTestBoard {
    bool has_reading; // two bytes came (or the modem test's fixed reading stood in)
    unsigned reading; // high byte first
    float volts;
    bool pass;
};

// --log: the production record, a CSV file to which every tested board adds a line.
struct SelfTestLog {
    std::FILE* file; // null without --log
    std::string path;
    int boards;
    int passed;
};

// Opens path for appending, with the header line when the file is new or empty, and makes sure
// it can be written. Returns 0, or -1 after saying why on standard error.
int selftest_log_open(SelfTestLog& log, const std::string& path);

// Appends the board's line ("2026-12-08T10:56:18+01:00,1,0x4746,12,PASS": local time with its UTC
// offset, the board's number in this run, the raw reading, the volts as printed, the verdict)
// and pushes it through to the disk. Returns 0, or -1 after saying why on standard error.
int selftest_log_board(SelfTestLog& log, const SelfTestBoard& board);

// " Boards tested: N, passed: P, failed: F" and a newline.
std::string selftest_log_summary(const SelfTestLog& log);

// The voltage at the probe for a two-byte reading: worked out in double, held as a float.
float selftest_volts(unsigned reading);

// A board passes strictly above this voltage.
inline constexpr float selftest_pass_volts = 12.0f;
