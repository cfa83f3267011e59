// hvp-selftest end to end: the built program as a process, the emulated adapter on a
// pseudo-terminal, the operator's keys on its standard input.

#include "program_run.hpp"
#include "version.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <regex>
#include <string>
#include <termios.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

using Bytes = std::vector<unsigned char>;

const std::string program = HVP_SELFTEST_PATH;
const std::string banner_rule(55, '-');
const std::string help_rule(73, '-');
const std::string banner =
    banner_rule + "\n\n \n https://tapwright.example.org/tools\n\n" + banner_rule + "\n";
const std::string help = "\n\n" + help_rule + "\n\n Usage:              \n   " + program +
                         "  -p device \n \n   Example Usage:   " + program + " COM1 -R \n\n" +
                         "           Where: -p device is port e.g.  COM1  \n"
                         "                  -s Speed is port Speed  default is 115200 \n\n\n" +
                         help_rule + "\n";

const std::string first_prompt = " Press Esc to exit, any other key to start the self-test \n\n";
const std::string starting = "\n Starting test! \n";
const std::string pause_prompt = " Press any key to continue...\n";
const std::string next_prompt =
    "\n Connect another Tapwright HVP adapter and press any key to start "
    "the self-test again \n Or hit ESC key to stop and end the test.\n";
const std::string new_test =
    "\n--------------------- Starting a new Test-------------------------\n";
const std::string stopping = "\n Esc key hit, stopping...\n (Bye for now!)\n";
const std::string pass = " Voltage Measurement: ****PASS**** \n";
const std::string fail = " Voltage Measurement: !!!!FAIL!!!! \n";
const std::string twelve_volts = " ADC Reading: 12 Volts\n";

std::string echo(const std::string& device) {
    return "\n Parameters used: Device = " + device + ",  Speed = 115200\n\n";
}

// One board up to the measurement reply.
std::string board_start(const std::string& device) {
    return " Opening Tapwright on " + device +
           " at 115200bps...\n"
           " Configuring Tapwright HVP Adapter...\n"
           " Going into Binary Bitbang mode.. Entering binary mode...\n"
           "ok\n configuring pins as output...\n sending 01000000...OK\n"
           " Sending Command to power on : 11000000....OK\n"
           " Voltage Probe measurement...,sending 00010100 \n";
}

// One whole board: up to the measurement, the verdict, powering off.
std::string board(const std::string& device, const std::string& verdict) {
    return board_start(device) + verdict + " powering off.....\n";
}

// The bytes the adapter sees for one board.
const Bytes board_bytes = {0x00, 0x40, 0xC0, 0x14, 0x80, 0x0F};

using SelfTest = ProgramRun;

void start(SelfTest& test, const EmulatorScript& script,
           const std::vector<std::string>& extra_args = {},
           const ProcessOptions& options = merged()) {
    program_run_start(test, program, "-p", script, extra_args, options);
}

// Waits until the whole output so far is `expected` (a prompt at its end), then presses key.
void answer(SelfTest& test, const std::string& expected, const std::string& key) {
    ASSERT_TRUE(process_wait_for_output(test.process, expected, test_timeout_ms))
        << test.process.out;
    ASSERT_EQ(test.process.out, expected);
    ASSERT_TRUE(process_send(test.process, key));
}

