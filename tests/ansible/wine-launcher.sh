#!/bin/bash
# Stands in for a Windows computer of the fleet test: runs FixQuorvin.exe
# under Wine in that computer's own throwaway prefix (sealed: no z: drive, no
# shell folder leading out of it), as the role's launcher.
#   wine-launcher.sh PREFIX run LOG SWITCH...   the log is copied to LOG; exits with the program's code
#   wine-launcher.sh PREFIX restart             Wine's restart (pending moves, WININIT.INI)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../wine/common.sh"
prefix=$1 what=$2; shift 2
seal_prefix "$prefix"
assert_sealed "$prefix" || exit 3
export WINEPREFIX=$prefix
tool=$prefix/drive_c/quorvin
case "$what" in
run)
    log=$1; shift
    rm -f "$tool/FLEET.LOG" "$log"
    # The output goes to a file: Wine's service processes would hold a pipe open.
    (cd "$tool" && xvfb-run -a -n $((100 + $$ % 800)) -s "-screen 0 1024x768x24" \
        wine 'C:\quorvin\FixQuorvin.exe' "$@" '/LOG=C:\quorvin\fleet.log' >"$tool/fleet.out" 2>&1)
    rc=$?
    # The program upper-cases its whole command line, the log's name too.
    [ -f "$tool/FLEET.LOG" ] && cp "$tool/FLEET.LOG" "$log"
    wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
    exit $rc;;
restart)
    wineboot -r >/dev/null 2>&1; rc=$?
    wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
    exit $rc;;
*)
    echo "usage: $0 PREFIX run LOG SWITCH... | PREFIX restart" >&2; exit 3;;
esac
