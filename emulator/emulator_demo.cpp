#include "emulator.hpp"

#include <cstdint>

// The demo is one session of a host with an SPI NOR flash, in the order a driver talks to the
// part: identify it, look around (on one line, on two, and once on four), update a sector (each
// write enabled first, each erase and program polled until the part is ready again), reach above
// 16 MiB with the four-byte forms, the four-byte mode and the extended address register, and put
// the part to sleep and wake it. It ends where a frame ends, awake, with the flash holding what
// it held at the start (emulator_demo_flash), so it can be repeated end to end and every read
// agrees with every other. No chip erase: it would leave nothing of the contents to tell.

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char frame_open = 0x5B;
constexpr unsigned char pair_start = 0x5C;
constexpr unsigned char frame_close = 0x5D;
// A flash drives nothing while it takes a command: the pulled-up line reads as ones.
constexpr unsigned char released_line = 0xFF;
// What a host clocks out while it reads, and in dummy cycles.
constexpr unsigned char host_filler = 0x00;

constexpr unsigned char read_command = 0x03;
constexpr unsigned char fast_read_command = 0x0B;
constexpr unsigned char read4_command = 0x13;
constexpr unsigned char fast_read4_command = 0x0C;
constexpr unsigned char read_sfdp_command = 0x5A;
constexpr unsigned char page_program_command = 0x02;
constexpr unsigned char page_program4_command = 0x12;
constexpr unsigned char sector_erase_command = 0x20;
constexpr unsigned char block_erase_32k_command = 0x52;
constexpr unsigned char block_erase_64k_command = 0xD8;
constexpr unsigned char sector_erase4_command = 0x21;
constexpr unsigned char block_erase4_64k_command = 0xDC;
constexpr unsigned char dual_output_read_command = 0x3B;
constexpr unsigned char dual_output_read4_command = 0x3C;
constexpr unsigned char dual_io_read_command = 0xBB;
constexpr unsigned char quad_output_read_command = 0x6B;
constexpr unsigned char enter_4byte_command = 0xB7;
constexpr unsigned char exit_4byte_command = 0xE9;
constexpr unsigned char write_extended_address_command = 0xC5;
constexpr unsigned char write_enable_command = 0x06;
constexpr unsigned char write_disable_command = 0x04;
constexpr unsigned char read_status_command = 0x05;
constexpr unsigned char read_status2_command = 0x35;
constexpr unsigned char write_status_command = 0x01;
constexpr unsigned char read_id_command = 0x9F;
constexpr unsigned char device_id_command = 0x90;
constexpr unsigned char release_command = 0xAB;
constexpr unsigned char power_down_command = 0xB9;
// A unique ID read: a command the flash annotation has no name for.
constexpr unsigned char unique_id_command = 0x4B;

// The part: 32 MiB, so that the four-byte address forms reach memory of its own.
constexpr unsigned char manufacturer_id = 0x7A;
constexpr unsigned char memory_type = 0x40;
constexpr unsigned char capacity_code = 0x19;
constexpr unsigned char device_id = 0x18;

constexpr unsigned char status_ready = 0x00;
constexpr unsigned char status_write_enabled = 0x02;
constexpr unsigned char status_busy = 0x03; // write in progress, write enabled

constexpr int data_per_read = 16;
constexpr int reads_per_block = 4;
// Where a boot loader might look: header, code, a data area, the last sector below 2 MiB.
constexpr std::uint32_t block_addresses[] = {0x000000, 0x001000, 0x02A000, 0x1FF000};
// The sector the session updates, and where the four-byte forms work (above 16 MiB).
constexpr std::uint32_t update_address = 0x02A000;
constexpr int update_size = 32;
constexpr std::uint32_t high_address = 0x01000000;
// A spare area the session frees with the block erases.
constexpr std::uint32_t spare_32k_block = 0x038000;
constexpr std::uint32_t spare_64k_block = 0x040000;

// The SFDP header and its first parameter header, as the standard lays them out, and the start
// of the basic parameter table it points to (0x30): the second double word is the density,
// 2^28 bits less one.
const Bytes sfdp_header = {0x53, 0x46, 0x44, 0x50, 0x06, 0x01, 0x01, 0xFF,
                           0x00, 0x06, 0x01, 0x10, 0x30, 0x00, 0x00, 0xFF};
