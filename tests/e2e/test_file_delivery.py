"""File delivery through the real binary: index files, ranges, 304 answers,
variants, downloads, keep-alive and pipelining, large files, path safety and
the server's descriptors under hostile traffic.

Every test class builds its own document root in a temporary folder; the
folder above the root holds a secret file that no answer may ever contain.
"""
import calendar
import gzip
import hashlib
import http.client
import os
import random
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from qnserver import Server, free_port, recv_all, settings

# Every file of the root is dated 6 March 2025 08:05:09 UTC unless a test says otherwise.
T = calendar.timegm((2025, 3, 6, 8, 5, 9))
LM = "Thu, 6 Mar 2025 8:05:09 GMT"
# A date whose day and hour have two digits reads the same in every writer's format.
T2 = calendar.timegm((2025, 3, 16, 18, 5, 9))
LM2 = "Sun, 16 Mar 2025 18:05:09 GMT"

SECRET = b"SECRET-7f3a9c-never-to-be-served"
DATE_RE = (r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d{1,2} "
           r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d{1,2}:\d{2}:\d{2} GMT")

RNG = random.Random(4242)
A1000 = RNG.randbytes(1000)
B200K = RNG.randbytes(200000)
M1 = RNG.randbytes(1 << 20)
M20 = RNG.randbytes(20 * 1000 * 1000)
CSS = b"body{color:black}\n"
CSS_BR = b"\x8b\x08\x80pretend-brotli-bytes\x03"
CSS_GZ_TEXT = b"body{color:green} /* from the gz variant */\n"
CSS_GZ = gzip.compress(CSS_GZ_TEXT, mtime=0)


def site_files():
    """path below the root -> (bytes, mtime)."""
    return {
        "a1000.bin": (A1000, T),
        "b200k.bin": (B200K, T),
        "m1.bin": (M1, T),
        "m20.bin": (M20, T),
        "empty.txt": (b"", T),
        "file.txt": (b"plain text file\n", T),
        "curlz.txt": (b"dated with two-digit day and hour\n", T2),
        "inside.txt": (b"INSIDE-the-root\n", T),
        "private.key": (b"blocked by the filter\n", T),
        "private.key.br": (CSS_BR, T + 1),
        "docs/index.html": (b"<p>docs index.html</p>", T),
        "both/index.htm": (b"<p>index.htm wins</p>", T),
        "both/index.html": (b"<p>index.html loses</p>", T),
        "nohtml/index.htm": (b"<p>htm only</p>", T),
        "md/README.md": (b"# readme\n", T),
        "md/index.md": (b"# index markdown\n", T),
        "emptydir/.keep": (b"", T),
        # br newer than the file: br is sent.
        "style.css": (CSS, T),
        "style.css.br": (CSS_BR, T + 100),
        "style.css.gz": (CSS_GZ, T + 50),
        # br older than the file, gz newer: gz is sent.
        "old/style.css": (CSS, T),
        "old/style.css.br": (CSS_BR, T - 100),
        "old/style.css.gz": (CSS_GZ, T + 10),
        # both older: the file itself.
        "stale/style.css": (CSS, T),
        "stale/style.css.br": (CSS_BR, T - 1),
        "stale/style.css.gz": (CSS_GZ, T - 1),
        # only the compressed form exists.
        "only/site.css.br": (CSS_BR, T),
        "app.js": (b"function app() { return 1; }\n", T),
        "app.min.js": (b"function app(){return 1}", T),
        "stale/app.js": (b"function app() { return 2; }\n", T),
        "stale/app.min.js": (b"function app(){return 2}", T - 1),
        "page.html": (b"<html>full page</html>", T),
        "page.min.html": (b"<html>min</html>", T + 1),
        "photo.jpg": (b"\xff\xd8\xffJPEG-bytes", T),
        "photo.jpg.webp": (b"RIFF....WEBPVP8 ", T + 1),
        "oldpic.png": (b"\x89PNG\r\n\x1a\nPNG-bytes", T),
        "oldpic.png.webp": (b"RIFF....WEBP-old", T - 5),
    }


def build_site():
    """A folder holding the secret and the document root www; returns (folder, root)."""
    site = tempfile.mkdtemp(prefix="qn-files-")
    with open(os.path.join(site, "secret.txt"), "wb") as f:
        f.write(SECRET)
    os.makedirs(os.path.join(site, "www-private"))
    with open(os.path.join(site, "www-private", "secret.txt"), "wb") as f:
        f.write(SECRET)
    root = os.path.join(site, "www")
    for name, (data, mtime) in site_files().items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (mtime, mtime))
    os.mkfifo(os.path.join(root, "pipe.txt"))
    return site, root


