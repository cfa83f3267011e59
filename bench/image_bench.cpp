// What --image costs the sniffer it is given:
// - the speed of --read on a capture of mixed flash traffic (boot reads, fast and dual reads,
//   sector updates with their polls, every read agreeing with what was written), with and
//   without --image, the text going to /dev/null (the decoder alone) and to a file;
// - the peak memory (max RSS) of a --read --image whose traffic touches the two ends of a
//   256 MiB part, against the bound of the image size and 8 MiB;
// - a live flood at 300,000 bytes/s from the emulated adapter with --image: every byte shown in
//   order, as without it, and the image the same as --read makes of the same bytes.
//   image_bench SPI_SNIFFER [--runs N] [--megabytes N (of the capture; the flood takes 3)]

#include "bench_report.hpp"
#include "emulator.hpp"
#include "process.hpp"
#include "sniff_text.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// A 16 MiB flash whose contents the session below reads and writes.
struct Flash {
    Bytes bytes = Bytes(16 << 20);
    std::uint64_t seed = 88172645463325252ULL;
};

unsigned random_number(Flash& flash) {
    std::uint64_t& x = flash.seed;
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    return static_cast<unsigned>(x);
}

// One frame: the command while the flash floats MISO, then the answer while the host sends 0.
void frame(Bytes& out, const Bytes& sent, const unsigned char* answer = nullptr,
           std::size_t count = 0) {
    out.push_back(0x5B);
    for (const unsigned char b : sent) out.insert(out.end(), {0x5C, b, 0xFF});
    for (std::size_t i = 0; i < count; ++i) out.insert(out.end(), {0x5C, 0x00, answer[i]});
    out.push_back(0x5D);
}

Bytes addressed(unsigned char opcode, std::uint32_t address, int bytes, int dummy = 0) {
    Bytes sent = {opcode};
    for (int i = bytes - 1; i >= 0; --i)
        sent.push_back(static_cast<unsigned char>(address >> 8 * i));
    sent.insert(sent.end(), static_cast<std::size_t>(dummy), 0x00);
    return sent;
}

void add_read(Bytes& out, Flash& flash, unsigned char opcode, std::uint32_t address,
              std::size_t n) {
    frame(out, addressed(opcode, address, 3, opcode == 0x0B), flash.bytes.data() + address, n);
}

// A dual output read: each pair carries two bytes, the higher bit of each two on MISO.
void dual_read(Bytes& out, const Flash& flash, std::uint32_t address, std::size_t n) {
    out.push_back(0x5B);
    for (const unsigned char b : addressed(0x3B, address, 3, 1))
        out.insert(out.end(), {0x5C, b, 0xFF});
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        const unsigned both =
            unsigned{flash.bytes[address + i]} << 8 | flash.bytes[address + i + 1];
        unsigned mosi = 0, miso = 0;
        for (int clock = 0; clock < 8; ++clock) {
            miso |= ((both >> (15 - 2 * clock)) & 1) << (7 - clock);
            mosi |= ((both >> (14 - 2 * clock)) & 1) << (7 - clock);
        }
        out.insert(out.end(),
                   {0x5C, static_cast<unsigned char>(mosi), static_cast<unsigned char>(miso)});
    }
    out.push_back(0x5D);
}

void polls(Bytes& out, int busy) {
    const unsigned char busy_status = 0x03, ready = 0x00;
    for (int i = 0; i < busy; ++i) frame(out, {0x05}, &busy_status, 1);
    frame(out, {0x05}, &ready, 1);
}

