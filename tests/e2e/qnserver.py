"""Starts the real quillnest binary from a temporary folder and talks to it.

Every test gets its own folder holding a copy of the executable and, when the
test gives one, its settings file; the server listens on a free loopback port.
"""
import fcntl
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import time

BINARY = os.environ.get("QN_BINARY", "")
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TEMPLATE = os.path.join(ROOT, "src", "assets", "files", "quillnest.ini")
SANITIZER_MARKS = ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                   "runtime error:")


def free_port():
    """A TCP port nobody listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def settings(port, root=None, extra=""):
    """A UTF-8 settings file for a test: the port, a document root, more lines."""
    text = "port=%d\r\n" % port
    if root:
        text = "root=%s\r\n" % root + text
    return (text + extra).encode("utf-8")


def _controlling_terminal():
    """Makes standard input the controlling terminal of a new session."""
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Server:
    """One server process in a folder of its own.

    ini: bytes of the settings file beside the executable, or None for none.
    name: the executable's file name; args: its command line after argv[0].
    """

    def __init__(self, ini=None, name="quillnest", args=(), port=None, stdin=None,
                 terminal=False):
        if not BINARY:
            raise RuntimeError("QN_BINARY is not set")
        self.dir = tempfile.mkdtemp(prefix="qn-e2e-")
        self.exe = os.path.join(self.dir, name)
        shutil.copy(BINARY, self.exe)
        self.port = port if port is not None else free_port()
        if ini is not None:
            base = os.path.splitext(self.exe)[0]
            with open(base + ".ini", "wb") as f:
                f.write(ini)
        self.out_path = os.path.join(self.dir, "stdout.txt")
        self.err_path = os.path.join(self.dir, "stderr.txt")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(
            [self.exe, *args], cwd=self.dir, stdout=self._out, stderr=self._err,
            stdin=stdin if stdin is not None else subprocess.DEVNULL,
            preexec_fn=_controlling_terminal if terminal else None)

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def errors(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_output(self, text, timeout=10.0):
        """Waits until stdout holds text; False when the time runs out."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.output():
                return True
            if self.proc.poll() is not None:
                return text in self.output()
            time.sleep(0.02)
        return False

    def wait_listening(self, timeout=10.0):
        if not self.wait_output("waiting for client connection", timeout):
            raise AssertionError("server did not start:\n" + self.output() + self.errors())

    def connect(self, timeout=5.0):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, timeout=10.0):
        """SIGTERM, then the exit code (SIGKILL and AssertionError after timeout)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("server did not stop within %.1f s" % timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._out.close()
        self._err.close()
        # A sanitizer build reports what it found on standard error; a report
        # fails the test that ran the server.
        errors = self.errors()
        shutil.rmtree(self.dir, ignore_errors=True)
        for mark in SANITIZER_MARKS:
            if mark in errors:
                raise AssertionError("the server's sanitizer reported:\n" + errors[:20000])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def recv_all(s, limit=1 << 26):
    """Reads until the peer closes; returns (bytes, how it ended)."""
    chunks = []
    total = 0
    try:
        while total < limit:
            b = s.recv(65536)
            if not b:
                return b"".join(chunks), "closed"
            chunks.append(b)
            total += len(b)
    except ConnectionResetError:
        return b"".join(chunks), "reset"
    except socket.timeout:
        return b"".join(chunks), "timeout"
    return b"".join(chunks), "limit"


CLIENT_HELLO = bytes.fromhex(
    "16030100c4010000c00303") + bytes(32) + bytes.fromhex("000002c02f0100009500000000")
