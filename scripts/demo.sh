#!/usr/bin/env bash
# Plays a generated sound through Quillon end to end and shows what came out.
#
#   scripts/demo.sh            the Windows server under Wine (the product)
#   scripts/demo.sh --native   the same natively on Linux, for development
#   options: --seconds N (default 4), --keep (leave the Wine prefix running)
#
# Installs what is missing, builds the server, quillon-ctl and the virtual ASIO
# driver, registers the driver in a private Wine prefix (or a private folder),
# plays a sweep through the real server in real time, and writes what the
# driver received to a WAV file. Build trees go under $QUILLON_BUILD_ROOT
# (default: build/); ~/.wine is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="${QUILLON_BUILD_ROOT:-$root/build}"
jobs="${QUILLON_JOBS:-$(nproc)}"

native=0
seconds=4
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --native) native=1 ;;
    --seconds) seconds="$2"; shift ;;
    --keep) keep=1 ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--native] [--seconds N] [--keep]" >&2; exit 2 ;;
    esac
    shift
done

step() { printf '\n== %s\n' "$*"; }

step "installing what is missing"
"$root/scripts/install-deps.sh"

if [ "$native" = 1 ]; then
    build="$out/native"
    cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
else
    build="$out/win64"
    cmake_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake")
fi
step "building $build"
cmake -S "$root" -B "$build" -G Ninja -Wno-dev "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j "$jobs" --target quillon-server quillon-ctl quillon_virtual_asio

# Object names of this run's own, in case another server runs on the machine.
export QUILLON_IPC_SCOPE="demo-$$"
# Where the build put the driver library (DLLs land beside the executables).
driver_file() {
    local found
    found="$(find "$build/bin" "$build/drivers/virtual" -maxdepth 1 -name "quillon_virtual_asio.$1" 2>/dev/null | head -n 1)"
    [ -n "$found" ] || { echo "no virtual driver built in $build" >&2; exit 1; }
    echo "$found"
}

demo="$out/demo"
mkdir -p "$demo/capture"
rm -f "$demo/capture/"*
result="$demo/received.wav"
# The real-time variant of the virtual driver: a clock thread asks for each
# half-buffer when hardware would, so the sound plays for as long as it lasts.
driver_name="Quillon Virtual 16-bit Stereo"
capture_file="$demo/capture/Quillon Virtual.wav"
tone_args=(tone --driver "$driver_name" --freq 110 --to 3520 --seconds "$seconds" --rate 48000
    --bits 16 --channels 2 --virtual-report)

if [ "$native" = 1 ]; then
    step "registering the virtual driver under $demo/asio"
    rm -rf "$demo/asio"
    "$root/scripts/register-virtual-driver.sh" --root "$demo/asio" "$(driver_file so)"
    step "playing a ${seconds} s sweep through quillon-server"
    QUILLON_ASIO_ROOT="$demo/asio" QUILLON_VIRTUAL_CAPTURE_DIR="$demo/capture" \
        "$build/bin/quillon-ctl" "${tone_args[@]}"
else
    export WINEPREFIX="$demo/wineprefix"
    export WINEDEBUG="${WINEDEBUG:--all}"
    step "registering the virtual driver in the Wine prefix $WINEPREFIX"
    "$root/scripts/register-virtual-driver.sh" --wine-prefix "$WINEPREFIX" "$(driver_file dll)"
    stop_wine() { [ "$keep" = 1 ] || "$root/scripts/wine-prefix.sh" kill; }
    trap stop_wine EXIT
    step "playing a ${seconds} s sweep through quillon-server.exe under Wine"
    # The server and the driver run as Windows programs: the capture folder is
    # handed over as a Windows path.
    QUILLON_VIRTUAL_CAPTURE_DIR="$("$root/scripts/wine-prefix.sh" run64 winepath -w "$demo/capture" 2>/dev/null)" \
        "$root/scripts/wine-prefix.sh" run "$build/bin/quillon-ctl.exe" "${tone_args[@]}"
fi

[ -f "$capture_file" ] || { echo "the driver wrote no capture ($capture_file)" >&2; exit 1; }
mv "$capture_file" "$result"
bytes=$(($(stat -c %s "$result") - 44))
step "result"
echo "the driver received $((bytes / 4)) frames (16-bit stereo at 48000 Hz): $result"
