// What an SPI NOR flash makes of a frame: the operation in a datasheet's words, with its address
// and data. One line per frame, so that grep finds an operation and key=value fields (values
// without blanks) so that a script can take them apart.

#include "sniffer.hpp"

#include <charconv>
#include <cstring>
#include <string_view>

namespace {

// How the bytes after the command are read.
enum Shape {
    shape_bare,         // the command alone
    shape_erase,        // an address
    shape_read,         // an address, dummy bytes, data from the flash (MISO)
    shape_program,      // an address, data to the flash (MOSI)
    shape_status,       // status register values from the flash
    shape_write_status, // status register values to the flash
    shape_read_id,      // manufacturer, memory type, capacity
    shape_device_id,    // three address bytes, then manufacturer and device (0x90)
    shape_release,      // alone; with three dummy bytes it also reads the device ID (0xAB)
};

struct FlashCommand {
    unsigned char opcode;
    std::string_view name;
    Shape shape;
    int address_bytes;
    int dummy_bytes;
};

constexpr FlashCommand flash_commands[] = {
    {0x03, "READ", shape_read, 3, 0},
    {0x0B, "FAST READ", shape_read, 3, 1},
    {0x13, "READ4", shape_read, 4, 0},
    {0x0C, "FAST READ4", shape_read, 4, 1},
    {0x5A, "READ SFDP", shape_read, 3, 1},
    {0x02, "PAGE PROGRAM", shape_program, 3, 0},
    {0x12, "PAGE PROGRAM4", shape_program, 4, 0},
    {0x20, "SECTOR ERASE 4K", shape_erase, 3, 0},
    {0x52, "BLOCK ERASE 32K", shape_erase, 3, 0},
    {0xD8, "BLOCK ERASE 64K", shape_erase, 3, 0},
    {0x21, "SECTOR ERASE4 4K", shape_erase, 4, 0},
    {0xDC, "BLOCK ERASE4 64K", shape_erase, 4, 0},
    {0x60, "CHIP ERASE", shape_bare, 0, 0},
    {0xC7, "CHIP ERASE", shape_bare, 0, 0},
    {0x06, "WRITE ENABLE", shape_bare, 0, 0},
    {0x04, "WRITE DISABLE", shape_bare, 0, 0},
    {0xB9, "POWER DOWN", shape_bare, 0, 0},
    {0x05, "READ STATUS 1", shape_status, 0, 0},
    {0x35, "READ STATUS 2", shape_status, 0, 0},
    {0x01, "WRITE STATUS", shape_write_status, 0, 0},
    {0x9F, "READ ID", shape_read_id, 0, 0},
    {0x90, "MANUFACTURER/DEVICE ID", shape_device_id, 3, 0},
    {0xAB, "RELEASE POWER DOWN", shape_release, 0, 3},
};

// Only status register 1 has bits that every part agrees on.
constexpr unsigned char read_status1_opcode = 0x05;
constexpr unsigned char status_wip = 0x01;
constexpr unsigned char status_wel = 0x02;
// Data bytes shown before "...": a page or a long read is told by its length.
constexpr std::size_t data_shown = 16;
// Capacity codes read as a power of two; outside these, no size is claimed.
constexpr int capacity_smallest = 10; // 1 KiB
constexpr int capacity_largest = 39;  // 512 GiB

static_assert(1 + 4 + 1 + data_shown <= sniff_flash_kept, "the longest header and data are kept");

// The line under construction. Every piece is cut at the room left, keeping one character for
// the newline; the longest line the fields can make is well below sniff_flash_text_max.
struct Line {
    char* text;
    std::size_t size;
};

void put(Line& line, std::string_view piece) {
    const std::size_t room = sniff_flash_text_max - 1 - line.size;
    const std::size_t size = piece.size() < room ? piece.size() : room;
    std::memcpy(line.text + line.size, piece.data(), size);
    line.size += size;
}

void put_number(Line& line, std::size_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    put(line, std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// Upper-case hex of the last `digits` nibbles of value, without "0x".
void put_hex(Line& line, unsigned long value, int digits) {
    constexpr char hex[] = "0123456789ABCDEF";
    char text[8];
    for (int i = 0; i < digits; ++i) text[i] = hex[(value >> (4 * (digits - 1 - i))) & 0x0F];
    put(line, std::string_view(text, static_cast<std::size_t>(digits)));
}

// " key=0xNN"
void put_byte_field(Line& line, std::string_view key, unsigned char value) {
    put(line, " ");
    put(line, key);
    put(line, "=0x");
    put_hex(line, value, 2);
}

// " addr=0x" and six hex digits, eight for the four-byte forms.
void put_address(Line& line, const SniffFlashFrame& frame, int address_bytes) {
    unsigned long address = 0;
    for (int i = 1; i <= address_bytes; ++i) address = address << 8 | frame.mosi[i];
    put(line, " addr=0x");
    put_hex(line, address, 2 * address_bytes);
}

// " len=N data=HEX", the first data_shown bytes and "..." after them when there are more.
void put_data(Line& line, const unsigned char* data, std::size_t count) {
    put(line, " len=");
    put_number(line, count);
    if (count == 0) return;
    put(line, " data=");
    for (std::size_t i = 0; i < count && i < data_shown; ++i) put_hex(line, data[i], 2);
    if (count > data_shown) put(line, "...");
}

// " size=16MiB" for capacity code 0x18.
void put_capacity_size(Line& line, unsigned char code) {
    if (code < capacity_smallest || code > capacity_largest) return;
    constexpr std::string_view units[] = {"KiB", "MiB", "GiB"};
    const int unit = (code - capacity_smallest) / 10;
    put(line, " size=");
    put_number(line, std::size_t{1} << (code - capacity_smallest - 10 * unit));
    put(line, units[unit]);
}

const FlashCommand* find_command(unsigned char opcode) {
    for (const FlashCommand& command : flash_commands)
        if (command.opcode == opcode) return &command;
    return nullptr;
}

// Pairs a frame of the command needs before anything can be said of it.
std::size_t pairs_needed(const FlashCommand& command, std::size_t pairs) {
    std::size_t needed = 1 + static_cast<std::size_t>(command.address_bytes + command.dummy_bytes);
    switch (command.shape) {
    case shape_status:
    case shape_write_status: return needed + 1;
    case shape_read_id: return needed + 3;
    case shape_device_id: return needed + 2;
    case shape_release: return pairs == 1 ? 1 : needed + 1; // alone, or through the ID
    default: return needed;
    }
}

// " bytes=N": a command of fixed length that carried more.
void put_extra(Line& line, std::size_t pairs, std::size_t needed) {
    if (pairs <= needed) return;
    put(line, " bytes=");
    put_number(line, pairs);
}

void put_fields(Line& line, const FlashCommand& command, const SniffFlashFrame& frame,
                std::size_t needed) {
    const std::size_t pairs = frame.pairs;
    switch (command.shape) {
    case shape_bare: put_extra(line, pairs, needed); break;
    case shape_erase:
        put_address(line, frame, command.address_bytes);
        put_extra(line, pairs, needed);
        break;
    case shape_read:
        put_address(line, frame, command.address_bytes);
        put_data(line, frame.miso.data() + needed, pairs - needed);
        break;
    case shape_program:
        put_address(line, frame, command.address_bytes);
        put_data(line, frame.mosi.data() + needed, pairs - needed);
        break;
    case shape_status:
        put_byte_field(line, "status", frame.last_miso);
        if (command.opcode == read_status1_opcode) {
            put(line, (frame.last_miso & status_wip) != 0 ? " WIP=1" : " WIP=0");
            put(line, (frame.last_miso & status_wel) != 0 ? " WEL=1" : " WEL=0");
        }
        if (pairs > needed) {
            put(line, " len=");
            put_number(line, pairs - 1);
        }
        break;
    case shape_write_status: put_data(line, frame.mosi.data() + 1, pairs - 1); break;
    case shape_read_id:
        put_byte_field(line, "manufacturer", frame.miso[1]);
        put_byte_field(line, "type", frame.miso[2]);
        put_byte_field(line, "capacity", frame.miso[3]);
        put_capacity_size(line, frame.miso[3]);
        break;
    case shape_device_id: {
        // Address 1 asks for the device ID first.
        const bool device_first = (frame.mosi[3] & 1) != 0;
        put_byte_field(line, "manufacturer", frame.miso[device_first ? 5 : 4]);
        put_byte_field(line, "device", frame.miso[device_first ? 4 : 5]);
        break;
    }
    case shape_release:
        if (pairs > 1) put_byte_field(line, "device", frame.miso[needed - 1]);
        break;
    }
}

} // namespace

std::size_t sniff_flash_text(const SniffFlashFrame& frame, bool cut, char* text) {
    Line line{text, 0};
    put(line, "    flash: ");
    const FlashCommand* command = frame.pairs > 0 ? find_command(frame.mosi[0]) : nullptr;
    if (frame.pairs == 0) {
        put(line, "empty frame");
    } else if (command == nullptr) {
        put(line, "command 0x");
        put_hex(line, frame.mosi[0], 2);
        put(line, " bytes=");
        put_number(line, frame.pairs);
    } else {
        put(line, command->name);
        const std::size_t needed = pairs_needed(*command, frame.pairs);
        if (frame.pairs < needed) {
            put(line, " short bytes=");
            put_number(line, frame.pairs);
            put(line, " need=");
            put_number(line, needed);
        } else {
            put_fields(line, *command, frame, needed);
        }
    }
    if (cut) put(line, " cut");
    line.text[line.size++] = '\n';
    return line.size;
}