void expect_stopped(SelfTest& test, const std::string& expected) {
    ASSERT_TRUE(process_wait(test.process, test_timeout_ms));
    EXPECT_EQ(test.process.out, expected);
    EXPECT_TRUE(test.process.exited);
    EXPECT_EQ(test.process.status, 255);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// --- Command line ---------------------------------------------------------------------------

class SelfTestCommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(SelfTestCommandLine, PrintsExactlyAndFails) {
    expect_command_line(program, GetParam());
}

const std::string no_port = " No serial port set\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, SelfTestCommandLine,
    testing::Values(CommandLineCase{"NoArgument", {}, banner + " Help Menu\n" + help, ""},
                    CommandLineCase{"UnknownOptionThenNormalStart",
                                    {"-x", "-p", "/nonexistent/COM2"},
                                    banner + " Invalid argument ?" + help +
                                        echo("/nonexistent/COM2") + first_prompt + stopping,
                                    "-- 'x'"},
                    CommandLineCase{"DeviceOptionLast",
                                    {"-p"},
                                    banner + " Invalid argument ?" + help + no_port + help,
                                    "-- 'p'"},
                    CommandLineCase{"DeviceTwice",
                                    {"-p", "COM2", "-p", "COM3"},
                                    banner + " Device/PORT error!\n",
                                    ""},
                    CommandLineCase{"SpeedTwice",
                                    {"-s", "115200", "-s", "115200", "-p", "COM2"},
                                    banner + " Speed should be set: eg  115200 \n",
                                    ""},
                    // No board is tested without the record that --log asks for.
                    CommandLineCase{"LogEmpty", {"-p", "COM2", "--log", ""}, banner, "file name"},
                    CommandLineCase{"LogEquals", {"--log=", "-p", "COM2"}, banner, "file name"},
                    CommandLineCase{"LogMissing", {"-p", "COM2", "--log"}, banner, "an argument"},
                    CommandLineCase{"MisspeltLog", {"--logg", "x", "-p", "COM2"}, banner, "--logg"},
                    CommandLineCase{"ModemAlone", {"-m"}, banner + no_port + help, ""},
                    CommandLineCase{"ModemTwice", {"-m", "-m"}, banner + no_port + help, ""},
                    CommandLineCase{"LogWithModemTest",
                                    {"-p", "COM2", "-m", "--log", "/nonexistent/boards.csv"},
                                    banner,
                                    " --log cannot be used with -m: a modem test puts no board "
                                    "on the production record\n"},
                    CommandLineCase{"OperatorOnTwoLines",
                                    {"-p", "COM2", "--operator", "Ann\nBob"},
                                    banner,
                                    " --operator takes a name on one line\n"},
                    CommandLineCase{"BareDeviceIsPassedOver",
                                    {"/nonexistent/COM2", "-p", "/nonexistent/COM3"},
                                    banner + echo("/nonexistent/COM3") + first_prompt + stopping,
                                    ""}),
    case_name);

// --- The cycle --------------------------------------------------------------------------------

// A passing board, then a failing one just below the threshold: the first-board pause only
// after the first, the port opened and closed for each.
TEST(SelfTestCycle, PassingThenFailingBoard) {
    EmulatorScript script;
    script.readings = {{0x47, 0x46}, {0x47, 0x45}};
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, script));
    std::string expected = banner + echo(test.port) + first_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "a"));
    expected += starting + board(test.port, twelve_volts + pass) + pause_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "b"));
    expected += next_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "c"));
    expected += new_test + board(test.port, twelve_volts + fail) + next_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "\x1b"));
    expected += stopping;
    ASSERT_NO_FATAL_FAILURE(expect_stopped(test, expected));
    EXPECT_EQ(emulator_saw(*test.emulator, 2 * board_bytes.size()),
              concat({board_bytes, board_bytes}));
}

struct ReadingCase {
    const char* name;
    std::vector<Bytes> readings;
    std::string verdict;
};

class SelfTestReading : public testing::TestWithParam<ReadingCase> {};

TEST_P(SelfTestReading, IsJudged) {
    const ReadingCase& c = GetParam();
    EmulatorScript script;
    script.readings = c.readings;
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, script));
    std::string expected = banner + echo(test.port) + first_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "a"));
    expected += starting + board(test.port, c.verdict) + pause_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "b"));
    expected += next_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "\x1b"));
    ASSERT_NO_FATAL_FAILURE(expect_stopped(test, expected + stopping));
    // A bad reading still powers the board off and closes the session.
    EXPECT_EQ(emulator_saw(*test.emulator, board_bytes.size()), board_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelfTestReading,
    testing::Values(
        ReadingCase{
            "LowByteOnlyIsUnsignedAndTwoWide", {{0x00, 0x80}}, " ADC Reading:  0 Volts\n" + fail},
        ReadingCase{"HighBytesAreUnsigned", {{0xFF, 0xFF}}, " ADC Reading: 43 Volts\n" + pass},
        ReadingCase{"OneByte", {{0x47}}, " Expecting 2 bytes returned but got 1 instead\n" + fail},
        ReadingCase{"Silence", {{}}, " Expecting 2 bytes returned but got -1 instead\n" + fail}),
    case_name);

