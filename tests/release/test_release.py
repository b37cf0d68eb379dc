"""scripts/release with the test certificates, on this build's programs: a
good release checked from the outside (manifest, keys read back, signatures
verified by the launcher's checks), and every refusal leaving nothing
behind."""
import csv
import hashlib
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402

KEYS = ['%040x' % (0x1234567 * n) for n in (1, 2, 3)]


def build_host():
    with open(os.path.join(harness.BUILD, 'CMakeCache.txt')) as f:
        return next(line.split('=', 1)[1].strip() for line in f
                    if line.startswith('SERVICE_HOST:'))


def listing(folder):
    return sorted(os.path.relpath(os.path.join(d, n), folder)
                  for d, dirs, files in os.walk(folder) for n in dirs + files)


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = harness.ensure_certs()
        cls.host = build_host()

    def setUp(self):
        self.folder = harness.temp_folder(self)
        self.out = os.path.join(self.folder, 'out')
        open(os.path.join(self.folder, 'keys.txt'), 'w').close()

    def release(self, keys, signing=None, env=None, trust=True):
        key_file = os.path.join(self.folder, 'keys.txt')
        with open(key_file, 'w', newline='') as f:
            f.write(keys)
        c = self.certs
        signing = signing or ['--cert', os.path.join(c, 'signer-chain.pem'),
                              '--key', os.path.join(c, 'signer.key')]
        return subprocess.run(
            # The script itself, without scripts/release's package set-up.
            [sys.executable, os.path.join(harness.SOURCE, 'scripts', 'release.py'),
             '--host', self.host,
             '--build-dir', harness.BUILD, '--keys', key_file, '--out', self.out] + signing
            + (['--trust-root', os.path.join(c, 'ca.crt')] if trust else []),
            env=dict(os.environ, **(env or {})), capture_output=True, text=True, timeout=600)

    def test_good_release(self):
        run = self.release('%s\r\n\n%s\n%s' % tuple(KEYS))
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn('stamped 3 copies;', run.stdout)
        self.assertIn('3 signed, stamped and checked copies and manifest.csv', run.stdout)
        self.assertIn('the release checks ran on the ', run.stdout.splitlines()[-1])
        with open(os.path.join(self.out, 'manifest.csv'), newline='') as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0], ['key', 'file', 'size', 'sha256'])
        self.assertEqual([r[0] for r in rows[1:]], KEYS)
        self.assertEqual(sorted(os.listdir(self.out)),
                         sorted(['manifest.csv'] + [r[1] for r in rows[1:]]))
        self.assertEqual(sorted(os.listdir(self.folder)), ['keys.txt', 'out'])
        for key, name, size, digest in rows[1:]:
            path = os.path.join(self.out, name)
            with open(path, 'rb') as f:
                data = f.read()
            self.assertEqual((int(size), digest), (len(data), hashlib.sha256(data).hexdigest()))
            read = subprocess.run([harness.STAMPKEY, '--read', path], capture_output=True,
                                  text=True, check=True)
            self.assertEqual(read.stdout.strip(), key)
            # The test prefix trusts the test CA, as the release's prefix did.
            probe = subprocess.run([harness.WINE, harness.program('job_probe.exe'), 'verify',
                                    harness.winpath(path)], env=harness.wine_env(),
                                   capture_output=True, check=True)
            for line in (b'signer=1', b'signature=1', b'status=0x00000000'):
                self.assertIn(line, probe.stdout)

    def test_refusals_write_nothing(self):
        c = self.certs
        mismatched = ['--cert', os.path.join(c, 'signer-chain.pem'),
                      '--key', os.path.join(c, 'foreign.key')]
        # A sound certificate from the trusted CA with another name, handed
        # over as PKCS#12.
        p12 = os.path.join(self.folder, 'foreign.p12')
        subprocess.run(['openssl', 'pkcs12', '-export', '-in', os.path.join(c, 'foreign-chain.pem'),
                        '-inkey', os.path.join(c, 'foreign.key'), '-out', p12, '-passout',
                        'pass:secret'], check=True, capture_output=True)
        rejected = ['--pkcs12', p12, '--password-env', 'P12_PASSWORD']
        cases = [
            ('invalid key', '%s\n%s\n' % (KEYS[0], KEYS[1].upper()), None,
             'line 2: invalid key'),
            ('duplicate key', '%s\n%s\n%s\n' % (KEYS[0], KEYS[1], KEYS[0]), None,
             'line 3: duplicate key %s (first on line 1)' % KEYS[0]),
            ('mismatched key', KEYS[0], mismatched, 'certificate does not match the private key'),
            ('rejected signer', KEYS[0], rejected,
             'signer check failed: the signing certificate is "Someone Else" issued by '
             '"GlobalSign ObjectSign CA"; the launcher accepts only "Pellorand" issued by '
             '"GlobalSign ObjectSign CA"'),
            # Wine's WinVerifyTrust takes any root; osslsigncode does not.
            ('untrusted root', KEYS[0], None, 'osslsigncode does not accept the signature'),
            ('non-empty output', KEYS[0], None, 'output folder %s is not empty' % self.out),
        ]
        for name, keys, signing, message in cases:
            with self.subTest(name):
                shutil.rmtree(self.out, True)  # left by a release wrongly made
                if name == 'non-empty output':
                    os.mkdir(self.out)
                    open(os.path.join(self.out, 'old.txt'), 'w').close()
                before = listing(self.folder)
                run = self.release(keys, signing, {'P12_PASSWORD': 'secret'},
                                   trust=name != 'untrusted root')
                self.assertEqual(run.returncode, 1)
                self.assertIn('release refused, nothing written', run.stderr)
                self.assertIn(message, run.stderr)
                self.assertEqual(listing(self.folder), before)
                self.assertEqual(os.path.exists(self.out), name == 'non-empty output')


if __name__ == '__main__':
    unittest.main()
