"""The dashboard in a real browser: Debian's chromium, headless, against
gunicorn behind nginx (service/stack.py) over a month of demo records.

chromium --dump-dom gives the page as the browser built it after running
whatever scripts it found, so a stored key or message that became markup
would show up there as an element, or as the title it sets.

QUILLO_SCREENSHOTS=docs saves the dashboard and an error page as
docs/dashboard.png and docs/error-page.png.
"""

import os
import re
import ssl
import time
import urllib.error
import urllib.request
from urllib.parse import quote

import pytest
from conftest import ADMIN, CONFIG, browse, needs_chromium

from quillo_service.config import load_config
from quillo_service.demo_data import HOSTILE_KEY, generate, insert
from quillo_service.reports.events import build_event
from quillo_service.db import open_store
from quillo_service.reports.records import record_event
from stack import Stack, free_port

CRASH_MODULE = '<img src=x onerror="document.title=1">.dll'
pytestmark = needs_chromium


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = tmp_path_factory.mktemp("browser")
    config = root / "service.toml"
    config.write_text(CONFIG + ADMIN)
    database = f"sqlite://{root}/quillo.db"
    store = open_store(database)
    per_day = 2300 if os.environ.get("QUILLO_SCREENSHOTS") else 300  # fuller pictures
    insert(store, *generate(load_config(str(config)), time.time(), per_day=per_day, seed=7))
    # One crash in a module named with markup, certainly (the demo's is rare).
    crash = quote(f"0x10000000:0x1000077A:c0000005:{CRASH_MODULE}")
    record_event(store, build_event(f"source=Gatherkit&code=0&message={crash}&error=0x0000023e"
                                   "&version=0&os=0&key=0".encode(), "local", time.time() - 60),
                       10)
    store.close()
    with Stack(root / "state", str(config), port=free_port(), database=database) as stack:
        yield stack


def test_dashboard_draws_its_charts(site, tmp_path):
    for view, least in (("", 20), ("failures", 50), ("systems", 5), ("crashes", 3)):
        dom = browse(site, f"/admin/{view}?period=30d", tmp_path, user="boss")
        assert "<title>Quillo dashboard" in dom
        charts = re.findall(r"<svg[^>]*class=\"chart\".*?</svg>", dom, re.S)
        assert charts, view
        assert len(re.findall(r"<rect class=\"bar\"", "".join(charts))) >= least, view
        assert "All times are UTC" in dom


def test_stored_markup_is_shown_as_text_and_never_runs(site, tmp_path):
    def text(markup):
        return markup.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    for view, stored in (("rates", HOSTILE_KEY), ("malformed", HOSTILE_KEY),
                         ("crashes", CRASH_MODULE)):
        dom = browse(site, f"/admin/{view}?period=30d", tmp_path, user="boss")
        title = re.search(r"<title>(.*?)</title>", dom, re.S).group(1)
        assert title.startswith("Quillo dashboard"), title  # no script set it
        assert not re.search(r"<script|<img", dom, re.I), view
        assert text(stored) in dom, view


def test_without_credentials_the_answer_is_401(site, tmp_path):
    dom = browse(site, "/admin/?period=30d", tmp_path)
    # The browser stops at the login prompt: nothing of the dashboard shows.
    assert "<svg" not in dom and "Quillo dashboard" not in dom
    context = ssl.create_default_context(cafile=site.ca)
    for path in ("/admin/", "/admin/crashes?csv=groups"):
        with pytest.raises(urllib.error.HTTPError) as e:
            urllib.request.urlopen(f"https://localhost:{site.port}{path}", context=context,
                                   timeout=30)
        assert e.value.code == 401


def test_screenshots(site, tmp_path):
    folder = os.environ.get("QUILLO_SCREENSHOTS") or str(tmp_path)
    shots = {"dashboard.png": ("/admin/failures?period=30d", "boss"),
             "error-page.png": ("/error/?source=gatherkit&code=206&message=The%20signature%20"
                                "is%20not%20valid&error=0x800b0100&version=0%2C1%2C0%2C220"
                                "&os=10.0&key=acme42", None)}
    for name, (path, user) in shots.items():
        out = os.path.join(folder, name)
        browse(site, path, tmp_path, user=user, screenshot=out)
        with open(out, "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"
