"""The connection engine under clients that misbehave: no client holds the
server, and no byte of one answer ever reaches another connection."""
import hashlib
import os
import signal
import socket
import threading
import time
import unittest

from qnserver import Server, free_port, recv_all, settings

FILE_SIZE = 1 << 20


def file_bytes(i):
    """The content of file i: its own tag repeated, so any stray piece names its source."""
    tag = b"<file %02d>" % i
    return (tag * (FILE_SIZE // len(tag) + 1))[:FILE_SIZE]


class Stray(Exception):
    """Bytes that are not an answer arrived where an answer must begin."""


def read_answer(s, limit=10.0):
    """Status line and body of one answer with Content-Length; (None, partial body) when it ends early.
    Raises Stray when the bytes do not begin with a status line."""
    s.settimeout(limit)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                return None, b""
            data += chunk
            if len(data) >= 9 and not data.startswith(b"HTTP/1.1 "):
                raise Stray(data[:40])
        head, body = data.split(b"\r\n\r\n", 1)
        if not head.startswith(b"HTTP/1.1 "):
            raise Stray(data[:40])
        length = None
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.lower() == b"content-length":
                length = int(value)
        if length is None:
            return None, body
        while len(body) < length:
            chunk = s.recv(min(65536, length - len(body)))
            if not chunk:
                return None, body
            body += chunk
        return head.split(b"\r\n")[0], body
    except (ConnectionResetError, socket.timeout, BrokenPipeError):
        return None, b""


def get(path, keep=True):
    return ("GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (path, "Connection: keep-alive\r\n" if keep else "")).encode()


class Engine(unittest.TestCase):
    def setUp(self):
        self.root = os.path.join(os.environ.get("TMPDIR", "/tmp"), "qn-engine-%d" % os.getpid())
        os.makedirs(self.root, exist_ok=True)
        for i in range(64):
            with open(os.path.join(self.root, "f%02d.txt" % i), "wb") as f:
                f.write(file_bytes(i))
        with open(os.path.join(self.root, "index.html"), "wb") as f:
            f.write(b"<html>hello</html>")
        with open(os.path.join(self.root, "big.txt"), "wb") as f:
            f.write(b"0123456789abcdef" * (4 << 20))  # 64 MiB: more than any socket buffer holds
        self.port = free_port()
        self.srv = Server(ini=settings(self.port, self.root), port=self.port)
        self.srv.wait_listening()

    def tearDown(self):
        self.srv.close()
        for name in os.listdir(self.root):
            os.unlink(os.path.join(self.root, name))
        os.rmdir(self.root)

    def probe_soon(self, within=5.0):
        """A probe that may have to wait for a signal to take effect."""
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            latency = self.probe()
            if latency is not None:
                return latency
            time.sleep(0.1)
        return None

    def probe(self, limit=5.0):
        """Seconds until a new client's request is answered, None when it is not within limit."""
        begun = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=limit) as s:
                s.sendall(get("/index.html", keep=False))
                status, body = read_answer(s, limit)
        except OSError:
            return None
        if status is None or b"200" not in status or body != b"<html>hello</html>":
            return None
        return time.monotonic() - begun

    def test_idle_kept_connections_make_room_for_a_new_client_the_longest_idle_first(self):
        kept = []
        for _ in range(64):
            s = self.srv.connect()
            s.sendall(get("/index.html"))
            status, _ = read_answer(s)
            self.assertIn(b"200", status)
            kept.append(s)
            time.sleep(0.005)
        latency = self.probe()
        self.assertIsNotNone(latency, "64 idle kept connections locked a new client out")
        self.assertLess(latency, 5.0)
        # The connection idle longest was closed cleanly; the newest still works.
        kept[0].settimeout(2)
        self.assertEqual(kept[0].recv(1), b"")
        kept[-1].sendall(get("/index.html"))
        status, body = read_answer(kept[-1])
        self.assertIn(b"200", status)
        for s in kept:
            s.close()

    def test_clients_that_never_read_do_not_hold_the_server(self):
        holders = []
        for _ in range(64):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", self.port))
            s.sendall(get("/big.txt"))
            holders.append(s)
        time.sleep(1.5)
        for _ in range(3):
            latency = self.probe()
            self.assertIsNotNone(latency, "clients that never read locked a new client out")
        for s in holders:
            s.close()

    def test_a_reader_at_64_kib_per_second_is_never_taken_for_a_crawler(self):
        size = 2 << 20
        with open(os.path.join(self.root, "steady.txt"), "wb") as f:
            f.write(b"s" * size)
        holders = []
        for _ in range(63):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", self.port))
            s.sendall(get("/big.txt"))
            holders.append(s)
        result = {}

        def steady():
            with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
                s.sendall(get("/steady.txt", keep=False))
                got = 0
                begun = time.monotonic()
                try:
                    while True:
                        # 8 KiB every 100 ms: 80 KiB/s.
                        chunk = s.recv(8192)
                        if not chunk:
                            break
                        got += len(chunk)
                        time.sleep(max(0.0, begun + got / 81920.0 - time.monotonic()))
                    result["how"] = "closed"
                except ConnectionResetError:
                    result["how"] = "reset"
                result["got"] = got

        reader = threading.Thread(target=steady)
        reader.start()
        # New clients keep the server under pressure meanwhile.
        answered = 0
        deadline = time.monotonic() + 8
        while time.monotonic() < deadline:
            if self.probe() is not None:
                answered += 1
            time.sleep(0.3)
        for s in holders:
            s.close()
        reader.join(60)
        self.assertGreater(answered, 10)
        self.assertEqual(result.get("how"), "closed")
        self.assertGreater(result.get("got", 0), size)

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.srv.proc.pid))

    def test_no_byte_of_one_answer_reaches_another_connection(self):
        before = self.descriptors()
        stop = threading.Event()
        failures = []
        complete = [0] * 64

        def fetch(i):
            expected = file_bytes(i)
            while not stop.is_set():
                try:
                    with socket.socket() as s:
                        # A small window keeps sends waiting, so that answers are
                        # in flight whenever a connection is ended around them.
                        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
                        s.settimeout(10)
                        s.connect(("127.0.0.1", self.port))
                        for _ in range(3):
                            s.sendall(get("/f%02d.txt" % i))
                            try:
                                status, body = read_answer(s)
                            except Stray as stray:
                                failures.append("client %d: %r where an answer begins" % (i, stray.args[0]))
                                return
                            if not expected.startswith(body):
                                failures.append("client %d got bytes of another answer" % i)
                                return
                            if status is None:
                                break
                            complete[i] += 1
                except OSError:
                    time.sleep(0.01)

        def vanish():
            # Clients that send part of a request, or a request, and go away.
            n = 0
            while not stop.is_set():
                try:
                    with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                        s.sendall(get("/f%02d.txt" % (n % 64))[: 5 + n % 30])
                except OSError:
                    pass
                n += 1

        threads = [threading.Thread(target=fetch, args=(i,)) for i in range(64)]
        threads += [threading.Thread(target=vanish) for _ in range(4)]
        for t in threads:
            t.start()
        for _ in range(12):
            time.sleep(0.4)
            self.srv.signal(signal.SIGUSR1)
            time.sleep(0.1)
            self.srv.signal(signal.SIGUSR2)
        time.sleep(1.0)
        stop.set()
        for t in threads:
            t.join(30)
        self.assertEqual(failures, [])
        self.assertGreater(sum(complete), 64)
        # The server still answers, and every connection's descriptor was given back.
        self.assertIsNotNone(self.probe_soon())
        for _ in range(100):
            if self.descriptors() == before:
                break
            time.sleep(0.1)
        self.assertEqual(self.descriptors(), before)
        self.assertEqual(self.srv.stop(), 0)

    def test_pause_lets_the_answer_in_flight_finish_before_the_connection_closes(self):
        content = b"".join(file_bytes(i) for i in range(4))
        with open(os.path.join(self.root, "pause.txt"), "wb") as f:
            f.write(content)
        with self.srv.connect(timeout=10) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
            s.sendall(get("/pause.txt"))
            head = b""
            while b"\r\n\r\n" not in head:
                head += s.recv(1)
            self.assertIn(b"200 OK", head)
            # Paused while the answer is still leaving: it must leave whole.
            self.srv.signal(signal.SIGUSR1)
            body = b""
            how = "closed"
            try:
                while True:
                    chunk = s.recv(16384)
                    if not chunk:
                        break
                    body += chunk
                    time.sleep(0.003)
            except ConnectionResetError:
                how = "reset"
            self.assertEqual(how, "closed")
            self.assertEqual(len(body), len(content))
            self.assertTrue(body == content, "the answer was cut or mixed")
        self.srv.signal(signal.SIGUSR2)
        self.assertIsNotNone(self.probe_soon())


if __name__ == "__main__":
    unittest.main()
