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
# server and wineboot are started here, with their output in a log file of
# the prefix, before the program runs; the boot takes place under a lock so
# that parallel tests boot a new prefix once, and the lock's descriptor is
# closed for the daemons so that they do not hold it.
#
# Every failure of this script names what failed on standard error: a test
# that fails here shows why instead of ending without a word.
set -uo pipefail

fail() {
    echo "wine-run.sh: $*" >&2
    exit 1
}

: "${WINEPREFIX:=${TMPDIR:-/tmp}/xomq-wine-$(id -u)}"
# Module load and memory layout errors stay visible: a missing DLL
# otherwise shows only as exit status 53, a start that fails for want of a
# fixed address (see below) as exit status 1 without a word.
: "${WINEDEBUG:=-all,err+module,err+virtual}"
# No crash debugger (a crash exits with status 5 at once, without a
# backtrace) and no Mono or Gecko installer.
: "${WINEDLLOVERRIDES:=winedbg.exe=d;mscoree,mshtml=}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

loader=$(command -v wine64 || true)
if [[ -z "$loader" && -x /usr/lib/wine/wine64 ]]; then
    loader=/usr/lib/wine/wine64 # Debian keeps wine64 off the PATH
fi
[[ -n "$loader" ]] || {
    echo "wine-run.sh: wine64 not found" >&2
    exit 127
}

# Every wine process runs without address space randomization. Debian's
# wine64 has no preloader: its loader is a fixed-address executable at
# 0x7d000000, and with randomization the kernel starts its heap anywhere in
# the 1 GiB above it. About one start in 6000 the heap covers 0x7ffe0000,
# the address Windows programs expect the shared user data page at; wine then
# ends with status 1 before the program runs ("failed to map the shared user
# data: c0000018"). A test then fails at once with no output, or the program
# under test fails to start. Children (the programs a test starts, the
# session's services) inherit the setting. Where the system refuses it
# (setarch -R fails), programs run with randomization.
norandom=(setarch "$(uname -m)" -R)
"${norandom[@]}" true 2>/dev/null || norandom=()

booted_mark="$WINEPREFIX/.xomq-booted"
boot_log="$WINEPREFIX/.xomq-boot.log"

# quietly what command...: runs a wine helper with its output appended to the
# boot log (its daemons keep writing there, never to our caller's pipes) and
# without the lock's descriptor; on failure says what failed, with the end
# of the log.
quietly() {
    local what=$1 rc=0
    shift
    "$@" </dev/null >>"$boot_log" 2>&1 9>&- || rc=$?
    if [[ $rc -ne 0 ]]; then
        tail -n 20 "$boot_log" >&2 2>/dev/null
        fail "$what failed with status $rc in $WINEPREFIX (log: $boot_log)"
    fi
}

# Starts the prefix's wine server unless it runs, and with a new server the
# session's system processes (services, explorer, devices), so that no
# program run later starts them with its own output. A new prefix is created
# on the way. The server stays up until five minutes after its last program
# ended, or until --stop.
prepare() {
    mkdir -p "$WINEPREFIX" || fail "cannot create $WINEPREFIX"
    # Opened for appending: the lock file is never truncated under a holder.
    exec 9>>"$WINEPREFIX/.xomq-boot.lock" || fail "cannot open the boot lock in $WINEPREFIX"
    flock -w 300 9 || fail "timed out waiting for the boot lock of $WINEPREFIX"
    # "wineserver -p" exits with 0 when it started the server, with 2 when
    # one runs already; anything else is a failure.
    local rc=0
    wineserver -p300 </dev/null >>"$boot_log" 2>&1 9>&- || rc=$?
    case $rc in
        0 | 2) ;;
        *)
            tail -n 20 "$boot_log" >&2 2>/dev/null
            fail "wineserver -p300 failed with status $rc in $WINEPREFIX"
            ;;
    esac
    if [[ ! -e "$booted_mark" ]]; then
        quietly "wineboot -i (creating the prefix)" "${norandom[@]+"${norandom[@]}"}" wineboot -i
        touch "$booted_mark" || fail "cannot write $booted_mark"
    elif [[ $rc -eq 0 ]]; then
        quietly "wineboot (starting the session of a new wine server)" \
            "${norandom[@]+"${norandom[@]}"}" wineboot
    fi
    exec 9>&-
}

case "${1:-}" in
    --boot)
        [[ ${#norandom[@]} -gt 0 ]] || echo "wine-run.sh: setarch -R is refused here:" \
            "programs run with address space randomization, and wine may fail to start" \
            "one in thousands (failed to map the shared user data)" >&2
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
        exec "${norandom[@]+"${norandom[@]}"}" "$loader" "$@"
        ;;
esac
