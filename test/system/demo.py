"""Shows a person what the program does: each command runs as the browser's
launch control would start it (completion event created first), then the
exit code, the completion signal and the log lines of that run are shown.
Then the gateway download: the gateway double (TLS, a session token) and the
proxy double run on loopback, and the demo's fetch program downloads the
version file with the session cookie, directly and through the proxy with
NTLM; what the proxy and the gateway saw is shown beside it. Then the main
road: the portal's "BVConnectWithSession" starts the client double with
the session's exact command line, and "BVSetOutSideProxyScript" writes the
split tunnel's Proxy.pac, with what the PAC engine answers for a few
hosts."""
import base64
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

import harness as h
from client_programs import journal as client_journal

DOUBLES = Path(__file__).resolve().parents[1] / "doubles"
SESSION = "demo-7c1f0a2b"
VERSION = "<?xml version=\"1.0\"?>\r\n<version>9.2.0.41</version>\r\n"

COMMANDS = [
    ("Pelkora", "", "empty command: only the completion signal"),
    ("Pelkora", "nothing-to-do", "no keyword matches: only the completion signal"),
    ("Tavrisk", "install BVGrendal gw.example.com 443 session-1 1033",
     "install block (exact word, seven arguments)"),
    ("Pelkora", '"https://gw.example.com/proxy.pac" gw.example.com', "saveproxy form"),
]


def main():
    print(f"Log folder: {h.log_folder()}")
    for exe, tail, what in COMMANDS:
        result = h.run_waited(h.deliverable(exe), tail)
        print()
        print(f"== {exe}.exe {tail}".rstrip() + f"    ({what})")
        print(f"   exit code {result['exit']}, completion event "
              f"{'set' if result['signalled'] else 'not set'}")
        for entry in h.log_entries(result["pid"]):
            message = entry["message"].rstrip("\r\n").replace("\r\n", " | ")
            print(f"   {entry['time']} ({entry['level']}) {entry['source']}:{entry['line']} {message}")
    gateway_demo()
    launch_demo()
    proxy_script_demo()


def start_gateway(work):
    root = work / "root"
    root.mkdir(parents=True)
    (root / "version.xml").write_bytes(VERSION.encode())
    ready = work / "ready"
    gateway = subprocess.Popen(
        [sys.executable, str(DOUBLES / "gateway.py"), "--root", str(root), "--ready-file", str(ready),
         "--cert-dir", str(h.BUILD / "demo-certs"), "--log", str(work / "gateway.jsonl"),
         "--session", SESSION], stdin=subprocess.DEVNULL)
    for _ in range(300):
        if ready.exists():
            return gateway, int(ready.read_text())
        if gateway.poll() is not None:
            break
        time.sleep(0.05)
    gateway.kill()
    raise SystemExit("the gateway double did not start")


def fetch(what, *args):
    rc, out, err = h.run([h.TEST_BIN / "fetch.exe", *map(str, args)], timeout=60)
    print()
    print(f"== fetch.exe {' '.join(map(str, args))}    ({what})")
    for line in (out + err).strip("\n").splitlines():
        print(f"   {line.rstrip()}")


def ntlm_named(line):
    """An NTLM header line with the message's kind (negotiate, authenticate)."""
    name, _, value = line.partition(": ")
    scheme, _, token = value.partition(" ")
    if scheme != "NTLM":
        return line
    kind = {1: "negotiate", 2: "challenge", 3: "authenticate"}.get(base64.b64decode(token)[8], "?")
    return f"{name}: NTLM {kind} ({len(token)} base64 characters)"


def seen(title, path, fields):
    print()
    print(f"   {title} ({path.name}):")
    if not path.exists():
        print("   (nothing)")
        return
    for line in path.read_text().splitlines():
        record = json.loads(line)
        if "head" not in record:
            continue
        head = record["head"].split("\r\n")
        shown = [head[0]] + [ntlm_named(x) for x in head[1:] if x.split(":", 1)[0] in fields]
        label = " ".join(f"{k} {record[k]}" for k in ("mode", "conn", "status") if k in record)
        print(f"   [{label}] " + " | ".join(x if len(x) < 70 else x[:67] + "..." for x in shown))


def gateway_demo():
    work = h.BUILD / "demo"
    shutil.rmtree(work, ignore_errors=True)
    proxy_dir = work / "proxy"
    gateway, port = start_gateway(work / "gateway")
    try:
        subprocess.run([str(DOUBLES / "proxy_double.sh"), "start", str(proxy_dir)], check=True)
        ntlm = json.loads((proxy_dir / "ports.json").read_text())["ntlm"]
        print()
        print(f"Gateway double on 127.0.0.1:{port} (TLS, session {SESSION}); "
              f"NTLM proxy double on 127.0.0.1:{ntlm} (user CORP\\alice)")
        fetch("direct, with the session cookie", "localhost", port, SESSION, "version.xml")
        fetch("direct, with a wrong session: the gateway refuses it", "localhost", port, "expired", "version.xml")
        fetch("through the proxy, NTLM learned from its first refusal", "localhost", port, SESSION,
              "version.xml", "127.0.0.1", ntlm, "CORP\\alice", "Secret#1")
        seen("what the proxy saw", proxy_dir / "requests.jsonl", ("Proxy-Authorization",))
        seen("what the gateway saw", work / "gateway" / "gateway.jsonl", ("Host", "Cookie"))
    finally:
        subprocess.run([str(DOUBLES / "proxy_double.sh"), "stop", str(proxy_dir)])
        gateway.kill()
        gateway.wait()


