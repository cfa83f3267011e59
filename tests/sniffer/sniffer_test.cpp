// spi-sniffer end to end: the built program as a process, the emulated adapter on a
// pseudo-terminal, keys on its standard input; and the flash annotations of its decoder.

#include "program_run.hpp"
#include "sniff_image.hpp"
#include "sniff_text.hpp"
#include "sniffer.hpp"
#include "timing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
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

using Sniff = ProgramRun;

void start(Sniff& sniff, const EmulatorScript& script, const std::vector<std::string>& extra_args,
           const ProcessOptions& options = merged()) {
    program_run_start(sniff, program, "-d", script, extra_args, options);
}

// Presses a key once the expected output is there and checks the run ends with status 0.
void end_with_key(Sniff& sniff, const std::string& expected_output) {
    EXPECT_TRUE(process_wait_for_output(sniff.process, expected_output, test_timeout_ms));
    ASSERT_TRUE(process_send(sniff.process, "q"));
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    EXPECT_TRUE(sniff.process.exited);
    EXPECT_EQ(sniff.process.status, 0);
}

// --- Command line ---------------------------------------------------------------------------

class SnifferCommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(SnifferCommandLine, PrintsExactlyAndFails) {
    expect_command_line(program, GetParam());
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
        // Long options: the parser's line alone, and nothing but a file name for a file.
        CommandLineCase{"UnknownLongOption", {"--bogus", "-d", "COM1"}, banner, "option '--bogus'"},
        CommandLineCase{
            "WriteEmpty", {"-d", "COM1", "--write", ""}, banner, "requires a file name"},
        CommandLineCase{"WriteEqualsEmpty", {"--write=", "-d", "COM1"}, banner, "a file name"},
        CommandLineCase{"WriteMissing", {"-d", "COM1", "--write"}, banner, "requires an argument"},
        CommandLineCase{"ReadEmpty", {"--read", ""}, banner, "'--read' requires a file name"},
        CommandLineCase{"WriteDash",
                        {"-d", "COM1", "--write", "-"},
                        banner + " --write takes a file: standard output (-) carries the text\n",
                        ""},
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
        CommandLineCase{"ImageSizeNotAPowerOfTwo",
                        {"-d", "COM1", "--image", "f.bin", "--image-size", "3M"},
                        banner + " --image-size 3M: give a power of two in bytes, or with K or M "
                                 "(65536, 64K, 16M), at most 4096M\n",
                        ""},
        CommandLineCase{"ImageSizeAlone",
                        {"-d", "COM1", "--image-size", "64K"},
                        banner + " --image-size needs --image or --summary\n",
                        ""},
        CommandLineCase{"ImageOverItsCapture",
                        {"--read", "c.bin", "--image", "c.bin"},
                        " --image and --read name the same file\n",
                        ""},
        CommandLineCase{"FormatUnknown",
                        {"-d", "COM1", "--format", "xml"},
                        banner + " --format xml: give text or jsonl\n",
                        ""},
        CommandLineCase{"TimestampsOfACapture",
                        {"--read", "c.bin", "--timestamps"},
                        " --timestamps needs a live run: a capture file holds no times\n",
                        ""},
        // JSON lines stand alone on standard output: every text goes to standard error.
        CommandLineCase{"JsonLinesTextsOnStandardError",
                        {"--format", "jsonl", "-d", "/nonexistent/COM1"},
                        "",
                        echo("/nonexistent/COM1") +
                            " Opening Tapwright on /nonexistent/COM1 at 115200bps...\n"},
        CommandLineCase{"ModemEcho",
                        {"-d", "/nonexistent/COM5", "-m"},
                        banner + echo("/nonexistent/COM5") +
                            " Opening Tapwright on /nonexistent/COM5 at 115200bps...\n",
                        " Error opening serial port\n"}),
    case_name);

// The parser's diagnostic goes to standard error behind our back: what was printed before it
// must already be out, so the two streams interleave in the order written.
TEST(SnifferOutputOrder, ParserDiagnosticFollowsBanner) {
    Process p;
    ASSERT_TRUE(process_start(p, program, {"-x"}, merged()));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
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
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {"-r", raw}));
    const std::string path = sniff.port;
    ASSERT_NO_FATAL_FAILURE(
        end_with_key(sniff, start_transcript(path, "1", "0", raw) + c.expected));
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
        DecodeCase{
            "FlashFramesAreNotAnnotatedByDefault",
            {{0x5B, 0x5C, 0x05, 0xFF, 0x5C, 0x00, 0x03, 0x5D, 0x5B, 0x5C, 0x03, 0xFF, 0x41}},
            false,
            "5B [5C 05 0x05(FF 0xFF)5C 00 0x00(03 0x03)5D ]\n5B [5C 03 0x03(FF 0xFF)41 Sync\n"},
        DecodeCase{"RawPrintsEachByteTwice",
                   {{0x5B, 0x5D}, {0x01, 0x02}},
                   true,
                   "5B 5B 5D 5D 01 01 02 02 "}),
    case_name);

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
        ASSERT_NO_FATAL_FAILURE(start(sniff, script, {"-r", raw ? "1" : "0"}));
        const std::string prefix = start_transcript(sniff.port, "1", "0", raw ? "1" : "0");
        ASSERT_TRUE(process_wait_for_output(sniff.process, prefix, test_timeout_ms));
        Bytes shown;
        for (int waited = 0; waited < test_timeout_ms && shown.size() < all.size(); waited += 50) {
            process_pump(sniff.process, 50);
            shown.clear();
            sniff_text_bytes(std::string_view(sniff.process.out).substr(prefix.size()), raw, shown);
        }
        ASSERT_NO_FATAL_FAILURE(end_with_key(sniff, prefix));
        shown.clear();
        ASSERT_EQ(sniff.process.out.substr(0, prefix.size()), prefix);
        ASSERT_TRUE(sniff_text_bytes(std::string_view(sniff.process.out).substr(prefix.size()), raw,
                                     shown));
        EXPECT_EQ(shown, all) << (raw ? "raw" : "decoded");
    }
}

// --- Flash annotations, through the decoder ---------------------------------------------------

// A frame as a flash takes it: the command goes out while MISO floats high, then the reply comes
// while MOSI sends zeros.
Bytes flash_frame(const Bytes& command, const Bytes& reply = {}) {
    Bytes stream = {0x5B};
    for (const unsigned char b : command) stream.insert(stream.end(), {0x5C, b, 0xFF});
    for (const unsigned char b : reply) stream.insert(stream.end(), {0x5C, 0x00, b});
    stream.push_back(0x5D);
    return stream;
}

Bytes counting(unsigned char from, std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(from + i);
    return bytes;
}

Bytes joined(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The decoder's text for a stream handed over in chunks of chunk bytes, each in the room the
// decoder asks for (no more: the sanitizer build catches a write beyond it).
std::string decoded(const Bytes& stream, bool flash, std::size_t chunk,
                    SniffImage* image = nullptr) {
    SniffDecoder decoder = sniff_decoder_new(false, flash, image);
    std::string text;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        const std::size_t count = std::min(chunk, stream.size() - at);
        std::vector<char> room(sniff_text_room(decoder, count));
        text.append(room.data(), sniff_decode_text(decoder, stream.data() + at,
                                                   static_cast<int>(count), room.data()));
    }
    return text;
}

struct FlashCase {
    const char* name;
    Bytes stream; // one frame
    std::string annotation;
};

class SnifferFlash : public testing::TestWithParam<FlashCase> {};

