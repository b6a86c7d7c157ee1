#!/bin/bash
# The walk benchmark alone; bench/run.sh is the same with the load printed.
exec "$(dirname "$0")/run.sh" "$@"
