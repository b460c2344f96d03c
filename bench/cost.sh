#!/usr/bin/env bash
# shellcheck disable=SC2154  # router_pid and the options' variables come from the libraries
# Where a round trip's work goes: for each pair of client and service, one
# run of N requests against a fresh nats-server on 127.0.0.1, and per process
# (client, router, service) the CPU time and the context switches per
# request. The router's and the service's figures are the differences of
# /proc/<pid>/stat (utime + stime) and of the voluntary and involuntary
# switches summed over /proc/<pid>/task/*/status across the client's run;
# the client's come from GNU time (all its threads, start-up included).
#
#   bench/cost.sh [--count N] [--pin] [--spin-us N] [--build-dir DIR] [--no-build]
#
#   --count N        requests per run (default 20000)
#   --pin            every process on CPU 0 (taskset -c 0)
#   --spin-us N      the spin window of the spinning pairs (default 200; 0
#                    leaves them out)
#   --build-dir DIR  the Release build to use (default: build-bench)
#   --no-build       use the build directory as it is
#
# Pairs: XoMQSender with xomq-responder; the same with both spinning
# (spin_us, --spin-us) and with XoMQSender alone spinning, which shows the
# CPU a spin window burns; nats-requester with its own inbox (PublishRequest
# + NextMsg) with nats-echo, callback and --sync; and nats-requester with
# natsConnection_RequestMsg with nats-echo.
# Exit status: 0 done, 1 a run failed, 2 bad arguments.
set -euo pipefail

# shellcheck source=bench/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
tag=cost

