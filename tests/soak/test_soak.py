"""A short fault soak in the suite; scripts/soak runs the long one."""
import os
import subprocess
import sys
import unittest


class ShortSoakTest(unittest.TestCase):
    def test_ten_broken_downloads(self):
        soak = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'soak.py')
        out = subprocess.run([sys.executable, soak, '--runs', '10'], capture_output=True,
                             text=True, timeout=1200)
        print(out.stdout)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)


if __name__ == '__main__':
    unittest.main()
