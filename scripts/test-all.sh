#!/usr/bin/env bash
# Runs every test of XoMQSender: installs what is missing (as root), then runs
# the stages in scripts/stages/ in order. Each stage builds in its own folder
# under build-ci/ and fails the run on the first error.
#   scripts/test-all.sh              all stages
#   scripts/test-all.sh linux asan   only the stages whose names contain a word given
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export XO_ROOT="$root"
export XO_BUILD_ROOT="${XO_BUILD_ROOT:-$root/build-ci}"
export XO_JOBS="${XO_JOBS:-2}"
mkdir -p "$XO_BUILD_ROOT"

"$root/scripts/install-deps.sh" --windows

failed=0
summary=()
for stage in "$root"/scripts/stages/*.sh; do
    name=$(basename "$stage" .sh)
    if [[ $# -gt 0 ]]; then
        match=0
        for word in "$@"; do [[ "$name" == *"$word"* ]] && match=1; done
        [[ $match -eq 1 ]] || continue
    fi
    echo "=== stage $name"
    start=$SECONDS
    if bash "$stage"; then
        summary+=("ok     $name ($((SECONDS - start)) s)")
    else
        summary+=("FAILED $name ($((SECONDS - start)) s)")
        failed=1
        break
    fi
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $failed
