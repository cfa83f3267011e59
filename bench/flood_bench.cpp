// Lossless flood: the stand-in adapter floods a pseudo-terminal as fast as the reader takes the
// bytes; spi-sniffer (decoded, raw, and as JSON lines) writes its output to a file in the temporary
// directory, beside `xxd -p` reading the same kind of flood into a file there too. Each file is
// read back afterwards: every byte must be in it, in order. The rate runs from the first byte the
// reader could take (the sniffer's start byte; xxd's start) to the moment it had taken the last
// one; then the master is closed and the reader ends at the hang-up.
//   flood_bench SPI_SNIFFER [--runs N] [--megabytes N]

#include "bench_support.hpp"
#include "sniff_text.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Reader {
    std::string label;
    std::vector<std::string> arguments; // after the program
    bool sniffer = true;
    bool raw = false;
    bool jsonl = false;
};

struct Figures {
    std::vector<double> rate; // MB/s
    std::size_t lost = 0;
    bool in_order = true;
    int failed = 0;
};

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The value of "key" in a JSON line of the sniffer's: a string's contents or a number's digits.
std::string json_field(const std::string& line, const std::string& key) {
    const std::size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return {};
    std::size_t from = at + key.size() + 3;
    const bool text = from < line.size() && line[from] == '"';
    if (text) ++from;
    return line.substr(from, line.find_first_of(text ? "\"" : ",}", from) - from);
}

// Upper-case hex, as the sniffer writes it, read back through the xxd reader.
bool append_hex(std::string hex, std::vector<unsigned char>& bytes) {
    for (char& c : hex) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return bench_xxd_bytes(hex, bytes);
}

// The stream that --format jsonl lines tell: each frame's pairs between its "[" and "]", and the
// bytes outside frames.
bool jsonl_bytes(const std::string& text, std::vector<unsigned char>& bytes) {
    std::istringstream lines(text);
    std::string line, last_frame;
    while (std::getline(lines, line)) {
        if (line.find("\"outside\":") != std::string::npos) {
            if (!append_hex(json_field(line, "outside"), bytes)) return false;
            continue;
        }
        const std::string frame = json_field(line, "frame");
        std::vector<unsigned char> mosi, miso;
        if (frame.empty() || !append_hex(json_field(line, "mosi"), mosi) ||
            !append_hex(json_field(line, "miso"), miso) || miso.size() > mosi.size())
            return false;
        if (frame != last_frame) bytes.push_back(0x5B);
        last_frame = frame;
        for (std::size_t i = 0; i < mosi.size(); ++i) {
            bytes.insert(bytes.end(), {0x5C, mosi[i]});
            if (i < miso.size()) bytes.push_back(miso[i]);
        }
        if (line.find("\"pair_begun\":true") != std::string::npos) bytes.push_back(0x5C);
        if (line.find("\"more\":true") == std::string::npos &&
            line.find("\"cut\":true") == std::string::npos &&
            line.find("\"unfinished\":true") == std::string::npos)
            bytes.push_back(0x5D);
    }
    return true;
}

// The bytes the reader's file shows; false when the text cannot be read back.
bool shown_bytes(const Reader& reader, const std::string& path, std::vector<unsigned char>& bytes) {
    const std::string text = read_file(path);
    if (!reader.sniffer) return bench_xxd_bytes(text, bytes);
    // JSON lines stand alone: the banner and the adapter's texts went to standard error.
    if (reader.jsonl) return jsonl_bytes(text, bytes);
    const std::size_t ready = text.find(bench_sniffer_ready);
    if (ready == std::string::npos) return false;
    return sniff_text_bytes(
        std::string_view(text).substr(ready + std::string(bench_sniffer_ready).size()), reader.raw,
        bytes);
}

void add_run(Figures& figures, const Reader& reader, const std::string& program,
             const BenchFeed& feed, const std::string& path) {
    BenchTrial trial;
    trial.command = {program};
    trial.command.insert(trial.command.end(), reader.arguments.begin(), reader.arguments.end());
    trial.adapter = reader.sniffer;
    trial.feed = feed;
    trial.output_path = path;
    trial.hangup = true;
    trial.limit = std::chrono::seconds(120);
    BenchOutcome outcome;
    const bool ended = bench_trial_run(trial, outcome) == 0 && outcome.fed == feed.total;
    std::vector<unsigned char> bytes;
    const bool parsed = shown_bytes(reader, path, bytes);
    std::filesystem::remove(path);
    const BenchLoss loss = bench_loss(bytes, feed.pattern, feed.total);
    figures.lost += loss.lost;
    figures.in_order = figures.in_order && parsed && loss.in_order;
    if (!ended) ++figures.failed;
    const double seconds = bench_ms(outcome.feed_began, outcome.all_taken) / 1000;
    figures.rate.push_back(ended && seconds > 0 ? static_cast<double>(feed.total) / seconds / 1e6
                                                : 0);
}

} // namespace

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s SPI_SNIFFER [--runs N] [--megabytes N]\n", arguments[0]);
        return 2;
    }
    const int runs = static_cast<int>(bench_option(argument_count, arguments, "--runs", 3));
    const long megabytes = bench_option(argument_count, arguments, "--megabytes", 20);
    BenchFeed feed;
    feed.kind = bench_feed_flood;
    feed.pattern = bench_flash_read_frame();
    feed.total =
        static_cast<std::size_t>(megabytes) * 1000000 / feed.pattern.size() * feed.pattern.size();
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("flood_bench." + std::to_string(getpid()) + ".out"))
                                 .string();

    const std::vector<Reader> readers = {
        {"spi-sniffer", {"-d", "{port}"}, true, false},
        {"spi-sniffer -r 1", {"-d", "{port}", "-r", "1"}, true, true},
        {"spi-sniffer --format jsonl", {"-d", "{port}", "--format", "jsonl"}, true, false, true},
        {"xxd -p", {"-p", "{port}"}, false, false}};
    std::vector<Figures> figures(readers.size());
    for (int run = 0; run < runs; ++run)
        for (std::size_t r = 0; r < readers.size(); ++r)
            add_run(figures[r], readers[r], readers[r].sniffer ? arguments[1] : "xxd", feed, path);

    std::printf("== lossless flood through a pseudo-terminal, %zu bytes, output to a file in %s; "
                "MB/s, min / median / max of %d run%s\n",
                feed.total, std::filesystem::temp_directory_path().c_str(), runs,
                runs == 1 ? "" : "s");
    std::puts(
        "   target: every byte in order, at x1.0 of xxd -p or more; --format jsonl at x0.5 of "
        "the decoded text or more");
    const double xxd_rate = bench_spread(figures.back().rate).median;
    std::vector<std::vector<std::string>> rows = {
        {"reader", "MB/s", "/ xxd -p", "/ decoded", "lost bytes", "in order"}};
    const double decoded_rate = bench_spread(figures.front().rate).median;
    int failed = 0;
    for (std::size_t r = 0; r < readers.size(); ++r) {
        const BenchSpread rate = bench_spread(figures[r].rate);
        std::string order = figures[r].in_order ? "yes" : "NO";
        if (figures[r].failed > 0)
            order += ", " + std::to_string(figures[r].failed) + " runs FAILED";
        rows.push_back(
            {readers[r].label, bench_spread_text(rate), bench_ratio_text(rate.median, xxd_rate),
             bench_ratio_text(rate.median, decoded_rate), std::to_string(figures[r].lost), order});
        failed += figures[r].failed + (figures[r].lost > 0 || !figures[r].in_order ? 1 : 0);
    }
    bench_print_table(rows);
    return failed == 0 ? 0 : 1;
}
