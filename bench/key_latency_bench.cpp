// Key latency: the time from a key on spi-sniffer's standard input (a pipe) to the end of the
// process, while the adapter is silent, trickles, or floods. One sniffer per press; stdout
// goes to /dev/null, so no reader of the output can hold the sniffer up. Beside it the floor
// of the machine: `head -c 1`, which ends at the first byte on its stdin, pressed the same
// way while the same traffic goes into a pseudo-terminal nobody reads.
//   key_latency_bench SPI_SNIFFER [--runs N] [--presses N]

#include "bench_support.hpp"
#include "emulator.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Presses spread evenly over a whole 1.1 s read of the old loop, so none is in step with it.
constexpr auto press_first = 100ms;
constexpr auto press_spread = 1100ms;
constexpr auto floor_press = 50ms;

struct Figures {
    std::vector<double> median;
    std::vector<double> p95;
    int presses = 0;
    int failed = 0; // did not start, or did not end by the key with status 0
};

// One run: every press, each in a reader of its own.
void add_run(Figures& figures, BenchTrial trial, int presses, bool spread) {
    std::vector<double> latencies;
    for (int press = 0; press < presses; ++press) {
        trial.key_after = spread ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                       press_first + press_spread * (2 * press + 1) / (2 * presses))
                                 : floor_press;
        BenchOutcome outcome;
        const bool ended = bench_trial_run(trial, outcome) == 0 &&
                           outcome.key_pressed != BenchTime{} && bench_exited_with(outcome, 0);
        ++figures.presses;
        if (!ended) {
            ++figures.failed;
            continue;
        }
        latencies.push_back(bench_ms(outcome.key_pressed, outcome.exited));
    }
    figures.median.push_back(bench_percentile(latencies, 0.5));
    figures.p95.push_back(bench_percentile(latencies, 0.95));
}

std::string failures_text(const Figures& figures) {
    return std::to_string(figures.failed) + " of " + std::to_string(figures.presses);
}

} // namespace

int main(int argument_count, char** arguments) {
    if (argument_count < 2) {
        std::fprintf(stderr, "usage: %s SPI_SNIFFER [--runs N] [--presses N]\n", arguments[0]);
        return 2;
    }
    const int runs = static_cast<int>(bench_option(argument_count, arguments, "--runs", 3));
    const int presses =
        std::max(1, static_cast<int>(bench_option(argument_count, arguments, "--presses", 5)));

    std::vector<BenchTraffic> traffics = {{"silent", BenchFeed{}}};
    for (BenchTraffic traffic : bench_traffics()) {
        traffic.feed.duration = 0ms; // until the key has ended the reader
        traffics.push_back(traffic);
    }
    BenchFeed flood;
    flood.kind = bench_feed_flood;
    flood.pattern = emulator_demo_stream();
    traffics.push_back({"flood", flood});

    std::vector<Figures> sniffer(traffics.size()), floor(traffics.size());
    for (int run = 0; run < runs; ++run) {
        for (std::size_t t = 0; t < traffics.size(); ++t) {
            BenchTrial trial;
            trial.command = {arguments[1], "-d", "{port}"};
            trial.feed = traffics[t].feed;
            trial.output_path = "/dev/null";
            add_run(sniffer[t], trial, presses, true);

            trial.command = {"head", "-c", "1"};
            trial.adapter = false;
            add_run(floor[t], trial, presses, false);
        }
    }

    std::printf("== key -> exit, ms; min / median / max of %d run%s of %d presses (one sniffer "
                "each); floor: head -c 1 on the same pipe\n",
                runs, runs == 1 ? "" : "s", presses);
    std::puts("   target: p95 <= 20 ms at every traffic");
    std::vector<std::vector<std::string>> rows = {
        {"traffic", "sniffer median", "sniffer p95", "floor p95", "p95 / floor", "failed presses"}};
    int failed = 0;
    for (std::size_t t = 0; t < traffics.size(); ++t) {
        const BenchSpread p95 = bench_spread(sniffer[t].p95);
        const BenchSpread floor_p95 = bench_spread(floor[t].p95);
        rows.push_back({traffics[t].label, bench_spread_text(bench_spread(sniffer[t].median)),
                        bench_spread_text(p95), bench_spread_text(floor_p95),
                        bench_ratio_text(p95.median, floor_p95.median), failures_text(sniffer[t])});
        failed += sniffer[t].failed + floor[t].failed;
    }
    bench_print_table(rows);
    return failed == 0 ? 0 : 1;
}