def request(path, method="GET", headers=(), version="HTTP/1.1", keep=False, host=True):
    if isinstance(path, str):
        path = path.encode("latin-1")
    line = method.encode() + b" " + path + (b" " + version.encode() if version else b"")
    if not version:
        return line + b"\r\n"
    lines = [line]
    if host:
        lines.append(b"Host: t")
    if keep:
        lines.append(b"Connection: keep-alive")
    lines += [h.encode("latin-1") if isinstance(h, str) else h for h in headers]
    return b"\r\n".join(lines) + b"\r\n\r\n"


class Response:
    def __init__(self, head, body):
        self.head = head
        lines = head.split("\r\n")
        self.status_line = lines[0]
        self.status = int(lines[0].split(" ")[1])
        self.lines = lines
        self.headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(": ")
            self.headers[name.lower()] = value
        self.body = body


class Reader:
    """Reads HTTP responses one after another from one connection."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def _fill(self):
        b = self.sock.recv(1 << 18)
        if not b:
            raise EOFError("connection closed")
        self.buf += b

    def response(self, head_only=False):
        while True:
            i = self.buf.find(b"\r\n\r\n")
            if i >= 0:
                break
            self._fill()
        head = bytes(self.buf[:i]).decode("latin-1")
        del self.buf[:i + 4]
        r = Response(head, b"")
        n = 0 if head_only or r.status == 304 else int(r.headers["content-length"])
        while len(self.buf) < n:
            self._fill()
        r.body = bytes(self.buf[:n])
        del self.buf[:n]
        return r

    def closed(self, timeout=3.0):
        """True when nothing more arrives and the server closes."""
        self.sock.settimeout(timeout)
        try:
            while True:
                b = self.sock.recv(65536)
                if not b:
                    return len(self.buf) == 0
                self.buf += b
        except socket.timeout:
            return False
        except ConnectionResetError:
            return len(self.buf) == 0


def file_head(status, ctype, length, keep=False, content_range=None, encoding=None,
              vary=True, lm=LM):
    """The header lines of a file answer, in order; {date} stands for the clock."""
    lines = ["HTTP/1.1 " + status, "Server: quillnestweb", "Content-Type: " + ctype]
    if not status.startswith("4"):
        # the security lines belong to successful answers only
        lines += ["X-Content-Type-Options: nosniff", "X-Frame-Options: SAMEORIGIN",
                  "Referrer-Policy: strict-origin-when-cross-origin"]
    lines += ["Date: {date}", "Expires: {date}", "Last-Modified: " + lm,
              "Connection: " + ("keep-alive" if keep else "close")]
    if encoding:
        lines.append("Content-Encoding: " + encoding)
    if vary:
        lines.append("Vary: Accept-Encoding, Accept")
    lines.append("Accept-Ranges: bytes")
    if content_range:
        lines.append("Content-Range: bytes " + content_range)
    lines.append("Content-Length: %d" % length)
    return lines


class FileServerCase(unittest.TestCase):
    """A server over a fresh document root; subclasses give the extra settings."""

    extra = ""

    @classmethod
    def setUpClass(cls):
        cls.site, cls.root = build_site()
        port = free_port()
        ini = settings(port, root=cls.root, extra=cls.extra)
        cls.srv = Server(ini=ini, port=port)
        cls.srv.wait_listening()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.close()
        shutil.rmtree(cls.site, ignore_errors=True)

    def exchange(self, raw, head_only=False, wait=3.0):
        """One request on a fresh connection; (response, closed within wait seconds)."""
        with self.srv.connect(timeout=10) as s:
            s.sendall(raw)
            rd = Reader(s)
            r = rd.response(head_only)
            return r, rd.closed(wait)

    def get(self, path, headers=(), method="GET", keep=False):
        return self.exchange(request(path, method, headers, keep=keep), head_only=method == "HEAD")[0]

    def assert_head(self, response, lines):
        self.assertEqual(len(response.lines), len(lines), response.head)
        for got, want in zip(response.lines, lines):
            if "{date}" in want:
                pattern = "^" + re.escape(want).replace(re.escape("{date}"), DATE_RE) + "$"
                self.assertRegex(got, pattern)
            else:
                self.assertEqual(got, want, response.head)

    def curl(self, *args):
        """curl's output; the last argument is the path on this server."""
        url = "http://127.0.0.1:%d%s" % (self.srv.port, args[-1])
        return subprocess.run(["curl", "-sS", "--max-time", "30", *args[:-1], url],
                              capture_output=True, check=True).stdout


