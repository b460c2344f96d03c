# find_nats_server: prints the nats-server to start and succeeds, or fails
# when there is none: $NATS_SERVER when set (and nothing else then), else
# nats-server on the PATH, else /usr/sbin/nats-server (where Debian installs
# it, a directory a non-root user's PATH often lacks), else
# /usr/local/sbin/nats-server. Source it.
# shellcheck shell=bash

find_nats_server() {
    local p
    if [[ -n "${NATS_SERVER:-}" ]]; then
        [[ -x "$NATS_SERVER" && ! -d "$NATS_SERVER" ]] || return 1
        echo "$NATS_SERVER"
        return 0
    fi
    for p in "$(command -v nats-server || true)" /usr/sbin/nats-server /usr/local/sbin/nats-server; do
        if [[ -n "$p" && -x "$p" && ! -d "$p" ]]; then
            echo "$p"
            return 0
        fi
    done
    return 1
}
