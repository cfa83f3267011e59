// What an SPI NOR flash makes of a frame: the operation in a datasheet's words, with its address
// and data. One line per frame, so that grep finds an operation and key=value fields (values
// without blanks) so that a script can take them apart.

#include "sniff_flash.hpp"

#include <charconv>
#include <cstring>
#include <string_view>

namespace {

// Only status register 1 has bits that every part agrees on.
constexpr unsigned char read_status1_opcode = 0x05;
constexpr unsigned char status_wip = 0x01;
constexpr unsigned char status_wel = 0x02;
// Capacity codes read as a power of two; outside these, no size is claimed.
constexpr int capacity_smallest = 10; // 1 KiB
constexpr int capacity_largest = 39;  // 512 GiB

static_assert(6 <= sniff_flash_kept, "the pairs of the longest ID reply are kept");

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

// " addr=0x" and six hex digits, eight for the four-byte forms and where the extended address
// register gives the three-byte forms a top byte.
void put_address(Line& line, const SniffFlashOp& op) {
    put(line, " addr=0x");
    put_hex(line, op.address, op.wide_address ? 8 : 6);
}

// " len=N data=HEX", the first data_shown bytes and "..." after them when there are more.
void put_data(Line& line, const SniffFlashOp& op) {
    put(line, " len=");
    put_number(line, op.data_count);
    if (op.data_count == 0) return;
    put(line, " data=");
    for (std::size_t i = 0; i < op.data_count && i < sniff_flash_data_shown; ++i)
        put_hex(line, op.data[i], 2);
    if (op.data_count > sniff_flash_data_shown) put(line, "...");
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

// " bytes=N": a command of fixed length that carried more.
void put_extra(Line& line, std::size_t pairs, std::size_t needed) {
    if (pairs <= needed) return;
    put(line, " bytes=");
    put_number(line, pairs);
}

void put_fields(Line& line, const SniffFlashOp& op) {
    const SniffCommand& command = *op.command;
    const std::uint64_t pairs = op.pairs;
    if (op.undecodable) {
        put(line, " undecodable bytes=");
        put_number(line, pairs);
        return;
    }
    switch (command.shape) {
    case sniff_shape_bare: put_extra(line, pairs, op.needed); break;
    case sniff_shape_erase:
        put_address(line, op);
        put_extra(line, pairs, op.needed);
        break;
    case sniff_shape_read:
    case sniff_shape_program:
        put_address(line, op);
        put_data(line, op);
        break;
    case sniff_shape_status:
        put_byte_field(line, "status", op.last_miso);
        if (command.opcode == read_status1_opcode) {
            put(line, (op.last_miso & status_wip) != 0 ? " WIP=1" : " WIP=0");
            put(line, (op.last_miso & status_wel) != 0 ? " WEL=1" : " WEL=0");
        }
        if (pairs > op.needed) {
            put(line, " len=");
            put_number(line, pairs - 1);
        }
        break;
    case sniff_shape_write_status: put_data(line, op); break;
    case sniff_shape_register:
        put_byte_field(line, "value", op.mosi[1]);
        put_extra(line, pairs, op.needed);
        break;
    case sniff_shape_read_id:
        put_byte_field(line, "manufacturer", op.miso[1]);
        put_byte_field(line, "type", op.miso[2]);
        put_byte_field(line, "capacity", op.miso[3]);
        put_capacity_size(line, op.miso[3]);
        break;
    case sniff_shape_device_id: {
        // Address 1 asks for the device ID first.
        const bool device_first = (op.mosi[3] & 1) != 0;
        put_byte_field(line, "manufacturer", op.miso[device_first ? 5 : 4]);
        put_byte_field(line, "device", op.miso[device_first ? 4 : 5]);
        break;
    }
    case sniff_shape_release:
        if (pairs > 1) put_byte_field(line, "device", op.miso[op.needed - 1]);
        break;
    case sniff_shape_quad:
        put_address(line, op);
        put(line, " undecodable bytes=");
        put_number(line, pairs);
        break;
    case sniff_shape_undecodable:
        put(line, " undecodable bytes=");
        put_number(line, pairs);
        break;
    }
}

} // namespace

std::size_t sniff_flash_text(const SniffFlashOp& op, char* text) {
    Line line{text, 0};
    put(line, "    flash: ");
    if (op.pairs == 0) {
        put(line, "empty frame");
    } else if (op.command == nullptr) {
        put(line, "command 0x");
        put_hex(line, op.mosi[0], 2);
        put(line, " bytes=");
        put_number(line, op.pairs);
    } else {
        put(line, op.command->name);
        // A RELEASE POWER DOWN alone is whole; with more it goes on to the device ID.
        const bool whole_alone = op.command->shape == sniff_shape_release && op.pairs == 1;
        if (op.pairs < op.needed && !whole_alone) {
            put(line, " short bytes=");
            put_number(line, op.pairs);
            put(line, " need=");
            put_number(line, op.needed);
        } else {
            put_fields(line, op);
        }
    }
    if (op.cut) put(line, " cut");
    line.text[line.size++] = '\n';
    return line.size;
}
