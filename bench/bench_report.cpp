#include "bench_report.hpp"

#include "option_parser.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

long bench_option(int argument_count, char** arguments, const char* name, long fallback) {
    const std::string text = bench_text_option(argument_count, arguments, name, "");
    return text.empty() ? fallback : std::strtol(text.c_str(), nullptr, 10);
}

std::string bench_text_option(int argument_count, char** arguments, const char* name,
                              const std::string& fallback) {
    // The one option asked for; every other word, the program measured first, is passed over.
    const LongOption asked[] = {{name + 2, true, 1}};
    OptionParser parser{};
    parser.quiet = true;
    for (int found; (found = option_next(parser, argument_count, arguments, "", asked)) != -1;)
        if (found == 1) return parser.argument;
    return fallback;
}

double bench_ms(BenchTime from, BenchTime to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::vector<double> bench_latencies_ms(const BenchOutcome& outcome) {
    std::vector<double> latencies;
    const std::size_t count = std::min(outcome.shown.size(), outcome.written.size());
    for (std::size_t i = 0; i < count; ++i)
        latencies.push_back(bench_ms(outcome.written[i], outcome.shown[i]));
    return latencies;
}

double bench_percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * samples.size()));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

BenchSpread bench_spread(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

std::string bench_number(double value) {
    char text[32];
    const double size = std::fabs(value);
    const char* format = size >= 100 ? "%.0f" : size >= 10 ? "%.1f" : size >= 1 ? "%.2f" : "%.3f";
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string bench_spread_text(const BenchSpread& spread) {
    if (spread.min == spread.max) return bench_number(spread.median);
    return bench_number(spread.min) + " / " + bench_number(spread.median) + " / " +
           bench_number(spread.max);
}

std::string bench_ratio_text(double ours, double baseline) {
    if (baseline <= 0) return "-";
    return "x" + bench_number(ours / baseline);
}

void bench_print_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            if (c > 0) line += " | ";
            line += rows[r][c];
            if (c + 1 < rows[r].size()) line.append(widths[c] - rows[r][c].size(), ' ');
        }
        std::puts(line.c_str());
        if (r == 0) {
            std::string rule;
            for (std::size_t c = 0; c < widths.size(); ++c)
                rule += std::string(widths[c], '-') + (c + 1 < widths.size() ? "-|-" : "");
            std::puts(rule.c_str());
        }
    }
    std::fflush(stdout);
}
