"""The store contract, run against SQLite and a real PostgreSQL server."""

import multiprocessing
import os

import psycopg
import pytest

from quillo_service.store import SchemaError, open_store
from quillo_service.store.schema import EVENT_COLUMNS, SCHEMA_VERSION

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
    assert a._rows("SELECT COUNT(*) AS n FROM schema_version")[0]["n"] == 1
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
        store.record_event(event(float(i), message=text, bundle_key=text, code_number=-2**31,
                                 hresult=0xFFFFFFFF, address=2**63 - 1), 100)
    rows = store.recent_requests(len(HOSTILE))[::-1]
    assert [r["bundle_key"] for r in rows] == HOSTILE
    assert [r["version"] for r in rows] == HOSTILE
    events = store.recent_events(len(HOSTILE))[::-1]
    assert [e["message"] for e in events] == HOSTILE
    assert (events[0]["code_number"], events[0]["hresult"], events[0]["address"]) == \
        (-2**31, 0xFFFFFFFF, 2**63 - 1)
    assert store.count("requests") == store.count("events") == len(HOSTILE)
    assert store.find_event("ABCD-EFGH")["reference"] == "ABCD-EFGH"


def test_rate_limit_holds_across_connections(database):
    # Two stores stand for two worker processes sharing one database.
    a, b = open_store(database), open_store(database)
    t = 60 * 1000.0
    results = [(a if i % 2 else b).record_event(event(t + i), 5) for i in range(8)]
    assert results == [True] * 5 + [False] * 3
    assert a.record_event(event(t, client="198.51.100.1"), 5)  # another client
    assert a.record_event(event(t + 60), 5)                     # the next minute
    assert a.count("events") == 7
    a.close()
    b.close()


def test_purge_deletes_only_old_records(store):
    day = 86400
    now = 1000 * day
    ages = (100, 99, 98, 97, 91, 89, 60, 1, 0)
    for age in ages:
        store.record_request(now - age * day, "c", "k", "v", "i", "GET:x", "default", "", "")
        store.record_event(event(now - age * day, client=f"c{age}"), 5)
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
    pid = os.fork()
    if pid == 0:  # the child reuses the inherited store object, as a gunicorn worker does
        try:
            store.record_request(1.0, "child", "k", "v", "i", "GET:x", "default", "", "")
            os._exit(0)
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
    from quillo_service.store import StoreError
    with pytest.raises(StoreError):
        s.record_request(1.0, "c", "k", "v", "i", "GET:x", "default", "", "")
    s.record_request(2.0, "c", "k", "v", "i", "GET:x", "default", "", "")  # reconnected
    assert s.count("requests") >= 2
    s.close()
