"""PostgreSQL's tables partitioned by day: the conversion of a version-10
database, the days made ahead, and retention by whole days."""

import json
import threading
import time
import tomllib
from contextlib import contextmanager

import psycopg
import pytest

from conftest import CONFIG, SECRET, empty_postgres
from quillo_service.alerts import detectors
from quillo_service.alerts.detectors import detect
from quillo_service.config import parse_config
from quillo_service.dashboard.queries import Dashboard
from quillo_service.db import StoreError, open_store, packed, partitions
from quillo_service.db.base import LAG
from quillo_service.db.partitions import DAY, DAYS_AHEAD, day_of, partition_name
from quillo_service.db.schema import DOWNLOAD_COLUMNS, EVENT_COLUMNS, REQUEST_COLUMNS


@pytest.fixture
def pg(postgres):
    s = open_store(empty_postgres(postgres), client_secret=SECRET)
    yield s
    s.close()


def _request(store, at, client="c"):
    store.record_request(at, client, "k", "v", "i", "GET:x", "default", "", "")


def _add(store, table, times):
    """Rows of `table` at the given times, in one batch."""
    columns = {"requests": REQUEST_COLUMNS, "events": EVENT_COLUMNS,
               "downloads": DOWNLOAD_COLUMNS}[table]
    values = {"client": "c", "reference": "ABCD-EFGH", "kind": "error", "malformed": "",
              "cut": "", "answer": "GET:x", "rule": "default", "path": "/installers/a.exe",
              "status": 200, "first_byte": 0, "sent": 10, "seconds": 0.5, "complete": 1}
    with store.transaction() as conn:
        store.insert_many(conn, table, columns, [
            tuple(t if c == "recorded_at" else values.get(c) for c in columns) for t in times])


def _stored(store, table):
    """The table holding `table`'s rows, and how its names read as `table`'s
    (the packed rows behind a view of the name, db/packed.py)."""
    physical = packed.stored(store._conn(), table)
    return physical, lambda name: table + name[len(physical):]


def _where(store, table="requests"):
    """{id: partition} of every row."""
    physical, named = _stored(store, table)
    return {r["id"]: named(r["t"]) for r in store.rows(
        f"SELECT id, tableoid::regclass::text AS t FROM {physical}")}


def _tables(store, table):
    physical, named = _stored(store, table)
    return {named(name) for name, _, _ in partitions.day_tables(store._conn(), physical)}


def test_a_version_10_database_is_converted_keeping_ids_and_positions(postgres, monkeypatch):
    url = empty_postgres(postgres)
    old = open_store(url, partitioned=False, client_secret=SECRET)  # version 10's tables
    now = old.now()
    today = day_of(now)
    times = [(today - 3) * DAY, (today - 3) * DAY + 5, (today - 1) * DAY - 0.001, now - 2,
             now - 1, 5.0, now + 400 * DAY]  # the last two: strange clocks
    for table in partitions.PARTITIONED:
        # A time that is not a number (not in requests: the dashboard's rollup
        # cannot take one).
        _add(old, table, times + ([] if table == "requests" else [float("nan")]))
    _request(old, now - 700)
    old.read("DELETE FROM requests WHERE id = 8 RETURNING id")  # the highest id, never given again
    assert old.prepare_days(now) == 0  # nothing to make on the unpartitioned layout
    dash = Dashboard(old)
    position = dash.catch_up(now=now + LAG + dash.LATE)  # the last id rolled up
    assert position == old.position("requests") > 0
    ids = {t: set(_where(old, t)) for t in partitions.PARTITIONED}
    old.read("UPDATE schema_version SET version = 10 RETURNING version")
    old.close()

    # A failure half way leaves the old layout whole.
    convert = partitions.convert

    def failing(conn, table, now, progress):
        convert(conn, table, now, progress)
        if table == "events":
            raise psycopg.DataError("the disk is full")

    monkeypatch.setattr(partitions, "convert", failing)
    with pytest.raises(StoreError, match="disk is full"):
        open_store(url, client_secret=SECRET).check()
    monkeypatch.undo()
    with psycopg.connect(url) as conn:
        assert conn.execute("SELECT version FROM schema_version").fetchone()[0] == 10
        assert conn.execute("SELECT COUNT(*) FROM pg_partitioned_table").fetchone()[0] == 0

    s = open_store(url, client_secret=SECRET)
    said = []
    s.progress = said.append
    s.check()
    for table in partitions.PARTITIONED:
        assert partitions.is_partitioned(s._conn(), _stored(s, table)[0])
        assert set(_where(s, table)) == ids[table]
    # Searched within the day's partition, which the strange clocks do not mislead.
    assert [s.first_id("requests", ts) for ts in (
        (today - 3) * DAY + 1, (today - 3) * DAY + 6, today * DAY, now - 1.5, now)] == \
        [2, 3, 4, 5, 8]
    placed = _where(s)
    assert placed[1] == placed[2] == partition_name("requests", today - 3)
    assert placed[3] == partition_name("requests", today - 2)  # its last moment
    assert placed[6] == "requests_d19700101"
    assert placed[7] == "requests_default"  # too far ahead
    assert _where(s, "events")[8] == "events_default"  # not a number
    assert f"requests {time.strftime('%Y-%m-%d', time.gmtime((today - 3) * DAY))}: 2 rows" \
        in [line.split(",")[0] for line in said]
    assert _tables(s, "events") >= {partition_name("events", d) for d in
                                    partitions.days_ahead(now)}
    # The rollup goes on from where it was; a new row takes an id past any given.
    assert s.position("requests") == position
    _request(s, None)
    assert s.recent_requests(1)[0]["id"] == 9
    s.close()


