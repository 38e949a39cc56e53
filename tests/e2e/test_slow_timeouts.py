"""The connection's long time limits; labelled slow."""
import os
import shutil
import socket
import tempfile
import time
import unittest

from qnserver import Server, free_port, recv_all, settings

TCP_ESTABLISHED = 1


def tcp_state(s):
    """The kernel's TCP state of a socket (1 while established)."""
    return s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0]


def wait_until_not_established(s, limit):
    """Seconds until the connection leaves the established state, None within limit."""
    begun = time.monotonic()
    while time.monotonic() - begun < limit:
        if tcp_state(s) != TCP_ESTABLISHED:
            return time.monotonic() - begun
        time.sleep(0.1)
    return None


class Timeouts(unittest.TestCase):
    def test_silent_connection_is_reset_after_about_16_seconds(self):
        port = free_port()
        with Server(ini=settings(port), port=port) as srv:
            srv.wait_listening()
            with srv.connect(timeout=30) as s:
                started = time.monotonic()
                data, how = recv_all(s)
                elapsed = time.monotonic() - started
            self.assertEqual((data, how), (b"", "reset"))
            self.assertGreater(elapsed, 15.5)
            self.assertLess(elapsed, 18.0)
            self.assertEqual(srv.stop(), 0)

    def test_trickling_request_is_reset_after_its_30_second_deadline(self):
        port = free_port()
        with Server(ini=settings(port), port=port) as srv:
            srv.wait_listening()
            with srv.connect(timeout=60) as s:
                started = time.monotonic()
                piece = b"GET / HTTP/1.1\r\nX: " + b"a" * 100
                how = None
                for b in piece:
                    try:
                        s.sendall(bytes([b]))
                    except (BrokenPipeError, ConnectionResetError):
                        how = "reset"
                        break
                    time.sleep(0.5)
                    if time.monotonic() - started > 45:
                        break
                if how is None:
                    _, how = recv_all(s)
                elapsed = time.monotonic() - started
            self.assertEqual(how, "reset")
            self.assertGreater(elapsed, 29.0)
            self.assertLess(elapsed, 35.0)
            self.assertEqual(srv.stop(), 0)

    def test_a_byte_every_ten_seconds_is_reset_at_thirty_not_at_the_next_byte(self):
        port = free_port()
        with Server(ini=settings(port), port=port) as srv:
            srv.wait_listening()
            with srv.connect(timeout=60) as s:
                started = time.monotonic()
                s.sendall(b"G")
                elapsed = None
                for b in b"ET / HTTP/1.1\r\n":
                    # Bytes at 10, 20, 30 s...: only a limit that fires on its
                    # own ends the request at 30 s rather than at 40 s.
                    gone = wait_until_not_established(s, 10.0)
                    if gone is not None:
                        elapsed = time.monotonic() - started
                        break
                    try:
                        s.sendall(bytes([b]))
                    except OSError:
                        elapsed = time.monotonic() - started
                        break
            self.assertIsNotNone(elapsed)
            self.assertGreater(elapsed, 29.0)
            self.assertLess(elapsed, 32.0)
            self.assertEqual(srv.stop(), 0)

    def test_a_body_gets_thirty_seconds_plus_one_per_16_kib(self):
        port = free_port()
        with Server(ini=settings(port), port=port) as srv:
            srv.wait_listening()
            # 163840 bytes: ten units of 16 KiB, so 40 s in all.
            with srv.connect(timeout=60) as s:
                started = time.monotonic()
                s.sendall(b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 163840\r\n\r\n")
                elapsed = None
                while time.monotonic() - started < 55:
                    try:
                        s.sendall(b"b" * 100)
                    except OSError:
                        elapsed = time.monotonic() - started
                        break
                    gone = wait_until_not_established(s, 2.0)
                    if gone is not None:
                        elapsed = time.monotonic() - started
                        break
            self.assertIsNotNone(elapsed)
            self.assertGreater(elapsed, 39.0)
            self.assertLess(elapsed, 43.0)
            # The same body at an ordinary pace is echoed whole.
            with srv.connect(timeout=30) as s:
                body = os.urandom(163840)
                s.sendall(b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 163840\r\n\r\n")
                for i in range(0, len(body), 16384):
                    s.sendall(body[i:i + 16384])
                    time.sleep(0.5)
                data, how = recv_all(s)
            self.assertTrue(data.endswith(body))
            self.assertEqual(srv.stop(), 0)

    def test_a_client_that_never_reads_is_reset_when_a_packet_has_not_left_in_60_seconds(self):
        root = tempfile.mkdtemp(prefix="qn-never-")
        try:
            with open(os.path.join(root, "big.txt"), "wb") as f:
                f.write(b"x" * (64 << 20))
            port = free_port()
            with Server(ini=settings(port, root), port=port) as srv:
                srv.wait_listening()
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.connect(("127.0.0.1", port))
                s.sendall(b"GET /big.txt HTTP/1.1\r\nHost: x\r\n\r\n")
                started = time.monotonic()
                gone = wait_until_not_established(s, 80.0)
                s.close()
                self.assertIsNotNone(gone, "a client that never reads held its slot")
                self.assertGreater(gone, 59.0)
                self.assertLess(gone, 64.0)
                self.assertEqual(srv.stop(), 0)
        finally:
            shutil.rmtree(root)

    def test_the_request_limit_resets_even_while_an_answer_is_leaving(self):
        root = tempfile.mkdtemp(prefix="qn-leaving-")
        try:
            content = os.urandom(2 << 20)
            with open(os.path.join(root, "big.txt"), "wb") as f:
                f.write(content)
            port = free_port()
            with Server(ini=settings(port, root), port=port) as srv:
                srv.wait_listening()
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
                s.connect(("127.0.0.1", port))
                # The answer and a request that never completes behind it.
                s.sendall(b"GET /big.txt HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\nGET / HTTP/1.1\r\n")
                data = b""
                how = "closed"
                started = time.monotonic()
                try:
                    while True:
                        # 2 KiB every 100 ms: the answer is still leaving at 30 s.
                        chunk = s.recv(2048)
                        if not chunk:
                            break
                        data += chunk
                        time.sleep(0.1)
                        if time.monotonic() - started > 150:
                            how = "limit"
                            break
                except ConnectionResetError:
                    how = "reset"
                elapsed = time.monotonic() - started
                s.close()
                # The incomplete request's time runs from when its turn came,
                # once the last packet of the answer was handed over; that
                # packet is still leaving when the limit ends the connection.
                self.assertEqual(how, "reset")
                self.assertGreater(elapsed, 30.0)
                body = data.split(b"\r\n\r\n", 1)[1]
                self.assertLess(len(body), len(content))
                self.assertTrue(content.startswith(body), "the answer is not a clean prefix of the file")
                self.assertEqual(srv.stop(), 0)
        finally:
            shutil.rmtree(root)

    def test_idle_kept_connection_is_reset_after_about_315_seconds(self):
        port = free_port()
        with Server(ini=settings(port), port=port) as srv:
            srv.wait_listening()
            with srv.connect(timeout=400) as s:
                s.sendall(b"GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n")
                answer = b""
                while b"\r\n\r\n" not in answer:
                    answer += s.recv(65536)
                started = time.monotonic()
                _, how = recv_all(s)
                elapsed = time.monotonic() - started
            self.assertIn(b"404 Not Found", answer)
            self.assertEqual(how, "reset")
            self.assertGreater(elapsed, 310.0)
            self.assertLess(elapsed, 322.0)
            self.assertEqual(srv.stop(), 0)


if __name__ == "__main__":
    unittest.main()
