"""Plumbing of the UI tests: the window driver (uidriver.exe), programs
started through it, and the local service with the files the launcher fetches.

Every wait here is a bounded poll on a condition (inside the driver), never a
sleep for a fixed time.
"""
import functools
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from client import Service  # noqa: E402  (tests/service, put on the path by harness)

DIALOG = ('#32770', 'Preparing setup...')
BOX = ('#32770', 'Error')
E_FAIL = 0x80004005
WAIT_MS = 60000  # upper bound of every wait for a window; normally met in well under a second

WS_CHILD, WS_VISIBLE, WS_BORDER, WS_POPUP = 0x40000000, 0x10000000, 0x00800000, 0x80000000
WS_CAPTION, WS_SYSMENU = 0x00C00000, 0x00080000
DS_MODALFRAME, DS_SETFONT, DS_FIXEDSYS = 0x80, 0x40, 0x08
PBS_MARQUEE = 0x08
WS_EX_NOPARENTNOTIFY = 0x4


def parse(output):
    return [json.loads(line) for line in output.decode('utf-8', 'replace').splitlines()
            if line.startswith('{')]


def driver(*args, env=None, timeout=120, check=True):
    """Runs one driver command; returns its JSON lines.

    Every command only looks at windows, so one that Wine left hanging past its
    own bound (seen once on a loaded machine: a 60 s wait that never returned)
    is run once more before the test fails."""
    command = [harness.WINE, harness.program('uidriver.exe')] + [str(a) for a in args]
    try:
        out = subprocess.run(command, env=harness.wine_env(env), capture_output=True,
                             timeout=timeout)
    except subprocess.TimeoutExpired:
        sys.stderr.write('uidriver %s hung; running it once more\n' % ' '.join(map(str, args)))
        out = subprocess.run(command, env=harness.wine_env(env), capture_output=True,
                             timeout=timeout)
    if check and out.returncode != 0:
        raise AssertionError('uidriver %s failed (%d): %r' % (' '.join(map(str, args)),
                                                              out.returncode, out.stdout))
    return parse(out.stdout)


def dialog_units(x, y, w, h):
    """Pixel rectangle of dialog units in the launcher's dialog font."""
    return driver('dlu', x, y, w, h)[0]['pixels']


def dialog_template(exe, resource=129):
    """The stored dialog template, then one line per control, with the style
    each control has once the dialog manager created it from the template."""
    return driver('template', harness.winpath(exe), resource)


@functools.lru_cache(maxsize=None)
def system_text(hr):
    return driver('message-text', '0x%08x' % hr)[0]['text'].strip('\r\n')


@functools.lru_cache(maxsize=None)
def os_text():
    version = driver('os-version')[0]
    return '%d.%d' % (version['major'], version['minor'])


class Program:
    """A Windows program started through the driver, which names its process
    (so that windows of other programs never match) and, when it ends, gives
    its whole 32-bit exit code."""

    def __init__(self, command_line, env=None):
        self.proc = subprocess.Popen(
            [harness.WINE, harness.program('uidriver.exe'), 'start', command_line],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=harness.wine_env(env))
        self.env = env
        self.output = []  # JSON lines of the driver and of the program itself
        self.pid = None
        while self.pid is None:
            line = self.proc.stdout.readline()
            if not line:
                raise AssertionError('the program did not start: %r' % self.output)
            for item in parse(line):
                self.output.append(item)
                self.pid = item.get('pid', self.pid)
        self.exit_code = None

    def sel(self, window):
        return [window[0], window[1], self.pid]

    def drive(self, command, window, *args, check=True, timeout=120):
        return driver(command, *self.sel(window), *args, env=self.env, check=check,
                      timeout=timeout)

    def wait_window(self, window, state='visible', timeout_ms=WAIT_MS):
        lines = self.drive('wait', window, state, timeout_ms, check=False)
        if not lines or not lines[-1]['met']:
            raise AssertionError('%s never became %s' % (window, state))

    def dump(self, window):
        lines = self.drive('dump', window)
        return lines[0], lines[1:]

    def watch_bar(self, timeout_ms=WAIT_MS * 2):
        return self.drive('watch-bar', DIALOG, timeout_ms, timeout=timeout_ms / 1000 + 60)

    def press_ok(self, window=BOX, timeout_ms=WAIT_MS):
        lines = self.drive('press-ok', window, timeout_ms)
        return lines[0]

    def wait(self, timeout=120):
        """The exit code, once the program has ended."""
        if self.exit_code is None:
            out, _ = self.proc.communicate(timeout=timeout)
            for item in parse(out):
                self.output.append(item)
                if 'exit' in item:
                    self.exit_code = item['exit']
        return self.exit_code

    def stop(self):
        """Ends the program if a failed test left it running."""
        if self.proc.poll() is None:
            driver('kill', self.pid, check=False)
            self.wait()


def launcher_command(exe):
    return '"%s"' % harness.winpath(exe)


class ServiceCase:
    """Mix-in for unittest.TestCase classes: one signed, stamped launcher and
    the local service on the port that the test launcher is built for, with a
    folder of files to serve."""

    @classmethod
    def start_service(cls, folder):
        """Starts the service for the class. It is stopped, and the folder
        removed, by class cleanups, which run even when the rest of
        setUpClass fails (tearDownClass would not)."""
        cls.addClassCleanup(shutil.rmtree, folder, True)
        cls.root = os.path.join(folder, 'root')
        os.makedirs(cls.root, exist_ok=True)
        cls.svc = Service().start(cls.root, harness.ensure_certs(), https_port=harness.SERVICE_PORT)
        cls.addClassCleanup(cls.svc.stop)
        cls.launcher = harness.signed_launcher(folder)

    def serve(self, name, data):
        with open(os.path.join(self.root, name), 'wb') as f:
            f.write(data)
        return self.svc.url('/files/' + name)

    def instruct(self, body, delay_ms=0):
        """The next instruction response, optionally held back for a while so
        that the dialog's first state can be seen."""
        self.svc.set_response('/getinstaller', 200, body)
        if delay_ms:
            self.svc.set_faults('/getinstaller', [{'type': 'delay', 'ms': delay_ms}])

    def start(self, browser, extra_env=None):
        env = dict(browser.env())
        env.update(extra_env or {})
        program = Program(launcher_command(self.launcher), env)
        self.addCleanup(program.stop)
        return program


def segments(states):
    """Bar states from watch-bar folded into runs: ('marquee', []) or
    ('position', [pos, ...]); the closing "gone" and hidden states are left out.

    A sample can fall between the messages of one progress report: the bar has
    left the marquee but still shows its old position (and, the first time, its
    default range). Such a stale first value of a run is dropped; every later
    state of a position run must show the range 0 to 1000."""
    runs = []
    for state in states:
        if 'marquee' not in state or not state['visible']:
            continue
        kind = 'marquee' if state['marquee'] else 'position'
        if not runs or runs[-1][0] != kind:
            runs.append((kind, []))
        elif kind == 'position' and (state['min'], state['max']) != (0, 1000):
            raise AssertionError('bar range is not 0 to 1000: %r' % state)
        if kind == 'position':
            runs[-1][1].append(state['pos'])
    for _, values in runs:
        if len(values) > 1 and values[0] > values[1]:
            del values[0]
    return runs
