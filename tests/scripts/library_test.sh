#!/usr/bin/env bash
# The shared shell library (scripts/lib) as the scripts use it, without a
# build: the option table (defaults, every kind of value, collected
# arguments), every script's usage taken from its own header (--help on
# standard output with 0, a bad argument on standard error with 2, before
# anything is started or built), and XO_JOBS as the build's job count.
#   tests/scripts/library_test.sh <repository root>
set -uo pipefail
root=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/xomq-scripts-library.XXXXXX")
trap 'rm -rf "$work"' EXIT
fails=0
fail() {
    echo "FAIL: $*" >&2
    fails=$((fails + 1))
}

# ---- the option table --------------------------------------------------------
# parsed args...: the variables after parse_options, one "name=value" line
# each, then the collected arguments, or "exit <status>" when it ended the
# script.
# shellcheck disable=SC2016  # expanded by the inner bash
parsed() {
    (cd "$work" && bash -c 'source "$1/scripts/lib/common.sh"; shift
        option --n n positive 5
        option --c c count 7
        option --l l list "1 2"
        option --t t text
        option --f f file
        option --x x flag
        options_rest=${REST:-0}
        parse_options "$@"
        echo "n=$n c=$c l=$l t=$t f=$f x=$x rest=${rest[*]+${rest[*]}}"' _ "$root" "$@" 2>/dev/null
    echo "exit $?")
}
touch "$work/given.ini"
while IFS='|' read -r rest args expected; do
    # shellcheck disable=SC2086  # the words are the arguments
    got=$(REST=$rest parsed $args | tr '\n' ' ')
    [[ "$got" == "$expected " ]] || fail "options '$args': got '$got', expected '$expected '"
done <<EOT
0||n=5 c=7 l=1 2 t= f= x=0 rest= exit 0
0|--n 12 --c 0 --t a --x --f given.ini|n=12 c=0 l=1 2 t=a f=$work/given.ini x=1 rest= exit 0
0|--n 0|exit 2
0|--n 1x|exit 2
0|--n|exit 2
0|--c -1|exit 2
0|--f missing.ini|exit 2
0|--bogus|exit 2
1|a --n 3 b|n=3 c=7 l=1 2 t= f= x=0 rest=a b exit 0
EOT
# A list is words of numbers from 1 to 999 separated by single blanks.
for case in "1 2 4 8|0" "8|0" "1 0|2" "1  2|2" "1,2|2" "1000|2"; do
    got=$(parsed --l "${case%|*}" | tail -n 1)
    [[ "$got" == "exit ${case#*|}" ]] || fail "--l '${case%|*}': $got, expected exit ${case#*|}"
done

# ---- usage from the header -------------------------------------------------
# Every script: --help prints its usage from its header on standard output
# with 0; a bad argument prints it on standard error with 2 and nothing else
# happens (the build directory named does not exist, so anything past the
# options would fail differently).
while IFS='|' read -r script bad; do
    rc=0
    XO_QUICKSTART_BIN_DIR="$work/none" timeout 20 bash "$root/$script" --help \
        >"$work/help.out" 2>"$work/help.err" || rc=$?
    [[ $rc -eq 0 ]] || fail "$script --help ended with $rc"
    [[ "$(head -n 1 "$work/help.out")" == "usage:" ]] || fail "$script --help: no usage line"
    grep -q "^  $script " "$work/help.out" || fail "$script --help does not show its command line"
    [[ -s "$work/help.err" ]] && fail "$script --help wrote to standard error: $(cat "$work/help.err")"
    rc=0
    # shellcheck disable=SC2086  # the words are the arguments
    XO_QUICKSTART_BIN_DIR="$work/none" timeout 20 bash "$root/$script" $bad \
        >"$work/bad.out" 2>"$work/bad.err" || rc=$?
    [[ $rc -eq 2 ]] || fail "$script $bad ended with $rc, not 2: $(cat "$work/bad.err")"
    cmp -s "$work/help.out" "$work/bad.err" || fail "$script $bad: not the usage on standard error"
    [[ -s "$work/bad.out" ]] && fail "$script $bad wrote to standard output: $(cat "$work/bad.out")"
done <<EOT
bench/compare.sh|--no-build --build-dir $work/none --rounds 0
bench/scaling.sh|--no-build --build-dir $work/none --senders 1,2
bench/cost.sh|--no-build --build-dir $work/none --count x
bench/memory.sh|--no-build --build-dir $work/none --bogus
bench/pacing.sh|--no-build --build-dir $work/none --rates 1,2
bench/run-micro.sh|--no-build --build-dir
scripts/fleet.sh|--no-build --build-dir $work/none --ini $work/missing.ini
scripts/quickstart.sh|12abc
EOT

# ---- one jobs setting ------------------------------------------------------
# A stand-in cmake records how it is asked to build; the scripts' builds use
# XO_JOBS jobs, 2 when it is not set.
mkdir -p "$work/bin" "$work/build"
touch "$work/build/CMakeCache.txt"
cat >"$work/bin/cmake" <<EOT
#!/bin/sh
echo "\$*" >>"$work/cmake.args"
EOT
chmod +x "$work/bin/cmake"
for jobs in "" 3; do
    rm -f "$work/cmake.args"
    PATH="$work/bin:$PATH" XO_JOBS=$jobs timeout 20 bash "$root/bench/run-micro.sh" \
        --build-dir "$work/build" >/dev/null 2>&1
    grep -q -- "--build $work/build -j${jobs:-2} --target micro-bench" "$work/cmake.args" 2>/dev/null ||
        fail "XO_JOBS='$jobs': the build ran as: $(cat "$work/cmake.args" 2>/dev/null)"
done

if [[ $fails -ne 0 ]]; then
    exit 1
fi
echo "script library: all checks passed"
