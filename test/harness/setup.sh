#!/usr/bin/env bash
# Prepares the harness's template: one booted Wine prefix of the build's own,
# which every worker slot copies (slot.sh). Quick when it already stands.
# usage: setup.sh <harness-dir>
set -eu
dir=$1
mkdir -p "$dir"
export WINEPREFIX="$dir/template" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$dir/prefix.ready" ] && exit 0
exec 9>"$dir/setup.lock"
flock 9
if [ ! -f "$dir/prefix.ready" ]; then
  rm -rf "$WINEPREFIX"
  wineboot -i >"$dir/wineboot.log" 2>&1 </dev/null 9>&-
  wineserver -w 9>&-
  touch "$dir/prefix.ready"
fi
