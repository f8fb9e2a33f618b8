#!/bin/sh
# The private Wine prefix the Windows tests run in, named by WINEPREFIX (the build folder's).
#
#   wine-prefix.sh setup     makes it afresh and leaves its wineserver running for the tests
#   wine-prefix.sh cleanup   ends its wineserver and every Wine process of the prefix
set -eu

: "${WINEPREFIX:?WINEPREFIX names the prefix}"

case "${1:-}" in
setup)
    # A server left by an interrupted run would go on serving the old prefix's registry; it is
    # ended, and gone, before the prefix is made anew.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    # A test killed while it held a folder read-only (immutable, for root) would keep it from
    # being removed.
    if ! rm -rf "$WINEPREFIX" 2>/dev/null; then
        chattr -R -i "$WINEPREFIX" 2>/dev/null || true
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    # Windows without a display: real windows, messages and drawing into bitmaps, and nothing
    # shown on whatever display the shell has. Set before the first start, which launches the
    # desktop process with the driver it finds then.
    cat >"$WINEPREFIX/user.reg" <<'REG'
WINE REGISTRY Version 2
;; All keys relative to \\User\\S-1-5-21-0-0-0-1000

#arch=win64

[Software\\Wine\\Drivers]
"Graphics"="null"
REG
    # The server and the services wineboot starts stay running until the cleanup, so that
    # every test program starts in a warm prefix. They must not hold this script's output:
    # CTest waits for it to close.
    log="$WINEPREFIX/setup.log"
    wineserver -p </dev/null >"$log" 2>&1
    # Returns once the prefix is whole.
    if ! wineboot -i </dev/null >>"$log" 2>&1; then
        cat "$log" >&2
        exit 1
    fi
    ;;
cleanup)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
*)
    echo "usage: wine-prefix.sh setup|cleanup" >&2
    exit 2
    ;;
esac
