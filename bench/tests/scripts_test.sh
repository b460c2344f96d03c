#!/usr/bin/env bash
# The benchmark scripts on an existing build (nothing is built): a short
# comparison gives a rate for every path and a complete table; SIGTERM
# half-way leaves nothing running; bad arguments are refused; the memory
# and micro scripts run in their quick forms.
#   bench/tests/scripts_test.sh <build dir>
set -euo pipefail
build=$(cd "$1" && pwd)
bench="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-scripts-test.XXXXXX")
script_pid=""
cleanup() {
    if [[ -n "$script_pid" ]] && kill -0 "$script_pid" 2>/dev/null; then
        kill -TERM "$script_pid" 2>/dev/null || true
        wait "$script_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fails=0
fail() {
    echo "FAIL: $*" >&2
    fails=$((fails + 1))
}

# Nothing that was started for the router on this port may remain.
leftovers() { # port
    pgrep -f -a "127\.0\.0\.1:$1( |$)" || true
}

# ---- a short comparison ---------------------------------------------------
rc=0
timeout 120 "$bench/compare.sh" --no-build --build-dir "$build" --rounds 2 --count 200 --smoke \
    --out "$work/out" >"$work/compare.out" 2>&1 || rc=$?
[[ $rc -eq 0 ]] || fail "compare.sh --smoke ended with $rc: $(tail -n 5 "$work/compare.out")"
port=$(sed -n 's/.*nats-server on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/compare.out")
[[ -n "$port" ]] || fail "compare.sh did not name the router's port"
for path in XoMQSender requester tcp-pingpong; do
    n=$(grep -c "^$path [0-9]" "$work/out/results.txt" 2>/dev/null || true)
    [[ "$n" == 2 ]] || fail "$path: $n results instead of 2"
done
rows=$(grep -c '^| .* | [0-9]* | [0-9]* | [0-9]* | [0-9.]* | 2 |$' "$work/out/table.md" || true)
[[ "$rows" == 3 ]] || fail "the table has $rows complete path rows: $(cat "$work/out/table.md")"
grep -q "^target: XoMQSender >= 1.1 x .* \(PASS\|FAIL\)$" "$work/compare.out" ||
    fail "no target line"
grep -q "XoMQSender / plain libnats requester | [0-9]" "$work/out/table.md" || fail "no ratio"
[[ -z "$port" || -z "$(leftovers "$port")" ]] || fail "left running: $(leftovers "$port")"

# ---- SIGTERM half-way -----------------------------------------------------
"$bench/compare.sh" --no-build --build-dir "$build" --rounds 50 --count 2000 \
    --out "$work/out2" >"$work/term.out" 2>&1 &
script_pid=$!
for ((i = 0; i < 300; i++)); do
    grep -q "round 1" "$work/term.out" 2>/dev/null && break
    sleep 0.1
done
grep -q "round 1" "$work/term.out" || fail "the long comparison did not get going"
port=$(sed -n 's/.*nats-server on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/term.out")
kill -TERM "$script_pid"
rc=0
for ((i = 0; i < 150; i++)); do
    kill -0 "$script_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$script_pid" 2>/dev/null; then
    fail "compare.sh still runs 15 s after SIGTERM"
else
    wait "$script_pid" || rc=$?
    [[ $rc -eq 143 ]] || fail "compare.sh ended with $rc after SIGTERM, not 143"
fi
script_pid=""
[[ -z "$port" || -z "$(leftovers "$port")" ]] || fail "left running after SIGTERM: $(leftovers "$port")"

# ---- bad arguments ----------------------------------------------------------
for bad in "--rounds 0" "--count x" "--bogus" "--out"; do
    rc=0
    # shellcheck disable=SC2086  # the words are the arguments
    "$bench/compare.sh" --no-build --build-dir "$build" $bad >/dev/null 2>&1 || rc=$?
    [[ $rc -eq 2 ]] || fail "compare.sh $bad ended with $rc, not 2"
done

# ---- memory and micro, quick ------------------------------------------------
rc=0
timeout 120 "$bench/memory.sh" --no-build --build-dir "$build" --count 2000 --short 200 --smoke \
    >"$work/memory.out" 2>&1 || rc=$?
[[ $rc -eq 0 ]] || fail "memory.sh --smoke ended with $rc: $(tail -n 5 "$work/memory.out")"
[[ $(grep -c "^target: .* \(PASS\|FAIL\)$" "$work/memory.out") -ge 2 ]] ||
    fail "memory.sh printed no targets"
grep -q "^| long | 2000 | [0-9][0-9]* kB |$" "$work/memory.out" || fail "memory.sh: no peak of the long run"

rc=0
timeout 120 "$bench/run-micro.sh" --no-build --build-dir "$build" --quick \
    >"$work/micro.out" 2>&1 || rc=$?
[[ $rc -eq 0 ]] || fail "run-micro.sh --quick ended with $rc: $(tail -n 5 "$work/micro.out")"
[[ $(grep -c "^target: .* ns: [0-9.]* ns (one run) \(PASS\|FAIL\)$" "$work/micro.out") -eq 2 ]] ||
    fail "run-micro.sh did not print both targets: $(tail -n 3 "$work/micro.out")"

if [[ $fails -ne 0 ]]; then
    exit 1
fi
echo "benchmark scripts: all checks passed"
