"""The Markdown view in a real browser: headless Chromium renders a page of
every construct from the real server, in the light and the dark scheme; the
computed colours must be the style sheet's, the images of the other scheme
hidden, and code shown as written. Screenshots go to screenshots/ in the
build folder (beside the binary) for a person to look at.
"""
import os
import shutil
import struct
import sys
import tempfile
import unittest
import zlib

from qnserver import BINARY, Server, free_port, settings

try:
    import selenium  # noqa: F401
except ImportError:
    # Debian's python3-selenium lives with the system interpreter's packages.
    sys.path.append("/usr/lib/python3/dist-packages")
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    webdriver = None

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")

PAGE = """# Every construct

A paragraph with *italic*, **bold**, `inline <code> & more`, a [link](other.md),
a bare address https://example.com/path and \\*escaped\\* stars.  
A line after a break.

![logo](logo-dark.png)![logo](logo-light.png)

---

## A table

| Name | Size | Note |
|:-----|-----:|:----:|
| a.md | 12 | *first* |
| b.md | 3 | second |
| c.md | 45 | third |

### Code

```c
#include <stdio.h>
#define LIMIT 16
int main(void) {
    if (a < b && c > d) printf("%d\\n", 0x1F + 2); // a comment
    return 0;
}
```

###### Small print
"""

# Colours of the style sheet by scheme, as getComputedStyle reports them.
LIGHT = {
    "keyword": "rgb(162, 76, 161)", "keyfunc": "rgb(50, 109, 116)", "keyprep": "rgb(100, 56, 32)",
    "comment": "rgb(110, 119, 129)", "number": "rgb(34, 52, 207)", "string": "rgb(163, 21, 21)",
    "symbol": "rgb(105, 90, 204)",
}
DARK = {
    "keyword": "rgb(239, 130, 176)", "keyfunc": "rgb(103, 183, 164)", "keyprep": "rgb(253, 143, 63)",
    "comment": "rgb(145, 136, 126)", "number": "rgb(215, 201, 134)", "string": "rgb(239, 135, 118)",
    "symbol": "rgb(218, 224, 180)",
}
SCHEME = {
    "light": {"body": "rgb(255, 255, 255)", "pre": "rgb(246, 248, 250)", "code": "rgb(232, 236, 239)",
              "a": "rgb(147, 112, 219)", "odd_row": "rgb(246, 248, 250)", "h6": "rgb(87, 96, 106)"},
    "dark": {"body": "rgb(41, 42, 47)", "pre": "rgb(9, 7, 5)", "code": "rgb(23, 19, 16)",
             "a": "rgb(147, 112, 219)", "odd_row": "rgb(32, 32, 32)", "h6": "rgb(168, 159, 149)"},
}


def png(width, height, rgb):
    """A PNG of one colour."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    row = b"\x00" + bytes(rgb) * width
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


@unittest.skipIf(webdriver is None or not CHROMIUM or not CHROMEDRIVER, "Selenium and Chromium are needed")
class MarkdownInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="qn-md-browser-")
        with open(os.path.join(cls.root, "page.md"), "w") as f:
            f.write(PAGE)
        with open(os.path.join(cls.root, "logo-dark.png"), "wb") as f:
            f.write(png(120, 40, (230, 120, 20)))
        with open(os.path.join(cls.root, "logo-light.png"), "wb") as f:
            f.write(png(120, 40, (20, 90, 230)))
        port = free_port()
        cls.srv = Server(ini=settings(port, root=cls.root, extra="view_md=1\r\n"), port=port)
        cls.srv.wait_listening()
        cls.shots = os.path.join(os.path.dirname(os.path.abspath(BINARY)), "screenshots")
        os.makedirs(cls.shots, exist_ok=True)
        cls.profile = tempfile.mkdtemp(prefix="qn-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + cls.profile, "--window-size=900,1400"):
            options.add_argument(flag)
        cls.browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        cls.browser.set_page_load_timeout(30)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.srv.stop()
        cls.srv.close()
        shutil.rmtree(cls.root, ignore_errors=True)
        shutil.rmtree(cls.profile, ignore_errors=True)

    def show(self, scheme):
        self.browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": scheme}]})
        self.browser.get("http://127.0.0.1:%d/page.md?view" % self.srv.port)

    def style(self, selector, prop):
        return self.browser.execute_script(
            "var e = document.querySelector(arguments[0]);"
            "return e ? getComputedStyle(e)[arguments[1]] : null;", selector, prop)

    def check_scheme(self, scheme, colours):
        self.show(scheme)
        self.browser.save_screenshot(os.path.join(self.shots, "markdown_%s.png" % scheme))
        self.assertEqual(self.browser.title, "page.md")
        for element, colour in colours.items():
            with self.subTest(scheme=scheme, element=element):
                self.assertEqual(self.style("md pre " + element, "color"), colour)
        expected = SCHEME[scheme]
        self.assertEqual(self.style("body", "backgroundColor"), expected["body"])
        self.assertEqual(self.style("md pre", "backgroundColor"), expected["pre"])
        self.assertEqual(self.style("md p code", "backgroundColor"), expected["code"])
        self.assertEqual(self.style("md p a", "color"), expected["a"])
        self.assertEqual(self.style("md tr.qn_o", "backgroundColor"), expected["odd_row"])
        self.assertEqual(self.style("md h6", "color"), expected["h6"])
        # only the image of this scheme is shown
        shown = self.browser.execute_script(
            "return Array.from(document.querySelectorAll('md img')).map("
            "function (i) { return [i.className, getComputedStyle(i).display, i.naturalWidth]; });")
        # (the browser may take either srcset entry: 1x or 2x)
        visible = [c for c, display, width in shown if display != "none" and width in (60, 120)]
        self.assertEqual(visible, [scheme])

    def test_light_and_dark(self):
        self.check_scheme("light", LIGHT)
        self.check_scheme("dark", DARK)

    def test_structure_and_code_as_written(self):
        self.show("light")
        find = self.browser.find_elements
        self.assertEqual(len(find(By.CSS_SELECTOR, "md h1")), 1)
        self.assertEqual(len(find(By.CSS_SELECTOR, "md tbody tr")), 3)
        cells = [c.text for c in find(By.CSS_SELECTOR, "md thead th")]
        self.assertEqual(cells, ["Name", "Size", "Note"])
        aligns = [self.browser.execute_script("return getComputedStyle(arguments[0]).textAlign;", c)
                  for c in find(By.CSS_SELECTOR, "md tbody tr:first-child td")]
        self.assertEqual(aligns, ["left", "right", "center"])
        code = find(By.CSS_SELECTOR, "md pre")[0].text
        self.assertIn("#include <stdio.h>", code)
        self.assertIn("if (a < b && c > d) printf(\"%d\\n\", 0x1F + 2); // a comment", code)
        self.assertIn("inline <code> & more", find(By.CSS_SELECTOR, "md p code")[0].text)
        self.assertEqual(find(By.CSS_SELECTOR, "md keyprep")[0].text, "#include")
        self.assertEqual(len(find(By.CSS_SELECTOR, "md br")), 1)
        links = [a.get_attribute("href") for a in find(By.CSS_SELECTOR, "md a")]
        self.assertIn("https://example.com/path", links)


if __name__ == "__main__":
    unittest.main()
