#!/usr/bin/env bash
# Runs the Windows build under wine against tapwright-emu: the serial-port tests, the end-to-end
# suites' cases that do not depend on POSIX against both programs, and spi-sniffer.exe under a
# flood. Each COM port is a link in a private wine prefix to an emulator's pseudo-terminal.
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
sniffer_tests=$linux_build/tests/sniffer/sniffer_tests
selftest_tests=$linux_build/tests/selftest/selftest_tests
wine_bin=$base/wine-bin
logs=$base/wine-logs

export WINEPREFIX=$base/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
unset WAYLAND_DISPLAY

# shellcheck source=scripts/checks.sh
. scripts/checks.sh
emulator_pid=
silent_pid=

fatal() {
    echo "wine tests: $*" >&2
    echo "0 passed, 1 failed"
    exit 1
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

# COM links left to pseudo-terminals name devices that are gone, or soon someone else's.
remove_port_links() {
    find "$WINEPREFIX/dosdevices" -maxdepth 1 -name 'com*' -lname '/dev/pts/*' -delete 2>/dev/null
}

cleanup() {
    stop_emulators
    wineserver -k 2>/dev/null
    remove_port_links
}
trap cleanup EXIT

# Runs a console program under wine with no standard input; sets status.
run_wine() {
    local seconds=$1 output=$2
    shift 2
    (cd "$logs" && timeout -k 5 "$seconds" wine "$@" </dev/null >"$output" 2>&1)
    status=$?
}

# ---- set-up

scripts/setup.sh wine wine64 g++-mingw-w64-x86-64-posix || fatal "cannot install wine and mingw-w64"
mkdir -p "$logs"

echo "== building the Windows programs and tests ($windows_build)"
cmake --preset windows-tests -B "$windows_build" >"$logs/windows-configure.log" 2>&1 ||
    { show_log "$logs/windows-configure.log"; fatal "configuring the Windows build failed"; }
timeout 900 cmake --build "$windows_build" -j 2 >"$logs/windows-build.log" 2>&1 ||
    { show_log "$logs/windows-build.log"; fatal "building the Windows programs and tests failed"; }

echo "== building tapwright-emu and the end-to-end suites ($linux_build)"
cmake --preset default -B "$linux_build" >"$logs/emulator-configure.log" 2>&1 ||
    { show_log "$logs/emulator-configure.log"; fatal "configuring the Linux build failed"; }
timeout 900 cmake --build "$linux_build" --target tapwright-emu sniffer_tests selftest_tests \
    -j 2 >"$logs/emulator-build.log" 2>&1 ||
    { show_log "$logs/emulator-build.log"; fatal "building tapwright-emu and the suites failed"; }
# The launcher finds the programs beside itself.
mkdir -p "$wine_bin"
for exe in "$sniffer" "$windows_build/selftest/hvp-selftest.exe" \
    "$windows_build/tests/windows/launcher.exe"; do
    ln -sf "$exe" "$wine_bin/"
done

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the wine prefix ($WINEPREFIX)"
    timeout 300 wineboot -i </dev/null >"$logs/wineboot.log" 2>&1 ||
        { show_log "$logs/wineboot.log"; fatal "wineboot -i failed"; }
fi
remove_port_links
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

# ---- the end-to-end suites against the Windows programs

# The Linux suites' cases that do not depend on POSIX, run against the .exe files through the
# launcher (tests/support/process.hpp): with keys typed on a console, or with standard input a
# pipe.
run_wine_suite() {
    local log=$1 keys=$2 binary=$3 filter=$4
    (cd "$logs" && TAPWRIGHT_WINE_BIN=$wine_bin TAPWRIGHT_WINE_KEYS=$keys \
        timeout -k 5 300 "$binary" --gtest_filter="$filter" >"$log" 2>&1)
}
# Wine itself now and then fails to start a program: it ends at once, status 1, without a word,
# which none of ours ever does. The cases that failed are run once more, and the first run's log
# is kept; a fault of ours fails both times.
run_suite() {
    local name=$1 keys=$2 binary=$3 filter=$4
    echo "== $name"
    run_wine_suite "$logs/$name.log" "$keys" "$binary" "$filter"
    status=$?
    grep -E '^\[  (PASSED|FAILED)|tests? from .* ran' "$logs/$name.log" || true
    if [ "$status" -ne 0 ]; then
        local failed_cases
        failed_cases=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\.[^ ,]*\).*/\1/p' "$logs/$name.log" | sort -u |
            paste -sd:)
        if [ -n "$failed_cases" ]; then
            echo "   once more under wine: $failed_cases"
            run_wine_suite "$logs/$name.again.log" "$keys" "$binary" "$failed_cases"
            status=$?
        fi
    fi
    if [ "$status" -eq 0 ]; then
        pass "$name"
    else
        show_log "$logs/$name.log"
        fail "$name" "exited with $status"
    fi
}
run_suite "hvp-selftest.exe, keys on a console" keys "$selftest_tests" \
    "SelfTestCycle.PassingThenFailingBoard:SelfTestCycle.EscAtThePauseAndArrowKeysGoOn:\
SelfTestCycle.ModemTest:SelfTestCycle.RefusedHandshakePowersNothing:\
SelfTestCycle.PortGoneBeforeTheSecondBoard:Endings/SelfTestLogged.*/Esc:\
Endings/SelfTestLogged.*/LostPort:SelfTestSerials.*:Cases/SelfTestRecord.*/OlderColumnsAreKept:\
Cases/SelfTestRecord.*/PartLineIsEndedFirst:Cases/SelfTestRecord.*/ForeignFileIsRefused"
run_suite "hvp-selftest.exe, keys from a pipe" pipe "$selftest_tests" \
    "Cases/SelfTestCommandLine.*:SelfTestCycle.EndOfInputCountsAsEsc:\
SelfTestCycle.EscAtThePauseAndArrowKeysGoOn:SelfTestSerials.*"
run_suite "spi-sniffer.exe, keys on a console" keys "$sniffer_tests" \
    "*/SnifferDecoding.*/FrameSplitInsidePair:*/SnifferDecoding.*/RawPrintsEachByteTwice:\
Cases/SnifferRefusal.*:SnifferRun.ModemTestQueriesThenFailsAtTheHandshake:\
SnifferRun.LostDeviceEndsWithItsTextsAndStatus255:SnifferRun.BusyPortIsRefusedToASecondInstance:\
SnifferCapture.TricklingBytesShowAsTheyCome:SnifferCapture.KeyDuringAFloodEndsItWithTheStreamWhole:\
Endings/SnifferWriteRead.*/Key:Endings/SnifferWriteRead.*/LostDevice"
run_suite "spi-sniffer.exe, command lines" pipe "$sniffer_tests" \
    "Cases/SnifferCommandLine.*:SnifferWriteRead.ReadsStandardInputWithFlashNames:\
SnifferWriteRead.SummaryAndMapTellWhatTheImageKnows:\
Cases/SnifferCaptureFile.*/ThePort:Cases/SnifferCaptureFile.*/MissingFolder"

