"""The fixed answers of the real binary: error pages, the built-in URL space
(assets, greeting, POST echo) and the redirect of a virtual directory named
without its "/".
"""
import os
import shutil
import socket
import tempfile
import threading
import time
import unittest

from qnserver import ROOT, Server, free_port, recv_all, settings

SHORT_400 = (b"HTTP/1.1 400 Bad Request\r\nServer: quillnestweb\r\nContent-Type: text/plain\r\n"
             b"Connection: close\r\nContent-Length: 41\r\n\r\n"
             b"quillnest web server\r\n\r\n400 Bad Request\r\n")
SHORT_405 = (b"HTTP/1.1 405 Method Not Allowed\r\nServer: quillnestweb\r\nContent-Type: text/plain\r\n"
             b"Connection: close\r\nContent-Length: 48\r\n\r\n"
             b"quillnest web server\r\n\r\n405 Method Not Allowed\r\n")
SHORT_411 = (b"HTTP/1.1 411 Length Required\r\nServer: quillnestweb\r\nContent-Type: text/plain\r\n"
             b"Connection: close\r\nContent-Length: 45\r\n\r\n"
             b"quillnest web server\r\n\r\n411 Length Required\r\n")

# The HTML page around a message: the head has 1663 bytes, the tail 624.
PAGE_HEAD_LENGTH = 1663
PAGE_TAIL_LENGTH = 624
BANNER = b'<b id="g" class="qn_quillnest">quill<span class="qn_nest">nest</span></b> web server'


def split_answer(data):
    """(status line, {lower-case name: value}, rest after the header block)."""
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(b": ")
        fields[name.decode().lower()] = value.decode()
    return lines[0].decode(), fields, rest


