// Live view: the time from a sniffed byte leaving the adapter to its hex on spi-sniffer's
// standard output (a pipe), at the trickles a user watches, beside `stdbuf -o0 xxd -c1 -p`
// reading the same kind of pseudo-terminal with the same trickle.
//   live_view_bench SPI_SNIFFER [--runs N]

#include "bench_support.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Figures {
    std::vector<double> median;
    std::vector<double> p95;
    std::size_t fed = 0;
    std::size_t lost = 0;
    int failed = 0; // trials that did not start or end as they should
};

void add_trial(Figures& figures, const BenchTrial& trial) {
    BenchOutcome outcome;
    if (bench_trial_run(trial, outcome) != 0 || !outcome.fed_from_start) ++figures.failed;
    const std::vector<double> latencies = bench_latencies_ms(outcome);
    figures.median.push_back(bench_percentile(latencies, 0.5));
    figures.p95.push_back(bench_percentile(latencies, 0.95));
    figures.fed += outcome.fed;
    figures.lost += outcome.fed - std::min(outcome.fed, outcome.shown.size());
}

std::string loss_text(const Figures& figures) {
    std::string text = std::to_string(figures.lost) + " of " + std::to_string(figures.fed);
    if (figures.failed > 0) text += ", " + std::to_string(figures.failed) + " runs FAILED";
    return text;
}

} // namespace

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s SPI_SNIFFER [--runs N]\n", arguments[0]);
        return 2;
    }
    const int runs = static_cast<int>(bench_option(argument_count, arguments, "--runs", 3));
    const std::vector<BenchTraffic> traffics = bench_traffics();
    std::vector<Figures> sniffer(traffics.size()), xxd(traffics.size());

    for (int run = 0; run < runs; ++run) {
        for (std::size_t t = 0; t < traffics.size(); ++t) {
            BenchTrial trial;
            trial.command = {arguments[1], "-d", "{port}"};
            trial.feed = traffics[t].feed;
            trial.output_start = bench_sniffer_ready;
            trial.byte_text = bench_trickle_sniffer_text;
            add_trial(sniffer[t], trial);

            trial.command = {"stdbuf", "-o0", "xxd", "-c1", "-p", "{port}"};
            trial.adapter = false;
            trial.output_start.clear();
            trial.byte_text = bench_trickle_xxd_text;
            add_trial(xxd[t], trial);
        }
    }

    std::printf("== live view: byte -> its hex on stdout (a pipe), ms; min / median / max of %d "
                "run%s\n",
                runs, runs == 1 ? "" : "s");
    std::puts("   target: p95 <= 5 ms at every traffic");
    std::vector<std::vector<std::string>> rows = {{"traffic", "sniffer median", "sniffer p95",
                                                   "xxd median", "xxd p95", "p95 / xxd",
                                                   "sniffer lost", "xxd lost"}};
    for (std::size_t t = 0; t < traffics.size(); ++t) {
        const BenchSpread p95 = bench_spread(sniffer[t].p95);
        const BenchSpread xxd_p95 = bench_spread(xxd[t].p95);
        rows.push_back({traffics[t].label + " (" +
                            std::to_string(traffics[t].feed.duration.count() / 1000) + " s)",
                        bench_spread_text(bench_spread(sniffer[t].median)), bench_spread_text(p95),
                        bench_spread_text(bench_spread(xxd[t].median)), bench_spread_text(xxd_p95),
                        bench_ratio_text(p95.median, xxd_p95.median), loss_text(sniffer[t]),
                        loss_text(xxd[t])});
    }
    bench_print_table(rows);
    int failed = 0;
    for (std::size_t t = 0; t < traffics.size(); ++t) failed += sniffer[t].failed + xxd[t].failed;
    return failed == 0 ? 0 : 1;
}
