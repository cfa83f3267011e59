// spi-sniffer end to end: the built program as a process, the emulated adapter on a
// pseudo-terminal, keys on its standard input.

#include "program_run.hpp"
#include "sniff_text.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <random>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

using Bytes = std::vector<unsigned char>;

const std::string program = SPI_SNIFFER_PATH;
const std::string rule(77, '-');
const std::string banner = rule + "\n\n \n https://tapwright.example.org/tools\n\n" + rule + "\n";

std::string help() {
    return "\n\n Help Menu\n Usage:              \n   " + program + "  -d device -e 1 -p 0 \n \n" +
           "   Example Usage:   " + program + " COM1 -s Speed -e 1 -p 0 -r 1\n\n" +
           "           Where: -d device is port e.g.  COM1  \n"
           "                  -s Speed is port Speed  default is 115200 \n"
           "                  -e ClockEdge is 0 or 1  default is 1 \n"
           "                  -p Polarity  is 0 or 1  default is 0 \n"
           "                  -r RawData  is 0 or 1  default is 0 \n\n\n" +
           rule + "\n";
}

std::string echo(const std::string& device, const std::string& edge = "1",
                 const std::string& polarity = "0", const std::string& raw = "0") {
    return "\n Parameters used:\n Device = " + device + ",  Speed = 115200, Clock Edge= " + edge +
           ", Polarity= " + polarity + " RawData= " + raw + " \n\n";
}

// Everything a run prints up to the first sniffed byte, standard error merged in.
std::string start_transcript(const std::string& device, const std::string& edge = "1",
                             const std::string& polarity = "0", const std::string& raw = "0") {
    std::string bits;
    if (edge == "1") bits += " CKE=1";
    if (polarity == "1") bits += " CKP=1";
    return banner + echo(device, edge, polarity, raw) + " Opening Tapwright on " + device +
           " at 115200bps...\n Starting SPI sniffer...\n Configuring Tapwright...\n"
           " Entering binary mode...\n Switching to SPI mode\n"
           " Setting Clockedge/Polarity ......" +
           bits + "OK\n";
}

struct Sniff {
    Emulator* emulator = nullptr;
    std::string port; // the name the program is given for the emulator's device
    Process process;
    ~Sniff() {
        process_end(process);
        emulator_stop(emulator);
    }
};

void start(Sniff& sniff, const EmulatorScript& script, std::vector<std::string> extra_args,
           const ProcessOptions& options = merged()) {
    sniff.emulator = emulator_start(script);
    ASSERT_NE(sniff.emulator, nullptr);
    sniff.port = process_port_name(emulator_path(*sniff.emulator));
    std::vector<std::string> args = {"-d", sniff.port};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    ASSERT_TRUE(process_start(sniff.process, program, args, options));
}

// Presses a key once the expected output is there and checks the run ends with status 0.
void end_with_key(Sniff& sniff, const std::string& expected_output) {
    EXPECT_TRUE(process_wait_for_output(sniff.process, expected_output, run_timeout_ms));
    ASSERT_TRUE(process_send(sniff.process, "q"));
    ASSERT_TRUE(process_wait(sniff.process, run_timeout_ms));
    EXPECT_TRUE(sniff.process.exited);
    EXPECT_EQ(sniff.process.status, 0);
}

// --- Command line ---------------------------------------------------------------------------

struct CommandLineCase {
    const char* name;
    std::vector<std::string> args;
    std::string expected_stdout;
    std::string expected_stderr_part; // the parser's diagnostic, when there is one
};

class SnifferCommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(SnifferCommandLine, PrintsExactlyAndFails) {
    const CommandLineCase& c = GetParam();
    Process p;
    ASSERT_TRUE(process_start(p, program, c.args));
    ASSERT_TRUE(process_wait(p, run_timeout_ms));
    EXPECT_EQ(p.out, c.expected_stdout);
    if (c.expected_stderr_part.empty()) {
        EXPECT_EQ(p.err, "");
    } else {
        EXPECT_NE(p.err.find(c.expected_stderr_part), std::string::npos) << p.err;
    }
    EXPECT_TRUE(p.exited);
    EXPECT_EQ(p.status, 255);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnifferCommandLine,
    testing::Values(
        CommandLineCase{"NoArgument", {}, banner + help(), ""},
        CommandLineCase{
            "DeviceTwice", {"-d", "COM3", "-d", "COM4"}, banner + "Device/PORT error!\n", ""},
        CommandLineCase{
            "EdgeTwice", {"-e", "0", "-e", "1"}, banner + "Clock Edge should be 0 or 1\n", ""},
        CommandLineCase{
            "PolarityTwice", {"-p", "0", "-p", "1"}, banner + "Polarity must be 0 or 1\n", ""},
        CommandLineCase{
            "RawTwice", {"-r", "0", "-r", "0"}, banner + "Raw Data should be 0 or 1\n", ""},
        CommandLineCase{"SpeedTwice",
                        {"-s", "9600", "-d", "COM1", "-s", "9600"},
                        banner + "Speed should be set: eg  115200 \n",
                        ""},
        CommandLineCase{"UnknownOption", {"-x"}, banner + " Invalid argument ?" + help(), "-- 'x'"},
        CommandLineCase{
            "MissingArgument", {"-d"}, banner + " Invalid argument ?" + help(), "-- 'd'"},
        CommandLineCase{
            "NoDevice", {"-s", "115200"}, banner + " No serial port set\n" + help(), ""},
        CommandLineCase{
            "BareDeviceIsPassedOver", {"COM1"}, banner + " No serial port set\n" + help(), ""},
        CommandLineCase{"DeviceFirstIsPassedOver",
                        {"/nonexistent/COM1", "-d", "/nonexistent/COM3", "-e", "7"},
                        banner + echo("/nonexistent/COM3", "7") +
                            " Opening Tapwright on /nonexistent/COM3 at 115200bps...\n",
                        " Error opening serial port\n"},
        CommandLineCase{"WordsBetweenOptionsArePassedOver",
                        {"COM1", "-d", "COM5", "junk", "-e", "0"},
                        banner + echo("COM5", "0") + " Opening Tapwright on COM5 at 115200bps...\n",
                        " Error opening serial port\n"},
        CommandLineCase{"ModemEcho",
                        {"-d", "/nonexistent/COM5", "-m"},
                        banner + echo("/nonexistent/COM5") +
                            " Opening Tapwright on /nonexistent/COM5 at 115200bps...\n",
                        " Error opening serial port\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The parser's diagnostic goes to standard error behind our back: what was printed before it
// must already be out, so the two streams interleave in the order written.
TEST(SnifferOutputOrder, ParserDiagnosticFollowsBanner) {
    Process p;
    ASSERT_TRUE(process_start(p, program, {"-x"}, merged()));
    ASSERT_TRUE(process_wait(p, run_timeout_ms));
    const auto diagnostic = p.out.find("-- 'x'");
    ASSERT_NE(diagnostic, std::string::npos) << p.out;
    EXPECT_EQ(p.out.substr(0, banner.size()), banner);
    EXPECT_GT(p.out.find(" Invalid argument ?"), diagnostic);
}

// --- The stream decoder, through the whole program ------------------------------------------

struct DecodeCase {
    const char* name;
    std::vector<Bytes> chunks;
    bool raw;
    std::string expected;
};

class SnifferDecoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(SnifferDecoding, PrintsTheStreamExactly) {
    const DecodeCase& c = GetParam();
    EmulatorScript script;
    script.stream_chunks = c.chunks;
    Sniff sniff;
    const std::string raw = c.raw ? "1" : "0";
    start(sniff, script, {"-r", raw});
    const std::string path = sniff.port;
    end_with_key(sniff, start_transcript(path, "1", "0", raw) + c.expected);
    EXPECT_EQ(sniff.process.out, start_transcript(path, "1", "0", raw) + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnifferDecoding,
    testing::Values(
        DecodeCase{
            "Frame", {{0x5B, 0x5C, 0x12, 0x34, 0x5D}}, false, "5B [5C 12 0x12(34 0x34)5D ]\n"},
        DecodeCase{"FrameSplitAfterPairStart",
                   {{0x5B, 0x5C}, {0x12, 0x34, 0x5D}},
                   false,
                   "5B [5C 12 0x12(34 0x34)5D ]\n"},
        DecodeCase{"FrameSplitInsidePair",
                   {{0x5B, 0x5C, 0x12}, {0x34}, {0x5D}},
                   false,
                   "5B [5C 12 0x12(34 0x34)5D ]\n"},
        DecodeCase{"SyncOutsideFrame", {{0x41, 0x5B, 0x5D}}, false, "41 Sync\n5B [5D ]\n"},
        DecodeCase{
            "SyncInsideFrameLeavesIt", {{0x5B, 0x5B, 0x5D}}, false, "5B [5B Sync\n5D Sync\n"},
        DecodeCase{"BracketsArePairData",
                   {{0x5B, 0x5C, 0x5D, 0x5B, 0x5D}},
                   false,
                   "5B [5C 5D 0x5D(5B 0x5B)5D ]\n"},
        DecodeCase{"RawPrintsEachByteTwice",
                   {{0x5B, 0x5D}, {0x01, 0x02}},
                   true,
                   "5B 5B 5D 5D 01 01 02 02 "}),
    [](const auto& info) { return std::string(info.param.name); });

// A long random stream in random chunk sizes: parsed back, the output gives every byte in order.
TEST(SnifferDecoding, RandomStreamComesOutWhole) {
    std::mt19937 random(20261208);
    for (const bool raw : {false, true}) {
        EmulatorScript script;
        Bytes all;
        while (all.size() < 30000) {
            Bytes chunk(std::uniform_int_distribution<int>(1, 300)(random));
            // Mostly framing bytes, so every decoder state is visited often.
            for (auto& b : chunk) {
                const int pick = std::uniform_int_distribution<int>(0, 9)(random);
                b = pick < 5 ? static_cast<unsigned char>(0x5B + pick % 3)
                             : static_cast<unsigned char>(random() & 0xFF);
            }
            all.insert(all.end(), chunk.begin(), chunk.end());
            script.stream_chunks.push_back(chunk);
        }
        script.stream_chunk_gap_ms = 1;
        Sniff sniff;
        start(sniff, script, {"-r", raw ? "1" : "0"});
        const std::string prefix = start_transcript(sniff.port, "1", "0", raw ? "1" : "0");
        ASSERT_TRUE(process_wait_for_output(sniff.process, prefix, run_timeout_ms));
        Bytes shown;
        for (int waited = 0; waited < run_timeout_ms && shown.size() < all.size(); waited += 50) {
            process_pump(sniff.process, 50);
            shown.clear();
            sniff_text_bytes(std::string_view(sniff.process.out).substr(prefix.size()), raw, shown);
        }
        end_with_key(sniff, prefix);
        shown.clear();
        ASSERT_EQ(sniff.process.out.substr(0, prefix.size()), prefix);
        ASSERT_TRUE(sniff_text_bytes(std::string_view(sniff.process.out).substr(prefix.size()), raw,
                                     shown));
        EXPECT_EQ(shown, all) << (raw ? "raw" : "decoded");
    }
}

// --- The run ----------------------------------------------------------------------------------

struct ConfigurationCase {
    const char* edge;
    const char* polarity;
    unsigned char byte;
};

void PrintTo(const ConfigurationCase& c, std::ostream* out) {
    *out << "-e " << c.edge << " -p " << c.polarity;
}

class SnifferConfiguration : public testing::TestWithParam<ConfigurationCase> {};

TEST_P(SnifferConfiguration, SendsTheConfigurationByteAndStarts) {
    const ConfigurationCase& c = GetParam();
    Sniff sniff;
    start(sniff, EmulatorScript{}, {"-e", c.edge, "-p", c.polarity});
    const std::string path = sniff.port;
    ASSERT_TRUE(emulator_wait_received(*sniff.emulator, 4, run_timeout_ms));
    end_with_key(sniff, start_transcript(path, c.edge, c.polarity));
    EXPECT_EQ(sniff.process.out, start_transcript(path, c.edge, c.polarity));
    EXPECT_EQ(emulator_saw(*sniff.emulator, 4), (Bytes{0x00, 0x01, c.byte, 0x0E}));
}

INSTANTIATE_TEST_SUITE_P(Combinations, SnifferConfiguration,
                         testing::Values(ConfigurationCase{"0", "0", 0x80},
                                         ConfigurationCase{"1", "0", 0x82},
                                         ConfigurationCase{"0", "1", 0x84},
                                         ConfigurationCase{"1", "1", 0x86}),
                         [](const auto& info) {
                             return std::string("e") + info.param.edge + "p" + info.param.polarity;
                         });

TEST(SnifferRun, UnacknowledgedConfigurationWarnsAndStillSniffs) {
    EmulatorScript script;
    script.command_reply[0x82] = 0x00;
    script.stream_chunks = {{0x5B, 0x5D}};
    Sniff sniff;
    start(sniff, script, {});
    const std::string path = sniff.port;
    std::string expected = start_transcript(path);
    expected.replace(expected.size() - 3, 3,
                     " ERROR: Tapwright replied with 0x0 instead of 0x01 \nWARNING.. Not Good\n"
                     "5B [5D ]\n");
    end_with_key(sniff, expected);
    EXPECT_EQ(sniff.process.out, expected);
    EXPECT_EQ(emulator_saw(*sniff.emulator, 4), (Bytes{0x00, 0x01, 0x82, 0x0E}));
}

struct RefusalCase {
    const char* name;
    EmulatorScript script;
    std::string expected_stderr;
    Bytes adapter_saw;
};

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

EmulatorScript refusing_handshake() {
    EmulatorScript script;
    script.handshake_from_attempt = 0;
    return script;
}

EmulatorScript refusing_spi() {
    EmulatorScript script;
    script.mode_reply = "";
    return script;
}

class SnifferRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(SnifferRefusal, EndsWithItsTextsAndStatus255) {
    const RefusalCase& c = GetParam();
    Sniff sniff;
    start(sniff, c.script, {}, {});
    ASSERT_TRUE(process_wait(sniff.process, run_timeout_ms));
    EXPECT_EQ(sniff.process.status, 255);
    EXPECT_EQ(sniff.process.err, c.expected_stderr);
    EXPECT_EQ(emulator_saw(*sniff.emulator, c.adapter_saw.size()), c.adapter_saw);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnifferRefusal,
    testing::Values(RefusalCase{"Handshake", refusing_handshake(),
                                " Configuring Tapwright...\n" +
                                    repeated(" Tapwright did not respond correctly :( -1 \n", 6) +
                                    " Tapwright cannot switch to binary mode :( \n Exiting...\n",
                                Bytes(26, 0x00)},
                    RefusalCase{
                        "SpiSwitch", refusing_spi(),
                        " Configuring Tapwright...\n Tapwright cannot switch to SPI mode :( "
                        "\n Exiting...\n",
                        Bytes{0x00, 0x01}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SnifferRun, BusyPortIsRefusedToASecondInstance) {
    Sniff first;
    start(first, EmulatorScript{}, {});
    const std::string path = first.port;
    ASSERT_TRUE(process_wait_for_output(first.process, start_transcript(path), run_timeout_ms));

    Process second;
    ASSERT_TRUE(process_start(second, program, {"-d", path}));
    ASSERT_TRUE(process_wait(second, run_timeout_ms));
    EXPECT_EQ(second.status, 255);
    EXPECT_EQ(second.err,
              open_failure(port_device(path) + " is busy: another program holds it open"));

    end_with_key(first, start_transcript(path));
}

TEST(SnifferRun, ModemTestQueriesThenFailsAtTheHandshake) {
    EmulatorScript script;
    script.modem = true;
    script.ati3 = "\r\nModem firmware with a long identification text\r\nOK\r\n";
    script.ati4 = "\r\nShort\r\n";
    script.ati7 = "\r\nOK\r\n";
    Sniff sniff;
    start(sniff, script, {"-m"});
    ASSERT_TRUE(process_wait(sniff.process, run_timeout_ms));
    const std::string path = sniff.port;
    EXPECT_EQ(sniff.process.out,
              banner + echo(path) + " Opening Tapwright on " + path +
                  " at 115200bps...\n Starting SPI sniffer...\n" + "\n " + script.ati3 + "\n" +
                  "\n " + script.ati4 + "\n" + "\n " + script.ati7 + "\n" +
                  " Configuring Tapwright...\n Entering binary mode...\n\n Modem Responded = -1\n"
                  " Tapwright cannot switch to binary mode :( \n Exiting...\n");
    EXPECT_EQ(sniff.process.status, 255);
    const std::string queries = "ATI3\rATI4\rATI7\r";
    Bytes expected(queries.begin(), queries.end());
    expected.push_back(0x00);
    EXPECT_EQ(emulator_saw(*sniff.emulator, expected.size()), expected);
}

TEST(SnifferRun, EndOfInputKeepsSniffingAndSigtermEndsWithStatus0) {
    EmulatorScript script;
    script.stream_chunks = {{0x5B, 0x5D}, {0x41}};
    script.stream_chunk_gap_ms = 400;
    Sniff sniff;
    start(sniff, script, {});
    process_close_stdin(sniff.process);
    const std::string expected = start_transcript(sniff.port) + "5B [5D ]\n41 Sync\n";
    ASSERT_TRUE(process_wait_for_output(sniff.process, expected, run_timeout_ms));
    EXPECT_EQ(process_running(sniff.process), 1);
    process_signal(sniff.process, SIGTERM);
    ASSERT_TRUE(process_wait(sniff.process, run_timeout_ms));
    EXPECT_TRUE(sniff.process.exited);
    EXPECT_EQ(sniff.process.status, 0);
    EXPECT_EQ(sniff.process.out, expected);
}

TEST(SnifferRun, LostDeviceEndsWithItsTextsAndStatus255) {
    EmulatorScript script;
    script.stream_chunks = {{0x5B, 0x5C, 0x01, 0x02, 0x5D}};
    script.hangup_after_stream = true;
    Sniff sniff;
    start(sniff, script, {});
    ASSERT_TRUE(process_wait(sniff.process, run_timeout_ms));
    EXPECT_EQ(sniff.process.out, start_transcript(sniff.port) +
                                     "5B [5C 01 0x01(02 0x02)5D ]\n"
                                     "\n Serial port disconnected\n Exiting...\n");
    EXPECT_EQ(sniff.process.status, 255);
}

TEST(SnifferRun, MissingPort) {
    Process p;
    ASSERT_TRUE(process_start(p, program, {"-d", "/nonexistent/ttyUSB9"}));
    ASSERT_TRUE(process_wait(p, run_timeout_ms));
    EXPECT_TRUE(begins_with(p.err, missing_port("/nonexistent/ttyUSB9"))) << p.err;
    EXPECT_EQ(p.status, 255);
}

// --- The terminal on standard input ---------------------------------------------------------

struct TerminalCase {
    const char* name;
    EmulatorScript script;
    // How the run is ended: 'k' a key, 't' SIGTERM, 'i' SIGINT, 'n' nothing (it ends by itself).
    char ending;
    int status;
};

EmulatorScript hanging_up() {
    EmulatorScript script;
    script.stream_chunks = {{0x5B, 0x5D}};
    script.hangup_after_stream = true;
    return script;
}

class SnifferTerminal : public testing::TestWithParam<TerminalCase> {};

TEST_P(SnifferTerminal, IsRestoredOnTheWayOut) {
    const TerminalCase& c = GetParam();
    Sniff sniff;
    start(sniff, c.script, {}, on_terminal());
    if (c.ending != 'n') {
        ASSERT_TRUE(process_wait_for_output(sniff.process, "OK\n", run_timeout_ms));
        termios running{};
        ASSERT_EQ(tcgetattr(sniff.process.stdin_fd, &running), 0);
        EXPECT_EQ(running.c_lflag & (ICANON | ECHO), 0u) << "keys must not echo while sniffing";
    }
    if (c.ending == 'k') {
        ASSERT_TRUE(process_send(sniff.process, " "));
    }
    if (c.ending == 't') process_signal(sniff.process, SIGTERM);
    if (c.ending == 'i') process_signal(sniff.process, SIGINT);
    ASSERT_TRUE(process_wait(sniff.process, run_timeout_ms));
    EXPECT_EQ(sniff.process.status, c.status) << sniff.process.out;
    expect_terminal_restored(sniff.process);
}

INSTANTIATE_TEST_SUITE_P(Cases, SnifferTerminal,
                         testing::Values(TerminalCase{"Key", EmulatorScript{}, 'k', 0},
                                         TerminalCase{"Sigterm", EmulatorScript{}, 't', 0},
                                         TerminalCase{"Sigint", EmulatorScript{}, 'i', 0},
                                         TerminalCase{"LostDevice", hanging_up(), 'n', 255},
                                         TerminalCase{"RefusedSwitch", refusing_spi(), 'n', 255}),
                         [](const auto& info) { return std::string(info.param.name); });

// `spi-sniffer ... | head`: the reader goes away while bytes keep coming. The sniffer dies of
// SIGPIPE as any filter would, and the terminal it was given is put back first.
TEST(SnifferTerminal, RestoredWhenTheReaderGoesAway) {
    EmulatorScript script;
    script.flood_pattern = {0x5B, 0x5C, 0x12, 0x34, 0x5D};
    Sniff sniff;
    start(sniff, script, {}, on_terminal());
    ASSERT_TRUE(process_wait_for_output(sniff.process, "5D ]\n", run_timeout_ms));
    close(sniff.process.out_fd);
    sniff.process.out_fd = -1;
    ASSERT_TRUE(process_wait(sniff.process, run_timeout_ms));
    EXPECT_FALSE(sniff.process.exited);
    EXPECT_EQ(sniff.process.signal, SIGPIPE);
    expect_terminal_restored(sniff.process);
}

} // namespace
