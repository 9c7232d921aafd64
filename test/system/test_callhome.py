"""The "callhome" row through the real deliverables: the report as the
gateway double receives it, byte for byte, through the proxy double with the
stored proxy credentials, and the single direct retry when no tunnel through
the proxy could be built."""
import base64
import json
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import harness as h

DOUBLES = Path(__file__).resolve().parents[1] / "doubles"
CALLHOME = r"HKCU\Software\VPN\CallHome"
CREDENTIALS = "Y2FsbGhvbWU6U2VjcmV0IzE="


def wait_for_file(path, process, what):
    for _ in range(300):
        if path.exists() and path.read_text():
            return path.read_text()
        if process.poll() is not None:
            break
        time.sleep(0.05)
    process.kill()
    raise RuntimeError(f"the {what} did not start")


@pytest.fixture
def work():
    with tempfile.TemporaryDirectory() as folder:
        yield Path(folder)


@pytest.fixture
def gateway(work):
    """The HTTP/1.1 gateway double over TLS; .port, .posts() and .log()."""
    root, ready = work / "root", work / "gateway.port"
    root.mkdir()
    posts, log = work / "posts.bin", work / "gateway.jsonl"
    process = subprocess.Popen(
        [sys.executable, str(DOUBLES / "gateway.py"), "--root", str(root), "--ready-file", str(ready),
         "--cert-dir", str(h.BUILD / "system-certs"), "--posts", str(posts), "--log", str(log)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    class Gateway:
        port = int(wait_for_file(ready, process, "gateway double"))

        @staticmethod
        def posts():
            return posts.read_bytes() if posts.exists() else b""

        @staticmethod
        def requests():
            if not log.exists():
                return []
            return [r for r in map(json.loads, log.read_text().splitlines()) if "method" in r]

    yield Gateway
    process.kill()
    process.wait()


@pytest.fixture
def proxy(work):
    """The proxy double (its modes on ports of their own); .port(mode) and
    .heads(mode): the request heads that reached that mode."""
    folder = work / "proxy"
    process = subprocess.Popen(
        [sys.executable, str(DOUBLES / "http_proxy.py"), str(folder), "--stop-file", str(work / "stop"),
         "--lifetime", "300"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ports = json.loads(wait_for_file(folder / "ports.json", process, "proxy double"))

    class Proxy:
        @staticmethod
        def port(mode):
            return ports[mode]

        @staticmethod
        def heads(mode):
            path = folder / "requests.jsonl"
            if not path.exists():
                return []
            records = map(json.loads, path.read_text().splitlines())
            return [r["head"] for r in records if r["mode"] == mode]

    yield Proxy
    (work / "stop").write_text("")
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


@pytest.fixture(autouse=True)
def settings():
    h.reg_delete_key(CALLHOME)
    yield
    h.reg_delete_key(CALLHOME)


def closed_port():
    """A loopback port nobody listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def encoded(password):
    """The stored-password encoding, as the program itself writes it
    ("BVSavePassword" stores it in the VPN2 key)."""
    result = h.run_waited(h.deliverable("Tavrisk"), f"BVSavePassword {password}")
    assert result["exit"] == 0
    rc, out, _ = h.run(["reg", "query", r"HKCU\SOFTWARE\VPN\VPN2", "/v", "EncodePassword"])
    assert rc == 0, out
    return out.split("REG_SZ")[1].strip()


def configure(url, proxy_port=None, user=None, password=None, domain=None):
    h.reg_add(CALLHOME, "callhome_url", "REG_SZ", url)
    h.reg_add(CALLHOME, "callhome_xx", "REG_SZ", CREDENTIALS)
    h.reg_add(CALLHOME, "vsite_domain", "REG_SZ", "corp.example")
    h.reg_add(CALLHOME, "server_info", "REG_SZ", "gw-1")
    if proxy_port is not None:
        h.reg_add(CALLHOME, "proxyhost", "REG_SZ", "127.0.0.1")
        h.reg_add(CALLHOME, "proxyport", "REG_DWORD", proxy_port)
    if user is not None:
        h.reg_add(CALLHOME, "proxyuname", "REG_SZ", user)
    if password is not None:
        h.reg_add(CALLHOME, "proxypwd", "REG_SZ", encoded(password))
    if domain is not None:
        h.reg_add(CALLHOME, "proxydomain", "REG_SZ", domain)


BODY = b'{"server_domain":"corp.example","server_info":"gw-1"}'


def report(port, path="/callhome/report"):
    return (f"POST {path} HTTP/1.1\r\nAuthorization: Basic {CREDENTIALS}\r\nHost:127.0.0.1:{port}\r\n"
            f"Content-Length: {len(BODY) + 2}\r\nConnection: Keep-Alive\r\n"
            f"Content-Type: application/json\r\n\r\n\r\n").encode() + BODY


def finished_lines(messages):
    return [m for m in messages if m.startswith("callhome finished:")]


def test_the_report_reaches_the_receiver_byte_for_byte(gateway):
    configure(f"https://127.0.0.1:{gateway.port}/callhome/report")
    result = h.run_waited(h.deliverable("Tavrisk"), "callhome")
    assert result["exit"] == 0 and not result["signalled"]
    assert gateway.posts() == report(gateway.port)
    messages = h.log_messages(result["pid"])
    assert finished_lines(messages) == ['callhome finished:{"result":0}\r\n']
    assert "callhome: server:127.0.0.1\r\n" in messages
    # The receiver's credentials and the raw request stay out of the log.
    assert not any(CREDENTIALS in m or m.startswith("callhome: Request:") for m in messages), messages


def test_through_the_proxy_with_the_stored_credentials(gateway, proxy):
    configure(f"https://127.0.0.1:{gateway.port}/r", proxy.port("basic"), "alice", "Secret#1", "CORP")
    result = h.run_waited(h.deliverable("Pelkora"), "callhome")
    assert result["exit"] == 0
    assert gateway.posts() == report(gateway.port, "/r")
    heads = proxy.heads("basic")
    assert [head.split("\r\n")[0] for head in heads] == [
        f"CONNECT 127.0.0.1:{gateway.port} HTTP/1.1"] * 2
    expected = base64.b64encode(b"CORP\\alice:Secret#1").decode()
    assert f"Proxy-Authorization: Basic {expected}" in heads[1]
    messages = h.log_messages(result["pid"])
    assert finished_lines(messages) == ['callhome finished:{"result":0}\r\n']
    assert not any("Secret#1" in m for m in messages)


def test_a_proxy_that_cannot_be_reached_leads_to_one_direct_post(gateway):
    configure(f"https://127.0.0.1:{gateway.port}/r", closed_port(), "alice", "Secret#1")
    result = h.run_waited(h.deliverable("Tavrisk"), "callhome")
    assert result["exit"] == 0
    assert gateway.posts() == report(gateway.port, "/r")
    assert finished_lines(h.log_messages(result["pid"])) == [
        "callhome finished:\r\n", 'callhome finished:{"result":0}\r\n']


@pytest.mark.parametrize("answer", ["empty", "drop"])
def test_a_report_that_reached_the_receiver_is_never_posted_again(gateway, proxy, answer):
    configure(f"https://127.0.0.1:{gateway.port}/r?reply={answer}", proxy.port("open"))
    result = h.run_waited(h.deliverable("Tavrisk"), "callhome")
    assert result["exit"] == 0
    assert gateway.posts() == report(gateway.port, f"/r?reply={answer}")
    assert len(proxy.heads("open")) == 1
    assert finished_lines(h.log_messages(result["pid"])) == ["callhome finished:\r\n"]


@pytest.mark.parametrize("url", ["https:/", "https://127.0.0.1:8443"])
def test_a_url_without_a_server_posts_nothing(gateway, url):
    configure(url.replace("8443", str(gateway.port)))
    result = h.run_waited(h.deliverable("Tavrisk"), "callhome")
    assert result["exit"] == 0
    messages = h.log_messages(result["pid"])
    assert "callhome: callhome_url names no server, nothing is sent\r\n" in messages
    assert finished_lines(messages) == []
    assert gateway.requests() == []
