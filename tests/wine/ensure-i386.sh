#!/bin/bash
# Wine's 32-bit side is made of 32-bit Linux programs. Some machines run a
# kernel without IA-32 emulation (a 32-bit execve fails with "Exec format
# error"); there they run through qemu's user-mode emulator, registered with
# binfmt_misc, and Wine's server is its 64-bit build. qemu 8 or later is
# needed: Wine reserves its address ranges with MAP_FIXED_NOREPLACE, which
# older user-mode emulators ignore. Needs root; does nothing where 32-bit
# programs run natively.
set -euo pipefail
probe=/lib/ld-linux.so.2
runs32() { "$probe" --help >/dev/null 2>&1; }

[ -x "$probe" ] || { echo "ensure-i386: $probe missing (install wine32:i386 first)" >&2; exit 1; }

# Under the emulator the 32-bit wineserver cannot trace other processes (the
# emulator has no ptrace), so reading another process's memory fails; Wine's
# 64-bit server, run natively, serves 32-bit clients and can.
native_server() {
    [ -x /usr/lib/wine/wineserver64 ] && return 0
    echo "ensure-i386: installing Wine's 64-bit server"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq wine64 >/dev/null
}

if runs32; then
    if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then native_server; fi
    exit 0
fi

# The archive that already serves the release (one-line .list entries or
# deb822 .sources files), so the backports come from wherever apt is pointed.
release_mirror() {
    local codename=$1 f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk -v s="$codename" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) while (i <= NF && $i !~ /\]$/) i++; if ($2 ~ /^\[/) i++;
                                             if ($(i + 1) == s) { print $i; exit } }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # Stanzas are separated by blank lines; take the first URI of a stanza whose suites name the release.
        awk -v s="$codename" 'BEGIN { RS = ""; FS = "\n" }
            { uri = ""; hit = 0
              for (i = 1; i <= NF; i++) {
                  if ($i ~ /^URIs:/) { split($i, u, /[ \t]+/); uri = u[2] }
                  if ($i ~ /^Suites:/) { n = split($i, w, /[ \t]+/); for (j = 2; j <= n; j++) if (w[j] == s) hit = 1 }
              }
              if (hit && uri != "") { print uri; exit } }' "$f"
    done | head -n 1
}

qemu=/usr/bin/qemu-i386
qemu_is_new() {
    [ -x "$qemu" ] || return 1
    local v
    v=$("$qemu" --version | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
    [ -n "$v" ] && [ "$v" -ge 8 ]
}
if ! qemu_is_new; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    list=/etc/apt/sources.list.d/quorvin-backports.list
    if [ -n "$codename" ] && ! apt-cache policy qemu-user-static | grep -q "$codename-backports"; then
        mirror=$(release_mirror "$codename")
        [ -n "$mirror" ] || { echo "ensure-i386: no package source for $codename to add its backports from" >&2; exit 1; }
        echo "deb $mirror $codename-backports main" > "$list"
        apt-get update -qq
    fi
    echo "ensure-i386: installing qemu's user-mode emulator for 32-bit programs"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t "$codename-backports" qemu-user-static >/dev/null
    qemu_is_new || { echo "ensure-i386: no qemu-i386 of version 8 or later" >&2; exit 1; }
fi

binfmt=/proc/sys/fs/binfmt_misc
[ -f "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
# An entry left by an older emulator holds its binary open: replace it.
for entry in "$binfmt"/qemu-i386*; do
    [ -f "$entry" ] || continue
    grep -q "^interpreter $qemu\$" "$entry" && continue
    echo -1 > "$entry"
done
if [ ! -f "$binfmt/qemu-i386" ]; then
    # 32-bit little-endian x86 ELF executables and shared objects.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
        > "$binfmt/register"
fi
runs32 || { echo "ensure-i386: 32-bit programs still do not run" >&2; exit 1; }
native_server
echo "ensure-i386: 32-bit programs run through $qemu"
