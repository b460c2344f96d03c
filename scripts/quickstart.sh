#!/usr/bin/env bash
# Quick start: one real XoMQSender benchmark on this machine.
#   scripts/quickstart.sh [amount]     (amount: number of requests, default 10000)
# Installs what is missing (scripts/install-deps.sh), builds a Release build in
# build-quickstart/, starts nats-server on a free loopback port and the
# xomq-responder service, runs XoMQSender with the settings of
# examples/xomq.ini pointed at them (an INI file written below), shows the
# report lines of the log and XoMQSender's exit code, and stops what it
# started, also on Ctrl-C or failure. The script's own exit status is
# XoMQSender's (2 for a bad amount).
# Environment:
#   XO_QUICKSTART_BIN_DIR=<build dir>  use the binaries of that existing build;
#                                      nothing is installed or built then
#   XO_QUICKSTART_KEEP=1               keep the work directory (INI, logs)
#   NATS_SERVER=<path>                 the nats-server to start (default: the
#                                      one on the PATH, else /usr/sbin, else
#                                      /usr/local/sbin)
#   TMPDIR=<dir>                       where the work directory goes (default /tmp)
set -euo pipefail

# What this script starts is stopped by PID on every way out (make_work).
# shellcheck source=scripts/lib/processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/processes.sh"
tag=quickstart

options_rest=1
parse_options "$@"
amount=${rest[0]:-10000}
if [[ ${#rest[@]} -gt 1 ]] || ! is_positive "$amount"; then usage; fi

make_work quickstart
keep_work=${XO_QUICKSTART_KEEP:-0}
[[ "$keep_work" == 0 ]] || keep_work=1
# The responder's count, which it prints when it stops.
# shellcheck disable=SC2317  # called by end_script
at_end() {
    grep -h "xomq-responder: answered" "$work/responder.out" 2>/dev/null || true
}

# ---- install and build -------------------------------------------------------
if [[ -n "${XO_QUICKSTART_BIN_DIR:-}" ]]; then
    bin=$(cd "$XO_QUICKSTART_BIN_DIR" && pwd)
    say "using the build in $bin"
else
    "$root/scripts/install-deps.sh" || die "missing packages (see above)"
    bin="$root/build-quickstart"
    say "building into $bin"
    cmake -S "$root" -B "$bin" -DCMAKE_BUILD_TYPE=Release -DXO_BUILD_TESTS=OFF >/dev/null
    cmake --build "$bin" -j"$XO_JOBS" --target XoMQSender xomq-responder
fi
sender="$bin/src/sender/XoMQSender"
responder="$bin/tools/responder/xomq-responder"
[[ -x "$sender" ]] || die "no XoMQSender in $bin"
[[ -x "$responder" ]] || die "no xomq-responder in $bin"
nats=$(find_nats_server) ||
    die "nats-server not found (install the Debian package nats-server; NATS_SERVER, when set, must name it)"

# ---- the router: nats-server on a port of the kernel's choosing --------------
start_router "$nats"
port=$router_port
say "nats-server listening on 127.0.0.1:$port (pid $router_pid)"

# ---- the INI: the settings of examples/xomq.ini, pointed at this router ------
# and logging to a file in the work directory.
service=bench
log="$work/xomq.log"
ini="$work/xomq.ini"
cat >"$ini" <<EOF
; XoMQSender, written by scripts/quickstart.sh (the keys: examples/xomq.ini).
[options:ap]
sendtimeout = 10000
toServiceName = $service
sendAmount = $amount

[options:mq]
host = 127.0.0.1
port = $port
timeout = 3000
timeoutToAllReconnectingTriing = 10000
appname = XoMQSender

[log]
file = $log
append = 0
level = info
silence = XoMQSendMsg
silenceTags =
flush = 0
EOF

# ---- the service -------------------------------------------------------------
"$responder" --server "nats://127.0.0.1:$port" --service "$service" \
    >"$work/responder.out" 2>"$work/responder.err" &
responder_pid=$!
track_pid "$responder_pid" xomq-responder
if ! wait_for_text "$work/responder.out" "xomq-responder: ready" "$responder_pid"; then
    cat "$work/responder.err" >&2 || true
    die "xomq-responder did not get ready"
fi
say "xomq-responder ready for service '$service' (pid $responder_pid)"

# ---- the benchmark -----------------------------------------------------------
# In the background and waited for, so that Ctrl-C or SIGTERM reach the traps
# at once; the traps stop it with the rest.
"$sender" "$ini" &
sender_pid=$!
track_pid "$sender_pid" XoMQSender
say "XoMQSender started with $amount requests (pid $sender_pid)"
set +e
wait "$sender_pid"
rc=$?
set -e
# Reaped: its PID is no longer ours to signal.
forget_pid "$sender_pid"
echo
say "report lines of $log:"
grep -E "messages sent for|messages/sec|microseconds for 1 message|Total time is 0|failed|Failed" \
    "$log" 2>/dev/null | tail -n 20 || true
say "XoMQSender exit code: $rc"
if [[ $rc -eq 0 ]] && ! grep -qE "messages sent for|Total time is 0" "$log" 2>/dev/null; then
    die "XoMQSender ended with 0 but its log holds no report"
fi
exit "$rc"
