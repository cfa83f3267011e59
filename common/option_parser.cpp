#include "option_parser.hpp"

#include "output.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// A lone "-" is an operand, by custom the name of standard input.
bool option_is_operand(const char* word) {
    return word[0] != '-' || word[1] == '\0';
}

// Two names that differ only in spelling but act alike (aliases) do not make a prefix ambiguous.
bool option_same_meaning(const LongOption& a, const LongOption& b) {
    return a.takes_argument == b.takes_argument && a.value == b.value &&
           a.names_file == b.names_file;
}

// What the program printed must be out before the diagnostic, so that the two streams keep
// their order when they go to one place.
__attribute__((format(printf, 4, 5))) int option_fail(OptionParser& parser, bool long_option,
                                                      int error_option, const char* format, ...) {
    parser.error_option = error_option;
    parser.error_long = long_option;
    if (parser.quiet) return '?';
    output_flush();
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
    return '?';
}

// The word at parser.index is "--name" or "--name=value"; it is consumed whatever happens.
int option_next_long(OptionParser& parser, int argument_count, const char* const* arguments,
                     std::span<const LongOption> long_options) {
    const char* program = arguments[0];
    const char* word = arguments[parser.index++];
    const std::string_view given(word + 2, std::strcspn(word + 2, "="));
    const char* value = given.data() + given.size(); // "=value", or the end of the word

    const LongOption* found = nullptr;
    for (const LongOption& option : long_options) {
        if (given == option.name) {
            found = &option;
            break;
        }
    }
    if (found == nullptr) {
        std::string possibilities;
        for (const LongOption& option : long_options) {
            if (!std::string_view(option.name).starts_with(given)) continue;
            if (found == nullptr) {
                found = &option;
            } else if (!option_same_meaning(*found, option)) {
                if (possibilities.empty()) possibilities = std::string(" '--") + found->name + "'";
                possibilities += std::string(" '--") + option.name + "'";
            }
        }
        if (!possibilities.empty()) {
            return option_fail(parser, true, 0, "%s: option '%s' is ambiguous; possibilities:%s\n",
                               program, word, possibilities.c_str());
        }
    }
    if (found == nullptr)
        return option_fail(parser, true, 0, "%s: unrecognized option '%s'\n", program, word);

    if (*value == '=') {
        if (!found->takes_argument) {
            return option_fail(parser, true, found->value,
                               "%s: option '--%s' doesn't allow an argument\n", program,
                               found->name);
        }
        parser.argument = value + 1;
    } else if (found->takes_argument) {
        if (parser.index == argument_count) {
            return option_fail(parser, true, found->value,
                               "%s: option '--%s' requires an argument\n", program, found->name);
        }
        parser.argument = arguments[parser.index++];
    }
    if (found->names_file && parser.argument != nullptr && parser.argument[0] == '\0') {
        parser.argument = nullptr;
        return option_fail(parser, true, found->value, "%s: option '--%s' requires a file name\n",
                           program, found->name);
    }
    return found->value;
}

} // namespace

int option_next(OptionParser& parser, int argument_count, const char* const* arguments,
                const char* short_options, std::span<const LongOption> long_options) {
    if (argument_count < 1) return -1;
    if (parser.index == 0) {
        parser.index = 1;
        parser.in_order = short_options[0] == '+' || std::getenv("POSIXLY_CORRECT") != nullptr;
    }
    if (short_options[0] == '+') ++short_options;
    parser.argument = nullptr;

    if (parser.cluster == nullptr) {
        if (!parser.in_order) {
            while (parser.index < argument_count && option_is_operand(arguments[parser.index]))
                ++parser.index;
        }
        if (parser.index >= argument_count) return -1;
        const char* word = arguments[parser.index];
        if (option_is_operand(word)) return -1;
        if (std::strcmp(word, "--") == 0) {
            parser.index = argument_count; // so that every later call ends too
            return -1;
        }
        if (word[1] == '-' && !long_options.empty())
            return option_next_long(parser, argument_count, arguments, long_options);
        parser.cluster = word + 1;
    }

    const char letter = *parser.cluster++;
    if (*parser.cluster == '\0') {
        parser.cluster = nullptr;
        ++parser.index;
    }
    // ':' marks arguments and ';' is reserved in the option string: neither is an option.
    const char* known =
        letter == ':' || letter == ';' ? nullptr : std::strchr(short_options, letter);
    if (known == nullptr)
        return option_fail(parser, false, letter, "%s: invalid option -- '%c'\n", arguments[0],
                           letter);
    if (known[1] == ':') {
        if (parser.cluster != nullptr) { // the rest of the word, as in -dCOM1
            parser.argument = parser.cluster;
            parser.cluster = nullptr;
            ++parser.index;
        } else if (parser.index == argument_count) {
            return option_fail(parser, false, letter, "%s: option requires an argument -- '%c'\n",
                               arguments[0], letter);
        } else { // the next word, even when it begins with '-'
            parser.argument = arguments[parser.index++];
        }
    }
    return letter;
}
