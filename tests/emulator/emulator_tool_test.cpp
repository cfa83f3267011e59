// tapwright-emu as a process: its command line, its device and link, the way it ends, and
// the adapter it plays, seen through a plain descriptor on the device and through the real
// spi-sniffer.

#include "emulator.hpp"
#include "process.hpp"
#include "pty_client.hpp"
#include "sniff_text.hpp"
#include "test_cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

const std::string tool = TAPWRIGHT_EMU_PATH;
const std::string sniffer = SPI_SNIFFER_PATH;

void write_file(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
}

Bytes read_file(const std::string& path) {
    Bytes bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
            bytes.push_back(static_cast<unsigned char>(c));
        std::fclose(file);
    }
    return bytes;
}

std::string link_target(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t count = readlink(path.c_str(), target, sizeof target);
    return count < 0 ? std::string() : std::string(target, static_cast<std::size_t>(count));
}

bool path_exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

struct Tool {
    Process process;
    std::string device;
};

// Starts the tool and takes the device from the first line of its output.
void start_tool(Tool& t, const std::vector<std::string>& args) {
    ASSERT_TRUE(process_start(t.process, tool, args));
    ASSERT_TRUE(process_wait_for_output(t.process, "\n", test_timeout_ms)) << t.process.err;
    t.device = t.process.out.substr(0, t.process.out.find('\n'));
    ASSERT_TRUE(t.device.starts_with("/dev/pts/")) << t.device;
}

void expect_clean_exit(Process& p) {
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_TRUE(p.exited);
    EXPECT_EQ(p.status, 0) << p.err;
}

void stop_tool(Tool& t) {
    process_signal(t.process, SIGTERM);
    expect_clean_exit(t.process);
}

// A client of the tool's device, closed when it goes.
struct Client {
    int fd = -1;
    explicit Client(const std::string& path, bool lock = true) : fd(open_device(path, lock)) {}
    ~Client() {
        if (fd >= 0) close(fd);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
};

// --- Start, link and stop --------------------------------------------------------------------

struct StopCase {
    const char* name;
    int signal;
};

class EmulatorToolStop : public testing::TestWithParam<StopCase> {};

TEST_P(EmulatorToolStop, PrintsTheDeviceFirstLinksItAndCleansUp) {
    TempFolder folder;
    const std::string link = folder.path + "/tapwright";
    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, {"--link", link}));
    EXPECT_EQ(t.process.out, t.device + "\n");
    EXPECT_EQ(link_target(link), t.device);
    {
        Client client(link);
        ASSERT_GE(client.fd, 0);
        send_bytes(client.fd, {0x00});
        EXPECT_EQ(read_within(client.fd, 5, test_timeout_ms), bytes_of("BBIO1"));
    }
    EXPECT_EQ(process_running(t.process), 1);

    process_signal(t.process, GetParam().signal);
    expect_clean_exit(t.process);
    EXPECT_EQ(t.process.out, t.device + "\n");
    EXPECT_EQ(t.process.err, "");
    EXPECT_FALSE(path_exists(link)) << "the link must go with the tool";
}

INSTANTIATE_TEST_SUITE_P(Signals, EmulatorToolStop,
                         testing::Values(StopCase{"Sigterm", SIGTERM}, StopCase{"Sigint", SIGINT},
                                         StopCase{"Sighup", SIGHUP}),
                         case_name);

struct LinkCase {
    const char* name;
    std::function<void(const std::string& folder, const std::string& link)> prepare;
    std::string link_name;    // in the folder
    std::string kept_target;  // "" when a regular file is expected to stay
    std::string message_part; // "" when the tool is expected to run
};

