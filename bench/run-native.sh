#!/bin/bash
# The native scanner's benchmark, side by side in one run on generated trees:
# the small-file tree of the Windows walk benchmark, a tree of factory
# programs and a tree of a million small files (made, timed and removed).
# On each, warm and cold: fixquorvin with its defaults (--dry-run, so the
# trees stay as they are) against the one-reader walk (open and read every
# file, one at a time), the parallel floor (the same with many reads in
# flight, a thread each) and the ring floor (the same reads handed to the
# kernel together, io_uring); warm also clamscan and yara with signatures of
# our own. Figures
# are medians of the rounds; ratios are taken within this run.
# usage: bench/run-native.sh [small files] [programs] [million files] [rounds]
#   QUORVIN_BENCH_COLD_ROUNDS  rounds of the cold part (default: the rounds;
#                              1 on the million-file tree)
#   QUORVIN_BENCH_OTHER        another fixquorvin build (today's, say) timed beside
#   QUORVIN_BENCH_PEERS=all    clamscan and yara on the million-file tree too
#   the million-file tree is skipped with 0 files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native
small=${1:-20000}
programs=${2:-5000}
million=${3:-1000000}
rounds=${4:-3}
other=${QUORVIN_BENCH_OTHER:-}

cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" >/dev/null
tree=$build/bin/bench_tree
scanner=$build/bin/fixquorvin
work=$(mktemp -d /tmp/fixquorvin-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
# One body signature for any file type: the marker of the threat's own file.
echo 'W32.Quorvin.Marker:0:*:57494e5850474f44' > "$work/quorvin.ndb"
# The header conditions of the detection of an infected program: MZ, "PE" at
# 0x40, three sections or more, the last one empty at 0x200 or later, the
# last two writable, executable code, the one before the last of a size
# between 0x4000 and 0xC000 that lies inside the file.
cat > "$work/quorvin.yar" <<'EOF'
rule quorvin_infected_header
{
    condition:
        uint16(0) == 0x5A4D and uint16(0x40) == 0x4550 and
        uint16(uint32(0x3C) + 6) >= 3 and
        uint32(uint32(0x3C) + 0xF8 + 40 * (uint16(uint32(0x3C) + 6) - 1) + 16) == 0 and
        uint32(uint32(0x3C) + 0xF8 + 40 * (uint16(uint32(0x3C) + 6) - 1) + 20) >= 0x200 and
        uint32(uint32(0x3C) + 0xF8 + 40 * (uint16(uint32(0x3C) + 6) - 1) + 36) == 0xE0000020 and
        uint32(uint32(0x3C) + 0xF8 + 40 * (uint16(uint32(0x3C) + 6) - 2) + 36) == 0xE0000020 and
        uint32(uint32(0x3C) + 0xF8 + 40 * (uint16(uint32(0x3C) + 6) - 2) + 16) > 0x4000 and
        uint32(uint32(0x3C) + 0xF8 + 40 * (uint16(uint32(0x3C) + 6) - 2) + 16) < 0xC000 and
        uint32(uint32(0x3C) + 0xF8 + 40 * (uint16(uint32(0x3C) + 6) - 2) + 20) +
            uint32(uint32(0x3C) + 0xF8 + 40 * (uint16(uint32(0x3C) + 6) - 2) + 16) - 3 <= filesize
}
EOF
clamscan=$(command -v clamscan || true)
yara=$(command -v yara || true)
[ -n "$yara" ] && ! "$yara" -w "$work/quorvin.yar" /dev/null 2>/dev/null && { echo "yara refuses the rule"; exit 1; }

cold=1
if ! { sync && echo 3 > /proc/sys/vm/drop_caches; } 2>/dev/null; then
    cold=0
    echo "cold cache: skipped (the page cache cannot be dropped here: /proc/sys/vm/drop_caches needs root outside a container)"
fi

# "ms KB" of one run of the command; cold: with the page cache dropped first.
one() {
    local drop=$1
    shift
    [ "$drop" = 0 ] || { sync; echo 3 > /proc/sys/vm/drop_caches; }
    "$tree" time "$@"
}
# "ms KB": the median milliseconds of n runs and the largest peak.
median() {
    local n=$1 drop=$2
    shift 2
    for _ in $(seq "$n"); do one "$drop" "$@"; done | sort -n |
        awk '{ v[NR] = $1; if ($2 > kb) kb = $2 } END { printf "%d %d\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, kb }'
}
ms() { median "$@" | cut -d' ' -f1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "-" && b != "-" && b > 0) printf "%.2f", a / b; else print "-" }'; }

