"""The proxy and network rows of the front door ("BVSetOutSideProxyScript",
"BVResumeOutSideProxyScript", "insideproxy", "clearIEProxySettings",
"BVSaveProxyInfo", "SaveforBrevanto"), run through the real deliverables.
The generated Proxy.pac is read back by the platform's PAC engine
(test/doubles/pacanswer.cpp); the local proxy is the client-program double
in the client's folder."""
import re
import shutil
import time
from pathlib import Path

import pytest

import harness as h

VPN2 = r"HKCU\SOFTWARE\VPN\VPN2"
INCLUDE = VPN2 + r"\Include"
EXCLUDE = VPN2 + r"\Exclude"
USER_INSTALL_MANAGER = r"HKCU\SOFTWARE\VPN\Install Manager"
INSTALL_MANAGER = r"HKLM\SOFTWARE\VPN\Install Manager"
INTERNET_SETTINGS = h.INTERNET_SETTINGS
COMPANY = "Quarlo Proxy Test Co"
COMPANY_ROOT = h.PREFIX / "drive_c" / "Program Files" / COMPANY
STOLVEX = COMPANY_ROOT / "SSL VPN Client" / "Stolvex.exe"


def reg_value(key, name):
    rc, out, _ = h.run(["reg", "query", key, "/v", name])
    if rc != 0:
        return None
    match = re.search(rf"{re.escape(name)}\s+REG_\w+\s*(.*)", out)
    return match.group(1).strip() if match else None


def key_exists(key):
    rc, _, _ = h.run(["reg", "query", key])
    return rc == 0


def stolvex_starts():
    file = Path(str(STOLVEX) + ".journal")
    if not file.exists():
        return 0
    return file.read_text(encoding="utf-8").splitlines().count("end")


@pytest.fixture(autouse=True)
def clean():
    for key in (VPN2, USER_INSTALL_MANAGER, INSTALL_MANAGER):
        h.reg_delete_key(key)
    h.reg_add(USER_INSTALL_MANAGER, "proxylistenport", "REG_DWORD", 51234)
    h.reg_add(INSTALL_MANAGER, "CompanyName", "REG_SZ", COMPANY)
    h.clear_browser_proxy()
    shutil.rmtree(COMPANY_ROOT, ignore_errors=True)
    STOLVEX.parent.mkdir(parents=True)
    shutil.copyfile(h.TEST_BIN / "clientdouble.exe", STOLVEX)
    yield
    h.run(["taskkill", "/f", "/im", "Stolvex.exe"])
    for key in (VPN2, USER_INSTALL_MANAGER, INSTALL_MANAGER):
        h.reg_delete_key(key)
    h.clear_browser_proxy()
    shutil.rmtree(COMPANY_ROOT, ignore_errors=True)


def manual_proxy_capture(**extra):
    values = {"IE_Proxy_Auto_Flag": 0, "IE_Proxy_Flag": 3, "IE_Proxy_Server": "p:8080",
              "IE_Proxy_ByPass": "<local>"}
    values.update(extra)
    h.write_ini(values)


def zones():
    h.reg_add(INCLUDE, "number", "REG_DWORD", 2)
    h.reg_add(INCLUDE, "include_0", "REG_SZ", "virip=10.1.0.0@mask=255.255.0.0")
    h.reg_add(INCLUDE, "include_1", "REG_SZ", "virip= 172.16.0.0 @mask= 255.240.0.0 ")
    h.reg_add(EXCLUDE, "number", "REG_DWORD", 1)
    h.reg_add(EXCLUDE, "exclude_0", "REG_SZ", "virip=10.1.5.0@mask=255.255.255.0")


PROBES = [("https://gw.example.com/", "gw.example.com"), ("http://10.1.2.3/", "10.1.2.3"),
          ("http://172.20.0.9/", "172.20.0.9"), ("http://10.1.5.7/", "10.1.5.7"),
          ("http://www.example.org/", "www.example.org"), ("http://printer/", "printer")]


@pytest.mark.parametrize("mode,tunnel", [("SplitTunnel", "split"), ("xxFULLTUNNELxx", "full")])
def test_outside_script_is_generated_the_browser_pointed_and_the_local_proxy_started(mode, tunnel):
    manual_proxy_capture()
    zones()
    result = h.run_waited(h.deliverable("Pelkora"), f"BVSetOutSideProxyScript {mode} gw.example.com")
    assert result["exit"] == 0
    assert not key_exists(INCLUDE) and not key_exists(EXCLUDE)
    answers = h.pac_answers(PROBES)
    expected = {
        "https://gw.example.com/": "PROXY p:8080",
        "http://10.1.5.7/": "PROXY p:8080",      # exclude zone: the user's own proxy
        "http://10.1.2.3/": "DIRECT",            # include zones: into the tunnel
        "http://172.20.0.9/": "DIRECT",
        "http://www.example.org/": "PROXY p:8080" if tunnel == "split" else "DIRECT",
        "http://printer/": "DIRECT",
    }
    assert answers == expected
    ini = h.read_ini()
    flag = "IE_Proxy_Should_Resume" if tunnel == "split" else "IE_Proxy_Should_Resume_Dial"
    assert ini[flag] == "1"
    assert stolvex_starts() == 1


