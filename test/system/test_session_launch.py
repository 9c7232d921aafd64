"""The session-launch rows ("BVConnectWithSession",
"BVGetClientsecuritySession") through a copy of the real deliverable: the
gateway double (TLS) serves the version file, the COM double stands in for
the install manager (every component current), and the client-program
double is Brevanto.exe beside the copy; each start of the client is read
from its journal."""
import contextlib
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import harness as h
from client_programs import install_double, journal, reg_value, wait_for_starts

DOUBLES = Path(__file__).resolve().parents[1] / "doubles"
TOKEN = "portal-session-0123"
# The session argument is the portal's cookie.
SESSION = f"KZsession={TOKEN}"
VERSION = "<?xml version=\"1.0\"?>\r\n<version>9.2.0.41</version>\r\n"
VPN2 = r"HKCU\SOFTWARE\VPN\VPN2"
AAA = VPN2 + r"\AAA"
INTERNET_SETTINGS = h.INTERNET_SETTINGS
FINISHED = "Tavrisk:launch Brevanto process finish.\r\n"
SECOND_COPY = "Tavrisk: exist more than 1 process. exit connect.\r\n"


@contextlib.contextmanager
def running_gateway(folder, token):
    """The gateway double serving version.xml; with a token it refuses a
    request without that session's cookie. Yields its port."""
    root = folder / "root"
    root.mkdir()
    (root / "version.xml").write_bytes(VERSION.encode())
    ready = folder / "ready"
    args = [sys.executable, str(DOUBLES / "gateway.py"), "--root", str(root), "--ready-file", str(ready),
            "--cert-dir", str(folder / "certs"), "--log", str(folder / "gateway.jsonl")]
    process = subprocess.Popen(args + (["--session", token] if token else []), stdin=subprocess.DEVNULL)
    try:
        for _ in range(300):
            if ready.exists() and ready.read_text().strip():
                break
            time.sleep(0.05)
        yield int(ready.read_text())
    finally:
        process.kill()
        process.wait()


@pytest.fixture(autouse=True)
def no_browser_proxy():
    """The launch detects the user's proxy: the slot's earlier tests must not
    leave theirs for it."""
    h.clear_browser_proxy()
    yield
    h.clear_browser_proxy()


@pytest.fixture
def gateway(tmp_path):
    with running_gateway(tmp_path, TOKEN) as port:
        yield port


@pytest.fixture
def open_gateway(tmp_path):
    """The version file without a session, as the client-security run fetches it."""
    with running_gateway(tmp_path, None) as port:
        yield port


@pytest.fixture
def services(tmp_path):
    (tmp_path / "com").mkdir()
    with h.ComDouble(tmp_path / "com") as double:
        yield double


@pytest.fixture
def own_folder():
    """A copy of Pelkora.exe in a folder of its own, where it looks for
    Brevanto.exe."""
    with h.deliverable_alone("Pelkora") as folder:
        h.reg_delete_key(VPN2)
        yield folder
        for name in ("Brevanto.exe", "browser.exe"):
            h.run(["taskkill", "/f", "/im", name])
        h.reg_delete_key(VPN2)