ring=1
mkdir "$work/empty"
"$tree" ring "$work/empty" >/dev/null 2>&1 || { ring=0; echo "ring floor: skipped (no io_uring in this build or kernel)"; }

echo "load before: $(uptime)"
printf '%-9s %-5s %8s %10s %10s %10s %10s %9s %11s %11s %11s %10s %10s %10s\n' tree cache files "read walk" parallel \
    ring fixquorvin "peak MB" "fq / read" "fq / par" "fq / ring" clamscan yara "${other:+other}"
unit() { case $1 in '' | -) echo "$1" ;; *) echo "$1 ms" ;; esac; }
row() {   # tree cache files walk par ring fq peakKB clam yara other
    printf '%-9s %-5s %8s %7s ms %7s ms %7s ms %7s ms %9s %11s %11s %11s %10s %10s %10s\n' "$1" "$2" "$3" "$4" "$5" "$6" \
        "$7" "$(awk -v k="$8" 'BEGIN { printf "%.1f", k / 1024 }')" "$(ratio "$7" "$4")" "$(ratio "$7" "$5")" \
        "$(ratio "$7" "$6")" "$(unit "$9")" "$(unit "${10}")" "$(unit "${11}")"
}
bench_tree() {   # name make-mode count
    local name=$1 dir=$work/$1 files n=$rounds coldn=${QUORVIN_BENCH_COLD_ROUNDS:-$rounds}
    "$tree" "$2" "$dir" "$3"
    files=$(find "$dir" -type f | wc -l)
    if [ "$name" = million ]; then coldn=${QUORVIN_BENCH_COLD_ROUNDS:-1}; fi
    # (also the warm-up)
    found=$("$scanner" --dry-run "$dir" | grep -c 'infected with' || true)
    [ "$found" = 0 ] || { echo "fixquorvin found something in the $name tree"; exit 1; }
    local walk par rng fq clam=- yar=- oth=
    walk=$(ms "$n" 0 "$tree" read "$dir")
    par=$(ms "$n" 0 "$tree" parallel "$dir")
    rng=-
    [ "$ring" = 0 ] || rng=$(ms "$n" 0 "$tree" ring "$dir")
    fq=$(median "$n" 0 "$scanner" --dry-run "$dir")
    # The peers take minutes on the million-file tree (clamscan a quarter of
    # an hour): there only with QUORVIN_BENCH_PEERS=all, once.
    local pn=$n
    if [ "$name" = million ]; then pn=1; [ "${QUORVIN_BENCH_PEERS:-}" = all ] || pn=0; fi
    if [ "$pn" -gt 0 ]; then
        [ -z "$clamscan" ] || clam=$(ms "$pn" 0 "$clamscan" --no-summary --infected -d "$work/quorvin.ndb" -r "$dir")
        [ -z "$yara" ] || yar=$(ms "$pn" 0 "$yara" -r -N "$work/quorvin.yar" "$dir")
    fi
    [ -z "$other" ] || oth=$(ms "$n" 0 "$other" --dry-run "$dir")
    row "$name" warm "$files" "$walk" "$par" "$rng" ${fq} "$clam" "$yar" "$oth"
    if [ "$cold" = 1 ]; then
        walk=$(ms "$coldn" 1 "$tree" read "$dir")
        par=$(ms "$coldn" 1 "$tree" parallel "$dir")
        [ "$ring" = 0 ] || rng=$(ms "$coldn" 1 "$tree" ring "$dir")
        fq=$(median "$coldn" 1 "$scanner" --dry-run "$dir")
        [ -z "$other" ] || oth=$(ms "$coldn" 1 "$other" --dry-run "$dir")
        row "$name" cold "$files" "$walk" "$par" "$rng" ${fq} "" "" "$oth"
    fi
    rm -rf "$dir"
}
bench_tree small small "$small"
bench_tree programs programs "$programs"
[ "$million" = 0 ] || bench_tree million small "$million"
echo "load after: $(uptime)"
[ -n "$clamscan" ] || echo "(clamscan not installed: Debian package clamav)"
[ -n "$yara" ] || echo "(yara not installed: Debian package yara)"