std::vector<LinkCase> link_cases() {
    const auto make_link = [](const std::string& target) {
        return [target](const std::string&, const std::string& link) {
            ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        };
    };
    return {
        {"RegularFileIsKept",
         [](const std::string&, const std::string& link) { write_file(link, bytes_of("mine")); },
         "tapwright", "", "already exists"},
        {"LinkToADeviceIsKept", make_link("/dev/null"), "tapwright", "/dev/null", "already exists"},
        {"DanglingLinkElsewhereIsKept", make_link("/tmp/tapwright-emu-nothing-here"), "tapwright",
         "/tmp/tapwright-emu-nothing-here", "already exists"},
        {"MissingFolder", [](const std::string&, const std::string&) {}, "missing/tapwright", "",
         "cannot make the link"},
        {"StaleLinkIsReplaced", make_link("/dev/pts/999999"), "tapwright", "", ""},
    };
}

class EmulatorToolLink : public testing::TestWithParam<LinkCase> {};

TEST_P(EmulatorToolLink, ReplacesOnlyAStaleLink) {
    const LinkCase& c = GetParam();
    TempFolder folder;
    const std::string link = folder.path + "/" + c.link_name;
    ASSERT_NO_FATAL_FAILURE(c.prepare(folder.path, link));

    if (c.message_part.empty()) {
        Tool t;
        ASSERT_NO_FATAL_FAILURE(start_tool(t, {"--link", link}));
        EXPECT_EQ(link_target(link), t.device);
        stop_tool(t);
        EXPECT_FALSE(path_exists(link));
        return;
    }
    Process p;
    ASSERT_TRUE(process_start(p, tool, {"--link", link}));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.out, "") << "no device to offer";
    EXPECT_NE(p.err.find(c.message_part), std::string::npos) << p.err;
    EXPECT_EQ(link_target(link), c.kept_target);
    if (c.name == std::string("RegularFileIsKept")) {
        EXPECT_EQ(read_file(link), bytes_of("mine"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EmulatorToolLink, testing::ValuesIn(link_cases()), case_name);

// --- --once ----------------------------------------------------------------------------------

struct OnceCase {
    const char* name;
    // Run while the tool waits; returns with every client of it closed.
    std::function<void(Tool& t)> clients;
};

std::vector<OnceCase> once_cases() {
    return {
        {"HandshakeAndClose",
         [](Tool& t) {
             Client client(t.device);
             ASSERT_GE(client.fd, 0);
             send_bytes(client.fd, {0x00});
             EXPECT_EQ(read_within(client.fd, 5, test_timeout_ms), bytes_of("BBIO1"));
         }},
        {"OpenAndClose", [](Tool& t) { Client client(t.device); }},
        {"WaitsForAClientThatJoined",
         [](Tool& t) {
             auto first = std::make_unique<Client>(t.device);
             Client second(t.device, false); // the first holds the lock
             ASSERT_GE(second.fd, 0);
             first.reset();
             EXPECT_FALSE(process_wait_for_output(t.process, "never", 300));
             EXPECT_EQ(process_running(t.process), 1) << "the second client is still there";
         }},
    };
}

class EmulatorToolOnce : public testing::TestWithParam<OnceCase> {};

TEST_P(EmulatorToolOnce, EndsWhenTheClientHasGone) {
    TempFolder folder;
    const std::string link = folder.path + "/tapwright";
    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, {"--once", "--link", link}));
    // Its own hold on the device is no client.
    EXPECT_FALSE(process_wait_for_output(t.process, "never", 300));
    ASSERT_EQ(process_running(t.process), 1);

    ASSERT_NO_FATAL_FAILURE(GetParam().clients(t));
    expect_clean_exit(t.process);
    EXPECT_EQ(t.process.out, t.device + "\n");
    EXPECT_FALSE(path_exists(link));
}

INSTANTIATE_TEST_SUITE_P(Cases, EmulatorToolOnce, testing::ValuesIn(once_cases()), case_name);

// --- Command line ----------------------------------------------------------------------------

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    std::string message_part;
};

class EmulatorToolUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(EmulatorToolUsage, RefusesWithStatus2) {
    const UsageCase& c = GetParam();
    Process p;
    ASSERT_TRUE(process_start(p, tool, c.args));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_TRUE(p.exited);
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.out, "");
    EXPECT_NE(p.err.find(c.message_part), std::string::npos) << p.err;
    EXPECT_TRUE(p.err.starts_with("tapwright-emu: ")) << p.err;
    EXPECT_NE(p.err.find("Try 'tapwright-emu --help'"), std::string::npos) << p.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmulatorToolUsage,
    testing::Values(
        UsageCase{"UnknownOption", {"--bogus"}, "unrecognized option '--bogus'"},
        UsageCase{"ShortOption", {"-x"}, "invalid option -- 'x'"},
        UsageCase{"MissingValue", {"--rate"}, "'--rate' requires an argument"},
        UsageCase{"ExtraArgument", {"--once", "extra"}, "unexpected argument 'extra'"},
        UsageCase{"ZeroRate", {"--rate", "0"}, "invalid value '0' for --rate"},
        UsageCase{"RateTooHigh", {"--rate", "10000001"}, "invalid value '10000001' for --rate"},
        UsageCase{"RateWithUnit", {"--rate", "12k"}, "invalid value '12k' for --rate"},
        UsageCase{"NegativeRate", {"--rate", "-5"}, "invalid value '-5' for --rate"},
        UsageCase{"RateWithBlank", {"--rate", " 5"}, "invalid value ' 5' for --rate"},
        UsageCase{
            "ReadingTooWide", {"--reading", "0x10000"}, "invalid value '0x10000' for --reading"},
        UsageCase{"ReadingBarePrefix", {"--reading", "0x"}, "invalid value '0x' for --reading"},
        UsageCase{"NakTooWide", {"--nak", "256"}, "invalid value '256' for --nak"},
        UsageCase{"NakNotHex", {"--nak", "0x1G"}, "invalid value '0x1G' for --nak"},
        UsageCase{"ZeroSeed", {"--random", "0"}, "invalid value '0' for --random"},
        UsageCase{"SeedTooWide", {"--random", "4294967296"}, "for --random"},
        UsageCase{"ZeroHangup", {"--hangup-after", "0"}, "invalid value '0' for --hangup-after"},
        UsageCase{"EmptyLink", {"--link", ""}, "--link needs a path"},
        UsageCase{"EmptyStream", {"--stream", ""}, "--stream needs a file"},
        UsageCase{"MissingStreamFile",
                  {"--stream", "/nonexistent/stream.bin"},
                  "cannot read the stream file '/nonexistent/stream.bin'"},
        UsageCase{"StreamFileIsAFolder", {"--stream", "/"}, "cannot read the stream file '/'"}),
    case_name);

TEST(EmulatorToolHelp, ListsEveryOptionAndSucceeds) {
    Process p;
    ASSERT_TRUE(process_start(p, tool, {"--help"}));
    expect_clean_exit(p);
    EXPECT_TRUE(p.out.starts_with("Usage: tapwright-emu [OPTION]...\n")) << p.out;
    for (const char* option :
         {"--link PATH", "--once", "--modem", "--stream FILE", "--rate N", "--reading VALUE",
          "--silent", "--no-spi", "--nak BYTE", "--hangup-after N", "--random SEED", "--verbose",
          "--help", "--version"})
        EXPECT_NE(p.out.find(option), std::string::npos) << option;
    EXPECT_EQ(p.err, "");
}

// What cannot be shown is no success.
TEST(EmulatorToolHelp, OutputThatCannotBeWrittenFails) {
    for (const char* option : {"--help", "--version"}) {
        Process p;
        ASSERT_TRUE(
            process_start(p, "/bin/sh", {"-c", "exec \"$0\" \"$1\" >/dev/full", tool, option}));
        ASSERT_TRUE(process_wait(p, test_timeout_ms));
        EXPECT_EQ(p.status, 1) << option;
        EXPECT_EQ(p.err, "tapwright-emu: cannot write the output: No space left on device\n");
    }
}

// --- The adapter it plays --------------------------------------------------------------------

