#include "bench_streams.hpp"

#include <algorithm>

std::vector<BenchTraffic> bench_traffics() {
    const auto trickle = [](int bytes, int every_ms, int seconds) {
        BenchFeed feed;
        feed.kind = bench_feed_paced;
        feed.tick = std::chrono::milliseconds(every_ms);
        feed.bytes_per_tick = bytes;
        feed.duration = std::chrono::seconds(seconds);
        return feed;
    };
    // Long enough for a few dozen samples even at the slowest pace.
    return {{"1 byte / 5 ms", trickle(1, 5, 3)},
            {"1 byte / 20 ms", trickle(1, 20, 3)},
            {"1 byte / 50 ms", trickle(1, 50, 4)},
            {"3 bytes / 300 ms", trickle(3, 300, 5)}};
}

std::vector<unsigned char> bench_flash_read_frame() {
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

bool bench_xxd_bytes(const std::string& text, std::vector<unsigned char>& bytes) {
    int high = -1;
    for (const char c : text) {
        if (c == '\n') continue;
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<unsigned char>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

BenchLoss bench_loss(const std::vector<unsigned char>& shown,
                     const std::vector<unsigned char>& pattern, std::size_t expected) {
    BenchLoss loss;
    loss.lost = expected - std::min(expected, shown.size());
    loss.in_order = shown.size() <= expected && !pattern.empty();
    for (std::size_t i = 0; loss.in_order && i < shown.size(); ++i)
        loss.in_order = shown[i] == pattern[i % pattern.size()];
    return loss;
}
