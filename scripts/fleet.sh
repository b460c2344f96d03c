#!/usr/bin/env bash
# shellcheck disable=SC2154  # the options' variables are set by option (scripts/lib/common.sh)
# Fleet runs: several XoMQSender processes at once against one or more
# responders and one router, each writing its own result file (resultFile,
# latencyHistogram = 1); then one combined table (xomq-fleet-merge):
# aggregate messages/sec, the spread of the senders' rates, percentiles of
# the merged histograms, system error replies and failures with their codes,
# and the rate and p99 over time from the senders' interval histograms.
#
#   scripts/fleet.sh [--senders N] [--responders M] [--amount N] [--warmup N]
#                    [--rate R] [--ini FILE] [--out DIR] [--label TEXT]
#                    [--timeout S] [--build-dir DIR] [--no-build]
#   scripts/fleet.sh --agents NAME,...|all --server ROUTERS [--senders K] [--amount N]
#                    [--warmup N] [--rate R] [--ini FILE] [--timeout S] [--out DIR]
#                    [--label TEXT] [--user NAME] [--password TEXT] [--nkey-seed FILE]
#                    [--creds FILE] [--tls-ca FILE] [--tls-cert FILE --tls-key FILE]
#                    [--build-dir DIR] [--no-build]
#   scripts/fleet.sh --chart OUT.png DIR...
#
#   --senders N      XoMQSender processes started at once (default 2)
#   --responders M   xomq-responder instances of the service (default 1)
#   --amount N       requests per sender (default 10000)
#   --warmup N       warm-up requests per sender, outside every figure (default 100)
#   --rate R         pace every sender at R requests per second (sendRate): the
#                    merged latency is then the one from the scheduled send
#   --ini FILE       your own router and service: every sender runs with this file,
#                    with sendAmount, warmupAmount, latencyHistogram, resultFile,
#                    sendRate (with --rate) and the log file set by the fleet (placed
#                    before the file's own keys, whose first value wins); no router
#                    or responder is started
#   --out DIR        the results: sender-<i>.json and .log, fleet.json, fleet.csv,
#                    latency.dat, intervals.dat and, with gnuplot, latency.png and
#                    over-time.png (default fleet-<time>)
#   --label TEXT     the name of this run in the table and the chart (default
#                    "<N> senders", "1 sender")
#   --timeout S      stop the senders still running after S seconds (default 600)
#   --build-dir DIR  the Release build to use (default build-bench)
#   --no-build       use the build directory as it is
#   --chart OUT.png DIR...  the percentile curves of earlier fleet runs side by side
#
# Without --ini it starts nats-server on a free loopback port and the responders
# (service "fleet") itself, like the quick start, and stops them by PID at the end,
# also on Ctrl-C.
#
# With --agents the senders run on the hosts of xomq-agents (tools/agent), reached
# through the router: K senders on each agent named (all: every agent that answers
# a ping), their results sent back through the router, merged with a part per host.
#   --agents LIST    agent names separated by commas, or all
#   --server ROUTERS the router(s) the agents are connected to, as xomq-agent takes
#                    them, with the credentials this side needs (--user ... --tls-key)
#   --ini FILE       the sender settings (toServiceName is required): only the keys an
#                    agent takes (xomq-fleet-control --help); any other is refused
#                    before anything is sent
#   --rate R         every sender on every agent paced at R requests per second
#   --timeout S      the agents stop the senders still running S seconds after the
#                    start (default 600)
#   --out DIR        <agent>/sender-<i>.json, agents.json and the merged files
# An agent that is missing, refuses, does not answer or is lost while it runs is named
# as failed in fleet.json and the table; the other hosts' results are kept.
# Exit status: 0 every sender completed, 1 a sender, an agent or a tool failed,
# 2 bad arguments.
set -euo pipefail

# shellcheck source=scripts/lib/processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/processes.sh"
tag=fleet

