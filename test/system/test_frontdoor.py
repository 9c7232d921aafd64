"""The front door of both deliverables, run as real processes: exit codes,
the completion signal and the daily log lines they leave."""
import pytest

import harness as h

BOTH = ["Pelkora", "Tavrisk"]
SIGNAL = "Tavrisk: send message to OCX...\r\n"


@pytest.fixture(autouse=True)
def no_debug_switch():
    for key in (r"HKLM\SOFTWARE\VPN\Install Manager", r"HKLM\SOFTWARE\Wow6432Node\VPN\Install Manager"):
        h.reg_delete_key(key)
    yield
    for key in (r"HKLM\SOFTWARE\VPN\Install Manager", r"HKLM\SOFTWARE\Wow6432Node\VPN\Install Manager"):
        h.reg_delete_key(key)


@pytest.mark.parametrize("exe", BOTH)
def test_empty_command_only_signals(exe):
    result = h.run_waited(h.deliverable(exe))
    assert result["exit"] == 0 and result["signalled"]
    assert h.log_messages(result["pid"]) == ["Tavrisk: the cmd is null\r\n", SIGNAL]


# (deliverable, raw tail, signalled, messages after the argc line; for a row
# that runs its operations, the lines it begins and ends with)
CASES = [
    ("Pelkora", "nothing", True, [SIGNAL]),
    # Without a receiver URL the report ends at once.
    ("Pelkora", "CALLHOME", False,
     ["Brevanto client callhome start...\r\n", "callhome: callhome_url:\r\n"]),
    ("Tavrisk", "xcallhomex a b", False,
     ["Brevanto client callhome start...\r\n", "callhome: callhome_url:\r\n"]),
    ("Pelkora", "clearIEProxySettings", False,
     (["clearIEProxySettings start...\r\n", "OnClearIEProxySettings start...\r\n"], [])),
    ("Tavrisk", "clearIEProxySettings", True, [SIGNAL]),
    # The install block: exact words, the log shut down before the signal.

    ("Tavrisk", "Install BVGrendal gw.example 443 sid-1 1033", True, []),
    ("Tavrisk", "InstallForMSI a b c d e", True, []),
    ("Pelkora", "remove a b c d e", True, ["Tavrisk: to uninstall...\r\n"]),
    # Six arguments with an empty session collapsed: nothing matches.
    ("Tavrisk", "install BVGrendal gw.example 443  1033", True, [SIGNAL]),
    # The saveproxy form, also for a script URL holding a keyword.
    ("Tavrisk", '"http://gw.example/callhome/proxy.pac" gw.example', True, ([], [SIGNAL])),
    ("Pelkora", "BVConnectcmd extra", True, ([], [SIGNAL])),
    ("Pelkora", "SaveforBrevanto gw.example", False,
     (["Pelkora: start detect proxy info, host=gw.example.\r\n"], [])),
    ("Tavrisk", "-updateBrevanto", True,
     (["Tavrisk update Installmanager for bv: start...\r\n"], [SIGNAL])),
    ("Pelkora", "BVConnectWithSession gw 443 sid", True, [SIGNAL]),
    ("Pelkora", "RunCORVD", False,
     ["Tavrisk:Run corvd start...\r\n", "Tavrisk:Run corvd failed, corvd don't exist\r\n"]),
]


@pytest.mark.parametrize("exe,tail,signalled,messages", CASES, ids=[f"{c[0]}:{c[1]}" for c in CASES])
def test_dispatch_signals_and_logs(exe, tail, signalled, messages):
    result = h.run_waited(h.deliverable(exe), tail)
    assert result["exit"] == 0
    assert result["signalled"] == signalled
    logged = h.log_messages(result["pid"])
    assert logged[0].startswith("Tavrisk:argc:")
    if isinstance(messages, tuple):
        first, last = messages
        assert logged[1:1 + len(first)] == first
        assert logged[len(logged) - len(last):] == last
    else:
        assert logged[1:] == messages


def test_log_lines_carry_the_process_thread_module_and_source():
    result = h.run_waited(h.deliverable("Pelkora"), "nothing")
    entries = h.log_entries(result["pid"])
    assert [e["level"] for e in entries] == ["INFO", "INFO"]
    for e in entries:
        assert e["module"] == "Tavrisk"
        assert e["source"] == "QuarloInstall.cpp"
        assert e["exe"] == "Pelkora.exe"
    assert entries[0]["message"] == "Tavrisk:argc:2\r\n"


def test_a_missing_completion_event_is_a_warning():
    rc, _, _ = h.run([h.deliverable("Tavrisk"), "nothing"])
    assert rc == 0
    # No waiter: find this run's lines by their message.
    text = h.log_file().read_bytes().decode("utf-16-le")
    assert "(WARNING): QuarloInstall.cpp:" in text
    assert "Install Grendal: the hEvent is NULL\r\n" in text


@pytest.mark.parametrize("key,value,logged", [
    (r"HKLM\SOFTWARE\VPN\Install Manager", "7315", True),
    (r"HKLM\SOFTWARE\Wow6432Node\VPN\Install Manager", "7315", True),
    (r"HKLM\SOFTWARE\VPN\Install Manager", "7314", False),
])
def test_the_debug_switch_logs_the_raw_command_line(key, value, logged):
    h.reg_add(key, "EnablePrintRequest", "REG_DWORD", value)
    result = h.run_waited(h.deliverable("Pelkora"), 'nothing  "quoted arg"')
    messages = h.log_messages(result["pid"])
    line = 'Tavrisk: cmdline is nothing  "quoted arg"\r\n'
    assert (line in messages) == logged
    assert result["exit"] == 0 and result["signalled"]