struct Step {
    Bytes send;
    Bytes reply; // exactly this, and nothing more before the next step
};

struct AnswerCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<Step> steps;
};

const Bytes none;
const Bytes ack = {0x01};
const Bytes nak = {0x00};

std::vector<AnswerCase> answer_cases() {
    const Bytes bbio1 = bytes_of("BBIO1");
    return {
        {"Defaults",
         {},
         {{{0x00}, bbio1}, {{0x14}, {0x47, 0x46}}, {{0x82}, ack}, {{0x01}, bytes_of("SPI1")}}},
        {"ReadingHex", {"--reading", "0x1234"}, {{{0x00}, bbio1}, {{0x14}, {0x12, 0x34}}}},
        {"ReadingDecimalLeadingZero",
         {"--reading", "0513"},
         {{{0x00}, bbio1}, {{0x14}, {0x02, 0x01}}, {{0x14}, {0x02, 0x01}}}},
        {"ReadingUpperCaseHex", {"--reading", "0X00fF"}, {{{0x00}, bbio1}, {{0x14}, {0x00, 0xFF}}}},
        {"NakTwice",
         {"--nak", "0x82", "--nak", "64"},
         {{{0x00}, bbio1}, {{0x82}, nak}, {{0x40}, nak}, {{0x80}, ack}, {{0xC0}, ack}}},
        {"NoSpi", {"--no-spi"}, {{{0x00}, bbio1}, {{0x01}, none}}},
        {"Silent", {"--silent"}, {{{0x00}, none}, {{0x00}, none}, {{0x00}, none}}},
        {"Modem",
         {"--modem"},
         {{bytes_of("ATI3\r"), bytes_of(EmulatorScript{}.ati3)},
          {{0x00}, none},
          {bytes_of("ATI7\r"), bytes_of(EmulatorScript{}.ati7)}}},
    };
}

class EmulatorToolAnswers : public testing::TestWithParam<AnswerCase> {};

TEST_P(EmulatorToolAnswers, AsTheOptionsSay) {
    const AnswerCase& c = GetParam();
    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, c.args));
    {
        Client client(t.device);
        ASSERT_GE(client.fd, 0);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            send_bytes(client.fd, step.send);
            const Bytes reply = step.reply.empty()
                                    ? read_within(client.fd, 64, quiet_ms)
                                    : read_within(client.fd, step.reply.size(), test_timeout_ms);
            EXPECT_EQ(reply, step.reply) << "step " << i;
        }
        EXPECT_EQ(read_within(client.fd, 64, quiet_ms), none) << "after the last step";
    }
    stop_tool(t);
}

INSTANTIATE_TEST_SUITE_P(Cases, EmulatorToolAnswers, testing::ValuesIn(answer_cases()), case_name);

// --- Streams ---------------------------------------------------------------------------------

Bytes mixed_bytes(std::size_t count) {
    Bytes bytes;
    for (std::size_t i = 0; i < count; ++i)
        bytes.push_back(static_cast<unsigned char>(i * 131 + 7));
    return bytes;
}

TEST(EmulatorToolStream, SendsTheFileOnceRightAfterTheStartByte) {
    TempFolder folder;
    const std::string file = folder.path + "/stream.bin";
    const Bytes content = mixed_bytes(3000);
    ASSERT_NO_FATAL_FAILURE(write_file(file, content));
    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, {"--stream", file, "--rate", "200000"}));
    Client client(t.device);
    ASSERT_GE(client.fd, 0);
    send_bytes(client.fd, {0x00, 0x01});
    EXPECT_EQ(read_within(client.fd, 9, test_timeout_ms), bytes_of("BBIO1SPI1"));
    EXPECT_EQ(read_within(client.fd, 1, 200), none) << "nothing before the start byte";
    send_bytes(client.fd, {0x0E});
    EXPECT_EQ(read_within(client.fd, content.size(), test_timeout_ms), content);
    EXPECT_EQ(read_within(client.fd, 1, 300), none) << "the file goes once";
    stop_tool(t);
}

