#!/usr/bin/env bash
# Builds and tests every configuration Quillon ships:
#   native        GCC, all tests; the benchmarks are compiled, not run
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

# Builds only the executables of the tests with this label (test names are
# their target names; tests without a target of their own are skipped).
build_label() { # dir, label
    local dir="$1" label="$2" targets=()
    for t in $(ctest --test-dir "$dir" -N -L "$label" | awk '/Test +#/ {print $3}'); do
        ninja -C "$dir" -t query "$t" >/dev/null 2>&1 && targets+=("$t")
    done
    [ ${#targets[@]} -eq 0 ] || cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
}

configure() { # dir, extra cmake args...
    local dir="$1"
    shift
    cmake -S "$root" -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
}

for stage in "${stages[@]}"; do
    echo "=== $stage"
    started=$SECONDS
    case "$stage" in
    native)
        # The benchmarks are built here, never run, so they cannot rot.
        configure "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_BENCH=ON
        cmake --build "$out/native" -j "$jobs"
        ctest --test-dir "$out/native" --output-on-failure -j "$jobs"
        # The converter pictures, drawn but not compared, so the script cannot rot.
        "$root/scripts/converter-pictures.py" --resample "$out/native/bin/quillon-resample" \
            --out "$out/native/converter-pictures" > /dev/null
        ;;
    asan)
        configure "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=address,undefined
        cmake --build "$out/asan" -j "$jobs"
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
            ctest --test-dir "$out/asan" --output-on-failure -j "$jobs"
        ;;
    tsan)
        configure "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_SANITIZE=thread
        build_label "$out/tsan" concurrency
        TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$out/tsan" --output-on-failure -L concurrency -j "$jobs"
        ;;
    win32)
        configure "$out/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF
        cmake --build "$out/win32" -j "$jobs"
        ;;
    win64)
        # The 32-bit client test needs the win32 stage's quillon-ctl.exe.
        client32=(-DQUILLON_WIN32_CLIENT_DIR=)
        if [ -f "$out/win32/bin/quillon-ctl.exe" ]; then
            if WINEPREFIX="$out/win64/wineprefix" "$root/scripts/wine-prefix.sh" runs32; then
                client32=(-DQUILLON_WIN32_CLIENT_DIR="$out/win32")
            else
                echo "note: this kernel runs no 32-bit programs, so the 32-bit client is built but not run"
            fi
        fi
        configure "$out/win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release "${client32[@]}"
        cmake --build "$out/win64" -j "$jobs"
        trap 'WINEPREFIX="$out/win64/wineprefix" "$root/scripts/wine-prefix.sh" kill' EXIT
        # Boot the prefix once, before tests start timing out on it.
        WINEPREFIX="$out/win64/wineprefix" "$root/scripts/wine-prefix.sh" init
        ctest --test-dir "$out/win64" --output-on-failure -j "$jobs"
        ;;
    *)
        echo "unknown stage: $stage" >&2
        exit 2
        ;;
    esac
    echo "--- $stage passed in $((SECONDS - started)) s"
done
echo "all stages passed: ${stages[*]} ($SECONDS s)"
