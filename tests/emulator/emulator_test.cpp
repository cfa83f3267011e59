// The emulated adapter: its protocol byte by byte, and the pseudo-terminal around it driven
// through a plain descriptor on its slave, so that a fault in it shows here and not as a
// puzzling failure of the code that is tested against it.

#include "emulator.hpp"
#include "emulator_protocol.hpp"
#include "pty_client.hpp"
#include "test_cases.hpp"
#include "timing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <ostream>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

int open_descriptor_count() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return -1;
    int count = 0;
    while (readdir(folder) != nullptr) ++count;
    closedir(folder);
    return count;
}

struct Step {
    Bytes send;
    Bytes reply; // exactly this, and nothing more before the next step
    bool starts_stream = false;
};

struct SessionCase {
    const char* name;
    EmulatorScript script;
    std::vector<Step> steps;
};

EmulatorScript with(void (*change)(EmulatorScript&)) {
    EmulatorScript script;
    change(script);
    return script;
}

const Bytes none;
const Bytes handshake = {0x00};
const Bytes bbio1 = bytes_of("BBIO1");
const Bytes bbio0 = bytes_of("BBIO0");
const Bytes ack = {0x01};

std::vector<SessionCase> session_cases() {
    return {
        {"AnsweredAtOnce", {}, {{handshake, bbio1}}},
        {"AnsweredOnThirdAfterSilence",
         with([](EmulatorScript& s) { s.handshake_from_attempt = 3; }),
         {{handshake, none}, {handshake, none}, {handshake, bbio1}}},
        {"AnsweredOnThirdAfterWrongReplies",
         with([](EmulatorScript& s) {
             s.handshake_from_attempt = 3;
             s.handshake_wrong = true;
         }),
         {{handshake, bbio0}, {handshake, bbio0}, {handshake, bbio1}}},
        {"NeverAnswered",
         with([](EmulatorScript& s) { s.handshake_from_attempt = 0; }),
         {{handshake, none}, {handshake, none}, {handshake, none}}},
        {"NeverAnsweredButWrongReplies",
         with([](EmulatorScript& s) {
             s.handshake_from_attempt = 0;
             s.handshake_wrong = true;
         }),
         {{handshake, bbio0}, {handshake, bbio0}}},
        {"InitialStateIgnoresCommands",
         {},
         {{{0x40}, none}, {{0x14}, none}, {{0x01}, none}, {handshake, bbio1}}},
        {"BitBangSelfTestBoard",
         {},
         {{handshake, bbio1},
          {{0x40}, ack},
          {{0xC0}, ack},
          {{0x14}, {0x47, 0x46}},
          {{0x80}, ack},
          {{0x0F}, none},
          {handshake, bbio1},
          {handshake, bbio1}}},
        {"ClosingByteCountsHandshakesAnew",
         with([](EmulatorScript& s) { s.handshake_from_attempt = 2; }),
         {{handshake, none},
          {handshake, bbio1},
          {{0x0F}, none},
          {handshake, none},
          {handshake, bbio1}}},
        {"SuccessiveReadingsLastRepeats",
         with([](EmulatorScript& s) {
             s.readings = {{0x01, 0x02}, {0x03}, {}, {0x04, 0x05}};
         }),
         {{handshake, bbio1},
          {{0x14}, {0x01, 0x02}},
          {{0x14}, {0x03}},
          {{0x14}, none},
          {{0x14}, {0x04, 0x05}},
          {{0x14}, {0x04, 0x05}}}},
        {"NoReadingsIsSilence",
         with([](EmulatorScript& s) { s.readings = {}; }),
         {{handshake, bbio1}, {{0x14}, none}, {{0x80}, ack}}},
        {"CommandRepliesPerByte",
         with([](EmulatorScript& s) {
             s.command_reply[0x40] = 0xFF;
             s.command_reply[0xC0] = emulator_silence;
         }),
         {{handshake, bbio1}, {{0x40}, {0xFF}}, {{0xC0}, none}, {{0x80}, ack}}},
        {"SpiModeTakesCommands",
         {},
         {{handshake, bbio1},
          {{0x01}, bytes_of("SPI1")},
          {{0x84}, ack},
          {{0x14}, ack},
          {{0x0F}, ack}}},
        {"StartByteStartsTheStreamInSpiModeOnly",
         {},
         {{{0x0E}, none},
          {handshake, bbio1},
          {{0x0E}, ack},
          {{0x01}, bytes_of("SPI1")},
          {{0x0E}, none, true}}},
        {"ShortModeReply",
         with([](EmulatorScript& s) { s.mode_reply = "SPI"; }),
         {{handshake, bbio1}, {{0x01}, bytes_of("SPI")}, {{0x80}, ack}}},
        {"SilentModeReply",
         with([](EmulatorScript& s) { s.mode_reply = ""; }),
         {{handshake, bbio1}, {{0x01}, none}, {{0x80}, ack}}},
        {"ModemAnswersQueries",
         with([](EmulatorScript& s) {
             s.modem = true;
             s.ati3 = "three";
             s.ati4 = "four";
             s.ati7 = "seven";
         }),
         {{bytes_of("ATI3\r"), bytes_of("three")},
          {handshake, none},
          {{0x40}, none},
          {bytes_of("ATI4\r"), bytes_of("four")},
          {bytes_of("\x14\x80\x0f"
                    "ATI7\r"),
           bytes_of("seven")},
          {bytes_of("ATZ\r"), none},
          {bytes_of("ATI7"), none},
          {bytes_of("\r"), bytes_of("seven")}}},
    };
}

