#!/bin/bash
# Runs one Windows test program in a fresh copy of the template prefix.
# Used as CMake's cross-compiling emulator: run-test.sh PROGRAM.exe [ARGS...]
#
# The program and everything next to it (build/win32/bin) is copied to
# C:\quorvin\bin in the copy; files the test leaves in C:\quorvin\out are
# copied back to build/win32/artifacts/<program>/. The prefix copy is removed
# afterwards unless QUORVIN_KEEP_PREFIX is set.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
exe=$(readlink -f "$1"); shift
bindir=$(dirname "$exe")
build=$(dirname "$bindir")
root=$build/wine
name=$(basename "$exe" .exe)
"$here/make-template.sh" "$root/template" >/dev/null || exit 1
mkdir -p "$root/runs"
prefix=$(mktemp -d "$root/runs/$name.XXXXXX")
cp -a "$root/template/." "$prefix/"
rm -f "$prefix/.quorvin-ready"
seal_prefix "$prefix"
assert_sealed "$prefix" || exit 1
export WINEPREFIX=$prefix
drive_c=$prefix/drive_c
# A test may shape its machine first (extra drives, ...): <name>.prefix.sh
# beside its source, sourced with $prefix set. Drives it adds must point
# inside the prefix.
for hook in "$here/../win32/$name.prefix.sh" "$here/../../bench/win32/$name.prefix.sh"; do
    if [ -f "$hook" ]; then . "$hook" || exit 1; fi
done
# Every UI test gets the display settings of tests/ui/prefix.sh.
if [ -f "$here/../ui/$name.cpp" ]; then . "$here/../ui/prefix.sh" || exit 1; fi
assert_sealed "$prefix" || exit 1
mkdir -p "$drive_c/quorvin/bin" "$drive_c/quorvin/out"
cp -a "$bindir/." "$drive_c/quorvin/bin/"
[ -d "$build/samples" ] && cp -a "$build/samples" "$drive_c/quorvin/"
# Every test program gets an X display of its own, so that tests running side
# by side never see (or photograph) each other's windows.
cd "$drive_c/quorvin/bin"
# On a kernel without IA-32 emulation Wine runs through qemu's user-mode
# emulator (tests/wine/ensure-i386.sh), which reports a fault on a page as an
# unknown trap; tests of the fault guard read this to skip.
if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then export QUORVIN_CPU_EMULATED=1; fi
# The output goes to a file, not a pipe: Wine's own service processes inherit
# it and would hold a pipe open after the program ends.
output=$prefix/output.txt
if command -v xvfb-run >/dev/null 2>&1 && [ -z "${QUORVIN_SHARED_DISPLAY:-}" ]; then
    xvfb-run -a -n $((100 + $$ % 800)) -s "-screen 0 1024x768x24" \
        wine "C:\\quorvin\\bin\\$name.exe" "$@" >"$output" 2>&1
else
    wine "C:\\quorvin\\bin\\$name.exe" "$@" >"$output" 2>&1
fi
rc=$?
cat "$output"
# A test program that dies on the way (a Wine client error, say) may still
# leave exit code 0: a test program passes only when its summary was printed.
if [ $rc -eq 0 ] && [[ $name == *_test ]] && ! grep -q '^\[==========\] .* ran\.' "$output"; then
    echo "run-test: $name ended without its test summary" >&2
    rc=1
fi
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
# File systems a prefix hook mounted inside the prefix (a small full drive).
awk -v p="$prefix/" 'index($2, p) == 1 { print $2 }' /proc/mounts | sort -r | while read -r m; do
    umount "$m" || echo "run-test: could not unmount $m" >&2
done
art=$build/artifacts/$name
rm -rf "$art"; mkdir -p "$art"
cp -a "$drive_c/quorvin/out/." "$art/" 2>/dev/null
# Screenshots are written as BMP inside Wine; keep them as PNG.
for bmp in "$art"/*.bmp; do
    [ -f "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
if [ -z "${QUORVIN_KEEP_PREFIX:-}" ]; then rm -rf "$prefix"; else echo "prefix kept: $prefix" >&2; fi
exit $rc
