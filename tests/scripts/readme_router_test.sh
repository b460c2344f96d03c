#!/usr/bin/env bash
# Runs the README's "Running it against your own router" commands exactly as
# written, in a scratch directory where build/ is the given build and
# examples/ the repository's, and checks the exit status line, the report
# lines and that the router and the responder it starts are stopped. They
# use port 4222: when something else listens there the test is skipped
# (exit 77), not passed.
#   readme_router_test.sh <repository root> <build dir>
set -uo pipefail
root=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-readme-router.XXXXXX")
bash_pid=""
seen=()   # every process the commands started: "pid command line"
fails=0
fail() {
    echo "FAIL: $*" >&2
    fails=$((fails + 1))
}

# Records the children of the shell that runs the commands (the router, the
# responder, XoMQSender, the waits), so that each can be stopped by its PID.
record_children() {
    local pid cmd
    for pid in $(pgrep -P "$bash_pid" 2>/dev/null); do
        cmd=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null)
        [[ -n "$cmd" ]] || continue
        [[ " ${seen[*]} " == *" $pid $cmd|"* ]] || seen+=("$pid $cmd|")
    done
}
# still_running "pid command line|": true while that very process lives.
still_running() {
    local entry=${1%|} pid=${1%% *} cmd
    cmd=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null)
    [[ -n "$cmd" && "$cmd" == "${entry#* }" ]]
}
cleanup() {
    local entry
    if [[ -n "$bash_pid" ]] && kill -0 "$bash_pid" 2>/dev/null; then
        record_children
        kill -TERM "$bash_pid" 2>/dev/null
    fi
    for entry in "${seen[@]+"${seen[@]}"}"; do
        still_running "$entry" && kill -TERM "${entry%% *}" 2>/dev/null
    done
    [[ -n "$bash_pid" ]] && wait "$bash_pid" 2>/dev/null
    if [[ $fails -eq 0 ]]; then
        rm -rf "$work"
    else
        echo "files kept in $work" >&2
    fi
}
trap cleanup EXIT

if (echo >/dev/tcp/127.0.0.1/4222) 2>/dev/null; then
    echo "SKIP: something listens on 127.0.0.1:4222, the port the README's commands use"
    exit 77
fi

# The second code block of the section: the one that starts the router.
awk '/^## Running it against your own router/ { in_section = 1; next }
     in_section && /^## / { exit }
     in_section && /^```sh$/ { block = 1; next }
     block && /^```$/ { if (found) exit; block = 0; next }
     block { lines = lines $0 "\n"; if ($0 ~ /nats-server/) found = 1 }
     found && !block { exit }
     END { if (found) printf "%s", lines }' "$root/README.md" >"$work/commands.sh"
grep -q "xomq-responder" "$work/commands.sh" || {
    fail "no block with nats-server and xomq-responder in the README's section"
    exit 1
}
ln -s "$build" "$work/build"
ln -s "$root/examples" "$work/examples"

(cd "$work" && exec bash commands.sh) >"$work/out" 2>&1 &
bash_pid=$!
for ((i = 0; i < 600; i++)); do
    record_children
    kill -0 "$bash_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$bash_pid" 2>/dev/null; then
    fail "the commands still ran after 60 s"
else
    wait "$bash_pid"
    rc=$?
    bash_pid=""
    [[ $rc -eq 0 ]] || fail "the commands ended with $rc"
fi
cat "$work/out"

grep -qx "exit status 0" "$work/out" || fail "no line 'exit status 0'"
grep -qE "INFO +10000 messages sent for [0-9]+ microseconds$" "$work/out" || fail "no count line"
grep -qE "INFO +So it is [0-9.]+ messages/sec$" "$work/out" || fail "no rate line"
grep -qE "INFO +or [0-9.]+ microseconds for 1 message$" "$work/out" || fail "no time per message line"
[[ "${seen[*]}" == *"nats-server -a 127.0.0.1 -p 4222 "* ]] || fail "no router on 4222 was started"
[[ "${seen[*]}" == *"xomq-responder --server 127.0.0.1:4222 "* ]] || fail "no responder was started"
# The commands end by stopping the router and the responder by PID.
for entry in "${seen[@]+"${seen[@]}"}"; do
    for ((i = 0; i < 50; i++)); do
        still_running "$entry" || break
        sleep 0.1
    done
    still_running "$entry" && fail "still running after the commands: ${entry%|}"
done

if [[ $fails -ne 0 ]]; then
    exit 1
fi
echo "README router commands: all checks passed"