// The protocol alone, without a pseudo-terminal: nothing to wait for, and "nothing more" is exact.
class EmulatorSession : public testing::TestWithParam<SessionCase> {};

TEST_P(EmulatorSession, RepliesStepByStep) {
    const SessionCase& session = GetParam();
    EmulatorProtocol protocol = emulator_protocol_begin(session.script);
    for (std::size_t i = 0; i < session.steps.size(); ++i) {
        const Step& step = session.steps[i];
        Bytes reply;
        bool starts_stream = false;
        for (const unsigned char byte : step.send)
            if (emulator_answer(session.script, protocol, byte, reply)) starts_stream = true;
        EXPECT_EQ(reply, step.reply) << "step " << i;
        EXPECT_EQ(starts_stream, step.starts_stream) << "step " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, EmulatorSession, testing::ValuesIn(session_cases()), case_name);

EmulatorScript streaming_script(std::vector<Bytes> chunks) {
    EmulatorScript script;
    script.stream_chunks = std::move(chunks);
    return script;
}

TEST(EmulatorStream, ChunksComeInOrderWithTheGapBetweenThem) {
    EmulatorScript script = streaming_script({{0x5B, 0x5C, 0x01}, {0x02, 0x5D}, {0xAA}});
    script.stream_chunk_gap_ms = 200;
    Emulator* emulator = emulator_start(script);
    ASSERT_NE(emulator, nullptr);
    const int fd = open_slave(*emulator);
    ASSERT_GE(fd, 0);
    ASSERT_NO_FATAL_FAILURE(start_sniffer(fd));

    std::vector<TimingClock::time_point> arrivals;
    for (const Bytes& chunk : script.stream_chunks) {
        EXPECT_EQ(read_within(fd, chunk.size(), test_timeout_ms), chunk);
        arrivals.push_back(TimingClock::now());
    }
    // The emulator can be late on a loaded machine but never early.
    for (std::size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], std::chrono::milliseconds(150)) << "gap " << i;
    EXPECT_EQ(read_within(fd, 64, quiet_ms), none);
    EXPECT_FALSE(emulator_wait_hung_up(*emulator, 0));

    close(fd);
    emulator_stop(emulator);
}

TEST(EmulatorStream, HangupWaitsUntilTheProgramHasReadTheStream) {
    EmulatorScript script = streaming_script({{0x5B, 0x5C, 0x12}, {0x34, 0x5D}});
    script.stream_chunk_gap_ms = 1;
    script.hangup_after_stream = true;
    Emulator* emulator = emulator_start(script);
    ASSERT_NE(emulator, nullptr);
    const int fd = open_slave(*emulator);
    ASSERT_GE(fd, 0);
    ASSERT_NO_FATAL_FAILURE(start_sniffer(fd));

    // Closing the master throws away whatever the slave has not read yet.
    EXPECT_FALSE(emulator_wait_hung_up(*emulator, 300));
    EXPECT_EQ(read_within(fd, 5, test_timeout_ms), Bytes({0x5B, 0x5C, 0x12, 0x34, 0x5D}));
    EXPECT_TRUE(emulator_wait_hung_up(*emulator, test_timeout_ms));
    EXPECT_TRUE(hung_up(fd, test_timeout_ms));

    close(fd);
    emulator_stop(emulator);
}

