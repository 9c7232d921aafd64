#!/usr/bin/env bash
# Runs a command in a worker slot of the harness (see slot.bash) held for
# the command's whole life: a system test, a benchmark run, the demo. Every
# winerun inside it runs in the same slot.
#   usage: slot.sh <harness-dir> <command> [args...]
set -u
dir=$1
shift
. "${0%/*}/slot.bash"
quarlo_take_slot "$dir" || exit 125
"$@" 9>&-
rc=$?
quarlo_release_slot "$dir"
exit $rc
