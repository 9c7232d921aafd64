#!/usr/bin/env bash
# proxy_double.sh start|stop <dir>: runs the HTTP proxy double (http_proxy.py)
# in the background; <dir>/ports.json tells its ports once it listens.
set -euo pipefail
cmd=$1 dir=$2
here=$(cd "$(dirname "$0")" && pwd)
case $cmd in
start)
  "$0" stop "$dir" || true
  mkdir -p "$dir"
  rm -f "$dir/ports.json" "$dir/requests.jsonl"
  setsid /usr/bin/python3 "$here/http_proxy.py" "$dir" </dev/null >"$dir/proxy.log" 2>&1 &
  echo $! >"$dir/proxy.pid"
  for _ in $(seq 100); do
    [ -f "$dir/ports.json" ] && exit 0
    sleep 0.1
  done
  echo "proxy double did not start" >&2; cat "$dir/proxy.log" >&2; exit 1 ;;
stop)
  if [ -f "$dir/proxy.pid" ]; then
    kill "$(cat "$dir/proxy.pid")" 2>/dev/null || true
    rm -f "$dir/proxy.pid"
  fi ;;
esac
