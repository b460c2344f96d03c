#!/usr/bin/env bash
# shellcheck disable=SC2154  # the options' variables are set by option (scripts/lib/common.sh)
# End-to-end comparison on this machine, all on 127.0.0.1 against one
# nats-server:
#   XoMQSender    the program through our XoSys library, with xomq-responder
#   pair          the best a hand-written libnats pair does: a requester with
#                 its own inbox (nats-requester --reply-subscription:
#                 PublishRequest + NextMsg) and a minimal libnats responder
#                 (nats-echo, a message callback), the same subjects and
#                 payload sizes
#   pair-sync     the same pair with nats-echo --sync (NextMsg on its main
#                 thread)
#   requester     a plain libnats requester sending the same request to
#                 xomq-responder (natsConnection_RequestMsg, one at a time)
#   tcp-pingpong  a TCP ping-pong of the same payload size, the floor
#   spin          XoMQSender and xomq-responder, both spinning: each wait
#                 polls without sleeping for up to --spin-us microseconds
#                 (the connect string's spin_us, the responder's --spin-us)
#   spin-sender   XoMQSender spinning, xomq-responder sleeping as usual
# The paths run interleaved, several rounds each (the order rotates from
# round to round). Prints a Markdown table of each path's median, min and
# max messages/sec, how often a CPU of the machine went to sleep per request
# (cpuidle, where the machine has it: each sleep is a wake-up that somebody
# waits for; other work on the machine counts too), the ratios between them,
# and the targets with PASS or FAIL; with gnuplot installed also draws a
# chart, and otherwise says that it drew none and why.
#
#   bench/compare.sh [--rounds N] [--count N] [--pin] [--out DIR]
#                    [--build-dir DIR] [--no-build] [--max-seconds N]
#                    [--spin-us N] [--smoke] [--strict]
#
#   --rounds N       rounds of each path (default 5)
#   --count N        requests (round trips) per run (default 20000)
#   --pin            run everything on CPU 0 (taskset -c 0)
#   --out DIR        where the table, the raw numbers and the chart go
#                    (default: <build dir>/compare)
#   --build-dir DIR  the Release build to use (default: build-bench at the
#                    repository root; configured and built when needed)
#   --no-build       use the build directory as it is
#   --max-seconds N  give up when the whole comparison takes longer (default 1800)
#   --spin-us N      the spin window of the spinning paths (default 200; 0
#                    leaves them out)
#   --smoke          report the targets but never fail on them, not even with --strict
#   --strict         exit with 1 when a target is missed
# Targets, as ratios of the medians: XoMQSender >= 1.2 x the better of the
# two hand-written pairs, and >= 1.1 x the RequestMsg requester; not pinned,
# both spinning >= 1.5 x the better pair; pinned, XoMQSender >= 1.4 x the
# better pair (a spinning process takes the one CPU from the router: the
# spinning figures are shown, no target is set for them).
# Exit status: 0 done (targets are reported, not enforced unless --strict),
# 1 a path failed or crashed, 2 bad arguments.
# Environment:
#   XO_GNUPLOT=<program>  the gnuplot that draws the chart (default: gnuplot
#                         on the PATH)
set -euo pipefail

# shellcheck source=bench/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
tag=compare