// The frame's text is the same as without annotations, and one line follows it, wherever the
// chunks were cut; the frame after it starts afresh.
TEST_P(SnifferFlash, AddsOneLineAfterTheFrame) {
    const FlashCase& c = GetParam();
    const std::string once =
        decoded(c.stream, false, c.stream.size()) + "    flash: " + c.annotation + "\n";
    const Bytes twice = joined(c.stream, c.stream);
    for (const std::size_t chunk : {twice.size(), std::size_t{1}, std::size_t{3}})
        EXPECT_EQ(decoded(twice, true, chunk), once + once) << "in chunks of " << chunk;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnifferFlash,
    testing::Values(
        FlashCase{"ReadId", flash_frame({0x9F}, {0x7A, 0x40, 0x18}),
                  "READ ID manufacturer=0x7A type=0x40 capacity=0x18 size=16MiB"},
        FlashCase{"ReadIdSmall", flash_frame({0x9F}, {0x7A, 0x30, 0x13}),
                  "READ ID manufacturer=0x7A type=0x30 capacity=0x13 size=512KiB"},
        FlashCase{"ReadIdHuge", flash_frame({0x9F}, {0x7A, 0x60, 0x20}),
                  "READ ID manufacturer=0x7A type=0x60 capacity=0x20 size=4GiB"},
        FlashCase{"ReadIdOfNoFlash", flash_frame({0x9F}, {0xFF, 0xFF, 0xFF}),
                  "READ ID manufacturer=0xFF type=0xFF capacity=0xFF"},
        FlashCase{"Read", flash_frame({0x03, 0x01, 0x23, 0x45}, counting(0xA0, 3)),
                  "READ addr=0x012345 len=3 data=A0A1A2"},
        FlashCase{"FastReadShowsSixteen",
                  flash_frame({0x0B, 0x00, 0x10, 0x00, 0x99}, counting(0x00, 300)),
                  "FAST READ addr=0x001000 len=300 data=000102030405060708090A0B0C0D0E0F..."},
        FlashCase{"Read4", flash_frame({0x13, 0x01, 0x00, 0x00, 0x00}, {0xAA, 0xBB}),
                  "READ4 addr=0x01000000 len=2 data=AABB"},
        FlashCase{"FastRead4", flash_frame({0x0C, 0x01, 0xFF, 0xF0, 0x00, 0x99}, {0x11}),
                  "FAST READ4 addr=0x01FFF000 len=1 data=11"},
        FlashCase{"ReadSfdp", flash_frame({0x5A, 0x00, 0x00, 0x00, 0x99}, {0x53, 0x46, 0x44, 0x50}),
                  "READ SFDP addr=0x000000 len=4 data=53464450"},
        FlashCase{"PageProgram", flash_frame(joined({0x02, 0x00, 0x20, 0x00}, counting(0x40, 17))),
                  "PAGE PROGRAM addr=0x002000 len=17 data=404142434445464748494A4B4C4D4E4F..."},
        FlashCase{"PageProgram4", flash_frame({0x12, 0x00, 0x00, 0x01, 0x00, 0xDE, 0xAD}),
                  "PAGE PROGRAM4 addr=0x00000100 len=2 data=DEAD"},
        FlashCase{"ReadStatus", flash_frame({0x05}, {0x03}),
                  "READ STATUS 1 status=0x03 WIP=1 WEL=1"},
        FlashCase{"StatusPollEndsWithTheLastValue", flash_frame({0x05}, {0x03, 0x03, 0x00}),
                  "READ STATUS 1 status=0x00 WIP=0 WEL=0 len=3"},
        FlashCase{"ReadStatus2", flash_frame({0x35}, {0x02}), "READ STATUS 2 status=0x02"},
        FlashCase{"WriteStatus", flash_frame({0x01, 0x00, 0x02}), "WRITE STATUS len=2 data=0002"},
        FlashCase{"WriteEnable", flash_frame({0x06}), "WRITE ENABLE"},
        FlashCase{"WriteEnableTooLong", flash_frame({0x06, 0x00}), "WRITE ENABLE bytes=2"},
        FlashCase{"WriteDisable", flash_frame({0x04}), "WRITE DISABLE"},
        FlashCase{"PowerDown", flash_frame({0xB9}), "POWER DOWN"},
        FlashCase{"Release", flash_frame({0xAB}), "RELEASE POWER DOWN"},
        FlashCase{"ReleaseWithDeviceId", flash_frame({0xAB, 0x00, 0x00, 0x00}, {0x17}),
                  "RELEASE POWER DOWN device=0x17"},
        FlashCase{"DeviceId", flash_frame({0x90, 0x00, 0x00, 0x00}, {0x7A, 0x17}),
                  "MANUFACTURER/DEVICE ID manufacturer=0x7A device=0x17"},
        FlashCase{"DeviceIdDeviceFirst", flash_frame({0x90, 0x00, 0x00, 0x01}, {0x17, 0x7A}),
                  "MANUFACTURER/DEVICE ID manufacturer=0x7A device=0x17"},
        FlashCase{"SectorErase", flash_frame({0x20, 0x02, 0xA0, 0x00}),
                  "SECTOR ERASE 4K addr=0x02A000"},
        FlashCase{"BlockErase32", flash_frame({0x52, 0x01, 0x80, 0x00}),
                  "BLOCK ERASE 32K addr=0x018000"},
        FlashCase{"BlockErase64", flash_frame({0xD8, 0x1F, 0x00, 0x00}),
                  "BLOCK ERASE 64K addr=0x1F0000"},
        FlashCase{"SectorErase4", flash_frame({0x21, 0x01, 0x00, 0x10, 0x00}),
                  "SECTOR ERASE4 4K addr=0x01001000"},
        FlashCase{"BlockErase4", flash_frame({0xDC, 0x01, 0x01, 0x00, 0x00}),
                  "BLOCK ERASE4 64K addr=0x01010000"},
        FlashCase{"BlockErase4_32", flash_frame({0x5C, 0x01, 0x00, 0x80, 0x00}),
                  "BLOCK ERASE4 32K addr=0x01008000"},
        FlashCase{"Enter4Byte", flash_frame({0xB7}), "ENTER 4-BYTE ADDRESS MODE"},
        FlashCase{"WriteExtendedAddress", flash_frame({0xC5, 0x01}),
                  "WRITE EXTENDED ADDRESS value=0x01"},
        FlashCase{"QuadOutputRead", flash_frame({0x6B, 0x00, 0x10, 0x00, 0x00}, {0x12, 0x34}),
                  "QUAD OUTPUT READ addr=0x001000 undecodable bytes=7"},
        FlashCase{"QuadIoRead", flash_frame({0xEB, 0x00, 0x10}),
                  "QUAD I/O READ undecodable bytes=3"},
        FlashCase{"ChipErase60", flash_frame({0x60}), "CHIP ERASE"},
        FlashCase{"ChipEraseC7", flash_frame({0xC7}), "CHIP ERASE"},
        FlashCase{"UnknownCommand", flash_frame({0x4B, 0x00, 0x00, 0x00, 0x00}, {0x01, 0x02}),
                  "command 0x4B bytes=7"},
        FlashCase{"EmptyFrame", flash_frame({}), "empty frame"},
        FlashCase{"ReadWithoutFullAddress", flash_frame({0x03, 0x00, 0x10}),
                  "READ short bytes=3 need=4"},
        FlashCase{"ReleaseCutBeforeItsId", flash_frame({0xAB, 0x00}),
                  "RELEASE POWER DOWN short bytes=2 need=5"},
        FlashCase{"ReadCutBySync",
                  {0x5B, 0x5C, 0x03, 0xFF, 0x5C, 0x00, 0xFF, 0x5C, 0x10, 0xFF, 0x5C, 0x00, 0xFF,
                   0x5C, 0x00, 0xA5, 0x41},
                  "READ addr=0x001000 len=1 data=A5 cut"}),
    case_name);

