"""The store contract, run against SQLite and a real PostgreSQL server."""

import json
import multiprocessing
import os
import time

import psycopg
import pytest

from conftest import RULE, SECRET, hold_write_lock
from quillo_service import create_app  # noqa: E402
from quillo_service.clients import client_key
from quillo_service.db import SchemaError, open_store
from quillo_service.db import events as db_events
from quillo_service.db.schema import EVENT_COLUMNS, SCHEMA_VERSION
from quillo_service.dashboard.queries import Dashboard
from quillo_service.reports.events import build_event
from quillo_service.reports.records import (count_hit, find_event, hits, recent_events,
                                             record_event)

HOSTILE = ["'; DROP TABLE requests; --", "\" OR 1=1 --", "%s %(x)s ?", "\u00fc\u6f22\U0001F600",
           "\\x00\\", "\ufffd"]


def event(at, client="203.0.113.9", **fields):
    e = dict.fromkeys(EVENT_COLUMNS)
    e.update(recorded_at=at, client=client, reference="ABCD-EFGH", kind="error",
             malformed="", cut="")
    e.update(fields)
    return e


def test_schema_is_created_once_and_versioned(database):
    a, b = open_store(database), open_store(database)
    a.check()
    b.check()  # a second process finds the schema in place
    assert a.schema_version() == SCHEMA_VERSION
    assert a.rows("SELECT COUNT(*) AS n FROM schema_version")[0]["n"] == 1
    a.close()
    b.close()


def test_a_newer_schema_is_refused(database):
    s = open_store(database)
    s.check()
    conn = s._conn()
    conn.execute(f"UPDATE schema_version SET version = {SCHEMA_VERSION + 1}")
    s.close()
    with pytest.raises(SchemaError, match="newer"):
        open_store(database).check()


def test_values_are_stored_as_given(store):
    for i, text in enumerate(HOSTILE):
        store.record_request(float(i), "198.51.100.7", text, text, text, "GET:x", "default",
                             "key", "")
        record_event(store, event(float(i), message=text, bundle_key=text, code_number=-2**31,
                                 hresult=0xFFFFFFFF, address=2**63 - 1), 100)
    rows = store.recent_requests(len(HOSTILE))[::-1]
    assert [r["bundle_key"] for r in rows] == HOSTILE
    assert [r["version"] for r in rows] == HOSTILE
    events = recent_events(store, len(HOSTILE))[::-1]
    assert [e["message"] for e in events] == HOSTILE
    assert (events[0]["code_number"], events[0]["hresult"], events[0]["address"]) == \
        (-2**31, 0xFFFFFFFF, 2**63 - 1)
    assert store.count("requests") == store.count("events") == len(HOSTILE)
    assert find_event(store, "ABCD-EFGH")["reference"] == "ABCD-EFGH"


def test_rate_limit_holds_across_connections(database):
    # Two stores stand for two worker processes sharing one database.
    a, b = open_store(database), open_store(database)
    t = 60 * 1000.0
    results = [record_event(a if i % 2 else b, event(t + i), 5) for i in range(8)]
    assert results == [True] * 5 + [False] * 3
    assert record_event(a, event(t, client="198.51.100.1"), 5)  # another client
    assert record_event(a, event(t + 60), 5)                     # the next minute
    assert a.count("events") == 7
    a.close()
    b.close()


def test_purge_deletes_only_old_records(store):
    day = 86400
    now = 1000 * day
    ages = (100, 99, 98, 97, 91, 89, 60, 1, 0)
    for age in ages:
        store.record_request(now - age * day, "c", "k", "v", "i", "GET:x", "default", "", "")
        record_event(store, event(now - age * day, client=f"c{age}"), 5)
    store._conn().execute("DELETE FROM requests WHERE id IN (2, 3, 6, 8)")  # gaps in the ids
    assert store.purge(90, now=now, batch=2) == 3 + 5
    assert sorted(r["recorded_at"] for r in store.recent_requests()) == [now - 60 * day, now]
    assert store.count("events") == 4
    assert store.purge(90, now=now + 365 * day) == 6
    assert store.purge(90) == 0  # nothing left


