#!/usr/bin/env bash
# Stops what setup.sh started (the prefix itself stays for the next run).
# usage: teardown.sh <harness-dir>
set -u
dir=$1
export WINEPREFIX="$dir/wineprefix"
[ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
if [ -f "$dir/xvfb.pid" ]; then
  kill "$(cat "$dir/xvfb.pid")" 2>/dev/null
  rm -f "$dir/xvfb.pid" "$dir/display"
fi
exit 0
