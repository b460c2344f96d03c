#!/usr/bin/env bash
# shellcheck disable=SC2154  # the options' variables come from the library
# How exactly a paced run (sendRate) keeps its rate, and what its wait costs:
# against a fresh nats-server and xomq-responder on 127.0.0.1, one closed-loop
# run for the best rate, then one paced run per rate, each for a few seconds.
# Per run: the asked and the achieved rate, their ratio, the late sends and
# the largest lag, the latency from the scheduled and from the actual send,
# and XoMQSender's CPU time as a share of the run's time (GNU time), which
# shows that the waits sleep.
#
#   bench/pacing.sh [--rates "R1 R2 ..."] [--seconds S] [--quick]
#                   [--build-dir DIR] [--no-build]
#
#   --rates LIST     requests per second of the paced runs (default "500 1000 2000 4000")
#   --seconds S      length of each run (default 5)
#   --quick          one paced run of 1 s at 500 per second (a smoke test)
#   --build-dir DIR  the Release build to use (default: build-bench)
#   --no-build       use the build directory as it is
#
# A rate above what the closed loop reaches cannot be kept: its run says so.
# Exit status: 0 done (whatever the figures), 1 a run failed, 2 bad arguments.
set -euo pipefail

# shellcheck source=bench/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
tag=pacing

option --rates rates text "500 1000 2000 4000"
option --seconds seconds positive 5
option --quick quick flag
build_options
parse_options "$@"
for r in $rates; do
    is_positive "$r" || usage
done
if [[ $quick -eq 1 ]]; then
    rates=500
    seconds=1
fi
[[ -x /usr/bin/time ]] || die "GNU time is missing (apt-get install time)"

make_work pacing
find_build XoMQSender xomq-responder
nats=$(find_nats_server) || die "nats-server not found (apt-get install nats-server)"
start_router "$nats"
start_responder "$bin/tools/responder/xomq-responder" pace
say "nats-server on 127.0.0.1:$router_port, xomq-responder of 'pace'; $seconds s per run"

# run name rate amount: one XoMQSender run; prints its table row.
run() {
    local name=$1 rate=$2 amount=$3 rc=0
    write_ini "$work/$name.ini" pace "$amount" "$work/$name.log"
    {
        echo "[options:ap]"
        echo "sendRate = $rate"
        echo "latencyHistogram = 1"
        echo "resultFile = $work/$name.json"
        cat "$work/$name.ini"
    } >"$work/$name.full.ini"
    timeout $((seconds * 3 + 60)) /usr/bin/time -f "%e %U %S" -o "$work/$name.time" \
        "$bin/src/sender/XoMQSender" "$work/$name.full.ini" >"$work/$name.out" 2>&1 || rc=$?
    if [[ $rc -ne 0 ]]; then
        cat "$work/$name.out" "$work/$name.log" >&2 || true
        die "$name: XoMQSender ended with $rc"
    fi
    read -r wall user sys <"$work/$name.time"
    awk -v name="$name" -v asked="$rate" -v wall="$wall" -v user="$user" -v sys="$sys" '
        function num(key,   m) {
            if (match($0, "\"" key "\":[0-9.e+-]+")) {
                m = substr($0, RSTART, RLENGTH); sub(/^[^:]*:/, "", m); return m + 0
            }
            return -1
        }
        function unc(key,   rest, m) {
            rest = substr($0, index($0, "\"uncorrected\":{\"min_us\""))
            if (match(rest, "\"" key "\":[0-9]+")) {
                m = substr(rest, RSTART, RLENGTH); sub(/^[^:]*:/, "", m); return m + 0
            }
            return -1
        }
        {
            rate = num("rate")
            if (asked > 0) {
                printf "| %s | %d | %.1f | %.2f %% | %d | %d | %d / %d | %d / %d | %.1f %% |\n",
                    name, asked, rate, 100 * rate / asked, num("late_sends"), num("max_lag_us"),
                    num("p50_us"), num("p99_us"), unc("p50_us"), unc("p99_us"),
                    100 * (user + sys) / wall
            } else {
                printf "| %s | - | %.1f | - | - | - | - | %d / %d | %.1f %% |\n",
                    name, rate, num("p50_us"), num("p99_us"), 100 * (user + sys) / wall
            }
        }' "$work/$name.json"
}

printf '| run | asked/s | achieved/s | achieved/asked | late sends | largest lag µs '
printf '| scheduled p50 / p99 µs | actual p50 / p99 µs | sender CPU |\n'
printf '|---|---:|---:|---:|---:|---:|---:|---:|---:|\n'
if [[ $quick -eq 0 ]]; then
    # The closed loop's rate tells which rates can be kept at all.
    run closed 0 $((seconds * 3000))
fi
for r in $rates; do
    run "paced-$r" "$r" $((r * seconds))
done
stop_all
