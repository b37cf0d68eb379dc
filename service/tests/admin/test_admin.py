"""The dashboard: access, counts on both stores, CSV, retention of its rollup."""

import base64
import csv
import io
import os
import pwd
import re
import subprocess
import sys
import tempfile
import threading
import time

import pytest
from conftest import ADMIN, CONFIG, GOOD, PASSWORD, SERVICE, banners, wait_for

from quillo_service import create_app  # noqa: E402
from quillo_service.admin import auth
from quillo_service.periods import day_text, time_text
from quillo_service.reports.events import build_event
from quillo_service.dashboard.queries import Dashboard
from quillo_service.funnel.queries import FunnelCounts
from quillo_service.ingest.positions import ingest_position, ingest_requests
from quillo_service.reports.records import record_event
from quillo_service.rollouts.queries import RolloutQueries

DAY = 86400
NOW = 1_800_000_000 - 1_800_000_000 % DAY + 12 * 3600  # noon UTC


def basic(user, password):
    return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}


@pytest.fixture
def admin_app(database, write_config):
    auth._accepted.clear()
    a = create_app(write_config(CONFIG + ADMIN), database=database, proxies="127.0.0.1")
    a.extensions["quillo"].clock = lambda: NOW
    yield a
    a.extensions["quillo"].store.close()


def seed(store):
    """A small, known set: requests on three days, failures, crashes, malformed."""
    reqs = [  # (seconds before NOW, key, version, answer, malformed)
        (2 * DAY + 100, "acme1", "0,1,0,220", "GET:https://setup.test/installers/campaign.exe", ""),
        (2 * DAY + 200, "acme1", "0,1,0,220", "GET:https://setup.test/installers/campaign.exe", ""),
        (2 * DAY + 300, "acme1", "0,1,0,220", "GET:https://setup.test/installers/campaign.exe", ""),
        (2 * DAY + 400, "zed", "0,1,0,210", "GET:https://setup.test/installers/stable.exe", ""),
        (30 * 3600, "acme2", "0,1,0,220", "GOTO:https://setup.test/notice/update", ""),
        (18 * 3600, "acme2", "0,1,0,220", "GET:https://setup.test/installers/campaign.exe", ""),
        (3600, "=cmd|' /C calc'!A0", "0,1,0,220", "GET:https://setup.test/installers/stable.exe",
         ""),
        (1800, None, None, "GET:https://setup.test/installers/stable.exe", "id,key,version"),
    ]
    for ago, key, version, answer, bad in reqs:
        store.record_request(NOW - ago, "203.0.113.1", key, version, None, answer, "r", bad, "")
    queries = [
        (2 * DAY + 150, "source=gatherkit&code=188&message=m&error=0x80072efd&version=0%2C1%2C0"
                        "%2C220&os=6.1&key=acme1"),
        (2 * DAY + 250, "source=gatherkit&code=188&message=m&error=0x80072efd&version=0%2C1%2C0"
                        "%2C220&os=10.0&key=acme1"),
        (1200, "source=gatherkit&code=206&message=%3Cscript%3Ealert(1)%3C%2Fscript%3E"
               "&error=0x800b0100&version=0%2C1%2C0%2C210&os=10.0&key=zed"),
    ] + [(ago, "source=Gatherkit&code=0&message=0x00400000%3A0x00401A2B%3Ac0000005%3A"
               "Quillo-setup.exe&error=0x0000023e&version=0&os=0&key=0")
         for ago in (DAY + 10, 600)] + [
        (500, "source=Gatherkit&code=0&message=0x77C10000%3A0x77C5E3C5%3Ac0000374%3Antdll.dll"
              "&error=0x0000023e&version=0&os=0&key=0")]
    for ago, q in sorted(queries, reverse=True):  # recorded in time order
        assert record_event(store, build_event(q.encode(), "203.0.113.1", NOW - ago), 100)
    # A page rolls up by the database's clock, which is before this test's NOW.
    Dashboard(store).catch_up(now=NOW)


def table(client, view, name, query=""):
    r = client.get(f"/admin/{view}?csv={name}&{query}", headers=GOOD)
    assert r.status_code == 200 and r.headers["Content-Type"].startswith("text/csv")
    return list(csv.reader(io.StringIO(r.data.decode())))


def per_day(client, view, period):
    """{day or hour: count} of a view's per-day table over `period`, zeros left out."""
    return {r[0]: int(r[1]) for r in table(client, view, "per-day", f"period={period}")[1:]
            if r[1] != "0"}


def test_everything_under_admin_needs_the_password(database, admin_app):
    client = admin_app.test_client()
    for path in ("/admin/", "/admin/crashes", "/admin/rates?csv=campaigns", "/admin/nope/x"):
        r = client.get(path)
        assert r.status_code == 401, path
        assert r.headers["WWW-Authenticate"].startswith("Basic ")
    assert client.get("/admin/", headers=GOOD).status_code == 200
    assert client.get("/admin/nope/x", headers=GOOD).status_code == 404
    for wrong in (basic("boss", "guess"), basic("root", PASSWORD), {"Authorization": "Basic %%"},
                  basic("boss", PASSWORD + " ")):
        assert client.get("/admin/", headers=wrong).status_code == 401
    # The fifth wrong password of the minute locks the address out, good
    # credentials included, while other addresses go on.
    assert client.get("/admin/", headers=basic("boss", "x")).status_code == 401
    r = client.get("/admin/", headers=GOOD)
    assert r.status_code == 429 and r.headers["Retry-After"] == "60"
    assert client.get("/admin/", headers={**GOOD, "X-Real-IP": "198.51.100.2"}).status_code == 200
    admin_app.extensions["quillo"].clock = lambda: NOW + 60  # the next minute
    assert client.get("/admin/", headers=GOOD).status_code == 200


def test_form_tokens_last_eight_hours_and_any_other_character_is_refused(admin_app):
    admin = admin_app.extensions["quillo"].watcher.current().admin
    boss = {auth.LOGIN: admin}
    made = auth.form_token(boss, NOW - 8 * 3600)
    assert auth.form_token_ok(boss, made, NOW)
    assert not auth.form_token_ok(boss, made, NOW + 1)
    good = auth.form_token(boss, NOW)
    wide = "".join(chr(ord(c) + 0xFEE0) if c.isdigit() else c for c in good.split(".")[0])
    client = admin_app.test_client()
    for token in ("\u00b2." + good.split(".")[1], wide + "." + good.split(".")[1]):
        r = client.post("/admin/rollouts/act", headers=GOOD,
                        data={"rule": "beta rollout", "action": "halt", "token": token})
        assert r.status_code == 403
    audit = RolloutQueries(admin_app.extensions["quillo"].store).audit("beta rollout")
    assert [row[3] for row in audit] == ["halt refused"] * 2