// --- The image, through the decoder ---------------------------------------------------------

Bytes frames(std::initializer_list<Bytes> each) {
    Bytes stream;
    for (const Bytes& frame : each) stream.insert(stream.end(), frame.begin(), frame.end());
    return stream;
}

// A frame whose command bytes go on one line, then bytes on two: per clock the flash drives the
// higher bit of each two on MISO, the lower on MOSI.
Bytes dual_frame(const Bytes& single, const Bytes& dual) {
    Bytes stream = flash_frame(single);
    stream.pop_back();
    for (std::size_t i = 0; i + 1 < dual.size(); i += 2) {
        const unsigned both = unsigned{dual[i]} << 8 | dual[i + 1];
        unsigned mosi = 0, miso = 0;
        for (int clock = 0; clock < 8; ++clock) {
            miso |= ((both >> (15 - 2 * clock)) & 1) << (7 - clock);
            mosi |= ((both >> (14 - 2 * clock)) & 1) << (7 - clock);
        }
        stream.insert(stream.end(),
                      {0x5C, static_cast<unsigned char>(mosi), static_cast<unsigned char>(miso)});
    }
    stream.push_back(0x5D);
    return stream;
}

// Every known byte below the size: "0xADDRESS: XX XX" per range, "; " between ranges, a run of one
// value as "XX*count".
std::string known_text(const SniffImage& image) {
    std::string text;
    char piece[32];
    std::uint64_t start = 0, stop = 0;
    const std::uint64_t size = sniff_image_size(image, nullptr);
    for (std::uint64_t from = 0; sniff_image_next_range(image, from, size, start, stop);
         from = stop) {
        std::snprintf(piece, sizeof piece, "%s0x%08llX:", text.empty() ? "" : "; ",
                      static_cast<unsigned long long>(start));
        text += piece;
        for (std::uint64_t at = start; at < stop;) {
            const int value = sniff_image_byte(image, at);
            std::uint64_t run = 1;
            while (at + run < stop && sniff_image_byte(image, at + run) == value) ++run;
            std::snprintf(piece, sizeof piece, run >= 3 ? " %02X*%llu" : " %02X", value,
                          static_cast<unsigned long long>(run));
            text += piece;
            at += run >= 3 ? run : 1;
        }
    }
    return text;
}

struct ImageCase {
    const char* name;
    Bytes stream;
    std::string known;
    std::uint64_t size;
    std::uint64_t disagreements = 0;
    std::uint64_t given_size = 0;
    std::string annotation = ""; // of the last frame, when it matters
};

class SnifferImage : public testing::TestWithParam<ImageCase> {};

// Wherever the chunks are cut, the image knows what the traffic told, and the text is the text
// without an image.
TEST_P(SnifferImage, KnowsWhatTheTrafficTold) {
    const ImageCase& c = GetParam();
    for (const std::size_t chunk : {c.stream.size(), std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE("in chunks of " + std::to_string(chunk));
        const std::unique_ptr<SniffImage> image = sniff_image_new(c.given_size);
        const std::string text = decoded(c.stream, true, chunk, image.get());
        EXPECT_EQ(text, decoded(c.stream, true, chunk));
        EXPECT_EQ(known_text(*image), c.known);
        EXPECT_EQ(sniff_image_size(*image, nullptr), c.size);
        EXPECT_EQ(image->disagreements, c.disagreements);
        const std::size_t last = text.rfind("flash: ") + 7;
        if (!c.annotation.empty()) {
            EXPECT_EQ(text.substr(last, text.size() - last - 1), c.annotation);
        }
    }
}

const Bytes sfdp_of_1mib = {0x53, 0x46, 0x44, 0x50, 0x06, 0x01, 0x00, 0xFF, 0x00, 0x06, 0x01, 0x10,
                            0x10, 0x00, 0x00, 0xFF, 0xE5, 0x20, 0xF1, 0xFF, 0xFF, 0xFF, 0x7F, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Cases, SnifferImage,
    testing::Values(
        ImageCase{"Read", flash_frame({0x03, 0x00, 0x01, 0x00}, {0xA0, 0xA1}), "0x00000100: A0 A1",
                  512},
        ImageCase{"FastRead", flash_frame({0x0B, 0x00, 0x01, 0x00, 0x99}, {0xA0}), "0x00000100: A0",
                  512},
        ImageCase{"Read4", flash_frame({0x13, 0x01, 0x00, 0x00, 0x00}, {0xB0}), "0x01000000: B0",
                  1 << 25},
        ImageCase{"FastRead4", flash_frame({0x0C, 0x00, 0x00, 0x00, 0x10, 0x99}, {0xB0}),
                  "0x00000010: B0", 32},
        ImageCase{
            "FourByteState",
            frames({flash_frame({0xB7}), flash_frame({0x03, 0x01, 0x00, 0x00, 0x10}, {0xC0})}),
            "0x01000010: C0", 1 << 25, 0, 0, "READ addr=0x01000010 len=1 data=C0"},
        ImageCase{"FourByteStateLeft",
                  frames({flash_frame({0xB7}), flash_frame({0xE9}),
                          flash_frame({0x03, 0x00, 0x00, 0x20}, {0xC1})}),
                  "0x00000020: C1", 64},
        ImageCase{
            "ExtendedAddressRegister",
            frames({flash_frame({0xC5, 0x01}), flash_frame({0x03, 0x00, 0x00, 0x10}, {0xD0})}),
            "0x01000010: D0", 1 << 25, 0, 0, "READ addr=0x01000010 len=1 data=D0"},
        ImageCase{"DualOutputRead",
                  dual_frame({0x3B, 0x00, 0x01, 0x00, 0x00}, {0x12, 0x34, 0x56, 0x78}),
                  "0x00000100: 12 34 56 78", 512, 0, 0,
                  "DUAL OUTPUT READ addr=0x000100 len=4 data=12345678"},
        ImageCase{"DualOutputRead4", dual_frame({0x3C, 0x01, 0x00, 0x00, 0x00, 0x00}, {0x9A, 0xBC}),
                  "0x01000000: 9A BC", 1 << 25},
        ImageCase{"DualIoRead", dual_frame({0xBB}, {0x00, 0x02, 0x00, 0xFF, 0xDE, 0xAD}),
                  "0x00000200: DE AD", 1024, 0, 0, "DUAL I/O READ addr=0x000200 len=2 data=DEAD"},
        ImageCase{
            "DualIoReadOfFourAddressBytesIsNotGuessed",
            frames({flash_frame({0xB7}), dual_frame({0xBB}, {0x00, 0x00, 0x02, 0x00, 0xFF, 0xDE})}),
            "", 0, 0, 0, "DUAL I/O READ undecodable bytes=4"},
        ImageCase{"DualIoRead4IsNotGuessed",
                  dual_frame({0xBC}, {0x00, 0x00, 0x02, 0x00, 0xFF, 0xDE}), "", 0, 0, 0,
                  "DUAL I/O READ4 undecodable bytes=4"},
        ImageCase{"ProgramAndsAndWrapsInThePage",
                  frames({flash_frame({0x03, 0x00, 0x00, 0xFE}, {0x0F, 0xFF}),
                          flash_frame({0x02, 0x00, 0x00, 0xFE, 0xF1, 0x3C, 0xAA})}),
                  "0x00000000: AA; 0x000000FE: 01 3C", 256},
        ImageCase{"ProgramOfMoreThanAPageKeepsTheLastForEachPlace",
                  flash_frame(joined(joined({0x02, 0x00, 0x00, 0x00}, Bytes(256, 0x00)), {0x55})),
                  "0x00000000: 55 00*255", 256},
        ImageCase{"ProgramCutShortIsNotCarriedOut",
                  {0x5B, 0x5C, 0x02, 0xFF, 0x5C, 0x00, 0xFF, 0x5C, 0x00, 0xFF, 0x5C, 0x10, 0xFF,
                   0x5C, 0x77, 0xFF, 0x41},
                  "",
                  0},
        ImageCase{
            "EraseUnits",
            frames({flash_frame({0x20, 0x00, 0x12, 0x34}), flash_frame({0x52, 0x01, 0x7F, 0xFF}),
                    flash_frame({0xD8, 0x02, 0xFF, 0xFF})}),
            "0x00001000: FF*4096; 0x00010000: FF*32768; 0x00020000: FF*65536", 1 << 18},
        ImageCase{"Erase4Units",
                  frames({flash_frame({0x21, 0x01, 0x00, 0x10, 0x00}),
                          flash_frame({0x5C, 0x01, 0x01, 0x00, 0x00}),
                          flash_frame({0xDC, 0x01, 0x02, 0x00, 0x00})}),
                  "0x01001000: FF*4096; 0x01010000: FF*32768; 0x01020000: FF*65536", 1 << 25},
        ImageCase{"EraseThatCarriesMoreIsIgnored", flash_frame({0x20, 0x00, 0x10, 0x00, 0x00}), "",
                  0},
        ImageCase{"ChipErase",
                  frames({flash_frame({0x9F}, {0x7A, 0x40, 0x0A}), flash_frame({0xC7})}),
                  "0x00000000: FF*1024", 1024},
        ImageCase{
            "SizeFromReadIdFoldsAndWraps",
            frames({flash_frame({0x03, 0x01, 0x00, 0x10}, {0xE0}),
                    flash_frame({0x20, 0x01, 0x20, 0x00}), flash_frame({0x9F}, {0x7A, 0x40, 0x10}),
                    flash_frame({0x03, 0x00, 0xFF, 0xFE}, {0xE1, 0xE2, 0xE3, 0xE4})}),
            "0x00000000: E3 E4; 0x00000010: E0; 0x00002000: FF*4096; 0x0000FFFE: E1 E2", 1 << 16},
        ImageCase{"SizeFromSfdp", flash_frame({0x5A, 0x00, 0x00, 0x00, 0x00}, sfdp_of_1mib), "",
                  1 << 20},
        ImageCase{"SizeGiven", flash_frame({0x03, 0x00, 0x04, 0x01}, {0xF0}), "0x00000001: F0",
                  1024, 0, 1024},
        ImageCase{"QuadIsSkippedAndAQuadProgramForgetsItsPage",
                  frames({flash_frame({0x03, 0x00, 0x01, 0x00}, {0xA0}),
                          flash_frame({0x03, 0x00, 0x03, 0x00}, {0xA2}),
                          flash_frame({0x6B, 0x00, 0x03, 0x00, 0x00}, {0x55}),
                          flash_frame({0x32, 0x00, 0x01, 0x00, 0x12, 0x34})}),
                  "0x00000300: A2", 1024, 0, 0,
                  "QUAD PAGE PROGRAM addr=0x000100 undecodable bytes=6"},
        ImageCase{"ReadBackDifferentDisagrees",
                  frames({flash_frame({0x03, 0x00, 0x00, 0x10}, {0x11, 0x22}),
                          flash_frame({0x03, 0x00, 0x00, 0x10}, {0x11, 0x33})}),
                  "0x00000010: 11 33", 32, 1}),
    case_name);

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
    ASSERT_NO_FATAL_FAILURE(start(sniff, EmulatorScript{}, {"-e", c.edge, "-p", c.polarity}));
    const std::string path = sniff.port;
    ASSERT_TRUE(emulator_wait_received(*sniff.emulator, 4, test_timeout_ms));
    ASSERT_NO_FATAL_FAILURE(end_with_key(sniff, start_transcript(path, c.edge, c.polarity)));
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
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {}));
    const std::string path = sniff.port;
    std::string expected = start_transcript(path);
    expected.replace(expected.size() - 3, 3,
                     " ERROR: Tapwright replied with 0x0 instead of 0x01 \nWARNING.. Not Good\n"
                     "5B [5D ]\n");
    ASSERT_NO_FATAL_FAILURE(end_with_key(sniff, expected));
    EXPECT_EQ(sniff.process.out, expected);
    EXPECT_EQ(emulator_saw(*sniff.emulator, 4), (Bytes{0x00, 0x01, 0x82, 0x0E}));
}

