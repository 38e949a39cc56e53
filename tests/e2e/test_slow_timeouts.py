"""The receive loop's long time limits; labelled slow."""
import time
import unittest

from qnserver import Server, free_port, recv_all, settings


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
