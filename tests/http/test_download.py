"""Downloads under Wine over real sockets: download_probe against the local
test service (HTTP and HTTPS, scripted faults) and against nginx."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from client import Service  # noqa: E402

BIG = 10 * 1024 * 1024
MIB = 1024 * 1024
E_FAIL, E_ABORT = -0x7FFFBFFB, -0x7FFFBFFC


def wininet_hr(error):
    return harness.hresult(0x80070000 | error)


def repeat(*faults):
    """The faults for every one of the ten attempts of a download."""
    return [list(faults)] * 10


def run_probe(url, *args):
    out = subprocess.run([harness.WINE, harness.program('download_probe.exe'), url] + [str(a) for a in args],
                         env=harness.wine_env(), capture_output=True, timeout=600)
    result = json.loads(out.stdout)
    result['hr'] = harness.hresult(result['hr'])
    return result


class Downloads(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix='http-root-', dir=harness.BUILD)
        cls.data = {}
        for name, size in (('big.bin', BIG), ('mid.bin', 50000), ('small.bin', 1000)):
            cls.data[name] = os.urandom(size)
            with open(os.path.join(cls.root, name), 'wb') as f:
                f.write(cls.data[name])
        cls.svc = Service().start(cls.root, harness.ensure_certs())

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()
        shutil.rmtree(cls.root, True)

    def setUp(self):
        self.svc.reset()
        self.folder = harness.temp_folder(self)

    def download(self, name, *args, faults=None, https=False, url=None, real_sleep=False):
        """Runs the probe into memory (or --out); adds 'body' and the service's 'requests'."""
        path = '/files/' + name
        if faults:
            self.svc.set_faults(path, faults)
        target = os.path.join(self.folder, 'body.bin')
        if '--out' not in args:
            args += ('--dump', harness.winpath(target))
        result = run_probe(url or self.svc.url(path, https), *args,
                           *(() if real_sleep else ('--fake-sleep',)))
        if os.path.exists(target):
            with open(target, 'rb') as f:
                result['body'] = f.read()
        result['requests'] = self.svc.log()
        return result

    def check_fail(self, result, code, hr=E_FAIL, requests=10):
        self.assertEqual((result['code'], result['hr']), (code, hr), result['message'])
        self.assertEqual(len(result['requests']), requests)
        self.assertEqual(result['sleeps'], [500] * 9)

    # -- whole transfers --------------------------------------------------

    def test_plain_get_reports_progress_for_every_chunk(self):
        size = len(self.data['mid.bin'])
        for https in (False, True):
            with self.subTest(https=https):
                self.svc.reset_log()
                url = self.svc.url('/files/mid.bin?a=b&c=d', https).replace('//', '//user:pw@', 1)
                r = self.download('mid.bin', '--progress', url=url)
                self.assertEqual(r['hr'], 0)
                self.assertEqual(r['body'], self.data['mid.bin'])
                [request] = r['requests']
                self.assertEqual((request['range'], request['query']), (None, 'a=b&c=d'))
                self.assertTrue(request['user_agent'])
                self.assertNotIn('Authorization', request['headers'])
                progress = r['progress']
                self.assertEqual(progress[:2], [[0, 0, 0, 0], [0, 0, size, size]])
                self.assertEqual(len(progress) - 2, r['data_calls'])
                steps = [b[0] - a[0] for a, b in zip(progress[1:], progress[2:])]
                self.assertTrue(all(0 < step <= 4096 for step in steps), steps)
                self.assertTrue(all(p[0] == p[1] for p in progress))
                self.assertEqual(progress[-1], [size] * 4)

    def test_not_found_body_goes_to_the_sink(self):
        r = self.download('missing.bin')
        self.assertEqual((r['hr'], r['code']), (0, 0))
        self.assertEqual(r['body'], b'Not found: /files/missing.bin\n')
        self.assertEqual(r['requests'][0]['status'], 404)

    def test_overlong_content_length_counts_as_absent(self):
        r = self.download('small.bin', '--progress',
                          faults=[{'type': 'long_header', 'header': 'content-length', 'pad': 300}])
        self.assertEqual(r['hr'], 0)
        self.assertEqual(r['body'], self.data['small.bin'])
        self.assertEqual(r['progress'][1], [0, 0, 0, 0])

    # -- resuming ---------------------------------------------------------

    def test_broken_transfer_resumes_with_a_range(self):
        cut = {'type': 'drop', 'after': MIB}
        cookie = {'type': 'headers', 'set': {'Set-Cookie': 'session=1; Path=/'}}
        for https, into_file in ((False, False), (True, True)):
            with self.subTest(https=https, into_file=into_file):
                self.svc.reset_log()
                out = os.path.join(self.folder, 'out%d.bin' % https)
                args = ('--out', harness.winpath(out)) if into_file else ('--progress',)
                # The HTTPS run waits the real 500 ms between its attempts.
                r = self.download('big.bin', *args, faults=[[cut, cookie]], https=https,
                                  real_sleep=https)
                self.assertEqual(r['hr'], 0, r)
                first, second = r['requests']
                self.assertEqual(first['body_sent'], MIB)
                self.assertEqual(second['range'], 'bytes=%d-%d' % (MIB, BIG - 1))
                self.assertNotIn('Cookie', second['headers'])
                if into_file:
                    with open(out, 'rb') as f:
                        self.assertTrue(f.read() == self.data['big.bin'])
                    self.assertEqual(r['sleeps'], [])
                else:
                    self.assertTrue(r['body'] == self.data['big.bin'])
                    self.assertEqual(r['sleeps'], [500])
                    # The new attempt starts as a marquee, then shows the position reached.
                    at = r['progress'].index([0, MIB, 0, 0])
                    self.assertEqual(r['progress'][at + 1], [0, MIB, BIG - MIB, BIG])

    def test_more_than_256_kib_earns_ten_new_attempts(self):
        empty = {'type': 'drop', 'after': 0}
        for brought, requests in ((262144, 10), (262145, 11)):
            with self.subTest(brought=brought):
                self.svc.reset_log()
                r = self.download('big.bin', faults=[{'type': 'drop', 'after': brought}] + [empty] * 10)
                self.assertEqual(r['code'], 334)
                self.assertEqual(len(r['requests']), requests)
                self.assertEqual(r['sleeps'], [500] * (requests - 1))
                self.assertEqual(r['requests'][1]['range'], 'bytes=%d-%d' % (brought, BIG - 1))
        # The tenth attempt ends the download, whatever it brought.
        self.svc.reset_log()
        r = self.download('big.bin', faults=[empty] * 9 + [{'type': 'drop', 'after': 300000}, empty])
        self.check_fail(r, 334)

    def test_sink_failing_once_gives_the_exact_file(self):
        at = 5000000
        for into_file in (False, True):
            with self.subTest(into_file=into_file):
                self.svc.reset_log()
                out = os.path.join(self.folder, 'sink.bin')
                args = ('--out', harness.winpath(out)) if into_file else ()
                r = self.download('big.bin', '--fail-write-once-at', at, *args)
                self.assertEqual(r['hr'], 0, r)
                if into_file:
                    with open(out, 'rb') as f:
                        r['body'] = f.read()
                self.assertTrue(r['body'] == self.data['big.bin'])
                # The refused chunk is asked for again.
                resumed = int(r['requests'][1]['range'].split('=')[1].split('-')[0])
                self.assertTrue(at - 4096 < resumed <= at, resumed)

    def test_sink_abort_stops_without_retry(self):
        r = self.download('big.bin', '--abort-at', 100000)
        self.assertEqual((r['hr'], r['code']), (E_ABORT, 1))
        self.assertEqual((len(r['requests']), r['sleeps']), (1, []))
        self.assertLess(len(r['body']), 100000)

    # -- failures ---------------------------------------------------------

    def test_failures_caused_by_the_url(self):
        cases = (('no scheme here', 439, wininet_hr(12006), 0),
                 ('http:///files/small.bin', 190, wininet_hr(12018), 0),
                 ('http://127.0.0.1:%d/files/small.bin' % free_port(), 215, wininet_hr(12029), 0))
        for url, code, hr, _ in cases:
            with self.subTest(url=url):
                self.check_fail(self.download('small.bin', url=url), code, hr, requests=0)
        for start, end, code in ((5, -1, 125), (10, 9, 123)):
            r = self.download('small.bin', '--start', start, '--end', end)
            self.check_fail(r, code, requests=0)

    def test_failures_caused_by_the_server(self):
        ranged = ('--start', 10, '--end', 99)
        cases = (
            (227, (), {'type': 'content_length', 'value': 'abc'}),
            (262, ranged, {'type': 'ignore_range'}),
            (266, ranged, {'type': 'content_length', 'delta': 5}),
            (274, ranged, {'type': 'respond', 'status': 206, 'body': 'x' * 90}),
            (274, ranged, {'type': 'long_header', 'header': 'content-range', 'pad': 300}),
            (278, ranged, {'type': 'content_range', 'which': 'star'}),
            (280, ranged, {'type': 'content_range', 'which': 'inverted'}),
            (281, ranged, {'type': 'content_range', 'which': 'total'}),
            (282, ranged, {'type': 'content_range', 'which': 'first'}),
            (283, ranged, {'type': 'content_range', 'which': 'last'}),
            (334, (), {'type': 'drop', 'after': 0}),
        )
        for code, args, fault in cases:
            with self.subTest(code=code, fault=fault):
                self.svc.reset_log()
                r = self.download('small.bin', *args, faults=repeat(fault))
                hr = {'respond': wininet_hr(12150), 'long_header': wininet_hr(122)}.get(fault['type'], E_FAIL)
                self.check_fail(r, code, hr)
                if code == 262:
                    self.assertEqual(r['message'], '200')

    def test_reset_connection_fails_the_read(self):
        # Sent slowly, so that the reset meets a read in progress.
        reset = [{'type': 'drop', 'after': 100000, 'rst': True}, {'type': 'trickle', 'bytes': 20000, 'ms': 20}]
        r = self.download('big.bin', faults=repeat(*reset), https=True)
        self.check_fail(r, 311, wininet_hr(12030))

    def test_broken_transfer_of_unknown_size_is_not_retried(self):
        # The sink has accepted two chunks when it refuses the third.
        r = self.download('mid.bin', '--fail-write-once-at', 10000, faults=[{'type': 'no_content_length'}])
        self.assertEqual((r['code'], r['hr']), (382, E_FAIL))
        self.assertEqual((len(r['requests']), r['sleeps']), (1, []))


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(('127.0.0.1', port)) == 0


