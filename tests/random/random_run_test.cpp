// Both programs as processes under thousands of random command lines, and against an emulated
// adapter that answers every byte with random bytes. Whatever comes, a run ends by itself, with
// a status its program documents, and without a sanitizer report. The seed is fixed and printed;
// TAPWRIGHT_RANDOM_SEED=N replays seed N, TAPWRIGHT_RANDOM_SEED=random draws a new one.

#include "program_run.hpp"
#include "timing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using ::PrintTo; // names the test cases in listings

using Rng = std::mt19937_64;

#ifdef RANDOM_RUN_SANITIZED
constexpr int argument_runs = 1500;
// The leak check at a sanitized program's exit costs two thirds of a short run: it is made in
// one command line of this many, and the other runs still stop at any other fault.
constexpr int leak_check_every = 8;
#else
constexpr int argument_runs = 3000;
constexpr int leak_check_every = 1;
#endif
// Each of these goes through the handshake's attempts: up to a few seconds of mostly waiting.
constexpr int adapter_runs = 24;
constexpr int argument_workers = 2;
constexpr int adapter_workers = 4;
constexpr int max_tokens = 8;
constexpr int latest_key_ms = 2500;
constexpr std::size_t failures_shown = 10;

// Where serial_open would look for a port name (see serial_device_path).
constexpr std::size_t device_path_limit = 31;

struct ProgramCase {
    const char* name;
    std::string path;
    std::string flags;         // options without an argument
    std::string with_argument; // options that take one
    char device;               // the option naming the port
    std::vector<int> statuses; // the exit statuses it documents, its input at its end
    bool key_starts;           // waits for a key before it opens the port
};

const std::vector<ProgramCase> programs = {
    {"spi_sniffer", SPI_SNIFFER_PATH, "m", "sepdr", 'd', {0, 255}, false},
    {"hvp_selftest", HVP_SELFTEST_PATH, "m", "sp", 'p', {255}, true},
};

std::uint64_t suite_seed() {
    static const std::uint64_t seed = [] {
        // Fixed unless asked otherwise, so that a run can always be repeated as it was; set
        // TAPWRIGHT_RANDOM_SEED=random to explore new ground.
        const char* text = std::getenv("TAPWRIGHT_RANDOM_SEED");
        if (text == nullptr) return std::uint64_t{20261208};
        if (std::strcmp(text, "random") != 0)
            return static_cast<std::uint64_t>(std::strtoull(text, nullptr, 0));
        std::random_device device;
        return (std::uint64_t{device()} << 32) | device();
    }();
    return seed;
}

// Every run draws from its own generator, so a run's arguments do not depend on the order in
// which the workers happened to take the runs.
Rng run_rng(const ProgramCase& program, int kind, int index) {
    const std::uint64_t seed = suite_seed();
    std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                           static_cast<std::uint32_t>(program.device),
                           static_cast<std::uint32_t>(kind), static_cast<std::uint32_t>(index)};
    return Rng(sequence);
}

int pick(Rng& rng, int below) {
    return std::uniform_int_distribution<int>(0, below - 1)(rng);
}

bool chance(Rng& rng, int one_in) {
    return pick(rng, one_in) == 0;
}

template <typename Container>
const auto& pick_from(Rng& rng, const Container& items) {
    return items[static_cast<std::size_t>(pick(rng, static_cast<int>(items.size())))];
}

// A regular file of the test's own, which a program may open as its "port" and write to.
struct ScratchFile {
    std::string path;
    ScratchFile() {
        char name[] = "/tmp/tapwright-random-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            close(fd);
            path = name;
        }
    }
    ~ScratchFile() {
        if (!path.empty()) unlink(path.c_str());
    }
};

// Names a program may be given as its port: ones that exist but are harmless to open, write
// and read, and ones that name nothing.
std::vector<std::string> port_pool(const ScratchFile& scratch) {
    return {"/dev/null",
            "null",
            "/dev/zero",
            "zero",
            scratch.path,
            "/",
            "/tmp",
            "",
            "/nonexistent-tapwright/port",
            "tapwright-missing-port",
            "COM1",
            "../../x"};
}

constexpr const char* missing_port = "tapwright-missing-port";

std::string device_path(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    return ("/dev/" + name).substr(0, device_path_limit);
}