TEST(SelfTestCycle, EscAtTheFirstPromptStopsBeforeAnyBoard) {
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, EmulatorScript{}));
    const std::string expected = banner + echo(test.port) + first_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "\x1b"));
    ASSERT_NO_FATAL_FAILURE(expect_stopped(test, expected + stopping));
    EXPECT_TRUE(emulator_received(*test.emulator).empty());
}

// Esc at the first-board pause is only "any key"; an arrow key at a prompt is not Esc.
TEST(SelfTestCycle, EscAtThePauseAndArrowKeysGoOn) {
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, EmulatorScript{}));
    std::string expected = banner + echo(test.port) + first_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "\x1b[A"));
    expected += starting + board(test.port, twelve_volts + pass) + pause_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "\x1b"));
    expected += next_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "\x1b[B"));
    expected += new_test + board(test.port, twelve_volts + pass) + next_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "\x1b"));
    expect_stopped(test, expected + stopping);
}

// A scripted run with nothing more to say ends instead of hanging: end of input passes the
// first-board pause and stops at the next prompt.
TEST(SelfTestCycle, EndOfInputCountsAsEsc) {
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, EmulatorScript{}));
    std::string expected = banner + echo(test.port) + first_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "a"));
    process_close_stdin(test.process);
    expected +=
        starting + board(test.port, twelve_volts + pass) + pause_prompt + next_prompt + stopping;
    ASSERT_NO_FATAL_FAILURE(expect_stopped(test, expected));
    EXPECT_EQ(emulator_saw(*test.emulator, board_bytes.size()), board_bytes);
}

TEST(SelfTestCycle, RefusedHandshakePowersNothing) {
    EmulatorScript script;
    script.handshake_from_attempt = 0;
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, script));
    ASSERT_NO_FATAL_FAILURE(answer(test, banner + echo(test.port) + first_prompt, "a"));
    ASSERT_TRUE(process_wait(test.process, test_timeout_ms));
    const std::string tail = " Tapwright cannot switch to binary bitbang mode :( \n";
    ASSERT_GE(test.process.out.size(), tail.size());
    EXPECT_EQ(test.process.out.substr(test.process.out.size() - tail.size()), tail);
    EXPECT_EQ(test.process.status, 255);
    EXPECT_EQ(emulator_saw(*test.emulator, 26), Bytes(26, 0x00));
}

TEST(SelfTestCycle, PortGoneBeforeTheSecondBoard) {
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, EmulatorScript{}, {}, {}));
    ASSERT_NO_FATAL_FAILURE(answer(test, banner + echo(test.port) + first_prompt, "a"));
    ASSERT_TRUE(process_wait_for_output(test.process, pause_prompt, test_timeout_ms));
    ASSERT_TRUE(process_send(test.process, "b"));
    ASSERT_TRUE(process_wait_for_output(test.process, next_prompt, test_timeout_ms));
    program_run_unplug(test);
    ASSERT_TRUE(process_send(test.process, "c"));
    ASSERT_TRUE(process_wait(test.process, test_timeout_ms));
    EXPECT_TRUE(begins_with(test.process.err, missing_port(test.port))) << test.process.err;
    EXPECT_EQ(test.process.status, 255);
    const std::string tail = new_test + " Opening Tapwright on " + test.port + " at 115200bps...\n";
    ASSERT_GE(test.process.out.size(), tail.size());
    EXPECT_EQ(test.process.out.substr(test.process.out.size() - tail.size()), tail);
}

TEST(SelfTestCycle, OutputThatCannotBeWrittenSaysWhy) {
    Process p;
    ASSERT_TRUE(start_from_shell(p, program, "", ">/dev/full", {"-p", "/nonexistent/ttyUSB7"}));
    process_close_stdin(p);
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.err, " Error writing output: No space left on device\n");
    EXPECT_EQ(p.status, 255);
}

// --- The production record --------------------------------------------------------------------

std::string file_text(const std::string& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
        std::fclose(file);
    }
    return text;
}

// A record's text with each time stamp, which must be whole, put as TIME.
std::string timeless(const std::string& text) {
    static const std::regex stamp(
        "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}");
    return std::regex_replace(text, stamp, "TIME");
}