NGINX_CONF = """
error_log {dir}/error.log;
pid {dir}/nginx.pid;
events {{ worker_connections 16; }}
http {{
  log_format ranges "$status $http_range";
  access_log {dir}/access.log ranges;
  client_body_temp_path {dir}; proxy_temp_path {dir}; fastcgi_temp_path {dir};
  uwsgi_temp_path {dir}; scgi_temp_path {dir};
  default_type application/octet-stream;
  server {{ listen 127.0.0.1:{port}; root {root}; }}
}}
"""


class NginxDownloads(unittest.TestCase):
    def setUp(self):
        self.folder = harness.temp_folder(self)
        self.data = os.urandom(3 * MIB + 5)
        with open(os.path.join(self.folder, 'file.bin'), 'wb') as f:
            f.write(self.data)
        self.port = free_port()
        conf = os.path.join(self.folder, 'nginx.conf')
        with open(conf, 'w') as f:
            f.write(NGINX_CONF.format(dir=self.folder, port=self.port, root=self.folder))
        # One process, in the foreground, so the test owns it and it reads the test's files as is.
        self.nginx = subprocess.Popen(['nginx', '-c', conf, '-p', self.folder,
                                       '-g', 'daemon off; master_process off;'])
        self.addCleanup(self.stop)
        deadline = time.monotonic() + 10
        while not listening(self.port):
            self.assertLess(time.monotonic(), deadline, 'nginx did not start')
            time.sleep(0.05)

    def stop(self):
        self.nginx.terminate()
        self.nginx.wait(10)

    def fetch(self, *args):
        out = os.path.join(self.folder, 'out.bin')
        r = run_probe('http://127.0.0.1:%d/file.bin' % self.port, '--out', harness.winpath(out),
                      '--fake-sleep', *args)
        with open(out, 'rb') as f:
            return r, f.read()

    def access_log(self):
        with open(os.path.join(self.folder, 'access.log')) as f:
            return [line.split() for line in f]

    def test_whole_ranged_and_resumed_downloads(self):
        r, body = self.fetch()
        self.assertEqual(r['hr'], 0)
        self.assertTrue(body == self.data)
        r, body = self.fetch('--start', 1000, '--end', 2 * MIB)
        self.assertEqual(r['hr'], 0)
        self.assertTrue(body == self.data[1000:2 * MIB + 1])
        r, body = self.fetch('--fail-write-once-at', 2 * MIB)
        self.assertEqual(r['hr'], 0)
        self.assertTrue(body == self.data)
        self.assertEqual(r['sleeps'], [500])
        status, resumed = self.access_log()[-1]
        self.assertEqual(status, '206')
        self.assertTrue(resumed.startswith('bytes=') and resumed.endswith('-%d' % (len(self.data) - 1)))


if __name__ == '__main__':
    unittest.main(verbosity=2)