// A random word could name a real device (a disk, a terminal, memory): the token, and every
// tail of it that an option letter could take as its argument, must name nothing, a folder
// (which does not open for writing), or one of the pool's harmless files.
bool harmless_as_port(const std::string& token, const std::vector<std::string>& pool) {
    std::vector<std::string> candidates = {token};
    if (token.size() > 2 && token[0] == '-')
        for (std::size_t i = 2; i < token.size(); ++i) candidates.push_back(token.substr(i));
    for (const std::string& name : candidates) {
        if (std::find(pool.begin(), pool.end(), name) != pool.end()) continue;
        struct stat status {};
        if (stat(device_path(name).c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) return false;
    }
    return true;
}

std::string random_word(Rng& rng) {
    static const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789 -_.,:;/\\%$#@!?*'\"()[]{}<>=+~`^&|\t\n"
                                        "\x01\x1b\x7f\x80\xc3\xa9\xff";
    const int length = chance(rng, 10) ? 100 + pick(rng, 300) : pick(rng, 16);
    std::string word;
    for (int i = 0; i < length; ++i) word += pick_from(rng, alphabet);
    return word;
}

std::string random_value(Rng& rng) {
    static const std::vector<std::string> values = {
        "0",    "1",   "2",    "-1", "10",          "115200", "9600", "250000", "4294967296",
        "1e3",  "0x1", "abc",  "",   "99999999999", "%s%n%x", "-",    "--",     "-m",
        "1abc", "01",  "  1 ", "é"};
    return chance(rng, 3) ? random_word(rng) : pick_from(rng, values);
}

// One random command line: known and unknown options, alone or in clusters, their values
// attached or apart, ports from the pool, stray words, "--" and empty strings.
std::vector<std::string> random_arguments(Rng& rng, const ProgramCase& program,
                                          const std::vector<std::string>& pool) {
    const std::string letters = program.flags + program.with_argument + "xhRDz?-:W0";
    std::vector<std::string> args;
    const int tokens = pick(rng, max_tokens + 1);
    while (static_cast<int>(args.size()) < tokens) {
        switch (pick(rng, 7)) {
        case 0: { // a cluster, perhaps with a value after it
            std::string cluster = "-";
            for (int n = 1 + pick(rng, 3); n > 0; --n) cluster += pick_from(rng, letters);
            args.push_back(cluster);
            if (chance(rng, 2)) args.push_back(random_value(rng));
            break;
        }
        case 1: { // the port
            const std::string option = std::string("-") + program.device;
            const std::string& port = pick_from(rng, pool);
            if (chance(rng, 2) && !port.empty()) {
                args.push_back(option + port);
            } else {
                args.push_back(option);
                args.push_back(port);
            }
            break;
        }
        case 2: { // an option that takes a value
            const std::string option = std::string("-") + pick_from(rng, program.with_argument);
            const std::string value = random_value(rng);
            if (chance(rng, 2)) {
                args.push_back(option + value);
            } else {
                args.push_back(option);
                args.push_back(value);
            }
            break;
        }
        case 3: args.push_back(random_word(rng)); break;
        case 4: args.push_back("--"); break;
        case 5: args.push_back(""); break;
        default: args.push_back(std::string("-") + pick_from(rng, program.flags)); break;
        }
    }
    for (std::string& arg : args)
        if (!harmless_as_port(arg, pool)) arg = missing_port;
    return args;
}

std::string quoted(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) {
        text += " '";
        for (const char c : arg) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x20 && byte < 0x7F && c != '\'' && c != '\\') {
                text += c;
            } else {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02X", byte);
                text += escape;
            }
        }
        text += "'";
    }
    return text;
}

// What was wrong with a finished run, or "" when nothing was.
std::string run_problem(const Process& p, const std::vector<int>& statuses,
                        int tolerated_signal = 0) {
    static const std::array<const char*, 3> sanitizer_marks = {
        "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"};
    for (const char* mark : sanitizer_marks) {
        const std::size_t at = p.err.find(mark);
        if (at != std::string::npos)
            return "sanitizer report: " + p.err.substr(at, p.err.find('\n', at) - at);
    }
    if (p.timed_out) return "still running after " + std::to_string(test_timeout_ms) + " ms";
    if (p.signal != 0 && p.signal != tolerated_signal)
        return "died of signal " + std::to_string(p.signal);
    if (p.signal == 0 && std::find(statuses.begin(), statuses.end(), p.status) == statuses.end())
        return "exit status " + std::to_string(p.status);
    return "";
}

