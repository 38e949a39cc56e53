"""Slow and idle clients against quillnest: does a normal client still get in?

    python3 bench/slow_clients.py path/to/quillnest [seconds per attack] [attack ...]

For each attack a fresh server is started on a free loopback port; while the
attack runs, a probe client sends one request every 2 s (10 s limit) on a new
connection. Printed per attack: the probes taken from the 10th second on, the
share answered within 2 s, and every probe's latency. Attacks:

  slow_headers   slowhttptest -H, 200 connections at 50 per second
  slow_body      slowhttptest -B, 200 connections at 50 per second
  slow_read      slowhttptest -X, 200 connections at 50 per second
  idle_kept      64 kept connections that send one request, read it and stay idle
  never_read     64 connections that ask for a 4 MiB file and never read

Everything is bounded: each attack ends after its duration, every server and
attacker started here is stopped.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PROBE_INTERVAL = 2.0
PROBE_LIMIT = 10.0
ANSWERED_WITHIN = 2.0
COUNT_FROM = 10.0
ATTACKS = ("slow_headers", "slow_body", "slow_read", "idle_kept", "never_read")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(binary, port, root):
    folder = tempfile.mkdtemp(prefix="qn-slow-")
    exe = os.path.join(folder, "quillnest")
    shutil.copy(binary, exe)
    with open(os.path.join(folder, "quillnest.ini"), "w") as f:
        f.write("root=%s\nport=%d\n" % (root, port))
    proc = subprocess.Popen([exe], cwd=folder, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, folder
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError("the server did not start")


def probe(port):
    """Seconds until a complete answer to one request, or None."""
    begun = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=PROBE_LIMIT) as s:
            s.settimeout(PROBE_LIMIT)
            s.sendall(b"GET /index.html HTTP/1.1\r\nHost: probe\r\n\r\n")
            data = b""
            while b"</html>" not in data:
                left = PROBE_LIMIT - (time.monotonic() - begun)
                if left <= 0:
                    return None
                s.settimeout(left)
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
            if not data.startswith(b"HTTP/1.1 200") or b"</html>" not in data:
                return None
    except OSError:
        return None
    return time.monotonic() - begun


class Holders:
    """64 connections held open for the idle and never-read attacks; one that
    the server closes is opened again at once, so the attacker always tries
    to hold every slot."""

    ESTABLISHED = 1

    def __init__(self, port, request, read_answer, count=64):
        self.port = port
        self.request = request
        self.read_answer = read_answer
        self.stopping = threading.Event()
        self.sockets = [self.open() for _ in range(count)]
        self.thread = threading.Thread(target=self.keep)
        self.thread.start()

    def open(self):
        try:
            s = socket.socket()
            if not self.read_answer:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.settimeout(5)
            s.connect(("127.0.0.1", self.port))
            s.sendall(self.request)
            if self.read_answer:
                data = b""
                while b"</html>" not in data:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            return s
        except OSError:
            return None

    def keep(self):
        while not self.stopping.wait(0.1):
            for i, s in enumerate(self.sockets):
                alive = False
                if s is not None:
                    try:
                        alive = s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] == self.ESTABLISHED
                    except OSError:
                        pass
                if not alive:
                    if s is not None:
                        s.close()
                    self.sockets[i] = self.open()

    def stop(self):
        self.stopping.set()
        self.thread.join()
        for s in self.sockets:
            if s is not None:
                s.close()


def start_attack(name, port):
    url = "http://127.0.0.1:%d/index.html" % port
    common = ["-c", "200", "-r", "50", "-l", "3600", "-p", "3"]
    if name == "slow_headers":
        return subprocess.Popen(["slowhttptest", "-H", "-i", "10", "-x", "24", "-u", url] + common,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if name == "slow_body":
        return subprocess.Popen(["slowhttptest", "-B", "-i", "10", "-x", "10", "-s", "8192", "-u", url]
                                + common, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if name == "slow_read":
        big = "http://127.0.0.1:%d/big.jpg" % port
        return subprocess.Popen(["slowhttptest", "-X", "-w", "512", "-y", "1024", "-n", "5", "-z", "32",
                                 "-k", "3", "-u", big] + common,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if name == "idle_kept":
        return Holders(port, b"GET /index.html HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", True)
    if name == "never_read":
        return Holders(port, b"GET /big.jpg HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n", False)
    raise ValueError(name)


def stop_attack(attack):
    if isinstance(attack, Holders):
        attack.stop()
        return
    attack.send_signal(signal.SIGINT)
    try:
        attack.wait(10)
    except subprocess.TimeoutExpired:
        attack.kill()
        attack.wait()


def run(binary, name, seconds, root):
    port = free_port()
    proc, folder = start_server(binary, port, root)
    results = []
    try:
        attack = start_attack(name, port)
        begun = time.monotonic()
        threads = []
        lock = threading.Lock()

        def one(at):
            latency = probe(port)
            with lock:
                results.append((at, latency))

        at = 0.0
        while at < seconds:
            wait = begun + at - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            t = threading.Thread(target=one, args=(at,))
            t.start()
            threads.append(t)
            at += PROBE_INTERVAL
        for t in threads:
            t.join()
        stop_attack(attack)
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(folder, ignore_errors=True)
    counted = sorted(r for r in results if r[0] >= COUNT_FROM)
    good = sum(1 for _, latency in counted if latency is not None and latency <= ANSWERED_WITHIN)
    share = 100.0 * good / len(counted) if counted else 0.0
    shown = " ".join("-" if latency is None else "%.2f" % latency for _, latency in counted)
    print("%-13s probes=%d within_2s=%d share=%.0f%% latencies_s=[%s]" % (name, len(counted), good, share, shown),
          flush=True)


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        sys.exit(2)
    binary = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    names = sys.argv[3:] or list(ATTACKS)
    root = tempfile.mkdtemp(prefix="qn-slow-www-")
    os.chmod(root, 0o755)
    try:
        with open(os.path.join(root, "index.html"), "w") as f:
            f.write("<!DOCTYPE html><html><head><title>probe</title></head><body>" + "x" * 900 + "</body></html>")
        with open(os.path.join(root, "big.jpg"), "wb") as f:
            f.write(os.urandom(4 * 1024 * 1024))
        print("binary=%s seconds_per_attack=%g" % (binary, seconds), flush=True)
        for name in names:
            run(binary, name, seconds, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
