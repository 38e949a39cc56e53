"""Start-up, settings file, listener and shutdown of the real binary."""
import os
import pty
import signal
import socket
import subprocess
import time
import unittest

from qnserver import CLIENT_HELLO, TEMPLATE, Server, free_port, recv_all, settings

BANNER = "HTTP  max connections: 64\n:: quillnest :: waiting for client connection...\n\n"


def template_bytes():
    with open(TEMPLATE, "rb") as f:
        return f.read()


class SettingsFile(unittest.TestCase):
    def test_first_start_writes_the_template(self):
        with Server() as srv:
            ini = os.path.join(srv.dir, "quillnest.ini")
            self.assertTrue(srv.wait_output(":: bind(0.0.0.0:80)  "), srv.output())
            with open(ini, "rb") as f:
                self.assertEqual(f.read(), template_bytes())
            self.assertEqual(srv.stop(), 0)

    def test_service_name_with_port_names_the_file_and_sets_the_port(self):
        port = free_port()
        with Server(args=["-d:web__%d:" % port], port=port) as srv:
            srv.wait_listening()
            self.assertIn(":: bind(0.0.0.0:%d)  %s" % (port, BANNER), srv.output())
            with open(os.path.join(srv.dir, "web.ini"), "rb") as f:
                written = f.read()
            expected = template_bytes().replace("port=80\r\n".encode("utf-16-le"),
                                                ("port=%d\r\n" % port).encode("utf-16-le"))
            self.assertEqual(written, expected)
            with srv.connect():
                pass
            self.assertEqual(srv.stop(), 0)

    def test_existing_settings_file_is_never_overwritten(self):
        port = free_port()
        ini = settings(port, extra="# mine\r\n")
        with Server(ini=ini, port=port) as srv:
            srv.wait_listening()
            srv.signal(signal.SIGHUP)
            time.sleep(0.3)
            self.assertEqual(srv.stop(), 0)
            with open(os.path.join(srv.dir, "quillnest.ini"), "rb") as f:
                self.assertEqual(f.read(), ini)

    def test_sighup_rereads_the_settings(self):
        port = free_port()
        with Server(ini=settings(port), port=port) as srv:
            srv.wait_listening()
            self.assertNotIn("too long", srv.output())
            with open(os.path.join(srv.dir, "quillnest.ini"), "ab") as f:
                f.write(b"tls_cer=" + b"c" * 70000 + b"\r\n")
            srv.signal(signal.SIGHUP)
            self.assertTrue(srv.wait_output("g_tls_t::cer too long\n", 5), srv.output())
            self.assertEqual(srv.stop(), 0)

    def test_bad_settings_files_never_stop_the_server(self):
        port = free_port()
        cases = {
            "empty": b"",
            "one byte": b"p",
            "odd utf-16": b"\xff\xfe" + "port=%d\r\n".encode("utf-16-le") + b"\x00",
            "utf-16 be": b"\xfe\xff" + ("port=%d\r\n" % port).encode("utf-16-be"),
            "binary": bytes(range(256)) * 64,
            "long line": b"root=" + b"x" * 300000 + b"\r\nport=%d\r\n" % port,
            "braces": b"{\r\n}\r\n{\r\n" * 1000,
            "unclosed blocks": b"vdir=\r\n{\r\na|b\r\nhost=\r\n{\r\nheaders=\r\n{\r\n",
            "invalid utf-8": b"port=%d\r\n\xc0\x80\xed\xa0\x80\xf8\xff=\xfe\r\n" % port,
        }
        for name, ini in cases.items():
            with self.subTest(name):
                with Server(ini=ini, port=port) as srv:
                    self.assertTrue(srv.wait_output("max connections: 64", 10),
                                    srv.output() + srv.errors())
                    self.assertEqual(srv.stop(), 0)


