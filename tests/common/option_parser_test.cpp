// Our option parser against the GNU C library's getopt_long, word for word: every command line
// must give the same results, arguments, error options and diagnostics through both.

#include "option_parser.hpp"
#include "options.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr LongOption longs[] = {{"write", true, 'w'},        {"flash", false, 'f'},
                                {"flash-erase", false, 'F'}, {"log", true, 'l'},
                                {"logfile", true, 'l'},      {"version", false, 'V'}};

struct Case {
    const char* short_options;
    std::span<const LongOption> long_options; // none: "--name" is short options
    bool posixly_correct;
    std::vector<std::string> words; // after the program name
};

constexpr const char* sniffer = "ms:p:e:d:r:";
const Case cases[] = {
    {sniffer, {}, false, {"COM1", "-d", "COM5", "junk", "-e", "0", "tail"}},
    {sniffer, {}, false, {"-mm", "-md", "COM1", "-mdCOM2", "-dCOM3", "-s"}},
    {sniffer, {}, false, {"-d", "-x", "-e", "--", "op", "--foo", "-x", "op", "-mxe"}},
    {sniffer, {}, false, {"-", "-m", "-", "-:", "-;", "--", "-d", "COM1"}},
    {sniffer, {}, false, {}},
    {sniffer, {}, true, {"-m", "COM1", "-d", "COM2"}},
    {"+ms:p:", {}, false, {"-+", "-s", "9600", "stop", "-p", "x"}},
    {sniffer, longs, false, {"--write", "out", "op", "--wr=a", "--flash", "--ver", "--log=in"}},
    {sniffer, longs, false, {"--flash-e", "--fl", "--fla=3", "--=x", "-m"}},
    {sniffer, longs, false, {"--foo", "--foo=bar", "--lo", "x", "--write=", "--write", "-m"}},
    {sniffer, longs, false, {"--flash=1", "--version=", "-m", "--log"}},
    {sniffer, longs, true, {"--flash", "op", "--version"}},
};

// One parse to its end: results, arguments and error options, then what went to standard error.
std::string transcript(Case c, bool reference) {
    std::vector<option> reference_options;
    for (const LongOption& o : c.long_options)
        reference_options.push_back({o.name, o.takes_argument, nullptr, o.value});
    reference_options.push_back({});
    const option* reference_long = c.long_options.empty() ? nullptr : reference_options.data();
    c.words.insert(c.words.begin(), "tool");
    std::vector<char*> words;
    for (std::string& word : c.words) words.push_back(word.data());
    const int count = static_cast<int>(words.size());
    std::FILE* capture = std::tmpfile();
    const int saved_error = dup(2);
    dup2(fileno(capture), 2);
    OptionParser parser{};
    optind = 0;
    std::string text;
    for (int result = 0, calls = 0; result != -1 && calls < 20; ++calls) {
        result = reference
                     ? getopt_long(count, words.data(), c.short_options, reference_long, nullptr)
                     : option_next(parser, count, words.data(), c.short_options, c.long_options);
        const char* argument = reference ? optarg : parser.argument;
        const int error_option = reference ? optopt : parser.error_option;
        text += std::to_string(result) + " [" + (argument ? argument : "none") + "] " +
                std::to_string(result == '?' ? error_option : 0) + "\n";
    }
    dup2(saved_error, 2);
    close(saved_error);
    std::rewind(capture);
    for (int byte; (byte = std::fgetc(capture)) != EOF;) text += char(byte);
    std::fclose(capture);
    return text;
}

TEST(OptionParser, AgreesWithTheCLibrary) {
    const char* outer = std::getenv("POSIXLY_CORRECT");
    const std::string outer_value = outer ? outer : "";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.words));
        c.posixly_correct ? setenv("POSIXLY_CORRECT", "1", 1) : unsetenv("POSIXLY_CORRECT");
        EXPECT_EQ(transcript(c, false), transcript(c, true));
    }
    outer ? setenv("POSIXLY_CORRECT", outer_value.c_str(), 1) : unsetenv("POSIXLY_CORRECT");
}

// A speed is a whole decimal number above zero that fits an int, and nothing else.
TEST(OptionsBaud, TakesDigitsOnly) {
    const std::pair<const char*, int> cases[] = {
        {"115200", 115200}, {"50", 50},     {"2147483647", 2147483647},
        {"", -1},           {"abc", -1},    {"0", -1},
        {"-9600", -1},      {"12x", -1},    {" 9600", -1},
        {"9600 ", -1},      {"+9600", -1},  {"99999999999", -1},
        {"2147483648", -1}, {"0x2580", -1}, {"96 00", -1}};
    for (const auto& [text, rate] : cases)
        EXPECT_EQ(options_baud(text), rate) << '"' << text << '"';
}

} // namespace
