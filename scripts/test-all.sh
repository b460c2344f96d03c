#!/usr/bin/env bash
# Runs every test of XoMQSender: installs what is missing (as root), then runs
# the stages in scripts/stages/ in order. Each stage builds in its own folder
# under build-ci/ and fails the run on the first error.
#   scripts/test-all.sh              all stages
#   scripts/test-all.sh gcc valgrind only the stages whose names contain a word given
# When no stage name contains any word given, it lists the stages and exits
# with 2 before installing or building anything.
set -euo pipefail

# root, and XO_JOBS for every build and ctest of the stages.
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
tag=test-all
export XO_ROOT="$root"
export XO_BUILD_ROOT="${XO_BUILD_ROOT:-$root/build-ci}"

all=()
selected=()
for stage in "$root"/scripts/stages/*.sh; do
    name=$(basename "$stage" .sh)
    all+=("$name")
    match=$(($# == 0))
    for word in "$@"; do [[ "$name" == *"$word"* ]] && match=1; done
    if [[ $match -eq 1 ]]; then selected+=("$stage"); fi
done
if [[ ${#selected[@]} -eq 0 ]]; then
    echo "$tag: no stage name contains any of: $*" >&2
    echo "$tag: the stages are:" >&2
    printf '  %s\n' "${all[@]}" >&2
    exit 2
fi

mkdir -p "$XO_BUILD_ROOT"
"$root/scripts/install-deps.sh" --windows

failed=0
summary=()
for stage in "${selected[@]}"; do
    name=$(basename "$stage" .sh)
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
