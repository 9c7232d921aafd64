#!/usr/bin/env python3
"""A local TLS gateway for the tests: listens on 127.0.0.1, speaks TLS 1.2 or
1.0 with a self-signed certificate, asks for no client certificate and needs
no SNI. The record layer is driven through memory BIOs, so the bytes on the
wire are under the script's control (records split into small TCP segments,
raw alerts, bad headers).

Usage:
  tls_gateway.py --cert-dir DIR --ready-file FILE [--log FILE] [--tls 1.2|1.0]
                 [--pseudo-hello] [--empty-fragments] [--stall-handshake]
                 [--connections N] [--script FILE.json] [--greeting TEXT]
                 [--retry-handshake]

The ready file receives the listening port once the socket is open. The log
file receives one line per event ("pseudo-hello <hex>", "version TLSv1.2",
"recv <n>", "records-in <n>", "received <total> <sha256>", ...).

--greeting sends TEXT in the same TCP segment as the last handshake message.
--retry-handshake answers a failed handshake with one more on the same
connection (alerts the client sends in between are dropped).

Script: a JSON list of steps run on every connection after the handshake;
without one, every received byte is echoed until the peer closes.
  {"op": "send", "text": "..."} | {"op": "send", "hex": "..."}
  {"op": "send", "fill": "A", "count": 100}      one write (records of 16 KiB)
  {"op": "send_split", ..., "segment": 1}         the same, sent in segments
  {"op": "bulk", "bytes": N}                      N bytes in 16 KiB writes
  {"op": "recv", "n": N}                          read N plain bytes
  {"op": "recv_all"}                              read until the peer closes
  {"op": "echo"}                                  echo until the peer closes
  {"op": "close_notify"}                          send the closing alert
  {"op": "alert", "level": 2, "description": 40}  a plain alert record
  {"op": "raw", "hex": "..."}                     raw bytes on the wire
  {"op": "sleep", "ms": N}
  {"op": "send_cut", "text": "...", "keep": N}    one record of the text, only its
                                                  first N bytes on the wire
  {"op": "send_corrupt", "text": "..."}          one record with its last byte
                                                  (in the MAC) flipped
  {"op": "close"}                                 close the TCP connection
  {"op": "reset"}                                 end it with a TCP reset
"""
import argparse
import fcntl
import hashlib
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import time
import warnings
from pathlib import Path

# TLS 1.0 is wanted here on purpose.
warnings.filterwarnings("ignore", category=DeprecationWarning)

PSEUDO_HELLO_LENGTH = 104
DONT_INSERT_EMPTY_FRAGMENTS = 0x800


def ensure_certificate(cert_dir):
    """A self-signed certificate for localhost, generated once per folder
    and again before it comes near its end (it is valid for 30 days)."""
    cert_dir = Path(cert_dir)
    cert, key = cert_dir / "gateway-cert.pem", cert_dir / "gateway-key.pem"
    cert_dir.mkdir(parents=True, exist_ok=True)
    # Gateways of tests running in parallel share the folder: one makes the
    # pair while the others wait, and a pair appears whole or not at all.
    with open(cert_dir / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stale = cert.exists() and time.time() - cert.stat().st_mtime > 20 * 86400
        if stale or not cert.exists() or not key.exists():
            new_cert, new_key = cert_dir / "new-cert.pem", cert_dir / "new-key.pem"
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", str(new_key), "-out", str(new_cert), "-days", "30",
                            "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost"],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.replace(new_key, key)
            os.replace(new_cert, cert)
    return cert, key


class Log:
    def __init__(self, path):
        self.path = path

    def write(self, line):
        if self.path:
            with open(self.path, "a") as f:
                f.write(line + "\n")


class Connection:
    def __init__(self, sock, context, log, skip_alerts=False):
        self.sock = sock
        self.skip_alerts = skip_alerts
        self.log = log
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.raw_in = bytearray()  # raw bytes not yet split into records
        self.records_in = 0
        self.received = hashlib.sha256()
        self.received_total = 0
        self.eof = False

    def flush(self, segment=0):
        data = self.outgoing.read()
        if not data:
            return
        if segment <= 0:
            self.sock.sendall(data)
            return
        for i in range(0, len(data), segment):
            self.sock.sendall(data[i:i + segment])
            time.sleep(0.002)

    def _count_records(self, data):
        self.raw_in += data
        while len(self.raw_in) >= 5:
            length = (self.raw_in[3] << 8) | self.raw_in[4]
            if len(self.raw_in) < 5 + length:
                break
            if self.raw_in[0] == 23:
                self.records_in += 1
            del self.raw_in[:5 + length]

    def feed(self):
        data = self.sock.recv(65536)
        if not data:
            self.eof = True
            self.incoming.write_eof()
            return False
        self._count_records(data)
        if self.skip_alerts:
            data = self._drop_leading_alerts(data)
        self.incoming.write(data)
        return True

    def _drop_leading_alerts(self, data):
        self.held = getattr(self, "held", b"") + data
        while len(self.held) >= 5 and self.held[0] == 21:
            length = (self.held[3] << 8) | self.held[4]
            if len(self.held) < 5 + length:
                return b""
            self.log.write("dropped alert")
            self.held = self.held[5 + length:]
        if len(self.held) < 5:
            return b""
        self.skip_alerts = False
        data, self.held = self.held, b""
        return data

    def handshake(self, greeting=b""):
        while True:
            try:
                self.tls.do_handshake()
                if greeting:
                    self.tls.write(greeting)
                self.flush()
                self.log.write("version " + str(self.tls.version()))
                return True
            except ssl.SSLWantReadError:
                self.flush()
                if not self.feed():
                    return False
            except ssl.SSLError as e:
                self.flush()  # the alert
                self.log.write("handshake error " + str(e.reason))
                return False

    def read_plain(self):
        """Plain bytes of the next record(s); b"" at the end of the stream."""
        while True:
            try:
                data = self.tls.read(65536)
                self.flush()
                if data:
                    self.received.update(data)
                    self.received_total += len(data)
                    self.log.write("recv %d" % len(data))
                return data
            except ssl.SSLWantReadError:
                self.flush()
                if not self.feed():
                    return b""
            except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                return b""

    def write(self, data, segment=0):
        for i in range(0, len(data), 16384):
            self.tls.write(data[i:i + 16384])
            self.flush(segment)
        if not data:
            self.flush(segment)

    def finish(self):
        self.log.write("records-in %d" % self.records_in)
        self.log.write("received %d %s" % (self.received_total, self.received.hexdigest()))


