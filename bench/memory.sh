#!/usr/bin/env bash
# shellcheck disable=SC2154  # the options' variables are set by option (scripts/lib/common.sh)
# The memory of XoMQSender and of xomq-responder over a long run, against
# nats-server on 127.0.0.1: the peak resident size of a short and of a long
# run, and the resident size (VmRSS) of both sampled every 0.2 s during the
# long run. XoMQSender's peak is the maximum resident set size GNU time
# (/usr/bin/time, Debian package "time") reports for the process when it
# ends, so a run shorter than one sample is measured as well as a long one.
# The responder serves both runs; its peak (VmHWM) is read after each.
# Targets, printed with PASS or FAIL: for each program the long run's peak is
# at most 1 MiB above the short run's (memory stays flat) and the resident
# size grows by less than 1 MiB from the first samples of the loop to its
# end; XoMQSender stays under 32 MiB.
#
#   bench/memory.sh [--count N] [--short N] [--pin] [--build-dir DIR] [--no-build]
#                   [--smoke] [--strict]
#
#   --count N        requests of the long run (default 500000)
#   --short N        requests of the short run (default count / 10)
#   --pin            run everything on CPU 0 (taskset -c 0)
#   --build-dir DIR  the Release build to use (default: build-bench)
#   --no-build       use the build directory as it is
#   --smoke          report the targets but never fail on them, not even with --strict
#   --strict         exit with 1 when a target is missed
# Exit status: 0 done, 1 a run failed, 2 bad arguments.
set -euo pipefail

# shellcheck source=bench/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
tag=memory

option --count count positive 500000
option --short short positive
option --pin pin flag
build_options
option --smoke smoke flag
option --strict strict flag
parse_options "$@"
short=${short:-$((count / 10 > 0 ? count / 10 : 1))}

make_work memory
find_build XoMQSender xomq-responder
sender="$bin/src/sender/XoMQSender"
responder="$bin/tools/responder/xomq-responder"
[[ -x "$sender" && -x "$responder" ]] || die "no XoMQSender or xomq-responder in $bin"
nats=$(find_nats_server) ||
    die "nats-server not found (install the Debian package nats-server; NATS_SERVER, when set, must name it)"
[[ -x /usr/bin/time ]] || die "GNU time not found (install the Debian package time)"
command -v pgrep >/dev/null || die "pgrep not found (install the Debian package procps)"
if [[ $pin == 1 ]]; then
    runner=(taskset -c 0)
fi

start_router "$nats"
start_responder "$responder" memory
responder_pid=$service_pid
say "nats-server on 127.0.0.1:$router_port, xomq-responder ready"

# kib pid key: a "kB" line of /proc/<pid>/status, or nothing once it ended.
kib() { sed -n "s/^$2:[[:space:]]*\([0-9][0-9]*\) kB/\1/p" "/proc/$1/status" 2>/dev/null || true; }

# sampled_run amount name: runs XoMQSender under GNU time, which reports its
# peak resident size when it ends, and samples its resident size every 0.2 s
# into $work/<name>.samples ("<seconds> <VmRSS kB> <in the loop> <the
# responder's VmRSS kB>"); sets hwm (the peak, kB), responder_hwm and rate.
sampled_run() {
    local amount=$1 name=$2 tpid pid="" rc=0 t0 rss looping=0 limit i
    write_ini "$work/$name.ini" memory "$amount" "$work/$name.log"
    : >"$work/$name.samples"
    "${runner[@]+"${runner[@]}"}" /usr/bin/time -f %M -o "$work/$name.maxrss" \
        "$sender" "$work/$name.ini" >"$work/$name.out" 2>&1 &
    tpid=$!
    track_pid "$tpid" time
    # XoMQSender is GNU time's child: tracked so that it is stopped by its
    # own PID (a stopped time would leave it running).
    pid=$(child_of "$tpid")
    [[ -n "$pid" ]] && track_pid "$pid" XoMQSender
    t0=$SECONDS
    limit=$((amount / 200 + 60))
    for ((i = 0; ; i++)); do
        [[ -n "$pid" ]] || break
        # Before its exec the child is still a copy of time.
        if [[ /proc/$pid/exe -ef "$sender" ]]; then
            rss=$(kib "$pid" VmRSS)
            [[ -z "$rss" ]] && break
            # Start-up (connect, resolve) takes milliseconds; from the sixth
            # sample on (one second in) the loop runs. The log is buffered,
            # so it cannot tell.
            ((i >= 5)) && looping=1
            echo "$((SECONDS - t0)) $rss $looping $(kib "$responder_pid" VmRSS)" \
                >>"$work/$name.samples"
        else
            kill -0 "$pid" 2>/dev/null || break
        fi
        if ((SECONDS - t0 > limit)); then
            echo "$tag: XoMQSender ran longer than $limit s, stopping it" >&2
            stop_pid "$pid" XoMQSender
            break
        fi
        sleep 0.2
    done
    wait "$tpid" || rc=$?
    [[ -n "$pid" ]] && forget_pid "$pid"
    forget_pid "$tpid"
    hwm=$(tail -n 1 "$work/$name.maxrss" 2>/dev/null || true)
    responder_hwm=$(kib "$responder_pid" VmHWM)
    rate=$(sender_rate "$work/$name.log")
    if [[ $rc -ne 0 || -z "$rate" || ! "$hwm" =~ ^[0-9]+$ ]]; then
        tail -n 5 "$work/$name.log" "$work/$name.out" >&2 || true
        die "XoMQSender ($amount requests) failed with exit status $rc"
    fi
    say "$amount requests: $(printf '%.0f' "$rate") messages/sec, peak resident ${hwm} kB"
}