def read_answer(s):
    """Reads one answer with a Content-Length body; (status, fields, body)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            raise AssertionError("connection ended inside a header block: %r" % data)
        data += chunk
    status, fields, rest = split_answer(data)
    length = int(fields["content-length"])
    while len(rest) < length:
        chunk = s.recv(65536)
        if not chunk:
            break
        rest += chunk
    return status, fields, rest


def pattern(n):
    return bytes((i * 7 + i // 251) % 26 + 97 for i in range(n))


class Pages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="qn-root-")
        media = os.path.join(cls.root, "media-target")
        os.mkdir(media)
        port = free_port()
        vdir = "vdir=\r\n{\r\nmedia|%s\r\n}\r\n" % media
        cls.srv = Server(ini=settings(port, root=cls.root, extra=vdir), port=port)
        cls.srv.wait_listening()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.close()
        shutil.rmtree(cls.root, ignore_errors=True)

    def exchange(self, request):
        """Sends request, reads until the server ends the connection."""
        with self.srv.connect() as s:
            s.sendall(request)
            return recv_all(s)

    def test_400_is_short_and_ends_with_a_reset(self):
        for request in [b"get / HTTP/1.1\r\nHost: x\r\n\r\n",
                        b"GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n",
                        b"GET nothing HTTP/1.1\r\nHost: x\r\n\r\n"]:
            with self.subTest(request):
                data, how = self.exchange(request)
                self.assertEqual(data, SHORT_400)
                self.assertEqual(how, "reset")

    def test_405_is_short_and_closes(self):
        for method in [b"DELETE /x", b"PUT /", b"OPTIONS *"]:
            with self.subTest(method):
                data, how = self.exchange(method + b" HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n")
                self.assertEqual(data, SHORT_405)
                self.assertEqual(how, "closed")

    def test_missing_file_gets_the_html_404(self):
        # HEAD, then GET on the same connection: the GET's answer begins right
        # behind the HEAD's header block, so the HEAD carried no body.
        with self.srv.connect() as s:
            s.sendall(b"HEAD /missing HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n"
                      b"GET /missing HTTP/1.1\r\nHost: x\r\n\r\n")
            data, how = recv_all(s)
        self.assertEqual(how, "closed")
        head_status, head_fields, rest = split_answer(data)
        self.assertEqual(head_status, "HTTP/1.1 404 Not Found")
        self.assertEqual(head_fields["content-type"], "text/html")
        self.assertEqual(head_fields["connection"], "keep-alive")
        self.assertTrue(rest.startswith(b"HTTP/1.1 404 Not Found\r\n"), rest[:60])
        get_status, get_fields, body = split_answer(rest)
        self.assertEqual(get_fields["connection"], "close")
        length = PAGE_HEAD_LENGTH + len(b"404 Not Found") + PAGE_TAIL_LENGTH
        self.assertEqual(int(head_fields["content-length"]), length)
        self.assertEqual(len(body), length)
        self.assertTrue(body.startswith(b"<html><head><title>quillnest</title><style>"))
        self.assertIn(BANNER, body)
        self.assertEqual(body[PAGE_HEAD_LENGTH:-PAGE_TAIL_LENGTH], b"404 Not Found")
        self.assertTrue(body.endswith(b"</script></body></html>"))

    def test_asset_then_not_modified(self):
        with open(os.path.join(ROOT, "src", "assets", "files", "theme.css"), "rb") as f:
            css = f.read()
        with self.srv.connect() as s:
            s.sendall(b"GET /quillnest/theme.css HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n")
            status, fields, body = read_answer(s)
            self.assertEqual(status, "HTTP/1.1 200 OK")
            self.assertTrue(fields["content-type"].startswith("text/css"))
            self.assertEqual(body, css)
            modified = fields["last-modified"]

            # The date comes back in another letter case; it still matches.
            s.sendall(b"GET /quillnest/theme.css HTTP/1.1\r\nHost: x\r\nIf-Modified-Since: "
                      + modified.upper().encode() + b"\r\n\r\n")
            data, how = recv_all(s)
        status, fields, body = split_answer(data)
        self.assertEqual(status, "HTTP/1.1 304 Not Modified")
        self.assertEqual(fields["content-length"], str(len(css)))
        self.assertEqual(fields["last-modified"], modified)
        self.assertEqual(body, b"")
        self.assertEqual(how, "closed")

    def test_greeting_for_other_builtin_paths(self):
        for target in [b"/quillnest/Theme.css", b"/quillnest/", b"/quillnest/nothing", b"/quillnestx"]:
            with self.subTest(target):
                data, how = self.exchange(b"GET " + target + b" HTTP/1.1\r\nHost: x\r\n\r\n")
                status, fields, body = split_answer(data)
                self.assertEqual(status, "HTTP/1.1 200 OK")
                self.assertEqual(fields["content-type"], "text/html")
                self.assertEqual(int(fields["content-length"]), len(body))
                self.assertEqual(body[PAGE_HEAD_LENGTH:-PAGE_TAIL_LENGTH], b"Enjoy the nest!")
                self.assertEqual(how, "closed")

    def test_post_is_echoed(self):
        data, how = self.exchange(b"POST /anything HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello")
        status, fields, body = split_answer(data)
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(fields["content-type"], "text/plain")
        self.assertEqual(fields["content-length"], "5")
        self.assertEqual(body, b"hello")

    def test_post_without_length_gets_411(self):
        for request in [b"POST /anything HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n",
                        b"POST /anything HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n"
                        b"Connection: keep-alive\r\n\r\n"]:
            with self.subTest(request):
                data, how = self.exchange(request)
                self.assertEqual(data, SHORT_411)
                self.assertEqual(how, "closed")

    def test_post_larger_than_the_receive_buffer_is_echoed_whole(self):
        size = 1000000
        body = pattern(size)
        received = []
        with self.srv.connect(timeout=30) as s:
            reader = threading.Thread(target=lambda: received.append(recv_all(s)))
            reader.start()
            s.sendall(b"POST /upload HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n"
                      b"Content-Length: %d\r\n\r\n" % size)
            # Slowly, in pieces: the echo relays each piece as it comes.
            for at in range(0, size, 50000):
                s.sendall(body[at:at + 50000])
                time.sleep(0.02)
            # The connection stays for a next request after the echo.
            s.sendall(b"GET /quillnest/ HTTP/1.1\r\nHost: x\r\n\r\n")
            reader.join(60)
        data, how = received[0]
        status, fields, rest = split_answer(data)
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(fields["content-length"], str(size))
        self.assertEqual(len(rest) >= size, True, len(rest))
        self.assertTrue(rest[:size] == body, "the echo differs from the body sent")
        self.assertTrue(rest[size:].startswith(b"HTTP/1.1 200 OK\r\n"), rest[size:size + 40])
        self.assertIn(b"Enjoy the nest!", rest[size:])
        self.assertEqual(how, "closed")

    def test_virtual_directory_without_slash_is_redirected(self):
        cases = [(b"GET /media", b"/media/"), (b"GET /media?x=1", b"/media/?x=1"),
                 (b"HEAD /media", b"/media/"), (b"HEAD /media?x=1", b"/media/?x=1")]
        for line, location in cases:
            with self.subTest(line):
                data, how = self.exchange(line + b" HTTP/1.1\r\nHost: x\r\n\r\n")
                status, fields, body = split_answer(data)
                self.assertEqual(status, "HTTP/1.1 302 Found")
                self.assertEqual(fields["location"], location.decode())
                page = (b'<html><head><title>302 Found</title></head><body><a href="' + location
                        + b'"><h1>Moved here</h1></a></body></html>')
                self.assertEqual(fields["content-length"], str(len(page)))
                self.assertEqual(body, b"" if line.startswith(b"HEAD") else page)
                self.assertEqual(how, "closed")


if __name__ == "__main__":
    unittest.main()
