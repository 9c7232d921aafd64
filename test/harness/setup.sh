#!/usr/bin/env bash
# Prepares the harness's template: one booted Wine prefix of the build's own,
# which every worker slot copies (slot.bash). Quick when it already stands.
# usage: setup.sh <harness-dir>
set -eu
dir=$1
mkdir -p "$dir"
[ -f "$dir/template.ready" ] && exit 0
exec 9>"$dir/setup.lock"
flock 9
if [ ! -f "$dir/template.ready" ]; then
  # A harness of one shared prefix, from before the slots, goes first.
  if [ -d "$dir/wineprefix" ]; then
    WINEPREFIX="$dir/wineprefix" wineserver -k >/dev/null 2>&1 9>&- || true
    [ -f "$dir/xvfb.pid" ] && kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
    rm -rf "$dir/wineprefix" "$dir/prefix.ready" "$dir/xvfb.pid" "$dir/display"
  fi
  export WINEPREFIX="$dir/template" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  wineboot -i >"$dir/wineboot.log" 2>&1 </dev/null 9>&-
  wineserver -w 9>&-
  touch "$dir/template.ready"
fi