// Boots that read their code, fast and dual reads about, and sector updates, as long as wanted.
Bytes mixed_capture(std::size_t size) {
    Flash flash;
    for (unsigned char& b : flash.bytes) b = static_cast<unsigned char>(random_number(flash));
    Bytes out;
    const unsigned char id[] = {0x7A, 0x40, 0x18};
    while (out.size() < size) {
        frame(out, {0x9F}, id, 3);
        const std::uint32_t boot = random_number(flash) % 32 * 0x40000;
        for (std::uint32_t at = 0; at < 0x40000; at += 4096)
            add_read(out, flash, 0x03, boot + at, 4096);
        for (int i = 0; i < 16; ++i)
            add_read(out, flash, 0x0B, random_number(flash) % (15 << 20), 256);
        for (int i = 0; i < 4; ++i) dual_read(out, flash, random_number(flash) % (15 << 20), 512);
        const std::uint32_t sector = (8 << 20) + random_number(flash) % 2048 * 4096;
        frame(out, {0x06});
        frame(out, addressed(0x20, sector, 3));
        polls(out, 3);
        std::fill_n(flash.bytes.begin() + sector, 4096, 0xFF);
        for (std::uint32_t page = sector; page < sector + 4096; page += 256) {
            Bytes program = addressed(0x02, page, 3);
            for (int i = 0; i < 256; ++i) {
                const auto b = static_cast<unsigned char>(random_number(flash));
                flash.bytes[page + static_cast<std::uint32_t>(i)] &= b;
                program.push_back(b);
            }
            frame(out, {0x06});
            frame(out, program);
            polls(out, 1);
        }
        add_read(out, flash, 0x03, sector, 4096);
    }
    out.resize(size);
    return out;
}

