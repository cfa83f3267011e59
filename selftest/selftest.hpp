#pragma once

#include <cstdio>
#include <map>
#include <string>

// The command line of hvp-selftest, read once into typed values.
struct SelfTestOptions {
    std::string device; // -p, required: the port name
    std::string speed;  // -s, "115200": the speed as given, which the run announces
    int baud;           // the speed as a rate; -1 when it is not one (the line refuses it)
    bool modem;         // -m: an AT modem stands on the line in place of the adapter
    std::string log;    // --log FILE: the production record, one line per board; "" for none
    std::string station;       // --station NAME: written into each line of the record
    std::string operator_name; // --operator NAME: likewise
    bool serial;               // --serial: each board's serial number is asked for
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
    bool judged;        // the screen said PASS or FAIL
    std::string reason; // why no reading could be made (the outcome is ERROR); "" when one was
    std::string serial; // with --serial, as typed; "" for none
};

// What the record knows of one serial number: from the file and from this run.
struct SelfTestSerialHistory {
    int attempts;
    bool first_passed; // its first attempt passed
    bool in_run;       // tested in this run
};

// --log: the production record, a CSV file to which every tested board adds a line. Without
// --log, file is null and only the counts and the serial numbers' attempts are kept.
struct SelfTestLog {
    std::FILE* file;
    std::string path;
    bool old_columns; // the file has the five columns of older versions, and keeps them
    bool plain;       // not a disk file (a pipe, a terminal, a null device): never synced or cut
    std::string station;
    std::string operator_name;
    int boards; // boards tried in this run
    int passed;
    int failed;
    int errors;
    int unnumbered_boards; // of them, boards without a serial number
    int unnumbered_passed; // and of those, the ones that passed
    std::map<std::string, SelfTestSerialHistory> serials;
};

// Opens path for appending: with the header line when the file is new or empty; after an
// existing record, with the columns it has and on a line of its own. Reads the serial numbers
// it holds. Returns 0, or -1 after saying why on standard error.
int selftest_log_open(SelfTestLog& log, const std::string& path);

// The attempt the board with this serial number is at: 1 when the record and this run never
// saw it; 0 without a serial number.
int selftest_log_attempt(const SelfTestLog& log, const std::string& serial);

// Counts the board and, with a file, appends its line and pushes it through to the disk; a
// line that could not be written whole is cut off again. Returns 0, or -1 after saying why on
// standard error.
int selftest_log_board(SelfTestLog& log, const SelfTestBoard& board);

// " Boards tested: N, passed: P, failed: F, errors: E, first-pass yield: ..." and a newline.
std::string selftest_log_summary(const SelfTestLog& log);

// The header lines of the record: the five columns of older versions, and all of today's.
extern const char* const selftest_record_old_header;
extern const char* const selftest_record_header;

// The line for a board in the record's CSV, without its newline. board_number counts the boards
// of this run; attempt is 0 without a serial number.
std::string selftest_record_line(const SelfTestLog& log, const SelfTestBoard& board,
                                 int board_number, int attempt, const std::string& time);

// Takes in the serial numbers of a record in today's columns (text from the file's start).
void selftest_record_history(SelfTestLog& log, const std::string& text);

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string selftest_csv_field(const std::string& text);

// Reads a serial number on one line from the keys, echoing it, until Enter. Returns false when
// Esc or the end of input stopped it.
bool selftest_read_serial(std::string& serial);

// keys_take for the prompts: after a serial number ended by a CR, an LF that comes next is that
// Enter's, not a key.
int selftest_take_key();

// The voltage at the probe for a two-byte reading: worked out in double, held as a float.
float selftest_volts(unsigned reading);

// A board passes strictly above this voltage.
inline constexpr float selftest_pass_volts = 12.0f;
