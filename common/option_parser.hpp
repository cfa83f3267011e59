#pragma once

#include <span>

// Reads a command line the same way on every platform: options may stand anywhere among the
// words, and words that are not options (operands) are passed over and not reported. Parsing stops
// at "--", and also at the first operand when POSIXLY_CORRECT is set or the short options begin
// with '+'. Errors are reported on standard error, worded as the GNU C library words them, so the
// programs print the same on every platform. One rule is ours: an empty file name (see
// LongOption::names_file) is an error like a missing one.

// A long option: "--name", "--name=value" or "--name value". A unique prefix of the name does too.
struct LongOption {
    const char* name;    // without the leading "--"
    bool takes_argument; // an argument is required; without it, "--name=value" is an error
    int value;           // what option_next returns for the option
    // The argument names a file: an empty one is an error too ("--name=", "--name ''"), so that
    // a record or a capture is never dropped because its name came out empty.
    bool names_file = false;
};

// One pass over a command line. Start every pass from a fresh OptionParser{}.
struct OptionParser {
    const char* argument; // the argument of the option just returned, else null
    int error_option;     // after '?': the short option at fault, the long option's value, or 0
    bool error_long;      // after '?': the word at fault was a long option ("--name")
    int index;            // the next word to read; 0 before the first call
    const char* cluster;  // the short options still to read in the current word, or null
    bool in_order;        // stop at the first operand
    bool quiet;           // print no diagnostic (a first look at the command line)
};

// Reads the next option. short_options holds the option letters, each followed by ':' when it
// takes an argument, after an optional leading '+'. With no long options, "--name" is read as a
// cluster of short options, as the C library's getopt does. Returns the option letter or the long
// option's value, '?' after printing a diagnostic, or -1 once the options have ended.
int option_next(OptionParser& parser, int argument_count, const char* const* arguments,
                const char* short_options, std::span<const LongOption> long_options);
