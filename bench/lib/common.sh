# Shared by the benchmark scripts: process bookkeeping (everything started is
# stopped by its PID on every way out), the router and the responder on
# loopback, and the INI of an XoMQSender run. Source it; the caller sets
# "tag" (the prefix of messages) and "work" (its scratch directory).
# shellcheck shell=bash
# shellcheck disable=SC2154,SC2034  # tag and work come from the caller, bin is for it

say() { echo "$tag: $*"; }
die() {
    echo "$tag: $*" >&2
    exit 1
}

pids=()   # started by us and not yet reaped, in start order
names=()
runner=() # prefix of every command, e.g. (taskset -c 0)

stop_pid() { # pid name: SIGTERM, then SIGKILL after 5 s
    local pid=$1 name=$2 i
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "$tag: $name (pid $pid) did not stop, killing it" >&2
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

stop_all() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        stop_pid "${pids[i]}" "${names[i]}"
    done
    pids=()
    names=()
}

forget_pid() { # pid: it was reaped, it is no longer ours to signal
    local i keep_p=() keep_n=()
    for ((i = 0; i < ${#pids[@]}; i++)); do
        if [[ "${pids[i]}" != "$1" ]]; then
            keep_p+=("${pids[i]}")
            keep_n+=("${names[i]}")
        fi
    done
    pids=("${keep_p[@]+"${keep_p[@]}"}")
    names=("${keep_n[@]+"${keep_n[@]}"}")
}

# run_bounded seconds name outfile command...: runs the command in the
# background (so that signals reach our traps at once), waits at most the
# given seconds, and returns its exit status (124 when it ran too long).
run_bounded() {
    local limit=$1 name=$2 out=$3 pid rc i
    shift 3
    "${runner[@]+"${runner[@]}"}" "$@" >"$out" 2>&1 &
    pid=$!
    pids+=("$pid")
    names+=("$name")
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

# start_router nats-server: starts it on a port of the kernel's choosing
# and sets router_port.
start_router() {
    local nats=$1 pid i
    "${runner[@]+"${runner[@]}"}" "$nats" -a 127.0.0.1 -p -1 --ports_file_dir "$work" \
        >"$work/nats-server.log" 2>&1 &
    pid=$!
    pids+=("$pid")
    names+=(nats-server)
    router_port=""
    for ((i = 0; i < 100; i++)); do
        if [[ -f "$work/nats-server_$pid.ports" ]]; then
            router_port=$(sed -n 's|.*"nats://127\.0\.0\.1:\([0-9][0-9]*\)".*|\1|p' \
                "$work/nats-server_$pid.ports")
            [[ -n "$router_port" ]] && break
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -z "$router_port" ]]; then
        cat "$work/nats-server.log" >&2 || true
        die "nats-server did not start"
    fi
}

# start_responder xomq-responder service: starts it at the router and waits
# until it is ready.
start_responder() {
    local responder=$1 service=$2 pid i
    "${runner[@]+"${runner[@]}"}" "$responder" --server "127.0.0.1:$router_port" \
        --service "$service" >"$work/responder.out" 2>"$work/responder.err" &
    pid=$!
    pids+=("$pid")
    names+=(xomq-responder)
    for ((i = 0; i < 100; i++)); do
        grep -q "xomq-responder: ready" "$work/responder.out" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$work/responder.err" >&2 || true
    die "xomq-responder did not get ready"
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