def _insert_many(database, n):
    s = open_store(database)
    for i in range(n):
        s.record_request(float(i), "c", "k", "v", "i", "GET:x", "default", "", "")
    s.close()


def test_concurrent_processes_lose_nothing(store, database):
    store.record_request(0.0, "parent", "k", "v", "i", "GET:x", "default", "", "")
    ctx = multiprocessing.get_context("fork")
    workers = [ctx.Process(target=_insert_many, args=(database, 300)) for _ in range(4)]
    for w in workers:
        w.start()
    # The parent goes on using its connection while the children write.
    store.record_request(0.0, "parent", "k", "v", "i", "GET:x", "default", "", "")
    for w in workers:
        w.join(60)
        assert w.exitcode == 0
    assert store.count("requests") == 1202


def test_forked_child_opens_its_own_connection(store):
    store.record_request(0.0, "parent", "k", "v", "i", "GET:x", "default", "", "")
    parents = store._conn()
    pid = os.fork()
    if pid == 0:  # the child reuses the inherited store object, as a gunicorn worker does
        try:
            store.record_request(1.0, "child", "k", "v", "i", "GET:x", "default", "", "")
            os._exit(0 if store._conn() is not parents else 2)
        except BaseException:
            os._exit(1)
    assert os.waitpid(pid, 0)[1] == 0
    store.record_request(2.0, "parent", "k", "v", "i", "GET:x", "default", "", "")
    assert [r["client"] for r in store.recent_requests()] == ["parent", "child", "parent"]


def test_a_failed_connection_is_reported_and_retried(postgres):
    s = open_store(postgres.url)
    s.record_request(0.0, "c", "k", "v", "i", "GET:x", "default", "", "")
    with psycopg.connect(postgres.url, autocommit=True) as admin:  # the server drops us
        admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                      "WHERE pid <> pg_backend_pid() AND datname = current_database()")
    from quillo_service.db import StoreError
    with pytest.raises(StoreError):
        s.record_request(1.0, "c", "k", "v", "i", "GET:x", "default", "", "")
    s.record_request(2.0, "c", "k", "v", "i", "GET:x", "default", "", "")  # reconnected
    assert s.count("requests") >= 2
    s.close()


def _request(store, at, client="c"):
    store.record_request(at, client, "k", "v", "i", "GET:x", "default", "", "")


def _ids_request(store, key, rid, at=None):
    store.record_request(at, "c", key, "v", "i", "GET:x", "default", "", "", rid)


def test_a_request_id_is_recorded_once_by_any_host_live_or_from_a_spool(database, tmp_path,
                                                                       monkeypatch):
    from quillo_service.db.spool import Spool
    a, b = (open_store(database, client_secret=SECRET) for _ in range(2))  # two hosts
    for name, s in (("a", a), ("b", b)):
        s.spool = Spool(str(tmp_path / f"{name}.spool"))
        monkeypatch.setattr(s, "_replay_later", lambda: None)  # replayed by hand below
    rid = {k: "%032x" % n for n, k in enumerate("xyzw", 1)}
    _ids_request(a, "x", rid["x"])  # recorded, then the host died before it answered
    _ids_request(b, "x", rid["x"])  # the front's retry on the next host
    _ids_request(b, "y", rid["y"])
    for s, key in ((a, "y"), (a, "z"), (b, "z"), (a, "w"), (a, "w")):
        s.spool.add([time.time(), client_key("c", SECRET), key, "v", "i", "GET:x", "default",
                     "", "", rid[key]])
    assert a.replay_spool() == 2 and b.replay_spool() == 0
    for _ in range(2):
        _ids_request(b, "none", None)  # callers that send no id are recorded as they come
    counts = {r["bundle_key"]: r["n"] for r in a.rows(
        "SELECT bundle_key, COUNT(*) AS n FROM requests GROUP BY bundle_key")}
    assert counts == {"x": 1, "y": 1, "z": 1, "w": 1, "none": 2}
    a.close()
    b.close()


