#pragma once

#include "serial.hpp"
#include "sniff_flash.hpp"
#include "sniff_json.hpp"
#include "timing.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// The command line of spi-sniffer, read once into typed values.
struct SniffOptions {
    std::string device; // -d, required: the port name
    std::string speed;  // -s, "115200": the speed as given, which the run announces
    int baud;           // the speed as a rate; -1 when it is not one (the line refuses it)
    bool clock_edge;    // -e, "1": the CKE bit
    bool polarity;      // -p, "0": the CKP bit
    bool raw;           // -r, "0": raw output, every byte's hex twice and no framing
    bool modem;         // -m: an AT modem stands on the line in place of the adapter
    bool flash;         // --flash: each frame also named as an SPI NOR flash operation
    std::string write;  // --write FILE: every sniffed byte also goes there, raw; "" for none
    std::string read;   // --read FILE: decode a saved capture ("-": standard input), no port
    std::string image;  // --image FILE: the flash contents the traffic tells go there; "" none
    std::uint64_t image_size; // --image-size: a power of two; 0 when not given
    bool summary;    // --summary or --image: counts and coverage on standard error at the end
    bool timestamps; // --timestamps: each line of text begins with the time its first byte came
    bool jsonl;      // --format jsonl: JSON lines alone on standard output, the texts on stderr
};

inline constexpr const char* sniff_default_speed = "115200";
inline constexpr const char* sniff_default_clock_edge = "1";
inline constexpr const char* sniff_default_polarity = "0";
inline constexpr const char* sniff_default_raw = "0";

// Prints the banner, reads the options and echoes them (with --read: no banner and no echo; with
// --version: "spi-sniffer VERSION" alone, status 0). Returns only with a usable command line;
// otherwise it ends the process with status -1.
SniffOptions sniff_read_options(int argument_count, char** arguments);

// Whether the command line decodes a saved capture (--read): a first look that prints nothing.
bool sniff_reads_capture(int argument_count, char** arguments);

// Prints the usage text, naming the program as program_name.
void sniff_print_help(const char* program_name);

// What the decoder writes besides the bytes: times (text only; JSON lines have their own) and
// the format.
struct SniffOutput {
    bool timestamps; // each line of text begins with sniff_decoder_time's time
    bool jsonl;      // JSON lines (sniff_decode_json) instead of text
};

// The longest time stamp: "+" seconds "." six digits and a blank, with room to spare.
inline constexpr std::size_t sniff_stamp_max = 32;

// Turns the sniffed byte stream into text. The state runs on across chunks.
struct SniffDecoder {
    bool raw;   // every byte's hex twice, no framing
    int state;  // 0 outside a frame, 1 in a frame, 2 after "\", 3 before a pair's second byte
    bool flash; // an annotation line after each frame (never with raw: no frames)
    SniffFrames frames; // the frames read as flash operations, when flash or an image wants them
    bool timestamps;
    std::size_t stamp_size;      // the time stamp of the read under way; 0 before the first
    char stamp[sniff_stamp_max]; // "+12.345678 "
    SniffJson json;              // with --format jsonl
};

// A decoder at the start of a stream; with flash it adds each frame's sniff_flash_text. With an
// image, what the frames tell goes there too (raw or not), and the text stays as it is without.
SniffDecoder sniff_decoder_new(bool raw, bool flash = false, SniffImage* image = nullptr,
                               SniffOutput output = {});

// The time the bytes of the next sniff_decode_text or sniff_decode_json came: microseconds since
// sniffing began. A line that begins among them takes it.
void sniff_decoder_time(SniffDecoder& decoder, std::int64_t micros);

// The most text one byte of the stream gives ("5B 0x5B(", "41 Sync\n"), with the room the decoder
// may write beyond it.
inline constexpr std::size_t sniff_text_per_byte = 8;

// The room sniff_decode_text needs for count bytes: sniff_text_per_byte each, with times a stamp
// for each byte that can begin a line, and with flash one annotation line for every frame that
// can end among them.
std::size_t sniff_text_room(const SniffDecoder& decoder, std::size_t count);

// Turns count (>= 1) bytes of the stream into their text and advances the state. text has room
// for sniff_text_room(decoder, count) characters. Returns the length of the text.
std::size_t sniff_decode_text(SniffDecoder& decoder, const unsigned char* chunk, int count,
                              char* text);

// With --format jsonl: turns count (>= 1) bytes of the stream into the JSON lines of what ended
// among them (frames, bytes outside frames; in raw output the read) and advances the state.
// Returns the lines, held by the decoder until its next call.
std::string_view sniff_decode_json(SniffDecoder& decoder, const unsigned char* chunk, int count);

// At the end of the stream: what is still held, a frame not closed among it (with
// --format jsonl; the text has nothing held). Returns the lines, held by the decoder.
std::string_view sniff_decode_end(SniffDecoder& decoder);

// The run after the command line: sets up the port and the adapter, then prints the sniffed
// traffic until a key. Returns 0 after a normal end, -1 on failure.
int sniff_run(const SniffOptions& options);

// The sniffed traffic, until a key (or SIGINT or SIGTERM): every byte that comes is written raw
// to capture_file (when not null, emptied first) and its text to standard output, each read's at
// once, each read's time counted from began (the start byte sent); what the frames tell goes to
// image (when not null), and then SIGHUP, SIGQUIT and SIGPIPE end the capture like a key too (see
// session_defer_ending_signals). Returns 0 after the key, -1 when the port went away or what it
// read could not be written (said why).
int sniff_capture(PortHandle port, const SniffOptions& options, std::FILE* capture_file,
                  SniffImage* image, TimingClock::time_point began);

// --write: opens the capture file, unbuffered, so that it always holds every byte the screen has
// shown, and held against a second run; sniff_capture empties it once sniffing starts. A
// terminal or a device (the port among them: device is its name) is refused. Returns it, or
// null after saying why on standard error.
std::FILE* sniff_create_capture_file(const std::string& path, const std::string& device);

// --read: decodes a saved capture (options.read; "-" is standard input) to standard output, as
// the capture printed it. Returns 0 at its end, -1 when it cannot be read or the text cannot be
// written (said why).
int sniff_replay(const SniffOptions& options);

// --image and --summary: the image the run builds, or null without them.
std::unique_ptr<SniffImage> sniff_image_for(const SniffOptions& options);

// --image: whether FILE can be made beside its folder's other files (a temporary file is made
// there and removed), before the port is touched. FILE and its map may not be a terminal or a
// device (the port named device among them; "" for no port). Returns 0, or -1 after saying why.
int sniff_image_check(const std::string& path, const std::string& device);

// The file beside FILE that lists the ranges of known bytes.
std::string sniff_image_map_path(const std::string& path);

// The end of a run that read traffic, with --image or --summary: the image and its map put in
// place whole (with --image), then the summary on standard error. Returns 0, or -1 when a file
// could not be written (said why).
int sniff_image_finish(const SniffOptions& options, const SniffImage& image);

// The sniffer configuration byte for the options: 0x80, +0x02 for CKE, +0x04 for CKP.
unsigned char sniff_configuration_byte(const SniffOptions& options);
