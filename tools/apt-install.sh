#!/bin/bash
# Installs the named Debian packages from the sources apt is given. When some
# package lists cannot be fetched in full (a mirror in the middle of a sync),
# apt would mix complete and stale lists, and packages of two architectures
# no longer agree on versions: then the packages are installed from the
# sources whose lists could be read, and the lists are fetched again after.
set -u
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
parts=$(mktemp -d)
trap 'rm -rf "$log" "$parts"' EXIT
apt-get update -qq 2>"$log"
updated=$?
cat "$log" >&2
apt-get install -y -qq "$@" >/dev/null && exit 0
[ "$updated" != 0 ] || exit 1
failed=$(grep -o 'Failed to fetch [^ ]*' "$log" | awk '{ print $4 }' | sed -E 's#/dists/.*##' | sort -u)
[ -n "$failed" ] || exit 1
echo "installing again without the sources whose lists could not be read: $(echo $failed)" >&2
for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk -v bad="$failed" 'BEGIN { RS = ""; ORS = "\n\n"; n = split(bad, b, "\n") }
        { for (i = 1; i <= n; i++) if (index($0 "\n", "URIs: " b[i] "\n")) next; print }' "$f" >"$parts/$(basename "$f")"
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    out=$parts/$(basename "$f" .list).list
    cp "$f" "$out"
    for u in $failed; do grep -vF " $u " "$out" >"$out.new" || true; mv "$out.new" "$out"; done
done
options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$parts")
apt-get "${options[@]}" update -qq && apt-get "${options[@]}" install -y -qq "$@" >/dev/null
status=$?
apt-get update -qq >/dev/null 2>&1   # the lists of every source again
exit $status
