"""What the store benchmarks share: loading a month of made-up rows fast,
the bytes each table then takes, and the time each console page takes."""
import re
import time


def load_rows(store, table, columns, rows, batch=200_000):
    """Append `rows` (tuples in `columns` order) to `table` as fast as the
    database takes them: COPY on PostgreSQL, large transactions on SQLite."""
    conn = store._conn()
    if store.dialect == "postgresql":
        with conn.cursor().copy(f"COPY {table} ({', '.join(columns)}) FROM STDIN") as copy:
            for row in rows:
                copy.write_row(row)
        return
    sql = f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({', '.join('?' * len(columns))})"
    chunk = []
    for row in rows:
        chunk.append(row)
        if len(chunk) == batch:
            _commit(conn, sql, chunk)
            chunk = []
    if chunk:
        _commit(conn, sql, chunk)


def _commit(conn, sql, rows):
    conn.execute("BEGIN")
    conn.executemany(sql, rows)
    conn.execute("COMMIT")


def settle(store):
    """After a load: statistics on PostgreSQL (VACUUM may wait for
    autovacuum), the log folded into the file on SQLite."""
    conn = store._conn()
    store._patience(conn, True)
    conn.execute("VACUUM ANALYZE" if store.dialect == "postgresql"
                 else "PRAGMA wal_checkpoint(TRUNCATE)")


def table_bytes(store, tables):
    """{table: bytes} of each table with its indexes; a table split by day
    with all its partitions."""
    if store.dialect == "postgresql":
        # pg_partition_tree has no rows for a table that is not split.  A
        # view of packed rows (the service's requests and downloads) counts
        # the table it reads.
        def held(t):
            packed = f"{t}_packed"
            return packed if store.read("SELECT to_regclass(%s)", (packed,))[0][0] else t
        return {t: int(store.read("SELECT COALESCE((SELECT SUM(pg_total_relation_size(relid)) "
                                  "FROM pg_partition_tree(%s)), pg_total_relation_size(%s))",
                                  (held(t), held(t)))[0][0]) for t in tables}
    store._conn().execute("PRAGMA wal_checkpoint(TRUNCATE)")
    out = dict.fromkeys(tables, 0)
    for r in store.rows("SELECT name, SUM(pgsize) AS n FROM dbstat GROUP BY name"):
        for t in tables:
            if r["name"] == t or re.fullmatch(rf"sqlite_autoindex_{t}_\d+", r["name"]):
                out[t] += r["n"]
    return out


def time_views(client, auth, periods=("24h", "7d", "30d")):
    """{(view, period): [first, second]}: the seconds each console page took
    through the app's test client, twice (a cold and a warm cache)."""
    from quillo_service.admin import views as admin_views
    times = {}
    for view in admin_views.VIEWS:
        for period in periods:
            runs = []
            for _ in range(2):
                t = time.monotonic()
                r = client.get(f"/admin/{view}?period={period}", headers=auth)
                runs.append(time.monotonic() - t)
                assert r.status_code == 200, (view, period, r.status_code)
            times[(view, period)] = runs
    return times