TEST(EmulatorStream, FloodSendsThePatternAsOftenAsAsked) {
    EmulatorScript script;
    script.flood_pattern = {0x5B, 0x5C, 0x01, 0x02, 0x5D};
    script.flood_bytes = 100003;
    script.hangup_after_stream = true;
    Emulator* emulator = emulator_start(script);
    ASSERT_NE(emulator, nullptr);
    const int fd = open_slave(*emulator);
    ASSERT_GE(fd, 0);
    ASSERT_NO_FATAL_FAILURE(start_sniffer(fd));

    const Bytes flood = read_within(fd, script.flood_bytes + 1, test_timeout_ms);
    ASSERT_EQ(flood.size(), script.flood_bytes);
    for (std::size_t i = 0; i < flood.size(); ++i)
        ASSERT_EQ(flood[i], script.flood_pattern[i % script.flood_pattern.size()]) << i;
    EXPECT_TRUE(hung_up(fd, test_timeout_ms));
    EXPECT_EQ(emulator_sent(*emulator), script.flood_bytes + 5 + 4);

    close(fd);
    emulator_stop(emulator);
}

TEST(EmulatorPort, SurvivesTheProgramClosingAndReopeningThePort) {
    Emulator* emulator = emulator_start({});
    ASSERT_NE(emulator, nullptr);
    for (int board = 1; board <= 3; ++board) {
        const int fd = open_slave(*emulator);
        ASSERT_GE(fd, 0) << "board " << board;
        ASSERT_NO_FATAL_FAILURE(send_bytes(fd, {0x00}));
        EXPECT_EQ(read_within(fd, 5, test_timeout_ms), bbio1) << "board " << board;
        ASSERT_NO_FATAL_FAILURE(send_bytes(fd, {0x0F}));
        close(fd);
        EXPECT_FALSE(emulator_wait_hung_up(*emulator, quiet_ms)) << "board " << board;
    }
    EXPECT_TRUE(emulator_wait_received(*emulator, 6, test_timeout_ms));
    EXPECT_EQ(emulator_received(*emulator), Bytes({0x00, 0x0F, 0x00, 0x0F, 0x00, 0x0F}));
    emulator_stop(emulator);
}

TEST(EmulatorPort, HangupIsSeenOnTheSlave) {
    Emulator* emulator = emulator_start({});
    ASSERT_NE(emulator, nullptr);
    const int fd = open_slave(*emulator);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(hung_up(fd, 0));

    emulator_hangup(*emulator);
    EXPECT_TRUE(emulator_wait_hung_up(*emulator, 0));
    EXPECT_TRUE(hung_up(fd, test_timeout_ms));
    // A second hang-up, and the stop after it, must not wait for a master that is gone.
    emulator_hangup(*emulator);

    close(fd);
    emulator_stop(emulator);
}

struct StopCase {
    const char* name;
    EmulatorScript script;
    bool start_sniffer;
};

std::vector<StopCase> stop_cases() {
    EmulatorScript endless_flood;
    endless_flood.flood_pattern = {0xA5};
    EmulatorScript long_gap = streaming_script({{0x01}, {0x02}});
    long_gap.stream_chunk_gap_ms = 60000;
    EmulatorScript unread_replies;
    unread_replies.readings = {Bytes(200, 0x47)};
    return {
        {"Idle", {}, false},
        {"EndlessFloodNobodyReads", endless_flood, true},
        {"InTheGapBetweenChunks", long_gap, true},
        {"ManyRepliesNobodyReads", unread_replies, false},
    };
}

class EmulatorStop : public testing::TestWithParam<StopCase> {};

TEST_P(EmulatorStop, ReturnsPromptlyAndLeavesNoDescriptor) {
    const StopCase& stop = GetParam();
    const int descriptors_before = open_descriptor_count();
    ASSERT_GT(descriptors_before, 0);

    Emulator* emulator = emulator_start(stop.script);
    ASSERT_NE(emulator, nullptr);
    const int fd = open_slave(*emulator);
    ASSERT_GE(fd, 0);
    if (stop.start_sniffer) {
        ASSERT_NO_FATAL_FAILURE(start_sniffer(fd));
    } else {
        ASSERT_NO_FATAL_FAILURE(send_bytes(fd, {0x00}));
        ASSERT_EQ(read_within(fd, 5, test_timeout_ms), bbio1);
        // Far more replies than the pseudo-terminal holds, none of them read.
        ASSERT_NO_FATAL_FAILURE(send_bytes(fd, Bytes(400, 0x14)));
    }
    EXPECT_TRUE(emulator_wait_received(*emulator, 2, test_timeout_ms));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto stop_began = TimingClock::now();
    emulator_stop(emulator);
    EXPECT_LT(TimingClock::now() - stop_began, std::chrono::seconds(3));
    close(fd);
    EXPECT_EQ(open_descriptor_count(), descriptors_before);
}

INSTANTIATE_TEST_SUITE_P(Situations, EmulatorStop, testing::ValuesIn(stop_cases()), case_name);

} // namespace
