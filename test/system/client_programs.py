"""The client-program double (test/doubles/clientdouble.cpp) installed under
the names of the client's programs, and the client's folders of a company of
the tests' own. Each start of the double is read from its journal."""
import re
import shutil
import time
from pathlib import Path

import harness as h

INSTALL_MANAGER = r"HKLM\SOFTWARE\VPN\Install Manager"
COMPANY = "Quarlo System Test Co"
COMPANY_ROOT = h.PREFIX / "drive_c" / "Program Files" / COMPANY
CLIENT_DIR = COMPANY_ROOT / "Brevanto VPN Client"


def install_double(folder, name, behaviour=None):
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / name
    shutil.copyfile(h.TEST_BIN / "clientdouble.exe", path)
    for suffix in (".journal", ".behave"):
        Path(str(path) + suffix).unlink(missing_ok=True)
    if behaviour:
        Path(str(path) + ".behave").write_text(behaviour)
    return path


def journal(path):
    """The starts of a double: dicts with pid, cmd and args."""
    file = Path(str(path) + ".journal")
    if not file.exists():
        return []
    starts, current = [], {"args": []}
    for line in file.read_text(encoding="utf-8").splitlines():
        if line == "end":
            starts.append(current)
            current = {"args": []}
        elif re.match(r"arg\d+=", line):
            current["args"].append(line.split("=", 1)[1])
        elif "=" in line:
            key, value = line.split("=", 1)
            current[key] = value
    return starts


def wait_for_starts(path, count, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        starts = journal(path)
        if len(starts) >= count:
            return starts
        time.sleep(0.1)
    return journal(path)


def reg_value(key, name):
    rc, out, _ = h.run(["reg", "query", key, "/v", name])
    return out if rc == 0 and name in out else None


def stop(name):
    h.run(["taskkill", "/f", "/im", name])


def set_up_company():
    h.reg_delete_key(INSTALL_MANAGER)
    h.reg_add(INSTALL_MANAGER, "CompanyName", "REG_SZ", COMPANY)
    shutil.rmtree(COMPANY_ROOT, ignore_errors=True)


def tear_down_company(programs=("BrevantoHttpd.exe", "Brevanto.exe", "corvd.exe")):
    for name in programs:
        stop(name)
    h.reg_delete_key(INSTALL_MANAGER)
    shutil.rmtree(COMPANY_ROOT, ignore_errors=True)