def show_run(title, result):
    print()
    print(f"== {title}")
    print(f"   exit code {result['exit']}, completion event "
          f"{'set' if result['signalled'] else 'not set'}")
    for entry in h.log_entries(result["pid"]):
        message = entry["message"].rstrip("\r\n").replace("\r\n", " | ")
        print(f"   {entry['time']} ({entry['level']}) {message}")


def launch_demo():
    """The main road: the portal's launch command with the gateway double
    (TLS, the session's version file), the COM double as the install
    manager (every component current) and the client double as Brevanto.exe
    beside a copy of Pelkora.exe; a running double stands in for the
    browser. The client's journal shows the exact command line it got."""
    work = h.BUILD / "demo-launch"
    shutil.rmtree(work, ignore_errors=True)
    folder = work / "program"
    folder.mkdir(parents=True)
    shutil.copyfile(h.deliverable("Pelkora"), folder / "Pelkora.exe")
    shutil.copyfile(h.TEST_BIN / "clientdouble.exe", folder / "Brevanto.exe")
    shutil.copyfile(h.TEST_BIN / "clientdouble.exe", folder / "browser.exe")
    (folder / "browser.exe.behave").write_text("stay=forever\n")
    gateway, port = start_gateway(work / "gateway")
    browser = subprocess.Popen([str(h.WINERUN), str(folder / "browser.exe")], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        journal = folder / "browser.exe.journal"
        for _ in range(200):
            if journal.exists() and "end" in journal.read_text():
                break
            time.sleep(0.05)
        pid = next(line[4:] for line in journal.read_text().splitlines() if line.startswith("pid="))
        with h.ComDouble(work / "com"):
            tail = f"BVConnectWithSession localhost {port} KZsession={SESSION} {pid} alice txt1=a@"
            show_run(f"Pelkora.exe {tail}    (the portal's launch, browser pid {pid})",
                     h.run_waited(folder / "Pelkora.exe", tail))
            for _ in range(100):
                if client_journal(folder / "Brevanto.exe"):
                    break
                time.sleep(0.1)
        starts = client_journal(folder / "Brevanto.exe")
        if not starts:
            print("   Brevanto.exe was not started")
        for start in starts:
            print(f"   Brevanto.exe (pid {start['pid']}) was started with the command line:")
            print(f"   | {start['cmd']}")
            print("   which it reads as the arguments: " + " ".join(f"[{a}]" for a in start["args"]))
    finally:
        browser.kill()
        h.run(["taskkill", "/f", "/im", "browser.exe"])
        h.run(["taskkill", "/f", "/im", "Brevanto.exe"])
        gateway.kill()
        gateway.wait()


def proxy_script_demo():
    """The split tunnel's PAC script: the user's captured manual proxy, the
    zones the client left in the registry, then what the platform's PAC
    engine answers from the generated Proxy.pac."""
    vpn2 = r"HKCU\SOFTWARE\VPN\VPN2"
    h.reg_add(r"HKCU\SOFTWARE\VPN\Install Manager", "proxylistenport", "REG_DWORD", 51234)
    h.write_ini({"IE_Proxy_Auto_Flag": 0, "IE_Proxy_Flag": 3, "IE_Proxy_Server": "proxy.corp:8080",
                 "IE_Proxy_ByPass": "<local>;*.intra.corp"})
    h.reg_add(vpn2 + r"\Include", "number", "REG_DWORD", 1)
    h.reg_add(vpn2 + r"\Include", "include_0", "REG_SZ", "virip=10.1.0.0@mask=255.255.0.0")
    h.reg_add(vpn2 + r"\Exclude", "number", "REG_DWORD", 1)
    h.reg_add(vpn2 + r"\Exclude", "exclude_0", "REG_SZ", "virip=10.1.5.0@mask=255.255.255.0")
    tail = "BVSetOutSideProxyScript SplitTunnel gw.example.com"
    result = h.run_waited(h.deliverable("Pelkora"), tail)
    print()
    print(f"== Pelkora.exe {tail}    (split tunnel, manual proxy proxy.corp:8080)")
    print(f"   exit code {result['exit']}; resume flag "
          f"{(h.read_ini() or {}).get('IE_Proxy_Should_Resume', '(none)')}")
    pac = h.conf_dir() / "Proxy.pac"
    if not pac.exists():
        print("   no Proxy.pac was written")
        return
    print(f"   Proxy.pac ({pac.stat().st_size} bytes):")
    for line in pac.read_text().splitlines():
        print(f"   | {line}")
    probes = [("https://gw.example.com/", "gw.example.com"), ("http://10.1.2.3/", "10.1.2.3"),
              ("http://10.1.5.7/", "10.1.5.7"), ("http://wiki.intra.corp/", "wiki.intra.corp"),
              ("http://www.example.org/", "www.example.org")]
    print("   the PAC engine answers:")
    for url, answer in h.pac_answers(probes).items():
        print(f"   {url:28} {answer}")


if __name__ == "__main__":
    main()