class Delivery(FileServerCase):
    extra = "min_gz=1\r\nview_md=1\r\next=block\r\n{\r\nkey\r\n}\r\n"

    def test_whole_file_header_block_is_exact(self):
        r, closed = self.exchange(request("/a1000.bin"))
        self.assert_head(r, file_head("200 OK", "application/octet-stream", 1000))
        self.assertEqual(r.body, A1000)
        self.assertTrue(closed)

    def test_index_files(self):
        cases = [
            ("/docs/", 200, "text/html", b"<p>docs index.html</p>"),
            ("/both/", 200, "text/html", b"<p>index.htm wins</p>"),
            ("/nohtml/", 200, "text/html", b"<p>htm only</p>"),
            # view_md on: index.md is chosen and rendered, as "?view" renders
            ("/md/", 200, "text/html; charset=utf-8", None),
            ("/md/README.md?view", 200, "text/html; charset=utf-8", None),
            ("/md/README.md", 200, "text/markdown", b"# readme\n"),
            # a directory named without "/" tries no index file
            ("/docs", 404, "text/html", None),
            ("/emptydir/", 404, "text/html", None),
            ("/missing/", 404, "text/html", None),
            ("/", 404, "text/html", None),
        ]
        for path, status, ctype, body in cases:
            with self.subTest(path):
                r = self.get(path)
                self.assertEqual(r.status, status, r.head)
                self.assertEqual(r.headers["content-type"], ctype)
                if body is not None:
                    self.assertEqual(r.body, body)

    def test_ranges_follow_the_correction_rules(self):
        # (file, Range value, status, Content-Range, body)
        cases = [
            ("/a1000.bin", "bytes=0-0", "206 Partial Content", "0-999/1000", A1000),
            ("/a1000.bin", "bytes=100-199", "206 Partial Content", "100-199/1000", A1000[100:200]),
            ("/a1000.bin", "bytes=100-", "206 Partial Content", "100-999/1000", A1000[100:]),
            ("/a1000.bin", "bytes=-500", "206 Partial Content", "0-500/1000", A1000[:501]),
            ("/a1000.bin", "bytes=990-5000", "206 Partial Content", "990-999/1000", A1000[990:]),
            ("/a1000.bin", "bytes=999-999", "206 Partial Content", "999-999/1000", A1000[999:]),
            ("/a1000.bin", "bytes=0-99,200-299", "206 Partial Content", "0-99/1000", A1000[:100]),
            ("/a1000.bin", "bytes=2000-", "416 Requested Range Not Satisfiable", "0-999/1000", A1000),
            ("/a1000.bin", "bytes=1000-1000", "416 Requested Range Not Satisfiable", "0-999/1000", A1000),
            ("/a1000.bin", "bytes=500-100", "416 Requested Range Not Satisfiable", "500-999/1000",
             A1000[500:]),
            ("/a1000.bin", "bytes=18446744073709551615-", "416 Requested Range Not Satisfiable",
             "0-999/1000", A1000),
            ("/b200k.bin", "bytes=70000-70009", "206 Partial Content", "70000-70009/200000",
             B200K[70000:70010]),
            ("/b200k.bin", "bytes=65535-65536", "206 Partial Content", "65535-65536/200000",
             B200K[65535:65537]),
            ("/b200k.bin", "bytes=65536-", "206 Partial Content", "65536-199999/200000", B200K[65536:]),
            ("/m1.bin", "bytes=131073-917503", "206 Partial Content", "131073-917503/1048576",
             M1[131073:917504]),
            ("/m20.bin", "bytes=10000001-10000100", "206 Partial Content",
             "10000001-10000100/20000000", M20[10000001:10000101]),
            ("/m20.bin", "bytes=19999990-", "206 Partial Content", "19999990-19999999/20000000",
             M20[19999990:]),
        ]
        for path, value, status, crange, body in cases:
            with self.subTest(path=path, range=value):
                r = self.get(path, ["Range: " + value])
                ctype = "application/octet-stream"
                self.assert_head(r, file_head(status, ctype, len(body), content_range=crange))
                self.assertEqual(r.body, body)

    def test_range_on_an_empty_file_is_not_applied(self):
        for value in ("bytes=0-0", "bytes=0-", "bytes=5-10", "bytes=-1"):
            with self.subTest(value):
                r = self.get("/empty.txt", ["Range: " + value])
                self.assert_head(r, file_head("200 OK", "text/plain", 0))
                self.assertEqual(r.body, b"")

    def test_other_range_units_are_ignored(self):
        r = self.get("/a1000.bin", ["Range: items=1-2"])
        self.assert_head(r, file_head("200 OK", "application/octet-stream", 1000))
        self.assertEqual(r.body, A1000)

    def test_head_sends_the_header_block_alone(self):
        with self.srv.connect() as s:
            s.sendall(request("/b200k.bin", "HEAD", ["Range: bytes=70000-70009"], keep=True) +
                      request("/m20.bin", "HEAD", keep=True) + request("/file.txt"))
            rd = Reader(s)
            r = rd.response(head_only=True)
            self.assert_head(r, file_head("206 Partial Content", "application/octet-stream", 10,
                                          keep=True, content_range="70000-70009/200000"))
            r = rd.response(head_only=True)
            self.assert_head(r, file_head("200 OK", "application/octet-stream", 20000000, keep=True))
            r = rd.response()
            self.assertEqual(r.body, b"plain text file\n")
            self.assertTrue(rd.closed())

    def test_curl_ranges(self):
        self.assertEqual(self.curl("-r", "0-0", "/a1000.bin"), A1000)
        self.assertEqual(self.curl("-r", "70000-70009", "/b200k.bin"), B200K[70000:70010])
        self.assertEqual(self.curl("-r", "-500", "/a1000.bin"), A1000[:501])
        self.assertEqual(self.curl("-r", "2000-", "-w", "%{http_code}", "/a1000.bin"), A1000 + b"416")

    def test_if_modified_since(self):
        cases = [
            ("exact", LM, 304),
            ("upper case", LM.upper(), 304),
            ("lower case", LM.lower(), 304),
            ("more after the date", LM + "; length=1000", 304),
            ("two-digit day and hour", "Thu, 06 Mar 2025 08:05:09 GMT", 200),
            ("shorter than the date", LM[:-4], 200),
            ("one byte", "T", 200),
            ("empty", "", 200),
            ("a later date", "Fri, 7 Mar 2025 8:05:09 GMT", 200),
        ]
        for name, value, status in cases:
            with self.subTest(name):
                r = self.get("/a1000.bin", ["If-Modified-Since: " + value])
                if status == 304:
                    self.assert_head(r, file_head("304 Not Modified", "application/octet-stream", 1000))
                    self.assertEqual(r.body, b"")
                else:
                    self.assertEqual(r.status, 200)
                    self.assertEqual(r.body, A1000)

    def test_not_modified_leaves_no_body_on_a_kept_connection(self):
        with self.srv.connect() as s:
            s.sendall(request("/a1000.bin", headers=["If-Modified-Since: " + LM], keep=True) +
                      request("/file.txt", keep=True))
            rd = Reader(s)
            self.assertEqual(rd.response().status, 304)
            r = rd.response()
            self.assertEqual((r.status, r.body), (200, b"plain text file\n"))

    def test_curl_if_modified_since(self):
        # curl writes dates with two-digit days and hours: for a file dated on
        # the 16th at 18:05 that is the server's own text, for the 6th at 8:05 it
        # is not. curl itself reports a 200 older than its date as 304, so the
        # status line the server sent is read from the dumped header.
        head = self.curl("-z", LM2, "-D", "-", "-o", "/dev/null", "/curlz.txt")
        self.assertTrue(head.startswith(b"HTTP/1.1 304 Not Modified\r\n"), head)
        head = self.curl("-z", LM, "-D", "-", "-o", "/dev/null", "/a1000.bin")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)

    def test_variants(self):
        both = ["Accept-Encoding: gzip, br"]
        cases = [
            ("br newer", "/style.css", both, "text/css", "br", CSS_BR),
            ("br older, gz newer", "/old/style.css", both, "text/css", "gzip",
             CSS_GZ),
            ("gz only wanted", "/style.css", ["Accept-Encoding: gzip"], "text/css", "gzip",
             CSS_GZ),
            ("both older", "/stale/style.css", both, "text/css", None, CSS),
            ("no encoding accepted", "/style.css", [], "text/css", None, CSS),
            ("asked for the variant itself", "/style.css.br", both, "application/octet-stream", None,
             CSS_BR),
            ("only the br file exists", "/only/site.css", both, "text/css", "br", CSS_BR),
            ("min not older", "/app.js", [], "application/javascript", None, b"function app(){return 1}"),
            ("min older", "/stale/app.js", [], "application/javascript", None,
             b"function app() { return 2; }\n"),
            ("min asked for directly", "/app.min.js", [], "application/javascript", None,
             b"function app(){return 1}"),
            ("min html", "/page.html", [], "text/html", None, b"<html>min</html>"),
            ("webp", "/photo.jpg", ["Accept: image/webp,*/*"], "image/webp", None, b"RIFF....WEBPVP8 "),
            ("webp not accepted", "/photo.jpg", ["Accept: */*"], "image/jpeg", None,
             b"\xff\xd8\xffJPEG-bytes"),
            ("webp older", "/oldpic.png", ["Accept: image/webp"], "image/png", None,
             b"\x89PNG\r\n\x1a\nPNG-bytes"),
        ]
        for name, path, headers, ctype, encoding, body in cases:
            with self.subTest(name):
                r = self.get(path, headers)
                self.assertEqual(r.status, 200, r.head)
                self.assertEqual(r.headers["content-type"], ctype)
                self.assertEqual(r.headers.get("content-encoding"), encoding)
                self.assertEqual(r.headers["vary"], "Accept-Encoding, Accept")
                self.assertEqual(r.body, body)

    def test_variant_header_block_and_coding_not_carried_over(self):
        with self.srv.connect() as s:
            s.sendall(request("/style.css", headers=["Accept-Encoding: gzip, br"], keep=True) +
                      request("/file.txt", headers=["Accept-Encoding: gzip, br"], keep=True) +
                      request("/missing.css", headers=["Accept-Encoding: gzip, br"]))
            rd = Reader(s)
            r = rd.response()
            self.assert_head(r, file_head("200 OK", "text/css", len(CSS_BR), keep=True, encoding="br",
                                          lm="Thu, 6 Mar 2025 8:06:49 GMT"))
            r = rd.response()
            self.assert_head(r, file_head("200 OK", "text/plain", 16, keep=True))
            r = rd.response()
            self.assertEqual(r.status, 404)
            self.assertNotIn("content-encoding", r.headers)

    def test_curl_compressed_gets_the_gz_variant(self):
        self.assertEqual(self.curl("--compressed", "/old/style.css"), CSS_GZ_TEXT)
        self.assertEqual(self.curl("--compressed", "/stale/style.css"), CSS)

    def test_download_query(self):
        cases = [
            ("/file.txt?download", "application/octet-stream"),
            ("/file.txt?down", "application/octet-stream"),
            ("/file.txt?download&x=1", "application/octet-stream"),
            ("/file.txt?downloads", "text/plain"),
            ("/file.txt?x&download", "text/plain"),
        ]
        for path, ctype in cases:
            with self.subTest(path):
                r = self.get(path)
                self.assertEqual((r.status, r.headers["content-type"]), (200, ctype))
                self.assertEqual(r.body, b"plain text file\n")

    def test_request_without_version_gets_the_body_only(self):
        cases = [
            ("GET /file.txt", b"plain text file\n"),
            ("GET /a1000.bin", A1000),
            ("GET /b200k.bin", B200K),
            ("GET /m20.bin", M20),
            ("HEAD /a1000.bin", b""),
        ]
        for line, body in cases:
            with self.subTest(line):
                with self.srv.connect(timeout=20) as s:
                    s.sendall(line.encode() + b"\r\n")
                    data, how = recv_all(s)
                    self.assertEqual(how, "closed")
                    self.assertEqual(len(data), len(body))
                    self.assertEqual(data, body)

    def test_pipelined_requests_are_answered_in_order(self):
        with self.srv.connect(timeout=20) as s:
            s.sendall(request("/file.txt", keep=True) +
                      request("/a1000.bin", "HEAD", keep=True) +
                      request("/b200k.bin", headers=["Range: bytes=70000-70009"], keep=True) +
                      request("/missing", keep=True) +
                      request("/m20.bin", keep=True) +
                      request("/docs/", keep=True) +
                      request("/a1000.bin"))
            rd = Reader(s)
            self.assertEqual(rd.response().body, b"plain text file\n")
            r = rd.response(head_only=True)
            self.assertEqual((r.status, r.headers["content-length"]), (200, "1000"))
            self.assertEqual(rd.response().body, B200K[70000:70010])
            r = rd.response()
            self.assertEqual((r.status, r.headers["connection"]), (404, "keep-alive"))
            self.assertEqual(hashlib.sha256(rd.response().body).digest(), hashlib.sha256(M20).digest())
            self.assertEqual(rd.response().body, b"<p>docs index.html</p>")
            r = rd.response()
            self.assertEqual((r.headers["connection"], r.body), ("close", A1000))
            self.assertTrue(rd.closed())

    def test_http_10_and_http_11_without_keep_alive_close(self):
        for version in ("HTTP/1.0", "HTTP/1.1"):
            with self.subTest(version):
                r, closed = self.exchange(request("/file.txt", version=version))
                self.assertEqual(r.status_line, "HTTP/1.1 200 OK")
                self.assertEqual(r.headers["connection"], "close")
                self.assertEqual(r.body, b"plain text file\n")
                self.assertTrue(closed)
        r, closed = self.exchange(request("/file.txt", version="HTTP/1.0", keep=True), wait=0.5)
        self.assertEqual(r.headers["connection"], "keep-alive")
        self.assertFalse(closed)

    def test_http_client_on_one_kept_connection(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.srv.port, timeout=20)
        try:
            keep = {"Connection": "keep-alive"}
            steps = [
                ("/docs/", {}, 200, b"<p>docs index.html</p>"),
                ("/a1000.bin", {"Range": "bytes=100-199"}, 206, A1000[100:200]),
                ("/a1000.bin", {"If-Modified-Since": LM}, 304, b""),
                ("/nothing-here", {}, 404, None),
                ("/m20.bin", {}, 200, M20),
                ("/b200k.bin", {"Range": "bytes=70000-70009"}, 206, B200K[70000:70010]),
            ]
            for path, headers, status, body in steps:
                with self.subTest(path):
                    conn.request("GET", path, headers={**keep, **headers})
                    r = conn.getresponse()
                    data = r.read()
                    self.assertEqual(r.status, status)
                    if body is not None:
                        self.assertEqual(data, body)
        finally:
            conn.close()

    def test_not_found(self):
        r, closed = self.exchange(request("/missing.txt", keep=True), wait=0.5)
        self.assertEqual(r.lines[:3], ["HTTP/1.1 404 Not Found", "Server: quillnestweb",
                                       "Content-Type: text/html"])
        self.assertEqual(r.lines[3:], ["Connection: keep-alive", "Vary: Accept-Encoding, Accept",
                                       "Content-Length: %d" % len(r.body)])
        self.assertTrue(r.body.startswith(b"<html><head><title>quillnest</title>"))
        self.assertIn(b"404 Not Found", r.body)
        self.assertFalse(closed)
        h = self.get("/missing.txt", method="HEAD")
        self.assertEqual(h.lines, r.lines[:3] + ["Connection: close", "Vary: Accept-Encoding, Accept",
                                                 "Content-Length: %d" % len(r.body)])
        self.assertEqual(h.body, b"")

    def test_refused_file_answers_404_without_its_variant_coding(self):
        r = self.get("/private.key", ["Accept-Encoding: gzip, br"])
        self.assertEqual(r.status, 404)
        self.assertNotIn("content-encoding", r.headers)
        self.assertIn(b"404 Not Found", r.body)

    def test_favicon_falls_back_to_the_built_in_icon(self):
        r = self.get("/favicon.ico")
        self.assertEqual((r.status, r.headers["content-type"]), (200, "image/x-icon"))
        self.assertTrue(r.body.startswith(b"\x00\x00\x01\x00"), r.body[:8])
        self.assertEqual(self.get("/favicon.ico?v=2").body, r.body)
        self.assertEqual(self.get("/FAVICON.ICO").status, 404)
        self.assertEqual(self.get("/img/favicon.ico").status, 404)

    def test_a_fifo_never_holds_a_slot(self):
        r, closed = self.exchange(request("/pipe.txt"))
        self.assertIn(r.status, (200, 404, 500))
        self.assertEqual(r.body, b"")
        self.assertTrue(closed)

    def test_two_large_downloads_at_once(self):
        digest = hashlib.sha256(M20).digest()
        results = []

        def fetch():
            with self.srv.connect(timeout=60) as s:
                s.sendall(request("/m20.bin"))
                rd = Reader(s)
                r = rd.response()
                results.append((r.status, len(r.body), hashlib.sha256(r.body).digest(), rd.closed()))

        threads = [threading.Thread(target=fetch) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(results, [(200, len(M20), digest, True)] * 2)
        # and once more with a real client reading slowly
        got = self.curl("--limit-rate", "20M", "/m20.bin")
        self.assertEqual(hashlib.sha256(got).digest(), digest)

    def test_sixty_four_clients_at_once(self):
        digest = hashlib.sha256(M1).digest()
        barrier = threading.Barrier(64)
        results = [None] * 64

        def fetch(i):
            try:
                with socket.create_connection(("127.0.0.1", self.srv.port), timeout=60) as s:
                    barrier.wait(30)
                    path = "/m1.bin" if i % 8 else "/m20.bin"
                    s.sendall(request(path))
                    rd = Reader(s)
                    r = rd.response()
                    want = digest if i % 8 else hashlib.sha256(M20).digest()
                    results[i] = (r.status, hashlib.sha256(r.body).digest() == want)
            except Exception as e:  # a failure shows in the result list
                results[i] = repr(e)

        threads = [threading.Thread(target=fetch, args=(i,)) for i in range(64)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(180)
        self.assertEqual(results, [(200, True)] * 64)


class PlainSettings(FileServerCase):
    """Variants off, directory listing on, an extension filter and a favicon of the site's own."""

    extra = "list_directories=1\r\next=block\r\n{\r\nkey\r\n}\r\n"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(os.path.join(cls.root, "favicon.ico"), "wb") as f:
            f.write(b"SITE-ICON")

    def test_header_block_without_variants_has_no_vary(self):
        r = self.get("/a1000.bin", ["Range: bytes=0-0"])
        self.assert_head(r, file_head("206 Partial Content", "application/octet-stream", 1000,
                                      content_range="0-999/1000", vary=False))

    def test_variants_are_not_used(self):
        r = self.get("/style.css", ["Accept-Encoding: gzip, br"])
        self.assertNotIn("content-encoding", r.headers)
        self.assertEqual(r.body, CSS)
        self.assertEqual(self.get("/app.js").body, b"function app() { return 1; }\n")
        r = self.get("/photo.jpg", ["Accept: image/webp"])
        self.assertEqual((r.headers["content-type"], r.body), ("image/jpeg", b"\xff\xd8\xffJPEG-bytes"))

    def test_markdown_index_needs_view_md(self):
        self.assertEqual(self.get("/md/").status, 404)

    def test_directories_answer_404(self):
        # Directory pages are not served yet: a directory answers 404 whatever
        # list_directories says.
        for path in ("/docs", "/emptydir/", "/md/"):
            with self.subTest(path):
                self.assertEqual(self.get(path).status, 404)

    def test_filtered_extension_answers_404(self):
        self.assertEqual(self.get("/private.key").status, 404)
        self.assertEqual(self.get("/file.txt").status, 200)

    def test_site_favicon_wins(self):
        r = self.get("/favicon.ico")
        self.assertEqual((r.status, r.headers["content-type"], r.body), (200, "image/x-icon", b"SITE-ICON"))


class PathSafety(FileServerCase):
    extra = "min_gz=1\r\n"

    PATHS = [
        b"/../secret.txt",
        b"/../../secret.txt",
        b"/a/../../secret.txt",
        b"/./../secret.txt",
        b"//../secret.txt",
        b"/....//secret.txt",
        b"/%2e%2e/secret.txt",
        b"/%2E%2E/secret.txt",
        b"/.%2e/secret.txt",
        b"/%2e./secret.txt",
        b"/..%2fsecret.txt",
        b"/%2e%2e%2fsecret.txt",
        b"/%2e%2e%2f%2e%2e%2fsecret.txt",
        b"/..%5csecret.txt",
        b"/%5c..%5csecret.txt",
        b"/%5c%2e%2e%5csecret.txt",
        b"/..\\secret.txt",
        b"/\\..\\secret.txt",
        b"/docs\\..\\..\\secret.txt",
        b"/%252e%252e/secret.txt",
        b"/..%255csecret.txt",
        b"/%00/../secret.txt",
        b"/../secret.txt%00",
        b"/inside.txt%00/../../secret.txt",
        b"/%2e%2e%00/secret.txt",
        b"/%c0%ae%c0%ae/secret.txt",
        b"/%c0%ae%c0%ae%c0%afsecret.txt",
        b"/%c0%2e%c0%2e/secret.txt",
        b"/%e0%80%ae%e0%80%ae/secret.txt",
        b"/%f0%80%80%ae%f0%80%80%ae/secret.txt",
        b"/%ef%bc%8e%ef%bc%8e/secret.txt",
        b"/%ff%ff/secret.txt",
        b"/..;/secret.txt",
        b"/../www-private/secret.txt",
        b"/%2e%2e/www-private/secret.txt",
        b"/../www/../secret.txt",
        b"/" + b"../" * 2700 + b"secret.txt",
        b"/" + b"%2e%2e/" * 1000 + b"secret.txt",
        b"/" + b"a/" * 4000 + b"../" * 60 + b"secret.txt",
        b"/" + b"x" * 8100,
        b"/" + b"x" * 9000,
        b"http://t/../secret.txt",
        b"http://t/%2e%2e/secret.txt",
        b"../secret.txt",
        b"secret.txt",
        b"/\x01\x02../secret.txt",
        b"/..\x00/secret.txt",
        b"/\xc0\xae\xc0\xae/secret.txt",
    ]

    def test_nothing_above_the_root_is_ever_served(self):
        for path in self.PATHS:
            for suffix in (b"", b".gz", b"?download", b"?view"):
                for headers in ((), ("Accept-Encoding: gzip, br", "Range: bytes=0-")):
                    with self.subTest(path=path[:80], suffix=suffix, headers=headers):
                        with self.srv.connect(timeout=10) as s:
                            try:
                                s.sendall(request(path + suffix, headers=headers))
                            except (BrokenPipeError, ConnectionResetError):
                                continue
                            data, how = recv_all(s)
                        self.assertNotIn(SECRET, data)
                        self.assertIn(how, ("closed", "reset"))
        # and the server still serves what lies inside the root
        self.assertEqual(self.get("/inside.txt").body, b"INSIDE-the-root\n")
        self.assertEqual(self.get("/docs/../inside.txt").body, b"INSIDE-the-root\n")
        self.assertEqual(self.get("/%69nside.txt").body, b"INSIDE-the-root\n")

    def test_descriptors_stay_balanced_under_hostile_traffic(self):
        fd_dir = "/proc/%d/fd" % self.srv.proc.pid

        def settled_count():
            """The descriptor count once the server has closed its finished connections."""
            count, deadline = -1, time.monotonic() + 15
            while time.monotonic() < deadline:
                time.sleep(0.3)
                now = len(os.listdir(fd_dir))
                if now == count:
                    return now
                count = now
            return count

        # a connection has come and gone once, so lazily opened descriptors exist
        self.assertEqual(self.get("/file.txt").status, 200)
        before = settled_count()

        hostile = [
            b"\x00\x01\x02\x03garbage\r\n\r\n",
            b"GET /file.txt HTTP/1.1\r\nHost: t\r\nRange: bytes=99999999999999999999999-\r\n\r\n",
            b"GET /a1000.bin HTTP/1.1\r\nHost: t\r\nRange: bytes=18446744073709551615-18446744073709551615\r\n\r\n",
            b"GET /a1000.bin HTTP/1.1\r\nHost: t\r\nRange: bytes=-18446744073709551615\r\n\r\n",
            b"GET /a1000.bin HTTP/1.1\r\nHost: t\r\nRange: bytes=\r\n\r\n",
            b"GET /a1000.bin HTTP/1.1\r\nHost: t\r\nRange: =\r\n\r\n",
            b"GET /a1000.bin HTTP/1.1\r\nHost: t\r\nIf-Modified-Since: \xff\xfe\r\n\r\n",
            b"GET /a1000.bin HTTP/1.1\r\nHost: t\r\nIf-Modified-Since:\r\n\r\n",
            b"GET /empty.txt HTTP/1.1\r\nHost: t\r\nRange: bytes=0-0\r\nIf-Modified-Since: " + LM.encode() + b"\r\n\r\n",
            b"GET /pipe.txt HTTP/1.1\r\nHost: t\r\n\r\n",
            b"GET /docs/ HTTP/1.1\r\nHost: t\r\nRange: bytes=5-1\r\n\r\n",
            b"GET /emptydir HTTP/1.1\r\nHost: t\r\n\r\n",
            b"HEAD /m20.bin HTTP/1.1\r\nHost: t\r\nConnection: keep-alive\r\n\r\nHEAD /m20.bin HTTP/1.1\r\n\r\n",
            b"GET /m20.bin HTTP/1.1\r\nHost: t\r\nIf-Modified-Since: " + LM.encode() + b"\r\n\r\n",
            b"GET /style.css HTTP/1.1\r\nHost: t\r\nAccept-Encoding: br,br,gzip\r\nAccept: webp\r\n\r\n",
            b"GET /%%%%%%% HTTP/1.1\r\nHost: t\r\n\r\n",
            b"GET /" + b"%c0%ae" * 1300 + b" HTTP/1.1\r\nHost: t\r\n\r\n",
            b"GET / HTTP/1.1\r\nHost: t\r\n" + b"X: " + b"a" * 9000,
            b"GET /file.txt HTTP/1.1\r\nHost: t\r\nbad header line\r\n\r\n",
            b"GET /file.txt HTTP/1.1\r\nHost: t\r\nConnection: keep-alive\r\n\r\nGET /file",
            b"GET /file.txt HTTP/9.9\r\nHost: t\r\n\r\n",
            b"GET /file.txt?download&download&view HTTP/1.1\r\nHost: t\r\n\r\n",
        ]
        for path in self.PATHS[:24]:
            hostile.append(request(path))

        def one(raw, read_all=True):
            with self.srv.connect(timeout=10) as s:
                try:
                    s.sendall(raw)
                    # the end of the request stream ends requests the server still waits for
                    s.shutdown(socket.SHUT_WR)
                except OSError:
                    return
                if read_all:
                    recv_all(s)

        for _ in range(5):
            for raw in hostile:
                one(raw)
        # Clients that leave in the middle of a large download, or before reading anything.
        for i in range(40):
            with self.srv.connect(timeout=10) as s:
                s.sendall(request("/m20.bin" if i % 2 else "/m1.bin",
                                  headers=[] if i % 3 else ["Range: bytes=1000-"]))
                s.recv(1000 * (i + 1))
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        for raw in hostile[:20]:
            one(raw, read_all=False)

        self.assertEqual(settled_count(), before)
        self.assertIsNone(self.srv.proc.poll())
        r = self.get("/b200k.bin", ["Range: bytes=70000-70009"])
        self.assertEqual(r.body, B200K[70000:70010])
        self.assertEqual(hashlib.sha256(self.get("/m20.bin").body).digest(), hashlib.sha256(M20).digest())


if __name__ == "__main__":
    unittest.main()
