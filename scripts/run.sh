#!/usr/bin/env bash
# Installs what is missing, builds, and starts the viewer beside a simulated kit on
# 127.0.0.1:8080, or on a free port when that one is taken. The simulator stops when the
# viewer closes.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${BUILD_PACKAGES[@]}"
configure "$ROOT/build"
build "$ROOT/build" zorvan zorvan-kit

kit_log=$(mktemp)
kit=
stop_kit() {
    [ -n "$kit" ] && kill "$kit" 2>/dev/null && wait "$kit" 2>/dev/null
    rm -f "$kit_log"
}
trap stop_kit EXIT

# Starts the simulator on $1 and waits until it says where it listens; fails if it exits.
start_kit() {
    : >"$kit_log"
    "$ROOT/build/bin/zorvan-kit" --listen "$1" >"$kit_log" 2>&1 &
    kit=$!
    local tries
    for tries in $(seq 100); do
        grep -q '^listening: ' "$kit_log" && return 0
        kill -0 "$kit" 2>/dev/null || break
        sleep 0.05
    done
    wait "$kit" 2>/dev/null || true
    kit=
    return 1
}

stage "starting the simulated kit"
if ! start_kit 127.0.0.1:8080; then
    echo "Port 8080 is taken ($(sed 's/^zorvan-kit: //' "$kit_log")); using a free port instead."
    start_kit 127.0.0.1:0 || { cat "$kit_log" >&2; exit 1; }
fi
port=$(sed -n 's/^listening: .*:\([0-9]*\)$/\1/p' "$kit_log" | head -n 1)
# What the simulator prints from now on (the commands it receives) goes to this terminal.
tail -n +2 -f "$kit_log" --pid "$kit" &

stage "starting the viewer"
echo "Simulated kit ready: type 127.0.0.1 under IP address and $port under PORT name, then press Connect."
"$ROOT/build/bin/zorvan" "$@"
