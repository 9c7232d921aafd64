#!/bin/sh
# tls_renegotiate.sh CERT_DIR READY_FILE: a TLS 1.2 server for one connection
# (the gateway double's certificate) that asks the client
# for a renegotiation 2 s after it started, then sends the line "after".
# READY_FILE receives the port; the server may need a moment more to listen.
set -eu
certs=$1 ready=$2
here=$(cd "$(dirname "$0")" && pwd)
/usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import tls_gateway; tls_gateway.ensure_certificate(sys.argv[2])' "$here" "$certs"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
echo "$port" >"$ready.tmp" && mv "$ready.tmp" "$ready"
(sleep 2; echo r; sleep 1; echo after; sleep 3) |
  timeout 20 openssl s_server -accept "127.0.0.1:$port" -cert "$certs/gateway-cert.pem" \
    -key "$certs/gateway-key.pem" -tls1_2 -naccept 1 >/dev/null 2>&1 || true