# ---- spi-sniffer.exe under a flood

echo "== spi-sniffer.exe under a 1.5 MB flood at 300,000 bytes/s, then a hang-up"
flood_size=1500000
perl -e 'srand(8); print map { chr(int(rand(256))) } 1..$ARGV[0]' "$flood_size" >"$logs/flood.bin"
# Raw output shows each byte's hex twice: every other word after the configuration line.
shown_bytes() {
    normalise "$1" | sed -n '/^ Setting Clockedge\/Polarity/,$p' | tail -n +2 | tr -s ' \n' '\n\n' |
        grep -xE '[0-9A-F]{2}' | awk 'NR % 2 == 1'
}
if start_emulator 11 flood --stream "$logs/flood.bin" --rate 300000 \
    --hangup-after "$flood_size" && emulator_pid=$started_pid; then
    run_wine 120 "$logs/sniffer-flood.log" "$sniffer" -d COM11 -r 1
    od -An -v -tx1 "$logs/flood.bin" | tr -s ' \n' '\n\n' | sed '/^$/d' | tr a-f A-F \
        >"$logs/flood.expected"
    if [ "$status" -ne 255 ]; then
        show_log "$logs/sniffer-flood.log"
        fail "sniffer flood" "exit status $status, expected 255"
    elif ! shown_bytes "$logs/sniffer-flood.log" | cmp -s - "$logs/flood.expected"; then
        fail "sniffer flood" "$(shown_bytes "$logs/sniffer-flood.log" | wc -l) bytes shown, \
not the $flood_size sent in order"
    elif ! normalise "$logs/sniffer-flood.log" | tail -n 2 |
        cmp -s - <(printf ' Serial port disconnected\n Exiting...\n'); then
        show_log "$logs/sniffer-flood.log"
        fail "sniffer flood" "it did not end with the lost-device message"
    else
        pass "sniffer flood"
    fi
else
    fail "sniffer flood" "tapwright-emu did not start"
fi
stop_emulators

# ---- summary

checks_summary "wine tests" "$logs"
