// The frames read as flash operations, pair by pair, under the addressing state that the frames
// before them left; the data bytes go to the image as they come.

#include "sniff_flash.hpp"
#include "sniff_image.hpp"

#include <array>
#include <cstring>

namespace {

// Bit i of a nibble at bit 2i: the bits one line carried, spread to their places in the byte.
constexpr std::array<unsigned char, 16> spread = [] {
    std::array<unsigned char, 16> table{};
    for (int n = 0; n < 16; ++n)
        for (int bit = 0; bit < 4; ++bit)
            if ((n >> bit) & 1) table[static_cast<std::size_t>(n)] |= 1 << (2 * bit);
    return table;
}();

// Pairs the command needs before anything can be said of it; a RELEASE POWER DOWN alone is
// whole too, and is told apart when the frame ends.
std::uint64_t needed_pairs(const SniffCommand& command, const SniffFlashOp& op) {
    switch (command.shape) {
    case sniff_shape_bare:
    case sniff_shape_undecodable: return 1;
    case sniff_shape_erase:
    case sniff_shape_quad: return 1 + op.address_bytes;
    case sniff_shape_read:
    case sniff_shape_program: return op.data_from;
    case sniff_shape_status:
    case sniff_shape_write_status:
    case sniff_shape_register: return 2;
    case sniff_shape_read_id: return 4;
    case sniff_shape_device_id: return 6;
    case sniff_shape_release: return 5;
    }
    return 1;
}

void begin_command(SniffFrames& frames, unsigned char opcode) {
    SniffFlashOp& op = frames.op;
    const SniffCommand* command = sniff_flash_command(opcode);
    op.command = command;
    if (command == nullptr) return;
    const bool three_byte = command->follows_state && !frames.state.four_byte;
    op.address_bytes =
        command->follows_state && frames.state.four_byte ? 4 : command->address_bytes;
    op.wide_address = op.address_bytes == 4 || (three_byte && frames.state.extended != 0);
    if (command->lines == sniff_lines_dual_address) {
        // Three address bytes and the mode byte make two pairs; four and the mode byte do not.
        op.undecodable = op.address_bytes != 3;
        op.data_from = 3;
    } else {
        op.data_from = 1 + std::uint64_t{op.address_bytes} + command->dummy_bytes;
    }
    if (command->shape == sniff_shape_write_status) op.data_from = 1;
    op.needed = op.undecodable ? 1 : needed_pairs(*command, op);
}

void address_complete(SniffFrames& frames) {
    SniffFlashOp& op = frames.op;
    if (op.command->follows_state && op.address_bytes == 3)
        op.address |= std::uint32_t{frames.state.extended} << 24;
}

// From the first pair of data on, a plain read or program gathers its data in runs.
void start_run(SniffFrames& frames) {
    const SniffFlashOp& op = frames.op;
    if (op.pairs != op.data_from || op.undecodable) return;
    const SniffCommand& command = *op.command;
    if (command.shape == sniff_shape_read && command.lines == sniff_lines_single)
        frames.run_source = sniff_run_miso;
    else if (command.shape == sniff_shape_program || command.shape == sniff_shape_write_status)
        frames.run_source = sniff_run_mosi;
}

void take_data(SniffFrames& frames, unsigned char value) {
    SniffFlashOp& op = frames.op;
    const std::uint64_t at = op.data_count++;
    if (at < sniff_flash_data_shown) op.data[at] = value;
    if (frames.image == nullptr) return;
    // The address counter is 32 bits wide; the image folds it to the part's size.
    const std::uint32_t address = op.address + static_cast<std::uint32_t>(at);
    switch (op.command->effect) {
    case sniff_effect_read: sniff_image_read_run(*frames.image, address, &value, 1); break;
    case sniff_effect_read_sfdp: sniff_image_read_sfdp(*frames.image, address, value); break;
    case sniff_effect_program: sniff_image_program_run(*frames.image, address, &value, 1); break;
    default: break;
    }
}

// EN4B, EX4B and the extended address register change how the frames after them are read.
void update_state(SniffFlashState& state, const SniffFlashOp& op) {
    if (!sniff_flash_carried_out(op)) return;
    switch (op.command->effect) {
    case sniff_effect_enter_4byte: state.four_byte = true; break;
    case sniff_effect_exit_4byte: state.four_byte = false; break;
    case sniff_effect_extended_address: state.extended = op.mosi[1]; break;
    default: break;
    }
}

} // namespace

