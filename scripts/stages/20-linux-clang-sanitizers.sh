#!/usr/bin/env bash
# clang build with warnings as errors under AddressSanitizer (with
# LeakSanitizer) and UndefinedBehaviorSanitizer; runs every test.
set -euo pipefail
b="$XO_BUILD_ROOT/clang-asan"
cmake -S "$XO_ROOT" -B "$b" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_COMPILER=clang -DXO_WERROR=ON -DXO_SANITIZE=address,undefined >/dev/null
cmake --build "$b" -j"$XO_JOBS"
# Every child process (XoMQSender, the responder) inherits these. A finding
# ends the process with 99, a status no run of XoMQSender returns (its codes
# end in 0x00..0x5C or are 13, 14, 129, 130 or 143), so a leak or an error cannot pass for an
# expected failure; tests/faults/LeakCanaryTest.cpp checks it.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:exitcode=99
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=99
ctest --test-dir "$b" -j"$XO_JOBS" --output-on-failure --timeout 300
