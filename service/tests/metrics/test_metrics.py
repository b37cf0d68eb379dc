"""/metrics on both databases: what a scrape reads from the store, behind
the console's login, parsed with Prometheus's own parser."""

import random
import time

import pytest
from prometheus_client.parser import text_string_to_metric_families

from conftest import ADMIN, GOOD, GUARDED, KEY, MACHINE, RULE, SECRET, create_app
from quillo_service.alerts import queue
from quillo_service.dashboard.queries import Dashboard, seed_metric_totals
from quillo_service.db import open_store
from quillo_service.db.base import LAG, LATE
from quillo_service.db.schema import MIGRATIONS, SCHEMA_VERSION
from quillo_service.rollouts import changes
from quillo_service.rollouts.queries import RolloutQueries

CONFIG = 'client_secret = "client.secret"\n' + GUARDED.format(steps="10, 100") + ADMIN
# Every family a scrape lists, with data or without.
FAMILIES = {
    "quillo_store_up", "quillo_requests", "quillo_requests_by_rule", "quillo_reports",
    "quillo_reports_by_code", "quillo_requests_lost", "quillo_count_behind_seconds",
    "quillo_count_behind_rows", "quillo_hosts", "quillo_host_heartbeat_age_seconds",
    "quillo_host_spooled_requests", "quillo_host_unread_log_bytes", "quillo_alert_outbox",
    "quillo_guard_state", "quillo_guard_share_percent", "quillo_guard_evidence",
    "quillo_guard_threshold", "quillo_guard_judged", "quillo_guard_split_check"}
LATER = LAG + LATE + 60  # seconds after which the rollup takes a row in


@pytest.fixture
def app(database, write_config):
    a = create_app(write_config(CONFIG), database=database, proxies="127.0.0.1")
    yield a
    a.extensions["quillo"].store.close()


def scrape(client):
    r = client.get("/metrics", headers=GOOD)
    assert r.status_code == 200 and r.content_type.startswith("text/plain; version=0.0.4")
    families = {f.name: f for f in text_string_to_metric_families(r.data.decode())}
    return families, {(s.name, tuple(sorted(s.labels.items()))): s.value
                      for f in families.values() for s in f.samples}


def test_every_family_is_listed_before_any_traffic_and_only_with_credentials(app):
    client = app.test_client()
    for headers in ({}, {"Authorization": "Basic Ym9zczp3cm9uZw=="}):  # none; boss:wrong
        r = client.get("/metrics", headers=headers)
        assert r.status_code == 401 and b"quillo_" not in r.data
    families, values = scrape(client)
    assert set(families) == FAMILIES
    assert all(f.documentation for f in families.values())
    assert values[("quillo_store_up", ())] == 1
    for total in ("quillo_requests_total", "quillo_reports_total", "quillo_requests_lost_total"):
        assert values[(total, ())] == 0
    rule = (("rule", "new release"),)
    assert values[("quillo_guard_share_percent", rule)] == 10
    assert values[("quillo_guard_state", rule + (("state", "running"),))] == 1
    assert values[("quillo_guard_split_check", rule + (("state", "unknown"),))] == 0


def ask(client, key=KEY, machine=MACHINE):
    r = client.get(f"/getinstaller?key={key}&version=0%2C1%2C0%2C220&id={machine}",
                   headers={"X-Real-IP": "198.51.100.7"})
    assert r.status_code == 200


def report(client, code, n=1):
    for i in range(n):
        client.get(f"/error/?source=gatherkit&code={code}&message=m&version=0%2C1%2C0%2C220"
                   f"&key={KEY}", headers={"X-Real-IP": f"198.51.100.{10 + i}"})


def test_counts_come_from_the_store_whole_before_and_after_the_rollup_and_purge(app):
    client = app.test_client()
    store = app.extensions["quillo"].store
    for i in range(5):
        ask(client, machine="%040X" % i)          # the guarded rule, or the default
    ask(client, key="feedfeedfeedfeedfeedfeedfeedfeedfeedfeed")  # vip
    report(client, 137, 2)                       # a code the service knows
    report(client, 99999)                        # one it does not
    report(client, "%3Cscript%3E")               # no number at all
    _, before = scrape(client)
    assert before[("quillo_requests_total", ())] == 6
    assert before[("quillo_requests_by_rule_total", (("answer", "GET"), ("rule", "vip")))] == 1
    by_code = {dict(k[1])["code"]: v for k, v in before.items()
               if k[0] == "quillo_reports_by_code_total"}
    assert by_code == {"137": 2, "other": 2}
    assert before[("quillo_count_behind_rows", (("count", "dashboard_requests"),))] == 6
    assert before[("quillo_count_behind_seconds", (("count", "dashboard_requests"),))] >= 0

    dash = Dashboard(store)
    dash.catch_up(now=time.time() + LATER)
    _, rolled = scrape(client)
    counters = {k: v for k, v in before.items() if k[0].endswith("_total")}
    assert {k: rolled[k] for k in counters} == counters  # moved, not counted again
    assert rolled[("quillo_count_behind_rows", (("count", "dashboard_requests"),))] == 0
    assert rolled[("quillo_count_behind_seconds", (("count", "dashboard_requests"),))] == 0
    # The totals an upgrade seeds from the rollups are the ones the rollup made.
    kept = dash.totals()
    with store.transaction() as conn:
        conn.execute("DELETE FROM metric_totals")
        seed_metric_totals(store, conn)
    assert dash.totals() == kept

    # Purge takes the rows and their hours; the counters do not go back.
    store.purge(1, now=time.time() + 3 * 86400)
    assert store.count("requests_hourly") == store.count("requests") == 0
    _, purged = scrape(client)
    assert {k: purged[k] for k in counters} == counters