option --rounds rounds positive 5
option --count count positive 20000
option --pin pin flag
option --out out text
build_options
option --max-seconds max_seconds positive 1800
option --spin-us spin_us count 200
option --smoke smoke flag
option --strict strict flag
parse_options "$@"
((10#$spin_us <= 100000)) || usage
spin_us=$((10#$spin_us))

make_work compare
find_build XoMQSender xomq-responder nats-requester nats-echo \
    tcp-pingpong
sender="$bin/src/sender/XoMQSender"
responder="$bin/tools/responder/xomq-responder"
requester="$bin/bench/nats-requester"
echo_service="$bin/bench/nats-echo"
pingpong="$bin/bench/tcp-pingpong"
for program in "$sender" "$responder" "$requester" "$echo_service" "$pingpong"; do
    [[ -x "$program" ]] ||
        die "no $program (build the targets XoMQSender xomq-responder nats-requester nats-echo tcp-pingpong)"
done
nats=$(find_nats_server) ||
    die "nats-server not found (install the Debian package nats-server; NATS_SERVER, when set, must name it)"
out=${out:-$bin/compare}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [[ $pin == 1 ]]; then
    command -v taskset >/dev/null || die "--pin needs taskset (util-linux)"
    runner=(taskset -c 0)
fi
start=$SECONDS
load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
# A run may take count/200 s on a very slow day, plus start-up.
per_run=$((count / 200 + 60))

start_router "$nats"
service=bench-compare
start_responder "$responder" "$service"
if ((spin_us > 0)); then
    start_service xomq-responder-spin "xomq-responder: ready" bench-compare-spin "$responder" \
        --spin-us "$spin_us"
fi
start_service nats-echo "nats-echo: ready" bench-echo "$echo_service"
start_service nats-echo-sync "nats-echo: ready" bench-echo-sync "$echo_service" --sync
say "nats-server on 127.0.0.1:$router_port, xomq-responder and nats-echo ready$([[ $pin == 1 ]] && echo ", all on CPU 0")"

results="$out/results.txt"
sleeps="$out/sleeps.txt"
: >"$results"
: >"$sleeps"
failed=0

# run_path path round amount: one run; appends "<path> <rate>" to the
# results and "<path> <CPU sleeps per request>" to the sleeps unless it is a
# warm-up (round 0).
run_path() {
    local path=$1 round=$2 amount=$3 rc=0 rate="" log="$work/$1-$2.out" slept0 slept1
    if ((SECONDS - start > max_seconds)); then
        die "the comparison took longer than $max_seconds s; giving up"
    fi
    slept0=$(cpu_sleeps)
    case "$path" in
        XoMQSender | spin | spin-sender)
            local target=$service spin=0
            [[ $path != XoMQSender ]] && spin=$spin_us
            [[ $path == spin ]] && target=bench-compare-spin
            write_ini "$work/sender.ini" "$target" "$amount" "$work/sender-$round.log" "$spin"
            run_bounded "$per_run" XoMQSender "$log" "$sender" "$work/sender.ini" || rc=$?
            rate=$(sender_rate "$work/sender-$round.log")
            ;;
        requester | pair | pair-sync)
            local target=$service extra=()
            [[ $path == pair ]] && target=bench-echo
            [[ $path == pair-sync ]] && target=bench-echo-sync
            [[ $path != requester ]] && extra=(--reply-subscription)
            run_bounded "$per_run" nats-requester "$log" "$requester" \
                --server "nats://127.0.0.1:$router_port" --service "$target" \
                --count "$amount" "${extra[@]+"${extra[@]}"}" || rc=$?
            rate=$(sed -n 's/.* \([0-9][0-9.]*\) messages\/sec.*/\1/p' "$log" | tail -n 1)
            if [[ -z "$frame_size" ]]; then
                frame_size=$(sed -n 's/.*frame \([0-9][0-9]*\) bytes.*/\1/p' "$log" | head -n 1)
            fi
            if grep -q ", [1-9][0-9]* system errors" "$log"; then
                echo "$tag: the requester got system error replies" >&2
                rc=1
            fi
            ;;
        tcp-pingpong)
            run_bounded "$per_run" tcp-pingpong "$log" "$pingpong" --size "${frame_size:-160}" \
                --count "$amount" || rc=$?
            rate=$(sed -n 's/.* \([0-9][0-9.]*\) messages\/sec.*/\1/p' "$log" | tail -n 1)
            ;;
    esac
    slept1=$(cpu_sleeps)
    if [[ $rc -ne 0 || -z "$rate" ]]; then
        echo "$tag: $path, round $round: failed (exit status $rc)" >&2
        tail -n 5 "$log" >&2 || true
        [[ "$path" == XoMQSender || "$path" == spin* ]] &&
            { tail -n 5 "$work/sender-$round.log" >&2 || true; }
        failed=1
        return 0
    fi
    if [[ $round -gt 0 ]]; then
        echo "$path $rate" >>"$results"
        if [[ -n "$slept0" && -n "$slept1" ]]; then
            awk -v p="$path" -v d=$((slept1 - slept0)) -v n="$amount" \
                'BEGIN { printf "%s %.3f\n", p, d / n }' >>"$sleeps"
        fi
        printf '%s: round %d  %-13s %10.0f messages/sec\n' "$tag" "$round" "$path" "$rate"
    fi
}

paths=(XoMQSender pair pair-sync requester tcp-pingpong)
((spin_us > 0)) && paths+=(spin spin-sender)
frame_size=""
# Warm-up: the requester first, which also tells the frame size.
warm=$((count / 10 < 200 ? 200 : (count / 10 > 2000 ? 2000 : count / 10)))
for path in requester XoMQSender pair pair-sync tcp-pingpong "${paths[@]:5}"; do
    run_path "$path" 0 "$warm"
done
[[ $failed == 0 ]] || die "the warm-up failed"
say "payload $frame_size bytes; $rounds rounds of $count requests per path"

for ((r = 1; r <= rounds; r++)); do
    for ((k = 0; k < ${#paths[@]}; k++)); do
        run_path "${paths[(k + r - 1) % ${#paths[@]}]}" "$r" "$count"
    done
done

# ---- the report -------------------------------------------------------------
stats=$(awk -f "$root/bench/lib/stats.awk" "$results")
median_of() { awk -v p="$1" '$1 == p { print $3 }' <<<"$stats"; }
sleep_stats=$(awk -f "$root/bench/lib/stats.awk" "$sleeps")
sleeps_of() {
    awk -v p="$1" '$1 == p { printf "%.2f", $3; found = 1 } END { if (!found) print "n/a" }' \
        <<<"$sleep_stats"
}
label_of() {
    case "$1" in
        XoMQSender) echo "XoMQSender, our XoSys library, xomq-responder" ;;
        pair) echo "hand-written pair: own inbox + nats-echo (callback)" ;;
        pair-sync) echo "hand-written pair: own inbox + nats-echo --sync" ;;
        requester) echo "plain libnats requester (RequestMsg)" ;;
        tcp-pingpong) echo "TCP ping-pong, two processes (floor)" ;;
        spin) echo "XoMQSender and xomq-responder, both spinning (spin_us $spin_us)" ;;
        spin-sender) echo "XoMQSender spinning (spin_us $spin_us), xomq-responder sleeping" ;;
    esac
}
# The better of the two hand-written pairs is the one to beat.
best=$(awk -v a="$(median_of pair)" -v b="$(median_of pair-sync)" \
    'BEGIN { print (a + 0 > b + 0) ? a + 0 : b + 0 }')
