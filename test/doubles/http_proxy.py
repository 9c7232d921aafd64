#!/usr/bin/env python3
"""A scriptable HTTP proxy on 127.0.0.1 for the tunnel tests.

One process serves every mode, each on its own port, plus an echo server that
open tunnels relay to. The ports are written as JSON to <dir>/ports.json;
every request head that reaches a proxy port is appended as a JSON line to
<dir>/requests.jsonl ({"mode", "conn", "head"}). The unit tests that count
those heads start an instance of their own (--stop-file), so that requests of
tests running in parallel never meet in one log.

Modes:
  open        200, then relay to the CONNECT target
  refuse      403
  garbage     a status line without a status
  basic       407 Basic until the credentials match, then as open
  basic_body  as basic, every 407 carries a body
  ntlm        407 NTLM; Type-1 answered with a Type-2 on the same connection;
              the NTLMv2 Type-3 is checked against the known password
  ntlm_body   as ntlm, every 407 carries a body
  ntlm_close  as ntlm, the connection is closed after the Type-2
  ntlm_offer  as ntlm, the first 407 offers other methods before NTLM
  silent      accepts the CONNECT and never answers
"""
import argparse
import base64
import hashlib
import hmac
import json
import os
import shutil
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

USER = "CORP\\alice"
PASSWORD = "Secret#1"
BODY = b"<html><body>Proxy authentication required</body></html>\r\n"
SERVER_CHALLENGE = bytes(range(0x11, 0x19))

# --- MD4 (RFC 1320), which the NT hash needs and OpenSSL 3 no longer offers.


def _rol(x, n):
    x &= 0xFFFFFFFF
    return ((x << n) | (x >> (32 - n))) & 0xFFFFFFFF


def md4(data):
    msg = bytearray(data)
    bit_len = (len(data) * 8) & 0xFFFFFFFFFFFFFFFF
    msg.append(0x80)
    while len(msg) % 64 != 56:
        msg.append(0)
    msg += struct.pack("<Q", bit_len)
    a, b, c, d = 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476
    for off in range(0, len(msg), 64):
        x = struct.unpack("<16I", msg[off:off + 64])
        aa, bb, cc, dd = a, b, c, d

        def f(x_, y, z):
            return (x_ & y) | (~x_ & z)

        def g(x_, y, z):
            return (x_ & y) | (x_ & z) | (y & z)

        def h(x_, y, z):
            return x_ ^ y ^ z

        for i in range(16):
            k = i
            s = (3, 7, 11, 19)[i % 4]
            if i % 4 == 0:
                a = _rol(a + f(b, c, d) + x[k], s)
            elif i % 4 == 1:
                d = _rol(d + f(a, b, c) + x[k], s)
            elif i % 4 == 2:
                c = _rol(c + f(d, a, b) + x[k], s)
            else:
                b = _rol(b + f(c, d, a) + x[k], s)
        order2 = (0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15)
        for i in range(16):
            k = order2[i]
            s = (3, 5, 9, 13)[i % 4]
            t = 0x5A827999
            if i % 4 == 0:
                a = _rol(a + g(b, c, d) + x[k] + t, s)
            elif i % 4 == 1:
                d = _rol(d + g(a, b, c) + x[k] + t, s)
            elif i % 4 == 2:
                c = _rol(c + g(d, a, b) + x[k] + t, s)
            else:
                b = _rol(b + g(c, d, a) + x[k] + t, s)
        order3 = (0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15)
        for i in range(16):
            k = order3[i]
            s = (3, 9, 11, 15)[i % 4]
            t = 0x6ED9EBA1
            if i % 4 == 0:
                a = _rol(a + h(b, c, d) + x[k] + t, s)
            elif i % 4 == 1:
                d = _rol(d + h(a, b, c) + x[k] + t, s)
            elif i % 4 == 2:
                c = _rol(c + h(d, a, b) + x[k] + t, s)
            else:
                b = _rol(b + h(c, d, a) + x[k] + t, s)
        a = (a + aa) & 0xFFFFFFFF
        b = (b + bb) & 0xFFFFFFFF
        c = (c + cc) & 0xFFFFFFFF
        d = (d + dd) & 0xFFFFFFFF
    return struct.pack("<4I", a, b, c, d)


