# Sourced by run-test.sh with $prefix set: a second fixed drive D: and a
# network drive R:, both folders inside the prefix.
mkdir -p "$prefix/drive_d" "$prefix/drive_r"
ln -sfn ../drive_d "$prefix/dosdevices/d:"
ln -sfn ../drive_r "$prefix/dosdevices/r:"
WINEPREFIX=$prefix wine reg add 'HKLM\Software\Wine\Drives' /v 'd:' /d hd /f >/dev/null 2>&1
WINEPREFIX=$prefix wine reg add 'HKLM\Software\Wine\Drives' /v 'r:' /d network /f >/dev/null 2>&1
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
