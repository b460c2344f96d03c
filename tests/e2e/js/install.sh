#!/usr/bin/env bash
# Installs the npm package "nats" (nats.js 2.x) into DIR/node_modules for the
# end-to-end tests with NATS micro services, once: a DIR that has it is used
# as it is. Bounded in time. When node or npm is missing, or the install
# fails, it says so and exits 0: the tests then skip with that reason.
#   tests/e2e/js/install.sh DIR
set -uo pipefail
dir=$1
version=2.29.3
if [[ -f "$dir/node_modules/nats/package.json" ]]; then
    exit 0
fi
for tool in node npm; do
    if ! command -v "$tool" >/dev/null; then
        echo "install.sh: no $tool on this machine: the NATS micro service tests skip" >&2
        exit 0
    fi
done
mkdir -p "$dir"
if ! timeout 300 npm install --prefix "$dir" --no-audit --no-fund --no-save "nats@$version" \
    >"$dir/npm.log" 2>&1; then
    echo "install.sh: npm install nats@$version failed (see $dir/npm.log):" \
        "the NATS micro service tests skip" >&2
    tail -n 5 "$dir/npm.log" >&2
    rm -rf "$dir/node_modules/nats"
fi
exit 0