struct RefusalCase {
    const char* name;
    EmulatorScript script;
    std::string expected_stderr;
    Bytes adapter_saw;
};

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
    ASSERT_NO_FATAL_FAILURE(start(sniff, c.script, {}, {}));
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
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
    case_name);

TEST(SnifferRun, BusyPortIsRefusedToASecondInstance) {
    Sniff first;
    ASSERT_NO_FATAL_FAILURE(start(first, EmulatorScript{}, {}));
    const std::string path = first.port;
    ASSERT_TRUE(process_wait_for_output(first.process, start_transcript(path), test_timeout_ms));

    Process second;
    ASSERT_TRUE(process_start(second, program, {"-d", path}));
    ASSERT_TRUE(process_wait(second, test_timeout_ms));
    EXPECT_EQ(second.status, 255);
    // Linux names the holder; Windows cannot tell who it is.
    const std::string holder =
        path.starts_with("COM")
            ? "another program holds it open"
            : "held by spi-sniffer (pid " + std::to_string(first.process.pid) + ")";
    EXPECT_EQ(second.err, open_failure(port_device(path) + " is busy: " + holder));

    end_with_key(first, start_transcript(path));
}

// A program known to take serial ports on its own is named with a line on keeping it off: here
// the sniffer itself, started under that program's name.
TEST(SnifferRun, BusyPortHeldByAPortTakerSaysHowToKeepItOff) {
    const TempFolder folder;
    const std::string taker = folder.path + "/ModemManager";
    ASSERT_EQ(symlink(program.c_str(), taker.c_str()), 0);
    Sniff first;
    ASSERT_NO_FATAL_FAILURE(program_run_start(first, taker, "-d", EmulatorScript{}, {}, merged()));
    ASSERT_TRUE(process_wait_for_output(first.process, "OK\n", test_timeout_ms));
    Process second;
    ASSERT_TRUE(process_start(second, program, {"-d", first.port}));
    ASSERT_TRUE(process_wait(second, test_timeout_ms));
    EXPECT_EQ(second.err, open_failure(first.port + " is busy: held by ModemManager (pid " +
                                       std::to_string(first.process.pid) +
                                       ")\n ModemManager probes every new serial port for a modem. "
                                       "Keep it off this one with a udev rule that sets "
                                       "ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the device, or stop "
                                       "it: sudo systemctl stop ModemManager"));
    end_with_key(first, "OK\n");
}

TEST(SnifferRun, ModemTestQueriesThenFailsAtTheHandshake) {
    EmulatorScript script;
    script.modem = true;
    script.ati3 = "\r\nModem firmware with a long identification text\r\nOK\r\n";
    script.ati4 = "\r\nShort\r\n";
    script.ati7 = "\r\nOK\r\n";
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {"-m"}));
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
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
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {}));
    process_close_stdin(sniff.process);
    const std::string expected = start_transcript(sniff.port) + "5B [5D ]\n41 Sync\n";
    ASSERT_TRUE(process_wait_for_output(sniff.process, expected, test_timeout_ms));
    EXPECT_EQ(process_running(sniff.process), 1);
    process_signal(sniff.process, SIGTERM);
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    EXPECT_TRUE(sniff.process.exited);
    EXPECT_EQ(sniff.process.status, 0);
    EXPECT_EQ(sniff.process.out, expected);
}

