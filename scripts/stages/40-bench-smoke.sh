#!/usr/bin/env bash
# Benchmarks as a smoke test: the micro benchmarks once each, a comparison
# of a few hundred requests per path and one short paced run. Fails on crashes and wrong results
# only, never on timings (the machine is shared). Uses the benchmark build of
# stage 10 when it is there, otherwise builds what it needs.
set -euo pipefail
b="$XO_BUILD_ROOT/gcc"
if [[ ! -x "$b/bench/micro-bench" || ! -x "$b/bench/nats-requester" || ! -x "$b/bench/nats-echo" ]]; then
    b="$XO_BUILD_ROOT/bench"
    cmake -S "$XO_ROOT" -B "$b" -DCMAKE_BUILD_TYPE=Release -DXO_BUILD_BENCH=ON \
        -DXO_BUILD_TESTS=OFF >/dev/null
    cmake --build "$b" -j"$XO_JOBS" --target XoMQSender xomq-responder nats-requester \
        nats-echo tcp-pingpong micro-bench
fi
timeout 60 "$XO_ROOT/bench/run-micro.sh" --no-build --build-dir "$b" --quick
timeout 60 "$XO_ROOT/bench/compare.sh" --no-build --build-dir "$b" --smoke --rounds 1 \
    --count 300 --out "$b/compare-smoke"
timeout 60 "$XO_ROOT/bench/pacing.sh" --no-build --build-dir "$b" --quick
