"""PostgreSQL's packed requests and downloads (db/packed.py): every value
reads back through the views as it was written or as it was before the
upgrade, whichever way it came in."""

import threading

import pytest

from conftest import SECRET, empty_postgres
from quillo_service.db import base, open_store, packed
from quillo_service.db.partitions import DAY
from quillo_service.db.schema import DOWNLOAD_COLUMNS, REQUEST_COLUMNS, SCHEMA_VERSION, TABLES

HEX = "0123456789abcdef" * 2
MACHINE = "0123456789ABCDEF0123456789ABCDEF01234567"
LONG = "GET:https://setup.example/" + "x" * 9000  # longer than an index entry may be


def _odd_requests(day):
    """Rows of REQUEST_COLUMNS of every form a value may take."""
    t = day * DAY
    return [
        (t + 1, HEX, "k", "0,1,0,230", MACHINE, "GET:https://a/b.exe", "default", "", "", HEX,
         None),
        # An address an old version kept, a machine id in lower case, an id
        # of another form, NULLs where they may be.
        (t + 2, "192.0.2.1", None, None, MACHINE.lower(), "GOTO:https://a/p", "old", "id",
         "", "not-hex", "arms"),
        (t + 3, HEX.upper(), "k" * 300, "v" * 5000, "short", LONG, "r\u00fc\u6f22", "id,key",
         "key", None, None),
        (t + 4, "", "", "", "", "", "", "", "", "", ""),  # empty texts are not NULLs
        (t + 5, HEX[:-1] + "\n", None, None, MACHINE + "\n", "GET:x", "default", "", "",
         HEX + "0", None),
        (1e11 * 2, HEX, None, None, None, "GET:x", "default", "", "", None, None),  # far ahead
    ]


def _odd_downloads(day):
    t = day * DAY
    return [(t + 6, HEX, "/installers/a.exe", 200, 0, 10, 10, 0.5, 1, None),
            (t + 7, "192.0.2.1", "/" + "p" * 3000, 206, 5, 5, None, 0.25, 0, "bytes=5-")]


def _read(store, table):
    return [tuple(r.values()) for r in store.rows(f"SELECT * FROM {table} ORDER BY id")]


def _add(store, table, rows):
    columns = {"requests": REQUEST_COLUMNS, "downloads": DOWNLOAD_COLUMNS}[table]
    with store.transaction() as conn:
        store.insert_many(conn, table, columns, rows)