def start_staying(folder, name):
    """A double of that name that runs until the test ends: (process, pid)."""
    program = install_double(folder, name, "stay=forever\n")
    running = subprocess.Popen([str(h.WINERUN), str(program)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    starts = wait_for_starts(program, 1)
    assert starts, f"{name} did not start"
    return running, int(starts[0]["pid"])


@pytest.fixture
def browser(own_folder):
    """A running process of this user standing in for the browser: its pid."""
    running, pid = start_staying(own_folder, "browser.exe")
    yield pid
    running.kill()


@pytest.fixture
def second_copy():
    """Another running process named Pelkora.exe."""
    with tempfile.TemporaryDirectory() as tmp:
        running, _ = start_staying(Path(tmp), "Pelkora.exe")
        yield
        running.kill()
        h.run(["taskkill", "/f", "/im", "Pelkora.exe"])


def dword(key, name):
    out = reg_value(key, name)
    return None if out is None else int(out.split("REG_DWORD", 1)[1].split()[0], 16)


def aaa_values():
    values = {}
    for name in ("txt1", "txt2", "username", "token", "method"):
        out = reg_value(AAA, name)
        if out is not None:
            line = next(l for l in out.splitlines() if l.strip().startswith(name))
            parts = line.split("REG_SZ", 1)
            values[name] = parts[1].strip() if len(parts) > 1 else ""
    return values


# (tail after "BVConnectWithSession localhost <port>", the client's
# arguments after the port, VPNstatus after the run, AAA values). {pid} is
# the browser's process id.
LINES = [
    # Six arguments: an old client's upgrade finished, VPNstatus 200.
    (f"{SESSION} {{pid}}",
     ["-connectsession", SESSION, "{pid}", "username=", "validcode="], 200, {}),
    (f"{SESSION} {{pid}} alice txt1=a@",
     ["-connectsession", SESSION, "{pid}", "username=alice", "validcode=txt1=a@"], 99, {}),
    # Ten characters are a portal session, nine are not.
    ("0123456789 {pid} alice txt1=a@",
     ["-connectsession", "0123456789", "{pid}", "username=alice", "validcode=txt1=a@"], 99, {}),
    ("123456789 {pid} bob txt1=a@txt2=b@token=c@method=d@",
     ["-connectwithui", "bob", "a", "0", "0", "0", "0", "d"], 99,
     {"txt1": "a", "txt2": "b", "username": "bob", "token": "c", "method": "d"}),
    # No final "@": the method is dropped; no "@" at all: "test", no AAA.
    ("short {pid} bob txt1=a@txt2=b@token=c@method=d",
     ["-connectwithui", "bob", "a", "0", "0", "0", "0"], 99,
     {"txt1": "a", "txt2": "b", "username": "bob", "token": "c"}),
    ("short {pid} bob txt1=a", ["-connectwithui", "bob", "test", "0", "0", "0", "0"], 99, {}),
    # A blank in a value stays inside its argument: it adds none.
    (f'{SESSION} {{pid}} "Ann Lee" "txt1=a b@ -connectwithui x"',
     ["-connectsession", SESSION, "{pid}", "username=Ann Lee", "validcode=txt1=a b@ -connectwithui x"],
     99, {}),
    ('short {pid} bob "txt1=a b@"', ["-connectwithui", "bob", "a b", "0", "0", "0", "0"], 99, {}),
]


@pytest.mark.parametrize("tail,args,status,aaa", LINES, ids=[c[0] for c in LINES])
def test_the_client_is_started_directly_with_its_command_line(own_folder, gateway, services, browser,
                                                              tail, args, status, aaa):
    h.reg_add(AAA, "txt1", "REG_SZ", "stale")
    client = install_double(own_folder, "Brevanto.exe")
    result = h.run_waited(own_folder / "Pelkora.exe",
                          f"BVConnectWithSession localhost {gateway} " + tail.format(pid=browser))
    assert result["exit"] == 0 and not result["signalled"]
    starts = wait_for_starts(client, 1)
    want = [args[0], "localhost", str(gateway)] + [a.format(pid=browser) for a in args[1:]]
    assert [s["args"] for s in starts] == [want]
    assert starts[0].get("show") == "5"  # SW_SHOW
    messages = h.log_messages(result["pid"])
    assert FINISHED in messages
    assert "Tavrisk: start vpn without proxy info.\r\n" in messages
    assert dword(VPN2, "VPNstatus") == status
    assert dword(VPN2, "BVWebNoSession") == (1 if args[0] == "-connectwithui" else 0)
    # A portal session removes the AAA key; the other form leaves the stale
    # value only where no new one was written.
    want_aaa = aaa if args[0] == "-connectsession" else {"txt1": "stale", **aaa}
    assert aaa_values() == want_aaa


def test_the_session_fetches_the_version_file_and_hands_it_to_the_install_manager(
        own_folder, gateway, services, browser, tmp_path):
    install_double(own_folder, "Brevanto.exe")
    result = h.run_waited(own_folder / "Pelkora.exe",
                          f"BVConnectWithSession localhost {gateway} {SESSION} {browser} alice txt1=a@")
    messages = h.log_messages(result["pid"])
    assert "CheckGrendal: Grendal exist, no need reinstall it.\r\n" in messages
    assert "DownloadVersionFile: download version.xml finished.\r\n" in messages
    requests = (tmp_path / "gateway.jsonl").read_text()
    assert "version.xml" in requests and f"Cookie: {SESSION};" in requests
    assert any("CheckClientComponents" in line for line in services.journal())


def test_a_version_file_that_cannot_be_fetched_skips_the_update_and_launches(own_folder, gateway,
                                                                             services, browser):
    client = install_double(own_folder, "Brevanto.exe")
    # The gateway refuses an unknown session.
    result = h.run_waited(own_folder / "Pelkora.exe",
                          f"BVConnectWithSession localhost {gateway} expired-session-1 {browser} alice x")
    messages = h.log_messages(result["pid"])
    assert ("Tavrisk: Download version file failed, cancel client upgrade, continue connect vpn.\r\n"
            in messages)
    assert not any("CheckClientComponents" in line for line in services.journal())
    assert len(wait_for_starts(client, 1)) == 1 and FINISHED in messages


def test_a_browser_of_another_user_launches_through_the_install_manager(own_folder, gateway, services):
    client = install_double(own_folder, "Brevanto.exe")
    services.set("IInstallManager", "RunInUserSession", 1)
    # Process id 0 cannot be opened: the browser is taken to run as another user.
    result = h.run_waited(own_folder / "Pelkora.exe",
                          f"BVConnectWithSession localhost {gateway} short 0 bob txt1=t@txt2=p@method=otp@")
    assert result["exit"] == 0 and not result["signalled"]
    starts = wait_for_starts(client, 1)
    line = f"-connectwithui localhost {gateway} \"bob\" t 0 0 0 0 otp"
    assert [s["args"] for s in starts] == [line.replace('"', "").split(" ")]
    executed = [l for l in services.journal() if "ExecuteCommand\tcode=7" in l]
    program = h.windows_path(own_folder / "Brevanto.exe").replace("\\", "\\\\")  # journal escapes
    assert executed == [f"IInstallManager.ExecuteCommand\tcode=7\t"
                        f"text={program}@@@{line}\tresult=0x00000000"]
    messages = h.log_messages(result["pid"])
    assert ("Tavrisk: process isn't exist in current user, launch Brevanto process in current user.\r\n"
            in messages)
    assert FINISHED not in messages


def test_a_launch_text_the_install_manager_cannot_hold_is_refused_not_cut(own_folder, gateway, services):
    client = install_double(own_folder, "Brevanto.exe")
    services.set("IInstallManager", "RunInUserSession", 1)
    code = "txt1=" + "v" * 500 + "@"
    result = h.run_waited(own_folder / "Pelkora.exe",
                          f"BVConnectWithSession localhost {gateway} {SESSION} 0 bob {code}")
    assert result["exit"] == 0
    messages = h.log_messages(result["pid"])
    assert any(m.startswith("Tavrisk: the launch text of ") and "longer than the install manager takes"
               in m for m in messages)
    assert not any("ExecuteCommand\tcode=7" in l for l in services.journal())
    time.sleep(1)
    assert journal(client) == []


def test_a_command_line_no_process_can_take_is_refused(own_folder, gateway, services, browser):
    client = install_double(own_folder, "Brevanto.exe")
    code = "txt1=" + "v" * 33000 + "@"
    result = h.run_waited(own_folder / "Pelkora.exe",
                          f"BVConnectWithSession localhost {gateway} {SESSION} {browser} bob {code}")
    assert result["exit"] == 0
    messages = h.log_messages(result["pid"])
    assert any(m.startswith("Tavrisk: the client's command line of ") for m in messages)
    assert FINISHED not in messages
    time.sleep(1)
    assert journal(client) == []


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_the_users_proxy_is_passed_to_the_client(own_folder, gateway, services, browser):
    proxy = closed_port()
    h.reg_add(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
    h.reg_add(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", f"127.0.0.1:{proxy}")
    try:
        client = install_double(own_folder, "Brevanto.exe")
        for session, want in ((SESSION, ["127.0.0.1", str(proxy)]), ("short", [f"127.0.0.1:{proxy}"])):
            Path(str(client) + ".journal").unlink(missing_ok=True)
            result = h.run_waited(own_folder / "Pelkora.exe",
                                  f"BVConnectWithSession localhost {gateway} {session} {browser} bob x")
            starts = wait_for_starts(client, 1)
            assert len(starts) == 1 and starts[0]["args"][-len(want):] == want
            assert any(m.startswith("Tavrisk: start proxy with proxy, host:127.0.0.1, port:")
                       for m in h.log_messages(result["pid"]))
    finally:
        h.clear_browser_proxy()


@pytest.mark.parametrize("case", ["second copy", "no install manager", "no client program"])
def test_the_launch_ends_without_starting_anything(request, own_folder, gateway, case):
    client = install_double(own_folder, "Brevanto.exe")
    if case == "second copy":
        request.getfixturevalue("second_copy")
        request.getfixturevalue("services")
        last = SECOND_COPY
    elif case == "no install manager":
        # Not registered, and no installed copy that could install it.
        last = "Tavrisk: connect to Grendal failed. exit connect.\r\n"
    else:
        request.getfixturevalue("services")
        client.unlink()
        last = "Tavrisk:Run Brevanto failed, Brevanto.exe don't exist\r\n"
    result = h.run_waited(own_folder / "Pelkora.exe",
                          f"BVConnectWithSession localhost {gateway} {SESSION} 0 bob x")
    assert result["exit"] == 0 and not result["signalled"]
    messages = h.log_messages(result["pid"])
    assert messages[-1] == last
    if case == "second copy":
        assert messages[1:] == [last]
    time.sleep(1)
    assert journal(client) == []


def test_client_security_run_is_hidden_and_waited_for(own_folder, open_gateway, services):
    gateway = open_gateway
    client = install_double(own_folder, "Brevanto.exe", "stay=1500\n")
    result = h.run_waited(own_folder / "Pelkora.exe", f"BVGetClientsecuritySession localhost {gateway}")
    assert result["exit"] == 0 and not result["signalled"]
    starts = journal(client)
    assert [s["args"] for s in starts] == [["-getclientsecuritysession", "localhost", str(gateway)]]
    assert starts[0].get("show") == "0"
    entries = h.log_entries(result["pid"])
    messages = [e["message"] for e in entries]
    assert any(m.startswith("SaveClientSecurityResult to ") for m in messages)
    assert "BrevantoWebClientUpdate: Client check update with ClientSecurity.\r\n" in messages
    assert "Tavrisk: get client security session without proxy info.\r\n" in messages
    assert messages[-1] == ("Tavrisk:Brevanto process isn't exist, get client security session "
                            "finished.\r\n")
    # The last line comes after the client's stay: the command polled until it ended.
    launched = next(e for e in entries if e["message"].startswith("Tavrisk: Launch command is:"))
    def ms(entry):
        hours, minutes, seconds = entry["time"].split(":")
        return (int(hours) * 3600 + int(minutes) * 60 + float(seconds)) * 1000
    assert ms(entries[-1]) - ms(launched) >= 1400


def test_client_security_result_is_kept_while_another_copy_runs(own_folder, open_gateway, services,
                                                                second_copy):
    gateway = open_gateway
    client = install_double(own_folder, "Brevanto.exe")
    result = h.run_waited(own_folder / "Pelkora.exe", f"BVGetClientsecuritySession localhost {gateway}")
    assert result["exit"] == 0
    assert h.log_messages(result["pid"])[1:] == [SECOND_COPY]
    assert journal(client) == []


def test_client_security_run_whose_client_cannot_start_does_not_wait_for_another(own_folder, open_gateway,
                                                                                 services):
    """A client in the way that the install manager was asked to stop but
    that still runs, and a client program that cannot be started: the
    command ends instead of waiting for as long as that other client runs."""
    gateway = open_gateway
    (own_folder / "Brevanto.exe").write_bytes(b"not a program\r\n")
    with tempfile.TemporaryDirectory() as tmp:
        running, _ = start_staying(Path(tmp), "Brevanto.exe")
        try:
            result = h.run_waited(own_folder / "Pelkora.exe",
                                  f"BVGetClientsecuritySession localhost {gateway}", timeout_ms=30000)
        finally:
            running.kill()
            h.run(["taskkill", "/f", "/im", "Brevanto.exe"])
    assert result["rc"] == 0 and result["exit"] == 0
    messages = h.log_messages(result["pid"])
    assert any(m.startswith("Tavrisk: Brevanto ShellExecuteEx error ") for m in messages)
    assert messages[-1] == ("Tavrisk: Brevanto was not started, get client security session "
                            "finished.\r\n")
