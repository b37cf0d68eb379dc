"""The launcher against the real service, end to end: the signed, stamped
test launcher runs under Wine against nginx (HTTPS on the build's test port,
with the test certificates the prefix trusts, the installers at /installers/)
and gunicorn with the application and a SQLite store. Each case reads what
the service recorded straight from the database file.
"""
import hashlib
import os
import shutil
import sqlite3
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'ui'))
import harness  # noqa: E402
import scenario  # noqa: E402
import uitest  # noqa: E402

sys.path.insert(0, os.path.join(harness.SOURCE, 'service'))
from stack import App, Stack, local_host  # noqa: E402

E_FAIL = 0x80004005
VERSION = '0,1,0,220'
BASE = 'https://localhost:%d' % harness.SERVICE_PORT

CONFIG = """
database = "sqlite:///{db}"
default_channel = "stable"
full_installer = "{base}/installers/QuilloFull.exe"
support = "support@example.com"

[limits]
events_per_minute = 1000

[maintenance]
enabled = false
page = "{base}/notice/maintenance"

[channels]
stable = "{base}/installers/Quillo.exe"
beta = "{base}/installers/Quillo-beta.exe"
campaign = "{base}/installers/Quillo-campaign.exe"
foreign = "{base}/installers/Quillo-foreign.exe"

[[rules]]
name = "acme campaign"
key_prefix = "acme"
channel = "campaign"

[[rules]]
name = "old launchers"
key_prefix = "old"
below_version = "0,1,0,221"
page = "{base}/notice/update"

[[rules]]
name = "foreign build"
key_prefix = "foreign"
channel = "foreign"

[[rules]]
name = "rollout in"
key_prefix = "rollin"
rollout = {rollin}
channel = "beta"

[[rules]]
name = "rollout out"
key_prefix = "rollout"
rollout = {rollout}
channel = "beta"

[[rules]]
name = "guarded release"
key_prefix = "guard"
rollout = 100
steps = [{guarded}, 100]
guard_min_requests = 3
channel = "foreign"
"""


def bucket(rule, machine_id):
    """The machine's fixed rollout bucket (0..9999) for a rule."""
    digest = hashlib.sha256(rule.encode() + b'\0' + machine_id.upper().encode()).digest()
    return int.from_bytes(digest[:8], 'big') % 10000


class ServiceEndToEndTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix='quillo-e2e-', dir=os.path.join(harness.BUILD, 'tmp'))
        cls.addClassCleanup(shutil.rmtree, cls.folder, True)
        cls.installers = os.path.join(cls.folder, 'installers')
        os.makedirs(cls.installers)
        signed = scenario.make_installer(os.path.join(cls.installers, 'Quillo.exe'))
        for name in ('Quillo-beta.exe', 'Quillo-campaign.exe'):
            shutil.copy(signed, os.path.join(cls.installers, name))
        scenario.make_installer(os.path.join(cls.installers, 'Quillo-foreign.exe'),
                                which='foreign')
        cls.signed = harness.sign(harness.program('QuilloSetupLocal.exe'),
                                  os.path.join(cls.folder, 'signed.exe'))
        cls.db = os.path.join(cls.folder, 'quillo.db')
        cls.config = os.path.join(cls.folder, 'quillo.toml')
        cls.write_config(100, 0)
        state = os.path.join(cls.folder, 'state')
        cls.stack = Stack(local_host(state, harness.SERVICE_PORT, certs=harness.ensure_certs(),
                                     installers=cls.installers), App(state, cls.config))
        cls.stack.start()
        cls.addClassCleanup(cls.stack.stop)

    @classmethod
    def write_config(cls, rollin, rollout, guarded=50):
        with open(cls.config + '.tmp', 'w') as f:
            f.write(CONFIG.format(db=cls.db, base=BASE, rollin=rollin, rollout=rollout,
                                  guarded=guarded))
        os.replace(cls.config + '.tmp', cls.config)

    # -- plumbing ----------------------------------------------------------------

    def launcher(self, prefix):
        """The signed launcher stamped with a key that starts with prefix."""
        key = prefix + harness.KEY[len(prefix):]
        path = os.path.join(self.folder, key + '.exe')
        if not os.path.exists(path):
            harness.stamp(self.signed, path, key)
        return key, path

    def run_silent(self, exe):
        work = harness.temp_folder(self)
        log = os.path.join(work, 'installer.log')
        code, report, _ = scenario.run_silent(exe, os.path.join(work, 'report.txt'), log)
        ran = None
        if os.path.exists(log):
            with open(log, encoding='utf-8') as f:
                ran = f.read()
        return code, report, ran

    def local_client(self):
        """How the service stores this machine's address: as its keyed hash,
        worked out by the service's own code (with the service's Python)."""
        return subprocess.check_output(
            ['/usr/bin/python3', '-c',
             'import sys; from quillo_service.clients import SECRET_FILE, client_key, '
             'load_secret; print(client_key("127.0.0.1", load_secret(sys.argv[1] + "/" + '
             'SECRET_FILE, create=False)))', self.folder],
            cwd=os.path.join(harness.SOURCE, 'service'), text=True).strip()

    def rows(self, table):
        db = sqlite3.connect(self.db)
        try:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute('SELECT * FROM %s ORDER BY id' % table)]
        finally:
            db.close()

    def requests_of(self, key):
        return [r for r in self.rows('requests') if r['bundle_key'] == key]

    def fetched(self):
        """Installer requests nginx answered: (path, status), in order."""
        return [(e['request'].split()[1], e['status']) for e in self.stack.access_log_entries()
                if e['request'].startswith('GET /installers/')]

    def run_recorded(self, key, run):
        """Does run(); returns its result and the one request it recorded."""
        before = len(self.requests_of(key))
        result = run()
        rows = self.requests_of(key)[before:]
        self.assertEqual(len(rows), 1, rows)
        return result, rows[0]

    def assert_installed_from(self, exe, key, installer):
        before = len(self.fetched())
        (code, report, ran), row = self.run_recorded(key, lambda: self.run_silent(exe))
        self.assertEqual((code, report), (0, b'Installed.\r\n'))
        self.assertIn('/silent', ran)
        self.assertIn(key, ran)
        self.assertEqual(self.fetched()[before:], [('/installers/' + installer, 200)])
        return row

    def open_page(self, page):
        """Fetches a page the launcher opened, as the user's browser would."""
        context = ssl.create_default_context(cafile=self.stack.ca)
        with urllib.request.urlopen(page, context=context, timeout=30) as response:
            return response.status, response.read().decode('utf-8')

    def event_for(self, page):
        before = len(self.rows('events'))
        status, body = self.open_page(page)
        self.assertEqual(status, 200)
        events = self.rows('events')[before:]
        self.assertEqual(len(events), 1, events)
        event = events[0]
        self.assertIn(event['reference'], body)
        return event, dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(page).query,
                                                  keep_blank_values=True))

    # -- cases -------------------------------------------------------------------

    def test_campaign_key_is_routed_to_its_channel(self):
        key, exe = self.launcher('acme')
        row = self.assert_installed_from(exe, key, 'Quillo-campaign.exe')
        self.assertEqual((row['version'], row['rule'], row['answer'], row['malformed']),
                         (VERSION, 'acme campaign', 'GET:%s/installers/Quillo-campaign.exe' % BASE,
                          ''))
        self.assertRegex(row['machine_id'], r'^[0-9A-F]{40}$')
        # The address nginx saw, passed on in X-Real-IP.
        self.assertEqual(row['client'], self.local_client())

    def test_rollout_follows_the_machine_id(self):
        # 100 % takes every machine, 0 % none.
        key_in, exe_in = self.launcher('rollin')
        key_out, exe_out = self.launcher('rollout')
        first = self.assert_installed_from(exe_in, key_in, 'Quillo-beta.exe')
        self.assertEqual(first['rule'], 'rollout in')
        second = self.assert_installed_from(exe_out, key_out, 'Quillo.exe')
        self.assertEqual(second['rule'], 'default')
        machine = first['machine_id']
        self.assertEqual(second['machine_id'], machine)

        # Percentages just above and just at this machine's bucket: the first
        # takes it in, the second leaves it out.
        self.write_config(bucket('rollout in', machine) // 100 + 1,
                          bucket('rollout out', machine) // 100)
        # The service looks at the file again at most once a second.
        time.sleep(1.5)
        third = self.assert_installed_from(exe_in, key_in, 'Quillo-beta.exe')
        fourth = self.assert_installed_from(exe_out, key_out, 'Quillo.exe')
        self.assertEqual((third['rule'], third['machine_id']), ('rollout in', machine))
        self.assertEqual((fourth['rule'], fourth['machine_id']), ('default', machine))

    def test_too_old_version_is_sent_to_a_page(self):
        key, exe = self.launcher('old')
        browser = harness.BrowserLog(harness.temp_folder(self))
        (code, report, ran), row = self.run_recorded(key, lambda: self.run_silent(exe))
        page = '%s/notice/update?key=%s' % (BASE, key)
        self.assertEqual((code, report, ran), (
            E_FAIL, ('Failed - Please run in non-silent mode or go to %s for more information'
                     ' - 147\r\n' % page).encode(), None))
        self.assertEqual(browser.pages(), [])
        self.assertEqual((row['version'], row['rule'], row['answer']),
                         (VERSION, 'old launchers', 'GOTO:%s/notice/update' % BASE))

    def test_interactive_failure_opens_the_recorded_error_page(self):
        # The channel's installer is signed by someone else: not genuine.
        key, exe = self.launcher('foreign')
        browser = harness.BrowserLog(harness.temp_folder(self))
        (code, boxes), row = self.run_recorded(key, lambda: harness.run_dismissing(
            '"%s"' % harness.winpath(exe), env=browser.env()))
        self.assertEqual(row['rule'], 'foreign build')
        self.assertEqual(code, E_FAIL)
        self.assertEqual(len(boxes), 1, boxes)
        self.assertTrue(boxes[0].endswith('; 201'), boxes)
        pages = browser.pages()
        self.assertEqual(len(pages), 1, pages)
        self.assertTrue(pages[0].startswith(BASE + '/error/?source=gatherkit&code=201&'), pages)

        event, sent = self.event_for(pages[0])
        self.assertEqual(list(sent), ['source', 'code', 'message', 'error', 'version', 'os',
                                      'key'])
        self.assertEqual(sent['key'], key)
        self.assertEqual({name: event[name] for name in ('source', 'code', 'message', 'error',
                                                         'version', 'os')},
                         {name: sent[name] for name in ('source', 'code', 'message', 'error',
                                                        'version', 'os')})
        self.assertEqual((event['bundle_key'], event['code_number'], event['hresult'],
                          event['malformed'], event['cut']), (key, 201, E_FAIL, '', ''))

    def test_a_failing_rollout_halts_itself_and_the_next_run_installs(self):
        # This prefix's machine id, from a run that no rollout takes.
        _, plain = self.launcher('machine')
        machine = self.assert_installed_from(plain, 'machine' + harness.KEY[7:],
                                             'Quillo.exe')['machine_id']
        share = bucket('guarded release', machine) // 100 + 1
        if share >= 100:
            self.skipTest('this machine is only in the last step of the rollout')
        # The guard compares the arms only within one clock hour: begin where
        # the control and the failing runs below all fall in the same one.
        left = 3600 - time.time() % 3600
        if left < 240:
            time.sleep(left + 1)
        self.write_config(100, 0, guarded=share)  # its first step takes this machine
        time.sleep(1.5)
        # The control: machines the step leaves out, which install fine.  Its
        # 40 requests let three failing runs be told from chance (the guard
        # cannot halt on three runs against three, at its 1 % false halts).
        context = ssl.create_default_context(cafile=self.stack.ca)
        outside = [m for m in ('%040X' % i for i in range(5000))
                   if bucket('guarded release', m) >= share * 100][:40]
        for i, m in enumerate(outside):
            with urllib.request.urlopen('%s/getinstaller?key=guardcontrol%d&version=%s&id=%s'
                                        % (BASE, i, VERSION, m), context=context,
                                        timeout=30) as r:
                self.assertEqual(r.read().decode(), 'GET:%s/installers/Quillo.exe' % BASE)
        # The release's installer is signed by someone else: every run fails
        # with 201 and opens its page, which reports the failure.
        key, exe = self.launcher('guard')
        for _ in range(3):
            browser = harness.BrowserLog(harness.temp_folder(self))
            (code, boxes), row = self.run_recorded(key, lambda: harness.run_dismissing(
                '"%s"' % harness.winpath(exe), env=browser.env()))
            self.assertEqual((code, row['rule']), (E_FAIL, 'guarded release'))
            self.assertTrue(boxes[0].endswith('; 201'), boxes)
            self.event_for(browser.pages()[0])
        # Every worker's guard counts and judges every few seconds.
        deadline = time.monotonic() + 60
        while True:
            db = sqlite3.connect(self.db)
            try:
                state = db.execute("SELECT state, why FROM rollout_state "
                                   "WHERE rule = 'guarded release'").fetchall()
                counts = db.execute("SELECT * FROM rollout_counts").fetchall()
            finally:
                db.close()
            if state and state[0][0] == 'halted':
                break
            if time.monotonic() > deadline:
                with open(self.stack.gunicorn_log) as f:
                    self.fail('not halted: %r, counts %r, log %s' % (state, counts,
                                                                    f.read()[-3000:]))
            time.sleep(1)
        self.assertTrue(state[0][1].startswith('guard:'), state)
        # Halted, the rule takes nobody: the next run gets the default channel.
        time.sleep(1.5)
        row = self.assert_installed_from(exe, key, 'Quillo.exe')
        self.assertEqual(row['rule'], 'default')

    # -- a request never goes unanswered or unrecorded --------------------------

    def wait_for_request(self, key, seconds=60):
        """The one request recorded for key, once it has reached the store."""
        deadline = time.monotonic() + seconds
        while True:
            rows = self.requests_of(key)
            if rows or time.monotonic() > deadline:
                self.assertEqual(len(rows), 1, rows)
                return rows[0]
            time.sleep(0.5)

    def test_with_gunicorn_stopped_nginx_answers_and_the_request_is_recorded_later(self):
        key, exe = self.launcher('f0')
        self.stack.stop_gunicorn()
        try:
            code, report, _ = self.run_silent(exe)
        finally:
            self.stack.start_gunicorn()
        # nginx's fallback is the default answer; the service reads nginx's
        # log of it once it runs again.
        self.assertEqual((code, report), (0, b'Installed.\r\n'))
        row = self.wait_for_request(key)
        self.assertEqual((row['rule'], row['answer'], row['version']),
                         ('fallback', 'GET:%s/installers/Quillo.exe' % BASE, VERSION))

    def test_with_the_database_locked_the_launcher_installs_and_is_recorded_later(self):
        key, exe = self.launcher('10c')
        locker = sqlite3.connect(self.db, isolation_level=None)
        try:
            locker.execute('BEGIN EXCLUSIVE')
            code, report, _ = self.run_silent(exe)
            self.assertEqual(self.requests_of(key), [])
        finally:
            locker.execute('ROLLBACK')
            locker.close()
        self.assertEqual((code, report), (0, b'Installed.\r\n'))
        row = self.wait_for_request(key)
        self.assertEqual((row['rule'], row['answer']),
                         ('default', 'GET:%s/installers/Quillo.exe' % BASE))

    def test_nginx_passes_the_client_address_and_serves_ranges(self):
        # A client's own X-Real-IP never reaches the service.
        context = ssl.create_default_context(cafile=self.stack.ca)
        key = 'spoofed-address'
        request = urllib.request.Request(BASE + '/getinstaller?key=' + key,
                                         headers={'X-Real-IP': '203.0.113.9',
                                                  'X-Forwarded-For': '203.0.113.9'})
        _, row = self.run_recorded(key, lambda: urllib.request.urlopen(
            request, context=context, timeout=30).read())
        self.assertEqual((row['client'], row['rule']), (self.local_client(), 'default'))
        # What the launcher's resumed download relies on.
        size = os.path.getsize(os.path.join(self.installers, 'Quillo.exe'))
        request = urllib.request.Request(BASE + '/installers/Quillo.exe',
                                         headers={'Range': 'bytes=100-199'})
        with urllib.request.urlopen(request, context=context, timeout=30) as response:
            self.assertEqual((response.status, response.headers['Content-Range'],
                              response.headers['Content-Length'], len(response.read())),
                             (206, 'bytes 100-199/%d' % size, '100', 100))

    def test_crash_page_is_recorded_with_its_module(self):
        browser = harness.BrowserLog(harness.temp_folder(self))
        program = uitest.Program('"%s" av' % harness.winpath(harness.program('crash_test.exe')),
                                 browser.env())
        self.addCleanup(program.stop)
        self.assertEqual(program.wait(), 0xC0000005)
        where = [line for line in program.output if 'address' in line][0]
        pages = browser.pages()
        self.assertEqual(len(pages), 1, pages)
        self.assertTrue(pages[0].startswith(BASE + '/error/?source=Gatherkit&code=0&'), pages)

        event, sent = self.event_for(pages[0])
        self.assertEqual(event['message'], '%s:%s:c0000005:crash_test.exe'
                         % (where['base'], where['address']))
        self.assertEqual((event['source'], event['code'], event['error'], event['version'],
                          event['os'], event['bundle_key']),
                         ('Gatherkit', '0', '0x0000023e', '0', '0', '0'))
        self.assertEqual((event['module'], event['module_base'], event['address'],
                          event['exception_code']),
                         ('crash_test.exe', int(where['base'], 16), int(where['address'], 16),
                          0xC0000005))


if __name__ == '__main__':
    unittest.main(verbosity=2)
