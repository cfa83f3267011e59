#!/usr/bin/env bash
# Builds the Debian package and the Windows zip (presets package and package-windows), then
# checks what a user gets: lintian on the .deb; the programs unpacked from it print their version,
# and the unpacked spi-sniffer sniffs the unpacked tapwright-emu's stream byte for byte; the bash
# completion loads under each program's name; the zip holds the two programs and the texts in
# CR LF, and each .exe needs no DLL beyond Windows' own.
# Usage: scripts/package-check.sh
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
packages=$root/build/package
logs=$root/build/package-check

# shellcheck source=scripts/checks.sh
. scripts/checks.sh
emulator_pid=
unpacked=



fatal() {
    echo "package check: $*" >&2
    exit 1
}

show_log() {
    echo "---- $1 (last 30 lines)" >&2
    tail -n 30 "$1" >&2
    echo "----" >&2
}

cleanup() {
    if [ -n "$emulator_pid" ]; then
        kill "$emulator_pid" 2>/dev/null
        wait "$emulator_pid" 2>/dev/null
    fi
    [ -n "$unpacked" ] && rm -rf "$unpacked"
}
trap cleanup EXIT

# ---- building

scripts/setup.sh dpkg-dev lintian bash-completion g++-mingw-w64-x86-64-posix ||
    fatal "cannot install the packaging tools"
mkdir -p "$logs"
rm -f "$packages"/tapwright-tools[_-]*.deb "$packages"/tapwright-tools[_-]*.zip

echo "== building the Debian package (preset package)"
cmake --workflow --preset package >"$logs/package.log" 2>&1 ||
    { show_log "$logs/package.log"; fatal "the package workflow failed"; }
echo "== building the Windows zip (preset package-windows)"
cmake --workflow --preset package-windows >"$logs/package-windows.log" 2>&1 ||
    { show_log "$logs/package-windows.log"; fatal "the package-windows workflow failed"; }