TEST(EmulatorToolStream, RepeatsTheDemoByDefault) {
    const Bytes demo = emulator_demo_stream();
    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, {"--rate", "200000"}));
    Client client(t.device);
    ASSERT_GE(client.fd, 0);
    ASSERT_NO_FATAL_FAILURE(start_sniffer(client.fd));
    Bytes twice = demo;
    twice.insert(twice.end(), demo.begin(), demo.begin() + 100);
    EXPECT_EQ(read_within(client.fd, twice.size(), test_timeout_ms), twice);
    stop_tool(t);
}

TEST(EmulatorToolStream, NextClientIsNotGreetedByTheLastOnesStream) {
    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, {}));
    {
        Client first(t.device);
        ASSERT_GE(first.fd, 0);
        ASSERT_NO_FATAL_FAILURE(start_sniffer(first.fd));
        EXPECT_EQ(read_within(first.fd, 40, test_timeout_ms).size(), 40u);
    }
    usleep(100000); // the demo would go on meanwhile
    Client next(t.device);
    ASSERT_GE(next.fd, 0);
    EXPECT_EQ(read_within(next.fd, 1, quiet_ms), none);
    send_bytes(next.fd, {0x00});
    EXPECT_EQ(read_within(next.fd, 6, 300), bytes_of("BBIO1"));
    stop_tool(t);
}

struct HangupCase {
    const char* name;
    std::size_t stream_file_size; // 0: the demo
    std::size_t hangup_after;
    bool hangs_up;
};

class EmulatorToolHangup : public testing::TestWithParam<HangupCase> {};

TEST_P(EmulatorToolHangup, ClosesThePortAfterThatManyStreamBytes) {
    const HangupCase& c = GetParam();
    TempFolder folder;
    std::vector<std::string> args = {"--rate", "100000", "--hangup-after",
                                     std::to_string(c.hangup_after)};
    Bytes stream = emulator_demo_stream();
    if (c.stream_file_size > 0) {
        stream = mixed_bytes(c.stream_file_size);
        ASSERT_NO_FATAL_FAILURE(write_file(folder.path + "/stream.bin", stream));
        args.insert(args.end(), {"--stream", folder.path + "/stream.bin"});
    }
    // The demo repeats; a file goes once.
    Bytes expected;
    for (std::size_t i = 0; i < c.hangup_after; ++i) {
        if (c.stream_file_size > 0 && i == stream.size()) break;
        expected.push_back(stream[i % stream.size()]);
    }

    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, args));
    Client client(t.device);
    ASSERT_GE(client.fd, 0);
    ASSERT_NO_FATAL_FAILURE(start_sniffer(client.fd));
    EXPECT_EQ(read_within(client.fd, expected.size() + 1, c.hangs_up ? test_timeout_ms : 500),
              expected);
    EXPECT_EQ(hung_up(client.fd, c.hangs_up ? test_timeout_ms : 200), c.hangs_up);
    if (c.hangs_up) {
        // The device is gone for good: nothing left to serve.
        expect_clean_exit(t.process);
    } else {
        EXPECT_EQ(process_running(t.process), 1);
        stop_tool(t);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EmulatorToolHangup,
                         testing::Values(HangupCase{"InTheDemo", 0, 150, true},
                                         HangupCase{"AfterDemoRepeats", 0, 7000, true},
                                         HangupCase{"ShortFileEndsFirst", 50, 100, false},
                                         HangupCase{"AtTheFilesLastByte", 80, 80, true}),
                         case_name);

// --- Random answers and the trace ------------------------------------------------------------

Bytes tool_random_answers(const std::string& seed) {
    Tool t;
    start_tool(t, {"--random", seed});
    if (t.device.empty()) return {};
    Client client(t.device);
    EXPECT_GE(client.fd, 0);
    const Bytes input = mixed_bytes(150);
    send_bytes(client.fd, input);
    const Bytes answers = read_within(client.fd, SIZE_MAX, test_timeout_ms, 200);
    stop_tool(t);
    return answers;
}