const std::string old_header = "time,board,reading,volts,verdict\n";
const std::string header = "time,board,reading,volts,verdict,serial,station,operator,version,"
                           "limit,volts_exact,outcome,attempt,reason\n";
// A line of today's record after its time: the first five columns, the serial number and the
// station and operator, then the rest after the version.
std::string line(const std::string& first, const std::string& who, const std::string& rest) {
    return "TIME," + first + "," + who + "," + tapwright_version + ",12.0," + rest + "\n";
}
const std::string passed_line = line("1,0x4746,12,PASS", ",,", "12.000,PASS,,");
std::string tally(int boards, int passed, int failed, int errors, const std::string& yield) {
    return " Boards tested: " + std::to_string(boards) + ", passed: " + std::to_string(passed) +
           ", failed: " + std::to_string(failed) + ", errors: " + std::to_string(errors) +
           ", first-pass yield: " + yield + "\n";
}

// A private folder holding the record, made with content; gone with what the run left there.
struct RecordFolder {
    TempFolder folder;
    std::string path = folder.path + "/boards.csv";
    explicit RecordFolder(const std::string& content = "") {
        if (!content.empty()) std::ofstream(path, std::ios::binary) << content;
    }
};

// One board passes, one fails, then the run ends: every board is on the record whatever ends
// it, and the tally is the last word on standard error.
const std::string who = ",\"Line 2, bench 3\",Ann"; // serial (none), station, operator
struct LogCase {
    const char* name;
    const char* ending; // "esc", "sigterm", or "lost" (the port is gone at the next board)
    std::string last;   // what the ending adds to the record
    std::string tally;
};

class SelfTestLogged : public testing::TestWithParam<LogCase> {};

TEST_P(SelfTestLogged, EveryBoardIsOnTheRecord) {
    const LogCase& c = GetParam();
    RecordFolder record;
    ASSERT_FALSE(record.folder.path.empty());
    EmulatorScript script;
    script.readings = {{0x47, 0x46}, {0x00, 0x80}};
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(
        start(test, script,
              {"--log", record.path, "--station", "Line 2, bench 3", "--operator=Ann"}, {}));
    ASSERT_TRUE(process_send(test.process, "abc")); // start, go on after the pause, next board
    ASSERT_TRUE(process_wait_for_output(test.process, fail + " powering off.....\n" + next_prompt,
                                        test_timeout_ms));
    if (c.ending == std::string("esc")) process_send(test.process, "\x1b");
    if (c.ending == std::string("sigterm")) process_signal(test.process, SIGTERM);
    if (c.ending == std::string("lost")) {
        program_run_unplug(test);
        process_send(test.process, "d");
    }
    ASSERT_TRUE(process_wait(test.process, test_timeout_ms));

    EXPECT_EQ(timeless(file_text(record.path)),
              header + line("1,0x4746,12,PASS", who, "12.000,PASS,,") +
                  line("2,0x0080,0,FAIL", who, "0.084,FAIL,,") + c.last);
    EXPECT_TRUE(test.process.err.ends_with(c.tally)) << test.process.err;
    // The options that keep the record leave the screen as it is without them.
    if (c.ending == std::string("esc")) {
        EXPECT_EQ(test.process.out, banner + echo(test.port) + first_prompt + starting +
                                        board(test.port, twelve_volts + pass) + pause_prompt +
                                        next_prompt + new_test +
                                        board(test.port, " ADC Reading:  0 Volts\n" + fail) +
                                        next_prompt + stopping);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, SelfTestLogged,
    testing::Values(LogCase{"Esc", "esc", "", tally(2, 1, 1, 0, "1 of 2 boards (50.0%)")},
                    LogCase{"Sigterm", "sigterm", "", tally(2, 1, 1, 0, "1 of 2 boards (50.0%)")},
                    LogCase{"LostPort", "lost",
                            line("3,,,", who, ",ERROR,,port did not open: no such device"),
                            tally(3, 1, 1, 1, "1 of 3 boards (33.3%)")}),
    case_name);

// With --serial, each board's number is asked after its key, echoed as it is typed, and a retest
// is told and counted, also against the boards already on the record; Esc stops there too.
TEST(SelfTestSerials, RetestsAreCountedAndTheYieldIsTold) {
    const std::string earlier = ",1,0x4746,12,PASS,SN2,,,1.0.0,12.0,12.000,PASS,1,\n";
    RecordFolder record(header + "2026-12-08T10:56:18+01:00" + earlier);
    ASSERT_FALSE(record.folder.path.empty());
    EmulatorScript script;
    script.readings = {{0x00, 0x80}, {0x47, 0x46}};
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, script, {"--serial", "--log", record.path}, {}));
    const std::string asked = " Serial number (Enter for none, Esc to stop): ";
    std::string expected = banner + echo(test.port) + first_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "a"));
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += asked, "SN9\b1\n"));
    expected += "SN9\b \b1\n" + starting + board(test.port, " ADC Reading:  0 Volts\n" + fail) +
                pause_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "b"));
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += next_prompt, "c"));
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += asked, "SN1\n"));
    expected += "SN1\nboard SN1: attempt 2\n" + new_test + board(test.port, twelve_volts + pass);
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += next_prompt, "d"));
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += asked, " SN2 \r\n")); // one Enter
    expected += " SN2 \nboard SN2: attempt 2\n" + new_test + board(test.port, twelve_volts + pass);
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += next_prompt, "e"));
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += asked, "\n")); // no serial number
    expected += "\n" + new_test + board(test.port, twelve_volts + pass);
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += next_prompt, "f"));
    ASSERT_NO_FATAL_FAILURE(answer(test, expected += asked, "\x1b"));
    ASSERT_NO_FATAL_FAILURE(expect_stopped(test, expected + stopping));
    EXPECT_EQ(timeless(file_text(record.path)),
              header + "TIME" + earlier + line("1,0x0080,0,FAIL", "SN1,,", "0.084,FAIL,1,") +
                  line("2,0x4746,12,PASS", "SN1,,", "12.000,PASS,2,") +
                  line("3,0x4746,12,PASS", "SN2,,", "12.000,PASS,2,") +
                  line("4,0x4746,12,PASS", ",,", "12.000,PASS,,"));
    EXPECT_EQ(test.process.err, tally(4, 3, 1, 0, "2 of 3 boards (66.7%)"));
}

