// tapwright-emu: the emulated adapter as a program, so that spi-sniffer and hvp-selftest can be
// tried, demonstrated and debugged without the hardware.

#include "emulator.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr unsigned long long default_rate = 2000;
constexpr unsigned long long most_rate = 10000000;
constexpr unsigned long long most_hangup_bytes = 1ULL << 40;
constexpr unsigned long long most_seed = 0xFFFFFFFFULL;
constexpr std::size_t most_stream_file_bytes = 64 * 1024 * 1024;
constexpr char program[] = "tapwright-emu";
constexpr char pseudo_terminal_folder[] = "/dev/pts/";

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

Numbers are decimal, or hexadecimal after 0x.
Exit status: 0 when stopped, when the client is done or the port was closed,
1 when the device or the link cannot be set up, 2 for a bad command line.
)";

struct EmulatorOptions {
    EmulatorScript script;
    std::string link;
    std::string stream_file;
    unsigned long long rate = default_rate;
    bool once = false;
    bool verbose = false;
};

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
    {nullptr, 0, nullptr, 0},
};

void emulator_usage_hint() {
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
}

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
                 program, text, name, least, most);
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

// Fills options from the command line. Returns 0 to run, 1 when the help was shown, -1 after
// a message for a bad command line.
int emulator_parse_options(int argc, char** argv, EmulatorOptions& options) {
    EmulatorScript& script = options.script;
    unsigned long long value = 0;
    for (;;) {
        const int option = getopt_long(argc, argv, "", long_options, nullptr);
        if (option == -1) break;
        switch (option) {
        case option_link:
            if (*optarg == '\0') {
                std::fprintf(stderr, "%s: --link needs a path\n", program);
                return -1;
            }
            options.link = optarg;
            break;
        case option_once: options.once = true; break;
        case option_modem: script.modem = true; break;
        case option_stream: options.stream_file = optarg; break;
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
        default: return -1; // getopt_long has said what is wrong
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument '%s'\n", program, argv[optind]);
        return -1;
    }

    std::vector<unsigned char> stream;
    if (options.stream_file.empty()) {
        stream = emulator_demo_stream();
        script.stream_repeat = true;
    } else if (emulator_read_file(options.stream_file, stream) != 0) {
        std::fprintf(stderr, "%s: cannot read the stream file '%s': %s\n", program,
                     options.stream_file.c_str(), std::strerror(errno));
        return -1;
    }
    script.stream_chunks = {stream};
    script.stream_rate = static_cast<std::size_t>(options.rate);
    return 0;
}

std::string emulator_link_target(const std::string& link) {
    char target[PATH_MAX];
    const ssize_t count = readlink(link.c_str(), target, sizeof target);
    if (count < 0 || static_cast<std::size_t>(count) >= sizeof target) return {};
    return std::string(target, static_cast<std::size_t>(count));
}

// A link into /dev/pts/ whose device is gone was left by an emulator that could not clean up;
// anything else at the path belongs to someone.
bool emulator_stale_link(const std::string& link) {
    const std::string target = emulator_link_target(link);
    struct stat status;
    return target.starts_with(pseudo_terminal_folder) && stat(link.c_str(), &status) != 0 &&
           errno == ENOENT;
}

// Returns 0, or -1 after a message.
int emulator_make_link(const std::string& link, const std::string& device) {
    struct stat status;
    if (lstat(link.c_str(), &status) != 0) {
        if (symlink(device.c_str(), link.c_str()) == 0) return 0;
        std::fprintf(stderr, "%s: cannot make the link '%s': %s\n", program, link.c_str(),
                     std::strerror(errno));
        return -1;
    }
    if (!emulator_stale_link(link)) {
        std::fprintf(stderr,
                     "%s: '%s' already exists and is not a stale link to a pseudo-terminal; "
                     "not replacing it\n",
                     program, link.c_str());
        return -1;
    }
    // Replaced in one step, so that the path never points nowhere.
    const std::string fresh = link + "." + program + "." + std::to_string(getpid());
    if (symlink(device.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), link.c_str()) == 0)
        return 0;
    std::fprintf(stderr, "%s: cannot replace the link '%s': %s\n", program, link.c_str(),
                 std::strerror(errno));
    unlink(fresh.c_str());
    return -1;
}

// Leaves the path alone when someone has put something else there meanwhile.
void emulator_remove_link(const std::string& link, const std::string& device) {
    if (!link.empty() && emulator_link_target(link) == device) unlink(link.c_str());
}

void emulator_drain(int fd) {
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

// Serves until a stop signal, the master being closed, or with once the last client gone.
// Returns 0, or -1 when waiting failed.
int emulator_serve(Emulator& emulator, int signals, int notified, bool once) {
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {notified, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[0].revents != 0) return 0;
        if (fds[1].revents != 0) emulator_drain(notified);
        if (emulator_wait_hung_up(emulator, 0)) return 0;
        if (once && emulator_wait_clients_done(emulator, 0)) return 0;
    }
}

int emulator_open_pipe(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "%s: cannot make a pipe: %s\n", program, std::strerror(errno));
        return -1;
    }
    return 0;
}

// Stop signals are taken through a descriptor, in the main thread's own time, so the way out
// (the link removed, the emulator stopped) never runs inside a handler. Blocked before the
// emulator's thread starts, which inherits the mask.
int emulator_open_signals() {
    sigset_t stops;
    sigemptyset(&stops);
    for (const int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, stop);
    if (pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0) return -1;
    // A closed standard error must not end the run in the middle of a trace line.
    std::signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0)
        std::fprintf(stderr, "%s: cannot take signals: %s\n", program, std::strerror(errno));
    return signals;
}

int emulator_run(EmulatorOptions& options) {
    const int signals = emulator_open_signals();
    if (signals < 0) return exit_failure;
    int notify[2];
    if (emulator_open_pipe(notify) != 0) {
        close(signals);
        return exit_failure;
    }
    options.script.watch_clients = true;
    options.script.notify_fd = notify[1];
    if (options.verbose) options.script.trace = stderr;

    int status = exit_failure;
    Emulator* emulator = emulator_start(options.script);
    if (emulator == nullptr) {
        std::fprintf(stderr, "%s: cannot open a pseudo-terminal: %s\n", program,
                     std::strerror(errno));
    } else {
        const std::string device = emulator_path(*emulator);
        if (options.link.empty() || emulator_make_link(options.link, device) == 0) {
            std::printf("%s\n", device.c_str());
            std::fflush(stdout);
            status = emulator_serve(*emulator, signals, notify[0], options.once) == 0
                         ? exit_ok
                         : exit_failure;
            emulator_remove_link(options.link, device);
        }
        emulator_stop(emulator);
    }
    close(notify[0]);
    close(notify[1]);
    close(signals);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    EmulatorOptions options;
    const int parsed = emulator_parse_options(argc, argv, options);
    if (parsed < 0) {
        emulator_usage_hint();
        return exit_usage;
    }
    if (parsed > 0) return exit_ok;
    return emulator_run(options);
}
