"""What the store benchmarks share: loading a month of made-up rows fast,
and the bytes each table then takes."""
import re


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
    """{table: bytes} of each table with its key's index."""
    if store.dialect == "postgresql":
        return {t: store.rows(f"SELECT pg_total_relation_size('{t}') AS n")[0]["n"]
                for t in tables}
    store._conn().execute("PRAGMA wal_checkpoint(TRUNCATE)")
    out = dict.fromkeys(tables, 0)
    for r in store.rows("SELECT name, SUM(pgsize) AS n FROM dbstat GROUP BY name"):
        for t in tables:
            if r["name"] == t or re.fullmatch(rf"sqlite_autoindex_{t}_\d+", r["name"]):
                out[t] += r["n"]
    return out
