#include "sniffer.hpp"

#include "modem_mode.hpp"
#include "option_parser.hpp"
#include "output.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* rule =
    "-----------------------------------------------------------------------------";
constexpr const char* web_address = "https://tapwright.example.org/tools";

void print_banner() {
    std::printf("%s\n\n \n %s\n\n%s\n", rule, web_address, rule);
}

[[noreturn]] void fail() {
    std::exit(-1);
}

// A second occurrence of an option is an error; the message names what the option wants.
void store_once(std::string& field, bool& is_set, const char* argument, const char* complaint) {
    if (is_set) {
        std::puts(complaint);
        fail();
    }
    field = std::string(argument);
    is_set = true;
}

} // namespace

void sniff_print_help(const char* program_name) {
    std::printf("\n\n Help Menu\n");
    std::printf(" Usage:              \n");
    std::printf("   %s  -d device -e 1 -p 0 \n ", program_name);
    std::printf("\n");
    std::printf("   Example Usage:   %s COM1 -s Speed -e 1 -p 0 -r 1\n", program_name);
    std::printf("\n");
    std::printf("           Where: -d device is port e.g.  COM1  \n"
                "                  -s Speed is port Speed  default is 115200 \n"
                "                  -e ClockEdge is 0 or 1  default is 1 \n"
                "                  -p Polarity  is 0 or 1  default is 0 \n"
                "                  -r RawData  is 0 or 1  default is 0 \n");
    std::printf("\n\n%s\n", rule);
}

SniffOptions sniff_read_options(int argument_count, char** arguments) {
    print_banner();
    if (argument_count <= 1) {
        sniff_print_help(arguments[0]);
        fail();
    }

    SniffOptions options;
    bool device_set = false, speed_set = false, edge_set = false, polarity_set = false,
         raw_set = false;
    OptionParser parser{};
    for (;;) {
        output_flush(); // the parser writes its diagnostics to standard error itself
        const int option = option_next(parser, argument_count, arguments, "ms:p:e:d:r:", {});
        if (option == -1) break;
        switch (option) {
        case 'd':
            store_once(options.device, device_set, parser.argument, "Device/PORT error!");
            break;
        case 'e':
            store_once(options.clock_edge, edge_set, parser.argument,
                       "Clock Edge should be 0 or 1");
            break;
        case 'p':
            store_once(options.polarity, polarity_set, parser.argument, "Polarity must be 0 or 1");
            break;
        case 'r':
            store_once(options.raw, raw_set, parser.argument, "Raw Data should be 0 or 1");
            break;
        case 's':
            store_once(options.speed, speed_set, parser.argument,
                       "Speed should be set: eg  115200 ");
            break;
        case 'm': modem_mode = 1; break;
        default:
            std::printf(" Invalid argument %c", option);
            sniff_print_help(arguments[0]);
            fail();
        }
    }

    if (!device_set) {
        std::puts(" No serial port set");
        sniff_print_help(arguments[0]);
        fail();
    }
    if (!edge_set) options.clock_edge = std::string(sniff_default_clock_edge);
    if (!polarity_set) options.polarity = std::string(sniff_default_polarity);
    if (!speed_set) options.speed = std::string(sniff_default_speed);
    if (!raw_set) options.raw = std::string(sniff_default_raw);

    std::puts("\n Parameters used:");
    std::printf(" Device = %s,  Speed = %s, Clock Edge= %s, Polarity= %s RawData= %s \n\n",
                options.device.c_str(), options.speed.c_str(), options.clock_edge.c_str(),
                options.polarity.c_str(), options.raw.c_str());
    return options;
}
