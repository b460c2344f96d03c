#!/usr/bin/env bash
# g++ build with warnings as errors, benchmarks built too; runs every test.
set -euo pipefail
b="$XO_BUILD_ROOT/gcc"
cmake -S "$XO_ROOT" -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_C_COMPILER=gcc -DXO_WERROR=ON -DXO_BUILD_BENCH=ON >/dev/null
cmake --build "$b" -j"$XO_JOBS"
ctest --test-dir "$b" -j"$XO_JOBS" --output-on-failure --timeout 300
