# Sourced by run-test.sh with $prefix set. Two removable drives, which the
# full scans of the fixed drives never reach and /ONLYDIR= can:
#  L: a tree with a link back to one of its own ancestors (a host symbolic
#     link, which Wine follows) and a link to a folder beside the tree;
#  F: a small file system of its own (tmpfs), for a repair that finds the disk
#     full. Where mounting is not permitted F: is left out and its test skips.
# run-test.sh unmounts what is mounted inside the prefix when the test ends.
mkdir -p "$prefix/drive_l/loop/a/b" "$prefix/drive_l/beside"
ln -sfn ../.. "$prefix/drive_l/loop/a/b/up"
ln -sfn ../../beside "$prefix/drive_l/loop/a/side"
ln -sfn ../drive_l "$prefix/dosdevices/l:"
WINEPREFIX=$prefix wine reg add 'HKLM\Software\Wine\Drives' /v 'l:' /d floppy /f >/dev/null 2>&1
mkdir -p "$prefix/drive_f"
if mount -t tmpfs -o size=512k quorvin-full "$prefix/drive_f" 2>/dev/null; then
    ln -sfn ../drive_f "$prefix/dosdevices/f:"
    WINEPREFIX=$prefix wine reg add 'HKLM\Software\Wine\Drives' /v 'f:' /d floppy /f >/dev/null 2>&1
else
    echo "scan_test.prefix.sh: no small drive F: (mounting is not permitted here)" >&2
fi
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