# draw_chart out.png dir...: one percentile curve per fleet run, log scale.
draw_chart() {
    local out=$1 dir plot="" sep=""
    shift
    if ! command -v gnuplot >/dev/null 2>&1; then
        say "no chart drawn: gnuplot is not installed (apt-get install gnuplot-nox)"
        return 0
    fi
    for dir in "$@"; do
        [[ -s "$dir/latency.dat" ]] || die "$dir/latency.dat is missing or empty"
        local title
        title=$(sed -n 's/^# percentile value_us one_over_one_minus_p (\(.*\))$/\1/p' "$dir/latency.dat")
        plot+="$sep'$dir/latency.dat' using 3:2 with linespoints title '${title//\'/}'"
        sep=", "
    done
    gnuplot <<EOT
set terminal pngcairo size 900,560 noenhanced
set output '$out'
set title 'XoMQSender round trips by percentile'
set logscale x
set xtics ("0%%" 1, "90%%" 10, "99%%" 100, "99.9%%" 1000, "99.99%%" 10000, "99.999%%" 100000)
set xlabel 'percentile'
set ylabel 'round trip (microseconds)'
set grid
set key left top
plot $plot
EOT
    say "chart: $out"
}

# draw_time_chart out.png dir: the fleet's rate and p99 per interval.
draw_time_chart() {
    local out=$1 dir=$2
    if ! command -v gnuplot >/dev/null 2>&1; then
        say "no chart over time drawn: gnuplot is not installed (apt-get install gnuplot-nox)"
        return 0
    fi
    if [[ $(grep -vc '^#' "$dir/intervals.dat" || true) -eq 0 ]]; then
        say "no chart over time drawn: the senders wrote no intervals"
        return 0
    fi
    gnuplot <<EOT
set terminal pngcairo size 900,560 noenhanced
set output '$out'
set title 'XoMQSender fleet: rate and p99 per interval'
set xlabel 'seconds from the first timer start'
set ylabel 'requests/sec'
set y2label 'p99 (microseconds)'
set ytics nomirror
set y2tics
set yrange [0:*]
set logscale y2
set grid
set key left bottom
plot '$dir/intervals.dat' using 5:2 with linespoints title 'rate' axes x1y1, \
     '$dir/intervals.dat' using 5:3 with linespoints title 'p99' axes x1y2
EOT
    say "chart over time: $out"
}

