#!/usr/bin/env python3
"""An HTTP/1.1 gateway for the tests, over TLS (the set-up of tls_gateway.py)
or plain TCP, on 127.0.0.1. Connections are kept alive and served each on a
thread of its own.

Usage:
  gateway.py --root DIR --ready-file FILE [--plain] [--cert-dir DIR]
             [--tls 1.2|1.0] [--pseudo-hello] [--log FILE] [--posts FILE]
             [--session TOKEN] [--renew-session TOKEN] [--fault KIND]
             [--trickle-bytes N] [--trickle-ms N] [--connections N]
             [--accept-timeout S] [--io-timeout S] [--port P]

Requests:
  GET /prx/000/http/localhost/client_sec/l3vpn/<name>  the file <name> of the
      root folder (version.xml, images, cabinets, OEM.ini, ...); 404 if none.
  POST <any path>   recorded byte for byte (head and body) at the end of the
      posts file; answered 200 with a small JSON body ("reply=empty": with
      an empty body; "reply=drop": the connection is closed unanswered).
Session: with --session, a request must carry the cookie KZsession=<TOKEN>
  (else 403). With --renew-session, the first request that carries it is
  answered 302 to the same target, as an absolute URL on the request's Host,
  with "Set-Cookie: KZsession=<new>; path=/; secure"; the new token is the
  valid one from then on.
Query parameters of a request (the target keeps them):
  redirect=loop       302 to this very target, every time
  redirect=elsewhere  301 to the same path with "moved-" before the name
  fault=KIND          one of the faults below, for this request
Faults (--fault applies one to every GET of a file):
  nolength   no Content-Length; the body ends when the connection is closed
  chunked    a chunked body (chunks of 1000 bytes, one with an extension)
  bighead    a reply head of more than 64 KiB
  drop       Content-Length announced, the connection dropped mid-body
  trickle    the whole reply in pieces of --trickle-bytes every --trickle-ms
Hostile faults (query parameter only):
  twolengths    302 to the same target with "Content-Length: 0" and a second
                Content-Length that covers a whole "200 ... EVIL!" reply
  splitcoding   chunked, with "Transfer-Encoding: gzip" and "...: chunked"
                in two fields
  chunkedlength chunked, with a Content-Length of 5 beside the chunks
  redirectnolength  302 to the same target without a length, kept alive
                (once per connection; the next request gets the file)
  injectlocation    302 whose Location holds a bare LF and a cookie line
  cutrecord     no length; half the body, then a TLS record cut short
  badmac        no length; half the body, then a record with a broken MAC
  alert         no length; half the body, then a fatal alert

The ready file receives the port. The log file receives one JSON line per
request: {"conn", "method", "target", "head", "status"}.
"""
import argparse
import json
import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import tls_gateway  # noqa: E402
from http_proxy import header  # noqa: E402

PREFIX = "/prx/000/http/localhost/client_sec/l3vpn/"
MAX_HEAD = 64 * 1024
TYPES = {".xml": "text/xml", ".ini": "text/plain", ".cab": "application/vnd.ms-cab-compressed",
         ".png": "image/png", ".gif": "image/gif", ".jpg": "image/jpeg", ".bmp": "image/bmp",
         ".ico": "image/x-icon"}


class PlainStream:
    def __init__(self, sock):
        self.sock = sock

    def recv(self):
        return self.sock.recv(65536)

    def send(self, data):
        self.sock.sendall(data)

    def finish(self):
        pass


class TlsStream:
    def __init__(self, conn):
        self.conn = conn

    def recv(self):
        return self.conn.read_plain()

    def send(self, data):
        self.conn.write(data)

    def finish(self):
        """The closing alert before a clean close."""
        try:
            self.conn.tls.unwrap()
        except (ssl.SSLError, OSError):
            pass
        try:
            self.conn.flush()
        except OSError:
            pass


class Closed(Exception):
    pass


class Reader:
    def __init__(self, stream):
        self.stream = stream
        self.buffer = b""

    def _more(self):
        data = self.stream.recv()
        if not data:
            raise Closed()
        self.buffer += data

    def head(self):
        """The next request head, or None when the peer closed between requests."""
        while b"\r\n\r\n" not in self.buffer:
            if len(self.buffer) > MAX_HEAD:
                raise Closed()
            try:
                self._more()
            except Closed:
                if self.buffer:
                    raise
                return None
        end = self.buffer.index(b"\r\n\r\n") + 4
        head, self.buffer = self.buffer[:end], self.buffer[end:]
        return head

    def exactly(self, n):
        while len(self.buffer) < n:
            self._more()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data


