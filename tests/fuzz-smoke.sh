#!/bin/bash
# Short libFuzzer runs of every fuzz target, seeded with the sample factory's output.
# usage: fuzz-smoke.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
build=$1
secs=${2:-${QUORVIN_FUZZ_SECONDS:-30}}
shopt -s nullglob
targets=("$build"/*_fuzz)
if [ ${#targets[@]} -eq 0 ]; then echo "no fuzz targets"; exit 0; fi
for seeds in "$build"/*_seeds; do
    "$seeds" "$build/corpus"
done
for t in "${targets[@]}"; do
    name=$(basename "$t")
    corpus=$build/corpus/$name
    mkdir -p "$corpus" "$build/corpus-run/$name"
    echo "fuzz smoke: $name for ${secs}s"
    "$t" -max_total_time="$secs" -print_final_stats=1 -max_len=1048576 \
         "$build/corpus-run/$name" "$corpus" 2>&1 | tail -n 12
done
