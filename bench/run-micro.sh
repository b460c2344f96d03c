#!/usr/bin/env bash
# The micro benchmarks in one command: builds micro-bench in the Release
# build (build-bench unless told otherwise) and runs it, five repetitions
# of each benchmark; the targets come last with PASS or FAIL.
#
#   bench/run-micro.sh [--build-dir DIR] [--no-build] [--quick] [--strict]
#                      [Google Benchmark flags, e.g. --benchmark_filter=Log]
#
#   --quick   one short repetition of each (a smoke test)
#   --strict  exit with 1 when a target is missed
# Exit status: micro-bench's (0 done, 1 an error or wrong result, or a missed
# target with --strict), 2 bad arguments.
set -euo pipefail

# shellcheck source=bench/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
tag=micro

build_options
# Every other argument goes to micro-bench.
options_rest=1
parse_options "$@"

make_work micro
find_build micro-bench
[[ -x "$bin/bench/micro-bench" ]] || die "no micro-bench in $bin (configure with -DXO_BUILD_BENCH=ON)"
if grep -q '^CMAKE_BUILD_TYPE:STRING=Debug' "$bin/CMakeCache.txt" 2>/dev/null; then
    say "warning: $bin is a Debug build; the timings mean little"
fi
status=0
"$bin/bench/micro-bench" "${rest[@]+"${rest[@]}"}" || status=$?
exit "$status"
