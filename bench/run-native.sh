#!/bin/bash
# The native scanner's benchmark, side by side in one run on generated trees
# (the small-file tree of the Windows walk benchmark and a tree of factory
# programs): the bare walk that opens and reads every file, fixquorvin with
# one job and with one job per processor (--dry-run, so the trees stay as they
# are), and clamscan with a one-line signature database of our own.
# Best of the rounds, warm cache. usage: bench/run-native.sh [small files] [programs] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native
small=${1:-20000}
programs=${2:-5000}
rounds=${3:-3}
jobs=$(nproc)

cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" >/dev/null
work=$(mktemp -d /tmp/fixquorvin-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$build/bin/bench_tree" small "$work/small" "$small"
"$build/bin/bench_tree" programs "$work/programs" "$programs"
# One body signature for any file type: the marker of the threat's own file.
echo 'W32.Quorvin.Marker:0:*:57494e5850474f44' > "$work/quorvin.ndb"
clamscan=$(command -v clamscan || true)

# Milliseconds of the best of $rounds runs of the command.
best() {
    local best="" start end ms
    for _ in $(seq "$rounds"); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1 || true
        end=$(date +%s%N)
        ms=$(( (end - start) / 1000000 ))
        if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    echo "$best"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

printf '%-10s %7s %11s %13s %13s %11s %14s %16s\n' tree files "read walk" "fixquorvin -j1" \
    "fixquorvin -j$jobs" clamscan "-j$jobs / read" "clamscan / -j$jobs"
for tree in small programs; do
    dir=$work/$tree
    files=$(find "$dir" -type f | wc -l)
    "$build/bin/bench_tree" read "$dir" >/dev/null   # warm the cache
    found=$("$build/bin/fixquorvin" --dry-run "$dir" | grep -c 'infected with' || true)
    [ "$found" = 0 ] || { echo "fixquorvin found something in the $tree tree"; exit 1; }
    read_ms=$(best "$build/bin/bench_tree" read "$dir")
    one_ms=$(best "$build/bin/fixquorvin" --dry-run --jobs=1 "$dir")
    all_ms=$(best "$build/bin/fixquorvin" --dry-run --jobs="$jobs" "$dir")
    clam_ms=-
    [ -n "$clamscan" ] && clam_ms=$(best "$clamscan" --no-summary --infected -d "$work/quorvin.ndb" -r "$dir")
    printf '%-10s %7s %8s ms %10s ms %10s ms %8s ms %14s %16s\n' "$tree" "$files" "$read_ms" "$one_ms" "$all_ms" \
        "$clam_ms" "$(ratio "$all_ms" "$read_ms")" "$(ratio "$clam_ms" "$all_ms")"
done
[ -n "$clamscan" ] || echo "(clamscan not installed: Debian package clamav)"
