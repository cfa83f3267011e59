// Live view: the time from a sniffed byte leaving the adapter to its hex on spi-sniffer's
// standard output (a pipe), at the trickles a user watches, beside `stdbuf -o0 xxd -c1 -p`
// reading the same kind of pseudo-terminal with the same trickle. Then --timestamps at one byte
// every 5 ms: how far the time printed before each byte lies from the moment the bench wrote it,
// both counted from the sniffer's start byte (the sniffer's clock starts once it has sent it,
// the bench's once it has read it). Those two starts lie apart by the time the bench takes to
// notice the byte, which is the median difference; the spread of each byte's difference around
// it is the error of the time stamps themselves, the figure with the target.
//   live_view_bench SPI_SNIFFER [--runs N]

#include "bench_support.hpp"

#include <cmath>
#include <cstdio>
#include <sstream>
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

// Per stamped line after the sniffer's ready line, its time less the byte's write time, both
// since the start byte, in ms.
std::vector<double> stamp_errors_ms(const BenchOutcome& outcome) {
    std::vector<double> errors;
    const std::size_t ready = outcome.output.find(bench_sniffer_ready);
    if (ready == std::string::npos) return errors;
    std::istringstream lines(
        outcome.output.substr(ready + std::string(bench_sniffer_ready).size()));
    std::string line;
    for (std::size_t i = 0; std::getline(lines, line) && i < outcome.written.size(); ++i) {
        if (line.empty() || line[0] != '+') break;
        const double printed_ms = std::stod(line.substr(1)) * 1000;
        errors.push_back(printed_ms - bench_ms(outcome.feed_began, outcome.written[i]));
    }
    return errors;
}

struct StampFigures {
    std::vector<double> p95;    // of the size of each difference less their median
    std::vector<double> worst;  // the same, the largest
    std::vector<double> median; // of the differences, signed: positive is late
    std::size_t stamped = 0;
    std::size_t fed = 0;
    int failed = 0;
};

void add_stamp_trial(StampFigures& figures, const std::string& sniffer, const BenchFeed& feed) {
    BenchTrial trial;
    trial.command = {sniffer, "-d", "{port}", "--timestamps"};
    trial.feed = feed;
    trial.output_start = bench_sniffer_ready;
    trial.byte_text = bench_trickle_sniffer_text;
    BenchOutcome outcome;
    if (bench_trial_run(trial, outcome) != 0 || !outcome.fed_from_start) ++figures.failed;
    const std::vector<double> errors = stamp_errors_ms(outcome);
    const double median = bench_percentile(errors, 0.5);
    std::vector<double> sizes;
    for (const double error : errors) sizes.push_back(std::fabs(error - median));
    figures.p95.push_back(bench_percentile(sizes, 0.95));
    figures.worst.push_back(bench_percentile(sizes, 1.0));
    figures.median.push_back(median);
    figures.stamped += errors.size();
    figures.fed += outcome.fed;
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

    StampFigures stamps;
    for (int run = 0; run < runs; ++run) add_stamp_trial(stamps, arguments[1], traffics[0].feed);
    std::printf("== --timestamps, %s: printed time - time written, ms; min / median / max of %d "
                "run%s\n",
                traffics[0].label.c_str(), runs, runs == 1 ? "" : "s");
    std::puts("   target: p95 of |difference - median difference| <= 1 ms");
    bench_print_table(
        {{"p95 |difference - median|", "largest", "median difference", "bytes stamped"},
         {bench_spread_text(bench_spread(stamps.p95)),
          bench_spread_text(bench_spread(stamps.worst)),
          bench_spread_text(bench_spread(stamps.median)),
          std::to_string(stamps.stamped) + " of " + std::to_string(stamps.fed) +
              (stamps.failed > 0 ? ", runs FAILED" : "")}});
    failed += stamps.failed + (stamps.stamped < stamps.fed ? 1 : 0);
    return failed == 0 ? 0 : 1;
}
