// The emulator's features for tapwright-emu: random answers, paced and repeating streams, the
// hang-up after a byte count, the client watch, the trace and the demo stream (read through the
// sniffer's flash annotations).

#include "emulator.hpp"
#include "pty_client.hpp"
#include "sniff_image.hpp"
#include "sniffer.hpp"
#include "test_cases.hpp"
#include "timing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <ostream>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

struct Client {
    Emulator* emulator = nullptr;
    int fd = -1;
    ~Client() {
        if (fd >= 0) close(fd);
        emulator_stop(emulator);
    }
};

void open_client(Client& client, const EmulatorScript& script) {
    client.emulator = emulator_start(script);
    ASSERT_NE(client.emulator, nullptr);
    client.fd = open_slave(*client.emulator);
    ASSERT_GE(client.fd, 0);
}

// --- Random answers --------------------------------------------------------------------------

const Bytes random_input = [] {
    Bytes input;
    for (int i = 0; i < 120; ++i) input.push_back(static_cast<unsigned char>(i * 37));
    return input;
}();

// Every byte the emulator answers to random_input, sent in one write or one byte at a time.
Bytes random_answers(std::uint32_t seed, bool byte_by_byte) {
    EmulatorScript script;
    script.random_seed = seed;
    Client client;
    open_client(client, script);
    if (client.fd < 0) return {};
    if (byte_by_byte) {
        // Each byte is in before the next goes, so the emulator reads them one by one.
        for (std::size_t i = 0; i < random_input.size(); ++i) {
            send_bytes(client.fd, {random_input[i]});
            EXPECT_TRUE(emulator_wait_received(*client.emulator, i + 1, test_timeout_ms));
        }
    } else {
        send_bytes(client.fd, random_input);
    }
    EXPECT_TRUE(emulator_wait_received(*client.emulator, random_input.size(), test_timeout_ms));
    return read_within(client.fd, SIZE_MAX, test_timeout_ms, 200);
}

TEST(EmulatorRandom, AnswersDependOnTheSeedAndTheBytesOnly) {
    const Bytes reference = random_answers(7, false);
    // 0 to 8 bytes for each of 120: far from none, never more than 8 each.
    EXPECT_GT(reference.size(), random_input.size());
    EXPECT_LE(reference.size(), 8 * random_input.size());
    EXPECT_NE(Bytes(reference.begin(), reference.begin() + 5), bytes_of("BBIO1"));

    EXPECT_EQ(random_answers(7, true), reference) << "the same seed, the bytes one by one";
    EXPECT_EQ(random_answers(7, false), reference) << "the same seed again";
    EXPECT_NE(random_answers(8, false), reference) << "another seed";
}

// --- Streams ---------------------------------------------------------------------------------

struct StreamCase {
    const char* name;
    EmulatorScript script;
    Bytes expected; // the first bytes after the start byte
    bool ends;      // nothing follows them
};

EmulatorScript stream(std::vector<Bytes> chunks, std::size_t rate, bool repeat) {
    EmulatorScript script;
    script.stream_chunks = std::move(chunks);
    script.stream_rate = rate;
    script.stream_repeat = repeat;
    script.stream_chunk_gap_ms = 1;
    return script;
}

EmulatorScript watching(EmulatorScript script = {}) {
    script.watch_clients = true;
    return script;
}

Bytes repeated(const Bytes& pattern, std::size_t size) {
    Bytes all;
    while (all.size() < size) all.push_back(pattern[all.size() % pattern.size()]);
    return all;
}

std::vector<StreamCase> stream_cases() {
    const Bytes one_to_five = {1, 2, 3, 4, 5};
    return {
        {"PacedOnce", stream({{1, 2, 3}, {4, 5}}, 20000, false), one_to_five, true},
        {"PacedRepeatsAcrossEmptyChunks", stream({{}, {1, 2, 3}, {}, {4, 5}, {}}, 20000, true),
         repeated(one_to_five, 33), false},
        {"PacedLongerThanOnePiece", stream({repeated(one_to_five, 3001)}, 50000, false),
         repeated(one_to_five, 3001), true},
        {"ChunksRepeat", stream({{9}, {8, 7}}, 0, true), repeated({9, 8, 7}, 14), false},
        {"AllChunksEmpty", stream({{}, {}}, 20000, true), {}, true},
    };
}

