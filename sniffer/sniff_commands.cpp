// The flash commands the sniffer knows: how each frame is read and what it does to the flash.
// Every other part (the --flash text, the image, the counts) asks this one table.

#include "sniff_flash.hpp"

#include <array>

namespace {

constexpr std::uint32_t k4 = 4 * 1024, k32 = 32 * 1024, k64 = 64 * 1024;

// A three-byte form of the memory array follows the addressing state; the four-byte forms, READ
// SFDP and the ID commands always take the address bytes they name.
constexpr SniffCommand commands[] = {
    {0x03, "READ", sniff_shape_read, sniff_effect_read, 3, true, 0, sniff_lines_single, 0},
    {0x0B, "FAST READ", sniff_shape_read, sniff_effect_read, 3, true, 1, sniff_lines_single, 0},
    {0x13, "READ4", sniff_shape_read, sniff_effect_read, 4, false, 0, sniff_lines_single, 0},
    {0x0C, "FAST READ4", sniff_shape_read, sniff_effect_read, 4, false, 1, sniff_lines_single, 0},
    {0x3B, "DUAL OUTPUT READ", sniff_shape_read, sniff_effect_read, 3, true, 1,
     sniff_lines_dual_data, 0},
    {0x3C, "DUAL OUTPUT READ4", sniff_shape_read, sniff_effect_read, 4, false, 1,
     sniff_lines_dual_data, 0},
    {0xBB, "DUAL I/O READ", sniff_shape_read, sniff_effect_read, 3, true, 0,
     sniff_lines_dual_address, 0},
    {0xBC, "DUAL I/O READ4", sniff_shape_undecodable, sniff_effect_none, 4, false, 0,
     sniff_lines_dual_address, 0},
    {0x6B, "QUAD OUTPUT READ", sniff_shape_quad, sniff_effect_none, 3, true, 1, sniff_lines_quad,
     0},
    {0x6C, "QUAD OUTPUT READ4", sniff_shape_quad, sniff_effect_none, 4, false, 1, sniff_lines_quad,
     0},
    {0xEB, "QUAD I/O READ", sniff_shape_undecodable, sniff_effect_none, 3, true, 0,
     sniff_lines_quad, 0},
    {0xEC, "QUAD I/O READ4", sniff_shape_undecodable, sniff_effect_none, 4, false, 0,
     sniff_lines_quad, 0},
    {0x5A, "READ SFDP", sniff_shape_read, sniff_effect_read_sfdp, 3, false, 1, sniff_lines_single,
     0},
    {0x02, "PAGE PROGRAM", sniff_shape_program, sniff_effect_program, 3, true, 0,
     sniff_lines_single, 0},
    {0x12, "PAGE PROGRAM4", sniff_shape_program, sniff_effect_program, 4, false, 0,
     sniff_lines_single, 0},
    {0x32, "QUAD PAGE PROGRAM", sniff_shape_quad, sniff_effect_quad_program, 3, true, 0,
     sniff_lines_quad, 0},
    {0x34, "QUAD PAGE PROGRAM4", sniff_shape_quad, sniff_effect_quad_program, 4, false, 0,
     sniff_lines_quad, 0},
    {0x38, "QUAD I/O PAGE PROGRAM", sniff_shape_undecodable, sniff_effect_none, 3, true, 0,
     sniff_lines_quad, 0},
    {0x3E, "QUAD I/O PAGE PROGRAM4", sniff_shape_undecodable, sniff_effect_none, 4, false, 0,
     sniff_lines_quad, 0},
    {0x20, "SECTOR ERASE 4K", sniff_shape_erase, sniff_effect_erase, 3, true, 0, sniff_lines_single,
     k4},
    {0x52, "BLOCK ERASE 32K", sniff_shape_erase, sniff_effect_erase, 3, true, 0, sniff_lines_single,
     k32},
    {0xD8, "BLOCK ERASE 64K", sniff_shape_erase, sniff_effect_erase, 3, true, 0, sniff_lines_single,
     k64},
    {0x21, "SECTOR ERASE4 4K", sniff_shape_erase, sniff_effect_erase, 4, false, 0,
     sniff_lines_single, k4},
    {0x5C, "BLOCK ERASE4 32K", sniff_shape_erase, sniff_effect_erase, 4, false, 0,
     sniff_lines_single, k32},
    {0xDC, "BLOCK ERASE4 64K", sniff_shape_erase, sniff_effect_erase, 4, false, 0,
     sniff_lines_single, k64},
    {0x60, "CHIP ERASE", sniff_shape_bare, sniff_effect_chip_erase, 0, false, 0, sniff_lines_single,
     0},
    {0xC7, "CHIP ERASE", sniff_shape_bare, sniff_effect_chip_erase, 0, false, 0, sniff_lines_single,
     0},
    {0x06, "WRITE ENABLE", sniff_shape_bare, sniff_effect_none, 0, false, 0, sniff_lines_single, 0},
    {0x04, "WRITE DISABLE", sniff_shape_bare, sniff_effect_none, 0, false, 0, sniff_lines_single,
     0},
    {0xB9, "POWER DOWN", sniff_shape_bare, sniff_effect_none, 0, false, 0, sniff_lines_single, 0},
    {0xB7, "ENTER 4-BYTE ADDRESS MODE", sniff_shape_bare, sniff_effect_enter_4byte, 0, false, 0,
     sniff_lines_single, 0},
    {0xE9, "EXIT 4-BYTE ADDRESS MODE", sniff_shape_bare, sniff_effect_exit_4byte, 0, false, 0,
     sniff_lines_single, 0},
    {0xC5, "WRITE EXTENDED ADDRESS", sniff_shape_register, sniff_effect_extended_address, 0, false,
     0, sniff_lines_single, 0},
    {0x05, "READ STATUS 1", sniff_shape_status, sniff_effect_none, 0, false, 0, sniff_lines_single,
     0},
    {0x35, "READ STATUS 2", sniff_shape_status, sniff_effect_none, 0, false, 0, sniff_lines_single,
     0},
    {0x01, "WRITE STATUS", sniff_shape_write_status, sniff_effect_none, 0, false, 0,
     sniff_lines_single, 0},
    {0x9F, "READ ID", sniff_shape_read_id, sniff_effect_read_id, 0, false, 0, sniff_lines_single,
     0},
    {0x90, "MANUFACTURER/DEVICE ID", sniff_shape_device_id, sniff_effect_none, 3, false, 0,
     sniff_lines_single, 0},
    {0xAB, "RELEASE POWER DOWN", sniff_shape_release, sniff_effect_none, 0, false, 3,
     sniff_lines_single, 0},
};

static_assert(std::size(commands) == sniff_flash_command_count);

// Looked up once per frame; an index spares the search.
constexpr std::array<unsigned char, 256> by_opcode = [] {
    std::array<unsigned char, 256> index{};
    index.fill(0xFF);
    for (std::size_t i = 0; i < std::size(commands); ++i)
        index[commands[i].opcode] = static_cast<unsigned char>(i);
    return index;
}();

static_assert(std::size(commands) < 0xFF, "0xFF marks an opcode without an entry");

} // namespace

const SniffCommand* sniff_flash_command(unsigned char opcode) {
    const unsigned char i = by_opcode[opcode];
    return i == 0xFF ? nullptr : &commands[i];
}

std::span<const SniffCommand> sniff_flash_commands() {
    return commands;
}

std::size_t sniff_flash_command_index(const SniffCommand& command) {
    return static_cast<std::size_t>(&command - commands);
}
