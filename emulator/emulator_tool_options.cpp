#include "emulator_tool.hpp"

#include "version.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <vector>

namespace {

constexpr unsigned long long most_rate = 10000000;
constexpr unsigned long long most_hangup_bytes = 1ULL << 40;
constexpr unsigned long long most_seed = 0xFFFFFFFFULL;
constexpr std::size_t most_stream_file_bytes = 64 * 1024 * 1024;

constexpr char usage_text[] =
    R"(Usage: tapwright-emu [OPTION]...
Acts as a Tapwright adapter on a new pseudo-terminal, so that spi-sniffer and
hvp-selftest can run without the hardware. The first line of output is the
device path to give them. Runs until interrupted (Ctrl-C, SIGTERM).

  --link PATH          also make a symbolic link PATH to the device; removed on
                         exit (only a stale link to a pseudo-terminal is replaced)
  --once               exit once the first client (and any that joined it) has
                         closed the port
  --modem              act as an AT modem (answers ATI3, ATI4 and ATI7)
  --stream FILE        after the sniffer start byte, send FILE's bytes once
                         instead of the demo flash session
  --rate N             stream bytes per second (default 2000); the demo repeats
                         until the client leaves
  --reading VALUE      reply to the voltage measurement (two bytes, high first;
                         default 0x4746)
  --silent             never answer the binary mode handshake
  --no-spi             give no reply to the switch into SPI mode
  --nak BYTE           answer command BYTE (e.g. 0x82) with 0x00 instead of
                         0x01; may be given more than once
  --hangup-after N     close the port after N stream bytes, as if unplugged,
                         and exit once the client has read them
  --random SEED        answer every byte with 0 to 8 random bytes instead of
                         the protocol; the same SEED (1 or more) answers alike
  --verbose            log every byte received and sent on standard error (hex)
  --help               show this help and exit
  --version            show the version and exit

Numbers are decimal, or hexadecimal after 0x.
Exit status: 0 when stopped, when the client is done or the port was closed,
1 when the device or the link cannot be set up, 2 for a bad command line.
)";

enum EmulatorOption : int {
    option_link = 256,
    option_once,
    option_modem,
    option_stream,
    option_rate,
    option_reading,
    option_silent,
    option_no_spi,
    option_nak,
    option_hangup_after,
    option_random,
    option_verbose,
    option_help,
    option_version,
};

constexpr option long_options[] = {
    {"link", required_argument, nullptr, option_link},
    {"once", no_argument, nullptr, option_once},
    {"modem", no_argument, nullptr, option_modem},
    {"stream", required_argument, nullptr, option_stream},
    {"rate", required_argument, nullptr, option_rate},
    {"reading", required_argument, nullptr, option_reading},
    {"silent", no_argument, nullptr, option_silent},
    {"no-spi", no_argument, nullptr, option_no_spi},
    {"nak", required_argument, nullptr, option_nak},
    {"hangup-after", required_argument, nullptr, option_hangup_after},
    {"random", required_argument, nullptr, option_random},
    {"verbose", no_argument, nullptr, option_verbose},
    {"help", no_argument, nullptr, option_help},
    {"version", no_argument, nullptr, option_version},
    {nullptr, 0, nullptr, 0},
};

int emulator_digit(char c, int base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decimal, or hexadecimal after "0x": digits only, least to most. No sign, no blanks, and a
// leading 0 does not mean octal. Returns 0, or -1.
int emulator_parse_number(const char* text, unsigned long long least, unsigned long long most,
                          unsigned long long& value) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0') return -1;
    unsigned long long result = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        const int digit = emulator_digit(*c, base);
        if (digit < 0) return -1;
        result = result * static_cast<unsigned long long>(base) + static_cast<unsigned>(digit);
        if (result > most) return -1;
    }
    if (result < least) return -1;
    value = result;
    return 0;
}

int emulator_number_option(const char* name, const char* text, unsigned long long least,
                           unsigned long long most, unsigned long long& value) {
    if (emulator_parse_number(text, least, most, value) == 0) return 0;
    std::fprintf(stderr,
                 "%s: invalid value '%s' for --%s: expected a whole number from %llu to %llu\n",
                 emulator_program, text, name, least, most);
    return -1;
}

