"""Shared fixtures: configurations, stores on both databases, the app.

PostgreSQL runs for real, in a temporary cluster started once per session;
if it cannot start, every test that needs it fails with the reason.
"""

import base64
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
# The periodic jobs (purge among them) stay out of the tests' stores, which
# hold records of long ago; tests run a Runner themselves where they need one.
os.environ["QUILLO_SERVICE_HOUSEKEEPING"] = "off"
sys.path.insert(0, SERVICE)

from pgcluster import Postgres  # noqa: E402
from quillo_service import create_app, load_features  # noqa: E402
from quillo_service.db import open_store  # noqa: E402

load_features()  # purge knows every feature's tables, as in the service

KEY = "0123456789abcdef0123456789abcdef01234567"
SECRET = b"a test secret of the client keys, 0123456789"
MACHINE = "0123456789ABCDEF0123456789ABCDEF01234567"

CONFIG = """
full_installer = "https://dl.test/QuilloFull.exe"
support = "help@quillo.test"
default_channel = "stable"

[limits]
events_per_minute = 5

[maintenance]
enabled = false
page = "https://setup.test/notice/maintenance"

[channels]
stable = "https://setup.test/installers/stable.exe"
beta = "https://setup.test/installers/beta.exe"
campaign = "https://setup.test/installers/campaign.exe"

[[rules]]
name = "vip"
key = "feedfeedfeedfeedfeedfeedfeedfeedfeedfeed"
channel = "beta"

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


@pytest.fixture
def app(database, write_config):
    # The test client's peer, 127.0.0.1, stands for a configured proxy.
    a = create_app(write_config(), database=database, proxies="127.0.0.1")
    a.extensions["quillo"].watcher.interval = 0  # see every edit at once
    a.extensions["quillo"].watcher.settle = 0
    yield a
    # Its background threads end, and their connections with them.
    a.extensions["quillo"].worker_loop.stop()
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