option --count count positive 20000
option --pin pin flag
option --spin-us spin_us count 200
build_options
parse_options "$@"
((10#$spin_us <= 100000)) || usage
spin_us=$((10#$spin_us))
[[ -x /usr/bin/time ]] || die "GNU time is missing (apt-get install time)"
command -v pgrep >/dev/null || die "pgrep not found (apt-get install procps)"

make_work cost

find_build XoMQSender xomq-responder nats-requester nats-echo
nats=$(find_nats_server) || die "nats-server not found (apt-get install nats-server)"
if [[ $pin -eq 1 ]]; then
    command -v taskset >/dev/null || die "--pin needs taskset (util-linux)"
    runner=(taskset -c 0)
fi
# A run may take count/100 s on a very slow day, plus start-up.
limit=$((count / 100 + 60))
ticks=$(getconf CLK_TCK)

# cpu_us pid: utime + stime of the whole process, in microseconds.
cpu_us() {
    awk -v t="$ticks" '{ sub(/^.*\) /, ""); print ($12 + $13) * 1000000 / t }' "/proc/$1/stat"
}
# switches pid: "voluntary involuntary", summed over its threads.
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^voluntary_ctxt_switches/ { v += $2 } /^nonvoluntary_ctxt_switches/ { n += $2 }
             END { print v + 0, n + 0 }'
}

printf '| pair | process | CPU µs/request | voluntary switches/request | involuntary/request |\n'
printf '|---|---|---:|---:|---:|\n'

# measure name service-command... -- client-command...; XoMQSender's INI
# (@INI@) has the spin window $sender_spin.
sender_spin=0
measure() {
    local name=$1 service=() client=() pid r0 r1 s0 s1 rs0 rs1 ss0 ss1
    shift
    while [[ $1 != -- ]]; do service+=("$1"); shift; done
    shift
    client=("$@")
    start_router "$nats"
    "${runner[@]+"${runner[@]}"}" "${service[@]}" --server "127.0.0.1:$router_port" \
        --service bench >"$work/service.out" 2>"$work/service.err" &
    pid=$!
    track_pid "$pid" service
    wait_for_text "$work/service.out" "ready" "$pid" || die "$name: the service did not start"
    r0=$(cpu_us "$router_pid"); rs0=$(switches "$router_pid")
    s0=$(cpu_us "$pid"); ss0=$(switches "$pid")
    write_ini "$work/sender.ini" bench "$count" "$work/sender.log" "$sender_spin"
    local cmd=()
    for a in "${client[@]}"; do
        cmd+=("${a//@INI@/$work/sender.ini}")
    done
    cmd=("${cmd[@]//@SERVER@/nats://127.0.0.1:$router_port}")
    # In the background, so that Ctrl-C and SIGTERM reach our traps at once;
    # the client is tracked by its own PID, GNU time's child.
    local tpid child rc=0 waited=0
    "${runner[@]+"${runner[@]}"}" /usr/bin/time -f "%U %S %w %c" -o "$work/time.txt" \
        "${cmd[@]}" >"$work/client.out" 2>&1 &
    tpid=$!
    track_pid "$tpid" time
    child=$(child_of "$tpid")
    [[ -n "$child" ]] && track_pid "$child" client
    while kill -0 "$tpid" 2>/dev/null && ((waited < limit * 10)); do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$tpid" 2>/dev/null; then
        [[ -n "$child" ]] && stop_pid "$child" client
        rc=124
    fi
    wait "$tpid" || rc=$?
    [[ -n "$child" ]] && forget_pid "$child"
    forget_pid "$tpid"
    if [[ $rc -ne 0 ]]; then
        cat "$work/client.out" >&2
        die "$name: the client failed (exit status $rc)"
    fi
    r1=$(cpu_us "$router_pid"); rs1=$(switches "$router_pid")
    s1=$(cpu_us "$pid"); ss1=$(switches "$pid")
    read -r cu cs cw cc <"$work/time.txt"
    awk -v n="$count" -v name="$name" -v cu="$cu" -v cs="$cs" -v cw="$cw" -v cc="$cc" \
        -v r0="$r0" -v r1="$r1" -v rs0="$rs0" -v rs1="$rs1" \
        -v s0="$s0" -v s1="$s1" -v ss0="$ss0" -v ss1="$ss1" 'BEGIN {
        split(rs0, a, " "); split(rs1, b, " "); split(ss0, c, " "); split(ss1, d, " ")
        printf "| %s | client | %.1f | %.2f | %.2f |\n", name, (cu + cs) * 1e6 / n, cw / n, cc / n
        printf "| %s | router | %.1f | %.2f | %.2f |\n", name, (r1 - r0) / n, (b[1] - a[1]) / n, (b[2] - a[2]) / n
        printf "| %s | service | %.1f | %.2f | %.2f |\n", name, (s1 - s0) / n, (d[1] - c[1]) / n, (d[2] - c[2]) / n
    }'
    stop_all
}

measure "XoMQSender + xomq-responder" "$bin/tools/responder/xomq-responder" -- \
    "$bin/src/sender/XoMQSender" @INI@
if ((spin_us > 0)); then
    sender_spin=$spin_us
    measure "XoMQSender + xomq-responder, both spinning ($spin_us us)" \
        "$bin/tools/responder/xomq-responder" --spin-us "$spin_us" -- \
        "$bin/src/sender/XoMQSender" @INI@
    measure "XoMQSender spinning ($spin_us us) + xomq-responder" \
        "$bin/tools/responder/xomq-responder" -- "$bin/src/sender/XoMQSender" @INI@
    sender_spin=0
fi
measure "inbox requester + nats-echo" "$bin/bench/nats-echo" -- \
    "$bin/bench/nats-requester" --server @SERVER@ --service bench --count "$count" \
    --reply-subscription
measure "inbox requester + nats-echo --sync" "$bin/bench/nats-echo" --sync -- \
    "$bin/bench/nats-requester" --server @SERVER@ --service bench --count "$count" \
    --reply-subscription
measure "RequestMsg requester + nats-echo" "$bin/bench/nats-echo" -- \
    "$bin/bench/nats-requester" --server @SERVER@ --service bench --count "$count"
