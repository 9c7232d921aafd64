"""The rows that pass a request to the running client ("BVWebShowDD",
"BVDisconnectSession", "BVLogoutSession"), run through the real deliverables:
the datagram as a UDP receiver of the test gets it, byte for byte, and the
daemon step against the COM double and the client-program double."""
import socket
import tempfile
from pathlib import Path

import pytest

import harness as h
from client_programs import (CLIENT_DIR, install_double, journal, set_up_company, stop,
                             tear_down_company, wait_for_starts)

L3VPN = r"HKCU\Software\Brevanto\L3VPN"
VPN2 = r"HKCU\SOFTWARE\VPN\VPN2"

SHOW_DD = (b'{\n   "data" : {\n      "action" : 22\n   },\n   "error" : 0,\n'
           b'   "message" : "show dd"\n}\n')
STOP_DISCONNECT = (b'{\n   "data" : {\n      "action" : 7,\n      "flags" : 16384,\n'
                   b'      "webdisconnect" : 1\n   },\n   "error" : 0,\n   "message" : "stop vpn"\n}\n')
STOP_LOGOUT = (b'{\n   "data" : {\n      "action" : 7,\n      "webdisconnect" : 1\n   },\n'
               b'   "error" : 0,\n   "message" : "stop vpn"\n}\n')


@pytest.fixture
def receiver():
    """A UDP socket on 127.0.0.1 whose port the client's registry value names."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    sock.settimeout(10)
    h.reg_delete_key(L3VPN)
    h.reg_add(L3VPN, "port", "REG_DWORD", sock.getsockname()[1])
    yield sock
    sock.close()
    h.reg_delete_key(L3VPN)


@pytest.fixture
def services():
    set_up_company()
    h.reg_delete_key(VPN2)
    with tempfile.TemporaryDirectory() as folder:
        with h.ComDouble(folder) as double:
            yield double
    tear_down_company()
    h.reg_delete_key(VPN2)


def datagrams(sock, wait=10):
    """Every datagram that arrives until none comes for a while."""
    got = []
    sock.settimeout(wait)
    try:
        while True:
            got.append(sock.recv(4096))
            sock.settimeout(1)
    except socket.timeout:
        pass
    return got


def reg_dword(key, name):
    rc, out, _ = h.run(["reg", "query", key, "/v", name])
    if rc != 0:
        return None
    for line in out.splitlines():
        if name in line and "REG_DWORD" in line:
            return int(line.split()[-1], 16)
    return None


def client_security_result():
    """The client-security Proxy.ini of this prefix's user (Proxy.ini in the
    MyClientSecurity folder below the temporary folder's Low folder)."""
    rc, out, _ = h.run(["cmd", "/c", "echo", "%TEMP%"])
    assert rc == 0
    temp = out.strip()
    assert temp[1:3] == ":\\", temp
    linux = h.PREFIX / ("drive_" + temp[0].lower()) / Path(*temp[3:].split("\\"))
    return linux / "Low" / "MyClientSecurity" / "Proxy.ini"


@pytest.mark.parametrize("row,expected,web_no_session", [
    ("BVWebShowDD", SHOW_DD, None),
    ("BVDisconnectSession", STOP_DISCONNECT, 0),
    ("BVLogoutSession", STOP_LOGOUT, 0),
], ids=["BVWebShowDD", "BVDisconnectSession", "BVLogoutSession"])
def test_each_row_sends_its_one_datagram_after_starting_the_daemon(receiver, services, row,
                                                                  expected, web_no_session):
    h.reg_add(r"HKCU\SOFTWARE\VPN\VPN2\AAA", "user", "REG_SZ", "alice")
    daemon = install_double(CLIENT_DIR, "corvd.exe")
    result = h.run_waited(h.deliverable("Tavrisk"), row)
    assert result["exit"] == 0 and not result["signalled"]
    assert datagrams(receiver) == [expected]
    assert [s["args"] for s in wait_for_starts(daemon, 1)] == [[]]
    assert services.journal() == ["IOssiden.Create\tresult=0x00000000",
                                  "IOssiden.PrepareCorvd\tresult=0x00000000",
                                  "IOssiden.Release"]
    messages = h.log_messages(result["pid"])
    assert f"Tavrisk: sendto finished, ret:{len(expected)}\r\n" in messages
    assert reg_dword(VPN2, "BVWebNoSession") == web_no_session
    if web_no_session is not None:
        # The stop leaves no stop under way behind it, and the web login is gone.
        assert reg_dword(VPN2, "BrevantoWebDuringDisconnect") == 0
        assert h.run(["reg", "query", r"HKCU\SOFTWARE\VPN\VPN2\AAA"])[0] != 0


def test_a_running_daemon_is_neither_prepared_nor_started_again(receiver, services):
    daemon = install_double(CLIENT_DIR, "corvd.exe", "stay=forever\n")
    h.run(["cmd", "/c", "start", "", h.windows_path(daemon)])
    assert len(wait_for_starts(daemon, 1)) == 1
    try:
        result = h.run_waited(h.deliverable("Pelkora"), "BVWebShowDD")
        assert result["exit"] == 0
        assert datagrams(receiver) == [SHOW_DD]
        assert services.journal() == []
        assert len(journal(daemon)) == 1
    finally:
        stop("corvd.exe")


def test_the_daemon_step_goes_on_without_the_vpn_service(receiver, services):
    services.set("IOssiden", "Mode", "NotRegistered")
    daemon = install_double(CLIENT_DIR, "corvd.exe")
    result = h.run_waited(h.deliverable("Tavrisk"), "BVWebShowDD")
    assert datagrams(receiver) == [SHOW_DD]
    assert len(wait_for_starts(daemon, 1)) == 1
    messages = h.log_messages(result["pid"])
    assert any(m.startswith("SetDomainList: Create instance failed. Error = 0x") for m in messages), messages


def test_a_stop_under_way_sends_nothing_and_keeps_its_flag(receiver, services):
    h.reg_add(VPN2, "BrevantoWebDuringDisconnect", "REG_DWORD", 1)
    result = h.run_waited(h.deliverable("Tavrisk"), "BVDisconnectSession")
    assert result["exit"] == 0
    assert datagrams(receiver, wait=3) == []
    assert reg_dword(VPN2, "BrevantoWebDuringDisconnect") == 1
    assert services.journal() == []
    assert "BVStopVPN, Brevanto web is during disconnect.\r\n" in h.log_messages(result["pid"])


def test_a_stop_removes_the_client_security_result(receiver, services):
    result_file = client_security_result()
    result_file.parent.mkdir(parents=True, exist_ok=True)
    result_file.write_bytes(b"[RESULT]\r\n")
    try:
        result = h.run_waited(h.deliverable("Tavrisk"), "BVLogoutSession")
        assert datagrams(receiver) == [STOP_LOGOUT]
        assert not result_file.exists()
        assert any(m.startswith("Tavrisk: result path ") and m.endswith(", start remove it.\r\n")
                   for m in h.log_messages(result["pid"]))
    finally:
        result_file.unlink(missing_ok=True)