// Reads the whole file. Returns 0, or -1 with errno set.
int emulator_read_file(const std::string& path, std::vector<unsigned char>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return -1;
    unsigned char block[65536];
    int result = 0;
    for (;;) {
        const std::size_t count = std::fread(block, 1, sizeof block, file);
        bytes.insert(bytes.end(), block, block + count);
        if (bytes.size() > most_stream_file_bytes) {
            errno = EFBIG;
            result = -1;
            break;
        }
        if (count < sizeof block) {
            if (std::ferror(file) != 0) result = -1;
            break;
        }
    }
    const int saved_errno = errno;
    std::fclose(file);
    errno = saved_errno;
    return result;
}

} // namespace

int emulator_parse_options(int argc, char** argv, EmulatorOptions& options) {
    EmulatorScript& script = options.script;
    unsigned long long value = 0;
    // getopt_long names the program as argv[0] says; every other message says tapwright-emu.
    static char name[] = "tapwright-emu";
    std::vector<char*> words(argv, argv + argc);
    words.push_back(nullptr);
    words[0] = name;
    argv = words.data();
    for (;;) {
        const int option = getopt_long(argc, argv, "", long_options, nullptr);
        if (option == -1) break;
        switch (option) {
        case option_link:
            if (*optarg == '\0') {
                std::fprintf(stderr, "%s: --link needs a path\n", emulator_program);
                return -1;
            }
            options.link = optarg;
            break;
        case option_once: options.once = true; break;
        case option_modem: script.modem = true; break;
        case option_stream:
            // An empty name would quietly stand for the demo stream.
            if (*optarg == '\0') {
                std::fprintf(stderr, "%s: --stream needs a file\n", emulator_program);
                return -1;
            }
            options.stream_file = optarg;
            break;
        case option_rate:
            if (emulator_number_option("rate", optarg, 1, most_rate, options.rate) != 0) return -1;
            break;
        case option_reading:
            if (emulator_number_option("reading", optarg, 0, 0xFFFF, value) != 0) return -1;
            script.readings = {
                {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value & 0xFF)}};
            break;
        case option_silent: script.handshake_from_attempt = 0; break;
        case option_no_spi: script.mode_reply.clear(); break;
        case option_nak:
            if (emulator_number_option("nak", optarg, 0, 0xFF, value) != 0) return -1;
            script.command_reply[value] = 0x00;
            break;
        case option_hangup_after:
            if (emulator_number_option("hangup-after", optarg, 1, most_hangup_bytes, value) != 0)
                return -1;
            script.hangup_after_bytes = static_cast<std::size_t>(value);
            break;
        case option_random:
            if (emulator_number_option("random", optarg, 1, most_seed, value) != 0) return -1;
            script.random_seed = static_cast<std::uint32_t>(value);
            break;
        case option_verbose: options.verbose = true; break;
        case option_help: std::fputs(usage_text, stdout); return 1;
        case option_version: std::printf("%s %s\n", emulator_program, tapwright_version); return 1;
        default: return -1; // getopt_long has said what is wrong
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument '%s'\n", emulator_program, argv[optind]);
        return -1;
    }

    std::vector<unsigned char> stream;
    if (options.stream_file.empty()) {
        stream = emulator_demo_stream();
        script.stream_repeat = true;
    } else if (emulator_read_file(options.stream_file, stream) != 0) {
        std::fprintf(stderr, "%s: cannot read the stream file '%s': %s\n", emulator_program,
                     options.stream_file.c_str(), std::strerror(errno));
        return -1;
    }
    script.stream_chunks = {stream};
    script.stream_rate = static_cast<std::size_t>(options.rate);
    return 0;
}

int emulator_flush_output() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
    std::fprintf(stderr, "%s: cannot write the output: %s\n", emulator_program,
                 std::strerror(errno));
    return -1;
}

void emulator_usage_hint() {
    std::fprintf(stderr, "Try '%s --help' for more information.\n", emulator_program);
}
