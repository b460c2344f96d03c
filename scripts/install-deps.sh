#!/usr/bin/env bash
# Installs the Debian packages that building and testing XoMQSender needs.
# As root it installs what is missing with apt-get; otherwise it prints the
# exact apt-get line and fails.
#   scripts/install-deps.sh            build, tests, the NATS library, benchmarks (and
#                                      nodejs and npm when node is missing)
#   scripts/install-deps.sh --windows  also the mingw-w64 cross compiler and wine
set -euo pipefail

packages=(cmake g++ clang libclang-rt-14-dev make pkg-config googletest libgtest-dev libgmock-dev
          libbenchmark-dev libnats-dev nats-server valgrind procps time nlohmann-json3-dev
          libssl-dev openssl zlib1g-dev)
# Node.js and npm run the tests with nats.js services; a node that is already
# there (from any source) will do.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
fi
recommends_off=()
if [[ "${1:-}" == "--windows" ]]; then
    recommends_off=(g++-mingw-w64-x86-64-posix wine wine64 libz-mingw-w64-dev)
fi

missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

mapfile -t need < <(missing "${packages[@]}")
mapfile -t need_nr < <(missing "${recommends_off[@]}")
if [[ ${#need[@]} -eq 0 && ${#need_nr[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages. Install them with:" >&2
    [[ ${#need[@]} -gt 0 ]] && echo "  sudo apt-get install -y ${need[*]}" >&2
    [[ ${#need_nr[@]} -gt 0 ]] && echo "  sudo apt-get install -y --no-install-recommends ${need_nr[*]}" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
if [[ ${#need[@]} -gt 0 ]]; then
    apt-get install -y -qq "${need[@]}"
fi
if [[ ${#need_nr[@]} -gt 0 ]]; then
    apt-get install -y -qq --no-install-recommends "${need_nr[@]}"
fi