debs=("$packages"/tapwright-tools_*.deb)
zips=("$packages"/tapwright-tools-*-win64.zip)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fatal "not one .deb in $packages: ${debs[*]}"
fi
if [ ${#zips[@]} -ne 1 ] || [ ! -f "${zips[0]}" ]; then
    fatal "not one zip in $packages: ${zips[*]}"
fi
deb=${debs[0]}
zip=${zips[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "== $(basename "$deb"), $(basename "$zip"): version $version"
dpkg-deb -f "$deb" Depends

# ---- the Debian package

if lintian --fail-on error,warning "$deb" >"$logs/lintian.log" 2>&1; then
    pass "lintian"
else
    cat "$logs/lintian.log" >&2
    fail "lintian" "errors or warnings"
fi

unpacked=$(mktemp -d)
dpkg -x "$deb" "$unpacked" || fatal "dpkg -x $deb failed"
bin=$unpacked/usr/bin

for program in spi-sniffer hvp-selftest tapwright-emu; do
    output=$(timeout 10 "$bin/$program" --version </dev/null 2>&1)
    status=$?
    if [ "$status" -eq 0 ] && [ "$output" = "$program $version" ]; then
        pass "$program --version"
    else
        fail "$program --version" "status $status, printed: $(head -c 300 <<<"$output")"
    fi
done

# Raw output shows each byte's hex twice: every other word after the configuration line.
stream_size=300000
perl -e 'srand(13); print map { chr(int(rand(256))) } 1..$ARGV[0]' "$stream_size" \
    >"$unpacked/stream.bin"
od -An -v -tx1 "$unpacked/stream.bin" | tr -s ' ' '\n' | sed '/^$/d' |
    tr '[:lower:]' '[:upper:]' >"$unpacked/stream.expected"
shown_bytes() {
    sed -n '/^ Setting Clockedge\/Polarity/,$p' "$1" | tail -n +2 | tr -s ' ' '\n' |
        grep -xE '[0-9A-F]{2}' | awk 'NR % 2 == 1'
}
port=$unpacked/port
"$bin/tapwright-emu" --once --link "$port" --stream "$unpacked/stream.bin" --rate 300000 \
    --hangup-after "$stream_size" >"$logs/emulator.out" 2>"$logs/emulator.err" &
emulator_pid=$!
for _ in $(seq 100); do
    [ -s "$logs/emulator.out" ] && [ -L "$port" ] && break
    kill -0 "$emulator_pid" 2>/dev/null || break
    sleep 0.1
done
if [ ! -L "$port" ]; then
    cat "$logs/emulator.err" >&2
    fail "sniff" "the unpacked tapwright-emu did not start"
else
    timeout 60 "$bin/spi-sniffer" -d "$port" -r 1 </dev/null >"$logs/sniff.log" 2>&1
    status=$?
    if [ "$status" -ne 255 ]; then
        show_log "$logs/sniff.log"
        fail "sniff" "exit status $status, expected 255 at the emulator's hang-up"
    elif ! shown_bytes "$logs/sniff.log" | cmp -s - "$unpacked/stream.expected"; then
        fail "sniff" "$(shown_bytes "$logs/sniff.log" | wc -l) bytes shown, not the \
$stream_size sent in order"
    elif ! tail -n 2 "$logs/sniff.log" |
        cmp -s - <(printf ' Serial port disconnected\n Exiting...\n'); then
        show_log "$logs/sniff.log"
        fail "sniff" "it did not end with the lost-device message"
    else
        pass "sniff of $stream_size bytes, unpacked spi-sniffer against unpacked tapwright-emu"
    fi
fi
# With --once the emulator ends once the sniffer has gone.
wait "$emulator_pid" 2>/dev/null
emulator_pid=

# The completion loader sources the file named after the program: each name must lead to it.
completions=$unpacked/usr/share/bash-completion/completions
# shellcheck disable=SC2016 # expanded by the inner bash
completed=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    for line in "spi-sniffer -e " "hvp-selftest -" "tapwright-emu --ver"; do
        COMP_LINE=$line
        COMP_POINT=${#line}
        read -ra COMP_WORDS <<<"$line"
        [[ $line == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        source "$1/${COMP_WORDS[0]}"
        COMPREPLY=()
        $(complete -p "${COMP_WORDS[0]}" | awk "{print \$3}")
        echo "${COMP_WORDS[0]}: ${COMPREPLY[*]}"
    done' bash "$completions" 2>&1)
expected_completions='spi-sniffer: 0 1
hvp-selftest: -p -s -m --log --station --operator --serial --version
tapwright-emu: --verbose --version'
if [ "$completed" = "$expected_completions" ]; then
    pass "bash completion"
else
    fail "bash completion" "completed:
$completed"
fi

# ---- the Windows zip

echo "== $(basename "$zip")"
cmake -E tar tf "$zip" | tee "$logs/zip.list"
top=$(basename "$zip" .zip)
if sort "$logs/zip.list" | cmp -s - <(printf '%s\n' "$top/LICENSE.txt" "$top/README.txt" \
    "$top/bin/" "$top/bin/hvp-selftest.exe" "$top/bin/spi-sniffer.exe" | sort); then
    pass "zip contents"
else
    fail "zip contents" "not the two programs, README.txt and LICENSE.txt"
fi
(cd "$unpacked" && cmake -E tar xf "$zip") || fatal "cannot unpack $zip"
for text in README LICENSE; do
    file=$unpacked/$top/$text.txt
    source=$root/$text
    [ "$text" = README ] && source=$root/README.md
    if [ -f "$file" ] && awk '!/\r$/ { bare = 1 } END { exit bare }' "$file" &&
        tr -d '\r' <"$file" | cmp -s - "$source"; then
        pass "$text.txt in CR LF"
    else
        fail "$text.txt in CR LF" "missing, a line without CR, or not the text of $source"
    fi
done

# Windows' own DLLs only: no C++ runtime, libgcc or winpthread to carry along.
system_dll='^(kernel32|advapi32|user32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
for exe in spi-sniffer hvp-selftest; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$unpacked/$top/bin/$exe.exe" | awk '/DLL Name:/ {print $3}')
    echo "$exe.exe imports: $(tr '\n' ' ' <<<"$dlls")"
    foreign=$(grep -viE "$system_dll" <<<"$dlls")
    if [ -n "$dlls" ] && [ -z "$foreign" ]; then
        pass "$exe.exe imports"
    else
        fail "$exe.exe imports" "needs ${foreign:-no DLL that objdump could read}"
    fi
done

# ---- summary

checks_summary "package check" "$logs"
