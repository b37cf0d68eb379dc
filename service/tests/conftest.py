"""Shared fixtures: configurations, stores on both databases, the app.

PostgreSQL runs for real, in a temporary cluster started once per session;
if it cannot start, every test that needs it fails with the reason.
"""

import base64
import json
import os
import re
import shutil
import subprocess
import sys
import time
from html import unescape

import psycopg
import pytest
from werkzeug.security import generate_password_hash

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE = os.path.dirname(HERE)  # the service's folder: stack.py, pgcluster.py, quillo_service
# The shared periodic jobs (purge among them) stay out of the tests' stores,
# which hold records of long ago; tests run a Scheduler themselves where they
# need one.
os.environ["QUILLO_SERVICE_HOUSEKEEPING"] = "off"
sys.path.insert(0, SERVICE)

from pgcluster import Postgres  # noqa: E402
from quillo_service import create_app, load_features  # noqa: E402
from quillo_service.db import open_store  # noqa: E402

load_features()  # purge knows every feature's tables, as in the service

KEY = "0123456789abcdef0123456789abcdef01234567"
SECRET = b"a test secret of the client keys, 0123456789"
MACHINE = "0123456789ABCDEF0123456789ABCDEF01234567"

# The channels every test configuration has, and the rule for one key.
CHANNELS_AND_VIP = """\
[channels]
stable = "https://setup.test/installers/stable.exe"
beta = "https://setup.test/installers/beta.exe"
campaign = "https://setup.test/installers/campaign.exe"

[[rules]]
name = "vip"
key = "feedfeedfeedfeedfeedfeedfeedfeedfeedfeed"
channel = "beta"
"""

CONFIG = """
full_installer = "https://dl.test/QuilloFull.exe"
support = "help@quillo.test"
default_channel = "stable"

[limits]
events_per_minute = 5

[maintenance]
enabled = false
page = "https://setup.test/notice/maintenance"

""" + CHANNELS_AND_VIP + """
[[rules]]
name = "acme"
key_prefix = "acme"
channel = "campaign"

[[rules]]
name = "old"
below_version = "0,1,0,200"
page = "https://setup.test/notice/update"

[[rules]]
name = "beta rollout"
rollout = 30
channel = "beta"
"""


@pytest.fixture
def write_config(tmp_path):
    """Writes a configuration, and beside it the client secret that every
    test shares: services of different tests meet in one PostgreSQL, which
    refuses a second secret."""
    def write(text=CONFIG, name="service.toml"):
        path = tmp_path / name
        path.write_text(text)
        secret = tmp_path / "client.secret"
        if not secret.exists():
            secret.write_bytes(SECRET)
            secret.chmod(0o600)
        return str(path)
    return write


@pytest.fixture(scope="session")
def postgres():
    try:
        with Postgres(durable=False) as pg:
            yield pg
    except Exception as e:  # a missing server is a failure, not a skip
        pytest.fail(f"PostgreSQL could not start: {e}", pytrace=False)


@pytest.fixture(params=["sqlite", "postgresql"])
def database(request, tmp_path):
    """A database address, empty at the start of the test, for each store."""
    if request.param == "sqlite":
        return f"sqlite://{tmp_path}/quillo.db"
    return empty_postgres(request.getfixturevalue("postgres"))


def empty_postgres(pg):
    """The server's database address, its tables dropped."""
    with psycopg.connect(pg.url, autocommit=True) as conn:
        conn.execute("DROP SCHEMA public CASCADE")
        conn.execute("CREATE SCHEMA public")
    return pg.url


@pytest.fixture
def store(database):
    s = open_store(database, client_secret=SECRET)
    yield s
    s.close()


def hold_write_lock(database, table="requests"):
    """A raw connection of another process that holds the store's write lock
    (SQLite) or `table` (PostgreSQL) until it rolls back: a store that
    cannot be written in time."""
    if database.startswith("sqlite://"):
        import sqlite3
        conn = sqlite3.connect(database[len("sqlite://"):], isolation_level=None)
        conn.execute("BEGIN IMMEDIATE")
    else:
        conn = psycopg.connect(database, autocommit=True)
        conn.execute("BEGIN")
        conn.execute(f"LOCK TABLE {table} IN ACCESS EXCLUSIVE MODE")
    return conn


