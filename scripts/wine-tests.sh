#!/usr/bin/env bash
# Runs the Windows build under wine against tapwright-emu: the serial-port tests, and
# spi-sniffer.exe end to end. Each COM port is a link in a private wine prefix to an emulator's
# pseudo-terminal.
# Usage: scripts/wine-tests.sh        (WINE_TESTS_BUILD=DIR puts every build folder under DIR)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
base=$root/${WINE_TESTS_BUILD:-build}

windows_build=$base/windows-tests
linux_build=$base/default
emulator=$linux_build/emulator/tapwright-emu
sniffer=$windows_build/sniffer/spi-sniffer.exe
serial_tests=$windows_build/tests/windows/serial_wine_tests.exe
logs=$base/wine-logs

export WINEPREFIX=$base/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
unset WAYLAND_DISPLAY

passed=0
failed=0
failures=()
emulator_pid=
silent_pid=

fatal() {
    echo "wine tests: $*" >&2
    echo "0 passed, 1 failed"
    exit 1
}

pass() {
    echo "PASS: $1"
    passed=$((passed + 1))
}

fail() {
    echo "FAIL: $1: $2" >&2
    failed=$((failed + 1))
    failures+=("$1")
}

# The console under wine writes CR LF.
normalise() { tr -d '\r' <"$1"; }

show_log() {
    echo "---- $1 (last 30 lines)" >&2
    normalise "$1" | tail -n 30 >&2
    echo "----" >&2
}

# Starts tapwright-emu on COM<number> with the options; sets started_pid. Returns 1 when the
# emulator did not come up within 10 s.
start_emulator() {
    local number=$1 name=$2
    shift 2
    local link=$WINEPREFIX/dosdevices/com$number
    rm -f "$link"
    "$emulator" --link "$link" "$@" >"$logs/$name.emu.out" 2>"$logs/$name.emu.err" &
    started_pid=$!
    for _ in $(seq 100); do
        [ -s "$logs/$name.emu.out" ] && [ -L "$link" ] && return 0
        kill -0 "$started_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "tapwright-emu $* did not start:" >&2
    cat "$logs/$name.emu.err" >&2
    stop_emulator "$started_pid"
    return 1
}

