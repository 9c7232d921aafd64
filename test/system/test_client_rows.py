"""The front-door rows that start programs of the client package
("LaunchBhttpd", "RestartBrevanto", "RunCORVD"), run through the real
deliverables with the client-program double (test/doubles/clientdouble.cpp)
in the client's folders. Each start of the double is read from its journal."""
import datetime
import subprocess

import pytest

import harness as h
from client_programs import (CLIENT_DIR, COMPANY, install_double, reg_value, set_up_company, stop,
                             tear_down_company, wait_for_starts)

VPN2 = r"HKCU\SOFTWARE\VPN\VPN2"


@pytest.fixture(autouse=True)
def company():
    set_up_company()
    yield
    tear_down_company()


@pytest.mark.parametrize("tail,kept", [
    ("LaunchBhttpd", False),
    ("-LaunchBhttpd", False),
    ("LaunchBhttpd BrevantoLaunch", True),
    ("LaunchBhttpd xxbrevantolaunchxx", True),
    ("LaunchBhttpd BrevantoLaunch extra", False),
])
def test_launch_bhttpd_starts_the_https_program_and_resets_the_client_security_values(tail, kept):
    h.reg_delete_key(VPN2)
    h.reg_add(VPN2, "ClientSecuritySession", "REG_SZ", "cs-session")
    h.reg_add(VPN2, "ClientSecurityHost", "REG_SZ", "cs.example")
    program = install_double(CLIENT_DIR, "BrevantoHttpd.exe")
    result = h.run_waited(h.deliverable("Pelkora"), tail)
    assert result["exit"] == 0 and not result["signalled"]
    starts = wait_for_starts(program, 1)
    today = datetime.date.today()
    log_file = (r"C:\ProgramData\VPN\Log\Bhttpd" +
                f"\\Bhttpd_{today.year:04d}_{today.month:02d}_{today.day:02d}.txt")
    assert [s["args"] for s in starts] == [
        ["-https", "127.0.0.1:60012", "-logfile", log_file, "-logsize", "10"]]
    messages = h.log_messages(result["pid"])
    # The program has 2 s to answer with its exit code; a double that a loaded
    # machine is slow to start is still running then (STILL_ACTIVE, 259),
    # which counts as started as well. The unit tests pin each exit code's
    # answer on a clock that starts when the double does.
    assert ("CreateBhttpdProcessWithPort: Process exit code:0.\r\n" in messages or
            "CreateBhttpdProcessWithPort: Process exit code:259.\r\n" in messages)
    if kept:
        assert "Brevanto Launch BrevantoHttpd, no need reset CS reg.\r\n" in messages
    else:
        assert "Auto launch BrevantoHttpd need reset CS reg.\r\n" in messages
    assert (reg_value(VPN2, "ClientSecuritySession") is not None) == kept
    assert (reg_value(VPN2, "ClientSecurityHost") is not None) == kept
    h.reg_delete_key(VPN2)


def test_launch_bhttpd_without_the_program_still_resets():
    h.reg_add(VPN2, "ClientSecuritySession", "REG_SZ", "cs-session")
    result = h.run_waited(h.deliverable("Tavrisk"), "LaunchBhttpd")
    messages = h.log_messages(result["pid"])
    path = f"C:\\Program Files\\{COMPANY}\\Brevanto VPN Client\\BrevantoHttpd.exe"
    assert f"NIS:LaunchBhttpd finished: File {path} isn't exist\r\n" in messages
    assert reg_value(VPN2, "ClientSecuritySession") is None
    h.reg_delete_key(VPN2)


def test_run_corvd_starts_the_tunnel_daemon_hidden():
    program = install_double(CLIENT_DIR, "corvd.exe")
    result = h.run_waited(h.deliverable("Tavrisk"), "RunCORVD")
    assert result["exit"] == 0 and not result["signalled"]
    starts = wait_for_starts(program, 1)
    assert len(starts) == 1 and starts[0]["args"] == []
    messages = h.log_messages(result["pid"])
    assert messages[1:] == ["Tavrisk:Run corvd start...\r\n"]


@pytest.fixture
def own_folder():
    """A copy of Pelkora.exe in a folder of its own, where it looks for
    Brevanto.exe."""
    with h.deliverable_alone("Pelkora") as folder:
        yield folder
        stop("Brevanto.exe")


def test_restart_without_a_running_client_starts_it_at_once(own_folder):
    client = install_double(own_folder, "Brevanto.exe")
    result = h.run_waited(own_folder / "Pelkora.exe", "RestartBrevanto")
    assert result["exit"] == 0 and not result["signalled"]
    starts = wait_for_starts(client, 1)
    assert len(starts) == 1 and starts[0]["args"] == []
    messages = h.log_messages(result["pid"])
    assert messages[1:] == ["RestartBrevanto: start restart Brevanto....\r\n",
                            "RestartBrevanto: current process exit successfully.\r\n"]


def test_restart_stops_a_client_that_does_not_end_and_starts_it_again(own_folder):
    client = install_double(own_folder, "Brevanto.exe", "match=first\nstay=forever\n")
    running = subprocess.Popen([str(h.WINERUN), str(client), "first"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert len(wait_for_starts(client, 1)) == 1
        result = h.run_waited(own_folder / "Pelkora.exe", "RestartBrevanto")
        assert result["exit"] == 0
        # The old instance has ended before the new one was started.
        assert running.wait(timeout=30) is not None
        starts = wait_for_starts(client, 2)
        assert [s["args"] for s in starts] == [["first"], []]
        messages = h.log_messages(result["pid"])
        assert "RestartBrevanto: current process exit successfully.\r\n" not in messages
        assert "StopProcessByName, Brevanto.exe has been terminated.\r\n" in messages
    finally:
        if running.poll() is None:
            running.kill()


def test_restart_without_the_client_program_logs_its_path(own_folder):
    result = h.run_waited(own_folder / "Pelkora.exe", "RestartBrevanto")
    assert result["exit"] == 0
    path = h.windows_path(own_folder / "Brevanto.exe")
    assert (f"RunBrevantoAgain: has no file with path:[{path}]\r\n"
            in h.log_messages(result["pid"]))
