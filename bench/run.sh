#!/usr/bin/env bash
# Runs the benchmarks against a Release-with-debug-info build and prints their figures.
#   bench/run.sh [--runs N] [--presses N] [--cpu-runs N] [--reference PATH] [--megabytes N]
#                [SPI_SNIFFER]
# --runs N      runs of each live-view, key and flood figure, quoted as min / median / max
#               (default 3, or BENCH_RUNS)
# --presses N   key presses per run and traffic, one sniffer each (default 5, or BENCH_PRESSES)
# --cpu-runs N  runs of the 10 s CPU figures (default 1, or BENCH_CPU_RUNS)
# --reference PATH  a second spi-sniffer (a build of today's loop) whose CPU time is measured
#               beside the first one's (or BENCH_REFERENCE); adds 20 s
# --megabytes N the decoder's input (default 32)
# (live_view_bench also measures --timestamps, flood_bench --format jsonl)
# SPI_SNIFFER   the program measured (default: the one this build makes), so that a capture loop
#               on another branch can be measured the same way
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-3}
presses=${BENCH_PRESSES:-5}
cpu_runs=${BENCH_CPU_RUNS:-1}
reference=${BENCH_REFERENCE:-}
megabytes=32
build=build/default
sniffer=$build/sniffer/spi-sniffer
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --presses) presses=$2; shift 2 ;;
    --cpu-runs) cpu_runs=$2; shift 2 ;;
    --reference) reference=$2; shift 2 ;;
    --megabytes) megabytes=$2; shift 2 ;;
    -h | --help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "bench/run.sh: unknown option $1" >&2; exit 2 ;;
    *) sniffer=$1; shift ;;
    esac
done
for tool in xxd stdbuf head python3; do
    command -v "$tool" >/dev/null || { echo "bench/run.sh: $tool is missing" >&2; exit 2; }
done

cmake --preset default >/dev/null
cmake --build --preset default --target spi-sniffer decoder_bench live_view_bench \
    key_latency_bench flood_bench cpu_bench image_bench >/dev/null
for program in "$sniffer" ${reference:+"$reference"}; do
    [ -x "$program" ] || { echo "bench/run.sh: no program at $program" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
began=$(date +%s)
echo "spi-sniffer: $sniffer; $runs run(s) per figure; load average $(cut -d' ' -f1-3 /proc/loadavg)"

# A stream as the adapter sends it: frames of pairs, with a little noise between frames.
python3 - "$work/framed.bin" "$megabytes" <<'PY'
import random, sys
random.seed(7)
out, size = bytearray(), int(sys.argv[2]) * 1000000
while len(out) < size:
    out += b"["
    for _ in range(random.randint(1, 24)):
        out += b"\\" + bytes([random.randrange(256), random.randrange(256)])
    out += b"]"
    if random.random() < 0.05:
        out += bytes([random.randrange(256)])
open(sys.argv[1], "wb").write(out[:size])
PY
head -c "$((megabytes * 1000000))" /dev/urandom >"$work/random.bin"

seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null 2>&1; end=$(date +%s.%N); awk "BEGIN { print $end - $start }"; }
rate() { awk "BEGIN { printf \"%.1f\", $megabytes / $1 }"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

echo "== decoder throughput, ${megabytes} MB to /dev/null (input MB/s; ratio = ours / xxd -p; one run)"
for input in framed random; do
    xxd_s=$(seconds xxd -p "$work/$input.bin")
    dec_s=$(seconds "$build/bench/decoder_bench" "$work/$input.bin")
    raw_s=$(seconds "$build/bench/decoder_bench" "$work/$input.bin" raw)
    flash_s=$(seconds "$build/bench/decoder_bench" "$work/$input.bin" flash)
    printf '%-7s xxd -p %6s MB/s | decoded %6s MB/s (x%s) | raw %6s MB/s (x%s) | flash %6s MB/s (x%s)\n' \
        "$input" "$(rate "$xxd_s")" "$(rate "$dec_s")" "$(ratio "$xxd_s" "$dec_s")" \
        "$(rate "$raw_s")" "$(ratio "$xxd_s" "$raw_s")" "$(rate "$flash_s")" "$(ratio "$xxd_s" "$flash_s")"
done
rm -f "$work"/*.bin

# A benchmark that sees a run fail or a byte lost says so in its table and ends with status 1;
# the others still run.
status=0
"$build/bench/live_view_bench" "$sniffer" --runs "$runs" || status=1
"$build/bench/key_latency_bench" "$sniffer" --runs "$runs" --presses "$presses" || status=1
"$build/bench/flood_bench" "$sniffer" --runs "$runs" || status=1
"$build/bench/image_bench" "$sniffer" --runs "$runs" || status=1
"$build/bench/cpu_bench" "$sniffer" --runs "$cpu_runs" ${reference:+--reference "$reference"} ||
    status=1
echo "== $(($(date +%s) - began)) s in all"
exit $status