def test_a_store_of_the_previous_version_is_packed_day_by_day_and_reads_back_equal(
        postgres, monkeypatch):
    url = empty_postgres(postgres)
    # The previous version's tables, partitioned by day, plain rows.
    with monkeypatch.context() as m:
        m.setattr(base, "SCHEMA_VERSION", SCHEMA_VERSION - 1)
        m.setattr(base, "TABLES", TABLES[:-1])
        old = open_store(url, client_secret=SECRET)
        today = int(old.now() // DAY)
        for day in (today - 2, today):
            _add(old, "requests", _odd_requests(day))
            _add(old, "downloads", _odd_downloads(day))
        old.prepare_days((today - 2) * DAY)  # the rows of the day before go to their day
        old.record_request(None, HEX, "k", "v", MACHINE, "GET:x", "default", "", "", HEX[::-1])
        top = old.read("SELECT MAX(id) FROM requests")[0][0]
        old.read("DELETE FROM requests WHERE id = %s RETURNING id", (top,))  # never given again
        before = {t: _read(old, t) for t in ("requests", "downloads")}
        old.close()

    s = open_store(url, client_secret=SECRET)
    said = []
    s.progress = said.append
    assert s.schema_version() == SCHEMA_VERSION
    for table in ("requests", "downloads"):
        assert _read(s, table) == before[table]
        assert s.count(table) == len(before[table])
    assert any("requests_d" in line and "rows packed" in line for line in said)
    assert any("requests_default: 2 rows packed" in line for line in said)
    physical = [r[0] for r in s.read("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON "
                                     "c.oid = i.inhrelid WHERE i.inhparent = "
                                     "'requests_packed'::regclass")]
    assert len(physical) >= 5 and "requests_packed_default" in physical
    # Each text once; the hex forms as bytes, the rest kept whole beside them.
    assert s.read("SELECT COUNT(*) FROM texts WHERE text = %s", (LONG,))[0][0] == 1
    assert s.read("SELECT COUNT(*) FROM requests_packed WHERE client_text IS NULL "
                  "AND machine_id_text IS NULL AND request_id_text IS NULL")[0][0] == 4  # the first and the last of each day
    s.record_request(None, HEX, None, None, None, "GET:x", "default", "", "")
    assert s.recent_requests(1)[0]["id"] == top + 1  # past the highest id ever given
    s.close()


def test_every_way_in_reads_back_as_written(database):
    """The store's one insert, with and without a request id, its batches
    (COPY), and a row inserted through the view by anyone else."""
    s = open_store(database, client_secret=SECRET)
    day = int(s.now() // DAY)
    rows = _odd_requests(day)
    for row in rows[:3]:
        s.record_request(*row)
    _add(s, "requests", rows[3:])
    _add(s, "downloads", _odd_downloads(day))
    p = s.placeholder
    with s.transaction() as conn:
        conn.execute(f"INSERT INTO requests ({', '.join(REQUEST_COLUMNS)}) VALUES "
                     f"({', '.join([p] * len(REQUEST_COLUMNS))})",
                     (day * DAY + 9, "192.0.2.7", None, "9" * 4000, MACHINE.lower(), "new answer",
                      "new rule", "", "", "x" * 32, None))
    got = [r[1:] for r in _read(s, "requests")]
    assert got == rows + [(day * DAY + 9, "192.0.2.7", None, "9" * 4000, MACHINE.lower(),
                           "new answer", "new rule", "", "", "x" * 32, None)]
    assert [r[1:] for r in _read(s, "downloads")] == _odd_downloads(day)
    s.read("DELETE FROM requests WHERE answer = 'new answer' RETURNING id")
    assert s.count("requests") == len(rows)
    s.close()


def test_a_new_text_taken_inside_a_transaction_that_rolls_back_stays_good(pg):
    with pytest.raises(RuntimeError), pg.transaction() as conn:
        pg.insert_many(conn, "requests", REQUEST_COLUMNS,
                       [(1.0, HEX, None, "brand new", None, "GET:new", "r", "", "", None, None)])
        raise RuntimeError("rolled back")
    assert pg.count("requests") == 0
    pg.record_request(2.0, HEX, None, "brand new", None, "GET:new", "r", "", "")
    assert [(r["version"], r["answer"]) for r in pg.recent_requests()] == [("brand new",
                                                                            "GET:new")]


def test_two_hosts_adding_the_same_new_texts_at_once_both_record(postgres):
    url = empty_postgres(postgres)
    hosts = [open_store(url, client_secret=SECRET) for _ in range(2)]
    for h in hosts:
        h.check()
    rounds = 30
    for i in range(rounds):
        gate = threading.Barrier(2)
        errors = []

        def record(store, n):
            try:
                gate.wait()
                store.record_request(None, HEX, None, f"v{i}", None, f"GET:answer {i}",
                                     "default", "", "", None if n else f"{i:032x}")
            except Exception as e:  # noqa: BLE001 (reported below)
                errors.append(e)
        threads = [threading.Thread(target=record, args=(h, n)) for n, h in enumerate(hosts)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
    s = hosts[0]
    assert s.count("requests") == 2 * rounds
    counts = s.rows("SELECT answer, version, COUNT(*) AS n FROM requests GROUP BY 1, 2")
    assert {(r["answer"], r["version"], r["n"]) for r in counts} == {
        (f"GET:answer {i}", f"v{i}", 2) for i in range(rounds)}
    assert s.read("SELECT COUNT(*) FROM texts WHERE text LIKE %s", ("GET:answer %",))[0][0] == rounds
    for h in hosts:
        h.close()


def test_the_id_searches_use_the_packed_index_through_the_view(pg):
    for day in range(3):
        _add(pg, "requests", [(t, HEX, None, None, None, "GET:x", "default", "", "", None, None)
                              for t in range(int(pg.now() // DAY * DAY) + day * 60,
                                             int(pg.now() // DAY * DAY) + day * 60 + 50)])
    pg._conn().execute("ANALYZE requests_packed")
    pg._conn().execute("SET enable_seqscan = off")  # tiny tables: the plan a big one would get
    for sql in ("SELECT recorded_at FROM requests WHERE id >= 5 ORDER BY id LIMIT 1",
                "SELECT COUNT(*), MAX(id) FROM requests WHERE id > 3 AND id < 40"):
        plan = "\n".join(r[0] for r in pg.read("EXPLAIN " + sql))
        assert "Index" in plan and "texts" not in plan, plan
    pg._conn().execute("RESET enable_seqscan")
    assert pg.first_id("requests", int(pg.now() // DAY * DAY) + 60) == 51
    assert packed.stored(pg._conn(), "requests") == "requests_packed"
    assert (pg.last_id("requests"), pg.last_id("requests", below=60)) == (150, 59)


@pytest.fixture
def pg(postgres):
    s = open_store(empty_postgres(postgres), client_secret=SECRET)
    yield s
    s.close()


def test_rows_inserted_through_the_view_take_ids_in_their_order(pg):
    # Ids follow time (first_id searches by them), so a set of rows written
    # through the view must get its ids in the order it was given; a join
    # to the texts once let a hash join in batches (a big INSERT ... SELECT,
    # little memory) shuffle them.
    day = int(pg.now() // DAY)
    with pg.transaction() as conn:
        conn.execute("SET LOCAL work_mem = '64kB'")
        conn.execute(
            "INSERT INTO requests (recorded_at, client, bundle_key, version, machine_id, "
            "answer, rule, malformed, cut) SELECT %s + g * 0.01, 'c' || (g %% 97), 'k', "
            "'0,1,0,' || (g %% 7), NULL, 'GET:https://dl.example/' || (g %% 13), "
            "'rule ' || (g %% 5), '', '' FROM generate_series(1, 50000) g ORDER BY g",
            (day * DAY,))
    times = [r[0] for r in pg.read("SELECT recorded_at FROM requests ORDER BY id")]
    assert len(times) == 50000 and times == sorted(times)
