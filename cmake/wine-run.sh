#!/usr/bin/env bash
# Runs a Windows program of the mingw build under wine64; ctest and
# gtest_discover_tests use it as the emulator of every test executable.
#
#   wine-run.sh PROGRAM.exe [ARG...]   run PROGRAM in the prefix (booted first if new)
#   wine-run.sh --boot                 create the prefix and start its wine server
#   wine-run.sh --stop                 stop the wine server of the prefix
#
# The prefix is $WINEPREFIX, by default ${TMPDIR:-/tmp}/xomq-wine-<uid>.
#
# Wine's helper processes (the wine server and the services that wineboot
# starts) inherit standard output. Started by a plain wine call under ctest,
# they would keep ctest's output pipe open until the server exits. So the
# server and wineboot are started here, with their output on /dev/null,
# before the program runs; the boot takes place under a lock so that parallel
# tests boot a new prefix once, and the lock's descriptor is closed for the
# daemons so that they do not hold it.
set -euo pipefail

: "${WINEPREFIX:=${TMPDIR:-/tmp}/xomq-wine-$(id -u)}"
# Module load errors stay visible: a missing DLL otherwise shows only as
# exit status 53.
: "${WINEDEBUG:=-all,err+module}"
# No crash debugger (a crash exits with status 5 at once, without a
# backtrace) and no Mono or Gecko installer.
: "${WINEDLLOVERRIDES:=winedbg.exe=d;mscoree,mshtml=}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

loader=$(command -v wine64 || true)
if [[ -z "$loader" && -x /usr/lib/wine/wine64 ]]; then
    loader=/usr/lib/wine/wine64  # Debian keeps wine64 off the PATH
fi
if [[ -z "$loader" ]]; then
    echo "wine-run.sh: wine64 not found" >&2
    exit 127
fi

booted_mark="$WINEPREFIX/.xomq-booted"

# Starts the prefix's wine server unless it runs, and with a new server the
# session's system processes (services, explorer, devices), so that no
# program run later starts them with its own output. A new prefix is created
# on the way. A running server makes "wineserver -p" exit with status 2. The
# server stays up until five minutes after its last program ended, or until
# --stop.
prepare() {
    mkdir -p "$WINEPREFIX"
    exec 9>"$WINEPREFIX/.xomq-boot.lock"
    if ! flock -w 300 9; then
        echo "wine-run.sh: timed out waiting for the boot lock of $WINEPREFIX" >&2
        exit 1
    fi
    local started=0
    if wineserver -p300 </dev/null >/dev/null 2>&1 9>&-; then
        started=1
    fi
    if [[ ! -e "$booted_mark" ]]; then
        wineboot -i </dev/null >/dev/null 2>&1 9>&-
        touch "$booted_mark"
    elif [[ $started -eq 1 ]]; then
        wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
    exec 9>&-
}

case "${1:-}" in
    --boot)
        prepare
        ;;
    --stop)
        # -k addresses the server of this WINEPREFIX only; -w waits for its end.
        if [[ -d "$WINEPREFIX" ]]; then
            wineserver -k </dev/null >/dev/null 2>&1 || true
            timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || true
        fi
        ;;
    "")
        echo "usage: wine-run.sh PROGRAM.exe [ARG...] | --boot | --stop" >&2
        exit 2
        ;;
    *)
        prepare
        exec "$loader" "$@"
        ;;
esac
