"""scripts/release before any build: a usage error says only that, every
problem of the input is named in one run, the build shows progress, and
counts read as English. Nothing here builds the launcher."""
import io
import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, 'scripts'))
import progress  # noqa: E402
import release  # noqa: E402

KEY = '0123456789abcdef0123456789abcdef01234567'


class InputTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.certs = os.path.join(cls.tmp.name, 'certs')
        subprocess.run(['sh', os.path.join(SOURCE, 'tests', 'fixtures', 'make_certs.sh'),
                        cls.certs], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_a_usage_error_prints_usage_and_error_only(self):
        run = subprocess.run(['sh', os.path.join(SOURCE, 'scripts', 'release'), '--keys', 'k'],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual((run.returncode, run.stdout), (2, ''))
        lines = run.stderr.splitlines()
        self.assertTrue(lines[0].startswith('usage: scripts/release '), run.stderr)
        self.assertTrue(lines[-1].startswith('scripts/release: error: '), run.stderr)
        self.assertTrue(all(line.startswith(' ') for line in lines[1:-1]), run.stderr)

    def test_every_problem_of_the_input_is_named_in_one_run(self):
        folder = tempfile.mkdtemp(dir=self.tmp.name)
        keys = os.path.join(folder, 'keys.txt')
        with open(keys, 'w') as f:
            f.write('%s\nnot-a-key\n%s\n' % (KEY, KEY))
        out = os.path.join(folder, 'out')
        os.mkdir(out)
        open(os.path.join(out, 'old.txt'), 'w').close()
        build = os.path.join(folder, 'build')
        before = sorted(os.listdir(folder))
        run = subprocess.run(
            [sys.executable, os.path.join(SOURCE, 'scripts', 'release.py'), '--host', 'h.example',
             '--keys', keys, '--out', out, '--build-dir', build,
             '--cert', os.path.join(self.certs, 'signer-chain.pem'),
             '--key', os.path.join(self.certs, 'foreign.key'),
             '--trust-root', os.path.join(folder, 'missing-ca.crt')],
            capture_output=True, text=True, timeout=120)
        self.assertEqual((run.returncode, run.stdout), (1, ''), run.stderr)
        self.assertIn('release refused, nothing written: 5 problems of the input:', run.stderr)
        for problem in ('missing-ca.crt is not a file', 'output folder %s is not empty' % out,
                        'line 2: invalid key', 'line 3: duplicate key %s (first on line 1)' % KEY,
                        'certificate does not match the private key'):
            self.assertIn(problem, run.stderr)
        self.assertEqual(sorted(os.listdir(folder)), before)  # no build folder either


class ProgressTest(unittest.TestCase):
    def test_a_long_quiet_build_says_how_far_it_is_without_flooding(self):
        # 500 lines at once, then a quiet second: a line per period, not per line.
        script = ('i=0; while [ $i -lt 500 ]; do echo "[ 37%] Building CXX object x$i.o"; '
                  'i=$((i+1)); done; echo "Built target verifysig"; sleep 1')
        out = io.StringIO()
        progress.run(['sh', '-c', script], 'building', every=0.25, out=out)
        lines = out.getvalue().splitlines()
        self.assertTrue(2 <= len(lines) <= 5, lines)
        self.assertRegex(lines[-1], r'^still building: \d+ s, 37 %, 1 target built '
                                    r'\(last verifysig\)$')

    def test_a_failed_build_gives_the_tail_of_its_output(self):
        with self.assertRaises(progress.Failed) as failure:
            progress.run(['sh', '-c', 'echo compiling; echo "x.cpp:1: error: no" >&2; exit 3'],
                         'building', out=io.StringIO())
        self.assertIn('exit 3', str(failure.exception))
        self.assertIn('x.cpp:1: error: no', str(failure.exception))

    def test_counts_read_as_english(self):
        self.assertEqual(release.counted(1, 'copy', 'copies'), '1 copy')
        self.assertEqual(release.counted(2, 'copy', 'copies'), '2 copies')
        state = {'at': 'step 3 of 80', 'targets': 2, 'last': 'base'}
        self.assertEqual(progress.still('building', 61, state),
                         'still building: 61 s, step 3 of 80, 2 targets built (last base)')


if __name__ == '__main__':
    unittest.main()
