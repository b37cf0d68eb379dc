"""A time that is not a number: refused at every door, purged where an
older version let it in."""

import json
import math

import pytest

from conftest import SECRET
from quillo_service.dashboard.queries import Dashboard
from quillo_service.db import events as db_events
from quillo_service.db import open_store
from quillo_service.db.base import LAG, LAST_TIME, LATE
from quillo_service.db.spool import Spool
from quillo_service.db.times import BadTime, is_time
from quillo_service.ingest import downloads
from quillo_service.reports.events import build_event
from quillo_service.reports.records import record_event  # events are purged with requests

REPORT = b"source=gatherkit&code=155&key=k"


class _Clocked(downloads.Ingester):  # a log whose lines are only their time
    def rows(self, lines):
        return [(float(t), "c", "/a.exe", 200, 0, 1, 1, 0.1, 1, None) for t in lines], 0


def test_a_time_that_is_not_a_number_is_refused_at_every_door(database, tmp_path, monkeypatch):
    s = open_store(database, client_secret=SECRET)
    s.spool = Spool(str(tmp_path / "a.spool"))
    monkeypatch.setattr(s, "_replay_later", lambda: None)  # replayed by hand below
    at = s.now()
    assert all(is_time(t) for t in (0, -LAST_TIME, LAST_TIME, 10**300))  # far off, but times
    for bad in (math.nan, math.inf, -math.inf, 10**400, "1800000000", True):
        with pytest.raises(BadTime):
            s.record_request(bad, "c", "k", "v", "i", "GET:x", "default", "", "")
        with pytest.raises(BadTime):
            record_event(s, build_event(REPORT, "c", bad), 100)
    assert s.count("requests") == s.count("events") == 0
    # A spool's and a log's lines of no time are skipped (and counted), the rest written.
    with open(s.spool.path, "w") as f:
        for t in (math.nan, math.inf, at):
            f.write(json.dumps([t, "c", "k", "v", "i", "GET:x", "default", "", "", None]) + "\n")
            f.write(json.dumps(db_events.line(build_event(REPORT, "c", at) | {
                "recorded_at": t})) + "\n")
    assert s.replay_spool() == 2 and not s.spool.pending()
    assert s.count("requests") == s.count("events") == 1
    (tmp_path / "downloads.log").write_bytes(b"1800000000.5\nnan\n-inf\n1800000001.5\n")
    assert _Clocked(s, str(tmp_path / "downloads.log"), settle=0).ingest() == (2, 2)
    assert s.count("downloads") == 2
    s.close()


def test_rows_of_no_time_an_older_version_kept_are_purged(store):
    now, p = store.now(), store.placeholder
    # SQLite keeps NaN as NULL, which the column refuses: there only the infinities.
    bad = [math.inf, -math.inf] + ([math.nan] if store.dialect == "postgresql" else [])
    with store.transaction() as conn:
        for t in bad + [now - 100]:
            conn.execute("INSERT INTO requests (recorded_at, client, answer, rule, malformed, "
                         f"cut) VALUES ({p}, 'c', 'GET:x', 'default', '', '')", (t,))
            conn.execute("INSERT INTO events (recorded_at, client, reference, kind, malformed, "
                         f"cut) VALUES ({p}, 'c', 'ABCD-EFGH', 'error', '', '')", (t,))
    dashboard = Dashboard(store)  # its rollup takes none of them, and goes on
    dashboard.catch_up(now=now + LAG + LATE)
    assert dashboard.rolled_up_to() == store.recent_requests(1)[0]["id"]
    assert store.purge(90, now=now) == 2 * len(bad)
    assert store.count("requests") == store.count("events") == 1
