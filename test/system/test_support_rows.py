"""The front-door rows of the launch-command lists, the stored password and
the session flag, run through the real deliverables: registry in, registry
and log out."""
import os
import re
import tempfile
import time
from pathlib import Path

import pytest

import harness as h

VPN2 = r"HKCU\SOFTWARE\VPN\VPN2"


def reg_value(key, name):
    rc, out, _ = h.run(["reg", "query", key, "/v", name])
    if rc != 0:
        return None
    match = re.search(re.escape(name) + r"\s+(REG_\w+)\s*(.*)", out)
    return (match.group(1), match.group(2).strip()) if match else None


def key_exists(key):
    rc, _, _ = h.run(["reg", "query", key])
    return rc == 0


@pytest.fixture(autouse=True)
def clean_vpn2():
    h.reg_delete_key(VPN2)
    yield
    h.reg_delete_key(VPN2)


INSTALL_MANAGER = r"HKLM\SOFTWARE\VPN\Install Manager"
REFUSED = ("BVSavePassword: the password has characters the ANSI code page cannot hold, "
           "it is not stored.\r\n")


@pytest.fixture
def debug_switch():
    h.reg_add(INSTALL_MANAGER, "EnablePrintRequest", "REG_DWORD", "7315")
    yield
    h.run(["reg", "delete", INSTALL_MANAGER, "/v", "EnablePrintRequest", "/f"])


@pytest.mark.parametrize("exe", ["Pelkora", "Tavrisk"])
def test_save_password_stores_the_encoded_text_and_logs_it_masked(exe):
    result = h.run_waited(h.deliverable(exe), "BVSavePassword Secret1")
    assert result["exit"] == 0
    kind, data = reg_value(VPN2, "EncodePassword")
    assert kind == "REG_SZ"
    assert re.fullmatch(r"[0-9a-f]{28}", data)
    messages = h.log_messages(result["pid"])
    # The stored text decodes back to the password: the log is readable by
    # every user.
    assert "BVSavePassword finished, ret:0, value:******.\r\n" in messages
    assert not any(data in m for m in messages)


def test_save_password_with_the_debug_switch_logs_the_stored_text(debug_switch):
    result = h.run_waited(h.deliverable("Tavrisk"), "BVSavePassword Secret1")
    _, data = reg_value(VPN2, "EncodePassword")
    assert f"BVSavePassword finished, ret:0, value:{data}.\r\n" in h.log_messages(result["pid"])


@pytest.mark.parametrize("password", ["\u0141\u00f3d\u017a", "\u041f\u0430\u0440\u043e\u043b\u044c"])
def test_a_password_the_ansi_code_page_cannot_hold_is_refused_and_the_earlier_one_cleared(password):
    # An earlier login's password must not stand in for this one.
    h.reg_add(VPN2, "EncodePassword", "REG_SZ", "0a1b2c3d4e5f")
    result = h.run_waited(h.deliverable("Tavrisk"), f"BVSavePassword {password}")
    assert result["exit"] == 0
    assert reg_value(VPN2, "EncodePassword") == ("REG_SZ", "")
    messages = h.log_messages(result["pid"])
    assert REFUSED in messages
    assert "BVSavePassword finished, ret:0, value:******.\r\n" in messages


def test_a_password_the_ansi_code_page_holds_is_stored_byte_for_byte():
    result = h.run_waited(h.deliverable("Tavrisk"), "BVSavePassword caf\u00e9")
    _, data = reg_value(VPN2, "EncodePassword")
    assert len(data) == 16
    assert REFUSED not in h.log_messages(result["pid"])


def test_save_password_with_extra_arguments_stores_the_empty_text():
    result = h.run_waited(h.deliverable("Tavrisk"), "BVSavePassword Secret1 extra")
    assert result["exit"] == 0
    kind, data = reg_value(VPN2, "EncodePassword")
    assert kind == "REG_SZ" and data == ""
    assert "BVSavePassword finished, ret:0, value:******.\r\n" in h.log_messages(result["pid"])


@pytest.mark.parametrize("keyword,subkey,message", [
    ("BVConnectcmd", "ConnectedCMD", "Tavrisk: start do connected launch command.\r\n"),
    ("BVDisconnectcmd", "DisconnectedCMD", "Tavrisk: start do disconnected launch command.\r\n"),
])
def test_launch_command_list_runs_once_and_is_deleted(keyword, subkey, message, monkeypatch):
    with tempfile.TemporaryDirectory() as tmp:
        record = Path(tmp) / "record.txt"
        monkeypatch.setenv("QUARLO_RECORD_FILE", h.windows_path(record))
        monkeypatch.setenv("WINEDEBUG", "-all")
        key = VPN2 + "\\" + subkey
        recorder = h.windows_path(h.TEST_BIN / "recorder.exe")
        h.reg_add(key, "number", "REG_DWORD", 2)
        h.reg_add(key, "LaunchCommand00", "REG_SZ", f"{recorder} /Q Mixed")
        h.reg_add(key, "LaunchCommand01", "REG_SZ", f"{recorder} second")
        result = h.run_waited(h.deliverable("Tavrisk"), keyword)
        assert result["exit"] == 0
        for _ in range(100):
            if record.exists() and record.read_text().count("\n") >= 2:
                break
            time.sleep(0.05)
        lines = record.read_text()
        assert "/Q Mixed" in lines and "second" in lines
        assert not key_exists(key)
        logged = h.log_messages(result["pid"])
        assert message in logged
        assert "CommandListExecute finished, ret is 1\r\n" in logged


@pytest.mark.parametrize("keyword", ["BVDisconnectSession", "BVLogoutSession"])
def test_session_end_clears_the_web_login(keyword):
    h.reg_add(VPN2 + r"\AAA", "token", "REG_SZ", "t")
    h.reg_add(VPN2, "BVWebNoSession", "REG_DWORD", 1)
    result = h.run_waited(h.deliverable("Pelkora"), keyword)
    assert result["exit"] == 0
    assert not key_exists(VPN2 + r"\AAA")
    assert reg_value(VPN2, "BVWebNoSession") == ("REG_DWORD", "0x0")