constexpr std::uint32_t sfdp_basic_table = 0x30;
const Bytes sfdp_basic = {0xE5, 0x20, 0xF1, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
const Bytes unique_id = {0x5D, 0x17, 0x3C, 0x92, 0x44, 0x0B, 0xE1, 0x68};

// Made-up contents of the part as it left the factory's programmer.
unsigned char programmed_byte(std::uint32_t address) {
    std::uint32_t mixed = address * 2654435761u;
    mixed ^= mixed >> 15;
    return static_cast<unsigned char>(mixed >> 8);
}

bool within(std::uint32_t address, std::uint32_t start, std::uint32_t size) {
    return address >= start && address - start < size;
}

Bytes flash_data(std::uint32_t address, int count) {
    Bytes data;
    for (int i = 0; i < count; ++i)
        data.push_back(emulator_demo_flash(address + static_cast<std::uint32_t>(i)));
    return data;
}

// The opcode, the address high byte first, and dummy bytes. Sized once and filled in place:
// GCC 12 at -O3 takes a push_back followed by an insert for an overflow (-Wstringop-overflow).
Bytes command(unsigned char opcode, std::uint32_t address = 0, int address_bytes = 0,
              int dummy_bytes = 0) {
    Bytes bytes(static_cast<std::size_t>(1 + address_bytes + dummy_bytes), host_filler);
    bytes[0] = opcode;
    for (int i = 0; i < address_bytes; ++i)
        bytes[static_cast<std::size_t>(1 + i)] =
            static_cast<unsigned char>(address >> (8 * (address_bytes - 1 - i)));
    return bytes;
}

Bytes joined(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The bytes of a phase on two lines as the sniffer sees them: per clock the flash drives the
// higher bit of each two on MISO (IO1), the lower on MOSI (IO0).
void add_dual_pairs(Bytes& stream, const Bytes& bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned both = unsigned{bytes[i]} << 8 | bytes[i + 1];
        unsigned mosi = 0, miso = 0;
        for (int clock = 0; clock < 8; ++clock) {
            miso |= ((both >> (15 - 2 * clock)) & 1) << (7 - clock);
            mosi |= ((both >> (14 - 2 * clock)) & 1) << (7 - clock);
        }
        stream.insert(stream.end(), {pair_start, static_cast<unsigned char>(mosi),
                                     static_cast<unsigned char>(miso)});
    }
}

// A frame that goes on two lines after the single-line bytes sent.
void add_dual_frame(Bytes& stream, const Bytes& sent, const Bytes& dual) {
    stream.push_back(frame_open);
    for (const unsigned char b : sent) stream.insert(stream.end(), {pair_start, b, released_line});
    add_dual_pairs(stream, dual);
    stream.push_back(frame_close);
}

// One frame: what the host sends while the line floats, then what the flash answers.
void add_frame(Bytes& stream, const Bytes& sent, const Bytes& answer = {}) {
    stream.push_back(frame_open);
    for (const unsigned char b : sent) stream.insert(stream.end(), {pair_start, b, released_line});
    for (const unsigned char b : answer) stream.insert(stream.end(), {pair_start, host_filler, b});
    stream.push_back(frame_close);
}

// A write as a driver makes it: enabled first, then polled until the part is ready again.
void add_write(Bytes& stream, const Bytes& sent, int busy_polls) {
    add_frame(stream, {write_enable_command});
    add_frame(stream, sent);
    for (int i = 0; i < busy_polls; ++i) add_frame(stream, {read_status_command}, {status_busy});
    add_frame(stream, {read_status_command}, {status_ready});
}

} // namespace

unsigned char emulator_demo_flash(std::uint32_t address) {
    // What the session erases and leaves so, and what it programs again.
    if (within(address, update_address, 4096)) {
        if (address - update_address >= update_size) return 0xFF;
    } else if (within(address, high_address, 4096)) {
        if (address - high_address >= data_per_read) return 0xFF;
    } else if (within(address, spare_32k_block, 0x8000) ||
               within(address, spare_64k_block, 0x10000) ||
               within(address, high_address + 0x10000, 0x10000)) {
        return 0xFF;
    }
    return programmed_byte(address);
}