def test_a_spooled_line_with_a_malformed_request_id_holds_back_nothing_after_it(
        database, tmp_path, monkeypatch):
    from quillo_service.db.spool import Spool
    s = open_store(database, client_secret=SECRET)
    s.spool = Spool(str(tmp_path / "a.spool"))
    monkeypatch.setattr(s, "_replay_later", lambda: None)  # replayed by hand below

    def row(key, rid):
        return [time.time(), client_key("c", SECRET), key, "v", "i", "GET:x", "default", "", "",
                rid]
    def report(key, rid):
        event = build_event(f"source=gatherkit&code=155&key={key}".encode(), "c", time.time())
        return db_events.line({**event, "request_id": rid})
    # A file taken for replay earlier (it sorts first), then the spool's own file.
    bad = [5, "%031x\0" % 1, "%031x\ud800" % 2, "%032x" % 3 + "0", "%031x" % 4 + "g"]
    with open(f"{s.spool.path}.0.taken", "w") as f:
        for r in [row("a", "%032x" % 10)] + [row(f"bad{n}", rid) for n, rid in enumerate(bad)] \
                + [report(f"bad{n}", rid) for n, rid in enumerate(bad)] \
                + [row("b", None), report("r", "%032x" % 12)]:
            f.write(json.dumps(r) + "\n")
    s.spool.add(row("c", "%032x" % 11))
    assert s.replay_spool() == 4 and not s.spool.pending()
    assert sorted(r["bundle_key"] for r in s.recent_requests()) == ["a", "b", "c"]
    assert [e["bundle_key"] for e in recent_events(s)] == ["r"]
    s.close()


def test_request_ids_are_forgotten_past_the_window_and_not_before(store):
    # The requests' ids and the reports', in one window.
    from quillo_service.db.base import REQUEST_ID_WINDOW
    now = store.now()
    with store.transaction() as conn:
        for table in ("request_ids", "event_ids"):
            store.insert_many(conn, table, ("request_id", "seen_at"), [
                ("%032x" % 1, now - REQUEST_ID_WINDOW),
                ("%032x" % 2, now - REQUEST_ID_WINDOW - 0.01)])
    assert store.prune_request_ids(now) == 2
    for n in (1, 2):
        _ids_request(store, f"k{n}", "%032x" % n)
        record_event(store, event(now, message=f"k{n}", request_id="%032x" % n), 5)
    assert [r["bundle_key"] for r in store.recent_requests()] == ["k2"]
    assert [e["message"] for e in recent_events(store)] == ["k2"]


def test_ids_are_never_reused_after_a_purge(store):
    for i in range(3):
        _request(store, 0.0)
    assert store.purge(1, now=10 * 86400.0) == 3
    _request(store, 0.0)
    assert store.recent_requests(1)[0]["id"] > 3


V1_TABLES = {  # a database as the first release of the service left it
    "sqlite": ("INTEGER PRIMARY KEY", "REAL"),
    "postgresql": ("BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY", "DOUBLE PRECISION")}


