"""The console's lookups: a support reference to its event, a table's cell to
the paged list behind it, and the Alerts view, on both stores."""

import json
import re

import pytest
from conftest import ADMIN, CONFIG, GOOD

from quillo_service import create_app
from quillo_service.admin import auth
from quillo_service.alerts import outbox, queue
from quillo_service.alerts import view as alerts_view
from quillo_service.reports.events import build_event
from quillo_service.reports.records import record_event

NOW = 1_800_000_000.0
CAMPAIGN = "GET:https://setup.test/installers/campaign.exe"


@pytest.fixture
def console(database, write_config):
    auth._accepted.clear()
    a = create_app(write_config(CONFIG + ADMIN), database=database, proxies="127.0.0.1")
    a.extensions["quillo"].clock = lambda: NOW
    yield a.extensions["quillo"].store, a.test_client()
    a.extensions["quillo"].store.close()


def error(store, at, code=155, key="acme1", client="c1"):
    q = (f"source=gatherkit&code={code}&message=m&error=0x80072efd&version=0%2C1%2C0%2C220"
         f"&os=10.0&key={key}")
    event = build_event(q.encode(), client, at)
    assert record_event(store, event, 1000)
    return event["reference"]


def test_a_reference_typed_in_any_case_opens_its_event_and_others_get_a_clear_page(console):
    store, client = console
    ref = error(store, NOW - 60)
    r = client.get(f"/admin/find?reference=+{ref.lower().replace('-', ' ')}+", headers=GOOD)
    assert r.status_code == 303 and r.headers["Location"].endswith(f"/admin/event/{ref}")
    page = client.get(f"/admin/event/{ref}", headers=GOOD)
    assert page.status_code == 200 and "The server&#39;s answer was not understood." in \
        page.data.decode()
    unknown = "AAAA-AAAA" if ref != "AAAA-AAAA" else "BBBB-BBBB"
    r = client.get(f"/admin/find?reference={unknown}", headers=GOOD, follow_redirects=True)
    assert r.status_code == 404 and f"No event has the reference {unknown}" in r.data.decode()
    r = client.get("/admin/find?reference=%3Cb%3E" + ref, headers=GOOD)
    body = r.data.decode()
    assert r.status_code == 400 and "<b>" not in body and "&lt;b&gt;" in body
    assert "No event has the reference" in body and 'name="reference"' in body


def test_an_event_shows_the_request_joins_lays_it_at_and_its_clients_other_events(console):
    store, client = console
    store.record_request(NOW - 300, "c1", "acme1", "0,1,0,220", None, CAMPAIGN, "acme", "", "")
    # Nearer in time, but of another key: an error report is not its.
    store.record_request(NOW - 30, "c1", "zed", "0,1,0,220", None,
                         "GET:https://setup.test/installers/stable.exe", "default", "", "")
    older = [error(store, NOW - 200 + i) for i in range(2)]
    elsewhere = error(store, NOW - 100, client="c2")
    other_key = error(store, NOW - 90, key="zed")
    ref = error(store, NOW - 20)
    html = client.get(f"/admin/event/{ref}", headers=GOOD).data.decode()
    mine = html[html.index("The request it belongs to"):html.index("Other events")]
    assert "channel campaign" in mine and ">acme<" in mine and "4 min 40 s before" in mine
    others = re.findall(r'<a href="/admin/event/([A-Z0-9-]+)"', html[html.index("Other events"):])
    assert others == older[::-1]
    assert elsewhere not in html and other_key not in html
    html = client.get(f"/admin/event/{elsewhere}", headers=GOOD).data.decode()
    assert "This report belongs to no request" in html


def test_a_failure_code_links_to_its_reports_fifty_a_page(console):
    store, client = console
    refs = [error(store, NOW - 3600 + i) for i in range(51)]
    error(store, NOW - 10, code=188)
    html = client.get("/admin/failures?period=24h", headers=GOOD).data.decode()
    link = re.search(r'<a href="(/admin/events\?[^"]*code=155[^"]*)">155</a>', html).group(1)
    assert "period=24h" in link
    first = client.get(link.replace("&amp;", "&"), headers=GOOD).data.decode()
    shown = re.findall(r'<a href="/admin/event/([A-Z0-9-]+)', first)
    assert shown == refs[:0:-1]  # 50, newest first: the 51st older one is not among them
    older = re.search(r'<a href="([^"]+)" rel="next">', first).group(1).replace("&amp;", "&")
    second = client.get(older, headers=GOOD).data.decode()
    assert re.findall(r'<a href="/admin/event/([A-Z0-9-]+)', second) == refs[:1]
    assert 'rel="next"' not in second and 'rel="prev"' in second


def test_the_alerts_page_shows_a_failing_delivery_and_its_last_error(console):
    store, client = console
    client.application.extensions["quillo"].clock = store.now  # the outbox's clock
    assert outbox.notify(store, "rollout_halted", {"rule": "<b>new</b>"})
    webhook = [r for r in queue.latest(store) if r["channel"] == "webhook"][0]
    queue.retry(store, webhook["id"], NOW + 60, "connection refused by hook.test:443")
    html = client.get("/admin/alerts?period=24h", headers=GOOD).data.decode()
    assert "<title>Quillo dashboard: Alerts</title>" in html
    row = [r for r in html.split("<tr>") if "webhook" in r][0]
    assert "failing: 1 attempt so far" in row and "connection refused by hook.test:443" in row
    assert "&lt;b&gt;new&lt;/b&gt;" in row
    assert "1 failing and tried again, 1 waiting for their first attempt" in html


def test_an_alert_reads_in_words_and_an_unknown_one_as_stored():
    arm = {"requests": 200, "failures": 44}
    halted = json.dumps({"rule": "globex", "step": 1, "share": 20, "who": "guard",
                         "rule_arm": arm, "control_arm": {"requests": 0, "failures": 0}})
    assert alerts_view.about("rollout_halted", halted) == (
        "\u201cglobex\u201d halted at step 1 (20 %) by the guard: its machines 22.0 % of 200 "
        "failed, the control no requests")
    crash = json.dumps({"module": "Quillo.exe", "offset": 0x1F2, "exception_code": 0xC0000005,
                        "crashes": 12, "crashes_day_before": 3})
    assert alerts_view.about("crash_group_doubled", crash) == (
        "Quillo.exe at offset 0x1F2, exception 0xc0000005: 12 crashes in 24 hours, "
        "against 3 the day before")
    odd = json.dumps({"rule": "x", "note": "y" * 300})
    assert alerts_view.about("rollout_halted", odd) == odd[:159] + "\u2026"
