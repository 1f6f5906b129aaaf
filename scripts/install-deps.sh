#!/usr/bin/env bash
# Installs what Quillon needs on Debian 12: native toolchain and test libraries,
# the MinGW-w64 cross compilers (64-bit product, 32-bit client), Wine with its
# 32-bit half, CLI11, the benchmark peers, and matplotlib for the converter pictures. Skips the work when all is there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libbenchmark-dev libcli11-dev
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
    wine64 wine32:i386
    libfftw3-dev libsoxr-dev libsamplerate0-dev sox
    python3-matplotlib python3-numpy
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