def test_an_old_database_is_migrated_step_by_step_and_keeps_its_rows(store, monkeypatch):
    from quillo_service.db import base
    from quillo_service.db.schema import TABLES
    monkeypatch.setattr(base, "HASH_BATCH", 2)  # three requests span two batches
    ids, floats = V1_TABLES[store.dialect]
    conn = store._conn()  # the current schema, replaced by the first one
    conn.execute("DROP TABLE requests_daily")
    conn.execute("DROP TABLE rollup_state")
    if store.dialect == "postgresql":  # the packed rows behind a view (db/packed.py)
        conn.execute("DROP VIEW requests, downloads")
        conn.execute("DROP TABLE requests_packed, downloads_packed")
    else:
        conn.execute("DROP TABLE requests")
    conn.execute("DROP TABLE events")
    for sql in TABLES[:4]:
        conn.execute(sql.format(id=ids, float=floats))
    conn.execute("UPDATE schema_version SET version = 1")
    p = store.placeholder
    for i, address in enumerate(["192.0.2.1", "2001:db8::7", "192.0.2.1"]):  # version 1's columns
        conn.execute("INSERT INTO requests (recorded_at, client, bundle_key, version, "
                     "machine_id, answer, rule, malformed, cut) VALUES "
                     f"({', '.join([p] * 9)})", (float(i), address, "k", "v", "i", "GET:x",
                                                 "default", "", ""))
    record_event(store, event(1.0), 5)
    count_hit(store, "admin 198.51.100.3", 7)
    store.close()

    where = store.url if store.dialect == "postgresql" else store.path
    with pytest.raises(SchemaError, match="no client secret"):
        open_store(where).check()  # addresses are never left as they are
    s = open_store(where, client_secret=SECRET)
    assert s.schema_version() == SCHEMA_VERSION
    rows = s.recent_requests()
    assert [r["recorded_at"] for r in rows] == [2.0, 1.0, 0.0]
    assert [r["client"] for r in rows] == [client_key(a, SECRET) for a in
                                           ["192.0.2.1", "2001:db8::7", "192.0.2.1"]]
    assert find_event(s, "ABCD-EFGH")["client"] == client_key("203.0.113.9", SECRET)
    assert hits(s, "admin " + client_key("198.51.100.3", SECRET), 7) == 1
    assert find_event(s, "ABCD-EFGH")["recorded_at"] == 1.0
    assert Dashboard(s).catch_up(now=1000.0) == 3  # version 2's rollup tables
    assert s.purge(1, now=10 * 86400.0) == 4
    _request(s, 0.0)  # version 3: ids not reused
    assert s.recent_requests(1)[0]["id"] > 3
    assert s.recent_requests(1)[0]["request_id"] is None  # version 5's column
    for _ in range(2):  # version 15: a report of one request id once
        record_event(s, event(2.0, request_id="ef" * 16), 5)
    assert s.count("events") == 1
    s.close()


def test_purge_keeps_a_row_added_while_it_searched(database, monkeypatch):
    # The search over the ids: SQLite's, and PostgreSQL's unpartitioned tables
    # (partitioned ones drop whole days, see test_partitions.py).
    store = open_store(database, partitioned=False)
    for i in range(3):
        _request(store, float(i))
    other, conn, added = open_store(database), store._conn(), []

    class Racing:  # another worker records a request right after the search saw the last id
        def execute(self, sql, *args):
            cursor = conn.execute(sql, *args)
            if sql == "SELECT MAX(id) FROM requests" and not added:
                added.append(_request(other, 10 * 86400.0, "new"))
            return cursor

        def __getattr__(self, name):
            return getattr(conn, name)

    monkeypatch.setattr(store, "_conn", Racing)
    assert store.purge(1, now=10 * 86400.0) == 3
    assert added and [r["client"] for r in other.recent_requests()] == ["new"]
    other.close()
    store.close()


def test_a_new_connection_does_not_wait_for_a_writer(tmp_path):
    import sqlite3
    path = str(tmp_path / "q.db")
    open_store(path).check()
    writer = sqlite3.connect(path, isolation_level=None)
    writer.execute("BEGIN IMMEDIATE")  # holds the write lock, as a long write would
    try:
        s = open_store(path)
        s._connect = lambda connect=s._connect: _no_wait(connect())
        s.check()
        assert s.count("requests") == 0
        s.close()
    finally:
        writer.execute("ROLLBACK")
        writer.close()


def _no_wait(conn):
    conn.execute("PRAGMA busy_timeout=0")
    return conn


def test_a_write_takes_the_lock_before_it_reads(tmp_path):
    # Reading first and then writing can fail at once, when another writer
    # committed in between; BEGIN IMMEDIATE rules that out.
    import sqlite3
    s = open_store(str(tmp_path / "q.db"))
    other = sqlite3.connect(s.path, isolation_level=None, timeout=0)
    with s._transaction():
        with pytest.raises(sqlite3.OperationalError, match="locked"):
            other.execute("BEGIN IMMEDIATE")
    other.close()
    s.close()


