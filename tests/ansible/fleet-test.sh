#!/bin/bash
# The fleet playbooks for real: ansible-lint on ansible/, --syntax-check on
# every playbook, then audit -> clean -> restart (not allowed) -> verify over a
# local fleet, and the fleet report checked against what was planted, then a
# restore on fs1 and win1 that must give back the planted bytes:
#   fs1  the factory's sample set without its unrepairable sample
#   fs2  the whole set: one sample cannot be repaired (failed, not verified)
#   fs3  clean programs only (nothing found)
#   fs4  two trees, each the set without its unrepairable sample
#   fs5  a tree and a path that does not exist (the program cannot run through)
#   gone a file server that never answers (unreachable)
#   win1 FixQuorvin.exe under Wine in its own sealed prefix, samples planted,
#        originals kept with /QUARANTINE=
#   win2 the same, the threat's file held open during the clean run: its
#        deletion waits for the restart, which the restart stage makes
# usage: fleet-test.sh ROOT   (needs build/host and build/win32)
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
here=$root/tests/ansible
. "$root/tests/wine/common.sh"
if ! command -v ansible-playbook >/dev/null 2>&1; then
    echo "fleet test SKIPPED: ansible is not installed (Debian: apt-get install ansible ansible-lint)"
    exit 0
fi
host_bin=$root/build/host/bin
win_bin=$root/build/win32/bin
for f in "$host_bin/fixquorvin" "$host_bin/write_samples_tool" "$win_bin/FixQuorvin.exe" "$win_bin/plant_samples.exe" \
         "$win_bin/file_holder.exe"; do
    [ -f "$f" ] || { echo "fleet test: $f is missing (make host win32)" >&2; exit 1; }
done
fail=0
check() { if "$@"; then :; else echo "FAILED: $*" >&2; fail=1; fi; }

echo "== ansible-lint ansible/"
if command -v ansible-lint >/dev/null 2>&1; then
    check bash -c "cd '$root/ansible' && ansible-lint --offline -q audit.yml clean.yml restart.yml verify.yml restore.yml roles/quorvin"
else
    echo "ansible-lint is not installed: lint SKIPPED"