if [[ "${1:-}" == "--chart" ]]; then
    [[ $# -ge 3 ]] || usage
    shift
    chart_out=$1
    shift
    draw_chart "$chart_out" "$@"
    exit 0
fi
option --senders senders positive 2
option --responders responders positive 1
option --amount amount positive 10000
option --warmup warmup count 100
option --rate rate positive
option --ini ini file
option --out out text
option --label label text
option --timeout limit positive 600
option --agents agents text
option --server server text
option --user user text
option --password password text
option --nkey-seed nkey_seed file
option --creds creds file
option --tls-ca tls_ca file
option --tls-cert tls_cert file
option --tls-key tls_key file
build_options
parse_options "$@"
if [[ -n "$agents" ]]; then
    [[ -n "$server" ]] || usage
elif [[ -n "$server$user$password$nkey_seed$creds$tls_ca$tls_cert$tls_key" ]]; then
    usage # the router flags are for the agents' runs
fi
out=${out:-fleet-$(date +%Y%m%d-%H%M%S)}
if [[ -z "$label" ]]; then
    label="$senders senders"
    [[ $senders -gt 1 ]] || label="1 sender"
    if [[ "$agents" == all ]]; then
        label="$label on each agent"
    elif [[ -n "$agents" ]]; then
        label="$label on each of ${agents//,/, }"
    fi
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

make_work fleet

# The fleet on agents: xomq-fleet-control runs it, xomq-fleet-merge adds it up.
run_on_agents() {
    find_build xomq-fleet-control xomq-fleet-merge
    local control=(--agents "$agents" --server "$server" --senders "$senders" --amount "$amount"
        --warmup "$warmup" --timeout "$limit" --out "$out") flag value rc=0
    [[ -z "$ini" ]] || control+=(--ini "$ini")
    [[ -z "$rate" ]] || control+=(--rate "$rate")
    for flag in user password nkey_seed creds tls_ca tls_cert tls_key; do
        value=${!flag}
        [[ -z "$value" ]] || control+=("--${flag//_/-}" "$value")
    done
    rm -f "$out/agents.json"
    # In the background, so that Ctrl-C reaches the traps at once: they stop
    # it by its PID, and it stops the agents' senders.
    "$bin/tools/agent/xomq-fleet-control" "${control[@]}" &
    local pid=$!
    track_pid "$pid" xomq-fleet-control
    wait "$pid" || rc=$?
    forget_pid "$pid"
    [[ $rc -ne 2 ]] || exit 2
    [[ -s "$out/agents.json" ]] || die "xomq-fleet-control wrote no agents.json (exit status $rc)"
    "$bin/tools/fleet/xomq-fleet-merge" --out "$out" --label "$label" --agents "$out/agents.json" |
        tee "$out/fleet.txt"
    draw_chart "$out/latency.png" "$out"
    draw_time_chart "$out/over-time.png" "$out"
    say "results in $out"
    [[ $rc -eq 0 ]] || exit 1
    exit 0
}
[[ -z "$agents" ]] || run_on_agents

find_build XoMQSender xomq-responder xomq-fleet-merge
for program in src/sender/XoMQSender tools/responder/xomq-responder tools/fleet/xomq-fleet-merge; do
    [[ -x "$bin/$program" ]] || die "no $program in $bin"
done

service=fleet
if [[ -z "$ini" ]]; then
    nats=$(find_nats_server) || die "nats-server not found (apt-get install nats-server, or set NATS_SERVER)"
    start_router "$nats"
    say "nats-server on 127.0.0.1:$router_port, $responders responder(s) of '$service'"
    for ((r = 1; r <= responders; r++)); do
        "$bin/tools/responder/xomq-responder" --server "127.0.0.1:$router_port" \
            --service "$service" >"$out/responder-$r.out" 2>"$out/responder-$r.err" &
        track_pid "$!" "xomq-responder $r"
        wait_for_text "$out/responder-$r.out" "xomq-responder: ready" "$!" ||
            die "xomq-responder $r did not get ready: $(cat "$out/responder-$r.err")"
    done
fi

# Each sender's INI: the fleet's keys first. Of a key given twice in a
# section, the first value counts, so they win over the user's own.
for ((i = 1; i <= senders; i++)); do
    {
        echo "[options:ap]"
        echo "sendAmount = $amount"
        echo "warmupAmount = $warmup"
        echo "latencyHistogram = 1"
        echo "resultFile = $out/sender-$i.json"
        if [[ -n "$rate" ]]; then
            echo "sendRate = $rate"
        fi
        if [[ -z "$ini" ]]; then
            echo "toServiceName = $service"
            echo "[options:mq]"
            echo "host = 127.0.0.1"
            echo "port = $router_port"
        fi
        echo "[log]"
        echo "file = $out/sender-$i.log"
        echo "append = 0"
        echo "silence = XoMQSendMsg"
        if [[ -n "$ini" ]]; then
            cat "$ini"
        fi
    } >"$work/sender-$i.ini"
    rm -f "$out/sender-$i.json"
done

say "$senders senders, $amount requests each (after $warmup warm-up requests)${rate:+, paced at $rate per second each}"
sender_pids=()
for ((i = 1; i <= senders; i++)); do
    "$bin/src/sender/XoMQSender" "$work/sender-$i.ini" >"$out/sender-$i.out" 2>&1 &
    sender_pids+=("$!")
    track_pid "$!" "XoMQSender $i"
done
failed=0
deadline=$((SECONDS + limit))
for ((i = 1; i <= senders; i++)); do
    pid=${sender_pids[i - 1]}
    while kill -0 "$pid" 2>/dev/null && [[ $SECONDS -lt $deadline ]]; do
        sleep 0.2
    done
    if kill -0 "$pid" 2>/dev/null; then
        say "sender $i still runs after $limit s: stopping it"
        stop_pid "$pid" "XoMQSender $i"
        rc=124
    else
        rc=0
        wait "$pid" || rc=$?
    fi
    forget_pid "$pid"
    if [[ $rc -ne 0 ]]; then
        say "sender $i ended with exit status $rc (log: $out/sender-$i.log)"
        failed=1
    fi
    [[ -s "$out/sender-$i.json" ]] || { say "sender $i wrote no result file"; failed=1; }
done

results=()
for ((i = 1; i <= senders; i++)); do
    [[ -s "$out/sender-$i.json" ]] && results+=("$out/sender-$i.json")
done
[[ ${#results[@]} -gt 0 ]] || die "no sender wrote a result file"
"$bin/tools/fleet/xomq-fleet-merge" --out "$out" --label "$label" "${results[@]}" |
    tee "$out/fleet.txt"
draw_chart "$out/latency.png" "$out"
draw_time_chart "$out/over-time.png" "$out"
say "results in $out"
exit "$failed"