sampled_run "$short" short
short_hwm=$hwm
short_responder_hwm=$responder_hwm
sampled_run "$count" long
long_hwm=$hwm
long_responder_hwm=$responder_hwm
[[ "$short_responder_hwm" =~ ^[0-9]+$ && "$long_responder_hwm" =~ ^[0-9]+$ ]] ||
    die "xomq-responder ended during the runs: $(cat "$work/xomq-responder.err")"

# Resident size during the loop: the first samples against the last, of the
# sender (column 2) and of the responder (column 4).
loop_rss() {
    awk -v c="$1" '$3 == 1 && $c != "" { if (!seen) { first = $c; seen = 1 } last = $c; n++ }
        END { print first + 0, last + 0, n + 0 }' "$work/long.samples"
}
read -r first last n < <(loop_rss 2)
read -r rfirst rlast rn < <(loop_rss 4)

verdict() { if awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; then echo PASS; else echo FAIL; fi; }
growth_hwm=$((long_hwm - short_hwm))
growth_rss=$((last - first))
v1=$(verdict "$growth_hwm" 1024)
v3=$(verdict "$long_hwm" 32768)
growth_responder=$((long_responder_hwm - short_responder_hwm))
v4=$(verdict "$growth_responder" 1024)
echo
echo "| Run | Requests | Peak resident (max RSS) |"
echo "|---|---:|---:|"
echo "| short | $short | $short_hwm kB |"
echo "| long | $count | $long_hwm kB |"
echo
echo "| xomq-responder | Requests answered | Peak resident (VmHWM) |"
echo "|---|---:|---:|"
echo "| after the short run | $short | $short_responder_hwm kB |"
echo "| after the long run | $((short + count)) | $long_responder_hwm kB |"
echo
echo "target: peak of $count requests <= 1 MiB above that of $short: $(printf "%+d" "$growth_hwm") kB $v1"
if ((n >= 2)); then
    v2=$(verdict "$growth_rss" 1024)
    echo "target: resident size flat during the loop (< 1 MiB growth over $n samples): $first kB -> $last kB $v2"
else
    v2=PASS
    echo "target: resident size flat during the loop: too few samples (run too short), not judged"
fi
echo "target: resident size under 32 MiB: peak $long_hwm kB $v3"
echo "target: xomq-responder's peak after $count more requests <= 1 MiB above: $(printf "%+d" "$growth_responder") kB $v4"
if ((rn >= 2)); then
    v5=$(verdict $((rlast - rfirst)) 1024)
    echo "target: xomq-responder's resident size flat during the loop (< 1 MiB growth over $rn samples): $rfirst kB -> $rlast kB $v5"
else
    v5=PASS
    echo "target: xomq-responder's resident size flat during the loop: too few samples (run too short), not judged"
fi

if [[ $strict == 1 && $smoke == 0 ]] && [[ $v1 != PASS || $v2 != PASS || $v3 != PASS || $v4 != PASS || $v5 != PASS ]]; then
    exit 1
fi
exit 0
