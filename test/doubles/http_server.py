#!/usr/bin/env python3
"""A loopback HTTP/1.1 server for the WinHTTP client tests.

Usage: http_server.py <dir>. Listens on 127.0.0.1 (a free port, written to
<dir>/port once it listens) and answers by path:

  /status/<code>     that status, body "status <code>" (none for 204, 205, 304)
  /bytes/<n>         n bytes of the pattern 0..255 repeated
  /echo              the request line and headers as the body
  /cookies           200 with two Set-Cookie headers
  /redirect          302 to /final with a Set-Cookie
  /final             200 "final"
  /drop              Content-Length 1000, 10 bytes, then the connection closes
  /chunked           "chunked body" in three chunks, with a Content-Length
                     of 100 beside them (which a reader must ignore)
  /pac/<answer>      a PAC script returning <answer> ("DIRECT",
                     "PROXY%20host:port", ...), URL-decoded
  /pac-bypass/<a>    a PAC script answering DIRECT for *.internal, else <a>
  /pac-case/<c>/<a>  as /pac/<a>; <c> makes the URL of each test case its own

A request with an absolute target ("GET http://x/y") is one sent to the
server as a proxy: its body is "proxied " followed by the target; for the
path /proxyauth the proxy first asks for Basic credentials (alice:Secret#1)
with a 407 that offers Basic and NTLM. /proxyauth sent to the server itself
is answered the same way.
"""
import base64
import http.server
import os
import socketserver
import sys
import urllib.parse

PROXY_CREDENTIALS = b"alice:Secret#1"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        sys.stderr.write("%s\n" % (fmt % args))

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if status == 205:
            body = b""
        if status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if status not in (204, 304) and self.command != "HEAD":
            self.wfile.write(body)

    def pac(self, body):
        self.reply(200, body.encode(), [("Content-Type", "application/x-ns-proxy-autoconfig")])

    def do_GET(self):
        target = self.path
        if target.startswith("http://") or target.startswith("https://"):
            self.as_proxy(target)
            return
        path = urllib.parse.urlsplit(target).path
        if path == "/proxyauth":
            self.as_proxy(target)
            return
        parts = path.strip("/").split("/", 1)
        head, rest = parts[0], (parts[1] if len(parts) > 1 else "")
        if head == "status":
            code = int(rest)
            self.reply(code, ("status %d" % code).encode())
        elif head == "bytes":
            n = int(rest)
            self.reply(200, bytes(i % 256 for i in range(n)))
        elif head == "echo":
            text = self.requestline + "\r\n" + str(self.headers)
            self.reply(200, text.encode())
        elif head == "cookies":
            self.reply(200, b"cookies", [("Set-Cookie", "first=1; Path=/"),
                                         ("Set-Cookie", "second=2; Path=/")])
        elif head == "redirect":
            self.reply(302, b"", [("Location", "/final"), ("Set-Cookie", "redirected=yes")])
        elif head == "final":
            self.reply(200, b"final")
        elif head == "drop":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(2)
        elif head == "chunked":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.write(b"7\r\nchunked\r\n1\r\n \r\n4;x=y\r\nbody\r\n0\r\n\r\n")
        elif head == "pac":
            answer = urllib.parse.unquote(rest)
            self.pac('function FindProxyForURL(url, host) { return "%s"; }\n' % answer)
        elif head == "pac-case":
            answer = urllib.parse.unquote(rest.split("/", 1)[1] if "/" in rest else "")
            self.pac('function FindProxyForURL(url, host) { return "%s"; }\n' % answer)
        elif head == "pac-bypass":
            answer = urllib.parse.unquote(rest)
            self.pac('function FindProxyForURL(url, host) {\n'
                     '  if (shExpMatch(host, "*.internal")) return "DIRECT";\n'
                     '  return "%s";\n}\n' % answer)
        else:
            self.reply(404, b"not found")

    do_HEAD = do_GET

    def as_proxy(self, target):
        if urllib.parse.urlsplit(target).path == "/proxyauth":
            expected = "Basic " + base64.b64encode(PROXY_CREDENTIALS).decode()
            if self.headers.get("Proxy-Authorization") != expected:
                self.reply(407, b"proxy auth", [("Proxy-Authenticate", 'Basic realm="double"'),
                                                ("Proxy-Authenticate", "NTLM")])
                return
        self.reply(200, b"proxied " + target.encode())

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        self.reply(200, b"posted " + body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    folder = sys.argv[1]
    server = Server(("127.0.0.1", 0), Handler)
    tmp = os.path.join(folder, "port.tmp")
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, os.path.join(folder, "port"))
    server.serve_forever()


if __name__ == "__main__":
    main()
