#!/bin/sh
# run-fuzzer.sh FUZZER SEED_CORPUS SECONDS WORK_DIR
# Fuzzes on a scratch copy of the committed seeds, so a run never changes the repository.
set -eu
fuzzer=$1 seeds=$2 seconds=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
cp "$seeds"/* "$work"/
exec "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$work"
