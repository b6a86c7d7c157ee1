#!/bin/bash
# Walk benchmark under Wine (a fresh copy of the test prefix, z: removed):
# files per second of ScanDrives against bare walks over a generated tree.
# usage: bench/run-walk.sh [small files] [rounds]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$root/build/win32
[ -x "$build/bin/walk_bench.exe" ] || { cmake --preset win32 >/dev/null && cmake --build --preset win32 --target walk_bench; }
"$root/tests/wine/run-test.sh" "$build/bin/walk_bench.exe" "$@"
