#!/usr/bin/env bash
# cmake/wine-run.sh, the emulator of the Windows tests, with stand-ins for
# wine64, wineserver and wineboot (no wine needed): the program and wineboot
# run without address space randomization; a new prefix is booted once, a
# new server gets its session and a running one none; every failure of a
# wine helper ends the run with 1 and says which helper failed, with its
# status, on standard error.
#   tests/scripts/wine_run_test.sh <repository root>
set -uo pipefail
root=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-wine-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
fails=0
fail() {
    echo "FAIL: $*" >&2
    fails=$((fails + 1))
}

# The stand-ins log each call with the personality it ran under
# (/proc/self/personality: 00040000 is ADDR_NO_RANDOMIZE); wineserver ends
# with $SERVER_STATUS, wineboot with $BOOT_STATUS.
mkdir -p "$work/bin"
for tool in wine64 wineserver wineboot; do
    cat >"$work/bin/$tool" <<EOT
#!/bin/bash
echo "$tool\${*:+ \$*} \$(cat /proc/self/personality)" >>"$work/calls"
case $tool in
    wineserver) exit "\${SERVER_STATUS:-0}" ;;
    wineboot) exit "\${BOOT_STATUS:-0}" ;;
esac
EOT
    chmod +x "$work/bin/$tool"
done
randomized=$(cat /proc/self/personality)
if ! setarch "$(uname -m)" -R true 2>/dev/null; then
    echo "SKIP: setarch -R is refused here"
    exit 77
fi

# run server-status boot-status args...: the wrapper's status, its standard
# error in $work/err and the calls in $work/calls.
run() {
    local server=$1 boot=$2
    shift 2
    : >"$work/calls"
    PATH="$work/bin:$PATH" WINEPREFIX="$work/prefix" SERVER_STATUS=$server BOOT_STATUS=$boot \
        timeout 20 bash "$root/cmake/wine-run.sh" "$@" >/dev/null 2>"$work/err"
}
calls() { sed 's/ [0-9a-f]\{8\}$//' "$work/calls" | paste -sd '|' -; }

rc=0
run 0 0 prog.exe --flag || rc=$?
[[ $rc -eq 0 ]] || fail "a new prefix: status $rc: $(cat "$work/err")"
[[ "$(calls)" == "wineserver -p300|wineboot -i|wine64 prog.exe --flag" ]] ||
    fail "a new prefix: calls $(calls)"
while read -r tool rest; do
    [[ $tool == wineserver || ${rest##* } == 00040000 ]] ||
        fail "$tool ran with personality ${rest##* } (randomized)"
done <"$work/calls"
[[ $randomized != 00040000 ]] || fail "this test itself runs without randomization"

# A booted prefix: a running server (2) starts nothing, a new one (0) its session.
while IFS='|' read -r server expected; do
    rc=0
    run "$server" 0 prog.exe || rc=$?
    [[ $rc -eq 0 && "$(calls)" == "$expected" ]] ||
        fail "server status $server: status $rc, calls $(calls): $(cat "$work/err")"
done <<EOT
2|wineserver -p300|wine64 prog.exe
0|wineserver -p300|wineboot|wine64 prog.exe
EOT

# Failures: status 1, the helper named with its status, the program not run.
rm -rf "$work/prefix"
while IFS='|' read -r server boot message; do
    rc=0
    run "$server" "$boot" prog.exe || rc=$?
    [[ $rc -eq 1 ]] || fail "'$message': status $rc"
    grep -qF "wine-run.sh: $message" "$work/err" || fail "no '$message' in: $(cat "$work/err")"
    grep -q "^wine64" "$work/calls" && fail "'$message': the program ran"
done <<EOT
1|0|wineserver -p300 failed with status 1
0|3|wineboot -i (creating the prefix) failed with status 3
EOT
[[ -e "$work/prefix/.xomq-booted" ]] && fail "a failed wineboot -i marked the prefix as booted"

if [[ $fails -ne 0 ]]; then
    exit 1
fi
echo "wine-run.sh: all checks passed"