TEST(SnifferRun, LostDeviceEndsWithItsTextsAndStatus255) {
    EmulatorScript script;
    script.stream_chunks = {{0x5B, 0x5C, 0x01, 0x02, 0x5D}};
    script.hangup_after_stream = true;
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {}));
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    EXPECT_EQ(sniff.process.out, start_transcript(sniff.port) +
                                     "5B [5C 01 0x01(02 0x02)5D ]\n"
                                     "\n Serial port disconnected\n Exiting...\n");
    EXPECT_EQ(sniff.process.status, 255);
}

// Output that cannot be written ends the run with the reason and status 255, the terminal put
// back; it never passes for a capture.
struct OutputFailureCase {
    const char* name;
    const char* shell_before;
    const char* redirections;
    bool reader_leaves; // the reader of the output pipe goes away once the stream shows
    const char* reason;
};

class SnifferOutputFailure : public testing::TestWithParam<OutputFailureCase> {};

TEST_P(SnifferOutputFailure, EndsWithTheReason) {
    const OutputFailureCase& c = GetParam();
    EmulatorScript script;
    script.flood_pattern = {0x5B, 0x5C, 0x12, 0x34, 0x5D};
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(program_run_emulate(sniff, script));
    ProcessOptions options;
    options.stdin_terminal = true;
    ASSERT_TRUE(start_from_shell(sniff.process, program, c.shell_before, c.redirections,
                                 {"-d", sniff.port}, options));
    if (c.reader_leaves) {
        ASSERT_TRUE(process_wait_for_output(sniff.process, "5D ]\n", test_timeout_ms));
        close(sniff.process.out_fd);
        sniff.process.out_fd = -1;
    }
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    EXPECT_TRUE(sniff.process.exited);
    EXPECT_EQ(sniff.process.status, 255);
    const std::string line = " Error writing output: " + std::string(c.reason) + "\n";
    ASSERT_GE(sniff.process.err.size(), line.size()) << sniff.process.err;
    EXPECT_EQ(sniff.process.err.substr(sniff.process.err.size() - line.size()), line);
    expect_terminal_restored(sniff.process);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnifferOutputFailure,
    testing::Values(OutputFailureCase{"FullDevice", "", ">/dev/full", false,
                                      "No space left on device"},
                    OutputFailureCase{"ClosedOutput", "", ">&-", false, "Bad file descriptor"},
                    OutputFailureCase{"ReaderLeavesWithSigpipeIgnored", "trap '' PIPE", "", true,
                                      "Broken pipe"}),
    case_name);

// --- Live capture ---------------------------------------------------------------------------

// One byte every 25 ms: each shows as it comes, not in one block once a read has timed out.
TEST(SnifferCapture, TricklingBytesShowAsTheyCome) {
    constexpr std::size_t bytes = 40;
    EmulatorScript script;
    script.stream_chunks.assign(bytes, Bytes{0x41});
    script.stream_chunk_gap_ms = 25;
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {}));
    const std::string prefix = start_transcript(sniff.port);
    ASSERT_TRUE(process_wait_for_output(sniff.process, prefix + "41 Sync\n", test_timeout_ms));
    const std::size_t handshake_replies = 5 + 4 + 1; // "BBIO1", "SPI1", the acknowledgement
    EXPECT_LT(emulator_sent(*sniff.emulator), handshake_replies + bytes)
        << "the first byte showed only after the last was sent";
    std::string all = prefix;
    for (std::size_t i = 0; i < bytes; ++i) all += "41 Sync\n";
    ASSERT_NO_FATAL_FAILURE(end_with_key(sniff, all));
    EXPECT_EQ(sniff.process.out, all);
}

// Each frame's line begins with the time of the read its first byte came in (a frame split over
// two reads has one), the times rise, and behind them is the text without them.
TEST(SnifferCapture, TimestampsRiseAndBeginEachFrameLine) {
    const Bytes frame = flash_frame({0x05}, {0x03});
    EmulatorScript script;
    script.stream_chunks = {frame,
                            Bytes(frame.begin(), frame.begin() + 3),
                            Bytes(frame.begin() + 3, frame.end()),
                            {0x41}};
    script.stream_chunk_gap_ms = 30;
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {"--timestamps", "--flash"}));
    const std::string prefix = start_transcript(sniff.port);
    ASSERT_NO_FATAL_FAILURE(end_with_key(sniff, "41 Sync\n"));
    ASSERT_EQ(sniff.process.out.substr(0, prefix.size()), prefix);
    std::istringstream lines(sniff.process.out.substr(prefix.size()));
    std::string line, unstamped;
    std::vector<double> times;
    while (std::getline(lines, line)) {
        const std::size_t blank = line.find(' ');
        if (!line.starts_with("    flash: ")) {
            ASSERT_TRUE(line.starts_with("+") && blank != std::string::npos) << line;
            ASSERT_EQ(line.find('.'), blank - 7) << "six digits of microseconds: " << line;
            times.push_back(std::stod(line.substr(1, blank - 1)));
            line.erase(0, blank + 1);
        }
        unstamped += line + "\n";
    }
    EXPECT_EQ(unstamped, decoded(joined(joined(frame, frame), {0x41}), true, 1));
    ASSERT_EQ(times.size(), 3U);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()) && times[0] < times[2]);
}

// A key in the middle of a flood ends the run at once; what was shown is the stream, in order,
// up to a byte's end.
TEST(SnifferCapture, KeyDuringAFloodEndsItWithTheStreamWhole) {
    EmulatorScript script;
    script.flood_pattern = {0x5B, 0x5C, 0x03, 0xFF, 0x5C, 0x00, 0xA5, 0x5D};
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {}));
    const std::string prefix = start_transcript(sniff.port);
    ASSERT_TRUE(process_wait_for_output(sniff.process, prefix, test_timeout_ms));
    process_pump(sniff.process, 200);
    ASSERT_NO_FATAL_FAILURE(end_with_key(sniff, prefix));
    Bytes shown;
    ASSERT_TRUE(
        sniff_text_bytes(std::string_view(sniff.process.out).substr(prefix.size()), false, shown));
    ASSERT_FALSE(shown.empty());
    for (std::size_t i = 0; i < shown.size(); ++i)
        ASSERT_EQ(shown[i], script.flood_pattern[i % script.flood_pattern.size()]) << "byte " << i;
}

// --- Captures that outlive the run ----------------------------------------------------------

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// However the run ends, the capture file holds at least every byte the screen showed, and
// decoding it again with --read prints the live run's text.
struct CaptureCase {
    const char* name;
    int signal; // 0: a key, unless the device goes away by itself
    bool device_goes;
    int status; // what the run ends with: an exit status, or the signal
};

class SnifferWriteRead : public testing::TestWithParam<CaptureCase> {};

