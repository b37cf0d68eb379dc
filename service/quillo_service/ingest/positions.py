"""How far each of nginx's logs has been taken into the store, and the rows
taken with it: a batch of lines and the position after them are written in
one transaction, by compare-and-set, so that a line is taken exactly once
across workers, hosts and restarts (logs.py reads the lines).

The downloads are records of this feature: purged by id and time.
"""

from ..db import retention
from ..db.schema import DOWNLOAD_COLUMNS, REQUEST_COLUMNS

retention.register_records("downloads")

_INGESTED = {"requests": REQUEST_COLUMNS, "downloads": DOWNLOAD_COLUMNS}


def ingest_position(store, name):
    """(file, position, skipped) of the log `name` as far as it has been
    taken into the store; ("", 0, 0) for a log never read."""
    rows = store.rows("SELECT file, position, skipped FROM ingest_state "
                      f"WHERE name = {store.placeholder}", (name,))
    return (rows[0]["file"], rows[0]["position"], rows[0]["skipped"]) if rows \
        else ("", 0, 0)


def adopt_position(store, name, old):
    """Keep the position of log `old` under `name` from now on, unless
    `name` has one already; True when it was taken over."""
    p = store.placeholder
    with store.writer(patient=True), store.transaction() as conn:
        return conn.execute(
            f"UPDATE ingest_state SET name = {p} WHERE name = {p} AND NOT EXISTS "
            f"(SELECT 1 FROM ingest_state WHERE name = {p})", (name, old, name)).rowcount == 1


def ingest_rows(store, name, expected, new, table, rows, skipped=0):
    """take_rows, True when the position moved (and the rows went in)."""
    return take_rows(store, name, expected, new, table, rows, skipped) is not None


def take_rows(store, name, expected, new, table, rows, skipped=0):
    """Add `rows` (tuples in the order of the table's columns in schema.py:
    REQUEST_COLUMNS or DOWNLOAD_COLUMNS) to `table` and move the position
    of log `name` from `expected` to `new`, both (file, position), adding
    `skipped` to its unreadable lines: all in one transaction, so that a
    line is taken exactly once.  Returns the rows added: requests whose id
    was recorded already (Store.fresh_requests) are left out.  When the
    stored position is no longer `expected` (another process took those
    lines first), nothing is written and the answer is None."""
    columns = _INGESTED[table]
    p = store.placeholder
    # A batch queues with the requests for its turn to write, and may wait
    # longer: it is read again later if it cannot have it.
    with store.writer(patient=True), store.transaction() as conn:
        conn.execute("INSERT INTO ingest_state (name, file, position, skipped) "
                     f"VALUES ({p}, '', 0, 0) ON CONFLICT (name) DO NOTHING", (name,))
        # The conditional update is the compare-and-set: a concurrent
        # ingester waits for this row and then finds it moved.
        moved = conn.execute(
            f"UPDATE ingest_state SET file = {p}, position = {p}, skipped = skipped + {p} "
            f"WHERE name = {p} AND file = {p} AND position = {p}",
            (new[0], new[1], skipped, name, expected[0], expected[1])).rowcount
        if moved != 1:
            return None
        if table == "requests":
            rows = store.fresh_requests(conn, rows)
        if rows:
            store.insert_many(conn, table, columns, rows)
        return len(rows)


def ingest_requests(store, name, expected, new, rows, skipped=0):
    """ingest_rows into `requests`."""
    return ingest_rows(store, name, expected, new, "requests", rows, skipped)


def recent_downloads(store, limit=10):
    return store.rows(f"SELECT * FROM downloads ORDER BY id DESC LIMIT {int(limit)}")
