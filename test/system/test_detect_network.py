"""The "DetectNetwork" row: a probe of the inside address decides, and only
an outside answer is recorded."""
import re
import socket

import pytest

import harness as h

VPN2 = r"HKCU\SOFTWARE\VPN\VPN2"


def outside_flag():
    rc, out, _ = h.run(["reg", "query", VPN2, "/v", "UnderOutsideNetwork"])
    if rc != 0:
        return None
    match = re.search(r"UnderOutsideNetwork\s+REG_DWORD\s+0x([0-9a-f]+)", out)
    return int(match.group(1), 16) if match else None


@pytest.fixture(autouse=True)
def clean_vpn2():
    h.reg_delete_key(VPN2)
    yield
    h.reg_delete_key(VPN2)


@pytest.fixture
def listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    yield s.getsockname()[1]
    s.close()


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.mark.parametrize("exe", ["Pelkora", "Tavrisk"])
def test_inside_address_that_answers_leaves_the_flag_alone(exe, listener):
    h.reg_add(VPN2, "UnderOutsideNetwork", "REG_DWORD", "0")
    result = h.run_waited(h.deliverable(exe), f"DetectNetwork 127.0.0.1 {listener}")
    assert result["exit"] == 0
    assert outside_flag() == 0
    assert ("LaunchBrevanto: PC is under inside network, no need launch Brevanto client.\r\n"
            in h.log_messages(result["pid"]))


@pytest.mark.parametrize("target", ["127.0.0.1 {closed}", "127.0.0.1 notaport"])
def test_an_address_that_does_not_answer_records_outside(target):
    result = h.run_waited(h.deliverable("Pelkora"), "DetectNetwork " + target.format(closed=closed_port()))
    assert result["exit"] == 0
    assert outside_flag() == 1
    messages = h.log_messages(result["pid"])
    assert "LaunchBrevanto: PC is under outside network, need launch Brevanto client.\r\n" in messages
    assert "DetectNetwork: Set launch flag:1,dwRet=0\r\n" in messages


def test_other_argument_counts_do_not_probe():
    result = h.run_waited(h.deliverable("Pelkora"), "DetectNetwork 127.0.0.1")
    assert result["exit"] == 0
    assert outside_flag() is None


def test_a_host_the_ansi_code_page_cannot_hold_is_not_probed():
    # Best-fitted it would name another host.
    result = h.run_waited(h.deliverable("Pelkora"), "DetectNetwork \u0141\u00f3d\u017a.example 443")
    assert result["exit"] == 0
    assert outside_flag() is None
    messages = h.log_messages(result["pid"])
    assert ("DetectNetwork: the host has characters the ANSI code page cannot hold, "
            "it is not probed.\r\n") in messages
    assert not any(m.startswith("LaunchBrevanto: PC is under") for m in messages)