def test_remote_user_script_is_fetched_through_the_install_manager_and_embedded(tmp_path):
    h.write_ini({"IE_Proxy_Auto_Flag": 0, "IE_Proxy_Flag": 5, "IE_Proxy_Script": "http://pac.corp/user.pac"})
    user = ('function FindProxyForURL(url, host) {\r\n'
            '  if (dnsDomainIs(host, ".example.com")) return "PROXY in.corp:3128";\r\n'
            '  return "PROXY out.corp:1";\r\n}\r\n')
    with h.ComDouble(tmp_path) as services:
        services.set("IInstallManager", "DownloadFileToLocalBytes", user)
        result = h.run_waited(h.deliverable("Pelkora"), "BVSetOutSideProxyScript SplitTunnel gw.example.com")
        journal = services.journal()
    assert result["exit"] == 0
    assert any("DownloadFileToLocal\turl=http://pac.corp/user.pac" in line for line in journal), journal
    answers = h.pac_answers([("https://gw.example.com/", "gw.example.com"),
                           ("http://www.example.org/", "www.example.org")])
    assert answers == {"https://gw.example.com/": "PROXY in.corp:3128",
                       "http://www.example.org/": "PROXY out.corp:1"}


@pytest.mark.parametrize("host", ['gw";alert(1);"', "gw.example.com/x"])
def test_a_gateway_host_that_is_no_host_name_changes_nothing(host):
    manual_proxy_capture()
    zones()
    result = h.run_waited(h.deliverable("Pelkora"), f"BVSetOutSideProxyScript SplitTunnel {host}")
    assert result["exit"] == 0
    assert not (h.conf_dir() / "Proxy.pac").exists()
    assert h.read_ini().get("IE_Proxy_Should_Resume", "0") == "0"
    assert stolvex_starts() == 0
    assert not key_exists(INCLUDE)


def test_resume_stops_the_local_proxy_and_puts_the_settings_back():
    manual_proxy_capture()
    Path(str(STOLVEX) + ".behave").write_text("stay=forever\n")
    h.run_waited(h.deliverable("Pelkora"), "BVSetOutSideProxyScript SplitTunnel gw.example.com")
    assert h.read_ini()["IE_Proxy_Should_Resume"] == "1"
    for _ in range(50):
        if stolvex_starts() == 1:
            break
        time.sleep(0.1)
    assert stolvex_starts() == 1
    result = h.run_waited(h.deliverable("Pelkora"), "BVResumeOutSideProxyScript")
    assert result["exit"] == 0
    assert "StopProcessByName, Stolvex.exe has been terminated.\r\n" in h.log_messages(result["pid"])
    ini = h.read_ini()
    assert ini.get("IE_Proxy_Should_Resume", "0") == "0"
    assert not (h.conf_dir() / "Proxy.pac").exists()
    # The capture is reset once the settings are back.
    assert ini.get("IE_Proxy_Server", "") == ""


def test_inside_proxy_captures_then_points_and_resume_restores():
    h.reg_add(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
    h.reg_add(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", "inside.corp:3128")
    try:
        result = h.run_waited(h.deliverable("Pelkora"), "insideproxy reset x http://pac.corp/inside.pac")
        assert result["exit"] == 0
        ini = h.read_ini()
        assert ini["IE_Proxy_Server"] == "inside.corp:3128"
        assert ini["IE_Proxy_Should_Resume"] == "1"
        h.run_waited(h.deliverable("Pelkora"), "insideproxy RESUME x y")
        assert h.read_ini()["IE_Proxy_Should_Resume"] == "0"
        assert reg_value(INTERNET_SETTINGS, "ProxyServer") == "inside.corp:3128"
    finally:
        h.run(["reg", "delete", INTERNET_SETTINGS, "/v", "ProxyEnable", "/f"])
        h.run(["reg", "delete", INTERNET_SETTINGS, "/v", "ProxyServer", "/f"])


def test_inside_proxy_with_another_action_does_nothing():
    result = h.run_waited(h.deliverable("Pelkora"), "insideproxy other x http://pac.corp/inside.pac")
    assert result["exit"] == 0
    assert h.read_ini() is None


@pytest.mark.parametrize("exe,cleared", [("Pelkora", True), ("Tavrisk", False)])
def test_clear_ie_proxy_settings_resets_the_lan_and_the_vpn_entries(exe, cleared):
    h.reg_add(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
    try:
        result = h.run_waited(h.deliverable(exe), "clearIEProxySettings")
        assert result["exit"] == 0
        messages = h.log_messages(result["pid"])
        assert messages.count("OnClearIEProxySettings start...\r\n") == (18 if cleared else 0)
        assert reg_value(INTERNET_SETTINGS, "ProxyEnable") == ("0x0" if cleared else "0x1")
    finally:
        h.run(["reg", "delete", INTERNET_SETTINGS, "/v", "ProxyEnable", "/f"])


@pytest.mark.parametrize("command,auto_proxy", [("SaveforBrevanto", "p:8080"), ("BVSaveProxyInfo", None)])
def test_proxy_saves_capture_the_users_proxy(command, auto_proxy):
    h.reg_add(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
    h.reg_add(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", "p:8080")
    try:
        result = h.run_waited(h.deliverable("Pelkora"), f"{command} gw.example.com")
        assert result["exit"] == 0
        assert h.read_ini()["IE_Proxy_Server"] == "p:8080"
        assert reg_value(VPN2, "AutoProxy") == auto_proxy
    finally:
        h.run(["reg", "delete", INTERNET_SETTINGS, "/v", "ProxyEnable", "/f"])
        h.run(["reg", "delete", INTERNET_SETTINGS, "/v", "ProxyServer", "/f"])
