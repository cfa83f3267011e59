#include "selftest.hpp"

#include "option_parser.hpp"
#include "options.hpp"
#include "output.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int banner_width = 55;
constexpr const char* help_rule =
    "-------------------------------------------------------------------------";
constexpr const char* short_options = "ms:p:";

enum : int { option_log = 256, option_version, option_station, option_operator, option_serial };

constexpr LongOption long_options[] = {{"log", true, option_log, true},
                                       {"version", false, option_version},
                                       {"station", true, option_station},
                                       {"operator", true, option_operator},
                                       {"serial", false, option_serial}};

// A name goes into every line of the record: a line break in it would split a line in two.
void refuse_line_break(const std::string& name, const char* option) {
    if (name.find_first_of("\r\n") == std::string::npos) return;
    output_error(" %s takes a name on one line\n", option);
    options_fail();
}

} // namespace

void selftest_print_help(const char* program_name) {
    std::printf("\n\n%s\n", help_rule);
    std::printf("\n");
    std::printf(" Usage:              \n");
    std::printf("   %s  -p device \n ", program_name);
    std::printf("\n");
    std::printf("   Example Usage:   %s COM1 -R \n", program_name);
    std::printf("\n");
    std::printf("           Where: -p device is port e.g.  COM1  \n"
                "                  -s Speed is port Speed  default is 115200 \n");
    std::printf("\n\n%s\n", help_rule);
}

SelfTestOptions selftest_read_options(int argument_count, char** arguments) {
    if (options_given(argument_count, arguments, short_options, long_options, option_version))
        options_print_version("hvp-selftest");
    options_print_banner(banner_width);
    if (argument_count <= 1) {
        std::puts(" Help Menu");
        selftest_print_help(arguments[0]);
        options_fail();
    }

    SelfTestOptions options{};
    bool device_set = false, speed_set = false, log_set = false, station_set = false,
         operator_set = false;
    OptionParser parser{};
    for (;;) {
        output_flush(); // the parser writes its diagnostics to standard error itself
        const int option =
            option_next(parser, argument_count, arguments, short_options, long_options);
        if (option == -1) break;
        switch (option) {
        case 'p':
            options_store_once(options.device, device_set, parser.argument, " Device/PORT error!");
            break;
        case 's':
            options_store_once(options.speed, speed_set, parser.argument,
                               " Speed should be set: eg  115200 ");
            break;
        case 'm': options.modem = true; break;
        case option_log:
            options_store_once(options.log, log_set, parser.argument, " --log takes one file");
            break;
        case option_station:
            options_store_once(options.station, station_set, parser.argument,
                               " --station takes one name");
            break;
        case option_operator:
            options_store_once(options.operator_name, operator_set, parser.argument,
                               " --operator takes one name");
            break;
        case option_serial: options.serial = true; break;
        default:
            // A long option that was not understood may be a --log gone wrong: testing boards
            // without their record is no test, so it ends the run as the parser's line says.
            if (parser.error_long) options_fail();
            // Unlike the sniffer, the self-test reports a stray option and reads on.
            std::printf(" Invalid argument %c", option);
            selftest_print_help(arguments[0]);
            break;
        }
    }

    if (!device_set) {
        std::puts(" No serial port set");
        selftest_print_help(arguments[0]);
        options_fail();
    }
    refuse_line_break(options.station, "--station");
    refuse_line_break(options.operator_name, "--operator");
    // A modem test has no board: its invented reading would pass for one on the record.
    if (options.modem && log_set) {
        output_error(" --log cannot be used with -m: a modem test puts no board on the "
                     "production record\n");
        options_fail();
    }
    if (!speed_set) options.speed = std::string(selftest_default_speed);
    options.baud = options_baud(options.speed);

    std::printf("\n Parameters used: Device = %s,  Speed = %s\n\n", options.device.c_str(),
                options.speed.c_str());
    return options;
}