def hmac_md5(key, data):
    return hmac.new(key, data, hashlib.md5).digest()


# --- NTLM messages


def _utf16(text):
    return text.encode("utf-16-le")


def challenge_message():
    """A Type-2 with target information (NTLMv2 needs it)."""
    target = _utf16("CORP")
    info = b""
    for av_id, value in ((2, _utf16("CORP")), (1, _utf16("PROXY")),
                         (4, _utf16("corp.test")), (3, _utf16("proxy.corp.test"))):
        info += struct.pack("<HH", av_id, len(value)) + value
    info += struct.pack("<HH", 0, 0)
    flags = 0xE2898215
    head_len = 56
    msg = b"NTLMSSP\0" + struct.pack("<I", 2)
    msg += struct.pack("<HHI", len(target), len(target), head_len)
    msg += struct.pack("<I", flags) + SERVER_CHALLENGE + b"\0" * 8
    msg += struct.pack("<HHI", len(info), len(info), head_len + len(target))
    msg += bytes((6, 1, 0xB1, 0x1D, 0, 0, 0, 15))
    return msg + target + info


def _field(msg, at):
    length, _, offset = struct.unpack_from("<HHI", msg, at)
    return msg[offset:offset + length]


def verify_authenticate(msg, expected_user, password):
    """True when msg is an NTLMv2 Type-3 of expected_user ("DOMAIN\\user")
    that answers SERVER_CHALLENGE with password."""
    if len(msg) < 64 or msg[:8] != b"NTLMSSP\0" or struct.unpack_from("<I", msg, 8)[0] != 3:
        return False
    flags = struct.unpack_from("<I", msg, 60)[0] if len(msg) >= 64 else 0
    enc = "utf-16-le" if flags & 1 else "latin-1"
    nt = _field(msg, 20)
    domain = _field(msg, 28).decode(enc, "replace")
    user = _field(msg, 36).decode(enc, "replace")
    want_domain, _, want_user = expected_user.rpartition("\\")
    if user.lower() != want_user.lower() or domain.lower() != want_domain.lower():
        return False
    if len(nt) <= 24:
        return False  # not NTLMv2
    nt_hash = md4(_utf16(password))
    ntowf2 = hmac_md5(nt_hash, _utf16(user.upper() + domain))
    proof, blob = nt[:16], nt[16:]
    return hmac.compare_digest(hmac_md5(ntowf2, SERVER_CHALLENGE + blob), proof)


# --- the proxy


class Recorder:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.conn = 0

    def next_conn(self):
        with self.lock:
            self.conn += 1
            return self.conn

    def record(self, mode, conn, head):
        with self.lock, open(self.path, "a", encoding="utf-8") as out:
            out.write(json.dumps({"mode": mode, "conn": conn, "head": head}) + "\n")


def read_head(rfile):
    """The request head as text (lines with CR LF, up to the empty line), or
    None when the peer closed first."""
    lines = []
    while True:
        line = rfile.readline(65536)
        if not line:
            return None
        lines.append(line.decode("latin-1"))
        if line in (b"\r\n", b"\n"):
            return "".join(lines)


def header(head, name):
    for line in head.split("\r\n")[1:]:
        key, sep, value = line.partition(":")
        if sep and key.strip().lower() == name.lower():
            return value.strip()
    return None


def relay(client, target):
    host, _, port = target.rpartition(":")
    host = host.strip("[]")
    try:
        upstream = socket.create_connection((host, int(port)), timeout=10)
    except OSError:
        return False
    upstream.settimeout(None)

    def pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        for s in (dst,):
            try:
                s.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    t = threading.Thread(target=pump, args=(upstream, client), daemon=True)
    t.start()
    pump(client, upstream)
    t.join(30)
    upstream.close()
    return True


