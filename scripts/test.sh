#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless: the fuzzers for a short
# while, the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, then the whole
# suite as users run it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
export QT_QPA_PLATFORM=offscreen

configure "$ROOT/build-fuzz" -DZORVAN_FUZZ=ON -DZORVAN_TESTS=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build "$ROOT/build-fuzz" -j "$JOBS" --target fuzz_decode fuzz_framereader
(cd "$ROOT/build-fuzz" && ctest --output-on-failure)

configure "$ROOT/build-asan" -DZORVAN_TESTS=ON -DZORVAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$ROOT/build-asan" -j "$JOBS"
(cd "$ROOT/build-asan" && ctest --output-on-failure -j "$JOBS")

configure "$ROOT/build" -DZORVAN_TESTS=ON
cmake --build "$ROOT/build" -j "$JOBS"
cd "$ROOT/build"
ctest --output-on-failure -j "$JOBS"