def test_a_late_commit_is_counted(postgres, write_config):
    # Two hosts share the database; this one's clock is five minutes slow.
    from quillo_service.periods import Filters, parse_period
    app = create_app(write_config(), database=postgres.url)
    store = app.extensions["quillo"].store
    app.extensions["quillo"].clock = lambda: time.time() - 300
    with psycopg.connect(postgres.url, autocommit=True) as conn:
        for table in ("requests", "requests_daily", "rollup_state"):
            conn.execute(f"DELETE FROM {table}")
    with psycopg.connect(postgres.url, autocommit=True) as slow:
        slow.execute("BEGIN")  # takes an id now and commits it only later
        slow.execute("INSERT INTO requests (recorded_at, client, answer, rule, malformed, cut) "
                     "VALUES (EXTRACT(EPOCH FROM clock_timestamp()), 'slow', 'GET:x', 'd', '', "
                     "'')")
        assert app.test_client().get("/getinstaller?key=k").status_code == 200
        Dashboard(store).catch_up()  # by the database's clock
        slow.execute("COMMIT")
    later = time.time() + 3600
    period, _ = parse_period({}, later)
    assert Dashboard(store).request_counts(period, Filters(), (), now=later) == {(): 2}
    Dashboard(store).catch_up(now=later)
    assert Dashboard(store).request_counts(period, Filters(), (), now=later) == {(): 2}
    store.close()


def test_rows_committed_out_of_id_order_are_not_skipped_by_any_position(postgres):
    # Both users of LAG move a position over the ids: the dashboard's rollup
    # and the guard's count.  A row takes its id before a later row that
    # commits first; neither moves past it until it commits, and once the
    # rows are older than LAG both have them.
    from quillo_service.rollouts import counting
    from quillo_service.db.base import LAG
    with psycopg.connect(postgres.url, autocommit=True) as conn:
        conn.execute("DROP SCHEMA public CASCADE")
        conn.execute("CREATE SCHEMA public")
    store = open_store(postgres.url)
    dash = Dashboard(store)
    counting.count(store, store.now())  # the guard counts from here on

    def positions(now):  # what each user holds once it ran at `now`
        dash.catch_up(now=now + dash.LATE)  # its search lands within LATE (see _id_range)
        counting.count(store, now)
        return (store.rows("SELECT SUM(n) AS n FROM requests_daily")[0]["n"] or 0,
                store.rows("SELECT COUNT(*) AS n FROM rollout_recent")[0]["n"])

    with psycopg.connect(postgres.url, autocommit=True) as slow:
        # The texts known: a writer through the view that adds one holds
        # its number until it commits (db/packed.py).
        slow.execute("SELECT quillo_text_id('GET:x'), quillo_text_id(%s)", (RULE,))
        slow.execute("BEGIN")
        slow.execute("INSERT INTO requests (recorded_at, client, answer, rule, malformed, cut) "
                     "VALUES (EXTRACT(EPOCH FROM clock_timestamp()), 'slow', 'GET:x', %s, '', "
                     "'')", (RULE,))
        store.record_request(None, "fast", None, None, None, "GET:x", RULE, "", "")
        fast = store.recent_requests(1)[0]
        assert positions(store.now()) == (0, 0)  # by the database's clock
        slow.execute("COMMIT")
    assert positions(fast["recorded_at"] + LAG + 1) == (2, 2)
    assert store.position("requests") == fast["id"]
    store.close()



def test_a_locked_database_sends_requests_to_the_spool_written_once(database, tmp_path,
                                                                    monkeypatch):
    s = open_store(database, base_dir=str(tmp_path), client_secret=SECRET)
    monkeypatch.setattr(s, "_replay_later", lambda: None)  # replayed by hand below
    s.check()
    writer = hold_write_lock(database)  # a long write
    try:
        _request(s, None)
        _request(s, None, "second")
    finally:
        writer.execute("ROLLBACK")
        writer.close()
    assert s.count("requests") == 0 and s.spool.pending()
    with open(s.spool.path, "a") as f:  # a line spooled before requests kept nginx's id
        f.write('[1.0,"old","k","v","i","GET:x","default","",""]\n')

    def crash(path):
        raise OSError("killed")

    monkeypatch.setattr(os, "unlink", crash)  # dies after writing, before removing the file
    with pytest.raises(OSError):
        s.replay_spool()
    monkeypatch.undo()
    assert s.count("requests") == 3
    assert s.replay_spool() == 0  # its marker shows the file was written
    assert not s.spool.pending()
    # Addresses, as an older version spooled them, are written as their keys.
    assert [r["client"] for r in s.recent_requests()] == [
        client_key(a, SECRET) for a in ("old", "second", "c")]
    assert abs(s.recent_requests()[1]["recorded_at"] - time.time()) < 600
    s.close()


