#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless: the fuzzers for a short
# while, the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, the whole suite
# as users run it on Qt 5 and then on Qt 6, and last the Debian package's checks.
# Takes about ten minutes on two cores the first time, mostly compiling.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${BUILD_PACKAGES[@]}" "${QT6_PACKAGES[@]}" "${TEST_PACKAGES[@]}" \
    "${FUZZ_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
export QT_QPA_PLATFORM=offscreen

configure "$ROOT/build-fuzz" -DZORVAN_FUZZ=ON -DZORVAN_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++
build "$ROOT/build-fuzz" fuzz_decode fuzz_framereader fuzz_httprequest
run_tests "$ROOT/build-fuzz"

configure "$ROOT/build-asan" -DZORVAN_TESTS=ON -DZORVAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
build "$ROOT/build-asan"
run_tests "$ROOT/build-asan"

configure "$ROOT/build" -DZORVAN_TESTS=ON
build "$ROOT/build"
run_tests "$ROOT/build"

configure "$ROOT/build-qt6" -DZORVAN_TESTS=ON -DZORVAN_QT_MAJOR=6
build "$ROOT/build-qt6"
run_tests "$ROOT/build-qt6"

mapfile -t debs < <("$ROOT/scripts/package.sh")
stage "checking ${debs[*]}"
"$ROOT/tests/package/check-package.sh" "${debs[@]}"
