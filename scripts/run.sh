#!/usr/bin/env bash
# Installs what is missing, builds, and starts the viewer.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${BUILD_PACKAGES[@]}"
build "$ROOT/build" -DZORVAN_TESTS=OFF
exec "$ROOT/build/bin/zorvan" "$@"
