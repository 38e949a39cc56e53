"""Requests flow through the real parser in the receive loop: keep-alive,
pipelining, split requests and the limits decide whether a connection stays.

What these tests look at is whether the server keeps the connection open or
closes it, and how; the answers themselves are checked in test_pages.
"""
import socket
import time
import unittest

from qnserver import Server, free_port, settings

KEEP = b"GET /a HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n"
CLOSE = b"GET /b HTTP/1.1\r\nHost: x\r\n\r\n"


def still_open(s, wait=0.4):
    """True when the server neither closed nor reset the connection within wait;
    the answers it sends meanwhile are read and passed over."""
    s.settimeout(wait)
    try:
        while s.recv(65536):
            pass
        return False
    except socket.timeout:
        return True
    except ConnectionResetError:
        return False


class RequestFlow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        port = free_port()
        cls.srv = Server(ini=settings(port), port=port)
        cls.srv.wait_listening()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.close()

    def outcome(self, *pieces, pause=0.05):
        """Sends the pieces one after another; 'open', or 'ended' when the server
        closed or reset the connection (a close with unread bytes is a reset)."""
        with self.srv.connect() as s:
            for p in pieces:
                try:
                    s.sendall(p)
                except (BrokenPipeError, ConnectionResetError):
                    return "ended"
                time.sleep(pause)
            return "open" if still_open(s) else "ended"

    def test_connection_fate_by_request(self):
        cases = [
            ("keep-alive request", [KEEP], "open"),
            ("no keep-alive token", [CLOSE], "ended"),
            ("keep-alive token in another case", [KEEP.replace(b"keep-alive", b"Keep-Alive")], "open"),
            ("http/1.0 with keep-alive", [b"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"], "open"),
            ("http/1.0 plain", [b"GET / HTTP/1.0\r\n\r\n"], "ended"),
            ("request without a version", [b"GET /readme.txt\r\n"], "ended"),
            ("pipelined keep-alive then close", [KEEP + KEEP + CLOSE], "ended"),
            ("pipelined keep-alive only", [KEEP + KEEP + KEEP], "open"),
            ("split into single bytes", [bytes([b]) for b in CLOSE], "ended"),
            ("terminator split across receives", [CLOSE[:-3], CLOSE[-3:-1], CLOSE[-1:]], "ended"),
            ("split keep-alive", [KEEP[:7], KEEP[7:30], KEEP[30:]], "open"),
            ("incomplete request waits", [KEEP[:-2]], "open"),
            ("header line without colon ends the connection", [b"GET / HTTP/1.1\r\nHost: x\r\nbad\r\n\r\n"], "ended"),
            ("post body still to come", [b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc"], "open"),
            ("post then close", [b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"], "ended"),
            ("post keep-alive then pipelined close",
             [b"POST / HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\nabc" + CLOSE],
             "ended"),
            ("request line of 8192 bytes", [b"GET /" + b"a" * 8192], "ended"),
            ("header block of 9000 bytes", [b"GET / HTTP/1.1\r\nX: " + b"a" * 9000], "ended"),
            ("bad method byte", [b"get / HTTP/1.1\r\n\r\n"], "ended"),
            ("refused method", [b"PUT / HTTP/1.1\r\nHost: x\r\n\r\n"], "ended"),
        ]
        for name, pieces, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.outcome(*pieces), expected)

    def test_server_keeps_serving_after_hostile_input(self):
        hostile = [bytes(range(256)) * 40, b"\r\n" * 5000, b"GET " + b"/" * 70000,
                   b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999\r\n\r\n",
                   b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n",
                   b"GET / HTTP/1.1\r\n" + b"X: y\r\n" * 3000]
        for data in hostile:
            with self.srv.connect() as s:
                try:
                    s.sendall(data)
                except (BrokenPipeError, ConnectionResetError):
                    pass
        self.assertEqual(self.outcome(KEEP), "open")
        self.assertIsNone(self.srv.proc.poll())


if __name__ == "__main__":
    unittest.main()