fi
echo "== ansible-playbook --syntax-check"
for p in "$root"/ansible/*.yml; do
    case $(basename "$p") in inventory*) continue;; esac
    check ansible-playbook --syntax-check -i "$root/ansible/inventory.example.yml" "$p" >/dev/null
done

work=$(mktemp -d /tmp/quorvin-fleet.XXXXXX)
prefixes=()
cleanup() {
    local p
    for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k >/dev/null 2>&1; rm -rf "$p"; done
    [ -n "${QUORVIN_KEEP_FLEET:-}" ] && { echo "kept: $work"; return; }
    rm -rf "$work"
}
trap cleanup EXIT

# A tree of factory samples; drops the unrepairable one unless told to keep it.
# Prints the expected counts: found repaired failed deleted.
plant_tree() {
    local dir=$1 keep_bad=$2 list
    list=$("$host_bin/write_samples_tool" "$dir" -) || return 1
    if [ "$keep_bad" = no ]; then
        awk '/infected, not repairable$/ { print $1 }' <<<"$list" | while read -r f; do rm -f "$dir/$f"; done
        list=$(grep -v 'infected, not repairable$' <<<"$list")
    fi
    printf '%s\n' "$list" >"$dir.list"
}
expect_tree() {  # NAME LIST...: found repaired failed deleted over the lists
    local name=$1; shift
    local rep bad del
    rep=$(cat "$@" | grep -c 'infected, repairable$')
    bad=$(cat "$@" | grep -c 'infected, not repairable$')
    del=$(cat "$@" | grep -c 'threat file$')
    echo "\"$name\": {\"found\": $((rep + bad + del)), \"repaired\": $rep, \"failed\": $bad, \"deleted\": $del},"
}

echo "== planting"
t=$work/trees
mkdir -p "$t"
plant_tree "$t/fs1" no && plant_tree "$t/fs2" yes && plant_tree "$t/fs4a" no && plant_tree "$t/fs4b" no && plant_tree "$t/fs5" no || exit 1
# fs3: the set's clean programs only.
plant_tree "$t/fs3" yes || exit 1
grep -v ' clean$' "$t/fs3.list" | awk '{ print $1 }' | while read -r f; do rm -f "$t/fs3/$f"; done
grep ' clean$' "$t/fs3.list" >"$t/fs3.clean"; mv "$t/fs3.clean" "$t/fs3.list"

template=$root/build/win32/wine/template
"$root/tests/wine/make-template.sh" "$template" >/dev/null || exit 1
mkdir -p "$root/build/win32/wine/runs"
make_prefix() {  # NAME PLANT(yes/no): prints the prefix
    local p
    p=$(mktemp -d "$root/build/win32/wine/runs/fleet-$1.XXXXXX")
    cp -a "$template/." "$p/"; rm -f "$p/.quorvin-ready"
    seal_prefix "$p"; assert_sealed "$p" || return 1
    mkdir -p "$p/drive_c/quorvin"
    cp "$win_bin/FixQuorvin.exe" "$win_bin/plant_samples.exe" "$win_bin/hello.exe" "$win_bin/file_holder.exe" \
        "$p/drive_c/quorvin/"
    if [ "$2" = yes ]; then
        (export WINEPREFIX=$p
         wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Runonce \
             /d 'rundll32.exe C:\windows\temp\vcab.dll,Start' /f >/dev/null 2>&1
         cd "$p/drive_c/quorvin" && wine 'C:\quorvin\plant_samples.exe' 'C:\quorvin\samples' >"$p/plant.out" 2>&1
         rc=$?; wineserver -w; exit $rc) || { echo "planting in $p failed" >&2; cat "$p/plant.out" >&2; return 1; }
    fi
    echo "$p"
}
win1=$(make_prefix win1 yes) || exit 1; prefixes+=("$win1")
# What the restore must give back: fs1's tree, win1's samples and threat file.
cp -a "$t/fs1" "$work/fs1.planted"
win1_threat=$(find "$win1/drive_c/users" -iname vcab.dll | head -1)
[ -n "$win1_threat" ] || { echo "win1: the planted threat file is not there" >&2; exit 1; }
cp -a "$win1/drive_c/quorvin/samples" "$work/win1.planted"; cp -a "$win1_threat" "$work/win1.threat"
win2=$(make_prefix win2 yes) || exit 1; prefixes+=("$win2")

logs=$work/controller
inventory=$work/inventory.yml
cat >"$inventory" <<INV
all:
  vars:
    quorvin_log_dir: $logs
    quorvin_native_program: $host_bin/fixquorvin
    quorvin_log_reader: $root/tools/quorvin-log
    quorvin_windows_program: $win_bin/FixQuorvin.exe
  children:
    quorvin_fileservers:
      vars:
        ansible_connection: local
        ansible_python_interpreter: $(command -v python3)
      hosts:
        fs1: {quorvin_paths: [$t/fs1], quorvin_remote_dir: $work/hosts/fs1, quorvin_quarantine_dir: $work/hosts/fs1/quarantine}
        fs2: {quorvin_paths: [$t/fs2], quorvin_remote_dir: $work/hosts/fs2, quorvin_quarantine_dir: $work/hosts/fs2/quarantine}
        fs3: {quorvin_paths: [$t/fs3], quorvin_remote_dir: $work/hosts/fs3, quorvin_quarantine_dir: $work/hosts/fs3/quarantine}
        fs4: {quorvin_paths: [$t/fs4a, $t/fs4b], quorvin_remote_dir: $work/hosts/fs4, quorvin_quarantine_dir: $work/hosts/fs4/quarantine}
        fs5: {quorvin_paths: [$t/fs5, $t/fs5-missing], quorvin_remote_dir: $work/hosts/fs5, quorvin_quarantine_dir: $work/hosts/fs5/quarantine}
        # Never answers: ssh's proxy command ends at once, no name is looked up.
        gone:
          ansible_connection: ssh
          ansible_host: fileserver.invalid
          ansible_ssh_common_args: -o ProxyCommand=false
    quorvin_windows:
      vars:
        ansible_connection: local
        ansible_python_interpreter: $(command -v python3)
        quorvin_restarts_allowed: true
      hosts:
        win1: {quorvin_windows_launcher: [$here/wine-launcher.sh, $win1], quorvin_quarantine_dir: 'C:\\quorvin\\kept'}
        win2: {quorvin_windows_launcher: [$here/wine-launcher.sh, $win2]}
INV

{
    echo "{"
    expect_tree fs1 "$t/fs1.list"
    expect_tree fs2 "$t/fs2.list"
    expect_tree fs3 "$t/fs3.list"
    expect_tree fs4 "$t/fs4a.list" "$t/fs4b.list"
    # fs5's tree is cleaned and counted, but the run as a whole cannot go through.
    expect_tree fs5 "$t/fs5.list" | sed 's/}/, "ran": false}/'
    echo '"gone": {"reachable": false},'
    # Two infected copies of hello.exe, the dropper, the threat's file, the start-up value.
    echo '"win1": {"found": 5, "repaired": 2, "failed": 0, "deleted": 2, "restarted": false},'
    echo '"win2": {"found": 5, "repaired": 2, "failed": 0, "deleted": 2, "restarted": true}'
    echo "}"
} >"$work/planted.json"

cd "$root/ansible"
TIMEFORMAT='%R %U %S'
export ANSIBLE_CONFIG=$root/ansible/ansible.cfg ANSIBLE_NOCOLOR=1
stage() {  # STAGE [ARGS]: runs the stage's playbook, keeps its output and times
    local s=$1; shift
    echo "== ansible-playbook $s.yml"
    { time ansible-playbook -i "$inventory" "$s.yml" "$@" >"$work/$s.out" 2>&1; } 2>"$work/$s.time"
    local rc=$?
    sed -n '/^PLAY RECAP/,$p' "$work/$s.out"
    echo "$s: $(cat "$work/$s.time") s (wall, user, system), exit code $rc"
    return $rc
}
stage audit; check test $? -eq 0
# win2's threat file is held open (no sharing) while it is cleaned; the
# launcher's end of the run ends the holder too.
temp=$(WINEPREFIX=$win2 wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
(cd "$win2/drive_c/quorvin" && WINEPREFIX=$win2 xvfb-run -a -n $((100 + ($$ + 1) % 800)) -s "-screen 0 1024x768x24" \
    wine 'C:\quorvin\file_holder.exe' lock "$temp\VCAB.DLL" fleet-hold >"$win2/holder.out" 2>&1 &)
sleep 5
stage clean; check test $? -eq 0
# Before the restart stage, win2 waits for its restart.
check python3 -c 'import json, sys; sys.exit(json.load(open(sys.argv[1]))["totals"]["waiting_for_restart"] != 1)' \
    "$logs/fleet-report.json"
stage restart; check test $? -eq 0
stage verify; rc=$?
# The verify stage fails and names the hosts that are not clean.
check test $rc -ne 0
check grep -q 'not verified clean (logs kept under .*): fs2, fs5, gone"' "$work/verify.out"

echo "== the fleet report"
cat "$logs/fleet-report.md"
check python3 "$here/check_report.py" "$logs" "$work/planted.json"

# A restore without --limit is refused before any host is touched.
stage restore; rc=$?
check test $rc -ne 0
check test ! -e "$logs/fs1/restore.json"
stage restore --limit fs1,win1; check test $? -eq 0
check diff -r "$work/fs1.planted" "$t/fs1"
check diff -r "$work/win1.planted" "$win1/drive_c/quorvin/samples"
check cmp "$work/win1.threat" "$win1_threat"
# Every file the clean run repaired or deleted is back; the other hosts have no restore.
check python3 "$here/check_report.py" --restored "$logs" \
    "{\"fs1\": $(grep -c 'infected, repairable$\|threat file$' "$t/fs1.list"), \"win1\": 4}"

# Ansible's own cost per host and stage: the audit once more with programs that
# do nothing (no log, so nothing to read), on one host and on the seven local
# ones, into a folder of its own. The difference is the cost of six hosts.
# A measurement, not a check: only when asked for (make bench).
if [ -z "${QUORVIN_FLEET_MEASURE:-}" ]; then
    [ $fail -eq 0 ] && echo "fleet test: PASSED" || echo "fleet test: FAILED"
    exit $fail
fi
echo "== Ansible's cost per host (audit with programs that do nothing)"
measure() {  # NAME LIMIT
    { time ansible-playbook -i "$inventory" audit.yml --limit "$2" \
        -e "quorvin_log_dir=$work/measure-$1" -e quorvin_native_program=/bin/true \
        -e '{"quorvin_windows_launcher": ["/bin/true"]}' >"$work/measure-$1.out" 2>&1; } 2>"$work/measure-$1.time"
}
check measure 1 fs1
check measure 7 'all:!gone'
read -r w1 u1 s1 <"$work/measure-1.time"; read -r w7 u7 s7 <"$work/measure-7.time"
awk -v w1="$w1" -v u1="$u1" -v s1="$s1" -v w7="$w7" -v u7="$u7" -v s7="$s7" 'BEGIN { c1 = u1 + s1; c7 = u7 + s7
    printf "one host: %.1f s wall, %.1f s CPU; seven hosts: %.1f s wall, %.1f s CPU\n", w1, c1, w7, c7
    printf "per host and stage: %.2f s CPU, %.2f s wall (fixed cost %.1f s CPU)\n", (c7 - c1) / 6, (w7 - w1) / 6, c1 - (c7 - c1) / 6 }'
[ $fail -eq 0 ] && echo "fleet test: PASSED" || echo "fleet test: FAILED"
exit $fail
