#!/usr/bin/env bash
# Registers (or with --remove, unregisters) the virtual ASIO driver, for tests
# and demos, through the driver's own installer.
#   register-virtual-driver.sh [--remove] --wine-prefix DIR quillon_virtual_asio.dll
#   register-virtual-driver.sh [--remove] --root DIR quillon_virtual_asio.so
# Under Wine the 64-bit regsvr32 runs, so the registrations land in the 64-bit
# registry view the server reads. On Linux the key directories are written
# under DIR (what QUILLON_ASIO_ROOT names for the server).
set -euo pipefail

usage() {
    echo "usage: $0 [--remove] (--wine-prefix DIR | --root DIR) DRIVER" >&2
    exit 2
}

remove=0 prefix="" root=""
while [ $# -gt 1 ]; do
    case "$1" in
    --remove) remove=1; shift ;;
    --wine-prefix) prefix="$2"; shift 2 ;;
    --root) root="$2"; shift 2 ;;
    *) usage ;;
    esac
done
[ $# -eq 1 ] || usage
driver="$(realpath "$1")"
[ -f "$driver" ] || { echo "$0: no such driver: $1" >&2; exit 1; }

if [ -n "$prefix" ]; then
    export WINEPREFIX="$(realpath -m "$prefix")"
    here="$(dirname "$(realpath "$0")")"
    "$here/wine-prefix.sh" init
    export WINEDEBUG="${WINEDEBUG:--all}"
    windows_path="$("$here/wine-prefix.sh" run64 winepath -w "$driver" 2>/dev/null)"
    if [ "$remove" = 1 ]; then
        "$here/wine-prefix.sh" run64 regsvr32 /s /u "$windows_path"
    else
        "$here/wine-prefix.sh" run64 regsvr32 /s "$windows_path"
    fi
    wineserver -w
elif [ -n "$root" ]; then
    mkdir -p "$root"
    entry=registerDriver
    [ "$remove" = 1 ] && entry=unregisterDriver
    QUILLON_ASIO_ROOT="$(realpath "$root")" python3 - "$driver" "$entry" <<'PY'
import ctypes, sys
result = getattr(ctypes.CDLL(sys.argv[1]), sys.argv[2])()
sys.exit(0 if result == 0 else 1)
PY
else
    usage
fi