class EmulatorStreams : public testing::TestWithParam<StreamCase> {};

TEST_P(EmulatorStreams, SendTheirBytesInOrder) {
    const StreamCase& c = GetParam();
    Client client;
    ASSERT_NO_FATAL_FAILURE(open_client(client, c.script));
    ASSERT_NO_FATAL_FAILURE(start_sniffer(client.fd));
    EXPECT_EQ(read_within(client.fd, c.expected.size(), test_timeout_ms), c.expected);
    if (c.ends)
        EXPECT_EQ(read_within(client.fd, 1, 200), Bytes{});
    else
        EXPECT_EQ(read_within(client.fd, 1, test_timeout_ms).size(), 1u) << "the stream goes on";
}

INSTANTIATE_TEST_SUITE_P(Cases, EmulatorStreams, testing::ValuesIn(stream_cases()), case_name);

TEST(EmulatorPacedStream, KeepsToTheRate) {
    Client client;
    ASSERT_NO_FATAL_FAILURE(open_client(client, stream({{0x5B, 0x5D}}, 2000, true)));
    ASSERT_NO_FATAL_FAILURE(start_sniffer(client.fd));
    const auto began = TimingClock::now();
    EXPECT_EQ(read_within(client.fd, 600, test_timeout_ms).size(), 600u);
    const auto took = TimingClock::now() - began;
    // 0.3 s at 2000 bytes per second: never early by more than a piece, late only on a load.
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

// --- Hang-up after a byte count --------------------------------------------------------------

struct HangupCase {
    const char* name;
    EmulatorScript script;
    Bytes expected;
};

EmulatorScript hanging_up_after(EmulatorScript script, std::size_t count) {
    script.hangup_after_bytes = count;
    return script;
}

std::vector<HangupCase> hangup_cases() {
    EmulatorScript flood;
    flood.flood_pattern = {0xA5, 0x5A};
    return {
        {"InsideAChunk",
         hanging_up_after(stream({{1, 2, 3}, {4, 5, 6, 7}, {8}}, 0, false), 5),
         {1, 2, 3, 4, 5}},
        {"PacedAcrossRepeats", hanging_up_after(stream({{1, 2, 3, 4, 5}}, 20000, true), 12),
         repeated({1, 2, 3, 4, 5}, 12)},
        {"Flood", hanging_up_after(flood, 9000), repeated({0xA5, 0x5A}, 9000)},
        // Holding no slave of its own, the emulator looks at what is unread another way.
        {"WatchingClients",
         watching(hanging_up_after(stream({{1, 2, 3, 4, 5}}, 20000, true), 3000)),
         repeated({1, 2, 3, 4, 5}, 3000)},
    };
}

class EmulatorHangupAfterBytes : public testing::TestWithParam<HangupCase> {};

TEST_P(EmulatorHangupAfterBytes, SendsExactlyThatManyThenHangsUp) {
    const HangupCase& c = GetParam();
    Client client;
    ASSERT_NO_FATAL_FAILURE(open_client(client, c.script));
    ASSERT_NO_FATAL_FAILURE(start_sniffer(client.fd));
    // Hanging up before the program has read them would throw the last bytes away.
    EXPECT_FALSE(emulator_wait_hung_up(*client.emulator, 200));
    EXPECT_EQ(read_within(client.fd, c.expected.size() + 1, test_timeout_ms), c.expected);
    EXPECT_TRUE(hung_up(client.fd, test_timeout_ms));
    EXPECT_TRUE(emulator_wait_hung_up(*client.emulator, test_timeout_ms));
    EXPECT_EQ(emulator_sent(*client.emulator), c.expected.size() + 9); // BBIO1, SPI1
}

INSTANTIATE_TEST_SUITE_P(Cases, EmulatorHangupAfterBytes, testing::ValuesIn(hangup_cases()),
                         case_name);

// --- The client watch ------------------------------------------------------------------------

void expect_clients(Emulator& emulator, int departures, bool present) {
    // The emulator's thread learns of an open or close a moment after it happened.
    const TimingDeadline deadline = timing_deadline_after(test_timeout_ms);
    EmulatorClients clients = emulator_clients(emulator);
    while ((clients.departures != departures || clients.present != present) &&
           TimingClock::now() < deadline) {
        usleep(2000);
        clients = emulator_clients(emulator);
    }
    EXPECT_EQ(clients.departures, departures);
    EXPECT_EQ(clients.present, present);
}

TEST(EmulatorClients, SessionEndsWhenTheLastClientCloses) {
    Emulator* emulator = emulator_start(watching());
    ASSERT_NE(emulator, nullptr);
    expect_clients(*emulator, 0, false);
    EXPECT_FALSE(emulator_wait_clients_done(*emulator, quiet_ms));

    // Two opens in a row: the kernel may fold their notices into one.
    const int first = open_slave(*emulator);
    const int second = open_slave(*emulator, false); // the first holds the lock
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    expect_clients(*emulator, 0, true);
    close(first);
    EXPECT_FALSE(emulator_wait_clients_done(*emulator, 200)) << "the second is still there";
    expect_clients(*emulator, 0, true);
    close(second);
    EXPECT_TRUE(emulator_wait_clients_done(*emulator, test_timeout_ms));
    expect_clients(*emulator, 1, false);

    // Cleaning up after the last client looks at the slave: that is no new client.
    usleep(200000);
    expect_clients(*emulator, 1, false);
    const int third = open_slave(*emulator);
    ASSERT_GE(third, 0);
    expect_clients(*emulator, 1, true);
    close(third);
    expect_clients(*emulator, 2, false);
    emulator_stop(emulator);
}

TEST(EmulatorClients, ClientGoneBeforeTheEmulatorLookedStillCounts) {
    Emulator* emulator = emulator_start(watching());
    ASSERT_NE(emulator, nullptr);
    for (int departure = 1; departure <= 5; ++departure) {
        const int fd = open_slave(*emulator);
        ASSERT_GE(fd, 0);
        close(fd);
        expect_clients(*emulator, departure, false);
    }
    emulator_stop(emulator);
}

TEST(EmulatorClients, UnwatchedCountsNothing) {
    Emulator* emulator = emulator_start({});
    ASSERT_NE(emulator, nullptr);
    const int fd = open_slave(*emulator);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_FALSE(emulator_wait_clients_done(*emulator, 200));
    expect_clients(*emulator, 0, false);
    emulator_stop(emulator);
}

struct LeaveCase {
    const char* name;
    void (*leave)(int fd); // what the first client does before it closes the port
};

std::vector<LeaveCase> leave_cases() {
    return {
        {"MidStream",
         [](int fd) {
             ASSERT_NO_FATAL_FAILURE(start_sniffer(fd));
             EXPECT_EQ(read_within(fd, 10, test_timeout_ms).size(), 10u);
         }},
        {"UnreadReplies",
         [](int fd) {
             send_bytes(fd, {0x00});
             send_bytes(fd, Bytes(300, 0x14)); // 600 reply bytes nobody reads
         }},
        {"InSpiMode",
         [](int fd) {
             send_bytes(fd, {0x00, 0x01});
             EXPECT_EQ(read_within(fd, 9, test_timeout_ms), bytes_of("BBIO1SPI1"));
         }},
        // Killed while holding the port: its exclusive hold would keep out every other user.
        {"HeldExclusively", [](int fd) { ASSERT_EQ(ioctl(fd, TIOCEXCL), 0); }},
    };
}

class EmulatorNextClient : public testing::TestWithParam<LeaveCase> {};

TEST_P(EmulatorNextClient, StartsClean) {
    Emulator* emulator = emulator_start(watching(stream({{0x5B, 0x5D}}, 20000, true)));
    ASSERT_NE(emulator, nullptr);
    const int first = open_slave(*emulator);
    ASSERT_GE(first, 0);
    ASSERT_NO_FATAL_FAILURE(GetParam().leave(first));
    close(first);
    ASSERT_TRUE(emulator_wait_clients_done(*emulator, test_timeout_ms));

    const int next = open_slave(*emulator);
    ASSERT_GE(next, 0);
    int exclusive = -1;
    ASSERT_EQ(ioctl(next, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the first client's exclusive hold outlived it";
    EXPECT_EQ(read_within(next, 1, quiet_ms), Bytes{}) << "left over from the first client";
    ASSERT_NO_FATAL_FAILURE(send_bytes(next, {0x00}));
    EXPECT_EQ(read_within(next, 5, test_timeout_ms), bytes_of("BBIO1"));
    ASSERT_NO_FATAL_FAILURE(send_bytes(next, {0x01}));
    EXPECT_EQ(read_within(next, 4, test_timeout_ms), bytes_of("SPI1"));
    EXPECT_EQ(read_within(next, 1, quiet_ms), Bytes{});
    close(next);
    emulator_stop(emulator);
}

INSTANTIATE_TEST_SUITE_P(Cases, EmulatorNextClient, testing::ValuesIn(leave_cases()), case_name);

TEST(EmulatorClients, NotifiesOpensClosesAndTheHangup) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    EmulatorScript script = watching();
    script.notify_fd = ends[1];
    Emulator* emulator = emulator_start(script);
    ASSERT_NE(emulator, nullptr);
    // Whether a notice comes, the pipe emptied afterwards.
    const auto noticed = [&](int timeout_ms) {
        const bool any = !read_within(ends[0], 1, timeout_ms).empty();
        read_within(ends[0], SIZE_MAX, test_timeout_ms, quiet_ms);
        return any;
    };
    EXPECT_FALSE(noticed(quiet_ms));
    const int fd = open_slave(*emulator);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(noticed(test_timeout_ms)) << "open";
    close(fd);
    EXPECT_TRUE(noticed(test_timeout_ms)) << "close";
    EXPECT_FALSE(noticed(quiet_ms));
    emulator_hangup(*emulator);
    EXPECT_TRUE(noticed(test_timeout_ms)) << "hang-up";
    emulator_stop(emulator);
    close(ends[0]);
    close(ends[1]);
}

// --- Trace -----------------------------------------------------------------------------------

TEST(EmulatorTrace, LogsEveryTransferInHex) {
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    EmulatorScript script;
    script.trace = log;
    script.readings = {{0x0A, 0xFF}};
    Client client;
    ASSERT_NO_FATAL_FAILURE(open_client(client, script));
    ASSERT_NO_FATAL_FAILURE(send_bytes(client.fd, {0x00}));
    ASSERT_EQ(read_within(client.fd, 5, test_timeout_ms), bytes_of("BBIO1"));
    ASSERT_NO_FATAL_FAILURE(send_bytes(client.fd, {0x14}));
    ASSERT_EQ(read_within(client.fd, 2, test_timeout_ms), (Bytes{0x0A, 0xFF}));
    emulator_stop(client.emulator);
    client.emulator = nullptr;

    std::rewind(log);
    std::string text;
    for (int c = std::fgetc(log); c != EOF; c = std::fgetc(log)) text += static_cast<char>(c);
    std::fclose(log);
    EXPECT_EQ(text, "rx 00\ntx 42 42 49 4F 31\nrx 14\ntx 0A FF\n");
}

// --- The demo stream -------------------------------------------------------------------------

// The flash annotation of each frame of the stream, without its marker; a test failure when the
// stream is not made of whole frames.
std::vector<std::string> annotations_of(const Bytes& stream) {
    SniffDecoder decoder = sniff_decoder_new(false, true);
    std::vector<char> room(sniff_text_room(decoder, stream.size()));
    const std::string text(
        room.data(),
        sniff_decode_text(decoder, stream.data(), static_cast<int>(stream.size()), room.data()));
    EXPECT_EQ(text.find("Sync"), std::string::npos) << "bytes outside the framing";
    EXPECT_EQ(decoder.state, 0) << "it ends inside a frame";
    std::vector<std::string> lines;
    const std::string marker = "\n    flash: ";
    for (std::size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + 1)) {
        const std::size_t from = at + marker.size();
        lines.push_back(text.substr(from, text.find('\n', from) - from));
    }
    return lines;
}

bool begins(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

TEST(EmulatorDemo, TellsAFlashSessionInWholeFrames) {
    const std::vector<std::string> lines = annotations_of(emulator_demo_stream());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(begins(lines[0], "READ ID ")) << "the part is identified first";
    for (const std::string kind : {"READ ID ",
                                   "MANUFACTURER/DEVICE ID ",
                                   "READ SFDP ",
                                   "command 0x",
                                   "READ STATUS 1 ",
                                   "READ STATUS 2 ",
                                   "WRITE STATUS ",
                                   "WRITE ENABLE",
                                   "WRITE DISABLE",
                                   "SECTOR ERASE 4K ",
                                   "BLOCK ERASE 32K ",
                                   "BLOCK ERASE 64K ",
                                   "SECTOR ERASE4 4K ",
                                   "BLOCK ERASE4 64K ",
                                   "PAGE PROGRAM ",
                                   "PAGE PROGRAM4 ",
                                   "READ ",
                                   "FAST READ ",
                                   "READ4 ",
                                   "FAST READ4 ",
                                   "DUAL OUTPUT READ ",
                                   "DUAL OUTPUT READ4 ",
                                   "DUAL I/O READ ",
                                   "QUAD OUTPUT READ ",
                                   "ENTER 4-BYTE ",
                                   "EXIT 4-BYTE ",
                                   "WRITE EXTENDED ",
                                   "POWER DOWN",
                                   "RELEASE POWER DOWN "}) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const std::string& line) { return begins(line, kind); }))
            << "no " << kind;
    }

    std::set<std::string> read_addresses;
    std::set<std::string> data;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        EXPECT_EQ(line.find("short"), std::string::npos) << line;
        if (begins(line, "READ addr=")) read_addresses.insert(line.substr(5, 13));
        const std::size_t values = line.find("data=");
        if (values != std::string::npos)
            for (std::size_t at = values + 5; at + 1 < line.size() && line[at] != '.'; at += 2)
                data.insert(line.substr(at, 2));
        if (line.find("ERASE") == std::string::npos && !begins(line, "PAGE PROGRAM") &&
            !begins(line, "WRITE STATUS"))
            continue;
        // A write: enabled before (a status read may come between), polled until ready after.
        std::size_t before = i;
        while (before > 0 && begins(lines[before - 1], "READ STATUS 1 ")) --before;
        EXPECT_TRUE(before > 0 && lines[before - 1] == "WRITE ENABLE") << line;
        std::size_t after = i + 1;
        while (after < lines.size() && lines[after].find(" WIP=1") != std::string::npos) ++after;
        EXPECT_GT(after, i + 1) << line << ": no poll while busy";
        EXPECT_TRUE(after < lines.size() && lines[after].find(" WIP=0") != std::string::npos)
            << line << ": not polled until ready";
        // What a page program wrote is read back.
        if (begins(line, "PAGE PROGRAM")) {
            const std::string read_back = (begins(line, "PAGE PROGRAM4") ? "READ4" : "READ") +
                                          line.substr(line.find(" addr="));
            EXPECT_NE(std::find(lines.begin(), lines.end(), read_back), lines.end()) << line;
        }
    }
    // Alive: reads at many addresses, data of many values.
    EXPECT_GE(read_addresses.size(), 16u);
    EXPECT_GT(data.size(), 100u);
}

