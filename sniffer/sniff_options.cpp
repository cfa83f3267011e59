#include "sniffer.hpp"

#include "option_parser.hpp"
#include "options.hpp"
#include "output.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int rule_width = 77;
constexpr const char* short_options = "ms:p:e:d:r:";

enum : int {
    option_write = 256,
    option_read,
    option_flash,
    option_version,
    option_image,
    option_image_size,
    option_summary,
    option_timestamps,
    option_format
};

constexpr LongOption long_options[] = {
    {"write", true, option_write, true}, {"read", true, option_read, true},
    {"flash", false, option_flash},      {"version", false, option_version},
    {"image", true, option_image, true}, {"image-size", true, option_image_size},
    {"summary", false, option_summary},  {"timestamps", false, option_timestamps},
    {"format", true, option_format}};

constexpr std::uint64_t largest_image = std::uint64_t{1} << 32;

// --image-size: bytes, or KiB or MiB with K or M; a power of two from 1 to 4096M. 0 for anything
// else.
std::uint64_t image_size(const std::string& text) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
        if (value > largest_image) return 0;
    }
    const std::string unit = text.substr(digits);
    if (digits == 0 || (unit != "" && unit != "K" && unit != "M")) return 0;
    value <<= unit == "K" ? 10 : unit == "M" ? 20 : 0;
    return value <= largest_image && std::has_single_bit(value) ? value : 0;
}

} // namespace

void sniff_print_help(const char* program_name) {
    output_text("\n\n Help Menu\n");
    output_text(" Usage:              \n");
    output_text("   %s  -d device -e 1 -p 0 \n ", program_name);
    output_text("\n");
    output_text("   Example Usage:   %s COM1 -s Speed -e 1 -p 0 -r 1\n", program_name);
    output_text("\n");
    output_text("           Where: -d device is port e.g.  COM1  \n"
                "                  -s Speed is port Speed  default is 115200 \n"
                "                  -e ClockEdge is 0 or 1  default is 1 \n"
                "                  -p Polarity  is 0 or 1  default is 0 \n"
                "                  -r RawData  is 0 or 1  default is 0 \n");
    output_text("\n\n%s\n", std::string(rule_width, '-').c_str());
}

bool sniff_reads_capture(int argument_count, char** arguments) {
    return options_given(argument_count, arguments, short_options, long_options, option_read);
}

