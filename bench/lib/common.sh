# What the benchmark scripts share beyond scripts/lib (which it sources:
# messages, options, builds, processes, the router): the services on
# loopback, the INI of an XoMQSender run and the rate in its report. Source
# it; the caller sets "tag" (the prefix of messages) and "work" (its scratch
# directory).
# shellcheck shell=bash
# shellcheck disable=SC2154,SC2034  # tag and work come from the caller, bin is for it

# shellcheck source=scripts/lib/processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/processes.sh"

# start_service name ready-text service program [args...]: starts a
# service program (xomq-responder, nats-echo) at the router for the service
# and waits until it prints the ready text; service_pid is its PID.
start_service() {
    local name=$1 ready=$2 service=$3 program=$4 pid
    shift 4
    "${runner[@]+"${runner[@]}"}" "$program" "$@" --server "127.0.0.1:$router_port" \
        --service "$service" >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!
    service_pid=$pid
    track_pid "$pid" "$name"
    wait_for_text "$work/$name.out" "$ready" "$pid" && return 0
    cat "$work/$name.err" >&2 || true
    die "$name did not get ready"
}

# start_responder xomq-responder service: starts it at the router and waits
# until it is ready.
start_responder() {
    start_service xomq-responder "xomq-responder: ready" "$2" "$1"
}

# write_ini file service amount logfile [spin]: an XoMQSender configuration
# for the router started above; the per-request log line is switched off.
# With a spin window above 0 (microseconds), the router comes as a connect
# string with spin_us.
write_ini() {
    local router="host = 127.0.0.1
port = $router_port
timeout = 3000"
    if [[ ${5:-0} != 0 ]]; then
        router="connect = host = 127.0.0.1; port = $router_port; timeout = 3000; spin_us = $5"
    fi
    cat >"$1" <<EOT
[options:ap]
sendtimeout = 10000
toServiceName = $2
sendAmount = $3

[options:mq]
$router
timeoutToAllReconnectingTriing = 5000
appname = XoMQSender

[log]
file = $4
append = 0
level = info
silence = XoMQSendMsg
EOT
}

# sender_rate logfile: the messages/sec of XoMQSender's report, or nothing.
sender_rate() {
    sed -n 's/.*So it is \([0-9][0-9.]*\) messages\/sec.*/\1/p' "$1" 2>/dev/null | tail -n 1
}

# cpu_sleeps: how often the CPUs have gone to sleep since boot (cpuidle
# entries other than polling, summed over all CPUs); nothing where cpuidle
# is not there. Every sleep is a wake-up that somebody waits for later.
cpu_sleeps() {
    local state total=0 found=0
    for state in /sys/devices/system/cpu/cpu[0-9]*/cpuidle/state[0-9]*; do
        [[ -r $state/usage && -r $state/name && $(<"$state/name") != POLL ]] || continue
        total=$((total + $(<"$state/usage")))
        found=1
    done
    ((found == 0)) || echo "$total"
}
