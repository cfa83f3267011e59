// CPU time: user + system seconds over spi-sniffer's whole life (from wait4) while the adapter
// streams a sniffed flash session at a steady rate, in pieces every 10 ms as the emulated
// adapter paces it; beside it `xxd -p` reading the same kind of stream. Both print to a
// terminal (a pseudo-terminal in its default mode, read by the bench), as when watched live:
// stdio then flushes at every line end, which is part of the cost. The target is a figure no
// higher than today's loop, and on a shared machine that is only known from the same run: a
// second sniffer given as the reference is measured beside the first.
//   cpu_bench SPI_SNIFFER [--runs N] [--seconds N] [--reference SPI_SNIFFER]

#include "bench_support.hpp"
#include "emulator.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr auto pace_tick = 10ms;
constexpr int rates[] = {11520, 300000}; // bytes/s: a busy bus at 115200 baud, and far more

struct Figures {
    std::vector<double> cpu;
    int failed = 0;
};

void add_run(Figures& figures, BenchTrial trial) {
    BenchOutcome outcome;
    if (bench_trial_run(trial, outcome) != 0 || !outcome.fed_from_start) ++figures.failed;
    figures.cpu.push_back(outcome.cpu_seconds);
}

} // namespace

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s SPI_SNIFFER [--runs N] [--seconds N] [--reference PATH]\n",
                     arguments[0]);
        return 2;
    }
    const int runs = static_cast<int>(bench_option(argument_count, arguments, "--runs", 1));
    const long seconds = bench_option(argument_count, arguments, "--seconds", 10);
    const std::string reference = bench_text_option(argument_count, arguments, "--reference", "");

    std::vector<Figures> sniffer(std::size(rates)), xxd(std::size(rates)), today(std::size(rates));
    for (int run = 0; run < runs; ++run) {
        for (std::size_t r = 0; r < std::size(rates); ++r) {
            BenchTrial trial;
            trial.command = {arguments[1], "-d", "{port}"};
            trial.feed.kind = bench_feed_paced;
            trial.feed.pattern = emulator_demo_stream();
            trial.feed.tick = pace_tick;
            trial.feed.bytes_per_tick = rates[r] * std::chrono::duration<double>(pace_tick).count();
            trial.feed.duration = std::chrono::seconds(seconds);
            trial.output_terminal = true;
            add_run(sniffer[r], trial);
            if (!reference.empty()) {
                trial.command[0] = reference;
                add_run(today[r], trial);
            }

            trial.command = {"xxd", "-p", "{port}"};
            trial.adapter = false;
            add_run(xxd[r], trial);
        }
    }

    std::printf("== CPU seconds (user + system) over %ld s of stream, printed to a terminal; "
                "min / median / max of %d run%s\n",
                seconds, runs, runs == 1 ? " (one run each: these take long)" : "s");
    std::printf("   target: no higher than the loop of today%s\n",
                reference.empty() ? " (give it with --reference to measure it here)"
                                  : (" (reference: " + reference + ")").c_str());
    std::vector<std::vector<std::string>> rows = {{"stream", "sniffer", "xxd -p", "/ xxd -p"}};
    if (!reference.empty()) {
        rows[0].push_back("reference");
        rows[0].push_back("/ reference");
    }
    int failed = 0;
    for (std::size_t r = 0; r < std::size(rates); ++r) {
        const BenchSpread cpu = bench_spread(sniffer[r].cpu);
        const BenchSpread xxd_cpu = bench_spread(xxd[r].cpu);
        const BenchSpread today_cpu = bench_spread(today[r].cpu);
        const int failures = sniffer[r].failed + xxd[r].failed + today[r].failed;
        std::string label = std::to_string(rates[r]) + " bytes/s";
        if (failures > 0) label += " (runs FAILED)";
        rows.push_back({label, bench_spread_text(cpu), bench_spread_text(xxd_cpu),
                        bench_ratio_text(cpu.median, xxd_cpu.median)});
        if (!reference.empty()) {
            rows.back().push_back(bench_spread_text(today_cpu));
            rows.back().push_back(bench_ratio_text(cpu.median, today_cpu.median));
        }
        failed += failures;
    }
    bench_print_table(rows);
    return failed == 0 ? 0 : 1;
}
