#!/usr/bin/env bash
# The benchmark scripts on an existing build (nothing is built): a short
# comparison gives a rate for every path and a complete table, and so does a
# small scaling run; SIGTERM half-way through either ends it at once and
# leaves nothing running; bad arguments are refused; the memory and micro
# scripts run in their quick forms; the peak memory.sh reports is
# the whole process's, also when it comes at the very end of a short run, and
# agrees with XoMQSender's own, measured here with GNU time.
#   bench/tests/scripts_test.sh <build dir>
set -euo pipefail
build=$(cd "$1" && pwd)
bench="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-scripts-test.XXXXXX")
# shellcheck disable=SC2034  # the prefix of common.sh's messages
tag=scripts-test
# start_router, start_responder, write_ini, and stop_all for what they start.
# shellcheck source=bench/lib/common.sh
source "$bench/lib/common.sh"
script_pid=""
cleanup() {
    if [[ -n "$script_pid" ]] && kill -0 "$script_pid" 2>/dev/null; then
        kill -TERM "$script_pid" 2>/dev/null || true
        wait "$script_pid" 2>/dev/null || true
    fi
    stop_all
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
for path in XoMQSender pair pair-sync requester tcp-pingpong spin spin-sender; do
    n=$(grep -c "^$path [0-9]" "$work/out/results.txt" 2>/dev/null || true)
    [[ "$n" == 2 ]] || fail "$path: $n results instead of 2"
done
rows=$(grep -c '^| .* | [0-9]* | [0-9]* | [0-9]* | [0-9.]* | \([0-9.]*\|n/a\) | 2 |$' "$work/out/table.md" || true)
[[ "$rows" == 7 ]] || fail "the table has $rows complete path rows: $(cat "$work/out/table.md")"
[[ $(grep -c "^target: XoMQSender.* >= 1\.[125] x .* [0-9.]*x \(PASS\|FAIL\)$" "$work/compare.out") == 3 ]] ||
    fail "not the three target lines"
grep -q "XoMQSender / plain libnats requester | [0-9]" "$work/out/table.md" || fail "no ratio"
[[ -z "$port" || -z "$(leftovers "$port")" ]] || fail "left running: $(leftovers "$port")"
# The chart is claimed exactly when it was drawn; without gnuplot the script
# says why there is none.
if command -v gnuplot >/dev/null; then
    grep -q "^compare: chart: $work/out/chart.png$" "$work/compare.out" || fail "no chart claimed"
    [[ "$(head -c 4 "$work/out/chart.png" 2>/dev/null | tail -c 3)" == PNG ]] || fail "no PNG chart"
fi
rc=0
XO_GNUPLOT=/nonexistent/gnuplot timeout 120 "$bench/compare.sh" --no-build --build-dir "$build" \
    --rounds 1 --count 50 --smoke --out "$work/out" >"$work/nochart.out" 2>&1 || rc=$?
[[ $rc -eq 0 ]] || fail "compare.sh without gnuplot ended with $rc: $(tail -n 5 "$work/nochart.out")"
grep -q "^compare: no chart: .*gnuplot is not installed (apt-get install gnuplot-nox)$" \
    "$work/nochart.out" || fail "compare.sh without gnuplot did not say why there is no chart"
grep -qE "^compare: chart:|numbers and chart" "$work/nochart.out" && fail "compare.sh without gnuplot claimed a chart"
[[ -e "$work/out/chart.png" ]] && fail "compare.sh without gnuplot left the earlier chart"

# ---- SIGTERM half-way -----------------------------------------------------
# A comparison, and a scaling run in the middle of a long fleet, end within
# 10 s of SIGTERM with 143, and nothing they started runs on: everything
# they start has their TMPDIR, or the router's port, in its command line.
for case in "compare.sh|round 1|--rounds 50 --count 2000" \
    "scaling.sh|nats-server on|--senders 2 --responders 1 --count 200000 --rounds 1"; do
    IFS='|' read -r script ready args <<<"$case"
    mkdir -p "$work/tmp-$script"
    # shellcheck disable=SC2086  # the words are the arguments
    TMPDIR="$work/tmp-$script" "$bench/$script" --no-build --build-dir "$build" $args \
        --out "$work/out-$script" >"$work/term.out" 2>&1 &
    script_pid=$!
    for ((i = 0; i < 300; i++)); do
        grep -q "$ready" "$work/term.out" 2>/dev/null && break
        sleep 0.1
    done
    grep -q "$ready" "$work/term.out" || fail "$script did not get going: $(cat "$work/term.out")"
    port=$(sed -n 's/.*nats-server on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/term.out")
    sleep 2 # well into the run: for scaling.sh, in its first fleet
    kill -TERM "$script_pid"
    rc=0
    for ((i = 0; i < 100; i++)); do
        kill -0 "$script_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$script_pid" 2>/dev/null; then
        fail "$script still runs 10 s after SIGTERM"
    else
        wait "$script_pid" || rc=$?
        [[ $rc -eq 143 ]] || fail "$script ended with $rc after SIGTERM, not 143"
    fi
    script_pid=""
    [[ -z "$port" || -z "$(leftovers "$port")" ]] ||
        fail "$script left running after SIGTERM: $(leftovers "$port")"
    left=$(pgrep -f -a "$work/tmp-$script" || true)
    [[ -z "$left" ]] || fail "$script left running after SIGTERM: $left"
done

# ---- bad arguments ----------------------------------------------------------
for bad in "--rounds 0" "--count x" "--bogus" "--out" "--spin-us 100001"; do
    rc=0
    # shellcheck disable=SC2086  # the words are the arguments
    "$bench/compare.sh" --no-build --build-dir "$build" $bad >/dev/null 2>&1 || rc=$?
    [[ $rc -eq 2 ]] || fail "compare.sh $bad ended with $rc, not 2"
done

# ---- a small scaling run -----------------------------------------------------
# Both fleets of each size complete, the table has a row per size with a
# ratio, and the target is judged.
rc=0
timeout 180 "$bench/scaling.sh" --no-build --build-dir "$build" --senders "1 2" --responders 2 \
    --count 200 --rounds 1 --out "$work/scaling" >"$work/scaling.out" 2>&1 || rc=$?
[[ $rc -eq 0 ]] || fail "scaling.sh ended with $rc: $(tail -n 8 "$work/scaling.out")"
for n in 1 2; do
    grep -q "^| $n | 2 | [0-9]* | [0-9]* | [0-9.]* | [0-9.]* | [0-9.]* |$" "$work/scaling/table.md" ||
        fail "scaling.sh: no complete row for $n senders: $(cat "$work/scaling/table.md")"
done
grep -q "^target: XoMQSender fleet >= 1.2 x .* \(PASS\|FAIL\)$" "$work/scaling.out" ||
    fail "scaling.sh printed no target"

# ---- memory and micro, quick ------------------------------------------------
# A stand-in for XoMQSender that touches 16 MiB (dd's buffer) only in its last
# moment, after memory.sh's first sample and before its second: the peak
# reported must still hold them, for it is the process's own maximum.
mkdir -p "$work/late/src/sender" "$work/late/tools/responder"
ln -s "$build/tools/responder/xomq-responder" "$work/late/tools/responder/xomq-responder"
cat >"$work/late/src/sender/XoMQSender" <<'EOT'
#!/usr/bin/env bash
sed -n 's/^file = //p' "$1" | { read -r log; echo "So it is 1000 messages/sec" >"$log"; }
sleep 0.08
exec dd if=/dev/zero of=/dev/null bs=16M count=1 status=none
EOT
chmod +x "$work/late/src/sender/XoMQSender"
rc=0
timeout 60 "$bench/memory.sh" --no-build --build-dir "$work/late" --count 1 --short 1 \
    >"$work/late.out" 2>&1 || rc=$?
[[ $rc -eq 0 ]] || fail "memory.sh with a late peak ended with $rc: $(tail -n 5 "$work/late.out")"
for row in short long; do
    kb=$(sed -n "s/^| $row | 1 | \([0-9]*\) kB |$/\1/p" "$work/late.out")
    ((${kb:-0} >= 16384)) || fail "memory.sh missed a peak at the end: $row run ${kb:-missing} kB"
done

# The reference: XoMQSender's maximum resident size, as GNU time reports it,
# for one request against a router and responder of our own.
start_router "$(find_nats_server)"
start_responder "$build/tools/responder/xomq-responder" memory
write_ini "$work/ref.ini" memory 1 "$work/ref.log"
rc=0
timeout 30 /usr/bin/time -f %M -o "$work/ref.kb" "$build/src/sender/XoMQSender" "$work/ref.ini" \
    >"$work/ref.out" 2>&1 || rc=$?
stop_all
ref=$(tail -n 1 "$work/ref.kb" 2>/dev/null || true)
[[ $rc -eq 0 && "$ref" =~ ^[0-9]+$ ]] || fail "the reference run failed ($rc): $(cat "$work/ref.out")"
# Runs of one request, pinned or not, report XoMQSender's own peak (not a
# shell's, taskset's or a half-started process's), the same as a longer
# run's: the flat-memory target passes.
for case in "2000 1" "1 1 --pin"; do
    read -r count short pin <<<"$case"
    args="--count $count --short $short${pin:+ $pin}"
    rc=0
    # shellcheck disable=SC2086  # the words are the arguments
    timeout 120 "$bench/memory.sh" --no-build --build-dir "$build" $args --strict \
        >"$work/memory.out" 2>&1 || rc=$?
    [[ $rc -eq 0 ]] || fail "memory.sh $args --strict ended with $rc: $(tail -n 8 "$work/memory.out")"
    [[ $(grep -c "^target: .* \(PASS\|FAIL\)$" "$work/memory.out") -ge 2 ]] ||
        fail "memory.sh $args printed no targets"
    grep -q "^target: peak of .* PASS$" "$work/memory.out" ||
        fail "memory.sh $args: the flat-memory target did not pass"
    for row in "short $short" "long $count"; do
        kb=$(sed -n "s/^| ${row% *} | ${row#* } | \([0-9]*\) kB |$/\1/p" "$work/memory.out")
        if ! [[ -n "$kb" && -n "$ref" ]] || ((kb < ref - 1024 || kb > ref + 1024)); then
            fail "memory.sh $args: peak of the $row run ${kb:-missing} kB, XoMQSender's is $ref kB"
        fi
    done
done

rc=0
timeout 120 "$bench/run-micro.sh" --no-build --build-dir "$build" --quick \
    >"$work/micro.out" 2>&1 || rc=$?
[[ $rc -eq 0 ]] || fail "run-micro.sh --quick ended with $rc: $(tail -n 5 "$work/micro.out")"
[[ $(grep -c "^target: .* ns: [0-9.]* ns (one run) \(PASS\|FAIL\)$" "$work/micro.out") -eq 3 ]] ||
    fail "run-micro.sh did not print its three targets: $(tail -n 3 "$work/micro.out")"

if [[ $fails -ne 0 ]]; then
    exit 1
fi
echo "benchmark scripts: all checks passed"
