// End-to-end throughput: the emulated adapter floods spi-sniffer through a pseudo-terminal as
// fast as the sniffer takes the bytes; every byte must come out of the sniffer, in order.
// Beside it, the same flood read by `dd bs=100` from the same kind of pseudo-terminal.
//   flood_bench SPI_SNIFFER_PATH [megabytes] [raw]

#include "emulator.hpp"
#include "process.hpp"
#include "sniff_text.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Frames as an SPI flash read puts them on the wire: command, address, then data pairs.
std::vector<unsigned char> flash_read_frame() {
    std::vector<unsigned char> frame = {0x5B, 0x5C, 0x03, 0xFF, 0x5C, 0x01, 0xFF,
                                        0x5C, 0x20, 0xFF, 0x5C, 0x00, 0xFF};
    for (int i = 0; i < 16; ++i) {
        frame.push_back(0x5C);
        frame.push_back(0x00);
        frame.push_back(static_cast<unsigned char>(i * 37 + 11));
    }
    frame.push_back(0x5D);
    return frame;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads the flood with dd from a fresh emulator; returns MB/s.
double dd_rate(std::size_t bytes, const std::vector<unsigned char>& pattern) {
    EmulatorScript script;
    script.flood_pattern = pattern;
    script.flood_bytes = bytes;
    Emulator* emulator = emulator_start(script);
    if (emulator == nullptr) return 0;
    const std::string path = emulator_path(*emulator);
    // Into SPI mode and start, as the sniffer would, then let dd take the stream.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    const unsigned char start[] = {0x00, 0x01, 0x0E};
    for (const unsigned char b : start) {
        (void)!write(fd, &b, 1);
        usleep(20000);
    }
    unsigned char discard[64];
    (void)!read(fd, discard, sizeof discard); // "BBIO1SPI1" and the first flood bytes
    const auto began = Clock::now();
    const std::string count = "count=" + std::to_string(bytes / 100 - 1);
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("dd", "dd", ("if=" + path).c_str(), "of=/dev/null", "bs=100", count.c_str(),
               "iflag=fullblock", "status=none", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double elapsed = seconds_since(began);
    close(fd);
    emulator_stop(emulator);
    return static_cast<double>(bytes) / elapsed / 1e6;
}

} // namespace

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s SPI_SNIFFER_PATH [megabytes] [raw]\n", arguments[0]);
        return 2;
    }
    const std::string sniffer = arguments[1];
    const std::size_t megabytes = argument_count > 2 ? std::strtoul(arguments[2], nullptr, 10) : 20;
    const bool raw = argument_count > 3 && std::strcmp(arguments[3], "raw") == 0;
    const std::vector<unsigned char> frame = flash_read_frame();
    const std::size_t bytes = megabytes * 1000000 / frame.size() * frame.size();

    EmulatorScript script;
    script.flood_pattern = frame;
    script.flood_bytes = bytes;
    Emulator* emulator = emulator_start(script);
    if (emulator == nullptr) return 1;
    Process sniff;
    if (!process_start(sniff, sniffer, {"-d", emulator_path(*emulator), "-r", raw ? "1" : "0"})) {
        return 1;
    }
    const std::string ready = "OK\n";
    if (!process_wait_for_output(sniff, ready, 10000)) {
        std::fprintf(stderr, "sniffer did not start:\n%s%s\n", sniff.out.c_str(),
                     sniff.err.c_str());
        return 1;
    }
    sniff.out.reserve(bytes * 12);
    const auto began = Clock::now();
    auto last_output = began;
    for (;;) {
        const std::size_t before = sniff.out.size();
        process_pump(sniff, 300);
        if (sniff.out.size() != before) {
            last_output = Clock::now();
        } else if (emulator_sent(*emulator) >= bytes) {
            break; // the flood is out and the sniffer has printed all it will
        }
    }
    const double elapsed = std::chrono::duration<double>(last_output - began).count();
    process_send(sniff, "q");
    process_wait(sniff, 10000);

    std::vector<unsigned char> shown;
    const std::size_t text_start = sniff.out.find(ready) + ready.size();
    const bool parsed =
        sniff_text_bytes(std::string_view(sniff.out).substr(text_start), raw, shown);
    std::size_t lost = 0;
    bool in_order = parsed && shown.size() <= bytes;
    for (std::size_t i = 0; in_order && i < shown.size(); ++i)
        in_order = shown[i] == frame[i % frame.size()];
    lost = bytes > shown.size() ? bytes - shown.size() : 0;
    emulator_stop(emulator);

    const double sniffer_rate = static_cast<double>(bytes) / elapsed / 1e6;
    const double dd = dd_rate(bytes, frame);
    std::printf(
        "flood %s: %zu bytes in %.3f s: %.2f MB/s; lost %zu; in order: %s; exit status %d\n",
        raw ? "raw" : "decoded", bytes, elapsed, sniffer_rate, lost, in_order ? "yes" : "NO",
        sniff.status);
    std::printf("dd bs=100 on the same pseudo-terminal flood: %.2f MB/s (sniffer/dd = %.2f)\n", dd,
                sniffer_rate / dd);
    return lost == 0 && in_order && sniff.status == 0 ? 0 : 1;
}