stop_emulator() {
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

stop_emulators() {
    stop_emulator "$emulator_pid"
    stop_emulator "$silent_pid"
    emulator_pid=
    silent_pid=
}

cleanup() {
    stop_emulators
    wineserver -k 2>/dev/null
}
trap cleanup EXIT

# Runs a console program under wine with no standard input; sets status.
run_wine() {
    local seconds=$1 output=$2
    shift 2
    (cd "$logs" && timeout -k 5 "$seconds" wine "$@" </dev/null >"$output" 2>&1)
    status=$?
}

# Whether the texts appear in the file in this order, each on a later line than the one before.
in_order() {
    local file=$1
    shift
    normalise "$file" | awk -v count=$# '
        BEGIN { for (i = 1; i < ARGC; ++i) want[i] = ARGV[i]; ARGC = 1; next_text = 1 }
        next_text <= count && index($0, want[next_text]) > 0 { ++next_text }
        END { exit next_text <= count ? 1 : 0 }' "$@"
}

# ---- set-up

scripts/setup.sh wine wine64 g++-mingw-w64-x86-64-posix || fatal "cannot install wine and mingw-w64"
mkdir -p "$logs"

echo "== building the Windows programs and tests ($windows_build)"
cmake --preset windows-tests -B "$windows_build" >"$logs/windows-configure.log" 2>&1 ||
    { show_log "$logs/windows-configure.log"; fatal "configuring the Windows build failed"; }
timeout 900 cmake --build "$windows_build" -j 2 >"$logs/windows-build.log" 2>&1 ||
    { show_log "$logs/windows-build.log"; fatal "building the Windows programs and tests failed"; }

echo "== building tapwright-emu ($linux_build)"
cmake --preset default -B "$linux_build" >"$logs/emulator-configure.log" 2>&1 ||
    { show_log "$logs/emulator-configure.log"; fatal "configuring the Linux build failed"; }
timeout 900 cmake --build "$linux_build" --target tapwright-emu -j 2 \
    >"$logs/emulator-build.log" 2>&1 ||
    { show_log "$logs/emulator-build.log"; fatal "building tapwright-emu failed"; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the wine prefix ($WINEPREFIX)"
    timeout 300 wineboot -i </dev/null >"$logs/wineboot.log" 2>&1 ||
        { show_log "$logs/wineboot.log"; fatal "wineboot -i failed"; }
fi
# One server for the whole run. In the foreground it stays in our session: as a session leader
# of its own it would take a COM port's pseudo-terminal as its controlling terminal, and dump
# its whole state at every hang-up.
wineserver -k 2>/dev/null
wineserver -f -p60 >"$logs/wineserver.log" 2>&1 &
server_folder=$(printf 'server-%s-%x' "$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
for _ in $(seq 50); do
    compgen -G "${TMPDIR:-/tmp}/*wine*/$server_folder/socket" >/dev/null && break
    sleep 0.1
done

# ---- the serial-port tests

echo "== serial-port tests under wine"
if start_emulator 5 serial && emulator_pid=$started_pid &&
    start_emulator 6 serial-silent --silent && silent_pid=$started_pid; then
    TAPWRIGHT_WINE_PORT=COM5 TAPWRIGHT_WINE_SILENT_PORT=COM6 \
        run_wine 120 "$logs/serial-tests.log" "$serial_tests"
    normalise "$logs/serial-tests.log" | grep -E '^\[  (PASSED|FAILED)|tests? from .* ran' || true
    if [ "$status" -eq 0 ]; then
        pass "serial-port tests"
    else
        show_log "$logs/serial-tests.log"
        fail "serial-port tests" "serial_wine_tests.exe exited with $status"
    fi
else
    fail "serial-port tests" "tapwright-emu did not start"
fi
stop_emulators

# ---- spi-sniffer.exe end to end

echo "== spi-sniffer.exe in modem test mode"
if start_emulator 7 modem --modem && emulator_pid=$started_pid; then
    run_wine 60 "$logs/sniffer-modem.log" "$sniffer" -d COM7 -m
    if [ "$status" -ne 255 ]; then
        show_log "$logs/sniffer-modem.log"
        fail "sniffer modem mode" "exit status $status, expected 255"
    elif ! in_order "$logs/sniffer-modem.log" " Starting SPI sniffer..." \
        "Test modem, firmware 2.4.1 (build 0117)" "OK" \
        "Settings: B0 E1 L2 M1 Q0 V1 X4 &C1 &D2" "OK" "Options: V.42" "OK" \
        " Modem Responded = -1" " Tapwright cannot switch to binary mode :( "; then
        show_log "$logs/sniffer-modem.log"
        fail "sniffer modem mode" "the three modem replies were not printed in order"
    else
        pass "sniffer modem mode"
    fi
else
    fail "sniffer modem mode" "tapwright-emu did not start"
fi
stop_emulators

echo "== spi-sniffer.exe against an adapter that never answers the handshake"
if start_emulator 8 refused --silent && emulator_pid=$started_pid; then
    run_wine 60 "$logs/sniffer-refused.log" "$sniffer" -d COM8
    if [ "$status" -ne 255 ]; then
        show_log "$logs/sniffer-refused.log"
        fail "sniffer refused handshake" "exit status $status, expected 255"
    elif ! normalise "$logs/sniffer-refused.log" |
        grep -qxF " Tapwright cannot switch to binary mode :( "; then
        show_log "$logs/sniffer-refused.log"
        fail "sniffer refused handshake" "no ' Tapwright cannot switch to binary mode :( ' line"
    else
        pass "sniffer refused handshake"
    fi
else
    fail "sniffer refused handshake" "tapwright-emu did not start"
fi
stop_emulators

echo "== spi-sniffer.exe sniffing a known stream"
# Two frames of pairs, a stray byte, a frame cut short, an empty frame.
printf '\x5B\x5C\x01\x02\x5C\xA5\x5A\x5D\x77\x5B\x5C\xFF\x00\x5D\x5B\x42\x5B\x5D' \
    >"$logs/stream.bin"
cat >"$logs/stream.expected" <<'EOF'
5B [5C 01 0x01(02 0x02)5C A5 0xA5(5A 0x5A)5D ]
77 Sync
5B [5C FF 0xFF(00 0x00)5D ]
5B [42 Sync
5B [5D ]
EOF
# What follows the configuration line is the decoded stream and nothing else.
decoded() { normalise "$1" | sed -n '/^ Setting Clockedge\/Polarity/,$p' | tail -n +2; }
if start_emulator 9 sniff --stream "$logs/stream.bin" && emulator_pid=$started_pid; then
    (cd "$logs" && exec wine "$sniffer" -d COM9 </dev/null >"$logs/sniffer-stream.log" 2>&1) &
    sniffer_pid=$!
    # Keys do not reach a console program under wine from a pipe, so it is ended from here.
    for _ in $(seq 300); do
        decoded "$logs/sniffer-stream.log" | cmp -s - "$logs/stream.expected" && break
        kill -0 "$sniffer_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$sniffer_pid" 2>/dev/null; then
        still_running=yes
        kill -TERM "$sniffer_pid" 2>/dev/null
    else
        still_running=no
    fi
    wait "$sniffer_pid" 2>/dev/null
    if [ "$still_running" = no ]; then
        show_log "$logs/sniffer-stream.log"
        fail "sniffer stream" "spi-sniffer.exe ended by itself before the stream was decoded"
    elif ! decoded "$logs/sniffer-stream.log" | diff "$logs/stream.expected" - >&2; then
        show_log "$logs/sniffer-stream.log"
        fail "sniffer stream" "decoded output differs from the expected frames (diff above)"
    elif ! in_order "$logs/sniffer-stream.log" " Entering binary mode..." \
        " Switching to SPI mode" " Setting Clockedge/Polarity ...... CKE=1OK"; then
        show_log "$logs/sniffer-stream.log"
        fail "sniffer stream" "the set-up lines are missing"
    else
        pass "sniffer stream"
    fi
else
    fail "sniffer stream" "tapwright-emu did not start"
fi
stop_emulators

echo "== spi-sniffer.exe when the adapter goes away after its stream"
if start_emulator 10 hangup --stream "$logs/stream.bin" --hangup-after 18 &&
    emulator_pid=$started_pid; then
    run_wine 60 "$logs/sniffer-hangup.log" "$sniffer" -d COM10
    if [ "$status" -ne 255 ]; then
        show_log "$logs/sniffer-hangup.log"
        fail "sniffer hang-up" "exit status $status, expected 255"
    elif ! decoded "$logs/sniffer-hangup.log" | grep -vxF -e " Serial port disconnected" \
        -e " Exiting..." -e "" | diff "$logs/stream.expected" - >&2; then
        show_log "$logs/sniffer-hangup.log"
        fail "sniffer hang-up" "decoded output differs from the expected frames (diff above)"
    elif ! normalise "$logs/sniffer-hangup.log" | grep -qxF " Serial port disconnected"; then
        show_log "$logs/sniffer-hangup.log"
        fail "sniffer hang-up" "no ' Serial port disconnected' line"
    else
        pass "sniffer hang-up"
    fi
else
    fail "sniffer hang-up" "tapwright-emu did not start"
fi
stop_emulators

# ---- summary

if [ "$failed" -gt 0 ]; then
    joined=$(printf '%s, ' "${failures[@]}")
    echo "wine tests failed: ${joined%, } (logs in $logs)" >&2
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
