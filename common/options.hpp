#pragma once

#include "option_parser.hpp"

#include <span>
#include <string>

// What the command lines of the two programs share: the banner, the rule that an option is given
// at most once, the way an unusable command line ends, and how option values are read.

// The banner: a rule of `width` hyphens, an empty line, a line holding a blank, the web address,
// an empty line, the rule again.
void options_print_banner(int width);

// Keeps argument in field the first time; the second time prints complaint as a line and fails.
void options_store_once(std::string& field, bool& is_set, const char* argument,
                        const char* complaint);

// Ends the process with status -1, as every command line that cannot be used ends.
[[noreturn]] void options_fail();

// The speed text as a baud rate: a whole decimal number above zero that fits an int, digits
// only; -1 for anything else. The programs hand -1 on like any rate: the line refuses it.
int options_baud(const std::string& text);

// Whether a 0-or-1 option is on: only its first character counts, and only a "1".
bool options_on(const std::string& text);

// Whether the option whose value is `wanted` is on the command line: a first look that prints
// nothing, for the options that change what the program prints from the start.
bool options_given(int argument_count, char** arguments, const char* short_options,
                   std::span<const LongOption> long_options, int wanted);

// The argument of the option whose value is `wanted`, the first time it is given, or null: a
// first look that prints nothing.
const char* options_argument(int argument_count, char** arguments, const char* short_options,
                             std::span<const LongOption> long_options, int wanted);

// --version: prints "NAME VERSION" and ends the process with status 0.
[[noreturn]] void options_print_version(const char* name);