// The image the sniffer rebuilds from the demo, played twice, is the emulated flash wherever it
// knows a byte, and no read disagrees: the session leaves the flash as it found it.
TEST(EmulatorDemo, ImageIsTheEmulatedFlash) {
    Bytes stream = emulator_demo_stream();
    const Bytes once = stream;
    stream.insert(stream.end(), once.begin(), once.end());
    const std::unique_ptr<SniffImage> image = sniff_image_new(0);
    SniffDecoder decoder = sniff_decoder_new(false, false, image.get());
    std::vector<char> room(sniff_text_room(decoder, stream.size()));
    sniff_decode_text(decoder, stream.data(), static_cast<int>(stream.size()), room.data());
    SniffSizeSource source{};
    const std::uint64_t size = sniff_image_size(*image, &source);
    EXPECT_EQ(size, 32u << 20);
    EXPECT_EQ(source, sniff_size_read_id);
    EXPECT_EQ(image->disagreements, 0u);
    EXPECT_EQ(image->tally.quad, 2u);
    std::uint64_t known = 0, start = 0, stop = 0;
    for (std::uint64_t from = 0; sniff_image_next_range(*image, from, size, start, stop);
         from = stop)
        for (std::uint64_t at = start; at < stop; ++at, ++known)
            ASSERT_EQ(sniff_image_byte(*image, at),
                      emulator_demo_flash(static_cast<std::uint32_t>(at)))
                << "at 0x" << std::hex << at;
    // The reads, and the erased blocks of 4, 32 and 64 KiB.
    EXPECT_GT(known, 4096u + 32768u + 2 * 65536u);
}

} // namespace
