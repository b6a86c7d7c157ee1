#!/bin/bash
# make demo: a fresh 32-bit Wine machine under build/demo (its z: drive removed),
# synthetic samples planted, a silent removal run, the log, and the repaired
# program run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
here=$root/tests/wine
. "$here/common.sh"
build=$root/build/win32
bin=$build/bin
demo=$root/build/demo
prefix=$demo/prefix

"$here/make-template.sh" "$build/wine/template" >/dev/null
rm -rf "$demo"; mkdir -p "$demo"
cp -a "$build/wine/template" "$prefix"
rm -f "$prefix/.quorvin-ready"
seal_prefix "$prefix"; assert_sealed "$prefix"
export WINEPREFIX=$prefix

tool=$prefix/drive_c/quorvin
mkdir -p "$tool"
cp "$bin/FixQuorvin.exe" "$tool/"
for f in plant_samples.exe hello.exe; do [ -f "$bin/$f" ] && cp "$bin/$f" "$tool/"; done

run() { xvfb-run -a -s "-screen 0 1024x768x24" wine "$@"; }

echo "== planting synthetic samples"
wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Runonce /d 'rundll32.exe C:\windows\temp\vcab.dll,Start' /f >/dev/null 2>&1
if [ -f "$tool/plant_samples.exe" ]; then
    (cd "$tool" && wine 'C:\quorvin\plant_samples.exe' 'C:\quorvin\samples')
fi
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Runonce 2>/dev/null | tr -d '\r' | grep -i runonce || true

echo "== FixQuorvin.exe /S"
(cd "$tool" && run 'C:\quorvin\FixQuorvin.exe' /S /NOSILENTREBOOT; echo "exit code: $?")
echo "== fixquorvin.log"
tr -d '\r' < "$tool/fixquorvin.log"

echo "== the start-up value after the run"
if wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Runonce >/dev/null 2>&1; then
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Runonce 2>/dev/null | tr -d '\r' | grep -i runonce
    echo "Runonce IS STILL THERE"; wineserver -k >/dev/null 2>&1 || true; exit 1
else
    echo "Runonce is gone from HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
fi

if [ -f "$tool/samples/hello-infected.exe" ] && [ -f "$tool/hello.exe" ]; then
    echo "== the repaired program runs again"
    clean=$(cd "$tool" && wine 'C:\quorvin\hello.exe' | tr -d '\r')
    repaired=$(cd "$tool" && wine 'C:\quorvin\samples\hello-infected.exe' | tr -d '\r')
    echo "clean:    $clean"
    echo "repaired: $repaired"
    [ "$clean" = "$repaired" ] && echo "same output" || { echo "OUTPUT DIFFERS"; exit 1; }
fi

# Second part: the native scanner on a plain directory tree, as on a Linux
# file server holding a share of infected programs.
native=$root/build/host/bin
share=$demo/share
if [ -x "$native/fixquorvin" ] && [ -x "$native/write_samples_tool" ] && [ -f "$bin/hello.exe" ]; then
    echo "== native scanner: factory samples in a plain directory tree ($share)"
    "$native/write_samples_tool" "$share" "$bin/hello.exe" | sed 's/^/  /'
    echo "== fixquorvin --quarantine=... --log=... $share"
    rc=0
    "$native/fixquorvin" --quarantine="$demo/quarantine" --log="$demo/fixquorvin-native.log" "$share" || rc=$?
    echo "exit code: $rc (2: one sample is built so that it cannot be repaired)"
    echo "== the natively repaired program runs again (Wine)"
    cp "$share/hello-one.exe" "$tool/hello-native.exe"
    clean=$(cd "$tool" && wine 'C:\quorvin\hello.exe' | tr -d '\r')
    repaired=$(cd "$tool" && wine 'C:\quorvin\hello-native.exe' | tr -d '\r')
    echo "clean:    $clean"
    echo "repaired: $repaired"
    [ "$clean" = "$repaired" ] && echo "same output" || { echo "OUTPUT DIFFERS"; wineserver -k >/dev/null 2>&1 || true; exit 1; }
fi
wineserver -k >/dev/null 2>&1 || true
