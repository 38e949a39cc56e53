#!/usr/bin/env python3
"""Start-up, memory and shutdown figures of the real binary.

    python3 bench/foundation.py [path/to/quillnest] [runs]

Prints: the time from exec to a connectable listener, the resident memory
after start-up, and the time from SIGTERM to exit with 64 open connections.
"""
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "quillnest")
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 10


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def one_run(folder):
    port = free_port()
    with open(os.path.join(folder, "quillnest.ini"), "wb") as f:
        f.write(b"port=%d\r\nroot=%s\r\n" % (port, folder.encode()))
    started = time.perf_counter()
    proc = subprocess.Popen([os.path.join(folder, "quillnest")], cwd=folder,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Bounded: 10 s of 1 ms polls at most.
    for _ in range(10000):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.001)
    listening = time.perf_counter() - started
    time.sleep(0.2)
    rss = rss_kib(proc.pid)
    clients = [socket.create_connection(("127.0.0.1", port)) for _ in range(64)]
    for c in clients:
        c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n")
    time.sleep(0.3)
    stop = time.perf_counter()
    proc.send_signal(signal.SIGTERM)
    proc.wait(30)
    stopped = time.perf_counter() - stop
    for c in clients:
        c.close()
    return listening, rss, stopped


def main():
    folder = tempfile.mkdtemp(prefix="qn-bench-")
    try:
        shutil.copy(BINARY, os.path.join(folder, "quillnest"))
        results = [one_run(folder) for _ in range(RUNS)]
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    start = [r[0] * 1000 for r in results]
    rss = [r[1] / 1024 for r in results]
    stop = [r[2] * 1000 for r in results]
    print("runs: %d" % RUNS)
    print("start-up to listening: median %.1f ms, max %.1f ms" % (statistics.median(start), max(start)))
    print("resident memory after start-up: median %.1f MiB" % statistics.median(rss))
    print("SIGTERM to exit with 64 open connections: median %.1f ms, max %.1f ms"
          % (statistics.median(stop), max(stop)))


if __name__ == "__main__":
    main()
