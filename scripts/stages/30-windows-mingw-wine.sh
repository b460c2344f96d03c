#!/usr/bin/env bash
# Windows build: cross-compiled with mingw-w64 with warnings as errors; runs
# every test under wine64, in a wine prefix of its own that is created for
# this run and removed afterwards.
set -euo pipefail
b="$XO_BUILD_ROOT/mingw"
run="$XO_ROOT/cmake/wine-run.sh"

cmake -S "$XO_ROOT" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$XO_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXO_WERROR=ON -DXO_BUILD_XOSYS=OFF >/dev/null
cmake --build "$b" -j"$XO_JOBS"

prefix_dir=$(mktemp -d "${TMPDIR:-/tmp}/xomq-wine.XXXXXX")
export WINEPREFIX="$prefix_dir/prefix"
cleanup() {
    # Stops the wine server of this prefix (and with it every program still
    # running in it), nothing else.
    "$run" --stop || true
    rm -rf "$prefix_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The wine server and wineboot start once, with their output in the prefix's
# log, before ctest reads the tests' output through pipes. Every test runs
# once, as in the Linux stages: a failure is a failure.
"$run" --boot
ctest --test-dir "$b" -j"$XO_JOBS" --output-on-failure --timeout 120