// Runs count runs on workers threads; run(index) returns "" or what went wrong. Returns the
// failures in the order of their runs.
std::vector<std::string> run_all(int count, int workers,
                                 const std::function<std::string(int)>& run) {
    std::atomic<int> next{0};
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> failures;
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            for (int index = next++; index < count; index = next++) {
                std::string problem = run(index);
                if (problem.empty()) continue;
                std::lock_guard lock(mutex);
                failures.emplace_back(index, "run " + std::to_string(index) + ": " + problem);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::sort(failures.begin(), failures.end());
    std::vector<std::string> texts;
    for (auto& failure : failures) texts.push_back(std::move(failure.second));
    return texts;
}

void report(const std::vector<std::string>& failures, int count) {
    if (failures.empty()) return;
    std::string shown;
    for (std::size_t i = 0; i < failures.size() && i < failures_shown; ++i)
        shown += "  " + failures[i] + "\n";
    ADD_FAILURE() << failures.size() << " of " << count << " runs failed; replay with "
                  << "TAPWRIGHT_RANDOM_SEED=" << suite_seed() << "\n"
                  << shown;
}

class RandomRun : public testing::TestWithParam<ProgramCase> {
  protected:
    static void SetUpTestSuite() {
        std::cout << "random seed: " << suite_seed() << " (TAPWRIGHT_RANDOM_SEED replays it)"
                  << std::endl;
    }
};

// With standard input at its end, a command line can only be refused, or run into a port that
// is missing or does not answer: never a crash, a hang or another status.
TEST_P(RandomRun, CommandLinesEndWithADocumentedStatus) {
    const ProgramCase& program = GetParam();
    const ScratchFile scratch;
    ASSERT_FALSE(scratch.path.empty());
    const std::vector<std::string> pool = port_pool(scratch);

    std::atomic<int> accepted{0};
    const auto failures = run_all(argument_runs, argument_workers, [&](int index) {
        Rng rng = run_rng(program, 0, index);
        const std::vector<std::string> args = random_arguments(rng, program, pool);
        Process p;
        ProcessOptions options;
        if (index % leak_check_every != 0) {
            const char* sanitizer = std::getenv("ASAN_OPTIONS");
            options.extra_env = {std::string("ASAN_OPTIONS=") + (sanitizer ? sanitizer : "") +
                                 ":detect_leaks=0"};
        }
        if (!process_start(p, program.path, args, options))
            return "cannot start:" + quoted(args);
        process_close_stdin(p);
        process_wait(p, test_timeout_ms);
        if (p.out.find(" Parameters used") != std::string::npos) ++accepted;
        const std::string problem = run_problem(p, program.statuses);
        return problem.empty() ? problem : problem + "; arguments:" + quoted(args);
    });
    report(failures, argument_runs);
    // Lines that all fail in the parser would leave the rest of the program untried.
    EXPECT_GE(accepted * 10, argument_runs)
        << accepted << " of " << argument_runs << " command lines got past the parser";
    std::cout << accepted << " of " << argument_runs << " command lines got past the parser"
              << std::endl;
}

// Options a program accepts, with random values, so that a run reaches the adapter.
std::vector<std::string> random_valid_options(Rng& rng, const ProgramCase& program) {
    static const std::vector<std::string> speeds = {"115200", "9600", "250000", "1", "abc"};
    std::vector<std::string> args;
    if (chance(rng, 4)) args.push_back("-m");
    if (chance(rng, 2)) args.insert(args.end(), {"-s", pick_from(rng, speeds)});
    for (const char option : program.with_argument) {
        if (option == program.device || option == 's' || chance(rng, 2)) continue;
        args.insert(args.end(), {std::string("-") + option, pick(rng, 2) == 0 ? "0" : "1"});
    }
    return args;
}

void pump_for(Process& p, int ms) {
    const TimingDeadline until = timing_deadline_after(ms);
    for (int left; (left = timing_ms_left(until)) > 0;)
        if (!process_pump(p, left) && !process_running(p)) return;
}

// The sniffer is stopped by a key (or SIGTERM, which kills it outside the capture) at a random
// moment; the self-test gets the key that starts it and then the end of its input.
std::string adapter_run(const ProgramCase& program, int index) {
    Rng rng = run_rng(program, 1, index);
    EmulatorScript script;
    script.random_seed = static_cast<std::uint32_t>(rng()) | 1u;
    ProgramRun run;
    run.emulator = emulator_start(script);
    if (run.emulator == nullptr) return "no pseudo-terminal for the emulator";

    std::vector<std::string> args = {std::string("-") + program.device,
                                     emulator_path(*run.emulator)};
    const std::vector<std::string> options = random_valid_options(rng, program);
    args.insert(args.end(), options.begin(), options.end());
    const bool by_signal = !program.key_starts && chance(rng, 4);
    const int delay_ms = pick(rng, latest_key_ms);
    const std::string what = "emulator seed " + std::to_string(script.random_seed) +
                             (by_signal ? ", SIGTERM" : ", key") + " after " +
                             std::to_string(delay_ms) + " ms; arguments:" + quoted(args);

    if (!process_start(run.process, program.path, args)) return "cannot start; " + what;
    if (program.key_starts) {
        process_send(run.process, " ");
        process_close_stdin(run.process);
    } else {
        pump_for(run.process, delay_ms);
        if (by_signal)
            process_signal(run.process, SIGTERM);
        else
            process_send(run.process, "q");
    }
    process_wait(run.process, test_timeout_ms);
    std::string problem = run_problem(run.process, program.statuses, by_signal ? SIGTERM : 0);
    if (problem.empty() && !by_signal && emulator_received(*run.emulator).empty())
        problem = "the program never wrote to the adapter";
    return problem.empty() ? problem : problem + "; " + what;
}

TEST_P(RandomRun, RandomAdapterRepliesEndWithADocumentedStatus) {
    const ProgramCase& program = GetParam();
    const auto failures = run_all(adapter_runs, adapter_workers,
                                  [&](int index) { return adapter_run(program, index); });
    report(failures, adapter_runs);
}

INSTANTIATE_TEST_SUITE_P(Programs, RandomRun, testing::ValuesIn(programs), case_name);

} // namespace
