#!/usr/bin/env bash
# Installs what is missing, builds, and starts the viewer beside a simulated kit on
# 127.0.0.1:8080. The simulator stops when the viewer closes.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${BUILD_PACKAGES[@]}"
configure "$ROOT/build"
cmake --build "$ROOT/build" -j "$JOBS" --target zorvan zorvan-kit

"$ROOT/build/bin/zorvan-kit" --listen 127.0.0.1:8080 &
kit=$!
trap 'kill "$kit" 2>/dev/null || true; wait "$kit" 2>/dev/null || true' EXIT
echo "Simulated kit on 127.0.0.1:8080: type 127.0.0.1 into the IP address field and press Connect."
"$ROOT/build/bin/zorvan" "$@"
