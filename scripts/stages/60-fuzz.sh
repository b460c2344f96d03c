#!/usr/bin/env bash
# libFuzzer targets (tests/fuzz): built with clang and the sanitizers, each
# run for 30 s (XO_FUZZ_SECONDS) from its seeds. A finding fails the stage;
# the input is kept under $XO_BUILD_ROOT/fuzz/fuzz-artifacts/.
set -euo pipefail
export XO_FUZZ_BUILD_DIR="$XO_BUILD_ROOT/fuzz"
"$XO_ROOT/tests/fuzz/run.sh" "${XO_FUZZ_SECONDS:-30}"