bool sniff_flash_exact(const SniffCommand& command) {
    switch (command.effect) {
    case sniff_effect_erase:
    case sniff_effect_chip_erase:
    case sniff_effect_enter_4byte:
    case sniff_effect_exit_4byte:
    case sniff_effect_extended_address: return true;
    default: return false;
    }
}

bool sniff_flash_carried_out(const SniffFlashOp& op) {
    if (op.command == nullptr || op.cut || op.undecodable || op.pairs < op.needed) return false;
    return op.pairs == op.needed || !sniff_flash_exact(*op.command);
}

SniffDualBytes sniff_dual_bytes(unsigned char mosi, unsigned char miso) {
    return {static_cast<unsigned char>(spread[miso >> 4] << 1 | spread[mosi >> 4]),
            static_cast<unsigned char>(spread[miso & 0x0F] << 1 | spread[mosi & 0x0F])};
}

SniffFrames sniff_frames_new(SniffImage* image) {
    SniffFrames frames{};
    frames.image = image;
    return frames;
}

void sniff_frames_open(SniffFrames& frames) {
    std::memset(&frames.op, 0, sizeof frames.op);
    frames.run_source = sniff_run_none;
    frames.run_size = 0;
}

void sniff_frames_pair(SniffFrames& frames, unsigned char mosi, unsigned char miso) {
    SniffFlashOp& op = frames.op;
    const std::uint64_t at = op.pairs++;
    op.last_miso = miso;
    if (at < sniff_flash_kept) {
        op.mosi[at] = mosi;
        op.miso[at] = miso;
        if (at == 0) {
            begin_command(frames, mosi);
            if (op.command != nullptr) start_run(frames);
            return;
        }
    }
    const SniffCommand* command = op.command;
    if (command == nullptr || op.undecodable) return;
    if (at < op.data_from) {
        if (command->lines == sniff_lines_dual_address) {
            const SniffDualBytes two = sniff_dual_bytes(mosi, miso);
            // The second pair ends with the mode byte.
            op.address =
                at == 1 ? std::uint32_t{two.first} << 8 | two.second : op.address << 8 | two.first;
            if (at == 2) address_complete(frames);
        } else if (at <= op.address_bytes) {
            op.address = op.address << 8 | mosi;
            if (at == op.address_bytes) address_complete(frames);
        }
        start_run(frames);
        return;
    }
    switch (command->shape) {
    case sniff_shape_read:
        if (command->lines == sniff_lines_single) {
            take_data(frames, miso);
        } else {
            const SniffDualBytes two = sniff_dual_bytes(mosi, miso);
            take_data(frames, two.first);
            take_data(frames, two.second);
        }
        break;
    case sniff_shape_program:
    case sniff_shape_write_status: take_data(frames, mosi); break;
    default: break;
    }
}

void sniff_frames_run(SniffFrames& frames) {
    const std::size_t count = frames.run_size;
    if (count == 0) return;
    frames.run_size = 0;
    SniffFlashOp& op = frames.op;
    const std::uint64_t at = op.data_count;
    for (std::size_t i = 0; i < count && at + i < sniff_flash_data_shown; ++i)
        op.data[at + i] = frames.run[i];
    op.pairs += count;
    op.data_count += count;
    if (frames.run_source == sniff_run_miso) op.last_miso = frames.run[count - 1];
    if (frames.image == nullptr) return;
    const std::uint32_t address = op.address + static_cast<std::uint32_t>(at);
    switch (op.command->effect) {
    case sniff_effect_read: sniff_image_read_run(*frames.image, address, frames.run, count); break;
    case sniff_effect_read_sfdp:
        for (std::size_t i = 0; i < count; ++i)
            sniff_image_read_sfdp(*frames.image, address + static_cast<std::uint32_t>(i),
                                  frames.run[i]);
        break;
    case sniff_effect_program:
        sniff_image_program_run(*frames.image, address, frames.run, count);
        break;
    default: break;
    }
}

void sniff_frames_end(SniffFrames& frames, bool cut) {
    sniff_frames_run(frames);
    frames.run_source = sniff_run_none;
    frames.op.cut = cut;
    update_state(frames.state, frames.op);
    if (frames.image != nullptr) sniff_image_frame(*frames.image, frames.op);
}
