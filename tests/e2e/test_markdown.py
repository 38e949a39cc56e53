"""The Markdown view through the real binary: "?view" pages in one answer and
in exact chunks, index.md standing in for an index page, HEAD, ranges,
keep-alive after a chunked page, view_md off, files too large for the view,
compressed variants that must not be rendered, and hostile files.
"""
import gzip
import os
import random
import shutil
import socket
import tempfile
import time
import unittest
import urllib.parse

from qnserver import Server, free_port, recv_all, settings

HEAD = (b"<!DOCTYPE html><html><head>"
        b"<link href=\"/quillnest/theme.css\" rel=\"stylesheet\" type=\"text/css\" />"
        b"<meta name=\"viewport\" content=\"width=576, initial-scale=1.0, minimum-scale=1.0, "
        b"maximum-scale=1.0, user-scalable=0\" />"
        b"<meta name=\"format-detection\" content=\"date=no\" />"
        b"<meta name=\"format-detection\" content=\"telephone=no\" />")
END = b"</md></body></html>"

DOC = b"# Title\n\nSome *text* and `a < b`.\n"
DOC_PAGE = (HEAD + b"<title>doc.md</title></head><body class=\"qn_md\"><md>"
            b"<h1>\nTitle\n</h1>\n<p>\nSome <i>text</i> and <code>a &lt; b</code>.\n</p>\n" + END)

