#!/usr/bin/env bash
# shellcheck disable=SC2154  # the options' variables are set by option (scripts/lib/common.sh)
# How a fleet scales: 1, 2, 4 and 8 senders at once (processes), against 1
# and 2 service instances, all through one nats-server on 127.0.0.1. For
# every size two fleets run one after the other, their order alternating:
#   XoMQSender   N XoMQSender processes (scripts/fleet.sh --ini, so with the
#                latency histogram and a result file each) against M
#                xomq-responder instances
#   hand-written N nats-requester --reply-subscription processes (its own
#                inbox: PublishRequest + NextMsg) against M nats-echo
#                instances (one queue group, as xomq-responder's)
# Every sender sends --count requests, none of them warm-up. A fleet's rate
# is the sum of its senders' rates (they run at once); its µs per message is
# the median sender's. Prints a Markdown table of the medians over the
# rounds, the ratio per size, and the target (XoMQSender >= 1.2 x the
# hand-written fleet at every size) with PASS or FAIL; with gnuplot
# installed also draws a chart, and otherwise says that it drew none.
#
#   bench/scaling.sh [--senders "1 2 4 8"] [--responders "1 2"] [--count N]
#                    [--rounds N] [--out DIR] [--build-dir DIR] [--no-build]
#
#   --senders LIST     fleet sizes (default "1 2 4 8")
#   --responders LIST  service instances (default "1 2")
#   --count N          requests per sender (default 20000)
#   --rounds N         rounds of every fleet (default 3)
#   --out DIR          table.md, results.txt, chart.png (default <build dir>/scaling)
#   --build-dir DIR    the Release build to use (default build-bench)
#   --no-build         use the build directory as it is
# Exit status: 0 done (the target is reported, not enforced), 1 a fleet
# failed, 2 bad arguments.
set -euo pipefail

# shellcheck source=bench/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
tag=scaling

option --senders sizes list "1 2 4 8"
option --responders instances list "1 2"
option --count count positive 20000
option --rounds rounds positive 3
option --out out text
build_options
parse_options "$@"

service_pids=()
make_work scaling

find_build XoMQSender xomq-responder xomq-fleet-merge \
    nats-requester nats-echo
nats=$(find_nats_server) || die "nats-server not found (apt-get install nats-server)"
out=${out:-$bin/scaling}
mkdir -p "$out"
out=$(cd "$out" && pwd)
results="$out/results.txt"
: >"$results"
load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
start=$SECONDS
# A sender may take count/100 s on a very slow day, plus start-up.
limit=$((count / 100 + 60))

start_router "$nats"
say "nats-server on 127.0.0.1:$router_port"

# median_program: an awk program for the senders' rates, sorted, one per
# line (and "total <rate>" when the fleet's own sum is known): appends
# "<kind> N M <sum of the rates> <the median sender's µs/message>" to the
# results, or fails when there is not one rate per sender.
median_program() {
    cat <<'EOT'
$1 == "total" { total = $2; next }
{ v[++c] = $1; sum += $1 }
END {
    if (c != n || c == 0) exit 1
    if (total != "") sum = total
    med = (c % 2) ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
    printf "%s %d %d %.1f %.2f\n", kind, n, m, sum, 1000000 / med >> results
}
EOT
}

# xomq n m round: N XoMQSender processes through the fleet runner; appends
# "xomq N M rate us_per_msg".
xomq() {
    local n=$1 m=$2 r=$3 dir="$work/xomq-$1-$2-$3"
    write_ini "$work/scale.ini" scale "$count" "$work/unused.log"
    # In the background (run_bounded), so that Ctrl-C and SIGTERM reach our
    # traps at once; the exit trap then stops the fleet runner, which stops its
    # senders.
    if ! run_bounded $((limit + 30)) fleet.sh "$work/fleet.out" "$root/scripts/fleet.sh" \
        --ini "$work/scale.ini" --senders "$n" --amount "$count" --warmup 0 --timeout "$limit" \
        --out "$dir" --no-build --build-dir "$bin"; then
        cat "$work/fleet.out" >&2
        die "the XoMQSender fleet of $n failed"
    fi
    # fleet.csv: a row per sender ("<i>,<code>,<count>,<rate>,..."), then
    # the fleet's ("fleet,,<count>,<rate>,...").
    awk -F, -v n="$n" -v m="$m" '$1 == "fleet" { total = $4 }
        $1 ~ /^[0-9]+$/ { print $4 } END { print "total", total }' "$dir/fleet.csv" |
        sort -g | awk -v n="$n" -v m="$m" -v kind=xomq -v results="$results" -f <(median_program) ||
        die "the XoMQSender fleet of $n: not a rate per sender"
}

# handwritten n m round: N nats-requester processes at once; appends
# "handwritten N M rate us_per_msg".
handwritten() {
    local n=$1 m=$2 r=$3 i p fleet=() rc=0
    for ((i = 1; i <= n; i++)); do
        "$bin/bench/nats-requester" --server "nats://127.0.0.1:$router_port" --service scale-echo \
            --count "$count" --reply-subscription >"$work/req-$i.out" 2>&1 &
        fleet+=($!)
        track_pid "$!" nats-requester
    done
    local waited=0
    for p in "${fleet[@]}"; do
        while kill -0 "$p" 2>/dev/null && ((waited < limit * 10)); do
            sleep 0.1
            waited=$((waited + 1))
        done
        kill -0 "$p" 2>/dev/null && stop_pid "$p" nats-requester
        wait "$p" || rc=$?
        forget_pid "$p"
    done
    if [[ $rc -ne 0 ]]; then
        cat "$work"/req-*.out >&2
        die "the hand-written fleet of $n failed (round $r)"
    fi
    cat "$work"/req-[0-9]*.out |
        sed -n 's/.* \([0-9][0-9.]*\) messages\/sec.*/\1/p' | sort -g |
        awk -v n="$n" -v m="$m" -v kind=handwritten -v results="$results" -f <(median_program) ||
        die "a hand-written sender printed no rate"
    rm -f "$work"/req-[0-9]*.out
}