// A 256 MiB part (READ ID capacity 0x1C) read at its first and its last 4 KiB.
Bytes ends_capture() {
    Bytes out;
    const unsigned char id[] = {0x7A, 0x40, 0x1C};
    const Bytes data(4096, 0x5A);
    frame(out, {0x9F}, id, 3);
    frame(out, addressed(0x13, 0, 4), data.data(), data.size());
    frame(out, addressed(0x13, (256u << 20) - 4096, 4), data.data(), data.size());
    return out;
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

struct Run {
    double seconds;
    long max_rss_kib;
    int status;
};

// Runs the program with stdout to out_path and stderr to /dev/null, within limit_s.
Run run(const std::vector<std::string>& args, const std::string& out_path, int limit_s = 300) {
    ProcessOptions options;
    options.stdout_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    options.stderr_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    Process p;
    const auto start = Clock::now();
    const bool started = options.stdout_fd >= 0 && options.stderr_fd >= 0 &&
                         process_start(p, args[0], {args.begin() + 1, args.end()}, options);
    for (const int fd : {options.stdout_fd, options.stderr_fd})
        if (fd >= 0) close(fd);
    if (!started) return {0, 0, -1};
    process_close_stdin(p);
    process_wait(p, limit_s * 1000);
    return {std::chrono::duration<double>(Clock::now() - start).count(), p.max_rss_kib,
            p.exited ? p.status : 128 + p.signal};
}

// "min / median / max" in format; the median also in *median.
std::string spread(const std::vector<double>& values, const char* format,
                   double* median = nullptr) {
    const BenchSpread figures = bench_spread(values);
    if (median != nullptr) *median = figures.median;
    char text[128];
    std::snprintf(text, sizeof text, format, figures.min, figures.median, figures.max);
    return text;
}

} // namespace

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s SPI_SNIFFER [--runs N] [--megabytes N]\n", arguments[0]);
        return 2;
    }
    const std::string sniffer = arguments[1];
    const int runs = static_cast<int>(bench_option(argument_count, arguments, "--runs", 3));
    const long megabytes = bench_option(argument_count, arguments, "--megabytes", 100);
    char folder_template[] = "/tmp/image_bench.XXXXXX";
    if (mkdtemp(folder_template) == nullptr) return 2;
    const std::string folder = folder_template, image = folder + "/image.bin";
    const std::string capture = folder + "/mixed.bin", text = folder + "/text.txt";
    int failed = 0;

    write_file(capture, mixed_capture(static_cast<std::size_t>(megabytes) * 1000000));
    std::printf("== --read of %ld MB of mixed flash traffic; seconds, min / median / max of %d "
                "runs; speed with --image over without (target: x0.80 or more)\n",
                megabytes, runs);
    for (const std::string& output : {std::string("/dev/null"), text}) {
        std::vector<double> plain, imaged;
        for (int i = 0; i < runs; ++i) {
            const Run without = run({sniffer, "--read", capture}, output);
            const Run with = run({sniffer, "--read", capture, "--image", image}, output);
            failed += (without.status != 0) + (with.status != 0);
            plain.push_back(without.seconds);
            imaged.push_back(with.seconds);
        }
        double without = 0, with = 0;
        const std::string plain_text = spread(plain, "%.3f / %.3f / %.3f", &without);
        const std::string imaged_text = spread(imaged, "%.3f / %.3f / %.3f", &with);
        std::printf("   text to %-9s  without %s  with --image %s  x%.2f\n",
                    output == text ? "a file" : output.c_str(), plain_text.c_str(),
                    imaged_text.c_str(), without / with);
    }

    write_file(capture, ends_capture());
    std::vector<double> plain_rss, imaged_rss;
    for (int i = 0; i < runs; ++i) {
        const Run without = run({sniffer, "--read", capture}, "/dev/null");
        const Run with = run({sniffer, "--read", capture, "--image", image}, "/dev/null");
        failed += (without.status != 0) + (with.status != 0) +
                  (std::filesystem::file_size(image) != (256u << 20));
        plain_rss.push_back(static_cast<double>(without.max_rss_kib) / 1024);
        imaged_rss.push_back(static_cast<double>(with.max_rss_kib) / 1024);
    }
    std::printf("== peak memory (max RSS, MiB), --read --image of a 256 MiB part touched at its "
                "two ends; min / median / max of %d runs (target: 264 MiB at most)\n"
                "   without --image %s  with --image %s\n",
                runs, spread(plain_rss, "%.1f / %.1f / %.1f").c_str(),
                spread(imaged_rss, "%.1f / %.1f / %.1f").c_str());
    failed += std::any_of(imaged_rss.begin(), imaged_rss.end(), [](double m) { return m > 264; });

    const Bytes live = mixed_capture(3000000);
    write_file(capture, live);
    const std::string reference = folder + "/reference.bin";
    run({sniffer, "--read", capture, "--image", reference}, "/dev/null");
    std::printf("== live flood of %zu bytes at 300,000 bytes/s through the emulated adapter; "
                "seconds, min / median / max of %d runs (target: every byte in order, and the "
                "image of --read)\n",
                live.size(), runs);
    for (const bool with_image : {false, true}) {
        std::vector<double> seconds;
        std::size_t lost = 0, images_differ = 0;
        for (int i = 0; i < runs; ++i) {
            EmulatorScript script;
            script.stream_chunks = {live};
            script.stream_rate = 300000;
            script.hangup_after_stream = true;
            Emulator* emulator = emulator_start(script);
            if (emulator == nullptr) return 2;
            std::vector<std::string> args = {sniffer, "-d", emulator_path(*emulator)};
            if (with_image) args.insert(args.end(), {"--image", image});
            const Run sniffed = run(args, text, 120);
            emulator_stop(emulator);
            seconds.push_back(sniffed.seconds);
            const Bytes out = read_file(text);
            const std::string all(out.begin(), out.end());
            const std::size_t ready = all.find("OK\n");
            Bytes shown;
            if (ready == std::string::npos ||
                !sniff_text_bytes(std::string_view(all).substr(ready + 3), false, shown) ||
                shown != live)
                lost += live.size() - std::min(live.size(), shown.size()) + (shown != live);
            if (with_image && read_file(image) != read_file(reference)) ++images_differ;
        }
        std::printf("   %-13s %s  bytes lost or out of order: %zu%s\n",
                    with_image ? "with --image" : "without",
                    spread(seconds, "%.2f / %.2f / %.2f").c_str(), lost,
                    with_image
                        ? (images_differ == 0 ? ", image as --read makes it" : ", IMAGE DIFFERS")
                        : "");
        failed += lost > 0 || images_differ > 0;
    }
    std::filesystem::remove_all(folder);
    return failed == 0 ? 0 : 1;
}