def make_handler(mode, recorder):
    class Handler(socketserver.StreamRequestHandler):
        def send(self, status, headers=(), body=b""):
            text = status + "\r\n" + "".join(h + "\r\n" for h in headers)
            if body or status.split()[1:2] == ["407"]:
                text += "Content-Length: %d\r\n" % len(body)
            self.wfile.write(text.encode("latin-1") + b"\r\n" + body)
            self.wfile.flush()

        def established(self, head):
            self.send("HTTP/1.1 200 Connection established", ["Proxy-agent: quarlo-double"])
            relay(self.connection, head.split()[1])

        def handle(self):
            conn = recorder.next_conn()
            body = BODY if mode.endswith("_body") else b""
            while True:
                head = read_head(self.rfile)
                if head is None:
                    return
                recorder.record(mode, conn, head)
                if not head.startswith("CONNECT "):
                    self.send("HTTP/1.1 405 Method Not Allowed")
                    return
                auth = header(head, "Proxy-Authorization") or ""
                if mode == "open":
                    return self.established(head)
                if mode == "refuse":
                    return self.send("HTTP/1.1 403 Forbidden", body=b"no\r\n")
                if mode == "garbage":
                    return self.send("garbage")
                if mode == "silent":
                    self.rfile.read(1)
                    return
                if mode.startswith("basic"):
                    want = base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()
                    if auth == "Basic " + want:
                        return self.established(head)
                    self.send("HTTP/1.1 407 Proxy Authentication Required",
                              ['Proxy-Authenticate: Basic realm="quarlo"',
                               "Proxy-Connection: close"], body)
                    return
                # NTLM modes
                if not auth.startswith("NTLM "):
                    offers = ["Proxy-Authenticate: NTLM"]
                    if mode == "ntlm_offer":
                        offers = ["Proxy-Authenticate: Negotiate",
                                  'Proxy-Authenticate: Digest realm="x"'] + offers + [
                                  'Proxy-Authenticate: Basic realm="x"']
                    self.send("HTTP/1.1 407 Proxy Authentication Required",
                              offers + ["Proxy-Connection: close"], body)
                    return
                try:
                    token = base64.b64decode(auth[5:])
                except ValueError:
                    token = b""
                kind = struct.unpack_from("<I", token, 8)[0] if len(token) >= 12 else 0
                if kind == 1:
                    type2 = base64.b64encode(challenge_message()).decode()
                    self.send("HTTP/1.1 407 Proxy Authentication Required",
                              ["Proxy-Authenticate: NTLM " + type2,
                               "Proxy-Connection: Keep-Alive"], body)
                    if mode == "ntlm_close":
                        return
                    continue
                if kind == 3 and verify_authenticate(token, USER, PASSWORD):
                    return self.established(head)
                self.send("HTTP/1.1 407 Proxy Authentication Required",
                          ["Proxy-Authenticate: NTLM", "Proxy-Connection: close"], body)
                return

    return Handler


class EchoHandler(socketserver.BaseRequestHandler):
    def handle(self):
        while True:
            data = self.request.recv(65536)
            if not data:
                return
            self.request.sendall(data)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


MODES = ("open", "refuse", "garbage", "basic", "basic_body", "ntlm", "ntlm_body",
         "ntlm_close", "ntlm_offer", "silent")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--stop-file",
                        help="an instance of one test program: it ends, and removes its folder, once this "
                             "file appears or after --lifetime seconds")
    parser.add_argument("--lifetime", type=float, default=900)
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    recorder = Recorder(os.path.join(args.dir, "requests.jsonl"))
    servers = {}
    for mode in MODES:
        servers[mode] = Server(("127.0.0.1", 0), make_handler(mode, recorder))
    servers["echo"] = Server(("127.0.0.1", 0), EchoHandler)
    for server in servers.values():
        threading.Thread(target=server.serve_forever, daemon=True).start()
    ports = {name: s.server_address[1] for name, s in servers.items()}
    tmp = os.path.join(args.dir, "ports.json.tmp")
    with open(tmp, "w") as out:
        json.dump(ports, out)
    os.replace(tmp, os.path.join(args.dir, "ports.json"))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    if args.stop_file:
        end = time.monotonic() + args.lifetime
        while not stop.wait(0.2):
            if os.path.exists(args.stop_file) or time.monotonic() > end:
                break
        shutil.rmtree(args.dir, ignore_errors=True)
        return
    stop.wait()


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--selftest":
        assert md4(b"").hex() == "31d6cfe0d16ae931b73c59d7e0c089c0"
        assert md4(b"abc").hex() == "a448017aaf21d8525fc10ae87aa6729d"
        assert md4(b"12345678901234567890123456789012345678901234567890123456789012345678901234567890").hex() == "e33b4ddc9c38f2199c3e7b164fcc0536"
        print("ok")
    else:
        main()