for m in $instances; do
    # This many instances of each service; the previous ones are stopped.
    for p in "${service_pids[@]+"${service_pids[@]}"}"; do
        stop_pid "$p" service
        forget_pid "$p"
    done
    service_pids=()
    for ((i = 1; i <= m; i++)); do
        start_service "xomq-responder-$i" "xomq-responder: ready" scale \
            "$bin/tools/responder/xomq-responder"
        service_pids+=("$service_pid")
        start_service "nats-echo-$i" "nats-echo: ready" scale-echo "$bin/bench/nats-echo"
        service_pids+=("$service_pid")
    done
    for n in $sizes; do
        for ((r = 1; r <= rounds; r++)); do
            if (((r + n) % 2)); then
                xomq "$n" "$m" "$r"
                handwritten "$n" "$m" "$r"
            else
                handwritten "$n" "$m" "$r"
                xomq "$n" "$m" "$r"
            fi
            say "$n senders, $m instances, round $r: $(tail -n 2 "$results" | awk '{ printf "%s %.0f msg/s  ", $1, $4 }')"
        done
    done
done

# ---- the report -------------------------------------------------------------
# Per kind, senders and instances: the medians of the rate and of µs/message.
# median kind n m column: the median over the rounds of a results column.
median() {
    awk -v k="$1" -v n="$2" -v m="$3" -v c="$4" '$1 == k && $2 == n && $3 == m { print $c }' \
        "$results" | sort -g | awk '{ v[NR] = $1 }
        END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
table="$out/table.md"
verdict=PASS
{
    echo "| Senders | Instances | XoMQSender msg/s | hand-written msg/s | ratio | XoMQSender µs/msg per sender | hand-written µs/msg per sender |"
    echo "|---:|---:|---:|---:|---:|---:|---:|"
    for m in $instances; do
        for n in $sizes; do
            xr=$(median xomq "$n" "$m" 4)
            xu=$(median xomq "$n" "$m" 5)
            hr=$(median handwritten "$n" "$m" 4)
            hu=$(median handwritten "$n" "$m" 5)
            ratio=$(awk -v a="$xr" -v b="$hr" 'BEGIN { printf "%.2f", a / b }')
            printf '| %d | %d | %.0f | %.0f | %s | %.1f | %.1f |\n' "$n" "$m" "$xr" "$hr" "$ratio" "$xu" "$hu"
            echo "$n $m $xr $hr $ratio" >>"$work/ratios"
        done
    done
    echo
    echo "$count requests per sender, no warm-up, median of $rounds rounds, fleets alternating;" \
        "XoMQSender with its latency histogram and result file on (the fleet runner's settings)."
    echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
        "Linux $(uname -r), nats-server $("$nats" --version 2>/dev/null | sed 's/^nats-server: //')," \
        "load average $load_before at the start, $(cut -d ' ' -f 1-3 /proc/loadavg) at the end."
} >"$table"
echo
cat "$table"
echo
worst=$(sort -k5,5g "$work/ratios" | head -n 1)
if ! awk '$5 < 1.2 { exit 1 }' "$work/ratios"; then verdict=FAIL; fi
echo "target: XoMQSender fleet >= 1.2 x the hand-written fleet at every size: lowest $(awk '{ printf "%sx (%d senders, %d instances)", $5, $1, $2 }' <<<"$worst") $verdict" |
    tee "$out/targets.txt"

gnuplot=${XO_GNUPLOT:-gnuplot}
rm -f "$out/chart.png"
if command -v "$gnuplot" >/dev/null; then
    plot="" sep=""
    for m in $instances; do
        awk -v m="$m" '$2 == m { print $1, $3, $4 }' "$work/ratios" >"$out/chart-$m.dat"
        local_title="$m instance$( ((m == 1)) || echo s)"
        plot+="$sep'$out/chart-$m.dat' using 1:2 with linespoints title 'XoMQSender, $local_title', "
        plot+="'$out/chart-$m.dat' using 1:3 with linespoints dashtype 2 title 'hand-written, $local_title'"
        sep=", "
    done
    if "$gnuplot" <<EOT 2>"$work/gnuplot.err" && [[ -s "$out/chart.png" ]]; then
set terminal pngcairo size 800,480
set output "$out/chart.png"
set title "Aggregate round trips of a fleet on 127.0.0.1 (median of $rounds rounds)"
set xlabel "senders (processes)"
set ylabel "messages/sec, all senders"
set logscale x 2
set xrange [0.8:$(tr ' ' '\n' <<<"$sizes" | sort -n | tail -n 1).0 * 1.25]
set xtics ($(tr ' ' '\n' <<<"$sizes" | paste -sd, -))
set yrange [0:*]
set grid
set key left top
plot $plot
EOT
        say "chart: $out/chart.png"
    else
        echo "$tag: no chart: $gnuplot could not draw it:" >&2
        cat "$work/gnuplot.err" >&2
    fi
else
    say "no chart: $gnuplot is not installed (apt-get install gnuplot-nox)"
fi
say "table and raw numbers in $out ($((SECONDS - start)) s)"