def test_counts_filters_and_periods(database, admin_app):
    store = admin_app.extensions["quillo"].store
    seed(store)
    client = admin_app.test_client()
    d = lambda ago: __import__("quillo_service.periods", fromlist=["day_text"]).day_text(
        int((NOW - ago) // DAY))

    per_day = {r[0]: int(r[1]) for r in table(client, "installs", "per-day")[1:]}
    assert len(per_day) == 7 and sum(per_day.values()) == 8
    assert (per_day[d(2 * DAY)], per_day[d(DAY)], per_day[d(0)]) == (4, 2, 2)
    mix = {r[0]: int(r[1]) for r in table(client, "installs", "answers")[1:]}
    assert mix == {"channel campaign": 4, "channel stable": 3,
                   "page https://setup.test/notice/update": 1}
    # The rollup now holds everything older than two minutes; newer requests
    # are counted live, and both add up.
    store.record_request(NOW - 5, "203.0.113.1", "acme1", "0,1,0,220", None,
                         "GET:https://setup.test/installers/campaign.exe", "r", "", "")
    rows = table(client, "installs", "per-day", "key=acme&match=prefix")
    assert sum(int(r[1]) for r in rows[1:]) == 6
    assert sum(int(r[1]) for r in table(client, "installs", "per-day", "key=acme")[1:]) == 0
    assert sum(int(r[1]) for r in table(client, "installs", "per-day",
                                        "version=0,1,0,210")[1:]) == 1
    # The last 24 hours split yesterday: only its 18:00 request is in.
    assert sum(int(r[1]) for r in table(client, "installs", "per-day", "period=24h")[1:]) == 4
    custom = table(client, "installs", "per-day", f"period=custom&from={d(2 * DAY)}&to={d(DAY)}")
    assert [(r[0], r[1]) for r in custom[1:]] == [(d(2 * DAY), "4"), (d(DAY), "2")]

    codes = {r[0]: (r[1], int(r[3])) for r in table(client, "failures", "codes")[1:]}
    assert codes == {"188": ("The installer could not be downloaded.", 2),
                     "206": ("The installer's signature is not valid.", 1)}
    # Failed requests over requests: acme1's two errors belong to two of its
    # four requests; zed's error came two days after its only request, past
    # the error window, so it belongs to none; the keyless request failed
    # once, whatever its two crash reports.
    rates = {r[0]: r[1:] for r in table(client, "rates", "campaigns")[1:]}
    assert rates["acme1"] == ["4", "2", "50.00 %"] and rates["zed"] == ["1", "0", "0.00 %"]
    assert rates["(other keys)"] == ["1", "1", "100.00 %"]
    assert rates["'=cmd|' /C calc'!A0"][0] == "1"  # a formula is defused in CSV
    os_rows = {r[0]: int(r[2]) for r in table(client, "systems", "os")[1:]}
    assert os_rows == {"10.0": 2, "6.1": 1}
    crashes = table(client, "crashes", "groups")[1:]
    assert [r[:5] for r in crashes] == [["Quillo-setup.exe", "0x1A2B", "0xC0000005",
                                         "access violation", "2"],
                                        ["ntdll.dll", "0x4E3C5", "0xC0000374", "heap corruption",
                                         "1"]]
    assert crashes[0][7] == "0x00400000:0x00401A2B:c0000005:Quillo-setup.exe"
    assert table(client, "malformed", "request-fields")[1:] == [["id,key,version", "1"]]

    html = client.get("/admin/rates", headers=GOOD).data.decode()
    assert "=cmd|&#39; /C calc&#39;!A0" in html
    html = client.get("/admin/malformed", headers=GOOD).data.decode()
    assert "<script>" not in html and "&lt;svg" not in html and "<svg" in html


def test_a_failure_rate_is_failed_requests_over_requests(database, admin_app):
    """Reports of one request count it failed once and reports of no request
    are on a line of their own, so no rate passes 100 %; the rates agree
    with the funnel's counts."""
    store = admin_app.extensions["quillo"].store
    funnel = FunnelCounts(store)
    funnel.catch_up(now=NOW - 8 * DAY)  # the funnel began before the period
    at = NOW - 2 * DAY
    for ago, key, version in ((3 * 3600, "k", "0,1,0,220"), (2 * 3600, "k", "0,1,0,220"),
                              (7000, "all", "0,1,0,210")):
        store.record_request(at - ago, "203.0.113.1", key, version, None,
                             "GET:https://setup.test/installers/stable.exe", "r", "", "")
    error = ("source=gatherkit&code=188&message=m&error=0x80072efd&version=0%2C1%2C0%2C220"
             "&os=10.0&key={}")
    crash = ("source=Gatherkit&code=0&message=0x00400000%3A0x00401A2B%3Ac0000005%3Aq.exe"
             "&error=0x0000023e&version=0&os=0&key=0")
    reports = [(7190, error.format("k")), (7180, error.format("k")), (7170, error.format("k")),
               (6990, error.format("all")), (6980, error.format("all")),
               (3600, error.format("gone"))]  # a key that asked nothing
    for ago, q in reports:
        assert record_event(store, build_event(q.encode(), "203.0.113.1", at - ago), 100)
    assert record_event(store, build_event(crash.encode(), "198.51.100.9", at - 60), 100)
    funnel.catch_up(now=NOW, budget=60)

    client = admin_app.test_client()
    rates = {r[0]: r[1:] for r in table(client, "rates", "campaigns")[1:]}
    assert rates == {"k": ["2", "1", "50.00 %"], "all": ["1", "1", "100.00 %"]}
    versions = {r[0]: r[1:] for r in table(client, "systems", "versions")[1:]}
    assert versions == {"0,1,0,220": ["2", "1", "50.00 %"], "0,1,0,210": ["1", "1", "100.00 %"]}
    stages = {r[0]: (r[3], r[8]) for r in table(client, "funnel", "funnel")[1:]}
    assert stages == {"k": ("2", "1"), "all": ("1", "1")}  # asked, failure reported
    line = "2 failure reports in this period (1 error, 1 crash) belong to no request"
    for view in ("rates", "systems"):
        html = client.get(f"/admin/{view}", headers=GOOD).data.decode()
        assert line in html and "counted from" not in html, view

    # A rollup made before these reports were counted: they are counted from
    # its position on, and the line says so.
    for name in ("funnel_daily", "funnel_hourly"):
        store._conn().execute(f"DELETE FROM {name} WHERE answer LIKE 'report:%'")
    store._conn().execute("DELETE FROM rollup_state WHERE name IN "
                          "('funnel began', 'funnel unlaid reports')")
    funnel.catch_up(now=NOW, budget=60)
    html = client.get("/admin/rates", headers=GOOD).data.decode()
    assert ("Every failure report in this period belongs to a request." in html
            and f"counted from {time_text(funnel.rolled_up_to())} UTC on" in html)


@pytest.mark.parametrize("hour", [2, 12])  # the rollup less the early rows; the rows alone
def test_a_period_that_starts_within_a_day_counts_its_part_of_that_day(store, hour):
    now = NOW - 12 * 3600 + hour * 3600
    start = now - DAY
    for ago in (DAY + 1, DAY, DAY - 1, DAY - 2, 3):  # one before the start
        store.record_request(now - ago, "203.0.113.1", "acme1", "0,1,0,220", None,
                             "GET:https://setup.test/installers/stable.exe", "r",
                             "id" if ago == DAY - 2 else "", "")
    Dashboard(store).catch_up(now=now)
    period = __import__("quillo_service.periods", fromlist=["Period"]).Period(
        "24h", start, now, "")
    counts = Dashboard(store).request_counts(period, None, ("day", "malformed"), now=now)
    first = int(start // DAY)
    assert counts[(first, "")] == 2 and counts[(first, "id")] == 1
    assert sum(counts.values()) == 4


def test_retention_takes_the_rollup_along(database, admin_app):
    store = admin_app.extensions["quillo"].store
    seed(store)
    client = admin_app.test_client()
    assert client.get("/admin/", headers=GOOD).status_code == 200
    rows = {"rollout_counts": "'r', {}, 'rule', 1, 0, -1",
            "requests_hourly": "{}, 'bound', '', '', '', '', 1",
            "reports_hourly": "{}, 'bound', '', '', 0, '', 0, 0, 0, '', '', 1, 0, 0, NULL"}
    for hour in (NOW // 3600 - 24, NOW // 3600 - 25):  # hours on the bound and past it
        for t, values in rows.items():
            store._conn().execute(f"INSERT INTO {t} VALUES ({values.format(hour)})")
    deleted = store.purge(1, now=NOW)
    assert deleted == 5 + 3  # requests and events older than a day
    for t in rows:
        early = store.rows(f"SELECT hour FROM {t} WHERE hour < {NOW // 3600 - 23}")
        assert [r["hour"] for r in early] == [NOW // 3600 - 24], t
    days = store.rows("SELECT DISTINCT day FROM requests_daily ORDER BY day")
    assert [r["day"] for r in days] == [NOW // DAY - 1, NOW // DAY]
    per_day = table(client, "installs", "per-day")[1:]
    assert sum(int(r[1]) for r in per_day) == 3 + 1  # yesterday's rollup keeps a purged row


def test_parallel_wrong_guesses_check_no_more_than_the_limit(database, admin_app, monkeypatch):
    # Each guess holds in the hash until every guess has either reached the
    # hash or been turned away, so all of them overlap as on a busy server.
    state, guesses = admin_app.extensions["quillo"], 12
    ready, arrived, hashed = threading.Condition(), [0], [0]

    def arrive():
        with ready:
            arrived[0] += 1
            ready.notify_all()

    def held_hash(stored, password):
        hashed[0] += 1
        arrive()
        with ready:
            ready.wait_for(lambda: arrived[0] >= guesses, timeout=30)
        return False

    def guess(results):
        env = {"HTTP_AUTHORIZATION": basic("boss", "guess")["Authorization"],
               "REMOTE_ADDR": "203.0.113.5"}
        verdict = auth.check(env, state.watcher.current().admin, state.store, NOW)
        if verdict == "limited":
            arrive()
        results.append(verdict)

    monkeypatch.setattr(auth, "check_password_hash", held_hash)
    results = []
    threads = [threading.Thread(target=guess, args=(results,)) for _ in range(guesses)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert hashed[0] == auth.WRONG_PER_MINUTE
    assert sorted(results) == ["limited"] * 7 + ["wrong"] * 5


def test_a_wrong_user_name_still_pays_for_the_hash(admin_app, monkeypatch):
    state, checked = admin_app.extensions["quillo"], []
    monkeypatch.setattr(auth, "check_password_hash", lambda h, p: checked.append(p) or True)
    env = {"HTTP_AUTHORIZATION": basic("root", PASSWORD)["Authorization"]}
    assert auth.check(env, state.watcher.current().admin, state.store, NOW) == "wrong"
    assert checked == [PASSWORD]


def test_made_up_keys_are_folded_into_other_keys(database, admin_app, monkeypatch):
    from quillo_service import key_rules
    monkeypatch.setattr(key_rules, "KEYS_PER_DAY", 5)
    monkeypatch.setattr(Dashboard, "TOP_KEYS", 3)
    store = admin_app.extensions["quillo"].store
    answer = "GET:https://setup.test/installers/stable.exe"
    for i in range(10):  # key k<i> with i + 1 requests, an hour ago
        for _ in range(i + 1):
            store.record_request(NOW - 3600, "c", f"k{i}", "0,1,0,220", None, answer, "d", "",
                                 "")
    for _ in range(20):  # the most requests, but no launcher's key
        store.record_request(NOW - 3600, "c", "k9\x01", "0,1,0,220", None, answer, "d", "key",
                             "")
    Dashboard(store).catch_up(now=NOW)
    for key in ("k9\x01", "k0", "new"):  # newer than the rollup: counted live
        store.record_request(NOW - 5, "c", key, "0,1,0,220", None, answer, "d",
                             "key" if "\x01" in key else "", "")
    rolled = store.rows("SELECT DISTINCT bundle_key FROM requests_daily")
    assert sorted(r["bundle_key"] for r in rolled) == ["", "k5", "k6", "k7", "k8", "k9"]
    rates = {r[0]: int(r[1]) for r in table(admin_app.test_client(), "rates", "campaigns")[1:]}
    assert rates == {"k9": 10, "k8": 9, "k7": 8, "(other keys)": 55 + 20 + 3 - 27}


def test_a_page_counts_each_request_once_while_another_rolls_up(database, admin_app,
                                                                   monkeypatch):
    from quillo_service.db import open_store
    store = admin_app.extensions["quillo"].store
    for i in range(30):
        store.record_request(NOW - 3600 - i, "c", "acme1", "0,1,0,220", None, "GET:x", "r",
                             "", "")
    cron = open_store(database)  # another process's rollup
    rolled_up_to, catch_up, busy = Dashboard.rolled_up_to, Dashboard.catch_up, []

    def racing(self):
        last = rolled_up_to(self)
        if not busy:  # right after the page read the rollup's position
            busy.append(1)
            catch_up(Dashboard(cron), now=NOW)
        return last

    monkeypatch.setattr(Dashboard, "rolled_up_to", racing)
    # The page's own catch-up finds nothing to do; the cron job beats it.
    monkeypatch.setattr(Dashboard, "catch_up", lambda self, now=None, budget=None:
                        self.rolled_up_to())
    per_day = table(admin_app.test_client(), "installs", "per-day")[1:]
    assert Dashboard(cron).rolled_up_to() == 30
    assert sum(int(r[1]) for r in per_day) == 30
    # Inside a snapshot, another connection's commit stays out of sight.
    with store.snapshot():
        before = store.count("requests")
        cron.record_request(NOW, "c", "acme1", "0,1,0,220", None, "GET:x", "r", "", "")
        assert store.count("requests") == before
    assert store.count("requests") == before + 1
    cron.close()


def test_csv_cells_that_a_spreadsheet_would_run_are_defused():
    from quillo_service.admin import safe_cell
    for lead in ("=", "+", "-", "@", "\t", "\r"):
        assert safe_cell(lead + "SUM(A1)") == "'" + lead + "SUM(A1)"
    assert (safe_cell("acme=1"), safe_cell(-5), safe_cell(None)) == ("acme=1", -5, "")


def test_a_request_kept_nowhere_is_answered_counted_and_logged_once(tmp_path, write_config,
                                                                     monkeypatch, caplog):
    import sqlite3
    from quillo_service.launcher import instructions
    from quillo_service.throttle import LogThrottle
    monkeypatch.setattr(instructions, "_store_errors", LogThrottle(interval=3600))
    app = create_app(write_config(CONFIG + ADMIN), database=str(tmp_path / "q.db"))
    store = app.extensions["quillo"].store
    store.spool.path = str(tmp_path / "no such folder" / "spool")
    client = app.test_client()
    writer = sqlite3.connect(str(tmp_path / "q.db"), isolation_level=None)
    writer.execute("BEGIN IMMEDIATE")
    try:
        for _ in range(3):
            assert client.get("/getinstaller?key=acme1").data == \
                b"GET:https://setup.test/installers/campaign.exe"
    finally:
        writer.execute("ROLLBACK")
        writer.close()
    assert len([r for r in caplog.records if "not recorded" in r.message]) == 1
    client.get("/getinstaller?key=acme1")  # recorded; the losses are counted with it
    assert store.count("requests") == 1
    html = client.get("/admin/", headers=GOOD).data.decode()
    assert "3 instruction requests were answered but could not be recorded" in html
    store.close()


def test_a_host_silent_for_a_lease_is_named_until_it_is_back(database, admin_app):
    from quillo_service import settings
    store = admin_app.extensions["quillo"].store
    client = admin_app.test_client()
    lease = settings.lease_seconds()

    def seen(name, ago, spooled, unread):
        store.beat(name, spooled, unread)
        with store.transaction() as conn:
            conn.execute(f"UPDATE hosts SET seen_at = seen_at - {store.placeholder} "
                         f"WHERE name = {store.placeholder}", (ago, name))

    def named(view="installs"):
        html = client.get(f"/admin/{view}", headers=GOOD).data.decode()
        return sorted(h for h in ("web-a", "web-b", "web-c") if f"Host {h} " in html), html

    seen("web-a", lease - 2, 3, 100)  # alive, its spool being written
    assert named()[0] == []
    seen("web-a", lease + 2, 3, 100)  # silent past the lease: its records are not in
    seen("web-b", lease + 2, 0, 0)  # nothing pending when last seen; its logs may grow
    seen("web-c", lease - 2, 0, 0)
    for view in ("installs", "funnel", "rollouts"):  # a banner on every page
        hosts, html = named(view)
        assert hosts == ["web-a", "web-b"]
        assert "3 requests in its spool and 100 bytes of its nginx logs not read" in html
        assert "scripts/quillo hosts FILE forget web-b)" in html
    seen("web-a", 0, 0, 0)  # back, and read in
    assert store.forget_host("web-b")  # taken out for good
    assert named()[0] == []


def test_a_host_whose_file_does_not_load_or_differs_is_named_on_every_page(database,
                                                                          admin_app):
    from quillo_service import settings
    from quillo_service.config.watcher import Live
    state = admin_app.extensions["quillo"]
    store, watcher, client = state.store, state.watcher, admin_app.test_client()
    watcher.interval = watcher.settle = 0
    here, good = settings.host_name(), watcher.live()

    def page(view="installs"):
        return banners(client.get(f"/admin/{view}", headers=GOOD).data.decode())
    assert page() == []
    # This process's own file broken by an edit (it sends no heartbeat):
    # the last good configuration goes on.
    text = open(watcher.path).read()
    broken = text.replace("[maintenance]\n", "[maintenance]\nenabeld = true\n")
    line = broken.splitlines().index("enabeld = true") + 1
    with open(watcher.path, "w") as f:
        f.write(broken)
    # Two hosts within the lease: web-a on the same bytes, its edit broken
    # otherwise; web-b on other bytes.  A silent host is not compared.
    store.beat("web-a", 0, 0, good._replace(error="not valid TOML: Invalid value (at line 3, "
                                                  "column 7)", error_line=3))
    store.beat("web-b", 0, 0, Live("f" * 64, "/etc/quillo/service.toml", NOW - 3600))
    store.beat("web-c", 0, 0, Live("e" * 64, "/etc/quillo/service.toml", NOW - 3600))
    with store.transaction() as conn:
        conn.execute("UPDATE hosts SET seen_at = seen_at - 3600 WHERE name = 'web-c'")
    since = time_text(good.since)
    for view in ("installs", "funnel", "rollouts"):
        found = page(view)
        assert [kind for kind, _ in found] == ["config", "config", "hosts", "silent"]
        broken = {text.split()[1]: text for kind, text in found if kind == "config"}
        assert broken[here].startswith(
            f"<p>Host {here} cannot load its configuration {watcher.path} (line {line}: "
            f"[maintenance]: unknown setting 'enabeld'). The last good configuration is in "
            f"use since {since} UTC")
        assert broken["web-a"].startswith(
            f"<p>Host web-a cannot load its configuration {good.file} (line 3: not valid TOML: "
            f"Invalid value (at line 3, column 7)). The last good configuration is in use "
            f"since {since} UTC")
        differs = found[2][1]
        assert differs.startswith("<p>Host web-b serves with another configuration than the "
                                  "other hosts (") and here in differs and "web-c" not in differs
        assert "the staged rollouts' arms and halts depend on every host" in differs
        assert "web-b: /etc/quillo/service.toml, fingerprint ffffffffffff" in differs
    # Fixed everywhere: nothing to say but the silent host.
    with open(watcher.path, "w") as f:
        f.write(text)
    store.beat("web-a", 0, 0, good)
    store.beat("web-b", 0, 0, good)
    assert [kind for kind, _ in page()] == ["silent"]


def test_maintenance_mode_says_since_when_across_a_restart(database, write_config):
    from quillo_service.banners.queries import maintenance_since
    path = write_config(CONFIG + ADMIN)
    on = CONFIG.replace("enabled = false", "enabled = true") + ADMIN

    def start():
        app = create_app(path, database=database, proxies="127.0.0.1")
        app.extensions["quillo"].watcher.interval = 0
        app.extensions["quillo"].watcher.settle = 0
        return app, app.extensions["quillo"]

    def page(app):
        return banners(app.test_client().get("/admin/", headers=GOOD).data.decode())
    app, state = start()
    wait_for(lambda: state.scheduler._marked is not None, "the first mark")
    assert page(app) == []
    # Turned on while the store cannot take it: told once it can.
    store = state.store
    store._conn().execute("ALTER TABLE rollup_state RENAME TO rollup_state_away")
    try:
        with open(path, "w") as f:
            f.write(on)
        state.watcher.current()
        time.sleep(1.5)  # the worker's loop tries, and fails
    finally:
        store._conn().execute("ALTER TABLE rollup_state_away RENAME TO rollup_state")
    wait_for(lambda: maintenance_since(store) is not None, "maintenance's start")
    [(kind, text)] = page(app)
    since = time_text(maintenance_since(store))
    assert kind == "maintenance" and text == (
        f"<p>Maintenance mode is on since {since} UTC: every launcher is sent to "
        "https://setup.test/notice/maintenance, whatever the rules say. When the work is "
        "done, set enabled = false under [maintenance] in the configuration.</p>")
    state.scheduler.stop()
    store.close()
    # Restarted (every host agrees too): the same start.
    app, state = start()
    wait_for(lambda: state.scheduler._marked is not None, "the restart's mark")
    assert page(app) == [(kind, text)]
    with open(path, "w") as f:
        f.write(CONFIG + ADMIN)
    wait_for(lambda: maintenance_since(state.store) is None, "maintenance's end")
    assert page(app) == []
    state.scheduler.stop()
    state.store.close()


def test_fallback_answers_are_counted_in_a_row_of_their_own(database, admin_app):
    store = admin_app.extensions["quillo"].store
    stable = "GET:https://setup.test/installers/stable.exe"
    # Two days ago (counted from the rollup) and a minute ago (counted live).
    for ago in (2 * DAY, 60):
        store.record_request(NOW - ago, "203.0.113.1", "k", "0,1,0,220", None, stable,
                             "default", "", "")
    position = ingest_position(store, "log")[:2]
    rows = [(NOW - ago, "203.0.113.2", "k", "0,1,0,220", None, stable, "fallback", "", "", None,
             None) for ago in (2 * DAY, 2 * DAY, 60)]
    assert ingest_requests(store, "log", position, ("log-file", 1), rows)
    answers = table(admin_app.test_client(), "installs", "answers")[1:]
    assert [r[:2] for r in answers] == [["nginx fallback: channel stable", "3"],
                                        ["channel stable", "2"]]


def test_an_answer_read_from_nginx_after_midnight_counts_on_its_own_day(database, admin_app):
    midnight = NOW - 12 * 3600
    store = admin_app.extensions["quillo"].store
    for at in (midnight + 1, midnight + 2):
        store.record_request(at, "c", "k", "0,1,0,220", None, "GET:x", "r", "", "")
    position = ingest_position(store, "log")[:2]  # nginx answered 2 s before midnight
    assert ingest_requests(store, "log", position, ("log-file", 1), [
        (midnight - 2, "c", "k", "0,1,0,220", None, "GET:x", "fallback", "", "", None, None)])
    store.record_request(midnight + 3, "c", "k", "0,1,0,220", None, "GET:x", "r", "", "")
    Dashboard(store).catch_up(now=NOW)
    per_day = table(admin_app.test_client(), "installs", "per-day", "period=7d")
    assert [row[:2] for row in per_day[1:] if row[1] != "0"] == [
        [day_text(midnight // DAY - 1), "1"], [day_text(midnight // DAY), "3"]]
    per_hour = table(admin_app.test_client(), "installs", "per-day", "period=24h")
    assert [row[:2] for row in per_hour[1:] if row[1] != "0"] == [
        [day_text(midnight // DAY - 1) + " 23:00", "1"],
        [day_text(midnight // DAY) + " 00:00", "3"]]


def late_rows_counted(client, view, today, late):
    """The late tests' rows: 5 this morning at 1 a.m. and 5 at 3 a.m., then
    40 replayed from three days ago and `late` from 8 p.m. yesterday; the
    last 24 hours and the last 7 days must count each in its own hour and day."""
    hours, days = (per_day(client, view, period) for period in ("24h", "7d"))
    yesterday = day_text(today // DAY - 1)
    assert hours == {f"{yesterday} 20:00": late, f"{day_text(today // DAY)} 01:00": 5,
                     f"{day_text(today // DAY)} 03:00": 5}
    assert days == {day_text((NOW - 3 * DAY) // DAY): 40, yesterday: late,
                    day_text(today // DAY): 10}


def test_late_rows_count_alike_in_the_last_24_hours_and_the_last_7_days(database, admin_app):
    """Rows replayed long after their time (a spool, nginx's log read after
    an outage) sit among far newer ids: each view counts them in their own
    hour and day, and the 24-hour and 7-day views agree."""
    store = admin_app.extensions["quillo"].store
    today = NOW - 12 * 3600
    for ago in range(5):  # this morning's requests, in time order
        store.record_request(today + 3600 + ago, "c", "k", "v", None, "GET:x", "r", "", "")
    # Replayed after them: hours and days older than their neighbours, far
    # more than LATE.
    for at in [NOW - 3 * DAY] * 40 + [today - 4 * 3600] * 3:
        store.record_request(at, "c", "k", "v", None, "GET:x", "r", "", "")
    for ago in range(5):
        store.record_request(today + 3 * 3600 + ago, "c", "k", "v", None, "GET:x", "r", "", "")
    Dashboard(store).catch_up(now=NOW)
    client = admin_app.test_client()
    late_rows_counted(client, "installs", today, 3)


ERROR = ("source=gatherkit&code={}&message=m&error=0x80072efd&version=0%2C1%2C0%2C220"
         "&os=10.0&key={}")
CRASH = ("source=Gatherkit&code=0&message=0x00400000%3A0x00401A2B%3Ac0000005%3Aq.exe"
         "&error=0x0000023e&version=0&os=0&key=0")


def report(store, at, query):
    assert record_event(store, build_event(query.encode(), "203.0.113.1", at), 10**6)


def test_late_reports_count_in_their_own_hour_in_every_view(database, admin_app):
    store = admin_app.extensions["quillo"].store
    today = NOW - 12 * 3600
    for at, q in ([(today + 3600 + i, ERROR.format(188, "k")) for i in range(5)]
                  # Replayed after them, far older than their neighbours.
                  + [(NOW - 3 * DAY, ERROR.format(206, "k"))] * 40
                  + [(today - 4 * 3600, ERROR.format(188, "k"))] * 3
                  + [(NOW - 20 * DAY, CRASH)]
                  + [(today + 3 * 3600 + i, ERROR.format(188, "k")) for i in range(5)]
                  + [(today + 3 * 3600, CRASH)]):
        report(store, at, q)
    Dashboard(store).catch_up(now=NOW)
    report(store, today - 4 * 3600, ERROR.format(188, "k"))  # late, and past the rollup
    client = admin_app.test_client()
    late_rows_counted(client, "failures", today, 4)
    codes = {r[0]: int(r[3]) for r in table(client, "failures", "codes", "period=30d")[1:]}
    assert codes == {"188": 14, "206": 40}
    assert {r[0]: int(r[2]) for r in table(client, "systems", "os", "period=30d")[1:]} == {
        "10.0": 54}
    groups = table(client, "crashes", "groups", "period=24h")[1:]
    assert [(r[0], r[4], r[5], r[6]) for r in groups] == [
        ("q.exe", "1", time_text(NOW - 20 * DAY), time_text(today + 3 * 3600))]


def test_a_day_keeps_its_reports_keys_up_to_the_bound_and_folds_the_next(store, monkeypatch):
    from quillo_service import key_rules
    monkeypatch.setattr(key_rules, "KEYS_PER_DAY", 3)
    dash, day = Dashboard(store), NOW - 12 * 3600
    for i, key in enumerate(["a", "a", "a", "b", "b", "c"]):  # three keys: on the bound
        report(store, day + 60 * i, ERROR.format(188, key))
    dash.catch_up(now=NOW)
    keys = "SELECT DISTINCT bundle_key FROM reports_{} ORDER BY 1"
    assert [r[0] for r in store.read(keys.format("daily"))] == ["a", "b", "c"]
    # One past it, in later hours: d outnumbers c, which is folded.
    for at in (day + 3600, day + 3660):
        report(store, at, ERROR.format(188, "d"))
    report(store, day + 7200, ERROR.format(188, "d") + "%01")  # no launcher's key
    dash.catch_up(now=NOW)
    for unit in ("daily", "hourly"):
        assert [r[0] for r in store.read(keys.format(unit))] == ["", "a", "b", "d"], unit
    other = store.read("SELECT SUM(n), MIN(first_at), MAX(last_at) FROM reports_daily "
                       "WHERE bundle_key = ''")
    assert [tuple(r) for r in other] == [(2, day + 300, day + 7200)]
    period = __import__("quillo_service.periods", fromlist=["Period"]).Period(
        "7d", NOW - 6 * DAY, NOW, "")
    assert dash.failures_by(period, None, "bundle_key") == [("a", 3), ("", 2), ("b", 2),
                                                             ("d", 2)]


def test_two_rollups_at_once_add_each_report_and_request_once(database):
    from quillo_service.db import open_store
    stores = [open_store(database) for _ in range(2)]
    for i in range(40):
        stores[0].record_request(NOW - 3600 + i, "c", "k", "v", None, "GET:x", "r", "", "")
        report(stores[0], NOW - 3600 + i, ERROR.format(188, "k"))
    dashes = [Dashboard(s) for s in stores]
    for d in dashes:
        d.CHUNK = 3
    threads = [threading.Thread(target=d.catch_up, kwargs={"now": NOW, "budget": 60})
               for d in dashes]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert dashes[0].rolled_up_to() == dashes[0].reports_rolled_up_to() == 40
    for table_ in ("requests_daily", "requests_hourly", "reports_daily", "reports_hourly"):
        assert stores[1].read(f"SELECT SUM(n) FROM {table_}")[0][0] == 40, table_
    for s in stores:
        s.close()


def test_long_and_missing_keys_and_chart_axes_read_at_a_glance(database, admin_app):
    from quillo_service.charts import round_step
    assert [round_step(n) for n in (0, 4, 5, 400, 401, 2758)] == [1, 1, 2, 100, 200, 1000]
    store = admin_app.extensions["quillo"].store
    seed(store)
    # Two keys that differ only at their end stay apart wherever they are cut.
    keys = ["acme" + "x" * 1017 + end for end in ("-a", "-b")]
    for key in keys * 5:  # the busiest day: 14 requests, no round number
        store.record_request(NOW - 60, "203.0.113.1", key, "0,1,0,220", None, "GET:x",
                             "r", "", "")
    client = admin_app.test_client()
    page = client.get("/admin/rates?period=24h", headers=GOOD).data.decode()
    # Cut in the middle in the table (the cell links to the key's failure
    # reports) and in the chart, whole in the titles.
    for key in keys:
        assert re.search(f'<td title="{key}"><a href="[^"]+">{key[:32]}\u2026{key[-15:]}</a></td>',
                         page)
        assert f'<title>{key}</title>{key[:19]}\u2026{key[-9:]}</text>' in page
    assert keys[0] in [r[0] for r in table(client, "rates", "campaigns", "period=24h")]
    assert '<td class="none">(no key)</td>' in client.get(
        "/admin/malformed?period=24h", headers=GOOD).data.decode()
    installs = client.get("/admin/installs?period=7d", headers=GOOD).data.decode()
    ticks = [t[1:].split("<")[0] for t in installs.split('text-anchor="end" font-size="10"')[1:]]
    assert ticks == ["0", "5", "10", "15"]


def test_a_cut_keeps_both_ends_and_a_text_at_the_bound_whole():
    from quillo_service.shorten import middle
    assert middle("a" * 31, 31) == "a" * 31
    assert middle("a" * 20 + "b" * 12, 31) == "a" * 20 + "\u2026" + "b" * 10


def test_dates_typed_into_the_form_win_over_the_period_select(database, admin_app):
    from quillo_service.periods import parse_period
    store = admin_app.extensions["quillo"].store
    seed(store)
    client = admin_app.test_client()
    week = parse_period({"period": "7d"}, NOW)[0]
    first, today = day_text(int(week.start // DAY)), day_text(int(NOW // DAY))
    # The form shows the period's dates and carries them hidden.
    page = client.get("/admin/installs?period=7d", headers=GOOD).data.decode()
    assert f'name="from" value="{first}"' in page and f'name="shown_to" value="{today}"' in page
    two_days_ago, yesterday = day_text(int(NOW // DAY) - 2), day_text(int(NOW // DAY) - 1)
    sent = f"shown_from={first}&shown_to={today}&key=&match=exact&version="
    # Dates typed over them, the select left at 7 days: the dates win.
    rows = table(client, "installs", "per-day",
                 f"period=7d&from={two_days_ago}&to={yesterday}&{sent}")
    assert [r[:2] for r in rows[1:]] == [[two_days_ago, "4"], [yesterday, "2"]]
    page = client.get(f"/admin/installs?period=7d&from={two_days_ago}&to={today}&{sent}",
                      headers=GOOD).data.decode()
    assert f"{two_days_ago} to {today}" in page
    assert f"period=custom&amp;from={two_days_ago}&amp;to={today}" in page  # links keep it
    # Dates left as shown: the select decides.
    rows = table(client, "installs", "per-day", f"period=24h&from={first}&to={today}&{sent}")
    assert len(rows) == 1 + 24


def test_the_last_24_hours_are_counted_by_the_hour(database, admin_app):
    store = admin_app.extensions["quillo"].store
    seed(store)
    client = admin_app.test_client()
    hours = [f"{day_text(int(NOW // DAY) - 1)} {h:02}:00" for h in range(13, 24)] + [
        f"{day_text(int(NOW // DAY))} {h:02}:00" for h in range(13)]
    rows = table(client, "installs", "per-day", "period=24h")
    assert rows[0][0] == "hour (UTC)" and [r[0] for r in rows[1:]] == hours
    counted = {r[0]: int(r[1]) for r in rows[1:] if r[1] != "0"}
    assert counted == {hours[5]: 1, hours[-2]: 2}  # 18:00; 11:00 and 11:30
    failures = table(client, "failures", "per-day", "period=24h")
    assert len(failures) == 1 + 24 and sum(int(r[1]) for r in failures[1:]) == 1
    page = client.get("/admin/malformed?period=24h", headers=GOOD).data.decode()
    assert page.count("<rect class=\"bar\"") == 1 and ">11:00</text>" in page
    assert "hour (UTC)</text>" in page


def test_a_chart_with_nothing_to_show_says_so(database, admin_app):
    client = admin_app.test_client()
    for view in ("installs", "failures", "rates", "crashes", "funnel"):
        page = client.get(f"/admin/{view}?period=24h", headers=GOOD).data.decode()
        assert "No data in this period</text>" in page, view
        assert 'text-anchor="end" font-size="10"' not in page  # no bare axis


def test_a_crash_group_was_first_seen_when_it_first_crashed_ever(database, admin_app):
    store = admin_app.extensions["quillo"].store
    seed(store)
    client = admin_app.test_client()
    for _ in range(2):  # the second page knows it without reading the older crashes
        groups = table(client, "crashes", "groups", "period=24h")[1:]
        assert [(r[0], r[4], r[5]) for r in groups] == [
            ("Quillo-setup.exe", "1", time_text(NOW - DAY - 10)),
            ("ntdll.dll", "1", time_text(NOW - 500))]
    # The chart cuts a long module name, never the offset and code that
    # tell its groups apart.
    page = client.get("/admin/crashes?period=24h", headers=GOOD).data.decode()
    assert ('<title>Quillo-setup.exe +0x1A2B 0xC0000005</title>'
            'Quillo\u2026exe +0x1A2B 0xC0000005</text>') in page


def test_versions_nobody_sent_are_labelled_unknown(database, admin_app):
    seed(admin_app.extensions["quillo"].store)
    page = admin_app.test_client().get("/admin/systems", headers=GOOD).data.decode()
    assert 'font-size="11">unknown</text>' in page
    versions = table(admin_app.test_client(), "systems", "versions")
    assert ["unknown", "1", "1", "100.00 %"] in versions


def test_csv_shares_are_numbers_and_the_file_names_its_days(database, admin_app):
    seed(admin_app.extensions["quillo"].store)
    client = admin_app.test_client()
    mix = table(client, "installs", "answers")
    assert mix[0] == ["answer", "requests", "share (%)"]
    assert [r[2] for r in mix[1:]] == ["50.0", "37.5", "12.5"]
    page = client.get("/admin/installs", headers=GOOD).data.decode()
    assert '<td class="n">50.0 %</td>' in page
    r = client.get("/admin/installs?csv=answers&period=custom&from=2027-01-01&to=2027-01-08",
                   headers=GOOD)
    assert r.headers["Content-Disposition"] == (
        'attachment; filename="quillo-installs-answers-2027-01-01-to-2027-01-08.csv"')


def test_no_page_csv_or_log_line_shows_a_client_address(admin_app, caplog):
    import re
    import time
    from conftest import SECRET
    from quillo_service.admin import views
    from quillo_service.periods import day_text
    from quillo_service.clients import client_key
    client = admin_app.test_client()
    addresses = ["198.51.100.77", "2001:db8::77", "198.51.100.78", "198.51.100.79",
                 "198.51.100.80"]
    ask = {"X-Real-IP": addresses[0]}
    client.get("/getinstaller?key=%ff&version=x", headers=ask)
    client.get("/getinstaller?key=acme9&id=%00", headers={"X-Real-IP": addresses[1]})
    client.get("/error/?source=x&code=abc&key=acme9", headers={"X-Real-IP": addresses[2]})
    for _ in range(7):  # over the limit of 5: logged
        client.get("/error/?source=gatherkit&code=1&key=k", headers={"X-Real-IP": addresses[3]})
    for _ in range(7):  # wrong passwords until refused: logged
        client.get("/admin/", headers={**basic("boss", "wrong"), "X-Real-IP": addresses[4]})
    # Requests carry the database's clock, events the app's: a period over both.
    period = f"period=custom&from={day_text(time.time() // DAY - 1)}&to={day_text(NOW // DAY)}"
    shown = []
    for view in views.VIEWS:
        html = client.get(f"/admin/{view}?{period}", headers=GOOD).data.decode()
        shown.append(html)
        for name in set(re.findall(r"csv=([a-z-]+)", html)):
            shown.append(client.get(f"/admin/{view}?{period}&csv={name}", headers=GOOD)
                         .data.decode())
    text = "\n".join(shown + [r.getMessage() for r in caplog.records])
    assert client_key(addresses[0], SECRET) in text  # the rows are there, as keys
    for address in addresses + ["127.0.0.1"]:
        assert address not in text


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run as a user with no name")
def test_the_command_line_acts_for_a_user_without_a_name():
    from quillo_service.db import open_store
    uid = next(u for u in range(54321, 60000) if not _has_name(u))
    # Not under pytest's folders, which only root may enter.
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o777)
        config = os.path.join(folder, "service.toml")
        with open(config, "w") as f:
            f.write(CONFIG + '[[rules]]\nname = "staged"\nkey_prefix = "0123"\nrollout = 50\n'
                    'steps = [10, 50]\nchannel = "beta"\n')
        database = f"sqlite://{folder}/quillo.db"
        for args in (["migrate", config], ["rollouts", config, "halt", "staged", "support",
                                           "call"]):
            r = subprocess.run([sys.executable, "-m", "quillo_service", *args], cwd=SERVICE,
                               user=uid, env={"PATH": os.environ["PATH"],
                                              "QUILLO_SERVICE_DATABASE": database},
                               capture_output=True, text=True, timeout=60)
            assert r.returncode == 0, r.stderr
        assert r.returncode == 0 and r.stdout.splitlines()[1].split()[-1] == "halted", r.stderr
        store = open_store(database)
        assert RolloutQueries(store).audit("staged")[0][2] == f"command line: uid {uid}"
        store.close()


def _has_name(uid):
    try:
        return bool(pwd.getpwuid(uid))
    except KeyError:
        return False


def test_bytes_read_in_mib_or_gib_with_the_exact_figure_in_title_and_csv(database, admin_app):
    from quillo_service.db.schema import DOWNLOAD_COLUMNS
    store = admin_app.extensions["quillo"].store
    mib = 2 ** 20
    sizes = {"under": 1000 * mib - 1, "at": 1000 * mib}  # GiB from 1,000 MiB on
    rows = []
    for key, size in sizes.items():
        store.record_request(NOW - 3000, key, key, "0,1,0,220", None,
                             "GET:https://setup.test/installers/stable.exe", "r", "", "")
        rows.append((NOW - 2900, key, "/installers/stable.exe", 200, 0, size, size, 60.0, 1,
                     None))
    with store.transaction() as conn:
        store.insert_many(conn, "downloads", DOWNLOAD_COLUMNS, rows)
    client = admin_app.test_client()
    page = client.get("/admin/funnel?period=24h", headers=GOOD).data.decode()
    assert '<td class="n" title="1,048,575,999 bytes">999.9 MiB</td>' in page
    assert '<td class="n" title="1,048,576,000 bytes">0.98 GiB</td>' in page
    funnel = table(client, "funnel", "funnel", "period=24h")
    sent = {r[0]: r[funnel[0].index("bytes sent")] for r in funnel[1:]}
    assert sent == {k: str(n) for k, n in sizes.items()}


def test_the_demo_shows_a_rule_advancing_one_halted_by_the_guard_and_one_done(tmp_path):
    from quillo_service import demo_data
    from quillo_service.db import open_store
    from quillo_service.admin.users import Users
    assert demo_data.main(["--state", str(tmp_path)]) == 0
    with open(tmp_path / "demo.toml") as f:
        assert not re.search(r"^\[admin\]", f.read(), re.M)  # its login is in the store
    store = open_store(f"sqlite://{tmp_path}/demo.db")
    try:
        assert [u["name"] for u in Users(store).listing()] == ["demo"]
        states = {name: (row["step"], row["state"])
                  for name, row in RolloutQueries(store).states().items()}
        halts = [(who, why) for _, rule, who, action, _, _, why in RolloutQueries(store).audit()
                 if action == "halt"]
    finally:
        store.close()
    assert states["search ads rollout"][1] == "running" and states["search ads rollout"][0] >= 1
    assert states[demo_data.WORSE_RULE][1] == "halted"
    assert states["newsletter rollout"][1] == "done"
    assert len(halts) == 1 and halts[0][0] == "guard" and "control" in halts[0][1]
    # Served, the demo's halted rule answers no machine while the rules that
    # share its channel go on; its own configuration names its database.
    app = create_app(os.path.join(tmp_path, "demo.toml"), proxies="127.0.0.1")
    client = app.test_client()
    for key in (demo_data.CAMPAIGNS[0][0], demo_data.CAMPAIGNS[3][0]):  # acme, globex
        for i in range(30):
            client.get(f"/getinstaller?key={key}&version=0,1,0,220&id={i:040X}")
    served = {r["rule"] for r in app.extensions["quillo"].store.recent_requests(60)}
    app.extensions["quillo"].store.close()
    assert "acme campaign" in served and demo_data.WORSE_RULE not in served
