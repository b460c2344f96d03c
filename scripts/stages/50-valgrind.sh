#!/usr/bin/env bash
# Short real benchmarks under valgrind: nats-server on a loopback port, the
# responder and XoMQSender (both under memcheck). Any invalid access,
# definite or indirect leak in either ends that process with 99 and fails
# the stage. No suppressions are needed: what stays reachable at exit
# (the library's never-destroyed configuration, log and runtime state) is
# not an error.
#   1. 300 plain requests: exit 0 and the report;
#   2. 200 requests with system error replies and unsolicited messages;
#   3. an unknown service: the resolve fails, exit 0x56 (86);
#   4. no router: one connect attempt fails, exit 0x52 (82).
set -euo pipefail
b="$XO_BUILD_ROOT/valgrind"
cmake -S "$XO_ROOT" -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_C_COMPILER=gcc -DXO_WERROR=ON -DXO_BUILD_TESTS=OFF >/dev/null
cmake --build "$b" -j"$XO_JOBS" --target XoMQSender xomq-responder

sender="$b/src/sender/XoMQSender"
responder="$b/tools/responder/xomq-responder"
# What this stage starts is stopped by its PID on every way out; the files
# of a failed run are kept for a look.
# shellcheck source=scripts/lib/processes.sh
source "$XO_ROOT/scripts/lib/processes.sh"
tag=valgrind
make_work valgrind
keep_work=1

# shellcheck disable=SC2054  # the commas belong to the option's value
memcheck=(valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect
          --error-exitcode=99 --track-fds=no)

# The router, on a port of its own choosing (also found in /usr/sbin when
# that is not on the PATH).
nats_server=$(find_nats_server) || die "nats-server not found"
start_router "$nats_server"
port=$router_port

# Starts the responder under memcheck with the given flags; sets $resp.
start_responder() {
    local name=$1
    shift
    "${memcheck[@]}" --log-file="$work/$name.vg" "$responder" --server "127.0.0.1:$port" \
        --service vg-echo "$@" >"$work/$name.out" 2>"$work/$name.err" &
    resp=$!
    track_pid "$resp" "xomq-responder ($name)"
    # Under memcheck it takes seconds to start.
    wait_for_text "$work/$name.out" "xomq-responder: ready" "$resp" 30 || {
        cat "$work/$name.out" "$work/$name.err" >&2 || true
        die "xomq-responder ($name) did not get ready"
    }
}

# Stops the responder and checks that memcheck found nothing.
stop_responder() {
    local name=$1 status=0
    kill -TERM "$resp"
    wait "$resp" || status=$?
    forget_pid "$resp"
    if [[ $status -ne 0 ]]; then
        echo "responder ($name): exit status $status" >&2
        cat "$work/$name.vg" >&2
        return 1
    fi
}

# Runs XoMQSender under memcheck with an INI for the given settings (and
# the further [options:ap] line in $extra) and checks its exit status.
run_sender() {
    local name=$1 expected=$2 service=$3 amount=$4 routerPort=$5 status=0
    cat >"$work/$name.ini" <<INI
[options:ap]
toServiceName = $service
sendAmount = $amount
sendtimeout = 20000
${extra:-}
[options:mq]
port = $routerPort
timeout = 5000
timeoutToAllReconnectingTriing = 0
[log]
file = $work/$name.log
append = 0
silence = XoMQSendMsg
INI
    "${memcheck[@]}" --log-file="$work/$name.vg" "$sender" "$work/$name.ini" \
        >"$work/$name.out" 2>"$work/$name.err" || status=$?
    if [[ $status -ne $expected ]]; then
        echo "XoMQSender ($name): exit status $status, expected $expected" >&2
        cat "$work/$name.vg" "$work/$name.log" >&2
        return 1
    fi
    echo "ok $name: exit status $status, memcheck clean"
}

start_responder plain
run_sender plain 0 vg-echo 300 "$port"
grep -q "^.* INFO  300 messages sent for " "$work/plain.log" || {
    echo "no report in plain.log" >&2
    exit 1
}
stop_responder plain

start_responder mixed --error-every 3 --unsolicited-every 5
extra="serviceStats = 1" run_sender mixed 0 vg-echo 200 "$port"
[[ $(grep -c "Failed to receive reply" "$work/mixed.log") -eq 66 ]] || {
    echo "expected 66 system error replies in mixed.log" >&2
    exit 1
}
grep -q "Service statistics: 1 instances counted 200 requests" "$work/mixed.log" || {
    echo "no service statistics in mixed.log" >&2
    exit 1
}
# The responder's endpoint as a NATS micro endpoint: plain requests with
# headers, replies with the service error headers.
run_sender micro 0 vg-echo/requests 60 "$port"
[[ $(grep -c "Failed to receive reply" "$work/micro.log") -eq 20 ]] || {
    echo "expected 20 service error replies in micro.log" >&2
    exit 1
}
stop_responder mixed

run_sender unknown-service 86 vg-nobody 10 "$port"

stop_pid "$router_pid" nats-server
forget_pid "$router_pid"
run_sender no-router 82 vg-echo 10 "$port"
keep_work=0