SniffOptions sniff_read_options(int argument_count, char** arguments) {
    if (options_given(argument_count, arguments, short_options, long_options, option_version))
        options_print_version("spi-sniffer");
    // JSON lines stand alone on standard output: every text goes to standard error, the banner
    // and what is said of the command line among them.
    const char* first_format =
        options_argument(argument_count, arguments, short_options, long_options, option_format);
    if (first_format != nullptr && std::string(first_format) == "jsonl") output_texts_to_error();
    // A saved capture is decoded alone: what is printed is the stream's text and nothing else.
    const bool reading = sniff_reads_capture(argument_count, arguments);
    if (!reading) options_print_banner(rule_width);
    if (argument_count <= 1) {
        sniff_print_help(arguments[0]);
        options_fail();
    }

    // The texts as given, for the echo; only what they mean is kept.
    std::string device, speed, clock_edge, polarity, raw, write, read, image, size, format;
    bool device_set = false, speed_set = false, edge_set = false, polarity_set = false,
         raw_set = false, write_set = false, read_set = false, modem = false, flash = false,
         image_set = false, size_set = false, summary = false, timestamps = false,
         format_set = false;
    OptionParser parser{};
    for (;;) {
        output_flush(); // the parser writes its diagnostics to standard error itself
        const int option =
            option_next(parser, argument_count, arguments, short_options, long_options);
        if (option == -1) break;
        switch (option) {
        case 'd':
            options_store_once(device, device_set, parser.argument, "Device/PORT error!");
            break;
        case 'e':
            options_store_once(clock_edge, edge_set, parser.argument,
                               "Clock Edge should be 0 or 1");
            break;
        case 'p':
            options_store_once(polarity, polarity_set, parser.argument, "Polarity must be 0 or 1");
            break;
        case 'r':
            options_store_once(raw, raw_set, parser.argument, "Raw Data should be 0 or 1");
            break;
        case 's':
            options_store_once(speed, speed_set, parser.argument,
                               "Speed should be set: eg  115200 ");
            break;
        case 'm': modem = true; break;
        case option_flash: flash = true; break;
        case option_write:
            options_store_once(write, write_set, parser.argument, " --write takes one file");
            break;
        case option_read:
            options_store_once(read, read_set, parser.argument, " --read takes one file");
            break;
        case option_image:
            options_store_once(image, image_set, parser.argument, " --image takes one file");
            break;
        case option_image_size:
            options_store_once(size, size_set, parser.argument, " --image-size takes one size");
            break;
        case option_summary: summary = true; break;
        case option_timestamps: timestamps = true; break;
        case option_format:
            options_store_once(format, format_set, parser.argument, " --format takes one format");
            break;
        default:
            // The parser's line says what is wrong with a long option; the help knows none.
            if (parser.error_long) options_fail();
            output_text(" Invalid argument %c", option);
            sniff_print_help(arguments[0]);
            options_fail();
        }
    }

    if (format_set && format != "text" && format != "jsonl") {
        output_text(" --format %s: give text or jsonl\n", format.c_str());
        options_fail();
    }
    if (reading && timestamps) {
        output_text("%s\n", " --timestamps needs a live run: a capture file holds no times");
        options_fail();
    }
    if (reading && write_set) {
        output_text("%s\n", " --read decodes a capture: it cannot be written again with --write");
        options_fail();
    }
    // "-" is standard input to --read, but standard output already carries the text.
    if (write == "-") {
        output_text("%s\n", " --write takes a file: standard output (-) carries the text");
        options_fail();
    }
    if (size_set && image_size(size) == 0) {
        output_text(" --image-size %s: give a power of two in bytes, or with K or M (65536, 64K, "
                    "16M), at most 4096M\n",
                    size.c_str());
        options_fail();
    }
    if (size_set && !image_set && !summary) {
        output_text("%s\n", " --image-size needs --image or --summary");
        options_fail();
    }
    // The image is written at the end: over the capture it was read from, or is kept in, it
    // would take the capture's place.
    if (image_set && (image == read || image == write)) {
        output_text(" --image and --%s name the same file\n", image == read ? "read" : "write");
        options_fail();
    }
    if (!device_set && !reading) {
        output_text("%s\n", " No serial port set");
        sniff_print_help(arguments[0]);
        options_fail();
    }
    if (!edge_set) clock_edge = std::string(sniff_default_clock_edge);
    if (!polarity_set) polarity = std::string(sniff_default_polarity);
    if (!speed_set) speed = std::string(sniff_default_speed);
    if (!raw_set) raw = std::string(sniff_default_raw);

    if (!reading) {
        output_text("%s\n", "\n Parameters used:");
        output_text(" Device = %s,  Speed = %s, Clock Edge= %s, Polarity= %s RawData= %s \n\n",
                    device.c_str(), speed.c_str(), clock_edge.c_str(), polarity.c_str(),
                    raw.c_str());
    }
    SniffOptions options{};
    options.device = device;
    options.speed = speed;
    options.baud = options_baud(speed);
    options.clock_edge = options_on(clock_edge);
    options.polarity = options_on(polarity);
    options.raw = options_on(raw);
    options.modem = modem;
    options.flash = flash;
    options.write = write;
    options.read = read;
    options.image = image;
    options.image_size = size_set ? image_size(size) : 0;
    options.summary = summary || image_set;
    options.timestamps = timestamps;
    options.jsonl = format == "jsonl";
    return options;
}
