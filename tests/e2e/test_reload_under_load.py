"""Reloads in the middle of heavy traffic: every answer stays complete and
correct while the settings (extra headers, mappings, filter) are replaced."""
import http.client
import os
import signal
import tempfile
import threading
import time
import unittest

from qnserver import Server, free_port

CLIENTS = 16
REQUESTS_PER_CLIENT = 150
RELOADS = 25


def settings_text(port, root, generation):
    return ("root=%s\r\nport=%d\r\n"
            "vdir=\r\n{\r\nalias|%s\r\n}\r\n"
            "ext=block\r\n{\r\nkey%d\r\n}\r\n"
            "headers=\r\n{\r\nX-Generation: %d\r\n}\r\n" % (root, port, root, generation, generation)
            ).encode("utf-8")


class ReloadUnderLoad(unittest.TestCase):
    def test_every_answer_is_complete_while_settings_reload(self):
        root = tempfile.mkdtemp(prefix="qn-reload-root-")
        files = {}
        for i, size in enumerate((10, 5000, 70000, 300000, 1200000)):
            name = "f%d.bin" % i
            data = bytes((j * 31 + i) & 0xFF for j in range(size))
            with open(os.path.join(root, name), "wb") as f:
                f.write(data)
            files[name] = data
        port = free_port()
        with Server(ini=settings_text(port, root, 1), port=port) as srv:
            srv.wait_listening()
            failures = []
            generations = set()
            done = [0]
            lock = threading.Lock()

            def client(k):
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                names = sorted(files)
                for n in range(REQUESTS_PER_CLIENT):
                    name = names[(k + n) % len(names)]
                    path = ("/alias/" if n % 3 == 0 else "/") + name
                    try:
                        conn.request("GET", path, headers={"Connection": "keep-alive"})
                        r = conn.getresponse()
                        body = r.read()
                        gen = r.getheader("X-Generation")
                    except (OSError, http.client.HTTPException) as e:
                        with lock:
                            failures.append("%s: %r" % (path, e))
                        conn.close()
                        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                        continue
                    with lock:
                        done[0] += 1
                        generations.add(gen)
                        if r.status != 200 or body != files[name]:
                            failures.append("%s: %d, %d bytes" % (path, r.status, len(body)))
                conn.close()

            threads = [threading.Thread(target=client, args=(k,)) for k in range(CLIENTS)]
            for t in threads:
                t.start()
            ini = os.path.join(srv.dir, "quillnest.ini")
            for g in range(RELOADS):
                with open(ini, "wb") as f:
                    f.write(settings_text(port, root, 2 + g))
                srv.signal(signal.SIGHUP)
                time.sleep(0.05)
            for t in threads:
                t.join(120)
            self.assertFalse(any(t.is_alive() for t in threads))
            self.assertEqual(failures, [])
            self.assertEqual(done[0], CLIENTS * REQUESTS_PER_CLIENT)
            self.assertGreater(len(generations), 1)
            self.assertTrue(all(g and g.isdigit() for g in generations), generations)
            self.assertEqual(srv.stop(), 0)
        for name in files:
            os.unlink(os.path.join(root, name))
        os.rmdir(root)


if __name__ == "__main__":
    unittest.main()