def test_two_workers_replaying_one_spool_file_write_it_once(database, tmp_path, monkeypatch):
    import fcntl
    import threading
    from quillo_service.db import spool
    first, second = (open_store(database, base_dir=str(tmp_path), client_secret=SECRET)
                     for _ in range(2))
    for s in (first, second):
        monkeypatch.setattr(s, "_replay_later", lambda: None)
    first.check()
    for n in range(3):
        first.spool.add([1.0, client_key("c", SECRET), f"k{n}", "v", "i", "GET:x", "default", "",
                         "", None])
    # The second worker opens the file the first has taken, and waits at its
    # lock until the first has written and removed it.
    opened, replayed = threading.Event(), []
    other = threading.Thread(target=lambda: replayed.append(second.replay_spool()))

    def flock(fd, op):
        if threading.current_thread() is other:
            opened.set()
        fcntl.flock(fd, op)
        if threading.current_thread() is not other and not other.is_alive() and not replayed:
            other.start()
            assert opened.wait(10)
    monkeypatch.setattr(spool, "fcntl", type("F", (), {
        "flock": staticmethod(flock), "LOCK_EX": fcntl.LOCK_EX, "LOCK_SH": fcntl.LOCK_SH,
        "LOCK_NB": fcntl.LOCK_NB}))
    assert first.replay_spool() == 3
    other.join()
    assert replayed == [0] and first.count("requests") == 3
    first.close()
    second.close()


def test_a_writer_in_another_worker_is_waited_for_at_the_lock_file(tmp_path, monkeypatch):
    # Another worker process holds the writers' lock file: a request waits
    # for it no longer than its bound, then goes to the spool; once the lock
    # is free it writes again. A forked worker takes its own turn.
    import fcntl
    s = open_store(f"sqlite:///{tmp_path}/q.db", base_dir=str(tmp_path))
    monkeypatch.setattr(s, "_replay_later", lambda: None)
    s.check()
    other = os.open(f"{tmp_path}/q.db.lock", os.O_RDWR | os.O_CREAT)
    fcntl.flock(other, fcntl.LOCK_EX)
    try:
        began = time.monotonic()
        _request(s, None, "waited")
        assert time.monotonic() - began < 1.0
        assert s.count("requests") == 0 and s.spool.pending()
    finally:
        fcntl.flock(other, fcntl.LOCK_UN)
    os.close(other)
    _request(s, None, "free")
    assert s.count("requests") == 1
    assert s._process_lock.acquire(1.0)
    pid = os.fork()
    if pid == 0:  # the parent's open lock file must not let the child past it
        os._exit(0 if s._process_lock.acquire(0.05) is False else 1)
    assert os.waitpid(pid, 0)[1] == 0
    s._process_lock.release()
    s.close()


def test_an_upgrade_counts_the_rolled_up_requests_by_the_hour_too(store, monkeypatch):
    monkeypatch.setattr(Dashboard, "CHUNK", 2)  # five requests rolled up over three chunks
    for at in (3600.0, 3601.0, 7200.0, 86400.0 + 5, 86400.0 + 3600):
        _request(store, at)
    Dashboard(store).catch_up(now=86400.0 + 3600)  # the last one is too young
    _request(store, 2 * 86400.0)
    conn = store._conn()  # version 17: no counts by the hour
    for table in ("requests_hourly", "reports_hourly", "reports_daily"):
        conn.execute(f"DROP TABLE {table}")
    conn.execute("UPDATE schema_version SET version = 17")
    where = store.url if store.dialect == "postgresql" else store.path
    store.close()
    s = open_store(where, client_secret=SECRET)
    assert s.schema_version() == SCHEMA_VERSION
    assert [tuple(r) for r in s.read("SELECT hour, n FROM requests_hourly ORDER BY hour")] == [
        (1, 2), (2, 1), (24, 1)]
    assert Dashboard(s).catch_up(now=3 * 86400.0) == 6
    assert s.read("SELECT SUM(n) FROM requests_hourly")[0][0] == 6
    s.close()