// What a run does to a record it finds, or to a file that is none: one board that passes, then
// Esc. LOG in the texts stands for the record's path.
struct RecordCase {
    const char* name;
    std::string content; // the record before the run
    std::string log;     // --log; "" for the record in a private folder
    std::string before;  // shell commands before the program starts
    std::string added;   // what the run adds to the record
    std::string err;
};

class SelfTestRecord : public testing::TestWithParam<RecordCase> {};

TEST_P(SelfTestRecord, IsKeptWhole) {
    const RecordCase& c = GetParam();
    RecordFolder record(c.content);
    ASSERT_FALSE(record.folder.path.empty());
    const std::string log = c.log.empty() ? record.path : c.log;
    SelfTest test;
    if (c.before.empty()) {
        ASSERT_NO_FATAL_FAILURE(start(test, EmulatorScript{}, {"--log", log}, {}));
    } else {
        ASSERT_NO_FATAL_FAILURE(program_run_emulate(test, EmulatorScript{}));
        ASSERT_TRUE(
            start_from_shell(test.process, program, c.before, "", {"-p", test.port, "--log", log}));
    }
    process_send(test.process, "ab\x1b"); // a run refused at once has stopped reading
    ASSERT_TRUE(process_wait(test.process, test_timeout_ms));
    EXPECT_EQ(test.process.status, 255);
    EXPECT_EQ(timeless(file_text(record.path)), timeless(c.content) + c.added);
    EXPECT_EQ(timeless(test.process.err),
              std::regex_replace(c.err, std::regex("LOG"), log)); // our paths hold no "$"
}

const std::string one_passed = tally(1, 1, 0, 0, "1 of 1 boards (100.0%)");
const std::string stamp = "2026-12-08T10:56:18+01:00";

