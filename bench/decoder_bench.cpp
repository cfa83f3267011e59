// Decoder throughput: decodes a file's bytes to standard output in chunks of 4096
// bytes, as a busy line hands them over, and reports the input rate on standard error.
//   decoder_bench FILE [raw|flash]

#include "sniffer.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s FILE [raw|flash]\n", arguments[0]);
        return 2;
    }
    std::ifstream file(arguments[1], std::ios::binary | std::ios::ate);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(file.tellg()));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const bool raw = argument_count > 2 && std::strcmp(arguments[2], "raw") == 0;
    const bool flash = argument_count > 2 && std::strcmp(arguments[2], "flash") == 0;

    const auto start = std::chrono::steady_clock::now();
    SniffDecoder decoder = sniff_decoder_new(raw, flash);
    constexpr std::size_t chunk = 4096;
    std::vector<char> text(sniff_text_room(decoder, chunk));
    for (std::size_t pos = 0; pos < bytes.size(); pos += chunk) {
        const std::size_t count = bytes.size() - pos < chunk ? bytes.size() - pos : chunk;
        const std::size_t size =
            sniff_decode_text(decoder, bytes.data() + pos, static_cast<int>(count), text.data());
        std::fwrite(text.data(), 1, size, stdout);
        std::fflush(stdout);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "%s: %zu bytes in %.3f s, %.1f MB/s\n",
                 raw     ? "raw"
                 : flash ? "flash"
                         : "decoded",
                 bytes.size(), seconds, static_cast<double>(bytes.size()) / seconds / 1e6);
    return 0;
}
