# Process bookkeeping for the scripts: everything a script starts is recorded
# with a name and stopped by its PID on every way out (SIGTERM, then SIGKILL),
# finding nats-server (find_nats_server, from nats-server.sh), starting it on
# a loopback port of the kernel's choosing, and bounded waits
# for a ready line. Source it; the caller sets "tag" (the prefix of its
# messages) and, before start_router, "work" (its scratch directory).
# shellcheck shell=bash
# shellcheck disable=SC2154  # tag and work come from the caller

# find_nats_server
# shellcheck source=scripts/lib/nats-server.sh
source "$(dirname "${BASH_SOURCE[0]}")/nats-server.sh"

say() { echo "$tag: $*"; }
die() {
    echo "$tag: $*" >&2
    exit 1
}

pids=()   # started by us and not yet reaped, in start order
names=()
runner=() # prefix of every command started here, e.g. (taskset -c 0)

track_pid() { # pid name: ours to stop from now on
    pids+=("$1")
    names+=("$2")
}

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

stop_all() { # the last started first
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

# wait_for_text file text pid: true once the file holds text; false when the
# process pid ended first or after 10 s.
wait_for_text() {
    local file=$1 text=$2 pid=$3 i
    for ((i = 0; i < 100; i++)); do
        grep -q "$text" "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    # It may have written the text right before it ended.
    grep -q "$text" "$file" 2>/dev/null
}

# start_router nats-server: starts it on 127.0.0.1 and a port of the kernel's
# choosing (-p -1, never the 4222 a system service may hold; the server
# writes the port to a ports file once it listens). Sets router_port and
# router_pid; its output goes to $work/nats-server.log.
start_router() {
    local nats=$1 i
    "${runner[@]+"${runner[@]}"}" "$nats" -a 127.0.0.1 -p -1 --ports_file_dir "$work" \
        >"$work/nats-server.log" 2>&1 &
    router_pid=$!
    track_pid "$router_pid" nats-server
    router_port=""
    for ((i = 0; i < 100; i++)); do
        if [[ -f "$work/nats-server_$router_pid.ports" ]]; then
            router_port=$(sed -n 's|.*"nats://127\.0\.0\.1:\([0-9][0-9]*\)".*|\1|p' \
                "$work/nats-server_$router_pid.ports")
            [[ -n "$router_port" ]] && break
        fi
        kill -0 "$router_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -z "$router_port" ]]; then
        cat "$work/nats-server.log" >&2 || true
        die "nats-server did not start"
    fi
}
