#pragma once

// What an SPI NOR flash makes of the sniffed frames. One table says, per command, how its frame
// is read and what it does to the flash; one small record keeps the addressing state that
// commands change for the frames after them. Both serve the --flash text and the image alike.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// How the pairs after the command byte are read, for the text.
enum SniffShape : unsigned char {
    sniff_shape_bare,         // the command alone
    sniff_shape_erase,        // an address
    sniff_shape_read,         // an address, dummy bytes, data from the flash
    sniff_shape_program,      // an address, data to the flash
    sniff_shape_status,       // register values from the flash
    sniff_shape_write_status, // register values to the flash
    sniff_shape_read_id,      // manufacturer, memory type, capacity
    sniff_shape_device_id,    // three address bytes, then manufacturer and device (0x90)
    sniff_shape_release,      // alone; with three dummy bytes it also reads the device ID (0xAB)
    sniff_shape_register,     // one value written to a register
    sniff_shape_quad,         // an address on one line, the rest on four: not all sniffed
    sniff_shape_undecodable,  // phases that do not fall on whole pairs, or four lines throughout
};

// What a command does to what the flash holds, or to how the next commands are read.
enum SniffEffect : unsigned char {
    sniff_effect_none,
    sniff_effect_read,             // the data is what the flash holds at the address and on
    sniff_effect_read_sfdp,        // the same, of the parameter tables
    sniff_effect_program,          // the data goes into the page, ANDed with what was there
    sniff_effect_erase,            // the unit around the address becomes 0xFF
    sniff_effect_chip_erase,       // every byte becomes 0xFF
    sniff_effect_read_id,          // the capacity code tells the size
    sniff_effect_enter_4byte,      // three-byte forms take four address bytes from now on
    sniff_effect_exit_4byte,       // and three again
    sniff_effect_extended_address, // the value becomes the top address byte of three-byte forms
    sniff_effect_quad_program,     // the page changed in ways the sniffer cannot see
};

// On how many lines the address and the data travel. A sniffed pair of a phase on two lines
// carries two bytes.
enum SniffLines : unsigned char {
    sniff_lines_single,
    sniff_lines_dual_data,    // address on one line, data on two
    sniff_lines_dual_address, // address and mode byte on two lines, data on two
    sniff_lines_quad,
};

struct SniffCommand {
    unsigned char opcode;
    std::string_view name; // in a data sheet's words
    SniffShape shape;
    SniffEffect effect;
    unsigned char address_bytes; // 0, 3 or 4
    bool follows_state;          // a three-byte form of the memory array: see SniffFlashState
    unsigned char dummy_bytes;
    SniffLines lines;
    std::uint32_t erase_size; // the erase unit; 0 for the rest
};

// The command table's entry for opcode, or null for a command it does not know.
const SniffCommand* sniff_flash_command(unsigned char opcode);

// The whole table, and a command's place in it, for counts kept per command.
std::span<const SniffCommand> sniff_flash_commands();
std::size_t sniff_flash_command_index(const SniffCommand& command);
inline constexpr std::size_t sniff_flash_command_count = 39;

// The addressing state that outlives a frame: EN4B and EX4B switch the three-byte forms to four
// address bytes and back; the extended address register gives them their top address byte.
struct SniffFlashState {
    bool four_byte;
    unsigned char extended;
};

inline constexpr std::size_t sniff_flash_data_shown = 16; // data bytes the text shows
inline constexpr std::size_t sniff_flash_kept = 8;        // first pairs kept as they came

// One frame read as a flash operation, as far as its pairs have come. A READ may carry many MB:
// the data is counted, and only the first bytes are kept for the text.
struct SniffFlashOp {
    const SniffCommand* command; // null: no pair yet, or a command the table does not know
    std::uint64_t pairs;         // every pair of the frame
    std::uint64_t needed;        // pairs the command needs before anything can be said of it
    std::uint64_t data_from;     // the first pair of data
    std::uint32_t address;       // as the chip takes it, the extended address byte included
    unsigned char address_bytes; // as the frame sends them (after the state)
    bool wide_address;           // shown with eight digits
    bool undecodable;            // its phases do not fall on pairs in this state
    bool cut;                    // a byte broke the framing before the frame closed
    std::uint64_t data_count;    // data bytes, two per pair on two lines
    unsigned char data[sniff_flash_data_shown];
    unsigned char mosi[sniff_flash_kept];
    unsigned char miso[sniff_flash_kept];
    unsigned char last_miso; // a status poll ends with the value that counts
};

struct SniffImage;

enum SniffRunSource : unsigned char { sniff_run_none, sniff_run_miso, sniff_run_mosi };

inline constexpr std::size_t sniff_run_size = 512;

// The frame-level seam of the decoder: every frame's opening, each of its pairs and its end,
// read as a flash operation under the state that the frames before it left. What the frames
// tell also goes to the image, when there is one.
//
// The data of a plain read or program is most of the traffic: once a frame is there, the decoder
// gathers the byte of each pair that carries it (run_source) into run and hands the run on at
// once, instead of each pair on its own (start_run in sniff_frame.cpp decides; a reader that
// needs every pair whole would keep run_source at none there).
struct SniffFrames {
    SniffFlashState state;
    SniffFlashOp op;
    SniffImage* image;          // null: the frames are only named
    unsigned char pending_mosi; // the first byte of the pair under way
    SniffRunSource run_source;
    std::size_t run_size;
    unsigned char run[sniff_run_size];
};

SniffFrames sniff_frames_new(SniffImage* image);
void sniff_frames_open(SniffFrames& frames);
void sniff_frames_pair(SniffFrames& frames, unsigned char mosi, unsigned char miso);
// Hands on the data gathered in run: as many pairs of data as it holds bytes.
void sniff_frames_run(SniffFrames& frames);
// The frame is over: closed with "]", or cut by a byte that broke the framing. Updates the
// state and applies what the operation does; frames.op stays as the frame left it.
void sniff_frames_end(SniffFrames& frames, bool cut);

// Whether the chip carries out what the frame asks. A write takes effect when chip select rises
// after its last byte: a frame that broke off tells nothing of that, and an erase or a register
// write that carried more bytes than it takes (an exact one) is ignored by the chip.
bool sniff_flash_exact(const SniffCommand& command);
bool sniff_flash_carried_out(const SniffFlashOp& op);

// The two bytes that a pair of a phase on two lines carries: the flash puts the higher bit of
// each two on MISO, the lower on MOSI.
struct SniffDualBytes {
    unsigned char first;
    unsigned char second;
};
SniffDualBytes sniff_dual_bytes(unsigned char mosi, unsigned char miso);

// The longest flash annotation line, its newline included.
inline constexpr std::size_t sniff_flash_text_max = 128;

// Writes the annotation line of a frame that ended: "    flash: ", the operation with its
// fields, "\n". Returns its length, at most sniff_flash_text_max.
std::size_t sniff_flash_text(const SniffFlashOp& op, char* text);
