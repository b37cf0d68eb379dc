"""Self-test of the local test service (plain Python clients, no Wine)."""

import http.client
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from client import Service  # noqa: E402

MAKE_CERTS = os.path.join(HERE, "..", "fixtures", "make_certs.sh")
SMALL = bytes(i * 7 % 251 for i in range(1000))
BIG_SIZE = 3 * 1024 * 1024 + 17


class ServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="service-test-")
        certs = os.path.join(cls.tmp.name, "certs")
        root = os.path.join(cls.tmp.name, "root")
        subprocess.run(["sh", MAKE_CERTS, certs], check=True)
        os.mkdir(root)
        with open(os.path.join(root, "small.bin"), "wb") as f:
            f.write(SMALL)
        with open(os.path.join(root, "big.bin"), "wb") as f:
            f.write(os.urandom(BIG_SIZE))
        with open(os.path.join(root, "big.bin"), "rb") as f:
            cls.big = f.read()
        cls.tls = ssl.create_default_context(cafile=os.path.join(certs, "ca.crt"))
        cls.svc = Service().start(root, certs)

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.svc.reset()

    def raw(self, path, headers="", https=False, close=True):
        """One request on a fresh socket, read to EOF: (status, headers, body), None if no answer."""
        sock = socket.create_connection(("127.0.0.1", self.svc.https_port if https else self.svc.http_port))
        if https:
            sock = self.tls.wrap_socket(sock, server_hostname="localhost")
        sock.settimeout(10)
        conn = "Connection: close\r\n" if close else ""
        sock.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\n%s%s\r\n" % (path, conn, headers)).encode())
        data = b""
        while True:
            try:
                part = sock.recv(65536)
            except (ConnectionResetError, ssl.SSLEOFError):
                break
            if not part:
                break
            data += part
        sock.close()
        if not data:
            return None
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        fields = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            fields[name.lower()] = value[1:] if value.startswith(" ") else value
        return int(lines[0].split()[1]), fields, body

    def fault(self, *faults, path="/files/small.bin"):
        self.svc.set_faults(path, list(faults))

    def test_plain_and_ranged_gets_keep_alive(self):
        for https in (False, True):
            if https:
                conn = http.client.HTTPSConnection("localhost", self.svc.https_port, context=self.tls)
            else:
                conn = http.client.HTTPConnection("127.0.0.1", self.svc.http_port)
            cases = [(None, 200, SMALL, None), ("bytes=100-199", 206, SMALL[100:200], "bytes 100-199/1000"),
                     ("bytes=990-", 206, SMALL[990:], "bytes 990-999/1000"),
                     ("bytes=-5", 206, SMALL[995:], "bytes 995-999/1000"),
                     ("bytes=5-99999", 206, SMALL[5:], "bytes 5-999/1000"),
                     ("bytes=1000-", 416, b"", "bytes */1000")]
            for rng, status, body, content_range in cases:
                conn.request("GET", "/files/small.bin", headers={"Range": rng} if rng else {})
                resp = conn.getresponse()
                self.assertEqual((resp.status, resp.read()), (status, body))
                self.assertEqual(resp.getheader("Content-Length"), str(len(body)))
                self.assertEqual(resp.getheader("Content-Range"), content_range)
            conn.close()
        entries = self.svc.log()
        self.assertEqual(len(entries), 12)
        self.assertEqual({e["scheme"] for e in entries}, {"http", "https"})
        self.assertEqual(entries[1]["range"], "bytes=100-199")
        self.assertEqual(self.svc.bytes_sent("/files/small.bin"), 2 * (1000 + 100 + 10 + 5 + 995))

    def test_big_file_range(self):
        status, fields, body = self.raw("/files/big.bin", "Range: bytes=1048576-\r\n", https=True)
        self.assertEqual(status, 206)
        self.assertEqual(fields["content-range"], "bytes 1048576-%d/%d" % (BIG_SIZE - 1, BIG_SIZE))
        self.assertEqual(body, self.big[1048576:])

    def test_missing_file_and_fifo_queue(self):
        self.assertEqual(self.raw("/files/nope.bin")[0], 404)
        self.assertEqual(self.raw("/files/../service.py")[0], 404)
        self.fault({"type": "status", "status": 503}, [{"type": "status", "status": 500}, {"type": "delay", "ms": 1}],
                   {"type": "status", "status": 502, "repeat": 2})
        self.assertEqual([self.raw("/files/small.bin?x=1")[0] for _ in range(5)], [503, 500, 502, 502, 200])
        self.assertEqual(self.svc.log()[2]["query"], "x=1")

    def test_drop(self):
        self.fault({"type": "drop", "after": 100}, {"type": "drop", "after": 0}, {"type": "drop", "after": 300})
        status, fields, body = self.raw("/files/small.bin", close=False)
        self.assertEqual((status, fields["content-length"], body), (200, "1000", SMALL[:100]))
        self.assertEqual(self.raw("/files/small.bin", close=False)[2], b"")
        status, _, body = self.raw("/files/small.bin", "Range: bytes=200-\r\n", https=True, close=False)
        self.assertEqual((status, body), (206, SMALL[200:500]))
        self.assertEqual([e["body_sent"] for e in self.svc.log()], [100, 0, 300])

    def test_ignore_range_and_close(self):
        self.fault({"type": "ignore_range"}, {"type": "close"})
        status, fields, body = self.raw("/files/small.bin", "Range: bytes=10-19\r\n")
        self.assertEqual((status, body, fields.get("content-range")), (200, SMALL, None))
        self.assertIsNone(self.raw("/files/small.bin"))

    def test_content_range_faults(self):
        expect = {"star": "bytes 10-19/*", "first": "bytes 11-19/1000", "last": "bytes 10-18/1000",
                  "inverted": "bytes 20-19/1000", "total": "bytes 10-19/19"}
        self.fault(*({"type": "content_range", "which": w} for w in expect),
                   {"type": "content_range", "value": "bytes 1-2/3"})
        for text in list(expect.values()) + ["bytes 1-2/3"]:
            status, fields, body = self.raw("/files/small.bin", "Range: bytes=10-19\r\n")
            self.assertEqual((status, fields["content-range"], body), (206, text, SMALL[10:20]))

    def test_content_length_faults(self):
        self.fault({"type": "content_length", "delta": 10}, {"type": "content_length", "value": "abc"},
                   {"type": "no_content_length"}, {"type": "close_after"})
        for expected in ("1010", "abc", None, "1000"):
            status, fields, body = self.raw("/files/small.bin", close=False)
            self.assertEqual((fields.get("content-length"), body), (expected, SMALL))

    def test_long_headers(self):
        self.fault({"type": "long_header", "header": "content-length"},
                   {"type": "long_header", "header": "content-range"},
                   {"type": "long_header", "header": "content-range", "style": "spaces", "pad": 260})
        _, fields, body = self.raw("/files/small.bin")
        self.assertEqual((len(fields["content-length"]), int(fields["content-length"]), body), (304, 1000, SMALL))
        _, fields, _ = self.raw("/files/small.bin", "Range: bytes=0-9\r\n")
        self.assertEqual(fields["content-range"], "bytes " + "0" * 300 + "0-9/1000")
        raw_value = self.raw("/files/small.bin", "Range: bytes=0-9\r\n")[1]["content-range"]
        self.assertTrue(raw_value.startswith("bytes 0-9/1000 ") and len(raw_value) > 259)

    def test_trickle(self):
        self.fault({"type": "trickle", "bytes": 10, "ms": 50})
        started = time.monotonic()
        status, _, body = self.raw("/files/small.bin", "Range: bytes=0-49\r\n")
        self.assertEqual((status, body), (206, SMALL[:50]))
        self.assertGreaterEqual(time.monotonic() - started, 0.2)

    def test_status_with_body(self):
        self.fault({"type": "status", "status": 404, "body": "gone"}, {"type": "status", "status": 500},
                   {"type": "headers", "set": {"X-Test": "1"}, "remove": ["Accept-Ranges"]})
        self.assertEqual(self.raw("/files/small.bin")[::2], (404, b"gone"))
        self.assertEqual(self.raw("/files/small.bin")[::2], (500, SMALL))
        _, fields, _ = self.raw("/files/small.bin")
        self.assertEqual((fields.get("x-test"), fields.get("accept-ranges")), ("1", None))

    def test_getinstaller(self):
        self.assertEqual(self.raw("/getinstaller?key=AB&version=1")[::2], (200, b"GOTO:https://localhost/none"))
        self.svc.set_response("/getinstaller", 500, "GET:https://localhost/files/a.exe")
        self.fault({"type": "respond", "status": 201, "body": "once"}, path="/getinstaller")
        self.assertEqual(self.raw("/getinstaller", https=True)[::2], (201, b"once"))
        self.assertEqual(self.raw("/getinstaller", "User-Agent: probe/1\r\n")[::2],
                         (500, b"GET:https://localhost/files/a.exe"))
        entries = self.svc.log()
        self.assertEqual((entries[0]["query"], entries[2]["user_agent"]), ("key=AB&version=1", "probe/1"))
        self.svc.reset_log()
        self.assertEqual(self.svc.log(), [])


if __name__ == "__main__":
    unittest.main()