class Listener(unittest.TestCase):
    def test_port_in_use_prints_the_bind_error_and_exits_0(self):
        with socket.socket() as blocker:
            blocker.bind(("0.0.0.0", 0))
            blocker.listen(1)
            port = blocker.getsockname()[1]
            with Server(ini=settings(port), port=port) as srv:
                self.assertEqual(srv.proc.wait(10), 0)
                self.assertIn(":: bind(0.0.0.0:%d)  \nbind(so, (sockaddr *) &addr_local, "
                              "sizeof(addr_local))\n   ^ERROR: 98, " % port, srv.output())
                self.assertNotIn("max connections", srv.output())

    def test_client_hello_is_closed_without_a_byte(self):
        port = free_port()
        with Server(ini=settings(port), port=port) as srv:
            srv.wait_listening()
            with srv.connect() as s:
                s.sendall(CLIENT_HELLO)
                data, how = recv_all(s)
            self.assertEqual(data, b"")
            self.assertIn(how, ("closed", "reset"))
            self.assertEqual(srv.stop(), 0)

    def test_sigterm_with_open_connections_stops_within_a_second(self):
        port = free_port()
        with Server(ini=settings(port), port=port) as srv:
            srv.wait_listening()
            clients = [srv.connect() for _ in range(3)]
            clients[0].sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n")
            clients[1].sendall(b"GET / HTTP/1.1\r\nHo")
            time.sleep(0.3)
            started = time.monotonic()
            self.assertEqual(srv.stop(timeout=5), 0)
            self.assertLess(time.monotonic() - started, 1.0)
            self.assertIn("stopping...\n\n", srv.output())
            for c in clients:
                c.close()

    def test_sigint_and_sigquit_stop_like_sigterm(self):
        for sig in (signal.SIGINT, signal.SIGQUIT):
            port = free_port()
            with self.subTest(sig=sig), Server(ini=settings(port), port=port) as srv:
                srv.wait_listening()
                srv.signal(sig)
                self.assertEqual(srv.proc.wait(5), 0)
                self.assertIn("stopping...\n\n", srv.output())

    def test_command_lines_of_any_shape(self):
        port = free_port()
        ini = settings(port)
        serving = [[], ["x", "y"], ["-d"], ["a" * 100000], ["-d:%s:" % ("n" * 300)], ["-d:"],
                   ["\xe9\u20ac"], ["-d:abc"]]
        ending = [["-dx"], ["-dh"], ["-d", "help"], ["-d", "Start"], ["-d", "-stop"], ["-d?"],
                  ["-d:name:pt"]]
        for args in serving:
            with self.subTest(args=[a[:20] for a in args]):
                with Server(ini=ini, args=args, port=port) as srv:
                    self.assertTrue(srv.wait_output("max connections: 64", 10),
                                    srv.output() + srv.errors())
                    self.assertEqual(srv.stop(), 0)
        for args in ending:
            with self.subTest(args=args):
                with Server(ini=ini, args=args, port=port) as srv:
                    self.assertEqual(srv.proc.wait(10), 0)
                    self.assertNotIn("max connections", srv.output())
                    self.assertFalse(os.path.exists(os.path.join(srv.dir, "x.ini")))


class Terminal(unittest.TestCase):
    def run_on_terminal(self, keys):
        port = free_port()
        master, slave = pty.openpty()
        with Server(ini=settings(port), port=port, stdin=slave, terminal=True) as srv:
            os.close(slave)
            srv.wait_listening()
            for k in keys:
                os.write(master, k)
                time.sleep(0.2)
            try:
                code = srv.proc.wait(3)
            except subprocess.TimeoutExpired:
                code = None
            out = srv.output()
            srv.stop()
        os.close(master)
        return code, out

    def test_q_stops_a_terminal_run(self):
        for key in (b"q", b"Q", b"\x1b"):
            with self.subTest(key=key):
                code, out = self.run_on_terminal([key])
                self.assertEqual(code, 0)
                self.assertIn("stopping...\n\n", out)

    def test_other_keys_and_escape_sequences_are_ignored(self):
        code, out = self.run_on_terminal([b"a", b"\x1b[A", b"x\n"])
        self.assertIsNone(code)
        self.assertNotIn("stopping", out)


if __name__ == "__main__":
    unittest.main()
