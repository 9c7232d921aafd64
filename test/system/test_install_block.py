"""The install, update and remove block through the real deliverables: the
safe-boot keys, the cabinet chosen, the client-authentication flag put back,
the completion signal, and the removal of the launch control (the
launch-control double records its unregistration)."""
import shutil
import socket

import pytest

import harness as h

SAFE_BOOT = [rf"HKLM\SYSTEM\{cs}\Control\SafeBoot\{mode}\Grendal"
             for cs in ("ControlSet001", "ControlSet002", "CurrentControlSet")
             for mode in ("Minimal", "Network")]
CLIENT_AUTH = r"HKLM\SOFTWARE\VPN\ClientAuthFlag"
SYSTEM32 = h.PREFIX / "drive_c" / "windows" / "system32"


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(autouse=True)
def clean():
    for key in SAFE_BOOT + [CLIENT_AUTH]:
        h.reg_delete_key(key)
    yield
    for key in SAFE_BOOT + [CLIENT_AUTH]:
        h.reg_delete_key(key)


def default_value(key):
    rc, out, _ = h.run(["reg", "query", key, "/ve"])
    if rc != 0:
        return None
    return out.split("REG_SZ", 1)[1].strip() if "REG_SZ" in out else ""


def client_auth():
    rc, out, _ = h.run(["reg", "query", CLIENT_AUTH, "/v", "EnableClientAuth"])
    if rc != 0 or "EnableClientAuth" not in out:
        return None
    return out.split("EnableClientAuth", 1)[1].split()[:2]


@pytest.mark.parametrize("verb,component,cabinet,safe_boot", [
    ("install", "BVGrendal", "zem_manager_bv_x64.cab", True),
    ("install", "Grendal", "zem_manager_x64.cab", True),
    ("update", "Grendal", "zem_manager_x64.cab", False),
    ("update", "BVGrendal", "zem_manager_bv_x64.cab", False),
])
def test_install_and_update_choose_the_cabinet_and_signal(verb, component, cabinet, safe_boot):
    h.reg_add(CLIENT_AUTH, "EnableClientAuth", "REG_DWORD", 0)
    tail = f"{verb} {component} 127.0.0.1 {closed_port()} sid-1 0"
    result = h.run_waited(h.deliverable("Tavrisk"), tail)
    assert result["exit"] == 0 and result["signalled"]
    messages = h.log_messages(result["pid"])
    assert f"Tavrisk: HOX cab name: {cabinet}\r\n" in messages
    assert "Tavrisk: to install Grendal...\r\n" in messages
    assert "Tavrisk: Initialize failed\r\n" in messages
    assert "SaveEnableClientAuthFlag: SHSetValue finished, ret:0, dwEnableClientAuth:1\r\n" in messages
    assert [default_value(k) for k in SAFE_BOOT] == (["Service"] * 6 if safe_boot else [None] * 6)
    # Put back as it was: off, not deleted.
    assert client_auth() == ["REG_DWORD", "0x0"]


def test_client_authentication_that_was_absent_is_absent_again():
    result = h.run_waited(h.deliverable("Tavrisk"), f"update Grendal 127.0.0.1 {closed_port()} s 0")
    assert result["signalled"]
    assert client_auth() is None


def test_client_authentication_that_was_on_stays_on():
    h.reg_add(CLIENT_AUTH, "EnableClientAuth", "REG_DWORD", 1)
    result = h.run_waited(h.deliverable("Tavrisk"), f"update Grendal 127.0.0.1 {closed_port()} s 0")
    assert not any(m.startswith("SaveEnableClientAuthFlag") for m in h.log_messages(result["pid"]))
    assert client_auth() == ["REG_DWORD", "0x1"]


@pytest.mark.parametrize("tail,safe_boot", [
    ("install Other gw 443 sid 0", True),
    ("update Other gw 443 sid 0", False),
    ("Remove Grendal gw 443 sid 0", False),
    ("INSTALL Grendal gw 443 sid 0", False),
])
def test_an_unknown_component_or_word_installs_nothing(tail, safe_boot):
    result = h.run_waited(h.deliverable("Tavrisk"), tail)
    assert result["exit"] == 0 and result["signalled"]
    messages = h.log_messages(result["pid"])
    assert not any("Grendal..." in m or "cab name" in m for m in messages), messages
    assert [default_value(k) for k in SAFE_BOOT] == (["Service"] * 6 if safe_boot else [None] * 6)


@pytest.fixture
def launch_control():
    """The launch-control double as the system folder's Prevkin.dll, and a
    Tavrisk.exe there."""
    dll, copy = SYSTEM32 / "Prevkin.dll", SYSTEM32 / "Tavrisk.exe"
    journal = SYSTEM32 / "Prevkin.dll.journal"
    shutil.copyfile(h.TEST_BIN / "launchcontrol.dll", dll)
    shutil.copyfile(h.deliverable("Tavrisk"), copy)
    journal.unlink(missing_ok=True)
    yield dll, copy, journal
    for path in (dll, copy, journal):
        path.unlink(missing_ok=True)


@pytest.mark.parametrize("tail,grendal", [
    ("remove QuarloActiveXPrevkin a b c d e", False),
    ("remove Grendal x quarloactivexprevkin c d e", True),
])
def test_remove_unregisters_and_deletes_the_launch_control(launch_control, tail, grendal):
    dll, copy, journal = launch_control
    result = h.run_waited(h.deliverable("Tavrisk"), tail)
    assert result["exit"] == 0 and result["signalled"]
    assert not dll.exists() and not copy.exists()
    lines = journal.read_text(encoding="utf-8").splitlines()
    assert len(lines) == 1 and lines[0].startswith("unregister\t"), lines
    assert "/u /s" in lines[0]
    messages = h.log_messages(result["pid"])
    assert "Tavrisk: to remove Prevkin Ocx...\r\n" in messages
    assert ("Tavrisk: to uninstall Grendal...\r\n" in messages) == grendal
    if grendal:
        assert messages.index("Tavrisk: to uninstall Grendal...\r\n") < messages.index(
            "Tavrisk: to remove Prevkin Ocx...\r\n")
