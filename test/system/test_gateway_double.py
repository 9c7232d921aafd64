"""The HTTP gateway double answers as the download and report tests expect:
files under the gateway prefix over kept-alive connections, the session
cookie, redirects, the recorded POST and each fault, in plain and TLS mode."""
import json
import socket
import ssl
import subprocess
import sys
import time
from pathlib import Path

import pytest

DOUBLES = Path(__file__).resolve().parents[1] / "doubles"
sys.path.insert(0, str(DOUBLES))
import http_proxy as hp  # noqa: E402

PREFIX = "/prx/000/http/localhost/client_sec/l3vpn/"
VERSION = b"<?xml version=\"1.0\"?><version>9.8.7.6</version>\r\n"
CAB = bytes(range(256)) * 40


@pytest.fixture
def start(tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    (root / "version.xml").write_bytes(VERSION)
    (root / "client.cab").write_bytes(CAB)
    (root / "OEM.ini").write_bytes(b"[OEM]\r\nName=Quarlo\r\n")
    started = []

    def run(*extra):
        ready = tmp_path / ("ready%d" % len(started))
        args = [sys.executable, str(DOUBLES / "gateway.py"), "--root", str(root),
                "--ready-file", str(ready), "--log", str(tmp_path / "log.jsonl"),
                "--posts", str(tmp_path / "posts.bin"), "--cert-dir", str(tmp_path / "cert"),
                *extra]
        proc = subprocess.Popen(args)
        started.append(proc)
        for _ in range(300):
            if ready.exists():
                return int(ready.read_text())
            assert proc.poll() is None, "gateway exited"
            time.sleep(0.05)
        raise AssertionError("gateway did not start")

    run.dir = tmp_path
    yield run
    for proc in started:
        proc.kill()
        proc.wait()


class Client:
    def __init__(self, port, tls=False, hello=b""):
        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        sock.sendall(hello)
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            sock = context.wrap_socket(sock)
        self.sock = sock
        self.buffer = b""
        self.reads = 0

    def _more(self):
        data = self.sock.recv(65536)
        self.reads += 1
        if not data:
            raise EOFError()
        self.buffer += data

    def get(self, name, cookie="KZsession=s1", extra=""):
        self.send("GET %s%s HTTP/1.1\r\nHost: localhost\r\nConnection: Keep-Alive\r\n"
                  "Cookie: %s\r\n%s\r\n" % (PREFIX, name, cookie, extra))

    def send(self, text):
        self.sock.sendall(text.encode() if isinstance(text, str) else text)

    def head(self):
        while b"\r\n\r\n" not in self.buffer:
            self._more()
        end = self.buffer.index(b"\r\n\r\n") + 4
        head, self.buffer = self.buffer[:end].decode("latin-1"), self.buffer[end:]
        return head

    def line(self):
        while b"\r\n" not in self.buffer:
            self._more()
        end = self.buffer.index(b"\r\n")
        line, self.buffer = self.buffer[:end].decode("latin-1"), self.buffer[end + 2:]
        return line

    def exactly(self, n):
        while len(self.buffer) < n:
            self._more()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def to_end(self):
        try:
            while True:
                self._more()
        except (EOFError, ssl.SSLEOFError, ConnectionResetError):
            pass
        data, self.buffer = self.buffer, b""
        return data

    def reply(self):
        head = self.head()
        return head, self.exactly(int(field(head, "Content-Length")))


def requests(folder, count):
    """The request records of the log, once count of them are there (a
    record is written after its reply)."""
    for _ in range(100):
        path = folder / "log.jsonl"
        records = [json.loads(l) for l in path.read_text().splitlines()] if path.exists() else []
        records = [r for r in records if "status" in r]
        if len(records) >= count:
            return records
        time.sleep(0.05)
    return records


field = hp.header


@pytest.mark.parametrize("mode", ["plain", "tls", "pseudo-hello"])
def test_files_over_one_kept_alive_connection(start, mode):
    port = start(*{"plain": ["--plain"], "tls": [], "pseudo-hello": ["--pseudo-hello"]}[mode])
    c = Client(port, mode != "plain", b"\x16" * 104 if mode == "pseudo-hello" else b"")
    for name, content in [("version.xml", VERSION), ("client.cab", CAB), ("version.xml", VERSION)]:
        c.get(name)
        head, body = c.reply()
        assert head.startswith("HTTP/1.1 200 OK\r\n") and body == content
    assert field(head, "Content-Type") == "text/xml"
    c.get("missing.xml")
    assert " 404 " in c.reply()[0]
    c.get("../ready0")
    assert " 404 " in c.reply()[0]


def test_session_check_and_renewal(start):
    port = start("--plain", "--session", "s1", "--renew-session", "s2")
    c = Client(port)
    c.get("OEM.ini", cookie="KZsession=wrong")
    assert " 403 " in c.reply()[0]
    c.get("OEM.ini", cookie="KZsession=s1;KZStandalone=true")
    head, _ = c.reply()
    assert head.startswith("HTTP/1.1 302 Found\r\n")
    assert field(head, "Set-Cookie") == "KZsession=s2; path=/; secure"
    assert field(head, "Location") == "https://localhost" + PREFIX + "OEM.ini"
    c.get("OEM.ini", cookie="KZsession=s1")
    assert " 403 " in c.reply()[0]
    c.get("OEM.ini", cookie="KZsession=s2;KZStandalone=true")
    assert c.reply()[1] == b"[OEM]\r\nName=Quarlo\r\n"
    assert [r["status"] for r in requests(start.dir, 4)] == [403, 302, 403, 200]


def test_redirects_on_demand(start):
    c = Client(start("--plain"))
    c.get("version.xml?redirect=loop")
    head, _ = c.reply()
    assert " 302 " in head and field(head, "Location") == PREFIX + "version.xml?redirect=loop"
    c.get("version.xml?redirect=elsewhere")
    head, _ = c.reply()
    assert " 301 " in head and field(head, "Location") == PREFIX + "moved-version.xml"


def test_post_is_recorded_byte_for_byte(start):
    c = Client(start("--plain"))
    post = (b"POST /callhome HTTP/1.1\r\nAuthorization: Basic dTpw\r\nHost:localhost:443\r\n"
            b"Content-Length: 4\r\nConnection: Keep-Alive\r\nContent-Type: application/json\r\n"
            b"\r\n\r\n{}")
    c.send(post)
    head, body = c.reply()
    assert head.startswith("HTTP/1.1 200 OK\r\n") and body == b'{"result":0}'
    c.get("version.xml")
    assert c.reply()[1] == VERSION
    assert (start.dir / "posts.bin").read_bytes() == post


def test_faults(start):
    c = Client(start("--plain"))
    c.get("client.cab?fault=chunked")
    head = c.head()
    assert field(head, "Transfer-Encoding") == "chunked" and field(head, "Content-Length") is None
    body = b""
    while True:
        line = c.line()
        size = int(line.split(";")[0], 16)
        if size == 0:
            break
        body += c.exactly(size)
        assert c.line() == ""
    assert body == CAB and c.line() == "X-Trailer: done" and c.line() == ""
    c.get("version.xml")
    assert c.reply()[1] == VERSION, "the connection stays usable after a chunked body"

    c = Client(start("--plain", "--fault", "nolength"))
    c.get("client.cab")
    head = c.head()
    assert field(head, "Content-Length") is None
    assert c.to_end() == CAB

    c = Client(start("--plain", "--fault", "drop"))
    c.get("client.cab")
    head = c.head()
    assert int(field(head, "Content-Length")) == len(CAB)
    assert 0 < len(c.to_end()) < len(CAB)

    c = Client(start("--plain", "--fault", "bighead"))
    c.get("version.xml")
    head = c.head()
    assert len(head) > 64 * 1024
    assert c.exactly(int(field(head, "Content-Length"))) == VERSION

    c = Client(start("--plain", "--fault", "trickle", "--trickle-bytes", "5", "--trickle-ms", "1"))
    c.get("version.xml")
    head, body = c.reply()
    assert body == VERSION and c.reads > 3