INSTANTIATE_TEST_SUITE_P(
    Cases, SelfTestRecord,
    testing::Values(
        RecordCase{"OlderColumnsAreKept", old_header + stamp + ",1,0x4746,12,PASS\n", "", "",
                   "TIME,1,0x4746,12,PASS\n",
                   " Log LOG has the five columns of older versions: its new lines keep to them, "
                   "without serial, station, operator and outcome\n" +
                       one_passed},
        RecordCase{"PartLineIsEndedFirst", header + stamp + ",1,0x47", "", "", "\n" + passed_line,
                   " Log LOG does not end with a whole line: a new line is begun\n" + one_passed},
        RecordCase{"ForeignFileIsRefused", "name,value\n", "", "", "",
                   " Error opening log LOG: its first line is not the header of a record of "
                   "hvp-selftest\n"},
        // A full disk, as a file size limit: what part of the line reached the file is cut off.
        RecordCase{"FailedWriteIsCutBack", header + repeated(stamp + passed_line.substr(4), 12), "",
                   "trap '' XFSZ; ulimit -f 2", "",
                   " Error writing log LOG: File too large\n" + one_passed},
        RecordCase{"NullDevice", "", "/dev/null", "", "", one_passed},
        RecordCase{"StandardErrorIntoAPipe", "", "/dev/stderr", "", "",
                   header + passed_line + one_passed}),
    case_name);

TEST(SelfTestLogged, RecordThatCannotBeWrittenStopsBeforeTheFirstBoard) {
    Process p;
    ASSERT_TRUE(process_start(p, program, {"-p", "/nonexistent/ttyUSB7", "--log", "/dev/full"}));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.err, " Error writing log /dev/full: No space left on device\n");
    EXPECT_EQ(p.out, banner + echo("/nonexistent/ttyUSB7"));
    EXPECT_EQ(p.status, 255);
}

TEST(SelfTestCycle, ModemTest) {
    EmulatorScript script;
    script.modem = true;
    script.ati7 = "\r\nModem options text\r\nOK\r\n";
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, script, {"-m"}));
    std::string expected = banner + echo(test.port) + first_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "a"));
    expected += starting + " Opening Tapwright on " + test.port + " at 115200bps...\n" + "\n " +
                script.ati7 + "\n Voltage Probe measurement...,sending 00010100 \n" +
                " ADC Reading: 13 Volts\n" + pass + " powering off.....\n" +
                " Modem responded with -1 byte and with a value of 0X0\n" + pause_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "b"));
    expected += next_prompt;
    ASSERT_NO_FATAL_FAILURE(answer(test, expected, "\x1b"));
    ASSERT_NO_FATAL_FAILURE(expect_stopped(test, expected + stopping));
    const std::string query = "ATI7\r";
    const Bytes saw = concat({Bytes(query.begin(), query.end()), Bytes{0x14, 0x80, 0x0F}});
    EXPECT_EQ(emulator_saw(*test.emulator, saw.size()), saw);
}

// --- The terminal on standard input ---------------------------------------------------------

TEST(SelfTestTerminal, RestoredAfterEsc) {
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, EmulatorScript{}, {}, on_terminal()));
    ASSERT_TRUE(process_wait_for_output(test.process, first_prompt, test_timeout_ms));
    termios running{};
    ASSERT_EQ(tcgetattr(test.process.stdin_fd, &running), 0);
    EXPECT_EQ(running.c_lflag & (ICANON | ECHO), 0u);
    ASSERT_TRUE(process_send(test.process, "\x1b"));
    ASSERT_TRUE(process_wait(test.process, test_timeout_ms));
    EXPECT_EQ(test.process.status, 255);
    expect_terminal_restored(test.process);
}

TEST(SelfTestTerminal, RestoredAfterSigterm) {
    SelfTest test;
    ASSERT_NO_FATAL_FAILURE(start(test, EmulatorScript{}, {}, on_terminal()));
    ASSERT_TRUE(process_wait_for_output(test.process, first_prompt, test_timeout_ms));
    process_signal(test.process, SIGTERM);
    ASSERT_TRUE(process_wait(test.process, test_timeout_ms));
    EXPECT_FALSE(test.process.exited);
    EXPECT_EQ(test.process.signal, SIGTERM);
    expect_terminal_restored(test.process);
}

} // namespace
