"""The install job end to end: the signed, stamped test launcher runs silently
under Wine against the local service over HTTPS, with a signed stand-in for
the main installer (fake_installer.exe). Each run is judged by the launcher's
whole exit code, the exact bytes of its report file, what the service was
asked, what the installer was given, and what is left in the temporary
folder and registered for removal at restart.

The job's building blocks that need files prepared on the host (links,
signed files) are driven through job_probe.exe.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from client import Service  # noqa: E402

KEY = harness.KEY
GUID = re.compile(r'[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\Z')
E_FAIL = 0x80004005
SESSION_MANAGER = '[System\\\\CurrentControlSet\\\\Control\\\\Session Manager]'
# Validly signed files whose signer or issuer name is a near miss of the
# expected one (see tests/fixtures/make_certs.sh): only an exact comparison
# turns them away.
NEAR_MISSES = tuple('near_%s_%s.exe' % (which, how) for which in ('signer', 'issuer')
                    for how in ('case', 'longer', 'shorter'))


def flip_code_byte(source, target):
    """A copy of a PE file with one byte of its first section changed, a byte
    that the Authenticode digest covers."""
    data = bytearray(open(source, 'rb').read())
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    optional_size = struct.unpack_from('<H', data, pe + 20)[0]
    first_section = pe + 24 + optional_size
    raw_offset = struct.unpack_from('<I', data, first_section + 20)[0]
    data[raw_offset + 0x10] ^= 0x01
    with open(target, 'wb') as f:
        f.write(data)
    return target


def probe(*args):
    """Runs job_probe.exe and returns its "name=value" lines as a dict."""
    out = subprocess.run([harness.WINE, harness.program('job_probe.exe')] + list(args),
                         env=harness.wine_env(), capture_output=True, timeout=120)
    values = {}
    for line in out.stdout.decode('utf-8', 'replace').splitlines():
        name, _, value = line.partition('=')
        values[name] = value.rstrip('\r')
    return values


def pending_file_renames():
    """PendingFileRenameOperations of the prefix, as a list of strings.

    Wine carries out (and clears) the pending operations whenever a new
    session of the prefix starts, which also happens for "wine reg query". So
    the value is read from the registry file that the session saves when it
    ends, before any Wine program runs again."""
    subprocess.run([harness.WINESERVER, '-w'], env=harness.wine_env(), timeout=120)
    path = os.path.join(harness.wine_env()['WINEPREFIX'], 'system.reg')
    with open(path, encoding='utf-8', errors='replace') as f:
        lines = f.read().split('\n')
    section = None
    for line in lines:
        if line.startswith('['):
            section = line.split(']')[0] + ']'
        elif section == SESSION_MANAGER and line.startswith('"PendingFileRenameOperations"='):
            text = line.split(':', 1)[1].strip()[1:-1]
            text = re.sub(r'\\(.)', lambda m: '\0' if m.group(1) == '0' else m.group(1), text)
            return text.split('\0')
    return []


class Run:
    """What one launcher run left behind."""

    def __init__(self, code, report, installer_log, new_folders):
        self.code = code
        self.report = report  # bytes, None when no report file was written
        self.installer_log = installer_log  # {"command": ..., "directory": ...} or None
        self.new_folders = new_folders  # working folders left in the temporary folder


class InstallJobTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.clock = time.monotonic()
        os.makedirs(os.path.join(harness.BUILD, 'tmp'), exist_ok=True)
        cls.folder = tempfile.mkdtemp(prefix='job-', dir=os.path.join(harness.BUILD, 'tmp'))
        cls.root = os.path.join(cls.folder, 'root')
        os.mkdir(cls.root)
        fake = harness.program('fake_installer.exe')
        for name in ('signer.exe', 'foreign.exe', 'foreign_issuer.exe') + NEAR_MISSES:
            harness.sign(fake, os.path.join(cls.root, name), name[:-len('.exe')])
        shutil.copy(fake, os.path.join(cls.root, 'unsigned.exe'))
        flip_code_byte(os.path.join(cls.root, 'signer.exe'), os.path.join(cls.root, 'flipped.exe'))
        cls.launcher = harness.signed_launcher(cls.folder)
        cls.svc = Service().start(cls.root, harness.ensure_certs(),
                                  https_port=harness.SERVICE_PORT)
        cls.temp_windows, cls.temp_host = harness.wine_temp_folder()
        cls.requests = []

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()
        shutil.rmtree(cls.folder, True)
        sys.stderr.write('install job end-to-end tests: %.1f s\n' % (time.monotonic() - cls.clock))

    def setUp(self):
        self.svc.reset()
        self.work = harness.temp_folder(self)

    # -- helpers -------------------------------------------------------------

    def url(self, name):
        return self.svc.url('/files/' + name)

    def working_folders(self):
        return {n for n in os.listdir(self.temp_host) if GUID.match(n)}

    def run_silent(self, response, status=200, env=None, with_report=True, launcher=None):
        self.svc.set_response('/getinstaller', status, response)
        before = self.working_folders()
        report = os.path.join(self.work, 'report.txt')
        installer_log = os.path.join(self.work, 'installer.log')
        for stale in (report, installer_log):  # from an earlier run of the same test
            if os.path.exists(stale):
                os.remove(stale)
        run_env = {'FAKE_INSTALLER_LOG': harness.winpath(installer_log)}
        run_env.update(env or {})
        command = '"%s" /silent' % (launcher or harness.winpath(self.launcher))
        if with_report:
            command += ' "%s"' % harness.winpath(report)
        code = harness.run_exit(command, env=run_env, cwd=self.work)
        new_folders = self.working_folders() - before
        for name in new_folders:
            self.addCleanup(shutil.rmtree, os.path.join(self.temp_host, name), True)
        self.requests.extend(e for e in self.svc.log() if e['path'] == '/getinstaller')
        logged = None
        if os.path.exists(installer_log):
            with open(installer_log, encoding='utf-8') as f:
                logged = dict(line.split('=', 1) for line in f.read().splitlines())
        data = None
        if os.path.exists(report):
            with open(report, 'rb') as f:
                data = f.read()
        return Run(code, data, logged, new_folders)

    def assert_left_behind(self, run, content):
        """The run failed after its download: the working folder and the
        installer file stay, both registered for removal at restart."""
        self.assertEqual(len(run.new_folders), 1)
        name = next(iter(run.new_folders))
        folder = os.path.join(self.temp_host, name)
        self.assertEqual(os.listdir(folder), ['Quillo.exe'])
        with open(os.path.join(folder, 'Quillo.exe'), 'rb') as f:
            self.assertEqual(f.read(), content)
        self.assert_registered_for_restart(name)
        self.assertIsNone(run.installer_log)  # it never ran

    def assert_registered_for_restart(self, name):
        folder = '\\??\\%s\\%s' % (self.temp_windows, name)
        entries = pending_file_renames()
        expected = [folder + '\\Quillo.exe', '', folder, '']
        self.assertIn(folder + '\\Quillo.exe', entries)
        at = entries.index(folder + '\\Quillo.exe')
        self.assertEqual(entries[at:at + 4], expected)

    def served(self, name):
        with open(os.path.join(self.root, name), 'rb') as f:
            return f.read()

    # -- successful runs -----------------------------------------------------

    def test_success_with_report(self):
        run = self.run_silent('GET:' + self.url('signer.exe'),
                              env={'FAKE_INSTALLER_REPORT': 'Installed Quillo 1.2\r\nall good\r\n',
                                   'FAKE_INSTALLER_LEAVE': '1'})
        self.assertEqual(run.code, 0)
        self.assertEqual(run.report, b'Installed Quillo 1.2\r\nall good\r\n')

        # The installer's command line and current directory.
        match = re.fullmatch(r'Quillo\.exe "(.*)" /silent "(.*)\\([^\\]*)\\report\.txt" '
                             r'/path "(.*)"', run.installer_log['command'])
        self.assertIsNotNone(match, run.installer_log['command'])
        key, temp, name, launcher_folder = match.groups()
        self.assertEqual(key, KEY)
        self.assertEqual(temp.lower(), self.temp_windows.lower())
        self.assertRegex(name, GUID)
        self.assertEqual(launcher_folder, harness.winpath(self.folder))
        self.assertEqual(run.installer_log['directory'], harness.winpath(self.work))

        # The working folder is gone, with what the installer left in it, but
        # was registered for removal at restart before anything ran.
        self.assertFalse(os.path.exists(os.path.join(self.temp_host, name)))
        self.assertEqual(run.new_folders, set())
        self.assert_registered_for_restart(name)

        # One instruction request, one plain download of the installer.
        log = self.svc.log()
        self.assertEqual([(e['path'], e['range']) for e in log],
                         [('/getinstaller', None), ('/files/signer.exe', None)])
        self.assertEqual(log[0]['scheme'], 'https')

    def test_success_without_report(self):
        run = self.run_silent('GET:' + self.url('signer.exe'))
        self.assertEqual(run.code, 0)
        self.assertEqual(run.report, b'Error reading report\r\n')
        self.assertEqual(run.new_folders, set())

    def test_launcher_in_a_drive_root(self):
        # The folder handed over is then the drive alone, without backslash.
        root_copy = os.path.join(harness.host_path('C:\\'), 'QuilloSetupJobTest.exe')
        shutil.copy(self.launcher, root_copy)
        self.addCleanup(os.remove, root_copy)
        run = self.run_silent('GET:' + self.url('signer.exe'),
                              launcher='C:\\QuilloSetupJobTest.exe')
        self.assertEqual(run.code, 0)
        self.assertTrue(run.installer_log['command'].endswith(' /path "C:"'),
                        run.installer_log['command'])

    def test_empty_report_counts_as_none(self):
        run = self.run_silent('GET:' + self.url('signer.exe'), env={'FAKE_INSTALLER_REPORT': ''})
        self.assertEqual(run.code, 0)
        self.assertEqual(run.report, b'Error reading report\r\n')

    def test_without_report_path_the_installer_still_gets_one(self):
        run = self.run_silent('GET:' + self.url('signer.exe'), with_report=False,
                              env={'FAKE_INSTALLER_EXIT': '1'})
        self.assertEqual(run.code, 0x80070001)
        self.assertIsNone(run.report)
        self.assertIn(' /silent "', run.installer_log['command'])

    def test_error_status_with_get_body_is_obeyed(self):
        run = self.run_silent('GET:' + self.url('signer.exe'), status=500,
                              env={'FAKE_INSTALLER_REPORT': 'done'})
        self.assertEqual(run.code, 0)
        self.assertEqual(run.report, b'done')

    def test_get_address_ending_in_line_break(self):
        # The address goes to the download with its CR LF; the URL splitting
        # drops them, so the service sees the plain path.
        run = self.run_silent('GET:' + self.url('signer.exe') + '\r\n',
                              env={'FAKE_INSTALLER_REPORT': 'ok'})
        self.assertEqual(run.code, 0)
        self.assertEqual(run.report, b'ok')
        self.assertIn('/files/signer.exe', [e['path'] for e in self.svc.log()])

    # -- the installer's exit code -------------------------------------------

    def test_nonzero_exit_code(self):
        # 1 becomes a Win32 HRESULT; an exit code that is an HRESULT passes.
        for exit_code, expected in (('1', 0x80070001), ('0x80070005', 0x80070005)):
            with self.subTest(exit_code=exit_code):
                run = self.run_silent('GET:' + self.url('signer.exe'),
                                      env={'FAKE_INSTALLER_EXIT': exit_code})
                self.assertEqual(run.code, expected)
                self.assertRegex(run.report, rb'\AFailed - The installer process returned an error'
                                             rb' - [^\r\n]+ - 265\r\n\Z')
                self.assertEqual(run.new_folders, set())

    def test_failing_installer_report_wins(self):
        run = self.run_silent('GET:' + self.url('signer.exe'),
                              env={'FAKE_INSTALLER_EXIT': '0x80004005',
                                   'FAKE_INSTALLER_REPORT': 'disk full\r\n'})
        self.assertEqual(run.code, E_FAIL)
        self.assertEqual(run.report, b'disk full\r\n')

    # -- verification --------------------------------------------------------

    def test_wrong_signer(self):
        # Unsigned, signed by someone else, by "Pellorand" from another CA, or
        # by a near miss of either name.
        for name in ('unsigned.exe', 'foreign.exe', 'foreign_issuer.exe') + NEAR_MISSES:
            with self.subTest(name=name):
                run = self.run_silent('GET:' + self.url(name))
                self.assertEqual(run.code, E_FAIL)
                self.assertEqual(run.report,
                                 b'Failed - Could not verify certificate information - 201\r\n')
                self.assert_left_behind(run, self.served(name))

    def test_flipped_byte(self):
        run = self.run_silent('GET:' + self.url('flipped.exe'))
        self.assertEqual(run.code, 0x80096010)
        # Wine's message table has no text for TRUST_E_BAD_DIGEST; Windows'
        # has.
        self.assertRegex(run.report,
                         rb'\AFailed - Could not verify signature(?: - [^\r\n]+)? - 206\r\n\Z')
        self.assert_left_behind(run, self.served('flipped.exe'))

    def test_verification_of_each_fixture(self):
        # The signer check tells the foreign files apart although their
        # signatures are valid; the signature check catches the changed byte.
        expected = {
            'signer.exe': ('1', '1', '0x00000000'),
            'foreign.exe': ('0', '1', '0x00000000'),
            'foreign_issuer.exe': ('0', '1', '0x00000000'),
            'unsigned.exe': ('0', '0', '0x800b0100'),
            'flipped.exe': ('1', '0', '0x80096010'),
        }
        expected.update((name, ('0', '1', '0x00000000')) for name in NEAR_MISSES)
        for name, (signer, signature, status) in expected.items():
            with self.subTest(name=name):
                out = probe('verify', harness.winpath(os.path.join(self.root, name)))
                self.assertEqual((out['signer'], out['signature'], out['status']),
                                 (signer, signature, status))

    def test_verified_installer_is_locked_until_it_runs(self):
        installer = shutil.copy(os.path.join(self.root, 'signer.exe'),
                                os.path.join(self.work, 'Quillo.exe'))
        other = shutil.copy(os.path.join(self.root, 'unsigned.exe'),
                            os.path.join(self.work, 'other.exe'))
        out = probe('lock', harness.winpath(installer), harness.winpath(other))
        self.assertEqual(out['locked'], '1')
        # Nobody can write, replace, rename or delete it...
        self.assertEqual(out['write_open_error'], '32')  # ERROR_SHARING_VIOLATION
        self.assertNotEqual(out['replace_error'], '0')
        self.assertNotEqual(out['rename_error'], '0')
        self.assertNotEqual(out['delete_error'], '0')
        # ...while the checks and the start, which only read, still work.
        self.assertEqual((out['signer'], out['signature'], out['status']), ('1', '1', '0x00000000'))
        self.assertEqual(out['started'], '1')
        self.assertEqual(out['exit'], '0x00000000')
        self.assertEqual(out['write_open_error_after'], '0')
        with open(installer, 'rb') as f:
            self.assertEqual(f.read(), self.served('signer.exe'))

    # -- instruction responses -----------------------------------------------

    def test_goto_in_silent_run(self):
        browser = harness.BrowserLog(self.work)
        run = self.run_silent('GOTO:https://localhost/page?x=1', env=browser.env())
        self.assertEqual(run.code, E_FAIL)
        self.assertEqual(run.report,
                         b'Failed - Please run in non-silent mode or go to '
                         b'https://localhost/page?x=1?key=' + KEY.encode() +
                         b' for more information - 147\r\n')
        self.assertEqual(browser.pages(), [])
        self.assertEqual(run.new_folders, set())

    def test_invalid_responses(self):
        browser = harness.BrowserLog(self.work)
        for body in ('get:' + self.url('signer.exe'), ' GET:' + self.url('signer.exe'), '',
                     'GOTO:file:///C:/windows/system32/notepad.exe', 'GOTO:',
                     'GOTO:calc.exe'):
            with self.subTest(body=body):
                run = self.run_silent(body, env=browser.env())
                self.assertEqual(run.code, E_FAIL)
                self.assertEqual(run.report, b'Failed - Invalid response - 155\r\n')
                self.assertEqual(run.new_folders, set())
                self.assertIsNone(run.installer_log)
        self.assertEqual(browser.pages(), [])

    def test_body_is_cut_at_zero_byte(self):
        # What follows the zero byte never reaches the address.
        run = self.run_silent(b'GET:' + self.url('signer.exe').encode() + b'\0/../unsigned.exe',
                              env={'FAKE_INSTALLER_REPORT': 'cut'})
        self.assertEqual(run.code, 0)
        self.assertEqual(run.report, b'cut')

    def test_empty_get_address(self):
        run = self.run_silent('GET:')
        self.assertRegex(run.report, rb'\AFailed - [^\r\n]* - 439\r\n\Z')
        self.assertTrue(run.code & 0x80000000)
        self.assertNotEqual(run.code, 0x80070001)
        self.assert_left_behind(run, b'')

    # -- the instruction request ---------------------------------------------

    def test_request_names_key_version_and_machine(self):
        self.run_silent('GOTO:https://localhost/one')
        self.run_silent('GOTO:https://localhost/two')
        machine = probe('machineid')
        self.assertEqual(machine['hr'], '0x00000000')
        self.assertRegex(machine['id'], r'\A[0-9A-F]{40}\Z')
        expected = 'key=%s&version=0%%2C1%%2C0%%2C220&id=%s' % (KEY, machine['id'])
        self.assertGreaterEqual(len(self.requests), 2)
        for entry in self.requests:
            self.assertEqual(entry['query'], expected)
            self.assertEqual(entry['method'], 'GET')
            self.assertEqual(entry['scheme'], 'https')


class FolderTreeTest(unittest.TestCase):
    """Links inside a working folder, made on the host as Unix symbolic
    links, which Wine presents as reparse points."""

    def setUp(self):
        self.work = harness.temp_folder(self)
        self.outside = os.path.join(self.work, 'outside')
        os.makedirs(os.path.join(self.outside, 'inner'))
        for name in ('keep.txt', os.path.join('inner', 'keep2.txt')):
            with open(os.path.join(self.outside, name), 'w') as f:
                f.write('must survive')

    def assert_outside_intact(self):
        for name in ('keep.txt', os.path.join('inner', 'keep2.txt')):
            with open(os.path.join(self.outside, name)) as f:
                self.assertEqual(f.read(), 'must survive')

    def test_link_inside_the_tree_is_not_followed(self):
        tree = os.path.join(self.work, 'tree')
        os.makedirs(os.path.join(tree, 'sub'))
        for name in ('a.txt', os.path.join('sub', 'b.txt')):
            with open(os.path.join(tree, name), 'w') as f:
                f.write('x')
        link = os.path.join(tree, 'sub', 'link')
        os.symlink(self.outside, link)

        out = probe('deltree', harness.winpath(tree))
        self.assert_outside_intact()
        self.assertFalse(os.path.exists(os.path.join(tree, 'a.txt')))
        self.assertFalse(os.path.lexists(os.path.join(tree, 'sub', 'b.txt')))
        if out['hr'] == '0x00000000':
            # Windows removes a directory link as a link.
            self.assertFalse(os.path.lexists(tree))
        else:
            # Wine cannot remove a host link as such (its RemoveDirectoryW
            # acts on the target, and fails here because the target is not
            # empty); the failure names the link, and the folders above stay.
            self.assertEqual(out['failed'], harness.winpath(link))
            self.assertTrue(os.path.isdir(os.path.join(tree, 'sub')))

    def test_tree_that_is_a_link_is_not_entered(self):
        link = os.path.join(self.work, 'linked-tree')
        os.symlink(self.outside, link)
        probe('deltree', harness.winpath(link))
        self.assert_outside_intact()


if __name__ == '__main__':
    unittest.main(verbosity=2)
