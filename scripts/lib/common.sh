# What every script of scripts/ and bench/ shares: the repository root, its
# messages, its usage taken from its own header, its options declared in a
# table, and the builds it makes. Source it first:
#   source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"   (from scripts/)
#   tag=name   the prefix of the script's messages
# then declare the options (option ...) and call parse_options "$@".
# Sourcing it defines functions and sets nothing but "root", XO_JOBS and
# the empty option table, so a test may source it too.
# shellcheck shell=bash
# shellcheck disable=SC2154,SC2034  # tag and work come from the caller, bin is for it

[[ -n "${xo_common_loaded:-}" ]] && return 0
xo_common_loaded=1

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# The number of jobs of every build any script makes (cmake --build -j,
# ctest -j): XO_JOBS, 2 unless set.
export XO_JOBS="${XO_JOBS:-2}"

say() { echo "$tag: $*"; }
die() {
    echo "$tag: $*" >&2
    exit 1
}

# usage [status]: the script's usage, taken from its header comment: from
# the first line that names the script ("#   bench/compare.sh ...") to the
# end of the comment. With status 0 (--help) it goes to standard output,
# otherwise to standard error; exits with the status (default 2).
usage() {
    local status=${1:-2}
    {
        echo "usage:"
        awk -v name="$(basename "${BASH_SOURCE[-1]}")" '
            NR == 1 && /^#!/ { next }
            !/^#/ { exit }
            /^# shellcheck / { next }
            !show && $1 == "#" && ($2 == name || substr($2, length($2) - length(name)) == "/" name) { show = 1 }
            show { sub(/^# ?/, ""); print }' "${BASH_SOURCE[-1]}"
    } >&$((status == 0 ? 1 : 2))
    exit "$status"
}

# ---- option values ----------------------------------------------------------
# is_<kind> value: whether the value is one of that kind.
is_positive() { [[ "$1" =~ ^[0-9]{1,9}$ ]] && ((10#$1 > 0)); } # 1 .. 999999999
is_count() { [[ "$1" =~ ^[0-9]{1,9}$ ]]; }                    # 0 .. 999999999
is_list() { [[ "$1" =~ ^[0-9]{1,3}( [0-9]{1,3})*$ && ! "$1" =~ (^| )0 ]]; } # "1 2 4 8"
is_text() { [[ -n "$1" ]]; }
is_file() { [[ -f "$1" ]]; }

# ---- options ----------------------------------------------------------------
option_names=()
option_vars=()
option_kinds=()
# option --name variable kind [default]: a script's option, and the
# variable's value when the option is not given (by default 0 for a flag and
# empty for the others). kind is flag (sets the variable to 1, takes no
# value) or the kind of its value: positive, count, list, text or file
# (stored as an absolute path).
option() {
    option_names+=("$1")
    option_vars+=("$2")
    option_kinds+=("$3")
    if [[ "$3" == flag ]]; then
        printf -v "$2" '%s' "${4:-0}"
    else
        printf -v "$2" '%s' "${4:-}"
    fi
}

# parse_options "$@": sets the variable of every option given. -h and --help
# show the usage; a bad value, a missing one or an unknown option shows it
# on standard error and exits with 2. With options_rest=1 the arguments that
# are no declared option are collected in the array "rest" instead.
rest=()
parse_options() {
    local i found var kind value
    rest=()
    while [[ $# -gt 0 ]]; do
        [[ "$1" == -h || "$1" == --help ]] && usage 0
        found=-1
        for i in "${!option_names[@]}"; do
            [[ "$1" == "${option_names[i]}" ]] && found=$i
        done
        if ((found < 0)); then
            [[ "${options_rest:-0}" == 1 ]] || usage
            rest+=("$1")
            shift
            continue
        fi
        var=${option_vars[found]}
        kind=${option_kinds[found]}
        if [[ "$kind" == flag ]]; then
            printf -v "$var" 1
            shift
            continue
        fi
        if [[ $# -lt 2 ]] || ! "is_$kind" "$2"; then usage; fi
        value=$2
        [[ "$kind" == file ]] && value=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
        printf -v "$var" '%s' "$value"
        shift 2
    done
}

# ---- builds -----------------------------------------------------------------
# The scripts that run the programs share one Release build, build-bench
# unless --build-dir names another, with the benchmarks (--no-build: use it
# as it is).
build_options() {
    option --build-dir build_dir text "$root/build-bench"
    option --no-build nobuild flag
}

# find_build target...: unless nobuild is 1, makes sure $build_dir holds the
# targets (configured as a Release build with the benchmarks and without the
# tests when it is new; built with XO_JOBS jobs, the output in $work, of
# which the end is shown when it fails). Sets bin to its absolute path.
find_build() {
    if [[ "$nobuild" != 1 ]]; then
        if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
            say "configuring a Release build in $build_dir"
            cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DXO_BUILD_BENCH=ON \
                -DXO_BUILD_TESTS=OFF >"$work/cmake.log" 2>&1 || {
                cat "$work/cmake.log" >&2
                die "cmake failed"
            }
        fi
        cmake --build "$build_dir" -j"$XO_JOBS" --target "$@" >"$work/build.log" 2>&1 || {
            tail -n 40 "$work/build.log" >&2
            die "the build failed (see above)"
        }
    fi
    bin=$(cd "$build_dir" && pwd)
}
