#!/usr/bin/env bash
# The Windows capture loop under wine: context switches a second of a silent capture (all the
# threads of the program's process, voluntary and involuntary, from /proc/PID/task/*/status), with
# keys from a pipe and typed on a console; the time from a key to the end of the run while the
# adapter is silent; and a 1.5 MB flood at the emulator's top rate, its whole run and the bytes
# shown. It uses the prefix, the launcher and the emulator that scripts/wine-tests.sh sets up:
# run that first.
#   bench/wine_capture.sh [--runs N] [--seconds N] [--reference PATH.exe] [SPI_SNIFFER.exe]
# --runs N        key presses, and floods, per program (default 5)
# --seconds N     how long each silent capture is watched (default 10)
# --reference P   a second spi-sniffer.exe (a build of another loop) measured alike, beside it
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
runs=5
seconds=10
reference=
sniffer=$root/build/windows-tests/sniffer/spi-sniffer.exe
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --reference) reference=$(realpath "$2"); shift 2 ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "wine_capture.sh: unknown option $1" >&2; exit 2 ;;
    *) sniffer=$(realpath "$1"); shift ;;
    esac
done
emulator=$root/build/default/emulator/tapwright-emu
launcher=$root/build/wine-bin/launcher.exe
export WINEPREFIX=$root/build/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY
for need in "$emulator" "$launcher" "$WINEPREFIX/system.reg" "$sniffer" ${reference:+"$reference"}; do
    [ -e "$need" ] || { echo "wine_capture.sh: no $need (run scripts/wine-tests.sh)" >&2; exit 2; }
done

work=$(mktemp -d)
link=$WINEPREFIX/dosdevices/com40
emulator_pid=
stop_emulator() {
    [ -n "$emulator_pid" ] && kill "$emulator_pid" 2>/dev/null && wait "$emulator_pid" 2>/dev/null
    emulator_pid=
    rm -f "$link"
}
trap 'stop_emulator; wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
# One server for the whole run, in our session (see scripts/wine-tests.sh).
wineserver -k 2>/dev/null
wineserver -f -p60 >/dev/null 2>&1 &
sleep 1

start_emulator() {
    rm -f "$link"
    "$emulator" --link "$link" "$@" >"$work/emu.out" 2>&1 &
    emulator_pid=$!
    for _ in $(seq 100); do [ -L "$link" ] && return 0; sleep 0.1; done
    return 1
}
wait_for_ok() {
    for _ in $(seq 300); do grep -q 'OK' "$1" 2>/dev/null && return 0; sleep 0.1; done
    return 1
}
windows_path() { local p="Z:$1"; echo "${p//\//\\}"; }
# Its process: named after argv[0] on a console, after the program from a pipe.
program_pids() { ps -eo pid=,comm=,args= | awk '$2 ~ /^spi-sniffer/ && /-d COM40/ {print $1}'; }
switches() {
    local sum=0 pid file
    for pid in $1; do
        for file in /proc/"$pid"/task/*/status; do
            sum=$((sum + $(awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {s += $2} END {print s + 0}' "$file" 2>/dev/null || echo 0)))
        done
    done
    echo "$sum"
}

# Context switches a second while the adapter is silent; keys from a pipe, or typed.
silent() {
    local program=$1 keys=$2 pids before after
    : >"$work/empty.bin"
    start_emulator --stream "$work/empty.bin" || { echo "-"; return; }
    mkfifo "$work/keys"
    if [ "$keys" = console ]; then
        wine "$launcher" --keys "$(windows_path "$program")" spi-sniffer -d COM40 <"$work/keys" \
            >"$work/out" 2>&1 &
    else
        wine "$program" -d COM40 <"$work/keys" >"$work/out" 2>&1 &
    fi
    local runner=$!
    exec 3>"$work/keys"
    wait_for_ok "$work/out"
    sleep 2
    pids=$(program_pids)
    before=$(switches "$pids")
    sleep "$seconds"
    after=$(switches "$pids")
    printf q >&3
    exec 3>&-
    wait "$runner"
    rm -f "$work/keys"
    stop_emulator
    awk "BEGIN { printf \"%.1f\", ($after - $before) / $seconds }"
}

# Milliseconds from a typed key to the end of the run, the adapter silent.
key_exit() {
    local program=$1 start end
    : >"$work/empty.bin"
    start_emulator --stream "$work/empty.bin" || { echo "-"; return; }
    mkfifo "$work/keys"
    wine "$launcher" --keys "$(windows_path "$program")" spi-sniffer -d COM40 <"$work/keys" \
        >"$work/out" 2>&1 &
    local runner=$!
    exec 3>"$work/keys"
    wait_for_ok "$work/out"
    sleep 1
    start=$(date +%s%N)
    printf q >&3
    wait "$runner"
    end=$(date +%s%N)
    exec 3>&-
    rm -f "$work/keys"
    stop_emulator
    echo $(((end - start) / 1000000))
}

# A 1.5 MB flood at the emulator's top rate, then a hang-up: seconds for the whole run, and
# whether every byte was shown.
flood() {
    local program=$1 start end shown
    start_emulator --stream "$work/flood.bin" --rate 10000000 --hangup-after 1500000 ||
        { echo "- -"; return; }
    start=$(date +%s%N)
    wine "$program" -d COM40 -r 1 </dev/null >"$work/out" 2>&1
    end=$(date +%s%N)
    stop_emulator
    # Raw output shows each byte's hex twice.
    shown=$(tr -d '\r' <"$work/out" | sed -n '/^ Setting Clockedge/,$p' | tail -n +2 |
        tr -s ' \n' '\n\n' | grep -cxE '[0-9A-F]{2}')
    awk "BEGIN { printf \"%.2f %d\", ($end - $start) / 1e9, $shown / 2 }"
}

spread() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) { print "-"; exit }
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%s / %s / %s", v[1], m, v[NR] }'; }

perl -e 'srand(8); print map { chr(int(rand(256))) } 1..1500000' >"$work/flood.bin"
programs=("$sniffer")
[ -n "$reference" ] && programs+=("$reference")
declare -A figures
for index in "${!programs[@]}"; do
    program=${programs[$index]}
    figures[$index,pipe]=$(silent "$program" pipe)
    figures[$index,console]=$(silent "$program" console)
    figures[$index,key]=$(for _ in $(seq "$runs"); do key_exit "$program"; done | spread)
    for _ in $(seq "$runs"); do flood "$program"; echo; done >"$work/floods"
    figures[$index,flood]=$(cut -d' ' -f1 "$work/floods" | spread)
    figures[$index,shown]=$(cut -d' ' -f2 "$work/floods" | spread)
done
echo "== spi-sniffer.exe under wine; min / median / max of $runs where there are several"
rows=("pipe:context switches/s, silent, keys from a pipe"
    "console:context switches/s, silent, keys on a console" "key:key -> exit, silent, ms"
    "flood:1.5 MB flood, whole run, s" "shown:1.5 MB flood, bytes shown of 1500000")
printf '%-54s' "figure"
for program in "${programs[@]}"; do printf ' | %s' "$program"; done
echo
for row in "${rows[@]}"; do
    printf '%-54s' "${row#*:}"
    for index in "${!programs[@]}"; do printf ' | %s' "${figures[$index,${row%%:*}]}"; done
    echo
done
