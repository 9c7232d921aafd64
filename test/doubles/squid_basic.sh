#!/usr/bin/env bash
# squid_basic.sh start|stop <dir>: a real squid on a loopback port that
# demands Basic credentials (basic_ncsa_auth over a generated password file)
# and allows CONNECT to any loopback port. <dir>/port tells the port.
# Started as root, squid and its helper drop to squid's own user, which may
# not reach <dir> (a checkout under a private home): squid's files then live
# in a folder of their own under /tmp, named in <dir>/work.
set -euo pipefail
cmd=$1 dir=$2
user=${SQUID_USER:-alice} password=${SQUID_PASSWORD:-Secret#1}
case $cmd in
start)
  "$0" stop "$dir" || true
  mkdir -p "$dir"
  rm -f "$dir/port"
  if [ "$(id -u)" = 0 ]; then
    work=$(mktemp -d /tmp/quarlo-squid.XXXXXX)
  else
    work=$dir
  fi
  echo "$work" >"$dir/work"
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  htpasswd -b -c "$work/passwd" "$user" "$password" >/dev/null 2>&1
  cat >"$work/squid.conf" <<CONF
http_port 127.0.0.1:$port
pid_filename $work/squid.pid
access_log stdio:$work/access.log
cache_log $work/cache.log
cache_store_log none
coredump_dir $work
cache deny all
shutdown_lifetime 0 seconds
dns_v4_first on
auth_param basic program /usr/lib/squid/basic_ncsa_auth $work/passwd
auth_param basic realm quarlo
acl authed proxy_auth REQUIRED
acl loopback dst 127.0.0.0/8 ::1
http_access deny !loopback
http_access allow authed
http_access deny all
CONF
  [ "$work" = "$dir" ] || chmod 0777 "$work"
  chmod 0644 "$work/passwd" "$work/squid.conf"
  setsid /usr/sbin/squid -N -f "$work/squid.conf" </dev/null >"$dir/squid.out" 2>&1 &
  echo $! >"$dir/squid.runpid"
  for _ in $(seq 150); do
    if /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$port),0.2)" 2>/dev/null; then
      echo "$port" >"$dir/port"; exit 0
    fi
    sleep 0.1
  done
  echo "squid did not start" >&2; cat "$dir/squid.out" "$work/cache.log" >&2 2>/dev/null; exit 1 ;;
stop)
  if [ -f "$dir/squid.runpid" ]; then
    kill "$(cat "$dir/squid.runpid")" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$(cat "$dir/squid.runpid")" 2>/dev/null || break; sleep 0.1; done
    rm -f "$dir/squid.runpid"
  fi
  if [ -f "$dir/work" ]; then
    work=$(cat "$dir/work")
    case $work in /tmp/quarlo-squid.*) rm -rf "$work" ;; esac
    rm -f "$dir/work"
  fi ;;
esac
