#!/usr/bin/env bash
# bench/downloadbench.sh [MiB] [rounds]: the gateway download benchmark. Builds
# downloadbench.exe, serves a file of MiB (64 by default) from the TLS gateway
# double, starts the open proxy double, measures curl natively as the
# machine's reference (best of the rounds, 3 by default) and runs
# downloadbench.exe under the harness with curl's figure. BUILD_DIR chooses
# the build folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
mib=${1:-64} rounds=${2:-3}
work=$build/downloadbench
"$top/script/build" >/dev/null
cmake --build "$build" --target downloadbench >/dev/null

mkdir -p "$work/root"
file=bulk-$mib.bin
[ -f "$work/root/$file" ] || head -c $((mib << 20)) /dev/urandom >"$work/root/$file"
rm -f "$work/gateway.port"
setsid /usr/bin/python3 "$top/test/doubles/gateway.py" --root "$work/root" --cert-dir "$work/certs" \
  --ready-file "$work/gateway.port" --session bench </dev/null >"$work/gateway.out" 2>&1 &
gateway=$!
"$top/test/doubles/proxy_double.sh" start "$work/proxy"
trap 'kill $gateway 2>/dev/null || true; "$top/test/doubles/proxy_double.sh" stop "$work/proxy"' EXIT
for _ in $(seq 100); do [ -s "$work/gateway.port" ] && break; sleep 0.1; done
port=$(cat "$work/gateway.port")
proxy=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["open"])' "$work/proxy/ports.json")

url=https://127.0.0.1:$port/prx/000/http/localhost/client_sec/l3vpn/$file
curl_best=0
for i in $(seq "$rounds"); do
  seconds=$(curl -sk -b KZsession=bench -o /dev/null -w '%{time_total}' "$url")
  curl_best=$(python3 -c 'import sys; m, s, b = map(float, sys.argv[1:]); print(max(b, m * 1048576 / 1e6 / s))' \
    "$mib" "$seconds" "$curl_best")
done
printf 'curl (native), best of %s rounds: %.1f MB/s\n' "$rounds" "$curl_best"
"$build/harness/winerun" "$build/bench/downloadbench.exe" "$port" "$proxy" "$file" \
  "Z:${work//\//\\}\\root\\$file" "$rounds" "$curl_best"