TEST_P(SnifferWriteRead, FileHoldsWhatWasShownAndReadsBackTheSame) {
    const CaptureCase& c = GetParam();
    const TempFolder folder;
    const std::string path = folder.path + "/capture.bin";
    const std::string image = folder.path + "/image.bin";
    std::ofstream(path) << std::string(100000, 'x'); // an older capture, emptied at the start
    EmulatorScript script;
    script.stream_chunks = {flash_frame({0x03, 0x00, 0x00, 0x10}, {0xA5, 0x5A}), {0x41, 0x5B}};
    script.stream_repeat = !c.device_goes;
    script.stream_chunk_gap_ms = 20;
    script.hangup_after_stream = c.device_goes;
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {"--write", path, "--flash", "--image", image}));
    const std::string prefix = start_transcript(sniff.port);
    ASSERT_TRUE(process_wait_for_output(sniff.process, prefix + "5B [", test_timeout_ms));
    if (c.signal != 0) process_signal(sniff.process, c.signal);
    if (c.signal == 0 && !c.device_goes) process_send(sniff.process, "q");
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    EXPECT_EQ(c.signal != 0 && c.status == c.signal ? sniff.process.signal : sniff.process.status,
              c.status);

    const std::string& out = sniff.process.out;
    const std::size_t end = std::min(out.find("\n Serial port disconnected"), out.find(" Summary"));
    const std::string live = out.substr(prefix.size(), end - prefix.size());
    Process replay;
    ASSERT_TRUE(process_start(replay, program, {"--read", path, "--flash"}));
    ASSERT_TRUE(process_wait(replay, test_timeout_ms));
    EXPECT_EQ(replay.status, 0) << replay.err;
    EXPECT_TRUE(begins_with(replay.out, live)) << "live:\n" << live << "read:\n" << replay.out;
    EXPECT_EQ(file_text(path).find('x'), std::string::npos) << "the older capture is still there";
    // The image is whole, its map beside it, and no temporary file is left.
    std::string expected(32, '\xFF');
    expected.replace(0x10, 2, "\xA5\x5A");
    EXPECT_EQ(file_text(image), expected);
    EXPECT_EQ(file_text(image + ".map"), "0x00000010 0x00000012\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path), {}), 3);
}

INSTANTIATE_TEST_SUITE_P(Endings, SnifferWriteRead,
                         testing::Values(CaptureCase{"Key", 0, false, 0},
                                         CaptureCase{"Sigterm", SIGTERM, false, 0},
                                         CaptureCase{"Sighup", SIGHUP, false, SIGHUP},
                                         CaptureCase{"LostDevice", 0, true, 255}),
                         case_name);

// --read with --image: the summary on standard error tells what went by and what the image
// knows; the map lists the known ranges.
TEST(SnifferWriteRead, SummaryAndMapTellWhatTheImageKnows) {
    const TempFolder folder;
    const std::string capture = folder.path + "/capture.bin";
    const std::string image = folder.path + "/image.bin";
    const Bytes stream = frames({flash_frame({0x9F}, {0x7A, 0x40, 0x10}),
                                 flash_frame({0x03, 0x00, 0x01, 0x00}, {0xA0, 0xA1, 0xA2, 0xA3}),
                                 flash_frame({0x03, 0x00, 0x01, 0x00}, {0xA0, 0xA1, 0xFF, 0xA3}),
                                 flash_frame({0x06}),
                                 flash_frame({0x20, 0x00, 0x80, 0x00}),
                                 flash_frame({0x6B, 0x00, 0x00, 0x00, 0x00}, {0x12}),
                                 flash_frame({0x4B}),
                                 flash_frame({0x03, 0x00}),
                                 {0x5B, 0x5C, 0x05, 0xFF, 0x41}});
    std::FILE* file = std::fopen(capture.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(stream.data(), 1, stream.size(), file);
    std::fclose(file);
    Process p;
    ASSERT_TRUE(process_start(p, program, {"--read", capture, "--image", image}));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.err, " Summary\n " + std::to_string(stream.size()) +
                         " bytes, 9 frames\n"
                         " operations:\n"
                         "          3 READ (0x03)\n"
                         "          1 QUAD OUTPUT READ (0x6B)\n"
                         "          1 SECTOR ERASE 4K (0x20)\n"
                         "          1 WRITE ENABLE (0x06)\n"
                         "          1 READ STATUS 1 (0x05)\n"
                         "          1 READ ID (0x9F)\n"
                         "          1 other commands\n"
                         " READ ID: manufacturer=0x7A type=0x40 capacity=0x10\n"
                         " image size: 65536 bytes (64 KiB), from READ ID\n"
                         " known: 4100 bytes (6.26%) in 2 ranges\n"
                         "   0x00000100 to 0x00000103, 4 bytes\n"
                         "   0x00008000 to 0x00008FFF, 4096 bytes\n"
                         " coverage, 1 KiB a character (#: all known, .: part, blank: nothing):\n"
                         " |." +
                         std::string(31, ' ') + "####" + std::string(28, ' ') +
                         "|\n"
                         " disagreements: 1\n"
                         "   0x00000102 known 0xA2 read 0xFF\n"
                         " not in the image: 1 quad, 0 undecodable\n"
                         " cut short: 1 before their command was whole, 1 by a byte outside the "
                         "framing\n");
    EXPECT_EQ(file_text(image + ".map"), "0x00000100 0x00000104\n0x00008000 0x00009000\n");
    EXPECT_EQ(file_text(image).substr(0x100, 5), "\xA0\xA1\xFF\xA3\xFF");
    EXPECT_EQ(file_text(image).size(), 65536u);
}

// A capture file that cannot take the capture stops the run before the adapter sees a byte; an
// existing file is left as it was until sniffing starts.
struct CaptureFileCase {
    const char* name;
    std::string target; // a path, or "port", "link" (to the port), "kept" (an existing file)
    bool held;          // another program holds "kept" locked
    const char* port;   // the port to use, else the emulator's
    std::string error;
    const char* option = "--write";
};

class SnifferCaptureFile : public testing::TestWithParam<CaptureFileCase> {};

TEST_P(SnifferCaptureFile, IsRefusedBeforeThePortAndLeftAsItWas) {
    const CaptureFileCase& c = GetParam();
    const TempFolder folder;
    const std::string kept = folder.path + "/kept.bin", link = folder.path + "/l";
    std::ofstream(kept) << "kept";
    const int held = open(kept.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(c.held ? flock(held, LOCK_EX) : 0, 0);
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(program_run_emulate(sniff, EmulatorScript{}));
    const std::string port = sniff.port;
    ASSERT_EQ(symlink(emulator_path(*sniff.emulator).c_str(), link.c_str()), 0);
    const std::string target = c.target == "port"   ? port_device(port)
                               : c.target == "link" ? link
                               : c.target == "kept" ? kept
                                                    : c.target;
    ASSERT_TRUE(process_start(sniff.process, program,
                              {"-d", c.port ? c.port : port, c.option, target}, merged()));
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    EXPECT_EQ(sniff.process.status, 255);
    const std::string kind = c.option == std::string("--image") ? "image" : "capture";
    const std::string error = c.error.starts_with(" Error opening serial port")
                                  ? c.error
                                  : " Error opening " + kind + " file " + target + ": " + c.error;
    EXPECT_NE(sniff.process.out.find(error), std::string::npos) << sniff.process.out;
    EXPECT_EQ(emulator_received(*sniff.emulator), Bytes{});
    EXPECT_EQ(file_text(kept), "kept");
    close(held);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnifferCaptureFile,
    testing::Values(
        CaptureFileCase{"MissingFolder", "/nonexistent/capture.bin", false, nullptr,
                        "No such file or directory\n"},
        CaptureFileCase{"ThePort", "port", false, nullptr, "it is the serial port itself"},
        CaptureFileCase{"LinkToThePort", "link", false, nullptr, "it is the serial port itself"},
        CaptureFileCase{"Device", "/dev/null", false, nullptr, "it is a terminal or a device"},
        CaptureFileCase{"InUse", "kept", true, nullptr, "it is in use by another program\n"},
        CaptureFileCase{"KeptWhenThePortFails", "kept", false, "/nonexistent/ttyUSB9",
                        missing_port("/nonexistent/ttyUSB9")},
        CaptureFileCase{"ImageInAMissingFolder", "/nonexistent/image.bin", false, nullptr,
                        "No such file or directory\n", "--image"},
        CaptureFileCase{"ImageOnThePort", "link", false, nullptr, "it is the serial port itself",
                        "--image"}),
    case_name);

// A saved capture from standard input, named as flash operations: nothing but the stream's text.
TEST(SnifferWriteRead, ReadsStandardInputWithFlashNames) {
    Process p;
    ASSERT_TRUE(process_start(p, program, {"--flash", "--read", "-"}));
    const Bytes stream = {0x5B, 0x5C, 0x05, 0xFF, 0x5C, 0x00, 0x03, 0x5D, 0x5B, 0x5C, 0x9F};
    ASSERT_TRUE(process_send(p, std::string(stream.begin(), stream.end())));
    const std::string text = "5B [5C 05 0x05(FF 0xFF)5C 00 0x00(03 0x03)5D ]\n"
                             "    flash: READ STATUS 1 status=0x03 WIP=1 WEL=1\n"
                             "5B [5C 9F 0x9F(";
    // Shown as it comes, before the input ends: a growing capture can be followed.
    EXPECT_TRUE(process_wait_for_output(p, text, test_timeout_ms)) << p.out;
    process_close_stdin(p);
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, text);
}

