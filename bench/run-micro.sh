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

tag=micro
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/lib/common.sh
source "$root/bench/lib/common.sh"

build_dir="$root/build-bench"
nobuild=0
args=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --build-dir) [[ -n "${2:-}" ]] || die "--build-dir needs a directory"; build_dir=$2; shift 2 ;;
        --no-build) nobuild=1; shift ;;
        -h | --help)
            sed -n '/^#   bench\/run-micro.sh/,/^# Exit status/p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *) args+=("$1"); shift ;;
    esac
done

work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-micro.XXXXXX")
trap 'rm -rf "$work"' EXIT
find_build "$root" "$build_dir" "$nobuild" micro-bench
[[ -x "$bin/bench/micro-bench" ]] || die "no micro-bench in $bin (configure with -DXO_BUILD_BENCH=ON)"
if grep -q '^CMAKE_BUILD_TYPE:STRING=Debug' "$bin/CMakeCache.txt" 2>/dev/null; then
    say "warning: $bin is a Debug build; the timings mean little"
fi
status=0
"$bin/bench/micro-bench" "${args[@]+"${args[@]}"}" || status=$?
exit "$status"