def test_a_scrape_counts_at_most_its_bound_past_the_rollup(app):
    client = app.test_client()
    dash = Dashboard(app.extensions["quillo"].store)
    for i in range(3):
        ask(client, machine="%040X" % i)

    def total(tail):
        return sum(dash.totals(tail_rows=tail)["requests"].values())
    assert [total(n) for n in (0, 2, 3, 4)] == [0, 2, 3, 3]
    dash.catch_up(now=time.time() + LATER)
    assert [total(n) for n in (0, 1)] == [3, 3]


def test_hosts_outbox_and_lost_requests_as_the_store_keeps_them(app):
    client = app.test_client()
    store = app.extensions["quillo"].store
    store.beat("host1", 3, 4096)
    store.beat("host2", 0, 0)
    with store.transaction() as conn:
        conn.execute("UPDATE hosts SET seen_at = seen_at - 3600 WHERE name = 'host2'")
    queue.add(store, "test", "{}", "one")        # one row per channel, both waiting
    first = queue.due(store, time.time() + 1)[0]
    queue.retry(store, first["id"], time.time() + 60, "refused")
    _, values = scrape(client)
    host = (("host", "host1"),)
    assert values[("quillo_host_spooled_requests", host)] == 3
    assert values[("quillo_host_unread_log_bytes", host)] == 4096
    assert values[("quillo_host_heartbeat_age_seconds", (("host", "host2"),))] >= 3600
    assert values[("quillo_hosts", (("state", "seen"),))] == 1
    assert values[("quillo_hosts", (("state", "silent"),))] == 1
    assert values[("quillo_alert_outbox", (("state", "waiting"),))] == 1
    assert values[("quillo_alert_outbox", (("state", "failing"),))] == 1


def test_an_upgrade_seeds_the_totals_from_the_rollups_and_counts_each_row_once(app):
    client = app.test_client()
    store = app.extensions["quillo"].store
    for i in range(4):
        ask(client, machine="%040X" % i)
    report(client, 137)
    report(client, 99999)
    Dashboard(store).catch_up(now=time.time() + LATER)
    ask(client)                                  # past the rollup: the tail's
    report(client, 188)
    before = Dashboard(store).totals()
    # The version before the totals (the later steps make their tables again if missing).
    before_totals = next(n for n, step in MIGRATIONS.items() if "metric_totals" in str(step))
    conn = store._conn()
    conn.execute("DROP TABLE metric_totals")
    conn.execute(f"UPDATE schema_version SET version = {before_totals}")
    where = store.url if store.dialect == "postgresql" else store.path
    store.close()
    s = open_store(where, client_secret=SECRET)
    try:
        assert s.schema_version() == SCHEMA_VERSION
        assert Dashboard(s).totals() == before
        assert sum(before["requests"].values()) == 5
        assert before["reports"] == {("error", "137"): 1, ("error", "other"): 1,
                                     ("error", "188"): 1}
        Dashboard(s).catch_up(now=time.time() + LATER)
        assert Dashboard(s).totals() == before
    finally:
        s.close()


def test_a_store_that_cannot_be_read_is_said_and_every_family_still_listed(app, caplog):
    client = app.test_client()
    store = app.extensions["quillo"].store
    with store.transaction() as conn:
        conn.execute("DROP TABLE metric_totals")
    families, values = scrape(client)
    assert set(families) == FAMILIES
    assert values == {("quillo_store_up", ()): 0}
    assert "metrics: cannot read the store" in caplog.text


def test_the_guard_figures_are_the_guards_own_once_it_halts(database, write_config):
    # A release failing far more often than the control, until the guard
    # halts it: then the scrape says halted, no share, the evidence that did it.
    a = create_app(write_config(CONFIG.replace("steps = [10, 100]", "steps = [50, 100]")),
                   database=database, proxies="127.0.0.1")
    state = a.extensions["quillo"]
    state.scheduler.stop()  # the guard ticks here, with a clock ahead of the counts
    state.live.ttl = 0
    config = state.watcher.current()
    changes.tick(state.store, config)
    client, rng = a.test_client(), random.Random(3)
    try:
        for i in range(1, 6001):
            mid, ip = "%040X" % rng.getrandbits(160), "10.0.%d.%d" % divmod(i, 250)
            answer = client.get(f"/getinstaller?key={KEY}&version=0%2C1%2C0%2C220&id={mid}",
                                headers={"X-Real-IP": ip}).data
            if rng.random() < (0.3 if b"beta" in answer else 0.03):
                client.get(f"/error/?source=gatherkit&code=201&version=0%2C1%2C0%2C220"
                           f"&key={KEY}", headers={"X-Real-IP": ip})
            if i % 200 == 0:
                changes.tick(state.store, config, now=time.time() + 10)
                if RolloutQueries(state.store).states()[RULE]["state"] == "halted":
                    break
        _, values = scrape(client)
        rule = (("rule", RULE),)
        assert values[("quillo_guard_state", rule + (("state", "halted"),))] == 1
        assert values[("quillo_guard_state", rule + (("state", "running"),))] == 0
        assert values[("quillo_guard_share_percent", rule)] == 0
        assert values[("quillo_guard_judged", rule)] == 1
        assert values[("quillo_guard_evidence", rule)] >= values[("quillo_guard_threshold", rule)]
        assert values[("quillo_guard_threshold", rule)] > 1
    finally:
        state.store.close()
