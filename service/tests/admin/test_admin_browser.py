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
import socket
import ssl
import time
import urllib.error
import urllib.request
from urllib.parse import quote

import pytest
from conftest import ADMIN, CONFIG, GOOD, PASSWORD, banners, browse, needs_chromium, wait_for

from quillo_service.config import load_config
from quillo_service.demo_data import HOSTILE_KEY, generate, insert
from quillo_service.reports.events import build_event
from quillo_service.db import open_store
from quillo_service.reports.records import recent_events, record_event
from devtools import Page
from stack import App, Stack, free_port, local_host

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
    with Stack(local_host(root / "state", free_port()),
               App(root / "state", str(config), database=database)) as stack:
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


def test_a_configuration_that_does_not_load_shows_on_every_page(site, tmp_path):
    good = open(site.config).read()
    broken = good.replace("[limits]\n", "[limits]\nevents_per_mintue = 5\n")
    line = broken.splitlines().index("events_per_mintue = 5") + 1
    context = ssl.create_default_context(cafile=site.ca)

    def shown():
        request = urllib.request.Request(site.url("/admin/funnel"), headers=GOOD)
        with urllib.request.urlopen(request, context=context, timeout=30) as r:
            return "cannot load its configuration" in r.read().decode()
    try:
        with open(site.config, "w") as f:
            f.write(broken)
        wait_for(shown, "the banner", 30)
        time.sleep(1.5)  # every worker has looked at the file by now
        shot = os.path.join(os.environ.get("QUILLO_SCREENSHOTS") or str(tmp_path),
                            "broken-configuration.png")
        browse(site, "/admin/funnel", tmp_path, user="boss", screenshot=shot)
        [(kind, text)] = banners(browse(site, "/admin/funnel", tmp_path, user="boss"))
        assert kind == "config" and text.startswith(
            f"<p>Host {socket.gethostname()} cannot load its configuration {site.config} (line "
            f"{line}: [limits]: unknown setting 'events_per_mintue'). The last good "
            "configuration is in use since ")
    finally:
        with open(site.config, "w") as f:
            f.write(good)
    wait_for(lambda: not shown(), "the banner to go", 30)


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


def test_a_reference_typed_into_the_search_box_opens_its_event(site, tmp_path):
    store = open_store(site.database)
    [reference] = [e["reference"] for e in recent_events(store, 1)]
    store.close()
    page = Page(tmp_path / "profile", "boss", PASSWORD)
    try:
        page.open(site.url("/admin/failures?period=30d"))
        page.type_into("header form.search input[name=reference]",
                       f" {reference.lower()} ")
        page.press_enter()
        assert page.url() == site.url(f"/admin/event/{reference}")
        assert f"<h2>Event {reference}</h2>" in page.html()
    finally:
        page.close()
