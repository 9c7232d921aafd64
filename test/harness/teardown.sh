#!/usr/bin/env bash
# Stops what the slots started: each idle slot's wineserver and display (the
# prefixes stay for the next run). A slot that a program still holds is left.
# usage: teardown.sh <harness-dir>
set -u
dir=$1
for s in "$dir"/slots/*/; do
  s=${s%/}
  (
    flock -n 9 || exit 0
    [ -d "$s/wineprefix" ] && WINEPREFIX="$s/wineprefix" wineserver -k >/dev/null 2>&1 9>&-
    rm -f "$s/server"
    if [ -f "$s/xvfb.pid" ]; then
      kill "$(cat "$s/xvfb.pid")" 2>/dev/null
      rm -f "$s/xvfb.pid" "$s/display"
    fi
  ) 9>>"$s.lock"
done
exit 0