std::vector<unsigned char> emulator_demo_stream() {
    Bytes stream;
    add_frame(stream, {read_id_command}, {manufacturer_id, memory_type, capacity_code});
    add_frame(stream, command(device_id_command, 0, 3), {manufacturer_id, device_id});
    add_frame(stream, command(read_sfdp_command, 0, 3, 1), sfdp_header);
    add_frame(stream, command(read_sfdp_command, sfdp_basic_table, 3, 1), sfdp_basic);
    add_frame(stream, command(unique_id_command, 0, 0, 4), unique_id);
    add_frame(stream, {read_status_command}, {status_ready});
    add_frame(stream, {read_status2_command}, {status_ready});

    for (const std::uint32_t base : block_addresses) {
        for (int i = 0; i < reads_per_block; ++i) {
            const std::uint32_t address = base + static_cast<std::uint32_t>(i * data_per_read);
            add_frame(stream, command(read_command, address, 3),
                      flash_data(address, data_per_read));
        }
    }

    // The fast reads a driver uses once it knows the part: on two lines, and once on four (which
    // the sniffer sees only half of).
    add_dual_frame(stream, command(dual_output_read_command, 0x001040, 3, 1),
                   flash_data(0x001040, 2 * data_per_read));
    // The address, then the mode byte: 0xFF asks for no continuous reading.
    add_dual_frame(stream, {dual_io_read_command},
                   joined({0x00, 0x00, 0x40, 0xFF}, flash_data(0x000040, 2 * data_per_read)));
    add_frame(stream, command(quad_output_read_command, 0, 3, 1), flash_data(0, data_per_read));

    // Clear the protection bits, then erase, program and verify a sector.
    add_frame(stream, {write_enable_command});
    add_frame(stream, {read_status_command}, {status_write_enabled});
    add_frame(stream, {write_status_command, status_ready});
    add_frame(stream, {read_status_command}, {status_busy});
    add_frame(stream, {read_status_command}, {status_ready});
    add_write(stream, command(sector_erase_command, update_address, 3), 3);
    const Bytes update = flash_data(update_address, update_size);
    add_write(stream, joined(command(page_program_command, update_address, 3), update), 1);
    add_frame(stream, command(read_command, update_address, 3), update);
    add_frame(stream, command(fast_read_command, update_address, 3, 1),
              flash_data(update_address, data_per_read));
    add_write(stream, command(block_erase_32k_command, spare_32k_block, 3), 2);
    add_write(stream, command(block_erase_64k_command, spare_64k_block, 3), 2);
    add_frame(stream, {write_disable_command});
    add_frame(stream, {read_status_command}, {status_ready});

    add_write(stream, command(sector_erase4_command, high_address, 4), 2);
    add_write(stream, command(block_erase4_64k_command, high_address + 0x10000, 4), 2);
    const Bytes high_page = flash_data(high_address, data_per_read);
    add_write(stream, joined(command(page_program4_command, high_address, 4), high_page), 1);
    add_frame(stream, command(read4_command, high_address, 4), high_page);
    add_frame(stream, command(fast_read4_command, high_address, 4, 1), high_page);

    // Above 16 MiB without the four-byte commands: the four-byte mode, and the extended address
    // register that gives three-byte addresses their top byte; each left as it was found.
    add_dual_frame(stream, command(dual_output_read4_command, high_address, 4, 1),
                   flash_data(high_address, data_per_read));
    add_frame(stream, {enter_4byte_command});
    add_frame(stream, command(read_command, high_address, 4), high_page);
    add_frame(stream, {exit_4byte_command});
    add_frame(stream, {write_extended_address_command, high_address >> 24});
    add_frame(stream, command(read_command, high_address + 0x2000, 3),
              flash_data(high_address + 0x2000, data_per_read));
    add_frame(stream, {write_extended_address_command, 0x00});

    add_frame(stream, {power_down_command});
    add_frame(stream, command(release_command, 0, 0, 3), {device_id});
    return stream;
}