# The last commit whose code kept schema version 16 (the funnel rolled up by
# time, the guard counting by positions of its own): upgrade tests make
# their database by running it.
SCHEMA_16 = "b3ffeb5"


@pytest.fixture(scope="session")
def schema_16_code(tmp_path_factory):
    """A function that runs Python `source` on the service's code as of
    SCHEMA_16, in a process of its own, with `data` as JSON on its standard
    input; returns what it printed as JSON (None for nothing)."""
    tree = tmp_path_factory.mktemp("schema-16")
    archive = subprocess.run(["git", "-C", os.path.dirname(SERVICE), "archive", SCHEMA_16,
                              "service"], capture_output=True)
    if archive.returncode:
        # A checkout without that history (a shallow clone, an export) cannot
        # run the old code: said, not failed.
        pytest.skip(f"no code of {SCHEMA_16} in this checkout's history: "
                    f"{archive.stderr.decode()[-300:]}")
    subprocess.run(["tar", "-x", "-C", str(tree)], input=archive.stdout, check=True)
    env = dict(os.environ, PYTHONPATH=str(tree / "service"))

    def run(source, data):
        done = subprocess.run([sys.executable, "-W", "error", "-c", source],
                              input=json.dumps(data), capture_output=True, text=True, env=env,
                              cwd=tree, timeout=600)  # not this folder's code
        assert done.returncode == 0, done.stderr[-3000:]
        return json.loads(done.stdout) if done.stdout.strip() else None
    return run


@pytest.fixture(autouse=True)
def schedulers_end(monkeypatch):
    """Every scheduler a test starts (create_app starts one) stops when the
    test ends, and so closes its connections: left running, they would fill
    the test PostgreSQL's connections a few tests later."""
    from quillo_service.background import Scheduler
    started, start = [], Scheduler.start

    def recorded(loop):
        started.append(loop)
        return start(loop)
    monkeypatch.setattr(Scheduler, "start", recorded)
    yield
    for loop in started:
        loop.stop()


@pytest.fixture
def app(database, write_config):
    # The test client's peer, 127.0.0.1, stands for a configured proxy.
    a = create_app(write_config(), database=database, proxies="127.0.0.1")
    a.extensions["quillo"].watcher.interval = 0  # see every edit at once
    a.extensions["quillo"].watcher.settle = 0
    yield a
    a.extensions["quillo"].store.close()


@pytest.fixture
def client(app):
    return app.test_client()


# -- shared by the tests of several features ----------------------------------------

# The console's login, as a configuration's [admin] table and as a header.
PASSWORD = "correct horse battery"
ADMIN = f'\n[admin]\nuser = "boss"\npassword_hash = "{generate_password_hash(PASSWORD)}"\n'
GOOD = {"Authorization": "Basic " + base64.b64encode(f"boss:{PASSWORD}".encode()).decode()}

# A configuration with one guarded rollout, RULE.
RULE = "new release"
GUARDED = """
default_channel = "stable"

[limits]
events_per_minute = 1000

[channels]
stable = "https://setup.test/installers/stable.exe"
beta = "https://setup.test/installers/beta.exe"

[[rules]]
name = "vip"
key = "feedfeedfeedfeedfeedfeedfeedfeedfeedfeed"
channel = "stable"

[[rules]]
name = "new release"
key_prefix = "0123"
rollout = 100
steps = [{steps}]
step_hours = 24
guard_extra_failure_points = 2.0
guard_min_requests = 500
channel = "beta"
"""

CHROMIUM = shutil.which("chromium")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed "
                                    "(scripts/setup installs it)")


