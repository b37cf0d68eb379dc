"""A time that is not a number: refused at every door it could come in by,
and purged where an older version let it in."""

import json
import math

import pytest

from conftest import SECRET
from quillo_service.dashboard.queries import Dashboard
from quillo_service.db import open_store
from quillo_service.db.base import LAG, LAST_TIME, LATE
from quillo_service.db.spool import Spool
from quillo_service.db.times import BadTime, is_time
from quillo_service.ingest import logs
from quillo_service.ingest.positions import ingest_position, take_rows
from quillo_service.reports.events import build_event
from quillo_service.reports.records import record_event
from quillo_service.db import events as db_events

NOT_TIMES = (math.nan, math.inf, -math.inf, 10**400, "1800000000", True, None)
REPORT = b"source=gatherkit&code=155&key=k"


def test_is_time_on_its_edges():
    assert [is_time(t) for t in (0, -LAST_TIME, LAST_TIME, 1e308, 10**300)] == [True] * 5
    assert not any(is_time(t) for t in NOT_TIMES)


class _Clocked(logs.Ingester):
    """A log whose lines are only their time, into downloads."""
    kind = "clocked"

    def rows(self, lines):
        return [(float(line), "c", "/a.exe", 200, 0, 1, 1, 0.1, 1, None) for line in lines], 0

    def write(self, expected, new, rows, skipped):
        return take_rows(self.store, self.name, expected, new, "downloads", rows, skipped)


def test_a_time_that_is_not_a_number_is_refused_at_every_door(database, tmp_path, monkeypatch):
    s = open_store(database, client_secret=SECRET)
    s.spool = Spool(str(tmp_path / "a.spool"))
    monkeypatch.setattr(s, "_replay_later", lambda: None)  # replayed by hand below
    at = s.now()
    for bad in NOT_TIMES[:-1]:
        with pytest.raises(BadTime):
            s.record_request(bad, "c", "k", "v", "i", "GET:x", "default", "", "")
        with pytest.raises(BadTime):
            record_event(s, build_event(REPORT, "c", bad), 100)
    assert s.count("requests") == s.count("events") == 0
    # The spool: its lines of no time are skipped, the rest written.
    with open(s.spool.path, "w") as f:
        for t in (math.nan, math.inf, at):
            f.write(json.dumps([t, "c", "k", "v", "i", "GET:x", "default", "", "", None]) + "\n")
            f.write(json.dumps(db_events.line(build_event(REPORT, "c", at) | {
                "recorded_at": t})) + "\n")
    assert s.replay_spool() == 2 and not s.spool.pending()
    assert s.count("requests") == s.count("events") == 1
    # nginx's logs: such a line is counted among those skipped.
    log = tmp_path / "clocked.log"
    log.write_bytes(b"1800000000.5\nnan\n-inf\n1800000001.5\n")
    reader = _Clocked(s, str(log), settle=0)
    assert reader.ingest() == (2, 2)
    assert ingest_position(s, reader.name)[2] == 2
    assert sorted(r["recorded_at"] for r in s.rows("SELECT recorded_at FROM downloads")) == \
        [1800000000.5, 1800000001.5]
    s.close()


def test_rows_of_no_time_an_older_version_kept_are_purged(store):
    import quillo_service.reports.records  # noqa: F401 (events are purged with the requests)
    now = store.now()
    p = store.placeholder
    # SQLite keeps NaN as NULL, which the column refuses: there only the infinities.
    bad = [math.inf, -math.inf] + ([math.nan] if store.dialect == "postgresql" else [])
    with store.transaction() as conn:
        for t in bad + [now - 100]:
            conn.execute("INSERT INTO requests (recorded_at, client, answer, rule, malformed, "
                         f"cut) VALUES ({p}, 'c', 'GET:x', 'default', '', '')", (t,))
            conn.execute("INSERT INTO events (recorded_at, client, reference, kind, malformed, "
                         f"cut) VALUES ({p}, 'c', 'ABCD-EFGH', 'error', '', '')", (t,))
    dashboard = Dashboard(store)  # its rollup counts none of them, and goes on
    dashboard.catch_up(now=now + LAG + LATE)
    assert dashboard.rolled_up_to() == store.recent_requests(1)[0]["id"]
    assert store.purge(90, now=now) == 2 * len(bad)
    assert [r["recorded_at"] for r in store.rows("SELECT recorded_at FROM requests")] == \
        [now - 100]
    assert store.count("events") == 1
