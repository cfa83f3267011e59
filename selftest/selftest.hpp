#pragma once

#include <string>

// The command line of hvp-selftest, read once into typed values.
struct SelfTestOptions {
    std::string device; // -p, required: the port name
    std::string speed;  // -s, "115200": the speed as given, which the run announces
    int baud;           // the speed as a rate; -1 when it is not one (the line refuses it)
    bool modem;         // -m: an AT modem stands on the line in place of the adapter
};

inline constexpr const char* selftest_default_speed = "115200";

// Prints the banner, reads the options and echoes them. Returns only when a device was given;
// otherwise it ends the process with status -1. An unknown option is reported and passed over.
SelfTestOptions selftest_read_options(int argument_count, char** arguments);

// Prints the usage text, naming the program as program_name.
void selftest_print_help(const char* program_name);

// The operator's loop, one pass per board, until Esc. Returns -1 when the port cannot be opened
// or the adapter refuses binary mode; after Esc it ends the process itself with status -1.
int selftest_run(const SelfTestOptions& options);

// The voltage at the probe for a two-byte reading: worked out in double, held as a float.
float selftest_volts(unsigned reading);

// A board passes strictly above this voltage.
inline constexpr float selftest_pass_volts = 12.0f;
