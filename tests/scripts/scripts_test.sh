#!/usr/bin/env bash
# The helper scripts' behaviour that needs no build: test-all.sh refuses
# words that match no stage (before installing or building anything); the
# scripts find nats-server by NATS_SERVER, on the PATH, or in /usr/sbin and
# /usr/local/sbin when the PATH lacks them.
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

# ---- finding nats-server ---------------------------------------------------
mkdir -p "$work/bin" "$work/dir"
printf '#!/bin/sh\n' >"$work/bin/nats-server"
chmod +x "$work/bin/nats-server"
# found NATS_SERVER PATH: what the scripts' lookup prints, or "none".
# shellcheck disable=SC2016  # expanded by the inner bash
found() {
    env NATS_SERVER="$1" PATH="$2" bash -c \
        'source "$1/scripts/lib/processes.sh" && find_nats_server || echo none' _ "$root"
}
while read -r nats_env path expected; do
    [[ "$nats_env" == - ]] && nats_env=""
    if [[ "$expected" == /usr/sbin/nats-server && ! -x "$expected" ]]; then
        echo "SKIP: no /usr/sbin/nats-server here (the Debian package nats-server puts it there)"
        continue
    fi
    got=$(found "$nats_env" "$path")
    [[ "$got" == "$expected" ]] ||
        fail "NATS_SERVER='$nats_env' PATH=$path: found '$got', expected '$expected'"
done <<EOT
- /usr/bin:/bin /usr/sbin/nats-server
- $work/bin:/usr/bin:/bin $work/bin/nats-server
$work/bin/nats-server /usr/sbin:/usr/bin:/bin $work/bin/nats-server
$work/nonexistent $work/bin:/usr/bin:/bin none
$work/dir $work/bin:/usr/bin:/bin none
EOT

if [[ $fails -ne 0 ]]; then
    exit 1
fi
echo "script helpers: all checks passed"
