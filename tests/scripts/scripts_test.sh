#!/usr/bin/env bash
# The helper scripts' behaviour that needs no build: test-all.sh refuses
# words that match no stage (before installing or building anything).
#   tests/scripts/scripts_test.sh <repository root>
set -uo pipefail
root=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-scripts-helpers.XXXXXX")
trap 'rm -rf "$work"' EXIT
fails=0
fail() {
    echo "FAIL: $*" >&2
    fails=$((fails + 1))
}

# ---- test-all.sh with a word that names no stage ---------------------------
rc=0
XO_BUILD_ROOT="$work/build-ci" timeout 20 bash "$root/scripts/test-all.sh" no-such-stage \
    >"$work/test-all.out" 2>&1 || rc=$?
[[ $rc -eq 2 ]] || fail "test-all.sh no-such-stage ended with $rc, not 2"
for stage in "$root"/scripts/stages/*.sh; do
    grep -qx "  $(basename "$stage" .sh)" "$work/test-all.out" ||
        fail "test-all.sh did not list the stage $(basename "$stage" .sh)"
done
grep -q "=== stage" "$work/test-all.out" && fail "test-all.sh ran a stage"
[[ -e "$work/build-ci" ]] && fail "test-all.sh created its build folder"
[[ $fails -eq 0 ]] || cat "$work/test-all.out" >&2

if [[ $fails -ne 0 ]]; then
    exit 1
fi
echo "script helpers: all checks passed"
