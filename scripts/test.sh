#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${BUILD_PACKAGES[@]}"
configure "$ROOT/build" -DZORVAN_TESTS=ON
cmake --build "$ROOT/build" -j "$JOBS"
cd "$ROOT/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS"
