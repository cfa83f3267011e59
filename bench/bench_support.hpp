#pragma once

// What the benchmarks share: a trial of one reader against a stand-in adapter and the feed it
// sends (bench_trial.hpp, bench_feed.hpp), the streams and how they are read back
// (bench_streams.hpp), and the command line and the report (bench_report.hpp).

#include "bench_feed.hpp"
#include "bench_report.hpp"
#include "bench_streams.hpp"
#include "bench_trial.hpp"
