#!/usr/bin/env bash
# Runs the benchmarks against a Release-with-debug-info build and prints their figures.
#   bench/run.sh [megabytes]
set -euo pipefail
cd "$(dirname "$0")/.."
megabytes=${1:-32}
build=build/default
cmake --preset default >/dev/null
cmake --build --preset default --target spi-sniffer decoder_bench flood_bench key_latency_bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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

echo "== decoder throughput, ${megabytes} MB to /dev/null (input MB/s; ratio = ours / xxd -p)"
for input in framed random; do
    xxd_s=$(seconds xxd -p "$work/$input.bin")
    dec_s=$(seconds "$build/bench/decoder_bench" "$work/$input.bin")
    raw_s=$(seconds "$build/bench/decoder_bench" "$work/$input.bin" raw)
    flash_s=$(seconds "$build/bench/decoder_bench" "$work/$input.bin" flash)
    printf '%-7s xxd -p %6s MB/s | decoded %6s MB/s (x%s) | raw %6s MB/s (x%s) | flash %6s MB/s (x%s)\n' \
        "$input" "$(rate "$xxd_s")" "$(rate "$dec_s")" "$(ratio "$xxd_s" "$dec_s")" \
        "$(rate "$raw_s")" "$(ratio "$xxd_s" "$raw_s")" "$(rate "$flash_s")" "$(ratio "$xxd_s" "$flash_s")"
done

echo "== end to end through a pseudo-terminal"
"$build/bench/flood_bench" "$build/sniffer/spi-sniffer" 20
"$build/bench/flood_bench" "$build/sniffer/spi-sniffer" 20 raw

echo "== key latency"
"$build/bench/key_latency_bench" "$build/sniffer/spi-sniffer" 20
