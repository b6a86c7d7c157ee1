#!/bin/bash
# The scan benchmark under Wine (a fresh copy of the test prefix, z: removed,
# a display of its own): one table of tree, baseline, scan and their ratio.
# Run it when the machine is quiet; the load is printed with the table.
# usage: bench/run.sh [small files] [rounds] [heads]
#   (defaults from QUORVIN_BENCH_FILES and QUORVIN_BENCH_ROUNDS: 20000 and 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$root/build/win32
[ -x "$build/bin/walk_bench.exe" ] || { cmake --preset win32 >/dev/null && cmake --build --preset win32 --target walk_bench; }
files=${1:-${QUORVIN_BENCH_FILES:-20000}}
rounds=${2:-${QUORVIN_BENCH_ROUNDS:-3}}
echo "load before: $(uptime)"
"$root/tests/wine/run-test.sh" "$build/bin/walk_bench.exe" "$files" "$rounds" "${@:3}"
echo "load after: $(uptime)"