table="$out/table.md"
{
    echo "| Path | Median msg/s | Min msg/s | Max msg/s | Median µs per request | CPU sleeps per request | Runs |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    while read -r path n median min max; do
        printf '| %s | %.0f | %.0f | %.0f | %.1f | %s | %d |\n' "$(label_of "$path")" "$median" \
            "$min" "$max" "$(awk -v m="$median" 'BEGIN { print 1000000 / m }')" \
            "$(sleeps_of "$path")" "$n"
    done <<<"$stats"
    echo
    echo "| Ratio of the medians | Value |"
    echo "|---|---:|"
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b; else print "n/a" }'; }
    s=$(median_of XoMQSender)
    q=$(median_of requester)
    t=$(median_of tcp-pingpong)
    echo "| XoMQSender / best hand-written pair | $(ratio "$s" "$best") |"
    echo "| XoMQSender / plain libnats requester | $(ratio "$s" "$q") |"
    echo "| plain libnats requester / TCP ping-pong | $(ratio "$q" "$t") |"
    echo "| XoMQSender / TCP ping-pong | $(ratio "$s" "$t") |"
    if ((spin_us > 0)); then
        echo "| both spinning / best hand-written pair | $(ratio "$(median_of spin)" "$best") |"
        echo "| XoMQSender spinning / best hand-written pair | $(ratio "$(median_of spin-sender)" "$best") |"
        echo "| both spinning / XoMQSender | $(ratio "$(median_of spin)" "$s") |"
    fi
    echo
    echo "Payload $frame_size bytes, $count requests per run, $rounds rounds, paths interleaved;" \
        "$([[ $pin == 1 ]] && echo "everything pinned to CPU 0 (taskset -c 0)" || echo "not pinned")."
    echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
        "Linux $(uname -r), nats-server $("$nats" --version 2>/dev/null | sed 's/^nats-server: //')," \
        "load average $load_before at the start, $(cut -d ' ' -f 1-3 /proc/loadavg) at the end."
} >"$table"
echo
cat "$table"
echo

