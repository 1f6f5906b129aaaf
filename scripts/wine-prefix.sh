#!/usr/bin/env bash
# Private Wine prefixes for Quillon's Windows builds.
#   wine-prefix.sh init        create $WINEPREFIX if it does not exist yet
#   wine-prefix.sh run ARGS    init, then run ARGS under wine
#   wine-prefix.sh run64 ARGS  init, then run ARGS under the 64-bit loader
#   wine-prefix.sh runs32      exit 0 when this machine can run 32-bit Windows programs
#   wine-prefix.sh kill        stop the prefix's wineserver
# WINEPREFIX must be set; ~/.wine is never used.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name a private prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# The 64-bit loader runs 64-bit tools (reg, regsvr32) in the 64-bit registry
# view whether or not 32-bit Wine is installed; plain `wine` picks by binary.
wine64_loader() {
    if [ -x /usr/lib/wine/wine64 ]; then echo /usr/lib/wine/wine64; else command -v wine64 || command -v wine; fi
}

# Plain `wine` is the 32-bit loader once wine32 is installed; it hands 64-bit
# programs to wine64. A kernel built without 32-bit support cannot execute it
# at all, and then 64-bit programs must go to the 64-bit loader directly.
runs32() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

wine_loader() {
    if runs32 || [ ! -x /usr/lib/wine/wine64 ]; then command -v wine; else wine64_loader; fi
}

init_prefix() {
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 || "$(wine64_loader)" wineboot -i >/dev/null 2>&1
        wineserver -w
    fi
    flock -u 9
}

cmd="${1:-}"
shift || true
case "$cmd" in
init) init_prefix ;;
run)
    init_prefix
    exec "$(wine_loader)" "$@"
    ;;
runs32) runs32 ;;
run64)
    init_prefix
    exec "$(wine64_loader)" "$@"
    ;;
kill) wineserver -k 2>/dev/null || true ;;
*)
    echo "usage: wine-prefix.sh init|run ARGS|run64 ARGS|runs32|kill" >&2
    exit 2
    ;;
esac