# Rows of a table: the page is much larger than the text and than a buffer half.
BIG = b"x\n\n| a | b | c |\n|:-|:-:|-:|\n" + b"| *cell* | `1<2` | [l](u) |\n" * 3500
# The largest file the view takes, and one byte more.
LIMIT = 98303
EDGE = b"![i](p) " * (LIMIT // 8) + b"x" * (LIMIT % 8)
TOO_LARGE = EDGE + b"x"

RNG = random.Random(77)
HOSTILE = {
    "junk.md": RNG.randbytes(90000),
    "nul.md": b"a\0b" * 20000,
    "backticks.md": b"`" * 90000,
    "stars.md": b"*" * 98000,
    "line.md": b"a" * 98000,
    "brackets.md": b"[" * 90000,
    "nesting.md": b"[![" * 30000,
    "bars.md": b"x\n" + b"||||||||||\n" * 8000,
    "address.md": b"http://example.com/" + b"a" * 97000,
    "fence.md": b"```\n" + b"<" * 97000,
}


def site_files():
    files = {
        "doc.md": DOC,
        "big.md": BIG,
        "edge.md": EDGE,
        "large.md": TOO_LARGE,
        "docs/index.md": b"# Index\n",
        "docs/README.md": b"# Readme\n",
        "withhtml/index.html": b"<p>html wins</p>",
        "withhtml/index.md": b"# not this\n",
        "x&<b>'\".md": b"t\n",
        "zipped.md": b"# plain\n",
        "zipped.md.gz": gzip.compress(b"# from the gz variant\n", mtime=0),
        "zipped.md.br": b"\x8bpretend-brotli",
    }
    files.update(HOSTILE)
    return files


def build_root():
    root = tempfile.mkdtemp(prefix="qn-md-")
    for name, data in site_files().items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    # The compressed variants are newer than the text.
    now = time.time()
    os.utime(os.path.join(root, "zipped.md"), (now - 100, now - 100))
    return root


class Answer:
    def __init__(self, head, body, chunk_sizes):
        self.head = head
        lines = head.decode("latin-1").split("\r\n")
        self.status = int(lines[0].split(" ")[1])
        self.lines = lines
        self.headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(": ")
            self.headers[name.lower()] = value
        self.body = body
        self.chunk_sizes = chunk_sizes


class Reader:
    """Reads answers one after another from one connection; chunked bodies
    are taken apart strictly (lower-case hex without leading zeros)."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def _fill(self):
        b = self.sock.recv(1 << 18)
        if not b:
            raise EOFError("connection closed")
        self.buf += b

    def _take(self, n):
        while len(self.buf) < n:
            self._fill()
        data = bytes(self.buf[:n])
        del self.buf[:n]
        return data

    def _line(self):
        while b"\r\n" not in self.buf:
            if len(self.buf) > 64:
                raise AssertionError("chunk size line too long")
            self._fill()
        i = self.buf.index(b"\r\n")
        line = bytes(self.buf[:i])
        del self.buf[:i + 2]
        return line

    def answer(self, head_only=False):
        while b"\r\n\r\n" not in self.buf:
            self._fill()
        i = self.buf.index(b"\r\n\r\n")
        head = bytes(self.buf[:i])
        del self.buf[:i + 4]
        a = Answer(head, b"", [])
        if head_only:
            return a
        if a.headers.get("transfer-encoding") == "chunked":
            body = bytearray()
            while True:
                line = self._line()
                if not line or any(c not in b"0123456789abcdef" for c in line) or \
                        (line.startswith(b"0") and line != b"0"):
                    raise AssertionError("bad chunk size line %r" % line)
                size = int(line, 16)
                if size == 0:
                    if self._take(2) != b"\r\n":
                        raise AssertionError("no empty line after the last chunk")
                    break
                a.chunk_sizes.append(size)
                body += self._take(size)
                if self._take(2) != b"\r\n":
                    raise AssertionError("chunk data not followed by CR LF")
            a.body = bytes(body)
        else:
            a.body = self._take(int(a.headers["content-length"]))
        return a


def request(path, method="GET", headers=(), keep=False):
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: t"]
    if keep:
        lines.append("Connection: keep-alive")
    lines += list(headers)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


class MarkdownCase(unittest.TestCase):
    extra = "view_md=1\r\n"

    @classmethod
    def setUpClass(cls):
        cls.root = build_root()
        port = free_port()
        cls.srv = Server(ini=settings(port, root=cls.root, extra=cls.extra), port=port)
        cls.srv.wait_listening()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        cls.srv.close()
        shutil.rmtree(cls.root, ignore_errors=True)

    def get(self, path, method="GET", headers=(), timeout=20):
        with self.srv.connect(timeout=timeout) as s:
            s.sendall(request(path, method, headers))
            return Reader(s).answer(head_only=method == "HEAD")


class View(MarkdownCase):
    def test_view_renders_one_answer(self):
        for path in ("/doc.md?view", "/doc.md?view&x", "/doc.md?view&download"):
            with self.subTest(path):
                a = self.get(path)
                self.assertEqual(a.status, 200)
                self.assertEqual(a.headers["content-type"], "text/html; charset=utf-8")
                self.assertEqual(a.headers["accept-ranges"], "bytes")
                self.assertEqual(int(a.headers["content-length"]), len(DOC_PAGE))
                self.assertNotIn("transfer-encoding", a.headers)
                self.assertEqual(a.body, DOC_PAGE)

    def test_without_view_the_file_goes_out_as_it_is(self):
        for path, ctype in (("/doc.md", "text/markdown"), ("/doc.md?download", "application/octet-stream"),
                            ("/doc.md?viewer", "text/markdown"), ("/doc.md?x&view", "text/markdown")):
            with self.subTest(path):
                a = self.get(path)
                self.assertEqual((a.status, a.headers["content-type"], a.body), (200, ctype, DOC))

    def test_index_md_stands_in_for_an_index_page(self):
        a = self.get("/docs/")
        self.assertEqual(a.headers["content-type"], "text/html; charset=utf-8")
        self.assertEqual(a.body, HEAD + b"<title>index.md</title></head><body class=\"qn_md\"><md>"
                         b"<h1>\nIndex\n</h1>\n" + END)
        # an index.html comes first
        self.assertEqual(self.get("/withhtml/").body, b"<p>html wins</p>")
        # the debug query names the debug script first
        a = self.get("/docs/?dbg")
        self.assertTrue(a.body.startswith(b"<!DOCTYPE html><html><head><script type=\"text/javascript\" "
                                          b"src=\"/quillnest/lib-debug.js\"></script><link "))

    def test_head_gets_the_length_of_the_page(self):
        a = self.get("/doc.md?view", "HEAD")
        self.assertEqual(a.status, 200)
        self.assertEqual(int(a.headers["content-length"]), len(DOC_PAGE))
        a = self.get("/big.md?view", "HEAD")
        self.assertEqual(a.headers["transfer-encoding"], "chunked")
        self.assertNotIn("content-length", a.headers)

    def test_head_sends_no_body(self):
        for path in ("/doc.md?view", "/big.md?view"):
            with self.subTest(path), self.srv.connect(timeout=10) as s:
                s.sendall(request(path, "HEAD"))
                data, how = recv_all(s)
                self.assertEqual(how, "closed")
                self.assertTrue(data.endswith(b"\r\n\r\n"))
                self.assertEqual(data.count(b"\r\n\r\n"), 1)

    def test_ranges_on_a_one_answer_page(self):
        cases = [
            ("bytes=0-99", 206, "bytes 0-99/%d" % len(DOC_PAGE), DOC_PAGE[:100]),
            ("bytes=100-", 206, "bytes 100-%d/%d" % (len(DOC_PAGE) - 1, len(DOC_PAGE)), DOC_PAGE[100:]),
            ("bytes=99999-", 416, "bytes 0-%d/%d" % (len(DOC_PAGE) - 1, len(DOC_PAGE)), DOC_PAGE),
        ]
        for value, status, content_range, body in cases:
            with self.subTest(value):
                a = self.get("/doc.md?view", headers=["Range: " + value])
                self.assertEqual(a.status, status)
                self.assertEqual(a.headers["content-range"], content_range)
                self.assertEqual(a.body, body)
        # a chunked page takes no range
        a = self.get("/big.md?view", headers=["Range: bytes=0-9"])
        self.assertEqual(a.status, 200)
        self.assertNotIn("content-range", a.headers)

    def test_large_page_is_chunked_and_the_connection_kept(self):
        with self.srv.connect(timeout=20) as s:
            rd = Reader(s)
            s.sendall(request("/big.md?view", keep=True))
            a = rd.answer()
            self.assertEqual(a.headers["transfer-encoding"], "chunked")
            self.assertEqual(a.headers["connection"], "keep-alive")
            self.assertGreater(len(a.chunk_sizes), 1)
            self.assertTrue(a.body.startswith(HEAD + b"<title>big.md</title>"))
            self.assertTrue(a.body.endswith(b"</tbody></table>\n" + END))
            self.assertEqual(a.body.count(b"<tr class="), 3501)
            self.assertEqual(a.body.count(b"<code>1&lt;2</code>"), 3500)
            # the same connection answers the next requests, pipelined
            s.sendall(request("/big.md?view", "HEAD", keep=True) + request("/doc.md?view", keep=True))
            rd.answer(head_only=True)
            self.assertEqual(rd.answer().body, DOC_PAGE)

    def test_size_limit_of_the_view(self):
        a = self.get("/edge.md?view")
        self.assertEqual(a.headers["content-type"], "text/html; charset=utf-8")
        self.assertEqual(a.body.count(b"<img "), LIMIT // 8)
        a = self.get("/large.md?view")
        self.assertEqual((a.headers["content-type"], a.body), ("text/markdown", TOO_LARGE))

    def test_compressed_variants_are_not_rendered(self):
        a = self.get("/zipped.md?view", headers=["Accept-Encoding: gzip, br"])
        self.assertNotIn("content-encoding", a.headers)
        self.assertIn(b"<h1>\nplain\n</h1>\n", a.body)

    def test_file_name_is_escaped_in_the_title(self):
        a = self.get("/" + urllib.parse.quote("x&<b>'\".md") + "?view")
        self.assertIn(b"<title>x&amp;&lt;b&gt;&#39;&quot;.md</title>", a.body)

    def test_request_without_version_gets_the_page_alone(self):
        with self.srv.connect(timeout=10) as s:
            s.sendall(b"GET /doc.md?view\r\n")
            data, how = recv_all(s)
        self.assertEqual(how, "closed")
        self.assertEqual(data, DOC_PAGE)

    def test_hostile_files_get_complete_pages(self):
        for name in sorted(HOSTILE):
            with self.subTest(name):
                start = time.monotonic()
                a = self.get("/" + name + "?view", timeout=20)
                self.assertLess(time.monotonic() - start, 20)
                self.assertEqual(a.status, 200)
                self.assertTrue(a.body.startswith(HEAD), a.body[:100])
                self.assertTrue(a.body.endswith(END), a.body[-100:])
        # and the server still answers
        self.assertEqual(self.get("/doc.md?view").body, DOC_PAGE)


class ViewWithVariants(MarkdownCase):
    extra = "view_md=1\r\nmin_gz=1\r\n"

    def test_view_renders_the_text_not_a_newer_variant(self):
        for accept in ("gzip", "br", "gzip, br"):
            with self.subTest(accept):
                a = self.get("/zipped.md?view", headers=["Accept-Encoding: " + accept])
                self.assertNotIn("content-encoding", a.headers)
                self.assertEqual(a.headers["content-type"], "text/html; charset=utf-8")
                self.assertIn(b"<h1>\nplain\n</h1>\n", a.body)
        # without the view the variant is what it is
        a = self.get("/zipped.md", headers=["Accept-Encoding: gzip"])
        self.assertEqual(a.headers["content-encoding"], "gzip")
        self.assertEqual(gzip.decompress(a.body), b"# from the gz variant\n")


class ViewOff(MarkdownCase):
    extra = ""

    def test_markdown_goes_out_as_it_is(self):
        a = self.get("/doc.md?view")
        self.assertEqual((a.headers["content-type"], a.body), ("text/markdown", DOC))
        # no index.md stands in without the view
        self.assertEqual(self.get("/docs/").status, 404)


if __name__ == "__main__":
    unittest.main()