def payload(step):
    if "hex" in step:
        return bytes.fromhex(step["hex"])
    if "fill" in step:
        return (step["fill"].encode() * step["count"])[:step["count"]]
    return step.get("text", "").encode()


def run_script(conn, steps):
    for step in steps:
        op = step["op"]
        if op == "send":
            conn.write(payload(step))
        elif op == "send_split":
            conn.write(payload(step), segment=step.get("segment", 1))
        elif op == "bulk":
            chunk = b"\x5a" * 16384
            left = step["bytes"]
            while left > 0:
                conn.write(chunk[:min(left, len(chunk))])
                left -= min(left, len(chunk))
        elif op == "recv":
            got = 0
            while got < step["n"]:
                data = conn.read_plain()
                if not data:
                    break
                got += len(data)
        elif op == "recv_all":
            while conn.read_plain():
                pass
        elif op == "echo":
            echo(conn)
        elif op == "close_notify":
            try:
                conn.tls.unwrap()
            except ssl.SSLWantReadError:
                pass
            conn.flush()
        elif op == "alert":
            version = conn.tls.version()
            minor = {"TLSv1": 1, "TLSv1.1": 2}.get(version, 3)
            conn.sock.sendall(bytes([21, 3, minor, 0, 2, step.get("level", 2),
                                     step.get("description", 40)]))
        elif op == "raw":
            conn.sock.sendall(bytes.fromhex(step["hex"]))
        elif op in ("send_cut", "send_corrupt"):
            conn.tls.write(payload(step))
            record = bytearray(conn.outgoing.read())
            if op == "send_cut":
                conn.sock.sendall(bytes(record[:step["keep"]]))
            else:
                record[-1] ^= 0xFF
                conn.sock.sendall(bytes(record))
        elif op == "reset":
            conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        elif op == "sleep":
            time.sleep(step["ms"] / 1000.0)
        elif op == "close":
            return
        conn.log.write("done " + op)


def echo(conn):
    while True:
        data = conn.read_plain()
        if not data:
            return
        conn.write(data)


def make_context(args, cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.verify_mode = ssl.CERT_NONE
    if args.tls == "1.0":
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1
        context.set_ciphers("AES128-SHA:AES256-SHA:@SECLEVEL=0")
    else:
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    if args.empty_fragments:
        # CBC records of TLS 1.0 are then preceded by an empty record.
        context.options &= ~DONT_INSERT_EMPTY_FRAGMENTS
    context.load_cert_chain(str(cert), str(key))
    return context


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def serve(args):
    cert, key = ensure_certificate(args.cert_dir)
    context = make_context(args, cert, key)
    steps = json.loads(Path(args.script).read_text()) if args.script else None
    log = Log(args.log)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(8)
    listener.settimeout(args.accept_timeout)
    tmp = args.ready_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(tmp, args.ready_file)
    for _ in range(args.connections):
        try:
            sock, _ = listener.accept()
        except socket.timeout:
            log.write("accept timeout")
            return 1
        sock.settimeout(args.io_timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            if args.pseudo_hello:
                hello = read_exactly(sock, PSEUDO_HELLO_LENGTH)
                log.write("pseudo-hello " + hello.hex())
            if args.stall_handshake:
                data = sock.recv(65536)
                log.write("stalled after %d bytes" % len(data))
                while sock.recv(65536):
                    pass
                continue
            greeting = args.greeting.encode() if args.greeting else b""
            conn = Connection(sock, context, log)
            if not conn.handshake(greeting):
                log.write("handshake failed")
                if not args.retry_handshake:
                    continue
                conn = Connection(sock, context, log, skip_alerts=True)
                if not conn.handshake(greeting):
                    log.write("handshake failed")
                    continue
            if steps is None:
                echo(conn)
            else:
                run_script(conn, steps)
            conn.finish()
        except (OSError, ssl.SSLError) as e:
            log.write("error %s" % e)
        finally:
            sock.close()
    log.write("exit")
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert-dir", required=True)
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--log")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", choices=["1.2", "1.0"], default="1.2")
    parser.add_argument("--pseudo-hello", action="store_true")
    parser.add_argument("--empty-fragments", action="store_true")
    parser.add_argument("--stall-handshake", action="store_true")
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--accept-timeout", type=float, default=60)
    parser.add_argument("--io-timeout", type=float, default=60)
    parser.add_argument("--script")
    parser.add_argument("--greeting")
    parser.add_argument("--retry-handshake", action="store_true")
    args = parser.parse_args()
    return serve(args)


if __name__ == "__main__":
    sys.exit(main())
