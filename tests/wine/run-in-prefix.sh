#!/bin/bash
# Runs a Wine command in an existing, sealed prefix (for scripts and the demo).
# usage: run-in-prefix.sh PREFIX COMMAND [ARGS...]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
prefix=$1; shift
seal_prefix "$prefix"
assert_sealed "$prefix" || exit 1
export WINEPREFIX=$prefix
"$@"
