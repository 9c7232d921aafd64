"""Shows a person what the program does: each command runs as the browser's
launch control would start it (completion event created first), then the
exit code, the completion signal and the log lines of that run are shown."""
import harness as h

COMMANDS = [
    ("Pelkora", "", "empty command: only the completion signal"),
    ("Pelkora", "nothing-to-do", "no keyword matches: only the completion signal"),
    ("Tavrisk", "install BVGrendal gw.example.com 443 session-1 1033",
     "install block (exact word, seven arguments)"),
    ("Pelkora", '"https://gw.example.com/proxy.pac" gw.example.com', "saveproxy form"),
    ("Pelkora", "BVConnectWithSession gw.example.com 443 session-1 4711", "session launch"),
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


if __name__ == "__main__":
    main()
