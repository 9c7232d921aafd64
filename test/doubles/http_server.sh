#!/usr/bin/env bash
# http_server.sh start|stop <dir>: runs the loopback HTTP double
# (http_server.py) in the background; <dir>/port tells its port once it listens.
set -euo pipefail
cmd=$1 dir=$2
here=$(cd "$(dirname "$0")" && pwd)
case $cmd in
start)
  "$0" stop "$dir" || true
  mkdir -p "$dir"
  rm -f "$dir/port"
  setsid /usr/bin/python3 "$here/http_server.py" "$dir" </dev/null >"$dir/server.log" 2>&1 &
  echo $! >"$dir/server.pid"
  for _ in $(seq 100); do
    [ -f "$dir/port" ] && exit 0
    sleep 0.1
  done
  echo "HTTP double did not start" >&2; cat "$dir/server.log" >&2; exit 1 ;;
stop)
  if [ -f "$dir/server.pid" ]; then
    kill "$(cat "$dir/server.pid")" 2>/dev/null || true
    rm -f "$dir/server.pid"
  fi ;;
esac
