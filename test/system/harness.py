"""Runs the deliverables and the test doubles under the build's Wine prefix
and reads what they leave behind (log lines, registry values, events)."""
import contextlib
import datetime
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

BUILD = Path(os.environ.get("QUARLO_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
HARNESS = BUILD / "harness"
WINERUN = HARNESS / "winerun"

def _slot_prefix():
    """The prefix of the worker slot this test holds (harness/slot.sh, which
    CTest runs every system test in): every program of the test runs there,
    and what they leave behind is read there."""
    slot = os.environ.get("QUARLO_SLOT_DIR", "")
    if not slot.startswith(str(HARNESS / "slots") + os.sep):
        raise RuntimeError(f"run the system tests in a slot of the harness: "
                           f"{Path(__file__).resolve().parents[1] / 'harness' / 'slot.sh'} {HARNESS} "
                           f"python3 -m pytest ... (ctest does this)")
    return Path(slot) / "wineprefix"


PREFIX = _slot_prefix()
BIN = BUILD / "bin"
TEST_BIN = BUILD / "test-bin"


def windows_path(path):
    """The Z: drive path of a Linux path."""
    return "Z:" + str(Path(path)).replace("/", "\\")


def run(args, timeout=120):
    """Runs a Windows program (args[0] a Linux path or a Windows built-in)
    and returns (exit code, stdout, stderr). Output goes through files:
    Wine's helper processes would hold a pipe open."""
    with tempfile.TemporaryDirectory() as tmp:
        out_path, err_path = Path(tmp) / "out", Path(tmp) / "err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            rc = subprocess.call([str(WINERUN), *map(str, args)], stdout=out, stderr=err,
                                 stdin=subprocess.DEVNULL, timeout=timeout)
        return rc, out_path.read_text(errors="replace"), err_path.read_text(errors="replace")


def deliverable(name):
    return BIN / f"{name}.exe"


@contextlib.contextmanager
def deliverable_alone(name):
    """A folder of its own holding a copy of the deliverable, where it looks
    for the programs it starts; removed afterwards."""
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        shutil.copyfile(deliverable(name), folder / f"{name}.exe")
        yield folder


def run_waited(program, tail="", timeout_ms=60000):
    """Starts program through the waiter double, which creates the completion
    event first. tail is passed on verbatim as the raw command line.
    Returns dict(exit=..., signalled=..., pid=...)."""
    args = [TEST_BIN / "waiter.exe", "-t", str(timeout_ms), windows_path(program)]
    offset = _log_length()
    rc, out, err = run_raw(args, tail)
    match = re.search(r"exit=(\d+) signalled=(\d) pid=(\d+)", out)
    assert match, f"waiter failed (rc {rc}): {out} {err}"
    # Wine reuses process ids: only lines written after this start belong
    # to this run.
    _RUN_OFFSETS[int(match.group(3))] = offset
    return {"exit": int(match.group(1)), "signalled": int(match.group(2)) == 1,
            "pid": int(match.group(3)), "rc": rc}


def run_raw(args, tail):
    """Like run, with the waiter handing a raw tail (from a file, so that no
    shell re-quotes it) to the program named by the last argument."""
    if tail is None or tail == "":
        return run(args)
    with tempfile.TemporaryDirectory() as tmp:
        rsp = Path(tmp) / "tail.txt"
        rsp.write_bytes(tail.encode("utf-16-le"))
        return run([*args[:-1], "-r", windows_path(rsp), args[-1]])


def log_folder():
    return PREFIX / "drive_c" / "ProgramData" / "VPN" / "Log"


def log_file(day=None):
    day = day or datetime.date.today()
    return log_folder() / f"{day.year:04d}-{day.month:02d}-{day.day:02d}.txt"


LINE_HEAD = re.compile(
    r"(?P<date>\d\d/\d\d/\d\d) (?P<time>\d\d:\d\d:\d\d\.\d\d\d) P-(?P<pid>\d+): T-(?P<tid>\d+): "
    r"(?P<module>[^:]+): \((?P<level>[A-Z]+)\): (?P<source>[^:]+):(?P<line>\d+)  <(?P<exe>[^>]+)> ")


_RUN_OFFSETS = {}


def _log_length():
    path = log_file()
    return path.stat().st_size // 2 if path.exists() else 0


def log_entries(pid, day=None):
    """The statements that process pid wrote to the daily file, in order:
    dicts with the head fields and the message (CR LF kept)."""
    path = log_file(day)
    if not path.exists():
        return []
    text = path.read_bytes().decode("utf-16-le")
    heads = list(LINE_HEAD.finditer(text))
    entries = []
    for i, head in enumerate(heads):
        end = heads[i + 1].start() if i + 1 < len(heads) else len(text)
        if int(head.group("pid")) == pid and (day or head.start() >= _RUN_OFFSETS.get(pid, 0)):
            entry = head.groupdict()
            entry["message"] = text[head.end():end]
            entries.append(entry)
    return entries


def log_messages(pid, day=None):
    return [e["message"] for e in log_entries(pid, day)]


def reg_add(key, name, kind, data):
    rc, out, err = run(["reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f"])
    assert rc == 0, err


def reg_delete_key(key):
    run(["reg", "delete", key, "/f"])


SERVICE_CLSIDS = {
    "IInstallManager": "{CB33EE85-E9E2-4167-AF1D-A65194B287CB}",
    "IOssiden": "{E0887FB2-C690-41D1-8B91-86AF318BF9C6}",
    "ITarquel": "{7BA0AE03-0EEC-47BF-B2B9-01A8D75E1EF2}",
}


class ComDouble:
    """The COM double of the outside services (test/doubles/comdouble.cpp,
    whose header lists what it can be told) registered in this prefix for
    the life of the object: an empty control key and a journal in folder.
    Use as a context manager."""

    KEY = r"HKCU\Software\QuarloTest\ComDouble"

    def __init__(self, folder):
        self.journal_path = Path(folder) / "comdouble.journal"

    def __enter__(self):
        self.journal_path.parent.mkdir(parents=True, exist_ok=True)
        reg_delete_key(self.KEY)
        reg_add(self.KEY, "Journal", "REG_SZ", windows_path(self.journal_path))
        rc, _, err = run(["regsvr32", "/s", windows_path(TEST_BIN / "comdouble.dll")])
        assert rc == 0, f"regsvr32 failed ({rc}): {err}"
        return self

    def __exit__(self, *exc):
        run(["regsvr32", "/u", "/s", windows_path(TEST_BIN / "comdouble.dll")])
        reg_delete_key(self.KEY)

    def set(self, service, name, value):
        """An int becomes a REG_DWORD, a text a REG_SZ (a script such as "1,0")."""
        if isinstance(value, int):
            reg_add(rf"{self.KEY}\{service}", name, "REG_DWORD", value)
        else:
            reg_add(rf"{self.KEY}\{service}", name, "REG_SZ", value)

    def journal(self):
        if not self.journal_path.exists():
            return []
        return self.journal_path.read_text(encoding="utf-8").splitlines()


# ---- The browser-proxy state files -------------------------------------------

SECTION = "OUTSIDE_PROXY_CONFIG"


def conf_dir():
    """The per-user configuration folder of kind 0 (the console user's
    temporary folder, its "Low" form)."""
    users = sorted(p for p in (PREFIX / "drive_c" / "users").iterdir() if p.name != "Public")
    return users[0] / "Temp" / "Low" / "VPN"


def proxy_ini():
    return conf_dir() / "Proxy.ini"


INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


def clear_browser_proxy():
    """No browser proxy and nothing captured: a test that sets, restores or
    detects the user's proxy starts and leaves its slot this way, since the
    next test in the slot reads them."""
    reg_add(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 0)
    for name in ("ProxyServer", "AutoConfigURL", "ProxyOverride"):
        run(["reg", "delete", INTERNET_SETTINGS, "/v", name, "/f"])
    shutil.rmtree(conf_dir(), ignore_errors=True)


def write_ini(values):
    conf_dir().mkdir(parents=True, exist_ok=True)
    lines = [f"[{SECTION}]"] + [f"{k}={v}" for k, v in values.items()]
    proxy_ini().write_bytes(("\r\n".join(lines) + "\r\n").encode("cp1252"))


def read_ini():
    if not proxy_ini().exists():
        return None
    values, section = {}, None
    for line in proxy_ini().read_bytes().decode("cp1252").splitlines():
        if line.startswith("["):
            section = line.strip("[]")
        elif "=" in line and section == SECTION:
            key, value = line.split("=", 1)
            values[key] = value
    return values


def pac_answers(pairs):
    """What the platform's PAC engine answers from Proxy.pac: {url: answer}."""
    args = [TEST_BIN / "pacanswer.exe", windows_path(conf_dir() / "Proxy.pac")]
    for url, host in pairs:
        args += [url, host]
    rc, out, err = run(args)
    answers = {}
    for line in out.splitlines():
        match = re.match(r"(\S+) (\S+) => (.*)", line)
        if match:
            answers[match.group(1)] = match.group(3)
    assert rc == 0, out + err
    return answers
