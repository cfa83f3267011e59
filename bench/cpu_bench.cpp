// CPU time: user + system seconds over spi-sniffer's whole life (from wait4) while the adapter
// streams a sniffed flash session at a steady rate, in pieces every 10 ms as the emulated
// adapter paces it; beside it `xxd -p` reading the same kind of stream. Both print to a
// terminal (a pseudo-terminal in its default mode, read by the bench), as when watched live:
// stdio then flushes at every line end, which is part of the cost.
//   cpu_bench SPI_SNIFFER [--runs N] [--seconds N]

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

void add_run(Figures& figures, BenchSession session) {
    BenchOutcome outcome;
    if (bench_session_run(session, outcome) != 0 || !outcome.fed_from_start) ++figures.failed;
    figures.cpu.push_back(outcome.cpu_seconds);
}

} // namespace

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s SPI_SNIFFER [--runs N] [--seconds N]\n", arguments[0]);
        return 2;
    }
    const int runs = static_cast<int>(bench_option(argument_count, arguments, "--runs", 1));
    const long seconds = bench_option(argument_count, arguments, "--seconds", 10);

    std::vector<Figures> sniffer(std::size(rates)), xxd(std::size(rates));
    for (int run = 0; run < runs; ++run) {
        for (std::size_t r = 0; r < std::size(rates); ++r) {
            BenchSession session;
            session.command = {arguments[1], "-d", "{port}"};
            session.feed.kind = bench_feed_paced;
            session.feed.pattern = emulator_demo_stream();
            session.feed.tick = pace_tick;
            session.feed.bytes_per_tick =
                rates[r] * std::chrono::duration<double>(pace_tick).count();
            session.feed.duration = std::chrono::seconds(seconds);
            session.output_terminal = true;
            add_run(sniffer[r], session);

            session.command = {"xxd", "-p", "{port}"};
            session.adapter = false;
            add_run(xxd[r], session);
        }
    }

    std::printf("== CPU seconds (user + system) over %ld s of stream; min / median / max of %d "
                "run%s\n",
                seconds, runs, runs == 1 ? " (one run each: these take long)" : "s");
    std::vector<std::vector<std::string>> rows = {{"stream", "sniffer", "xxd -p", "/ xxd -p"}};
    int failed = 0;
    for (std::size_t r = 0; r < std::size(rates); ++r) {
        const BenchSpread cpu = bench_spread(sniffer[r].cpu);
        const BenchSpread xxd_cpu = bench_spread(xxd[r].cpu);
        std::string label = std::to_string(rates[r]) + " bytes/s";
        if (sniffer[r].failed + xxd[r].failed > 0) label += " (runs FAILED)";
        rows.push_back({label, bench_spread_text(cpu), bench_spread_text(xxd_cpu),
                        bench_ratio_text(cpu.median, xxd_cpu.median)});
        failed += sniffer[r].failed + xxd[r].failed;
    }
    bench_print_table(rows);
    return failed == 0 ? 0 : 1;
}
