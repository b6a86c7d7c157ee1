#!/bin/bash
# Creates (once) the template 32-bit prefix that every Wine test copies.
# usage: make-template.sh DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
dir=$1
mkdir -p "$(dirname "$dir")"
exec 9>"$dir.lock"
flock 9
if [ -f "$dir/.quorvin-ready" ]; then
    seal_prefix "$dir"
    assert_sealed "$dir"
    exit 0
fi
rm -rf "$dir"
export WINEPREFIX=$dir
wineboot -i >/dev/null 2>&1 || true
wineserver -w
seal_prefix "$dir"
# A fixed drive C: only; the test scripts add more when a test needs them.
wineserver -k >/dev/null 2>&1 || true
assert_sealed "$dir"
touch "$dir/.quorvin-ready"
echo "template prefix ready: $dir"