TEST(EmulatorToolRandom, TheSeedDecidesTheAnswers) {
    const Bytes first = tool_random_answers("12345");
    EXPECT_GT(first.size(), 150u);
    EXPECT_LE(first.size(), 8u * 150u);
    EXPECT_EQ(tool_random_answers("12345"), first);
    EXPECT_EQ(tool_random_answers("0x3039"), first) << "the same seed in hex";
    EXPECT_NE(tool_random_answers("12346"), first);
}

TEST(EmulatorToolVerbose, LogsTheTrafficOnStandardError) {
    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, {"--verbose", "--reading", "0xBEEF"}));
    {
        Client client(t.device);
        ASSERT_GE(client.fd, 0);
        send_bytes(client.fd, {0x00});
        EXPECT_EQ(read_within(client.fd, 5, test_timeout_ms), bytes_of("BBIO1"));
        send_bytes(client.fd, {0x14});
        EXPECT_EQ(read_within(client.fd, 2, test_timeout_ms), (Bytes{0xBE, 0xEF}));
    }
    EXPECT_TRUE(process_wait_for_error(t.process, "tx BE EF\n", test_timeout_ms));
    stop_tool(t);
    EXPECT_EQ(t.process.err, "rx 00\ntx 42 42 49 4F 31\nrx 14\ntx BE EF\n");
    EXPECT_EQ(t.process.out, t.device + "\n");
}

// --- With the real spi-sniffer ---------------------------------------------------------------

TEST(EmulatorToolEndToEnd, SnifferShowsTheDemoAndBothEndWithStatus0) {
    Tool t;
    ASSERT_NO_FATAL_FAILURE(start_tool(t, {"--once"}));
    ProcessOptions merged;
    merged.merge_output = true;
    Process sniff;
    ASSERT_TRUE(process_start(sniff, sniffer, {"-d", t.device}, merged));
    // READ ID first, then READs with the command and address bytes decoded.
    EXPECT_TRUE(process_wait_for_output(
        sniff, "OK\n5B [5C 9F 0x9F(FF 0xFF)5C 00 0x00(7A 0x7A)5C 00 0x00(40 0x40)",
        test_timeout_ms))
        << sniff.out;
    EXPECT_TRUE(process_wait_for_output(
        sniff, "5B [5C 03 0x03(FF 0xFF)5C 00 0x00(FF 0xFF)5C 00 0x00(FF 0xFF)5C 00 0x00(FF 0xFF)",
        test_timeout_ms))
        << "a READ of address 0";
    EXPECT_TRUE(process_wait_for_output(
        sniff, "5B [5C 03 0x03(FF 0xFF)5C 02 0x02(FF 0xFF)5C A0 0xA0(FF 0xFF)5C 00 0x00(FF 0xFF)",
        test_timeout_ms))
        << "a READ of address 0x02A000";
    ASSERT_TRUE(process_send(sniff, "q"));
    expect_clean_exit(sniff);
    expect_clean_exit(t.process);

    // Every byte the sniffer showed is the demo's, in order.
    const std::string start_line = "OK\n";
    const std::size_t shown_from = sniff.out.find(start_line);
    ASSERT_NE(shown_from, std::string::npos) << sniff.out;
    std::string shown_text = sniff.out.substr(shown_from + start_line.size());
    shown_text.erase(shown_text.rfind('\n') + 1); // a frame cut short by the key
    Bytes shown;
    ASSERT_TRUE(sniff_text_bytes(shown_text, false, shown)) << shown_text;
    Bytes demo = emulator_demo_stream();
    ASSERT_GE(shown.size(), 600u);
    demo.insert(demo.end(), demo.begin(), demo.end()); // the key may come after the demo's end
    ASSERT_LE(shown.size(), demo.size());
    EXPECT_EQ(shown, Bytes(demo.begin(), demo.begin() + static_cast<long>(shown.size())));
}

} // namespace
