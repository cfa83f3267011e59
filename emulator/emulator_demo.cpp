#include "emulator.hpp"

#include <cstdint>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char frame_open = 0x5B;
constexpr unsigned char pair_start = 0x5C;
constexpr unsigned char frame_close = 0x5D;
constexpr unsigned char read_command = 0x03;
constexpr unsigned char read_status_command = 0x05;
constexpr unsigned char write_enable_command = 0x06;
// A flash drives nothing while it takes a command: the pulled-up line reads as ones.
constexpr unsigned char released_line = 0xFF;
constexpr unsigned char status_ready = 0x00;
constexpr unsigned char status_write_enabled = 0x02;
constexpr int data_per_read = 8;
constexpr int reads_per_block = 16;
// Where a boot loader might look: header, code, a data area, the last sector.
constexpr std::uint32_t block_addresses[] = {0x000000, 0x001000, 0x02A000, 0x1FF000};

// Made-up flash contents: the same address always reads the same byte.
unsigned char flash_byte(std::uint32_t address) {
    std::uint32_t mixed = address * 2654435761u;
    mixed ^= mixed >> 15;
    return static_cast<unsigned char>(mixed >> 8);
}

void add_pair(Bytes& stream, unsigned char mosi, unsigned char miso) {
    stream.insert(stream.end(), {pair_start, mosi, miso});
}

void add_read(Bytes& stream, std::uint32_t address) {
    stream.push_back(frame_open);
    add_pair(stream, read_command, released_line);
    for (const int shift : {16, 8, 0})
        add_pair(stream, static_cast<unsigned char>(address >> shift), released_line);
    for (int i = 0; i < data_per_read; ++i)
        add_pair(stream, 0x00, flash_byte(address + static_cast<std::uint32_t>(i)));
    stream.push_back(frame_close);
}

void add_read_status(Bytes& stream, unsigned char status) {
    stream.push_back(frame_open);
    add_pair(stream, read_status_command, released_line);
    add_pair(stream, 0x00, status);
    stream.push_back(frame_close);
}

void add_write_enable(Bytes& stream) {
    stream.push_back(frame_open);
    add_pair(stream, write_enable_command, released_line);
    stream.push_back(frame_close);
}

} // namespace

std::vector<unsigned char> emulator_demo_stream() {
    Bytes stream;
    for (const std::uint32_t base : block_addresses) {
        add_read_status(stream, status_ready);
        for (int i = 0; i < reads_per_block; ++i)
            add_read(stream, base + static_cast<std::uint32_t>(i * data_per_read));
        add_write_enable(stream);
        add_read_status(stream, status_write_enabled);
    }
    return stream;
}
