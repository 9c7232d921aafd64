"""The proxy doubles answer as the tunnel tests expect: the scriptable proxy
in each mode (with its own NTLMv2 check) and squid with Basic."""
import base64
import json
import os
import socket
import struct
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "doubles"))
import http_proxy as hp  # noqa: E402

PD = Path(os.environ["QUARLO_PROXY_DOUBLE_DIR"])
SQ = Path(os.environ["QUARLO_SQUID_DIR"])
PORTS = json.loads((PD / "ports.json").read_text())


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    return s, s.makefile("rb")


def answer(rfile):
    head = hp.read_head(rfile)
    assert head is not None, "proxy closed"
    length = int(hp.header(head, "Content-Length") or 0)
    body = rfile.read(length) if length else b""
    return head, body


def connect_request(target, *headers):
    return ("CONNECT %s HTTP/1.1\r\nHOST: %s\r\n" % (target, target)
            + "".join(h + "\r\n" for h in headers) + "\r\n").encode()


def echo_target():
    return "127.0.0.1:%d" % PORTS["echo"]


def assert_tunnel(sock, rfile):
    sock.sendall(b"ping\n")
    assert rfile.readline() == b"ping\n"


def basic(user, password):
    return "Proxy-Authorization: Basic " + base64.b64encode(
        ("%s:%s" % (user, password)).encode()).decode()


def test_md4_vectors():
    assert hp.md4(b"").hex() == "31d6cfe0d16ae931b73c59d7e0c089c0"
    assert hp.md4(b"message digest").hex() == "d9130a8164549fe818874806e1c7014b"


def test_open_relays_and_records_the_request():
    s, r = connect(PORTS["open"])
    s.sendall(connect_request(echo_target(), "User-Agent: quarlo client"))
    head, _ = answer(r)
    assert head.startswith("HTTP/1.1 200 ")
    assert_tunnel(s, r)
    s.close()
    records = [json.loads(l) for l in (PD / "requests.jsonl").read_text().splitlines()]
    assert any(rec["mode"] == "open" and "User-Agent: quarlo client\r\n" in rec["head"]
               for rec in records)


@pytest.mark.parametrize("mode,status", [("refuse", "HTTP/1.1 403 Forbidden"),
                                         ("garbage", "garbage")])
def test_refusing_modes(mode, status):
    s, r = connect(PORTS[mode])
    s.sendall(connect_request(echo_target()))
    assert r.readline().rstrip(b"\r\n").decode() == status


@pytest.mark.parametrize("mode", ["basic", "basic_body"])
def test_basic_checks_domain_credentials(mode):
    s, r = connect(PORTS[mode])
    s.sendall(connect_request(echo_target()))
    head, body = answer(r)
    assert " 407 " in head and hp.header(head, "Proxy-Authenticate") == 'Basic realm="quarlo"'
    assert (body != b"") == mode.endswith("_body")
    s, r = connect(PORTS[mode])
    s.sendall(connect_request(echo_target(), basic("alice", "Secret#1")))
    assert " 407 " in answer(r)[0]
    s, r = connect(PORTS[mode])
    s.sendall(connect_request(echo_target(), basic("CORP\\alice", "Secret#1")))
    assert answer(r)[0].startswith("HTTP/1.1 200 ")
    assert_tunnel(s, r)


def type3(challenge, domain, user, password):
    """An NTLMv2 authenticate message as a client builds it."""
    nonce = hp._field(challenge, 40)
    blob = b"\x01\x01\0\0\0\0\0\0" + b"\0" * 8 + b"\xAA" * 8 + b"\0" * 4 + nonce + b"\0" * 4
    ntowf = hp.hmac_md5(hp.md4(hp._utf16(password)), hp._utf16(user.upper() + domain))
    nt = hp.hmac_md5(ntowf, hp.SERVER_CHALLENGE + blob) + blob
    fields = [b"\0" * 24, nt, hp._utf16(domain), hp._utf16(user), hp._utf16("WS"), b""]
    offset, head, data = 64, b"", b""
    for f in fields:
        head += struct.pack("<HHI", len(f), len(f), offset + len(data))
        data += f
    return b"NTLMSSP\0" + struct.pack("<I", 3) + head + struct.pack("<I", 0xE2888215) + data


def ntlm_legs(mode, password):
    s, r = connect(PORTS[mode])
    s.sendall(connect_request(echo_target()))
    head, _ = answer(r)
    assert " 407 " in head
    offers = [l for l in head.split("\r\n") if l.lower().startswith("proxy-authenticate:")]
    assert "Proxy-Authenticate: NTLM" in offers
    s, r = connect(PORTS[mode])
    t1 = b"NTLMSSP\0" + struct.pack("<II", 1, 0xE2088297) + b"\0" * 16
    s.sendall(connect_request(echo_target(), "Proxy-Connection: Keep-Alive",
                              "Proxy-Authorization: NTLM " + base64.b64encode(t1).decode()))
    head, _ = answer(r)
    token = hp.header(head, "Proxy-Authenticate")
    assert token.startswith("NTLM ")
    challenge = base64.b64decode(token[5:])
    assert challenge[:8] == b"NTLMSSP\0" and len(hp._field(challenge, 40)) > 4
    t3 = type3(challenge, "CORP", "alice", password)
    try:
        s.sendall(connect_request(echo_target(), "Proxy-Connection: Keep-Alive",
                                  "Proxy-Authorization: NTLM " + base64.b64encode(t3).decode()))
        return s, r, hp.read_head(r)
    except OSError:
        return s, r, None


@pytest.mark.parametrize("mode", ["ntlm", "ntlm_body", "ntlm_offer"])
def test_ntlm_three_legs_verify_the_password(mode):
    s, r, head = ntlm_legs(mode, "Secret#1")
    assert head.startswith("HTTP/1.1 200 ")
    assert_tunnel(s, r)
    _, _, head = ntlm_legs(mode, "wrong")
    assert " 407 " in head


def test_ntlm_close_drops_the_connection_after_the_challenge():
    _, _, head = ntlm_legs("ntlm_close", "Secret#1")
    assert head is None


def test_squid_connect_with_basic():
    port = int((SQ / "port").read_text())
    s, r = connect(port)
    s.sendall(connect_request(echo_target()))
    assert " 407 " in r.readline().decode()
    s, r = connect(port)
    s.sendall(connect_request(echo_target(), basic("alice", "Secret#1")))
    head = hp.read_head(r)
    assert head.startswith("HTTP/1.1 200 "), head
    assert_tunnel(s, r)
