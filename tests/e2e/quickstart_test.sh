#!/usr/bin/env bash
# Runs scripts/quickstart.sh on the binaries of an existing build and checks
# what a user relies on: the report with the requested count, its exit code,
# a refused bad argument, and that nothing it started outlives it, also when
# it is stopped half-way with SIGTERM.
#   quickstart_test.sh <quickstart.sh> <build dir>
set -uo pipefail

script=$1
export XO_QUICKSTART_BIN_DIR=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-quickstart-test.XXXXXX")
bg_pid=""
failures=0

cleanup() {
    # Only the script started here, by its PID.
    if [[ -n "$bg_pid" ]] && kill -0 "$bg_pid" 2>/dev/null; then
        kill -KILL "$bg_pid" 2>/dev/null
        wait "$bg_pid" 2>/dev/null
    fi
    if [[ $failures -eq 0 ]]; then
        rm -rf "$work"
    else
        echo "files kept in $work"
    fi
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The PIDs the script announced ("... (pid N)").
announced_pids() { sed -n 's/^quickstart: .*(pid \([0-9][0-9]*\))$/\1/p' "$1"; }

expect_all_gone() {  # output-file what
    local pid n=0
    for pid in $(announced_pids "$1"); do
        n=$((n + 1))
        if kill -0 "$pid" 2>/dev/null; then
            fail "$2: pid $pid is still running: $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
            # Started on our behalf and left behind: stop it by its PID.
            kill -TERM "$pid" 2>/dev/null
        fi
    done
    [[ $n -ge $3 ]] || fail "$2: $n PIDs announced, expected at least $3"
}

# 1. A short benchmark: exit code 0, the report with the requested count.
timeout -k 10 100 bash "$script" 300 >"$work/run.out" 2>&1
rc=$?
cat "$work/run.out"
[[ $rc -eq 0 ]] || fail "quickstart ended with $rc"
grep -qE "(^| )300 messages sent for [0-9]+ microseconds" "$work/run.out" ||
    fail "no report line for 300 messages"
grep -qE "So it is [0-9.]+ messages/sec" "$work/run.out" || fail "no rate line"
grep -qE "or [0-9.]+ microseconds for 1 message" "$work/run.out" || fail "no time per message line"
grep -q "XoMQSender exit code: 0" "$work/run.out" || fail "the exit code is not shown"
grep -q "xomq-responder: answered 300 requests" "$work/run.out" ||
    fail "the responder did not answer exactly 300 requests"
if grep -q "nats-server listening on 127.0.0.1:4222 " "$work/run.out"; then
    fail "nats-server was put on 4222"
fi
expect_all_gone "$work/run.out" "after a run" 3

# 2. A bad amount is refused before anything starts.
timeout -k 10 30 bash "$script" 12abc >"$work/bad.out" 2>&1
rc=$?
[[ $rc -eq 2 ]] || fail "a bad amount gave $rc, expected 2"
grep -q "usage:" "$work/bad.out" || fail "a bad amount printed no usage line"
[[ -z "$(announced_pids "$work/bad.out")" ]] || fail "a bad amount started something"

# 3. SIGTERM while the benchmark runs: the script ends and stops everything.
bash "$script" 100000000 >"$work/term.out" 2>&1 &
bg_pid=$!
for ((i = 0; i < 300; i++)); do
    grep -q "XoMQSender started" "$work/term.out" && break
    kill -0 "$bg_pid" 2>/dev/null || break
    sleep 0.1
done
if grep -q "XoMQSender started" "$work/term.out"; then
    sleep 0.3
    kill -TERM "$bg_pid"
    for ((i = 0; i < 200; i++)); do
        kill -0 "$bg_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$bg_pid" 2>/dev/null; then
        fail "quickstart did not end within 20 s of SIGTERM"
    fi
    wait "$bg_pid"
    rc=$?
    bg_pid=""
    [[ $rc -ne 0 ]] || fail "quickstart stopped by SIGTERM ended with 0"
    expect_all_gone "$work/term.out" "after SIGTERM" 3
else
    cat "$work/term.out"
    fail "the long run did not start the benchmark"
fi

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "quickstart: all checks passed"
