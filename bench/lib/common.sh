# Shared by the benchmark scripts: process bookkeeping and the router (from
# scripts/lib/processes.sh), bounded runs, the responder on loopback, and the
# INI of an XoMQSender run. Source it; the caller sets
# "tag" (the prefix of messages) and "work" (its scratch directory).
# shellcheck shell=bash
# shellcheck disable=SC2154,SC2034  # tag and work come from the caller, bin is for it

# shellcheck source=scripts/lib/processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/processes.sh"

# make_work name: creates the scratch directory $work, and makes every way
# out of the script stop what it started (by PID) and remove $work; Ctrl-C
# ends it with 130, SIGTERM with 143.
make_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-$1.XXXXXX")
    trap end_script EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}
# shellcheck disable=SC2317  # called from the EXIT trap
end_script() {
    local rc=$?
    trap - EXIT INT TERM
    stop_all
    rm -rf "$work"
    exit "$rc"
}

# run_bounded seconds name outfile command...: runs the command in the
# background (so that signals reach our traps at once), waits at most the
# given seconds, and returns its exit status (124 when it ran too long).
run_bounded() {
    local limit=$1 name=$2 out=$3 pid rc i
    shift 3
    "${runner[@]+"${runner[@]}"}" "$@" >"$out" 2>&1 &
    pid=$!
    track_pid "$pid" "$name"
    for ((i = 0; i < limit * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "$tag: $name ran longer than $limit s, stopping it" >&2
        stop_pid "$pid" "$name"
        forget_pid "$pid"
        return 124
    fi
    rc=0
    wait "$pid" || rc=$?
    forget_pid "$pid"
    return "$rc"
}

# child_of pid: the PID of the process's child once it has one (within
# 5 s), or nothing; for the program GNU time runs, to be stopped by its own
# PID (stopping time would leave it running).
child_of() {
    local i child
    for ((i = 0; i < 500; i++)); do
        child=$(pgrep -P "$1" || true)
        [[ -n "$child" ]] && { echo "$child"; return 0; }
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.01
    done
}

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

# write_ini file service amount logfile: an XoMQSender configuration for
# the router started above; the per-request log line is switched off.
write_ini() {
    cat >"$1" <<EOT
[options:ap]
sendtimeout = 10000
toServiceName = $2
sendAmount = $3

[options:mq]
host = 127.0.0.1
port = $router_port
timeout = 3000
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

# find_build root build-dir no-build: makes sure the build directory holds
# the programs the scripts run (a Release build with the benchmarks), and
# sets bin.
find_build() {
    local root=$1 dir=$2 nobuild=$3
    shift 3
    if [[ "$nobuild" != 1 ]]; then
        if [[ ! -f "$dir/CMakeCache.txt" ]]; then
            say "configuring a Release build in $dir"
            cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DXO_BUILD_BENCH=ON \
                -DXO_BUILD_TESTS=OFF >"$work/cmake.log" 2>&1 || {
                cat "$work/cmake.log" >&2
                die "cmake failed"
            }
        fi
        cmake --build "$dir" -j2 --target "$@" >"$work/build.log" 2>&1 || {
            tail -n 40 "$work/build.log" >&2
            die "the build failed (see above)"
        }
    fi
    bin=$(cd "$dir" && pwd)
}
