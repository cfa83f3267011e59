#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs each for a while, starting from a copy of
# its committed seed corpus, so the committed corpus never grows here. Fails when a target
# crashes, hangs, leaks or trips one of its checks, and replays each failing input once so its
# message shows.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
targets=(decoder_fuzz adapter_fuzz)
build=build/fuzz

scripts/setup.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

# A small quarantine keeps the resident size to a few hundred MB instead of close to 1 GB; the
# code under test keeps nothing on the heap that could be used after it is freed.
export ASAN_OPTIONS=quarantine_size_mb=64
export UBSAN_OPTIONS=print_stacktrace=1

failed=0
for target in "${targets[@]}"; do
    work=$build/runs/$target
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp fuzz/corpus/"$target"/* "$work/corpus/"
    log=$work/fuzz.log

    # The decoder's inputs are kept to a frame of 300 pairs and some: longer ones only cost
    # time per run.
    limits=()
    [ "$target" = decoder_fuzz ] && limits=(-max_len=1024)

    # The adapter prints a complaint to standard error on nearly every run: -close_fd_mask=2
    # drops the targets' standard error, while libFuzzer and the sanitizers still report.
    status=0
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -close_fd_mask=2 ${limits[@]+"${limits[@]}"} -artifact_prefix="$work/artifacts/" \
        "$work/corpus" >"$log" 2>&1 || status=$?

    runs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$log")
    rate=$(awk '/^stat::average_exec_per_sec:/ {print $2}' "$log")
    printf '%-14s %12s runs %10s exec/s\n' "$target" "${runs:-?}" "${rate:-?}"

    if [ "$status" -ne 0 ]; then
        failed=1
        echo "$target FAILED (status $status); log: $log"
        grep -a -E 'ERROR|SUMMARY|Test unit written|runtime error' "$log" | head -n 20 || true
        for input in "$work"/artifacts/*; do
            [ -e "$input" ] || continue
            echo "--- replay: $build/fuzz/$target $input"
            "$build/fuzz/$target" "$input" 2>&1 | grep -a -v 'did not respond correctly' |
                head -n 25 || true
        done
    fi
done
exit "$failed"
