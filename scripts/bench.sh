#!/usr/bin/env bash
# Installs what is missing, builds optimised, and runs the benchmarks. Arguments go to
# Google Benchmark, for example --benchmark_filter=BM_Report.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
configure "$ROOT/build-bench" -DZORVAN_TESTS=OFF -DZORVAN_BENCH=ON -DCMAKE_BUILD_TYPE=Release
build "$ROOT/build-bench" zorvan_bench zorvan-kit zorvan-tap zorvan
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$ROOT/build-bench/bin/zorvan_bench" "$@"
