#!/usr/bin/env bash
# spi-sniffer at work without the hardware: tapwright-emu plays the adapter and streams a demo
# SPI flash session, the sniffer decodes it for about three seconds, then a key ends it.
# Arguments go to spi-sniffer (--flash, --image FILE, --summary); --image alone keeps the
# rebuilt flash image in demo-flash.bin in the current folder.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

args=()
while [ $# -gt 0 ]; do
    if [ "$1" = --image ] && { [ $# -eq 1 ] || [[ $2 == -* ]]; }; then
        args+=(--image "$here/demo-flash.bin")
    elif [ "$1" = --image ]; then
        # A relative name means a file in the folder the demo was started from.
        [[ $2 == /* ]] && args+=("$1" "$2") || args+=("$1" "$here/$2")
        shift
    else
        args+=("$1")
    fi
    shift
done

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target spi-sniffer tapwright-emu >/dev/null

folder=$(mktemp -d)
emulator_pid=""
cleanup() {
    if [ -n "$emulator_pid" ] && kill -0 "$emulator_pid" 2>/dev/null; then
        kill "$emulator_pid" 2>/dev/null || true
        wait "$emulator_pid" 2>/dev/null || true
    fi
    rm -rf "$folder"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

build/default/emulator/tapwright-emu --once --link "$folder/tapwright" >"$folder/device" &
emulator_pid=$!
# The device line comes once the pseudo-terminal and the link are ready.
for _ in $(seq 100); do
    [ -s "$folder/device" ] && break
    kill -0 "$emulator_pid" 2>/dev/null || break
    sleep 0.05
done
if [ ! -s "$folder/device" ]; then
    echo "demo: tapwright-emu did not start" >&2
    exit 1
fi

(sleep 3; printf q) | build/default/sniffer/spi-sniffer -d "$folder/tapwright" ${args[@]+"${args[@]}"}

# With --once the emulator ends by itself once the sniffer has closed the port.
for _ in $(seq 100); do
    kill -0 "$emulator_pid" 2>/dev/null || break
    sleep 0.05
done
wait "$emulator_pid"
emulator_pid=""