// The JSON lines of a random capture, with a frame longer than the pairs held: every line parses
// with a real JSON parser, and the frames' pieces and the bytes outside frames put together give
// the capture again. The summary stays on standard error.
TEST(SnifferWriteRead, JsonLinesParseAndCarryTheBytes) {
    ASSERT_EQ(std::system("command -v python3 >/dev/null"), 0) << "scripts/setup.sh installs it";
    std::mt19937 random(20261209);
    Bytes capture;
    while (capture.size() < 200000) {
        const int pick = std::uniform_int_distribution<int>(0, 9)(random);
        capture.push_back(pick < 5 ? static_cast<unsigned char>(0x5B + pick % 3)
                                   : static_cast<unsigned char>(random() & 0xFF));
    }
    // Three bytes outside the framing end any frame, so that the capture ends outside one.
    capture.insert(capture.end(), {0x41, 0x41, 0x41, 0x5B});
    for (std::size_t i = 0; i < sniff_json_pairs_held + 2; ++i)
        capture.insert(capture.end(), {0x5C, 0x03, static_cast<unsigned char>(i)});
    // A frame the stream leaves just after a pair's 5C.
    capture.insert(capture.end(), {0x5D, 0x41, 0x5B, 0x5C, 0x01, 0x02, 0x5C});
    TempFolder folder;
    const std::string path = folder.path + "/capture.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(capture.data()),
               static_cast<std::streamsize>(capture.size()));
    const std::string rebuild = R"(import json, sys
out, last, more = bytearray(), None, 0
for line in sys.stdin:
    o = json.loads(line)
    if "outside" in o:
        out += bytes.fromhex(o["outside"])
        continue
    if o["frame"] != last:
        out += b"["
    last = o["frame"]
    mosi, miso = bytes.fromhex(o["mosi"]), bytes.fromhex(o["miso"])
    for i in range(len(mosi)):
        out += b"\x5c" + mosi[i:i + 1] + miso[i:i + 1]
    more += o.get("more", 0)
    if o.get("pair_begun"):
        out += b"\x5c"
    if not (o.get("more") or o.get("cut") or o.get("unfinished")):
        out += b"]"
print(more, out.hex().upper()))";
    std::ofstream(folder.path + "/rebuild.py") << rebuild;
    Process p;
    ASSERT_TRUE(start_from_shell(p, program, "", "| python3 " + folder.path + "/rebuild.py",
                                 {"--read", path, "--format", "jsonl", "--flash", "--summary"}));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_NE(p.err.find(" Summary\n"), std::string::npos) << p.err;
    std::string hex = "1 ";
    for (const unsigned char b : capture)
        hex += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
    const auto differ = std::mismatch(hex.begin(), hex.end(), p.out.begin(), p.out.end());
    EXPECT_EQ(p.out.size(), hex.size() + 1);
    EXPECT_EQ(differ.first - hex.begin(), hex.end() - hex.begin()) << "the first byte that differs";
}

// A capture typed on a terminal: the terminal keeps its line editing, and Ctrl-D ends the input.
TEST(SnifferWriteRead, ReadsATerminalLeftAsItIs) {
    Process p;
    ASSERT_TRUE(process_start(p, program, {"--read", "-"}, on_terminal()));
    ASSERT_TRUE(process_send(p, "AB\n"));
    EXPECT_TRUE(process_wait_for_output(p, "41 Sync\n42 Sync\n0A Sync\n", test_timeout_ms));
    termios mode{};
    ASSERT_EQ(tcgetattr(p.stdin_fd, &mode), 0);
    EXPECT_NE(mode.c_lflag & ICANON, 0u);
    ASSERT_TRUE(process_send(p, "\x04"));
    ASSERT_TRUE(process_wait(p, test_timeout_ms));
    EXPECT_EQ(p.status, 0);
    expect_terminal_restored(p);
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
    ASSERT_NO_FATAL_FAILURE(start(sniff, c.script, {}, on_terminal()));
    if (c.ending != 'n') {
        ASSERT_TRUE(process_wait_for_output(sniff.process, "OK\n", test_timeout_ms));
        termios running{};
        ASSERT_EQ(tcgetattr(sniff.process.stdin_fd, &running), 0);
        EXPECT_EQ(running.c_lflag & (ICANON | ECHO), 0u) << "keys must not echo while sniffing";
    }
    if (c.ending == 'k') {
        ASSERT_TRUE(process_send(sniff.process, " "));
    }
    if (c.ending == 't') process_signal(sniff.process, SIGTERM);
    if (c.ending == 'i') process_signal(sniff.process, SIGINT);
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    EXPECT_EQ(sniff.process.status, c.status) << sniff.process.out;
    expect_terminal_restored(sniff.process);
}

INSTANTIATE_TEST_SUITE_P(Cases, SnifferTerminal,
                         testing::Values(TerminalCase{"Key", EmulatorScript{}, 'k', 0},
                                         TerminalCase{"Sigterm", EmulatorScript{}, 't', 0},
                                         TerminalCase{"Sigint", EmulatorScript{}, 'i', 0},
                                         TerminalCase{"LostDevice", hanging_up(), 'n', 255},
                                         TerminalCase{"RefusedSwitch", refusing_spi(), 'n', 255}),
                         case_name);

// `spi-sniffer ... | head`: the reader goes away while bytes keep coming. The sniffer dies of
// SIGPIPE as any filter would, and the terminal it was given is put back first.
TEST(SnifferTerminal, RestoredWhenTheReaderGoesAway) {
    EmulatorScript script;
    script.flood_pattern = {0x5B, 0x5C, 0x12, 0x34, 0x5D};
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, {}, on_terminal()));
    ASSERT_TRUE(process_wait_for_output(sniff.process, "5D ]\n", test_timeout_ms));
    close(sniff.process.out_fd);
    sniff.process.out_fd = -1;
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    EXPECT_FALSE(sniff.process.exited);
    EXPECT_EQ(sniff.process.signal, SIGPIPE);
    expect_terminal_restored(sniff.process);
}

// A reader that takes nothing (a stalled pager, an ssh pipe) does not keep SIGTERM or SIGINT from
// ending the run at once, with status 0, the terminal restored and every byte read kept; with
// --image the image is written first, also when a hang-up ends the run.
struct BlockedCase {
    const char* name;
    int signal;
    bool image;
};

