#include "options.hpp"

#include "output.hpp"
#include "version.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* web_address = "https://tapwright.example.org/tools";

} // namespace

void options_print_banner(int width) {
    const std::string rule(static_cast<std::size_t>(width), '-');
    output_text("%s\n\n \n %s\n\n%s\n", rule.c_str(), web_address, rule.c_str());
}

void options_store_once(std::string& field, bool& is_set, const char* argument,
                        const char* complaint) {
    if (is_set) {
        output_text("%s\n", complaint);
        options_fail();
    }
    field = std::string(argument);
    is_set = true;
}

void options_fail() {
    std::exit(-1);
}

int options_baud(const std::string& text) {
    if (text.empty()) return -1;
    long long value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') return -1;
        value = value * 10 + (digit - '0');
        if (value > INT_MAX) return -1;
    }
    return value > 0 ? static_cast<int>(value) : -1;
}

bool options_on(const std::string& text) {
    return !text.empty() && text[0] == '1';
}

namespace {

// A first look at the command line that prints nothing: whether the option whose value is wanted
// is given, and its argument the first time it is (null for none).
bool option_first(int argument_count, char** arguments, const char* short_options,
                  std::span<const LongOption> long_options, int wanted, const char*& argument) {
    OptionParser parser{};
    parser.quiet = true;
    for (int option; (option = option_next(parser, argument_count, arguments, short_options,
                                           long_options)) != -1;) {
        if (option != wanted) continue;
        argument = parser.argument;
        return true;
    }
    return false;
}

} // namespace

bool options_given(int argument_count, char** arguments, const char* short_options,
                   std::span<const LongOption> long_options, int wanted) {
    const char* argument = nullptr;
    return option_first(argument_count, arguments, short_options, long_options, wanted, argument);
}

const char* options_argument(int argument_count, char** arguments, const char* short_options,
                             std::span<const LongOption> long_options, int wanted) {
    const char* argument = nullptr;
    option_first(argument_count, arguments, short_options, long_options, wanted, argument);
    return argument;
}

void options_print_version(const char* name) {
    std::printf("%s %s\n", name, tapwright_version);
    output_flush();
    std::exit(0);
}
