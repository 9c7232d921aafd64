"""The launch road of "BVConnectWithSession" when nothing needs updating:
the gateway double (TLS) serves the version file, the COM double is the
install manager (every component current), the client double is
Brevanto.exe beside a copy of Pelkora.exe, a running double is the browser.

Measured from the moment the waiter is started (as the browser's launch
control starts the program) to the moment the client double starts (its
journal's time); each step's time is read from the run's log lines. The
whole is judged against a bare start of the same client double by the same
Wine through the same waiter, in the same run. Run through
bench/launchbench.sh; LAUNCHBENCH_ROUNDS sets the runs (7), LAUNCHBENCH_LOG=1
prints each run's log lines and the COM double's journal on stderr. The
slot's browser proxy is cleared first: the road measured is the direct one.
"""
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "test" / "system"))
import harness as h  # noqa: E402

DOUBLES = Path(__file__).resolve().parents[1] / "test" / "doubles"
SESSION = "portal-session-0123"
ROUNDS = int(os.environ.get("LAUNCHBENCH_ROUNDS", "7"))
# The step that ends at each log line (the first line that starts with the
# text, after the previous step's line).
STEPS = [
    ("single-instance test", "Pelkora: start detect proxy info"),
    ("proxy detection", "Start Brevanto vpn info:"),
    ("install manager present", "CheckGrendal: Grendal exist"),
    ("version file (TLS, gateway)", "DownloadVersionFile: download version.xml finished."),
    ("client update check (COM)", "Tavrisk: file "),
    ("command line, browser check", "Tavrisk: Browser process id is:"),
    ("ShellExecuteEx of the client", "Tavrisk:launch Brevanto process finish."),
]


def log_time(entry, day):
    clock = datetime.datetime.strptime(entry["time"], "%H:%M:%S.%f").time()
    return datetime.datetime.combine(day, clock).timestamp()


def install(folder, name, behave=None):
    path = folder / name
    shutil.copyfile(h.TEST_BIN / "clientdouble.exe", path)
    if behave:
        Path(str(path) + ".behave").write_text(behave)
    return path


def started_at(program, timeout=30):
    """The time the double's single start wrote its journal."""
    journal = Path(str(program) + ".journal")
    end = time.time() + timeout
    while time.time() < end:
        if journal.exists() and "end" in journal.read_text():
            return journal.stat().st_mtime
        time.sleep(0.01)
    raise SystemExit(f"{program.name} did not start")


def start_gateway(work):
    root = work / "root"
    root.mkdir()
    (root / "version.xml").write_bytes(b"<?xml version=\"1.0\"?>\r\n<version>9.2.0.41</version>\r\n")
    ready = work / "ready"
    gateway = subprocess.Popen([sys.executable, str(DOUBLES / "gateway.py"), "--root", str(root),
                                "--ready-file", str(ready), "--cert-dir", str(work / "certs"),
                                "--session", SESSION], stdin=subprocess.DEVNULL)
    for _ in range(300):
        if ready.exists() and ready.read_text().strip():
            return gateway, int(ready.read_text())
        time.sleep(0.05)
    gateway.kill()
    raise SystemExit("the gateway double did not start")


def main():
    h.clear_browser_proxy()  # the road measured is the direct one
    work = Path(tempfile.mkdtemp())
    folder = Path(tempfile.mkdtemp())
    shutil.copyfile(h.deliverable("Pelkora"), folder / "Pelkora.exe")
    client = install(folder, "Brevanto.exe")
    bare_client = install(work, "bareclient.exe")
    browser_program = install(folder, "browser.exe", "stay=forever\n")
    gateway, port = start_gateway(work)
    browser = subprocess.Popen([str(h.WINERUN), str(browser_program)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        started_at(browser_program)
        pid = int(next(line[4:] for line in Path(str(browser_program) + ".journal").read_text()
                       .splitlines() if line.startswith("pid=")))
        tail = f"BVConnectWithSession localhost {port} KZsession={SESSION} {pid} alice txt1=a@"
        with h.ComDouble(work / "com") as services:
            h.run_waited(folder / "Pelkora.exe", tail)  # warm: Wine's first start of each image
            time.sleep(0.5)
            bare, launch, in_program = [], [], []
            steps = {name: [] for name, _ in STEPS + [("client process start", None)]}
            for _ in range(ROUNDS):
                Path(str(bare_client) + ".journal").unlink(missing_ok=True)
                begun = time.time()
                h.run_waited(bare_client)
                bare.append(started_at(bare_client) - begun)

                Path(str(client) + ".journal").unlink(missing_ok=True)
                begun = time.time()
                result = h.run_waited(folder / "Pelkora.exe", tail)
                client_start = started_at(client)
                launch.append(client_start - begun)
                entries = h.log_entries(result["pid"])
                day = datetime.date.today()
                first = log_time(entries[0], day)
                in_program.append(client_start - first)
                previous, index = first, 0
                for name, text in STEPS:
                    while index < len(entries) and not entries[index]["message"].startswith(text):
                        index += 1
                    if index == len(entries):
                        for entry in entries:
                            print(entry["time"], entry["message"].rstrip(), file=sys.stderr)
                        raise SystemExit(f"no log line for the step {name}: the road changed")
                    at = log_time(entries[index], day)
                    steps[name].append(at - previous)
                    previous = at
                steps["client process start"].append(client_start - previous)
                if os.environ.get("LAUNCHBENCH_LOG"):
                    for entry in entries:
                        print(entry["time"], entry["message"].rstrip(), file=sys.stderr)
                    print("\n".join(services.journal()), file=sys.stderr)
                time.sleep(0.3)
        whole = statistics.median(launch)
        floor = statistics.median(bare)
        print(f"BVConnectWithSession, nothing to update, {ROUNDS} runs (medians; "
              f"min..max of the whole in brackets)")
        print(f"  waiter start -> client start        : {whole * 1000:7.0f} ms "
              f"[{min(launch) * 1000:.0f}..{max(launch) * 1000:.0f}]")
        print(f"  bare start of the same client double: {floor * 1000:7.0f} ms "
              f"[{min(bare) * 1000:.0f}..{max(bare) * 1000:.0f}]   (ratio {whole / floor:.2f})")
        print(f"  beyond the bare start               : {(whole - floor) * 1000:7.0f} ms")
        print(f"  program's first log line -> client  : {statistics.median(in_program) * 1000:7.0f} ms")
        print("  steps (each from the previous step's log line):")
        for name in steps:
            print(f"    {name:32}: {statistics.median(steps[name]) * 1000:7.1f} ms")
        print("  waits the road itself fixes: none when nothing needs updating (the proxy-saving")
        print("  worker is waited for only as long as it works, bounded by 30,000 ms)")
    finally:
        browser.kill()
        h.run(["taskkill", "/f", "/im", "browser.exe"])
        gateway.kill()
        gateway.wait()
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