class SnifferBlockedOutput : public testing::TestWithParam<BlockedCase> {};

TEST_P(SnifferBlockedOutput, SignalEndsTheRunAtOnce) {
    const BlockedCase& c = GetParam();
    const TempFolder folder;
    const std::string path = folder.path + "/capture.bin";
    const std::string image = folder.path + "/image.bin";
    EmulatorScript script;
    script.flood_pattern = flash_frame({0x03, 0x00, 0x00, 0x10}, {0xA5});
    Sniff sniff;
    std::vector<std::string> args = {"--write", path};
    if (c.image) args.insert(args.end(), {"--image", image});
    ASSERT_NO_FATAL_FAILURE(start(sniff, script, args, on_terminal()));
    const std::string prefix = start_transcript(sniff.port);
    ASSERT_TRUE(process_wait_for_output(sniff.process, prefix, test_timeout_ms));
    // Its output is no longer read: the capture stops growing once the pipe is full.
    std::size_t size = 0;
    for (int waited = 0; waited < test_timeout_ms; waited += 200) {
        const std::size_t before = size;
        usleep(200 * 1000);
        size = file_text(path).size();
        if (size > 0 && size == before) break;
    }
    ASSERT_EQ(process_running(sniff.process), 1);
    process_signal(sniff.process, c.signal);
    const auto signalled = TimingClock::now();
    while (process_running(sniff.process) == 1 &&
           TimingClock::now() - signalled < std::chrono::seconds(5))
        usleep(1000);
    EXPECT_LT(TimingClock::now() - signalled, std::chrono::seconds(2));
    ASSERT_TRUE(process_wait(sniff.process, test_timeout_ms));
    if (c.signal == SIGHUP) {
        EXPECT_EQ(sniff.process.signal, SIGHUP);
    } else {
        EXPECT_TRUE(sniff.process.exited);
        EXPECT_EQ(sniff.process.status, 0);
    }
    expect_terminal_restored(sniff.process);
    if (c.image) {
        std::string expected(32, '\xFF');
        expected[0x10] = '\xA5';
        EXPECT_EQ(file_text(image), expected);
    }
    const std::string kept = file_text(path);
    Bytes shown;
    sniff_text_bytes(std::string_view(sniff.process.out).substr(prefix.size()), false, shown);
    EXPECT_GE(kept.size(), shown.size());
    for (std::size_t i = 0; i < kept.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(kept[i]),
                  script.flood_pattern[i % script.flood_pattern.size()])
            << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Signals, SnifferBlockedOutput,
                         testing::Values(BlockedCase{"Sigterm", SIGTERM, false},
                                         BlockedCase{"Sigint", SIGINT, false},
                                         BlockedCase{"SigtermWithImage", SIGTERM, true},
                                         BlockedCase{"SighupWithImage", SIGHUP, true}),
                         case_name);

// Under a job-control shell: started in the background, the sniffer leaves the terminal alone
// (and is not stopped for touching it); in the foreground, also after Ctrl-Z, `bg` and `fg`,
// single keys work.
TEST(SnifferTerminal, FollowsJobControl) {
    Sniff sniff;
    ASSERT_NO_FATAL_FAILURE(program_run_emulate(sniff, EmulatorScript{}));
    ProcessOptions options = on_terminal();
    options.extra_env = {"PS1=sh> "};
    ASSERT_TRUE(process_start(sniff.process, "/bin/bash",
                              {"--norc", "--noprofile", "--noediting", "-i"}, options));
    const auto single_keys = [&](bool wanted) {
        for (int waited = 0; waited < test_timeout_ms; waited += 20) {
            termios now{};
            if (tcgetattr(sniff.process.stdin_fd, &now) == 0 &&
                ((now.c_lflag & ICANON) == 0) == wanted)
                return true;
            process_pump(sniff.process, 20);
        }
        return false;
    };
    const auto type = [&](const std::string& keys, const std::string& shown) {
        const std::size_t before = sniff.process.out.size();
        ASSERT_TRUE(process_send(sniff.process, keys));
        for (int waited = 0; waited < test_timeout_ms; waited += 20) {
            if (sniff.process.out.find(shown, before) != std::string::npos) return;
            process_pump(sniff.process, 20);
        }
        FAIL() << "no " << shown << " in " << sniff.process.out;
    };
    type(program + " -d " + sniff.port + " >/dev/null &\n", "[1] ");
    ASSERT_TRUE(emulator_wait_received(*sniff.emulator, 4, test_timeout_ms));
    type("jobs\n", "Running");
    EXPECT_TRUE(single_keys(false)) << "the terminal was changed from the background";
    type("fg\n", "spi-sniffer");
    EXPECT_TRUE(single_keys(true)) << "brought to the foreground from its start";
    type("\x1a", "Stopped");
    EXPECT_TRUE(single_keys(false)) << "the shell did not get its terminal back";
    type("bg\n", "&");
    type("fg\n", "spi-sniffer");
    EXPECT_TRUE(single_keys(true)) << "after Ctrl-Z, bg and fg";
    type("q", "sh> ");
    type("echo status=$?\n", "status=0");
    process_send(sniff.process, "exit\n");
}

// Bash completion offers the device names as they are, quoted: a name is never run or expanded,
// and ttyUSB0 stands for the folder's device as -d takes it. The names are links in a folder of
// the test's own, which the completion is pointed at.
TEST(SnifferCompletion, OffersDeviceNamesQuotedAndNeverRunsThem) {
    const std::string loader = "/usr/share/bash-completion/bash_completion";
    ASSERT_EQ(access(loader.c_str(), R_OK), 0) << "scripts/setup.sh installs bash-completion";
    const TempFolder made;
    const std::string folder = made.path + "/", by_id = folder + "serial/by-id/";
    const std::vector<std::string> links = {folder + "ttyUSB0", folder + "ttyS 1",
                                            by_id + "usb-A$(touch run)", by_id + "usb-B$HOME"};
    ASSERT_EQ(mkdir((folder + "serial").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(by_id.c_str(), 0700), 0);
    for (const std::string& link : links) ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    Process shell;
    ProcessOptions options = on_terminal();
    options.extra_env = {"PS1=sh> ", "HOME=" + folder};
    ASSERT_TRUE(process_start(shell, "/bin/bash", {"--norc", "--noprofile", "-i"}, options));
    ASSERT_TRUE(process_send(shell, "cd " + folder + " && source " + loader + " && source " +
                                        BASH_COMPLETION_PATH +
                                        " && _tapwright_device_folder=" + folder +
                                        " _tapwright_device_patterns='tty* serial/by-id/*'"
                                        " && spi-sniffer() { printf '<%s>\\n' \"$@\"; }\n"));
    const std::pair<std::string, std::string> cases[] = {
        {"ttyU", "<ttyUSB0>"},
        {"ttyS", "<ttyS 1>"},
        {by_id + "usb-A", "<" + by_id + "usb-A$(touch run)>"},
        {by_id + "usb-B", "<" + by_id + "usb-B$HOME>"}};
    for (const auto& [typed, printed] : cases) {
        ASSERT_TRUE(process_send(shell, "spi-sniffer -d " + typed + "\t\n"));
        EXPECT_TRUE(process_wait_for_output(shell, "<-d>\n" + printed + "\n", test_timeout_ms))
            << typed << " gave:\n"
            << shell.out;
    }
    process_send(shell, "exit\n");
    process_wait(shell, test_timeout_ms);
    EXPECT_NE(access((folder + "run").c_str(), F_OK), 0) << "a device name was run";
}

} // namespace
