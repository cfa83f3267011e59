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

bool options_given(int argument_count, char** arguments, const char* short_options,
                   std::span<const LongOption> long_options, int wanted) {
    OptionParser parser{};
    parser.quiet = true;
    for (int option; (option = option_next(parser, argument_count, arguments, short_options,
                                           long_options)) != -1;)
        if (option == wanted) return true;
    return false;
}

const char* options_argument(int argument_count, char** arguments, const char* short_options,
                             std::span<const LongOption> long_options, int wanted) {
    OptionParser parser{};
    parser.quiet = true;
    for (int option; (option = option_next(parser, argument_count, arguments, short_options,
                                           long_options)) != -1;)
        if (option == wanted && parser.argument != nullptr) return parser.argument;
    return nullptr;
}

void options_print_version(const char* name) {
    std::printf("%s %s\n", name, tapwright_version);
    output_flush();
    std::exit(0);
}