def test_days_are_made_ahead_and_their_rows_move_out_of_the_default(pg):
    now = pg.now()
    for table in partitions.PARTITIONED:  # a new database has them
        assert _tables(pg, table) == {partition_name(table, d) for d in partitions.days_ahead(now)}
    # Housekeeping has not run for ten days: the rows of those days wait.
    later = (day_of(now) + 10) * DAY
    for at in (later - 0.001, later, later + (DAYS_AHEAD + 1) * DAY, now - DAY):
        _request(pg, at)
    assert set(_where(pg).values()) == {"requests_default"}
    assert pg.prepare_days(later) == 3 * (DAYS_AHEAD + 1) + 1  # and the missed day with rows
    assert _where(pg) == {1: partition_name("requests", day_of(later) - 1),
                          2: partition_name("requests", day_of(later)),
                          3: "requests_default",   # past the days ahead
                          4: "requests_default"}   # before the oldest day kept: dropped
    assert pg.prepare_days(later) == 0
    _request(pg, later + 1)
    assert _where(pg)[5] == partition_name("requests", day_of(later))


def test_purge_drops_whole_days_and_keeps_the_day_on_the_cutoff(pg):
    d = day_of(pg.now()) - 20
    pg.prepare_days(d * DAY)  # days d .. d + DAYS_AHEAD
    for day, n in ((d, 3), (d + 1, 2), (d + 2, 1)):
        _add(pg, "requests", [day * DAY + i for i in range(n)])
        _add(pg, "events", [day * DAY])
    _add(pg, "requests", [(d - 5) * DAY, 5e11])  # in the DEFAULT partition: old, and ahead
    # The cutoff one moment before day d + 1 ends: day d goes, d + 1 stays.
    assert pg.purge(1, now=(d + 3) * DAY - 1) == 3 + 1 + 1
    assert partition_name("requests", d) not in _tables(pg, "requests")
    assert partition_name("events", d) not in _tables(pg, "events")
    assert pg.count("requests") == 2 + 1 + 1 and pg.count("events") == 2
    # On its end: d + 1 goes.
    assert pg.purge(1, now=(d + 3) * DAY) == 2 + 1
    assert sorted(r["recorded_at"] for r in pg.recent_requests()) == [(d + 2) * DAY, 5e11]
    assert pg.purge(1, now=(d + 3) * DAY) == 0


def test_a_day_held_by_a_long_read_is_left_for_the_next_purge(pg, monkeypatch):
    monkeypatch.setattr(partitions, "DETACH_TRIES", 1)
    d = day_of(pg.now()) - 20
    pg.prepare_days(d * DAY)
    _add(pg, "requests", [d * DAY])
    with psycopg.connect(pg.url, autocommit=True) as reader:
        reader.execute("BEGIN")
        reader.execute("SELECT COUNT(*) FROM requests")  # holds the parent until it ends
        assert pg.purge(1) == 0
        _request(pg, None)  # requests are recorded meanwhile
        reader.execute("ROLLBACK")
    assert pg.purge(1) == 1
    assert pg.count("requests") == 1