class Gateway:
    def __init__(self, args):
        self.args = args
        self.root = Path(args.root)
        self.session = args.session
        self.renew = args.renew_session
        self.lock = threading.Lock()
        self.redirected = set()  # streams that had their length-less redirect
        self.context = None
        if not args.plain:
            cert, key = tls_gateway.ensure_certificate(args.cert_dir or args.root)
            self.context = tls_gateway.make_context(
                argparse.Namespace(tls=args.tls, empty_fragments=False), cert, key)
        if args.posts:
            Path(args.posts).write_bytes(b"")

    def log(self, record):
        if self.args.log:
            with self.lock, open(self.args.log, "a") as f:
                f.write(json.dumps(record) + "\n")

    # --- replies -----------------------------------------------------------

    def hostile(self, stream, target, body, fault):
        """The hostile faults; None when fault is none of them, else whether
        the connection stays open."""
        def send(text):
            stream.send(text.encode("latin-1") if isinstance(text, str) else text)
        if fault == "twolengths":
            evil = b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nEVIL!"
            send("HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n"
                 "Content-Length: %d\r\n\r\n" % (target, len(evil)))
            send(evil)
            return True
        if fault in ("splitcoding", "chunkedlength"):
            out = b""
            for i in range(0, len(body), 1000):
                piece = body[i:i + 1000]
                out += b"%x\r\n" % len(piece) + piece + b"\r\n"
            codings = ("Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n" if fault == "splitcoding"
                       else "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n")
            send("HTTP/1.1 200 OK\r\n" + codings + "\r\n")
            send(out + b"0\r\n\r\n")
            return True
        if fault == "redirectnolength":
            if id(stream) in self.redirected:
                return None
            self.redirected.add(id(stream))
            send("HTTP/1.1 302 Found\r\nLocation: %s\r\n\r\nmoved" % target)
            return True
        if fault == "injectlocation":
            send("HTTP/1.1 302 Found\r\nLocation: %s\nCookie: KZsession=attacker\r\nContent-Length: 0\r\n\r\n"
                 % target)
            return True
        if fault in ("cutrecord", "badmac", "alert"):
            send("HTTP/1.1 200 OK\r\n\r\n")
            send(body[:len(body) // 2])
            conn = stream.conn
            if fault == "alert":
                conn.sock.sendall(bytes([21, 3, 3, 0, 2, 2, 20]))
            else:
                conn.tls.write(body[len(body) // 2:len(body) // 2 + 1000])
                record = bytearray(conn.outgoing.read())
                if fault == "cutrecord":
                    conn.sock.sendall(bytes(record[:len(record) // 2]))
                else:
                    record[-1] ^= 0xFF
                    conn.sock.sendall(bytes(record))
            time.sleep(0.5)
            raise Closed()  # no closing alert: the stream is cut
        return None

    def reply(self, stream, status, headers=(), body=b"", fault=None):
        """Sends one reply; False when the connection is to be closed."""
        lines = ["HTTP/1.1 " + status] + list(headers)
        if fault == "nolength":
            stream.send(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
            return False
        if fault == "chunked":
            out = b""
            for i in range(0, len(body), 1000):
                piece = body[i:i + 1000]
                ext = ";piece=first" if i == 0 else ""
                out += b"%x%s\r\n" % (len(piece), ext.encode()) + piece + b"\r\n"
            out += b"0\r\nX-Trailer: done\r\n\r\n"
            lines.append("Transfer-Encoding: chunked")
            stream.send(("\r\n".join(lines) + "\r\n\r\n").encode() + out)
            return True
        if fault == "bighead":
            lines.append("X-Filler: " + "f" * (MAX_HEAD + 4096))
        lines.append("Content-Length: %d" % len(body))
        data = ("\r\n".join(lines) + "\r\n\r\n").encode() + body
        if fault == "drop":
            stream.send(data[:len(data) - max(1, len(body) // 2)])
            return False
        if fault == "trickle":
            step = max(1, self.args.trickle_bytes)
            for i in range(0, len(data), step):
                stream.send(data[i:i + step])
                time.sleep(self.args.trickle_ms / 1000.0)
            return True
        stream.send(data)
        return True

    def session_ok(self, head):
        if not self.session:
            return True
        cookies = [c.strip() for c in (header(head, "Cookie") or "").split(";")]
        return "KZsession=" + self.session in cookies

    def handle(self, stream, head, body):
        """Answers one request; False when the connection is to be closed."""
        request_line = head.split("\r\n", 1)[0]
        parts = request_line.split(" ")
        if len(parts) != 3 or parts[2] != "HTTP/1.1":
            self.reply(stream, "400 Bad Request", ["Connection: close"], b"bad request\r\n")
            return 400, False
        method, target = parts[0], parts[1]
        url = urllib.parse.urlsplit(target)
        query = urllib.parse.parse_qs(url.query)
        fault = query.get("fault", [self.args.fault if method == "GET" else None])[0]
        redirect = query.get("redirect", [None])[0]
        if not self.session_ok(head):
            return 403, self.reply(stream, "403 Forbidden", [], b"session check failed\r\n")
        if self.renew:
            with self.lock:
                new, self.renew = self.renew, None
                self.session = new
            location = "https://%s%s" % (header(head, "Host") or "localhost", target)
            return 302, self.reply(stream, "302 Found",
                                   ["Set-Cookie: KZsession=%s; path=/; secure" % new,
                                    "Location: " + location], b"")
        if redirect == "loop":
            return 302, self.reply(stream, "302 Found", ["Location: " + target])
        if redirect == "elsewhere":
            folder, _, name = url.path.rpartition("/")
            return 301, self.reply(stream, "301 Moved Permanently",
                                   ["Location: %s/moved-%s" % (folder, name)])
        if method == "POST":
            if self.args.posts:
                with self.lock, open(self.args.posts, "ab") as f:
                    f.write(head.encode("latin-1") + body)
            answer = query.get("reply", [None])[0]
            if answer == "drop":
                raise Closed()
            return 200, self.reply(stream, "200 OK", ["Content-Type: application/json"],
                                   b"" if answer == "empty" else b'{"result":0}')
        if method != "GET" or not url.path.startswith(PREFIX):
            return 404, self.reply(stream, "404 Not Found", [], b"not found\r\n")
        name = urllib.parse.unquote(url.path[len(PREFIX):])
        path = (self.root / name).resolve()
        if (self.root.resolve() not in path.parents) or not path.is_file():
            return 404, self.reply(stream, "404 Not Found", [], b"not found\r\n")
        kind = TYPES.get(path.suffix.lower(), "application/octet-stream")
        kept = self.hostile(stream, target, path.read_bytes(), fault)
        if kept is not None:
            return 0, kept
        return 200, self.reply(stream, "200 OK", ["Content-Type: " + kind], path.read_bytes(), fault)

    def serve_connection(self, number, sock):
        sock.settimeout(self.args.io_timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        stream = None
        try:
            if self.args.pseudo_hello:
                hello = tls_gateway.read_exactly(sock, tls_gateway.PSEUDO_HELLO_LENGTH)
                self.log({"conn": number, "pseudo-hello": hello.hex()})
            if self.context:
                conn = tls_gateway.Connection(sock, self.context, tls_gateway.Log(None))
                if not conn.handshake():
                    self.log({"conn": number, "event": "handshake failed"})
                    return
                stream = TlsStream(conn)
            else:
                stream = PlainStream(sock)
            reader = Reader(stream)
            while True:
                raw = reader.head()
                if raw is None:
                    break
                head = raw.decode("latin-1")
                length = int(header(head, "Content-Length") or 0)
                body = reader.exactly(length) if length > 0 else b""
                status, keep = self.handle(stream, head, body)
                self.log({"conn": number, "method": head.split(" ", 1)[0],
                          "target": head.split(" ")[1] if " " in head else "",
                          "head": head, "status": status})
                if not keep or (header(head, "Connection") or "").lower() == "close":
                    break
            stream.finish()
        except (Closed, OSError, ssl.SSLError, ValueError) as e:
            self.log({"conn": number, "event": "error %s" % e})
        finally:
            sock.close()

    def serve(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", self.args.port))
        listener.listen(16)
        if self.args.connections:
            listener.settimeout(self.args.accept_timeout)
        tmp = self.args.ready_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(listener.getsockname()[1]))
        os.replace(tmp, self.args.ready_file)
        threads = []
        number = 0
        while not self.args.connections or number < self.args.connections:
            try:
                sock, _ = listener.accept()
            except socket.timeout:
                self.log({"event": "accept timeout"})
                break
            number += 1
            t = threading.Thread(target=self.serve_connection, args=(number, sock), daemon=True)
            t.start()
            threads.append(t)
        for t in threads:
            t.join()
        listener.close()
        return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--cert-dir")
    parser.add_argument("--tls", choices=["1.2", "1.0"], default="1.2")
    parser.add_argument("--pseudo-hello", action="store_true")
    parser.add_argument("--log")
    parser.add_argument("--posts")
    parser.add_argument("--session")
    parser.add_argument("--renew-session")
    parser.add_argument("--fault", choices=["nolength", "chunked", "bighead", "drop", "trickle"])
    parser.add_argument("--trickle-bytes", type=int, default=7)
    parser.add_argument("--trickle-ms", type=float, default=2)
    parser.add_argument("--connections", type=int, default=0, help="0: serve until killed")
    parser.add_argument("--accept-timeout", type=float, default=60)
    parser.add_argument("--io-timeout", type=float, default=60)
    parser.add_argument("--port", type=int, default=0)
    return Gateway(parser.parse_args()).serve()


if __name__ == "__main__":
    sys.exit(main())
