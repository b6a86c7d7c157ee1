#!/bin/bash
# The log reader on logs that FixQuorvin.exe writes under Wine, in a throwaway
# prefix whose z: drive is removed: a silent run that scans no file on a clean
# machine, a dry run and then a silent removal of planted samples and the
# start-up value, and one
# where the threat's file is held open so that its deletion waits for the
# restart. The reader's checks (tests/tools/quorvin_log_test.py, WindowsLogs)
# then run over these fresh logs, which are kept in build/win32/artifacts/.
# usage: quorvin_log_wine.sh BUILD-DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/common.sh"
build=$(readlink -f "$1")
bin=$build/bin

"$here/make-template.sh" "$build/wine/template" >/dev/null
mkdir -p "$build/wine/runs"
prefix=$(mktemp -d "$build/wine/runs/quorvin_log.XXXXXX")
cleanup() {
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
}
trap cleanup EXIT
cp -a "$build/wine/template/." "$prefix/"
rm -f "$prefix/.quorvin-ready"
seal_prefix "$prefix"
assert_sealed "$prefix"
export WINEPREFIX=$prefix

tool=$prefix/drive_c/quorvin
mkdir -p "$tool"
cp "$bin/FixQuorvin.exe" "$bin/plant_samples.exe" "$bin/hello.exe" "$bin/file_holder.exe" "$tool/"
logs=$build/artifacts/quorvin_log_wine
rm -rf "$logs"; mkdir -p "$logs"

fixquorvin() {
    local log=$1; shift
    local code=0
    (cd "$tool" && xvfb-run -a -s "-screen 0 1024x768x24" wine 'C:\quorvin\FixQuorvin.exe' /S /NOSILENTREBOOT \
        "/LOG=C:\\quorvin\\$log" "$@" >"$logs/$log.out" 2>&1) || code=$?
    echo "$code" >"$logs/$log.code"
    # The program upper-cases its whole command line, the log's name too.
    cp "$tool/${log^^}" "$logs/$log"
    echo "== $log"
    tr -d '\r' <"$logs/$log"
}
plant() {
    wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Runonce \
        /d 'rundll32.exe C:\windows\temp\vcab.dll,Start' /f >/dev/null 2>&1
    (cd "$tool" && wine 'C:\quorvin\plant_samples.exe' 'C:\quorvin\samples' >/dev/null)
}

fixquorvin windows-silent-clean.log /NOFILESCAN

# A dry run over the planted samples first: the real run after it finds them all.
plant
fixquorvin windows-silent-dryrun.log /DRYRUN /EXITCODE
fixquorvin windows-silent-removed.log

# The threat's file held open without sharing: it can only be deleted at the restart.
plant
temp=$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
# It makes a window, so it gets a display too; its output goes to a file, not
# to the pipe of whoever runs this script.
xvfb-run -a -s "-screen 0 1024x768x24" wine 'C:\quorvin\file_holder.exe' lock "$temp\\VCAB.DLL" quorvin-log-hold \
    >"$logs/file_holder.out" 2>&1 &
holder=$!
sleep 5
fixquorvin windows-silent-restart.log '/ONLYDIR=C:\quorvin\samples'
wineserver -k >/dev/null 2>&1 || true
wait "$holder" || true

# A removal that keeps the originals, then the restore that puts them back.
plant
fixquorvin windows-silent-quarantine.log '/ONLYDIR=C:\quorvin\samples' '/QUARANTINE=C:\quorvin\kept'
fixquorvin windows-silent-restore.log '/RESTORE=C:\quorvin\kept'

QUORVIN_WINDOWS_LOGS=$logs QUORVIN_LOG=$root/tools/quorvin-log \
    python3 "$root/tests/tools/quorvin_log_test.py" -v WindowsLogs
