"""The MSI rows through the real deliverables: "callmsiservice" against the
COM double (the MSI install manager and the install manager) with the
ActiveX installer and the local HTTPS program stood in for by the
client-program double."""
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
    with h.deliverable_alone("Tavrisk") as folder:
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


PRODUCT_VPN = "{5091C97F-0EA4-43b5-864E-390BB412DF95}"
PRODUCT_BREVANTO = "{B8913AD8-3C67-48D1-8200-A40EA52A12B3}"
PROGRAMS = h.PREFIX / "drive_c" / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Programs"


def package(folder):
    """The standalone package files beside the program, each naming its source."""
    for sub, files in (("Standalone64bit", ["Omrelle_X64.dll", "Lothric.exe", "Fennick.dll", "QuarloVPNApi.dll"]),
                       ("RSA64bit", ["Dunmeral.exe", "stauto32.dll"]),
                       ("RSA32bit", ["Dunmeral.exe", "stauto32.dll"])):
        (folder / sub).mkdir(exist_ok=True)
        for name in files:
            (folder / sub / name).write_text(f"{sub}/{name}")


@pytest.mark.parametrize("row", ["InstallForMSI", "updateformsi", "updatestandalonemsi"])
def test_the_client_rows_install_the_vpn_client_and_the_standalone_files(own_folder, services, row):
    services.set("IInstallManager", "State" + PRODUCT_VPN, 0)
    package(own_folder)
    result = h.run_waited(own_folder / "Tavrisk.exe", row)
    assert result["exit"] == 0 and not result["signalled"]
    messages = h.log_messages(result["pid"])
    assert "InstallClientForMSI start\r\n" in messages and "InstallClientForMSI finished\r\n" in messages
    assert "VPN already installed\r\n" in messages
    assert [l for l in services.journal() if "CheckClientComponents" in l] == [
        f"IInstallManager.CheckClientComponents\tproduct={PRODUCT_VPN}\tstate=0\tresult=0x00000000"]
    standalone = h.PREFIX / "drive_c" / "Program Files" / COMPANY / "SSL VPN Client"
    links = [PROGRAMS / "Quarlo Networks" / "Quarlo SSL VPN.lnk",
             h.PREFIX / "drive_c" / "users" / "Public" / "Desktop" / "Quarlo SSL VPN.lnk"]
    if row == "updatestandalonemsi":
        assert (standalone / "Lothric.exe").read_text() == "Standalone64bit/Lothric.exe"
        assert (standalone / "Omrelle_X64.dll").read_text() == "Standalone64bit/Omrelle_X64.dll"
        assert (standalone / "RSA32bit" / "stauto32.dll").read_text() == "RSA32bit/stauto32.dll"
        assert (standalone / "RSA64bit" / "Dunmeral.exe").read_text() == "RSA64bit/Dunmeral.exe"
        assert "CreateShortcut success\r\n" in messages
        assert links[0].exists()
    else:
        assert not standalone.exists()
        assert "InstallMSIForStandalone start\r\n" not in messages
    for link in links:
        link.unlink(missing_ok=True)


def test_the_brevanto_msi_row_installs_the_client_and_its_links(own_folder, services):
    services.set("IInstallManager", "State" + PRODUCT_BREVANTO, 0)
    result = h.run_waited(own_folder / "Tavrisk.exe", "InstallBrevantoMSI")
    assert result["exit"] == 0
    messages = h.log_messages(result["pid"])
    assert messages[1] == "Tavrisk Install Brevanto MSI: start...\r\n"
    assert "InstallBrevantoMSI start\r\n" in messages and "InstallBrevantoMSI finished\r\n" in messages
    assert "Brevanto already installed\r\n" in messages
    assert "CreateShortCutForBrevanto: CreateShortcut finish\r\n" in messages
    link = PROGRAMS / COMPANY / "Brevanto.lnk"
    assert link.exists()
    link.unlink()


def test_update_brevanto_renews_the_service_and_signals_the_waiting_copy(services):
    result = h.run_waited(h.deliverable("Tavrisk"), "-updateBrevanto")
    assert result["exit"] == 0 and result["signalled"]
    assert h.log_messages(result["pid"])[1] == "Tavrisk update Installmanager for bv: start...\r\n"
