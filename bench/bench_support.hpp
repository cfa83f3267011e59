#pragma once

// What the capture benchmarks share. A trial runs one reader (spi-sniffer, or a baseline such
// as xxd) on a pseudo-terminal whose master the bench keeps as a stand-in adapter: it answers
// the handshake, feeds bytes at a chosen pace and stamps each write, timestamps the reader's
// output as it arrives, presses a key, and notices the exit through a pidfd. All of it happens
// in one thread and one wait, so each time is taken where the event happens and no hand-over
// between threads adds to it.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

using BenchClock = std::chrono::steady_clock;
using BenchTime = BenchClock::time_point;

enum BenchFeedKind { bench_feed_silent, bench_feed_paced, bench_feed_flood };

// The byte the trickles send: outside a frame it prints as "41 Sync\n", so each one shows at
// once, alone, and its hex can be counted in the output.
inline constexpr unsigned char bench_trickle_byte = 0x41;
inline constexpr const char* bench_trickle_sniffer_text = "41 ";
inline constexpr const char* bench_trickle_xxd_text = "41\n";

// The sniffer's last line before the sniffed bytes; the banner names the port, whose number
// may well look like a byte.
inline constexpr const char* bench_sniffer_ready = "OK\n";

struct BenchFeed {
    BenchFeedKind kind = bench_feed_silent;
    std::vector<unsigned char> pattern = {bench_trickle_byte}; // sent over and over
    std::chrono::microseconds tick{10000};                     // paced: one write per tick
    double bytes_per_tick = 1;             // paced: a fraction carries over to the next tick
    std::chrono::milliseconds duration{0}; // feeding stops after this; 0: no limit
    std::size_t total = 0;                 // feeding stops after this many bytes; 0: no limit
};

// Traffic as the live view and the key benchmarks name it.
struct BenchTraffic {
    std::string label;
    BenchFeed feed;
};

struct BenchTrial {
    std::vector<std::string> command; // the reader; an argument "{port}" becomes the slave's path
    // Answer like the adapter and feed from the start byte on; false: a plain reader of the
    // port, fed as soon as it runs (once its output shows a first byte, when byte_text is set).
    bool adapter = true;
    BenchFeed feed;
    std::string output_path; // the reader's stdout: this file, or "" for a pipe the bench reads
    bool output_terminal =
        false;                // or a terminal (pseudo) in its default mode, that the bench reads
    std::string output_start; // in the pipe, bytes count from the end of this text
    std::string byte_text;    // in the pipe, each fed byte's text; "" counts nothing
    std::chrono::milliseconds key_after{-1}; // a key this long after the feed began; -1: none
    // After the last byte fed: false, the reader is sent SIGTERM once every byte's text came
    // (or settle passed); true, the master is closed once the reader has taken every byte.
    bool hangup = false;
    std::chrono::milliseconds settle{2000};
    std::chrono::milliseconds limit{30000}; // after this the reader is killed
};

struct BenchOutcome {
    bool fed_from_start = false; // the feed began (for the adapter: the start byte came)
    BenchTime feed_began{};
    BenchTime all_taken{}; // with hangup: the reader had taken the last byte fed
    BenchTime key_pressed{};
    BenchTime exited{};
    std::size_t fed = 0;
    std::vector<BenchTime> written; // per byte fed, when byte_text is set
    std::vector<BenchTime> shown;   // per byte_text seen in the output, in order
    std::string output;             // the piped stdout, when byte_text is set
    int wait_status = 0;
    double cpu_seconds = 0; // user + system over the reader's whole life
    bool killed = false;    // it did not end within the limit
};

// Runs the trial to the reader's end. Returns 0, or -1 when the reader could not be started
// or had to be killed.
int bench_trial_run(const BenchTrial& trial, BenchOutcome& outcome);

// The reader ended by exit() with this status.
bool bench_exited_with(const BenchOutcome& outcome, int status);

double bench_ms(BenchTime from, BenchTime to);

// Per byte shown, the time from its write to its text, in ms.
std::vector<double> bench_latencies_ms(const BenchOutcome& outcome);

// Nearest rank; 0 for no samples.
double bench_percentile(std::vector<double> samples, double fraction);

struct BenchSpread {
    double min = 0;
    double median = 0;
    double max = 0;
};

BenchSpread bench_spread(std::vector<double> values);

// A figure with the digits that matter at its size.
std::string bench_number(double value);

// "min / median / max", or the one value of a single run.
std::string bench_spread_text(const BenchSpread& spread);

// "x12.3": ours over the baseline's, or "-" when the baseline is 0.
std::string bench_ratio_text(double ours, double baseline);

// Prints rows as a table, the first row the header, columns padded to their widest cell.
void bench_print_table(const std::vector<std::vector<std::string>>& rows);

// The value after "--name" on the command line, or fallback.
long bench_option(int argument_count, char** arguments, const char* name, long fallback);
std::string bench_text_option(int argument_count, char** arguments, const char* name,
                              const std::string& fallback);

// The traffic of the live view, each with the time a trial feeds it.
std::vector<BenchTraffic> bench_traffics();

// Frames as an SPI flash read puts them on the wire: command, address, then data pairs.
std::vector<unsigned char> bench_flash_read_frame();

// Parses `xxd -p` output back into bytes. Returns false on anything but hex and line ends.
bool bench_xxd_bytes(const std::string& text, std::vector<unsigned char>& bytes);

// Bytes expected but not shown, and whether those shown are the pattern repeated from its start.
struct BenchLoss {
    std::size_t lost = 0;
    bool in_order = false;
};

BenchLoss bench_loss(const std::vector<unsigned char>& shown,
                     const std::vector<unsigned char>& pattern, std::size_t expected);
