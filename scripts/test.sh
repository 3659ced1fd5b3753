#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${BUILD_PACKAGES[@]}"
build "$ROOT/build" -DZORVAN_TESTS=ON
cd "$ROOT/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS"
