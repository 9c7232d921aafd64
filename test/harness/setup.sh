#!/usr/bin/env bash
# Brings up the test harness: a Wine prefix of the build's own, a persistent
# wineserver and an Xvfb display. Quick when everything already stands.
# usage: setup.sh <harness-dir>
set -eu
dir=$1
mkdir -p "$dir"
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
exec 9>"$dir/setup.lock"
flock 9

if [ ! -f "$dir/prefix.ready" ]; then
  rm -rf "$WINEPREFIX"
  wineboot -i >"$dir/wineboot.log" 2>&1 </dev/null 9>&-
  wineserver -w 9>&-
  touch "$dir/prefix.ready"
fi

# A persistent server keeps each process start short; it exits with 2 when
# one already runs for the prefix.
wineserver -p >/dev/null 2>&1 </dev/null 9>&- || true

display_ok=0
if [ -f "$dir/display" ] && [ -f "$dir/xvfb.pid" ] && kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null; then
  display_ok=1
fi
if [ "$display_ok" = 0 ]; then
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -nolisten tcp -screen 0 1280x1024x24 >"$dir/xvfb.log" 2>&1 </dev/null 9>&- &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.05
  done
  echo ":$n" >"$dir/display"
fi
