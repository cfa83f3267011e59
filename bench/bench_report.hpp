#pragma once

// What a benchmark reads from its command line, and how it reports: statistics over runs, and
// the tables they are printed in.

#include "bench_trial.hpp"

#include <string>
#include <vector>

// The value after "--name" on the command line, or fallback.
long bench_option(int argument_count, char** arguments, const char* name, long fallback);
std::string bench_text_option(int argument_count, char** arguments, const char* name,
                              const std::string& fallback);

double bench_ms(BenchTime from, BenchTime to);

// Per byte shown, the time from its write to its text, in ms.
std::vector<double> bench_latencies_ms(const BenchOutcome& outcome);

// Nearest rank; 0 for no samples.
double bench_percentile(std::vector<double> samples, double fraction);

struct BenchSpread {
    double min = 0;
    double median = 0;
    double max = 0;
};

BenchSpread bench_spread(std::vector<double> values);

// A figure with the digits that matter at its size.
std::string bench_number(double value);

// "min / median / max", or the one value of a single run.
std::string bench_spread_text(const BenchSpread& spread);

// "x12.3": ours over the baseline's, or "-" when the baseline is 0.
std::string bench_ratio_text(double ours, double baseline);

// Prints rows as a table, the first row the header, columns padded to their widest cell.
void bench_print_table(const std::vector<std::vector<std::string>>& rows);
