"""The MSI rows through the real deliverables: "callmsiservice" against the
COM double (the MSI install manager and the install manager) with the
ActiveX installer and the local HTTPS program stood in for by the
client-program double."""
import shutil
import tempfile
import time
from pathlib import Path

import pytest

import harness as h
from client_programs import (CLIENT_DIR, COMPANY, install_double, journal, set_up_company, stop,
                             tear_down_company, wait_for_starts)

RUN_KEY = r"HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Run"
INSTALLER = "Brevanto_ActivX_x64.exe"


@pytest.fixture
def own_folder():
    """A copy of Tavrisk.exe in a folder of its own, with the installer double beside it."""
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        shutil.copyfile(h.deliverable("Tavrisk"), folder / "Tavrisk.exe")
        yield folder
        stop(INSTALLER)


@pytest.fixture
def services():
    set_up_company()
    h.run(["reg", "delete", RUN_KEY, "/v", "LaunchBhttpd", "/f"])
    with tempfile.TemporaryDirectory() as folder:
        with h.ComDouble(folder) as double:
            yield double
    h.run(["reg", "delete", RUN_KEY, "/v", "LaunchBhttpd", "/f"])
    tear_down_company()


def run_value():
    rc, out, _ = h.run(["reg", "query", RUN_KEY, "/v", "LaunchBhttpd"])
    if rc != 0:
        return None
    return out.split("REG_SZ", 1)[1].strip()


def expected_run_value():
    return f'"C:\\Program Files\\{COMPANY}\\Brevanto VPN Client\\Pelkora.exe" -LaunchBhttpd'


def test_an_unreachable_msi_manager_is_tried_ten_times_and_nothing_else_runs(own_folder, services):
    services.set("ITarquel", "Mode", "NotRegistered")
    installer = install_double(own_folder, INSTALLER)
    started = time.monotonic()
    result = h.run_waited(own_folder / "Tavrisk.exe", "callmsiservice")
    assert result["exit"] == 0 and not result["signalled"]
    assert time.monotonic() - started >= 9
    messages = h.log_messages(result["pid"])
    assert len([m for m in messages if m.startswith("UpdateMSI: CoCreateInstance failed, error:")]) == 10
    assert messages[-1] == "too much times that cannot connect to Tarquel service\r\n"
    assert services.journal() == ["ITarquel.Create\tresult=0x80040154"] * 10
    assert journal(installer) == []
    assert run_value() is None


@pytest.mark.parametrize("installer_behaviour", [None, "stay=forever\n"], ids=["ends", "never-ends"])
def test_the_msi_refresh_runs_the_installer_and_registers_the_https_program(own_folder, services,
                                                                           installer_behaviour):
    installer = install_double(own_folder, INSTALLER, installer_behaviour)
    https = install_double(CLIENT_DIR, "BrevantoHttpd.exe")
    started = time.monotonic()
    result = h.run_waited(own_folder / "Tavrisk.exe", "callmsiservice")
    elapsed = time.monotonic() - started
    assert result["exit"] == 0
    assert [s["args"] for s in wait_for_starts(installer, 1)] == [["/S"]]
    assert len(wait_for_starts(https, 1)) == 1
    run_key = RUN_KEY.split("\\", 1)[1]
    assert services.journal() == [
        "ITarquel.Create\tresult=0x00000000",
        "ITarquel.UpdateMSI\tkind=1\ttext=\tresult=0x00000000",
        "IInstallManager.Create\tresult=0x00000000",
        "IInstallManager.StopProcessByName\tprogram=Tarquel.exe\tresult=0x00000000",
        "IInstallManager.WriteRegValue\trootKind=1\tvalueKind=1\tkey=" + run_key.replace("\\", "\\\\") +
        "\tvalueName=LaunchBhttpd\ttext=" + expected_run_value().replace("\\", "\\\\") +
        "\tflags=0\tresult=0x00000000",
        "IInstallManager.Release",
        "ITarquel.Release",
    ]
    assert run_value() == expected_run_value()
    messages = h.log_messages(result["pid"])
    assert "UpdateMSI success.\r\n" in messages
    assert "BVInstallMSI: finished and success.\r\n" in messages
    if installer_behaviour:
        # Waited for about 11 s, then the Run value is written anyway.
        assert elapsed >= 11
    else:
        assert elapsed < 11


def test_a_missing_installer_is_logged_and_the_rest_still_runs(own_folder, services):
    services.set("ITarquel", "UpdateMSI", 0x80004005)
    result = h.run_waited(own_folder / "Tavrisk.exe", "callmsiservice")
    messages = h.log_messages(result["pid"])
    assert "UpdateMSI failed, error:80004005\r\n" in messages
    assert any(m.startswith("BVInstallMSI: ShellExecuteEx error ") for m in messages)
    assert run_value() == expected_run_value()
