"""The bundle key as the launcher reads it from its own certificate table,
run as real silent processes under Wine. The service answers every
instruction request with a "GOTO:" page, so a silent run that found its key
ends with code 147 and the key, escaped, in its report."""
import os
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from client import Service  # noqa: E402

BEGIN = b'>>key_begin|'
END = b'|key_end<<'


def with_table_tail(image, tail):
    """The signed image with tail appended inside its certificate table (the
    directory size grows; the signature entry's own length stays)."""
    data = bytearray(image)
    entry = harness.security_entry(data)
    offset, size = struct.unpack_from('<II', data, entry)
    assert offset + size == len(data)
    data += tail + bytes(-len(tail) % 8)
    struct.pack_into('<I', data, entry + 4, size + len(tail) + (-len(tail) % 8))
    return bytes(data)


def escaped(text):
    return ''.join(c if c.isascii() and c.isalnum() else '%%%02X' % ord(c) for c in text)


class BundleKeyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = Service().start(os.path.join(harness.BUILD, 'tmp'), harness.ensure_certs(),
                                      https_port=harness.SERVICE_PORT)
        cls.service.set_response('/getinstaller', 200, 'GOTO:https://example.invalid/p')

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()

    def setUp(self):
        self.folder = harness.temp_folder(self)
        self.signed = harness.sign(harness.program('QuilloSetupLocal.exe'),
                                   os.path.join(self.folder, 'signed.exe'))
        with open(self.signed, 'rb') as f:
            self.image = f.read()

    def report_of(self, image):
        exe = os.path.join(self.folder, 'QuilloSetup.exe')
        with open(exe, 'wb') as f:
            f.write(image)
        report = os.path.join(self.folder, 'r.txt')
        if os.path.exists(report):
            os.remove(report)
        code = harness.run_exit('"%s" /silent "%s"' % (harness.winpath(exe),
                                                       harness.winpath(report)))
        with open(report, 'rb') as f:
            return code, f.read()

    def assert_key_found(self, image, key):
        code, report = self.report_of(image)
        self.assertEqual(code, 0x80004005)
        page = 'https://example.invalid/p?key=' + escaped(key)
        self.assertEqual(report.decode(), 'Failed - Please run in non-silent mode or go to %s for '
                         'more information - 147\r\n' % page)

    def assert_refused(self, image, line):
        code, report = self.report_of(image)
        self.assertEqual(code, 0x80004005)
        self.assertEqual(report, line.encode() + b'\r\n')

    def test_unsigned_and_keyless_launchers(self):
        with open(harness.program('QuilloSetupLocal.exe'), 'rb') as f:
            self.assert_refused(f.read(), 'Failed - 378')
        # The markers are in the program's own constant data, which is never
        # searched: only the certificate table is.
        self.assertIn(BEGIN, self.image)
        self.assert_refused(self.image, 'Failed - Could not find key - 420')

    def test_stamped_keys(self):
        stamped = harness.stamp(self.signed, os.path.join(self.folder, 'stamped.exe'), harness.KEY)
        with open(stamped, 'rb') as f:
            self.assert_key_found(f.read(), harness.KEY)
        long_key = ''.join(chr(0x21 + i % 94) for i in range(1023)).replace('"', 'q')
        self.assert_key_found(with_table_tail(self.image, BEGIN + long_key.encode() + END),
                              long_key)

    def test_malformed_trailers(self):
        cases = [
            (BEGIN + b'k' * 1024 + END, 'Failed - 429'),
            (BEGIN + END, 'Failed - 428'),
            (END + b'x' + BEGIN + b'key', 'Failed - 425'),
            (BEGIN + b'abc', 'Failed - 423'),
            (BEGIN + b'a"b' + END, 'Failed - Invalid key - 431'),
            (BEGIN + b'a b' + END, 'Failed - Invalid key - 431'),
            (BEGIN + b'abc\\' + END, 'Failed - Invalid key - 431'),
        ]
        for tail, line in cases:
            with self.subTest(line=line):
                self.assert_refused(with_table_tail(self.image, tail), line)

    def test_the_first_trailer_wins(self):
        tail = BEGIN + b'first' + END + BEGIN + b'second' + END
        self.assert_key_found(with_table_tail(self.image, tail), 'first')

    def test_stamped_launcher_keeps_a_valid_signature(self):
        stamped = harness.stamp(self.signed, os.path.join(self.folder, 'stamped.exe'), harness.KEY)
        out = subprocess.run([harness.WINE, harness.program('job_probe.exe'), 'verify',
                              harness.winpath(stamped)], env=harness.wine_env(),
                             capture_output=True, check=True)
        self.assertIn(b'signer=1', out.stdout)
        self.assertIn(b'signature=1', out.stdout)
        self.assertIn(b'status=0x00000000', out.stdout)


if __name__ == '__main__':
    unittest.main()
