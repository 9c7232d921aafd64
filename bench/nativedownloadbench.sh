#!/usr/bin/env bash
# bench/nativedownloadbench.sh [MiB list] [rounds]: gateway downloads against a
# native TLS server (openssl s_server -HTTP on loopback, TLS 1.2), one file of
# each size (128 and 512 MiB by default) whose reply carries Content-Length.
# Each round runs, one after another and each in its own process:
#   tunnel  DownLoadFileToBSTR straight to the server, under Wine;
#   bare    blocking recv + DecryptMessage on the same GET, in the same Wine;
#   curl    natively;
#   touch   a BSTR of the body's size allocated and written once, under Wine:
#           the floor that storing the body puts under the tunnel (a page
#           fault per page of fresh memory), which the bare loop never pays.
# Prints every round with the load average, the median of the rounds (3 by
# default) in MB/s (10^6 bytes of body per second, whole requests timed), the
# ratios and the peak working set of the tunnel's process beside the body
# size. BUILD_DIR chooses the build folder; TUNNEL_EXE runs the tunnel round
# from another build of nativedownloadbench.exe; BEFORE_EXE adds a round of
# an earlier build's tunnel beside this build's in every round, so that
# before and after meet the same load.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
sizes=${1:-128 512} rounds=${2:-3}
work=$build/nativedownloadbench
[ -f "$build/build.ninja" ] || "$top/script/build" >/dev/null
cmake --build "$build" --target nativedownloadbench >/dev/null
exe=$build/bench/nativedownloadbench.exe
tunnel_exe=${TUNNEL_EXE:-$exe}
before_exe=${BEFORE_EXE:-}

prefix=prx/000/http/localhost/client_sec/l3vpn
mkdir -p "$work/www/$prefix"
[ -f "$work/key.pem" ] || openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 3650 -subj /CN=localhost >/dev/null 2>&1
for mib in $sizes; do
  served=$work/www/$prefix/bulk-$mib.bin
  [ -f "$served" ] || {
    printf 'HTTP/1.1 200 OK\r\nContent-Length: %d\r\nContent-Type: application/octet-stream\r\n\r\n' $((mib << 20))
    head -c $((mib << 20)) /dev/urandom
  } >"$served"
done

# -HTTP sends the file as the whole reply, head included.
(cd "$work/www" && exec setsid openssl s_server -accept 0 -cert "$work/cert.pem" -key "$work/key.pem" -HTTP \
  -no_tls1_3 </dev/null >"$work/server.out" 2>&1) &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^ACCEPT .*:\([0-9][0-9]*\)$/\1/p' "$work/server.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "openssl s_server did not start" >&2; exit 1; }

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
ratio() { python3 -c 'import sys; a, b = map(float, sys.argv[1:]); print("%.2f" % (a / b if b else 0))' "$1" "$2"; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "openssl s_server -HTTP on 127.0.0.1:$port, TLS 1.2; load average at start: $(load)"
for mib in $sizes; do
  file=bulk-$mib.bin
  served=$work/www/$prefix/$file
  total=$(stat -c %s "$served")
  winpath="Z:${served//\//\\}"
  tunnel= bare= curl= peak= touch= beyond= before=
  for i in $(seq "$rounds"); do
    if [ -n "$before_exe" ]; then
      e=$("$build/harness/winerun" "$before_exe" tunnel "$port" "$file" "$winpath" | tr -d '\r')
      case $e in tunnel\ *) ;; *) echo "round $i (before): $e" >&2; exit 1 ;; esac
      read -r _ _ _ em _ <<<"$e" || true
      before+=" $em"
    fi
    t=$("$build/harness/winerun" "$tunnel_exe" tunnel "$port" "$file" "$winpath" | tr -d '\r')
    b=$("$build/harness/winerun" "$exe" bare "$port" "$file" "$total" | tr -d '\r')
    w=$("$build/harness/winerun" "$exe" touch $((mib << 20)) | tr -d '\r')
    c=$(curl -sk -b KZsession=bench -o /dev/null -w '%{time_total}' "https://127.0.0.1:$port/$prefix/$file")
    read -r _ _ _ tm tpeak tbefore <<<"$t" || true
    read -r _ _ _ bm _ <<<"$b" || true
    read -r _ _ ws _ <<<"$w" || true
    case $t in tunnel\ *) ;; *) echo "round $i: $t" >&2; exit 1 ;; esac
    case $b in bare\ *) ;; *) echo "round $i: $b" >&2; exit 1 ;; esac
    case $w in touch\ *) ;; *) echo "round $i: $w" >&2; exit 1 ;; esac
    cm=$(python3 -c 'import sys; print("%.1f" % ((int(sys.argv[1]) << 20) / 1e6 / float(sys.argv[2])))' "$mib" "$c")
    tunnel+=" $tm" bare+=" $bm" curl+=" $cm" peak+=" $tpeak" touch+=" $ws"
    beyond+=" $(python3 -c 'import sys; p, b, m = map(float, sys.argv[1:]); print("%.1f" % (p - b - m))' "$tpeak" "$tbefore" "$mib")"
    printf '%4s MiB round %s: tunnel %7.1f  bare %7.1f  curl %7.1f MB/s; touch %.2f s; tunnel peak %.0f MiB (%.0f before); load %s\n' \
      "$mib" "$i" "$tm" "$bm" "$cm" "$ws" "$tpeak" "$tbefore" "$(load)"
    [ -n "$before_exe" ] && printf '%4s MiB round %s: before %7.1f MB/s\n' "$mib" "$i" "$em"
  done
  tm=$(median <<<"$tunnel") bm=$(median <<<"$bare") cm=$(median <<<"$curl") pm=$(median <<<"$peak")
  ws=$(median <<<"$touch") over=$(median <<<"$beyond")
  printf '%4s MiB, median of %s: tunnel %.1f, bare %.1f, curl %.1f MB/s; tunnel/bare %s, bare/curl %s, tunnel/curl %s\n' \
    "$mib" "$rounds" "$tm" "$bm" "$cm" "$(ratio "$tm" "$bm")" "$(ratio "$bm" "$cm")" "$(ratio "$tm" "$cm")"
  # The bare loop's time plus the first touch of the body's memory.
  floor=$(python3 -c 'import sys; m, b, w = map(float, sys.argv[1:]); print("%.1f" % ((m * 1048576 / 1e6) / ((m * 1048576 / 1e6) / b + w)))' "$mib" "$bm" "$ws")
  printf '%4s MiB: first touch of the body %.2f s; bare + touch %.1f MB/s; tunnel/(bare + touch) %s\n' \
    "$mib" "$ws" "$floor" "$(ratio "$tm" "$floor")"
  if [ -n "$before_exe" ]; then
    em=$(median <<<"$before")
    printf '%4s MiB: before %.1f MB/s, before/bare %s, before/(bare + touch) %s; after/before %s\n' \
      "$mib" "$em" "$(ratio "$em" "$bm")" "$(ratio "$em" "$floor")" "$(ratio "$tm" "$em")"
  fi
  printf '%4s MiB: tunnel peak working set %.0f MiB, %.1f MiB beyond the body and the process before it; target tunnel/bare >= 0.8 %s\n' \
    "$mib" "$pm" "$over" \
    "$(python3 -c 'import sys; print("met" if float(sys.argv[1]) >= 0.8 * float(sys.argv[2]) else "missed")' "$tm" "$bm")"
done
echo "load average at end: $(load)"