placement=$([[ $pin == 1 ]] && echo "pinned to CPU 0" || echo "not pinned")
# target name numerator denominator minimum [what]: one line with the ratio
# and PASS or FAIL.
target() {
    local r ok
    r=$(awk -v a="$2" -v b="$3" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b; else print 0 }')
    ok=$(awk -v r="$r" -v m="$4" 'BEGIN { print (r >= m) ? "PASS" : "FAIL" }')
    echo "target: XoMQSender${5:+ $5} >= $4 x $1 ($placement, same run): ${r}x $ok"
}
{
    target "the best hand-written pair" "$(median_of XoMQSender)" "$best" 1.2
    target "the plain libnats requester" "$(median_of XoMQSender)" "$(median_of requester)" 1.1
    if ((spin_us > 0)) && [[ $pin != 1 ]]; then
        target "the best hand-written pair" "$(median_of spin)" "$best" 1.5 \
            "and xomq-responder spinning"
    fi
    if [[ $pin == 1 ]]; then
        target "the best hand-written pair" "$(median_of XoMQSender)" "$best" 1.4
    fi
} | tee "$out/targets.txt"
verdict=PASS
if grep -q FAIL "$out/targets.txt"; then verdict=FAIL; fi

# The chart is claimed only once gnuplot has written it.
gnuplot=${XO_GNUPLOT:-gnuplot}
chart=""
rm -f "$out/chart.png"
if command -v "$gnuplot" >/dev/null; then
    awk '{ printf "\"%s\" %s %s %s\n", $1, $3, $4, $5 }' <<<"$stats" >"$out/chart.dat"
    if "$gnuplot" <<EOT 2>"$work/gnuplot.err" && [[ -s "$out/chart.png" ]]; then
set terminal pngcairo size 800,480
set output "$out/chart.png"
set title "Round trips on 127.0.0.1$([[ $pin == 1 ]] && echo ", pinned to one CPU"): median, min to max"
set ylabel "messages/sec"
set style fill solid 0.6
set boxwidth 0.5
set yrange [0:*]
set grid ytics
plot "$out/chart.dat" using 0:2:xtic(1) with boxes notitle, \
     "" using 0:2:3:4 with yerrorbars lc rgb "black" pt 0 notitle
EOT
        chart="$out/chart.png"
        say "chart: $chart"
    else
        echo "$tag: no chart: $gnuplot could not draw it:" >&2
        cat "$work/gnuplot.err" >&2
    fi
else
    say "no chart: $gnuplot is not installed (apt-get install gnuplot-nox)"
fi
say "table and raw numbers${chart:+ and chart} in $out ($((SECONDS - start)) s)"

if [[ $failed != 0 ]]; then
    die "at least one run failed (see above)"
fi
if [[ $strict == 1 && $verdict != PASS && $smoke == 0 ]]; then
    exit 1
fi
exit 0
