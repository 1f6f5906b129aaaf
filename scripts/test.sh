#!/usr/bin/env bash
# Builds and tests every configuration Quillon ships:
#   native        GCC, all tests
#   asan          native with AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   tsan          native with ThreadSanitizer, the concurrency tests
#   win64         MinGW-w64 x64 cross build, all tests under Wine
#   win32         MinGW-w64 i686 client side, used by the Wine end-to-end test
# Usage: scripts/test.sh [stage...]   (default: all stages)
# Build trees go under $QUILLON_BUILD_ROOT (default: build/).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="${QUILLON_BUILD_ROOT:-$root/build}"
jobs="${QUILLON_JOBS:-$(nproc)}"

"$root/scripts/install-deps.sh"

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(native asan tsan win32 win64)

configure() { # dir, extra cmake args...
    local dir="$1"
    shift
    cmake -S "$root" -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
}

for stage in "${stages[@]}"; do
    echo "=== $stage"
    case "$stage" in
    native)
        configure "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo
        cmake --build "$out/native" -j "$jobs"
        ctest --test-dir "$out/native" --output-on-failure -j "$jobs"
        ;;
    asan)
        configure "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=address,undefined
        cmake --build "$out/asan" -j "$jobs"
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
            ctest --test-dir "$out/asan" --output-on-failure -j "$jobs"
        ;;
    tsan)
        configure "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_SANITIZE=thread
        cmake --build "$out/tsan" -j "$jobs"
        TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$out/tsan" --output-on-failure -L concurrency -j "$jobs"
        ;;
    win32)
        configure "$out/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" -DQUILLON_TESTS=OFF
        cmake --build "$out/win32" -j "$jobs"
        ;;
    win64)
        configure "$out/win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
            -DQUILLON_WIN32_CLIENT_DIR="$out/win32"
        cmake --build "$out/win64" -j "$jobs"
        ctest --test-dir "$out/win64" --output-on-failure -j "$jobs"
        WINEPREFIX="$out/win64/wineprefix" "$root/scripts/wine-prefix.sh" kill
        ;;
    *)
        echo "unknown stage: $stage" >&2
        exit 2
        ;;
    esac
done
echo "all stages passed: ${stages[*]}"
