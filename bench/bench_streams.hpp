#pragma once

// The streams the benchmarks feed, and how what a reader shows is read back into bytes.

#include "bench_feed.hpp"

#include <cstddef>
#include <string>
#include <vector>

inline constexpr const char* bench_trickle_sniffer_text = "41 ";
inline constexpr const char* bench_trickle_xxd_text = "41\n";

// The sniffer's last line before the sniffed bytes; the banner names the port, whose number
// may well look like a byte.
inline constexpr const char* bench_sniffer_ready = "OK\n";

// Traffic as the live view and the key benchmarks name it.
struct BenchTraffic {
    std::string label;
    BenchFeed feed;
};

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
