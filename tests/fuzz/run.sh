#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one for a set time.
#   tests/fuzz/run.sh <seconds> [target ...]     (default: every target)
# Targets: fuzz_optstr fuzz_ini fuzz_logformat fuzz_wire.
#
# Build folder: $XO_FUZZ_BUILD_DIR, default <repo>/build-fuzz (clang, the
# sanitizers, coverage instrumentation of the libraries, XO_BUILD_FUZZ=ON).
# Each target starts from its seeds in tests/fuzz/corpus/<target> and from
# what earlier runs found, kept in <build>/fuzz-corpus/<target>; the seeds
# themselves are never changed. An input that breaks a rule or crashes is
# written to <build>/fuzz-artifacts/<target>/, and the script ends with 1.
# Replay one with: <build>/tests/fuzz/<target> <file>
set -euo pipefail

if [[ $# -lt 1 || ! "$1" =~ ^[0-9]+$ || "$1" -lt 1 ]]; then
    echo "usage: $0 <seconds per target> [target ...]" >&2
    exit 2
fi
seconds=$1
shift
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${XO_FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${XO_JOBS:-2}
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=(fuzz_optstr fuzz_ini fuzz_logformat fuzz_wire)
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DXO_WERROR=ON \
    -DXO_BUILD_FUZZ=ON -DXO_SANITIZE=address,undefined \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "${targets[@]}"; do
    seeds="$root/tests/fuzz/corpus/$target"
    work="$build/fuzz-corpus/$target"
    artifacts="$build/fuzz-artifacts/$target"
    mkdir -p "$work" "$artifacts"
    echo "=== $target: $seconds s"
    # New inputs go to the first corpus folder, the work one.
    if "$build/tests/fuzz/$target" "$work" "$seeds" -max_total_time="$seconds" \
        -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" 2>"$build/fuzz-$target.log"; then
        grep -E '^(Done|stat::number_of_executed_units)' "$build/fuzz-$target.log" || true
    else
        tail -n 40 "$build/fuzz-$target.log"
        echo "=== $target FAILED: the input is in $artifacts/" >&2
        failed+=("$target")
    fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "failed: ${failed[*]}" >&2
    exit 1
fi
echo "=== every target ran $seconds s without a finding"
