#!/usr/bin/env bash
# Installs what is missing, builds the fuzzers, and runs each for SECONDS (default 60) on a
# scratch copy of the committed seeds.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=${1:-60}
install_missing "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
configure "$ROOT/build-fuzz" -DZORVAN_FUZZ=ON -DZORVAN_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++
build "$ROOT/build-fuzz" fuzz_decode fuzz_framereader fuzz_httprequest
for name in decode framereader httprequest; do
    sh "$ROOT/tests/fuzz/run-fuzzer.sh" "$ROOT/build-fuzz/bin/fuzz_$name" \
        "$ROOT/tests/fuzz/corpus/$name" "$seconds" "$ROOT/build-fuzz/work-$name"
done
