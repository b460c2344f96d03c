#!/usr/bin/env bash
# bench/lib/stats.awk: median (odd and even counts), min, max, path order,
# and refusal of malformed lines.
set -euo pipefail
stats="$(cd "$(dirname "${BASH_SOURCE[0]}")/../lib" && pwd)/stats.awk"
fails=0
check() { # name expected actual
    if [[ "$2" != "$3" ]]; then
        printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3" >&2
        fails=$((fails + 1))
    fi
}

out=$(printf '%s\n' "b 30" "a 5" "# a comment" "" "b 10" "a 1" "b 20" "a 3" "a 100" | awk -f "$stats")
check "order, counts, medians, extremes" \
    "b 3 20.000 10.000 30.000
a 4 4.000 1.000 100.000" "$out"

out=$(printf '%s\n' "x 7.5" | awk -f "$stats")
check "a single value" "x 1 7.500 7.500 7.500" "$out"

out=$(printf '%s\n' "x 2" "x 10" "x 9" "x 1" "x 3" | awk -f "$stats")
check "numeric, not text, order" "x 5 3.000 1.000 10.000" "$out"

set +e
err=$(printf '%s\n' "x 1" "x" "y abc" "z 1 2" | awk -f "$stats" 2>&1 >/dev/null)
rc=$?
set -e
check "malformed lines fail" 1 "$rc"
check "each malformed line is named" 3 "$(grep -c 'is not "<path> <rate>"' <<<"$err")"

out=$(: | awk -f "$stats")
check "no input, no output" "" "$out"

if [[ $fails -ne 0 ]]; then
    exit 1
fi
echo "stats.awk: all checks passed"
