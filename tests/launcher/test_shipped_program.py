"""The program that ships: the 32-bit QuilloSetup.exe, checked without
running it. On a machine that cannot execute 32-bit code, where the suite runs
the 64-bit test build, this is what the shipped file gets; elsewhere it runs
beside the suite's runs of that same file.
"""
import hashlib
import os
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402

XP_IMPORTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'xp_imports.txt')


def imports(path):
    """The functions a PE file imports, as "dll!name" in lower-case DLL names."""
    out = subprocess.run(['i686-w64-mingw32-objdump', '-p', path], check=True,
                         capture_output=True, text=True).stdout
    found, dll = set(), None
    for line in out.splitlines():
        if 'DLL Name:' in line:
            dll = line.split('DLL Name:')[1].strip().lower()
        elif dll and line.startswith('\t') and len(line.split()) == 3 and line.split()[1].isdigit():
            found.add('%s!%s' % (dll, line.split()[2]))
    return found


def authenticode_sha256(data):
    """The SHA-256 Authenticode digest of a PE32 file whose certificate table
    ends it: everything before the table but the CheckSum and the certificate
    table's directory entry."""
    nt = struct.unpack_from('<I', data, 0x3C)[0]
    table = struct.unpack_from('<I', data, nt + 0x98)[0]
    return hashlib.sha256(data[:nt + 0x58] + data[nt + 0x5C:nt + 0x98]
                          + data[nt + 0xA0:table]).hexdigest().upper()


class ShippedProgramTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.path = harness.SHIPPED_LAUNCHER
        with open(cls.path, 'rb') as f:
            cls.data = f.read()
        cls.nt = struct.unpack_from('<I', cls.data, 0x3C)[0]

    def field(self, fmt, offset):
        return struct.unpack_from(fmt, self.data, self.nt + offset)[0]

    def test_a_pe32_gui_program_for_windows_xp(self):
        self.assertEqual(self.data[self.nt:self.nt + 4], b'PE\0\0')
        self.assertEqual(self.field('<H', 0x04), 0x14C)  # i386
        self.assertEqual(self.field('<H', 0x18), 0x10B)  # PE32
        self.assertEqual((self.field('<H', 0x48), self.field('<H', 0x4A)), (5, 1))
        self.assertEqual(self.field('<H', 0x5C), 2)  # Windows GUI

    def test_imports_only_what_windows_xp_has(self):
        with open(XP_IMPORTS) as f:
            allowed = {line.strip() for line in f if line.strip() and not line.startswith('#')}
        found = imports(self.path)
        self.assertIn('kernel32.dll!CreateFileW', found)  # the reading works
        self.assertEqual(sorted(found - allowed), [],
                         'imports not checked against Windows XP (see %s)' % XP_IMPORTS)

    def test_size_within_budget(self):
        self.assertLessEqual(len(self.data), harness.LAUNCHER_SIZE_BUDGET)

    def test_signed_and_stamped_copy_keeps_its_signature_and_key(self):
        folder = harness.temp_folder(self)
        signed = harness.sign(self.path, os.path.join(folder, 'signed.exe'))
        verify = subprocess.run(['osslsigncode', 'verify', '-CAfile',
                                 os.path.join(harness.CERTS, 'ca.crt'), '-in', signed],
                                capture_output=True, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        digest = [line.split(':')[1].strip() for line in verify.stdout.splitlines()
                  if line.startswith('Current message digest')]
        self.assertEqual(digest, [authenticode_sha256(open(signed, 'rb').read())])
        stamped = harness.stamp(signed, os.path.join(folder, 'stamped.exe'), harness.KEY)
        # osslsigncode takes the key trailer for a corrupt table, so the
        # stamped copy is held to the digest it verified: stamping touches
        # nothing that the signature covers.
        with open(stamped, 'rb') as f:
            self.assertEqual(authenticode_sha256(f.read()), digest[0])
        read = subprocess.run([harness.STAMPKEY, '--read', stamped], capture_output=True,
                              text=True)
        self.assertEqual((read.returncode, read.stdout.strip()), (0, harness.KEY))


if __name__ == '__main__':
    unittest.main(verbosity=2)