@contextmanager
def _recording(url, at=None):
    """Requests recorded at `at()` (None: now) on a thread of their own
    meanwhile; yields the list of those recorded, and checks that none failed."""
    writer, stop, written, errors = open_store(url), threading.Event(), [], []

    def record():
        while not stop.is_set():
            try:
                _request(writer, at and at())
                written.append(1)
            except StoreError as e:
                errors.append(e)
    thread = threading.Thread(target=record)
    thread.start()
    try:
        yield written
    finally:
        stop.set()
        thread.join()
        writer.close()
    assert errors == []


def _wait_for_rows(written, n):
    while len(written) < n:
        time.sleep(0.005)


def test_purge_while_requests_are_recorded_loses_none(pg):
    d = day_of(pg.now()) - 30
    pg.prepare_days(d * DAY)
    _add(pg, "requests", [d * DAY + i * 300 for i in range(1000)])  # about 3.5 days
    with _recording(pg.url) as written:
        _wait_for_rows(written, 50)
        assert pg.purge(1) == 1000
    assert pg.count("requests") == len(written) > 50

def _made(store, day):
    return all(partition_name(t, day) in _tables(store, t) for t in partitions.PARTITIONED)


def test_days_are_made_while_rows_of_them_keep_coming(pg):
    """Rows of the day being made keep landing in the DEFAULT partition
    while it is made: each is moved, or lands in the new partition."""
    days = [day_of(pg.now()) + 100 + 10 * r for r in range(8)]  # no partitions yet
    at = [0]
    with _recording(pg.url, lambda: days[at[0]] * DAY + 1) as written:
        for at[0], day in enumerate(days):
            _wait_for_rows(written, len(written) + 20)
            assert pg.prepare_days(day * DAY) == 3 * (DAYS_AHEAD + 1)  # the other tables too
    assert pg.count("requests") == len(written)
    assert set(_where(pg).values()) <= {partition_name("requests", d) for d in days}


def test_a_day_with_too_many_rows_waiting_stays_and_raises_an_alert(pg, monkeypatch):
    monkeypatch.setattr(partitions, "MOVE_LIMIT", 2)
    monkeypatch.setattr(detectors, "DEFAULT_ROWS_ALERT", 2)
    late = (day_of(pg.now()) + DAYS_AHEAD + 1) * DAY  # the day after those made ahead
    for table, n in (("requests", 3), ("events", 3), ("downloads", 2)):  # 2: few enough to move
        _add(pg, table, [late + i for i in range(n)])
    assert pg.prepare_days(late - DAYS_AHEAD * DAY) == 1  # downloads' day; the others' stay
    assert pg.default_partition_rows(late) == [("requests", 3, 3), ("events", 3, 3),
                                               ("downloads", 0, 0)]
    assert pg.default_partition_rows(late + DAY + 3)[0] == ("requests", 3, 0)  # not recent
    config = parse_config(tomllib.loads(CONFIG))  # no rules, no reports: only the partitions
    assert detect(pg, Dashboard(pg), config, late) == 2
    assert detect(pg, Dashboard(pg), config, late + 60) == 0  # once a day
    said = {json.loads(r["data"])["table"]: json.loads(r["data"])["message"]
            for r in pg.rows("SELECT DISTINCT data FROM alert_outbox")}
    assert set(said) == {"requests", "events"} and said["requests"].startswith(
        "3 rows of requests recorded within a day of now sit in PostgreSQL's DEFAULT partition")


def test_two_hosts_making_the_same_days_at_once(pg, caplog):
    hosts, failures = [open_store(pg.url) for _ in range(2)], []

    def prepare(store, later, start):
        start.wait()
        try:
            store.prepare_days(later)
        except Exception as e:
            failures.append(e)
    for later in [(day_of(pg.now()) + 200 + 10 * r) * DAY for r in range(10)]:
        start = threading.Barrier(2)
        threads = [threading.Thread(target=prepare, args=(h, later, start)) for h in hosts]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        pg.prepare_days(later)  # a day a busy host left for its next run
        assert all(_made(pg, d) for d in partitions.days_ahead(later))
    for h in hosts:
        h.close()
    assert failures == [] and "WARNING" not in {r.levelname for r in caplog.records}


def test_purge_counts_the_rows_it_drops_exactly(pg):
    d = day_of(pg.now()) - 20
    pg.prepare_days(d * DAY)
    _add(pg, "requests", [d * DAY + i for i in range(300)])
    with psycopg.connect(pg.url, autocommit=True) as conn:
        conn.execute(f"ANALYZE {partition_name(packed.stored(conn, 'requests'), d)}")
    _add(pg, "requests", [d * DAY + 500 + i for i in range(40)])  # after the statistics
    assert pg.purge(1, now=(d + 2) * DAY) == 340