def browse(stack, path, tmp_path, user=None, screenshot=None, password=PASSWORD):
    """The DOM chromium built for the page, or a screenshot of it."""
    auth = f"{user}:{password}@" if user else ""
    url = f"https://{auth}localhost:{stack.port}{path}"
    profile = tmp_path / f"profile-{time.monotonic_ns()}"
    profile.mkdir()
    args = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--ignore-certificate-errors", "--hide-scrollbars",
            f"--user-data-dir={profile}", "--window-size=1280,1700"]
    args += [f"--screenshot={screenshot}"] if screenshot else ["--dump-dom"]
    done = subprocess.run(args + [url], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    return done.stdout.decode()


def wait_for(check, what, seconds=60):
    """Polls until check() holds (the workers read the log every few seconds)."""
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, f"still waiting for {what}"
        time.sleep(0.2)


def banners(html):
    """[(kind, inner markup, its entities read)] of the banners at the top
    of a console page."""
    return [(kind, unescape(inner).strip()) for kind, inner in
            re.findall(r'<div class="banner (\w+)" role="alert">(.*?)\n</div>', html, re.S)]


def confirmation(html):
    """{field: value} of the confirmation form on a Rollouts page that asks
    before an action widens a release, or None when it asks nothing."""
    form = re.search(r'<form class="confirm"[^>]*>(.*?)</form>', html, re.S)
    return form and {k: unescape(v) for k, v in
                     re.findall(r'name="(\w+)" value="([^"]*)"', form.group(1))}


class Clicking:
    """Headless chromium driven over its DevTools pipe, as a person uses a
    page: open an address, type into a field, click a button (a real mouse
    click at its place), read the DOM.  The console runs no script, so
    nothing of this runs in the page."""

    def __init__(self, tmp_path):
        import json
        self._json = json
        ours_in, theirs_out = os.pipe()
        theirs_in, ours_out = os.pipe()

        def pipes():  # chromium reads commands on fd 3 and answers on fd 4
            # Through copies: a pipe may itself be fd 3 or 4, and a dup2 onto
            # itself would leave it to close at exec.
            a, b = os.dup(theirs_in), os.dup(theirs_out)
            os.dup2(a, 3)
            os.dup2(b, 4)
        profile = tmp_path / f"profile-{time.monotonic_ns()}"
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--ignore-certificate-errors", "--hide-scrollbars",
             f"--user-data-dir={profile}", "--window-size=1280,1700",
             "--remote-debugging-pipe", "about:blank"],
            preexec_fn=pipes, close_fds=False, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(theirs_in)
        os.close(theirs_out)
        self._in, self._out = os.fdopen(ours_in, "rb"), os.fdopen(ours_out, "wb")
        self._id, self._events, self._buffer = 0, [], b""
        target = self._call("Target.createTarget", url="about:blank")["targetId"]
        self._session = self._call("Target.attachToTarget", targetId=target,
                                   flatten=True)["sessionId"]
        self.call("Page.enable")

    def _read(self):
        while b"\0" not in self._buffer:
            chunk = os.read(self._in.fileno(), 1 << 16)
            assert chunk, "chromium closed its pipe"
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return self._json.loads(message)

    def _call(self, method, session=None, **params):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self._out.write(self._json.dumps(message).encode() + b"\0")
        self._out.flush()
        while True:
            got = self._read()
            if got.get("id") == self._id:
                assert "error" not in got, got["error"]
                return got.get("result", {})
            self._events.append(got.get("method"))

    def call(self, method, **params):
        return self._call(method, self._session, **params)

    def _loaded(self):
        deadline = time.monotonic() + 60
        while "Page.loadEventFired" not in self._events:
            assert time.monotonic() < deadline, "the page did not load"
            self._events.append(self._read().get("method"))

    def open(self, url):
        self._events.clear()
        self.call("Page.navigate", url=url)
        self._loaded()

    def _node(self, selector):
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        node = self.call("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        assert node, f"nothing on the page matches {selector}"
        return node

    def click(self, selector, then_loads=False):
        node = self._node(selector)
        self.call("DOM.scrollIntoViewIfNeeded", nodeId=node)
        quad = self.call("DOM.getBoxModel", nodeId=node)["model"]["content"]
        x, y = sum(quad[0::2]) / 4, sum(quad[1::2]) / 4
        self._events.clear()
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                      clickCount=1)
        if then_loads:
            self._loaded()

    def type(self, selector, text):
        self.click(selector)
        self.call("Input.insertText", text=text)

    def dom(self):
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        return self.call("DOM.getOuterHTML", nodeId=root)["outerHTML"]

    def close(self):
        self.proc.kill()
        self.proc.wait(30)
        self._in.close()
        self._out.close()
