#!/usr/bin/env python3
"""Native loopback peer of transportbench: every connection it accepts gets
the same number of bytes, then the peer closes it.

    bench/stream_peer.py <port file> [MiB]

Listens on 127.0.0.1 (a free port, written to the port file) until killed.
"""
import socket
import sys
import threading


def serve(connection, total):
    block = bytes(range(256)) * 256  # 64 KiB
    view = memoryview(block)
    left = total
    try:
        while left > 0:
            n = min(left, len(block))
            connection.sendall(view[:n])
            left -= n
        connection.shutdown(socket.SHUT_WR)
        while connection.recv(65536):
            pass
    except OSError:
        pass
    finally:
        connection.close()


def main():
    port_file = sys.argv[1]
    total = (int(sys.argv[2]) if len(sys.argv) > 2 else 256) * 1024 * 1024
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    with open(port_file, "w") as f:
        f.write(str(listener.getsockname()[1]))
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, total), daemon=True).start()


if __name__ == "__main__":
    main()
