# Process handling for the scripts: everything a script starts is recorded
# with a name and stopped by its PID on every way out (SIGTERM, then SIGKILL),
# its scratch directory with the traps that do it, bounded runs and waits,
# finding nats-server (find_nats_server, from nats-server.sh) and starting it
# on a loopback port of the kernel's choosing. Source it (it sources
# common.sh); the caller sets "tag" (the prefix of its messages) and, before
# start_router, "work" (its scratch directory, see make_work).
# shellcheck shell=bash
# shellcheck disable=SC2154  # tag and work come from the caller

# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=scripts/lib/nats-server.sh
source "$(dirname "${BASH_SOURCE[0]}")/nats-server.sh"

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

# wait_for_text file text pid [seconds]: true once the file holds text; false
# when the process pid ended first or after the seconds (default 10).
wait_for_text() {
    local file=$1 text=$2 pid=$3 limit=${4:-10} i
    for ((i = 0; i < limit * 10; i++)); do
        grep -q "$text" "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    # It may have written the text right before it ended.
    grep -q "$text" "$file" 2>/dev/null
}

# make_work name: creates the scratch directory $work, and makes every way
# out of the script stop what it started (by PID, the last started first),
# then call the script's function at_end when it has one, then remove $work,
# or keep it and say so when keep_work is 1 by then. Ctrl-C ends the script
# with 130, SIGTERM with 143; the script's exit status stays as it was.
keep_work=0
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
    if declare -F at_end >/dev/null; then at_end || true; fi
    if [[ "$keep_work" == 1 ]]; then
        say "files kept in $work"
    else
        rm -rf "$work"
    fi
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
