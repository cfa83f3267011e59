// Our option parser against the GNU C library's getopt_long, word for word: every command line
// must give the same results, arguments, error options and diagnostics through both.

#include "option_parser.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <getopt.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr LongOption long_options[] = {{"write", true, 'w'},   {"read", true, 'R'},
                                       {"flash", false, 'f'},  {"flash-erase", false, 'F'},
                                       {"log", true, 'l'},     {"logfile", true, 'l'},
                                       {"version", false, 'V'}};

struct Case {
    const char* short_options;
    bool with_long_options;
    bool posixly_correct;
    std::vector<const char*> words; // after the program name
};

constexpr const char* sniffer = "ms:p:e:d:r:";
const Case cases[] = {
    {sniffer, false, false, {"COM1", "-d", "COM5", "junk", "-e", "0", "tail"}},
    {sniffer, false, false, {"-mm", "-md", "COM1", "-mdCOM2", "-dCOM3", "-s", "9600"}},
    {sniffer, false, false, {"-d", "-x", "-e", "--", "op", "-p"}},
    {sniffer, false, false, {"-x", "op", "-mxe"}},
    {sniffer, false, false, {"-m", "--", "-d", "COM1"}},
    {sniffer, false, false, {"-", "-m", "-", "-:", "-;"}},
    {sniffer, false, false, {"--foo", "-m"}},
    {sniffer, false, false, {}},
    {sniffer, false, true, {"-m", "COM1", "-d", "COM2"}},
    {"+ms:p:", false, false, {"-+", "-s", "9600", "stop", "-p", "x"}},
    {sniffer, true, false, {"--write", "out", "op", "--wr=a", "--flash", "--ver", "--read=in"}},
    {sniffer, true, false, {"--flash-e", "--fl", "--fla=3", "--=x", "-m"}},
    {sniffer, true, false, {"--foo", "--foo=bar", "--lo", "x", "--write=", "--write", "-m"}},
    {sniffer, true, false, {"--flash=1", "--version=", "-m", "--read"}},
    {sniffer, true, true, {"--flash", "op", "--version"}},
};

struct Step {
    int result;
    const char* argument;
    int error_option;
};

// Runs one parse to its end with standard error caught, and writes down all it did.
std::string transcript(const Case& c, const std::function<Step(int, char**)>& next) {
    std::vector<std::string> storage{"tool"};
    storage.insert(storage.end(), c.words.begin(), c.words.end());
    std::vector<char*> words;
    for (std::string& word : storage) words.push_back(word.data());
    words.push_back(nullptr);

    std::FILE* capture = std::tmpfile();
    std::fflush(stderr);
    const int saved_error = dup(2);
    dup2(fileno(capture), 2);
    std::string text;
    for (int calls = 0; calls < 20; ++calls) {
        const Step step = next(static_cast<int>(storage.size()), words.data());
        text += step.result > ' ' ? std::string{'\'', char(step.result), '\''}
                                  : std::to_string(step.result);
        if (step.argument != nullptr) text += " [" + std::string(step.argument) + "]";
        if (step.result == '?') text += " error " + std::to_string(step.error_option);
        text += "\n";
        if (step.result == -1) break;
    }
    std::fflush(stderr);
    dup2(saved_error, 2);
    close(saved_error);
    std::rewind(capture);
    for (int byte; (byte = std::fgetc(capture)) != EOF;) text += char(byte);
    std::fclose(capture);
    return text;
}

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(OptionParser, AgreesWithTheCLibrary) {
    std::vector<option> reference_options;
    for (const LongOption& o : long_options)
        reference_options.push_back({o.name, o.takes_argument, nullptr, o.value});
    reference_options.push_back({});
    const char* outer = std::getenv("POSIXLY_CORRECT");
    const std::optional<std::string> restore =
        outer != nullptr ? std::optional<std::string>(outer) : std::nullopt;

    for (const Case& c : cases) {
        std::string command = c.short_options;
        for (const char* word : c.words) command += std::string(" ") + word;
        SCOPED_TRACE(command + (c.posixly_correct ? " (POSIXLY_CORRECT)" : ""));
        if (c.posixly_correct)
            setenv("POSIXLY_CORRECT", "1", 1);
        else
            unsetenv("POSIXLY_CORRECT");

        OptionParser parser{};
        const std::span<const LongOption> ours_long =
            c.with_long_options ? std::span<const LongOption>(long_options)
                                : std::span<const LongOption>();
        const std::string ours = transcript(c, [&](int count, char** words) {
            const int result = option_next(parser, count, words, c.short_options, ours_long);
            return Step{result, parser.argument, parser.error_option};
        });
        optind = 0;
        const std::string reference = transcript(c, [&](int count, char** words) {
            const int result =
                getopt_long(count, words, c.short_options,
                            c.with_long_options ? reference_options.data() : nullptr, nullptr);
            return Step{result, optarg, optopt};
        });
        EXPECT_EQ(ours, reference);
        EXPECT_EQ(occurrences(ours, "'?'"), occurrences(ours, "tool: ")) << ours;
    }

    if (restore)
        setenv("POSIXLY_CORRECT", restore->c_str(), 1);
    else
        unsetenv("POSIXLY_CORRECT");
}

} // namespace
