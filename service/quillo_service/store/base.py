"""What both stores share: the SQL, connection reuse and the schema check.

Each worker process (and each thread in it) keeps one connection and reuses it
for every request; a connection inherited across fork() is never used or
closed by the child, since closing it there would end the parent's session.
"""

import os
import threading
import time
from contextlib import contextmanager

from .schema import EVENT_COLUMNS, MIGRATIONS, REQUEST_COLUMNS, SCHEMA_VERSION, TABLES


class StoreError(Exception):
    """The database cannot be used."""


class SchemaError(StoreError):
    """The database holds a schema this code does not know."""


class Store:
    placeholder = "?"
    id_type = "INTEGER PRIMARY KEY"
    float_type = "REAL"

    def __init__(self):
        self._local = threading.local()
        self._inherited = []  # connections from a parent process, kept unclosed
        q = ", ".join([self.placeholder] * len(REQUEST_COLUMNS))
        self._insert_request = f"INSERT INTO requests ({', '.join(REQUEST_COLUMNS)}) VALUES ({q})"
        q = ", ".join([self.placeholder] * len(EVENT_COLUMNS))
        self._insert_event = f"INSERT INTO events ({', '.join(EVENT_COLUMNS)}) VALUES ({q})"
        p = self.placeholder
        self._count_hit = (
            f"INSERT INTO rate_counts (client, window_start, hits) VALUES ({p}, {p}, 1) "
            "ON CONFLICT (client, window_start) DO UPDATE SET hits = rate_counts.hits + 1 "
            "RETURNING hits")
        self._last_window = None

    # -- what a database adds ------------------------------------------------

    def _connect(self):
        raise NotImplementedError

    def _begin(self, conn):
        """Start a transaction that will write."""
        conn.execute("BEGIN")

    def _lock_schema(self, conn):
        """Serialise schema creation between processes (inside the transaction)."""

    def describe(self):
        raise NotImplementedError

    # -- connections -----------------------------------------------------------

    def _conn(self):
        local = self._local
        conn = getattr(local, "conn", None)
        if conn is not None and local.pid == os.getpid():
            return conn
        if conn is not None:
            self._inherited.append(conn)
        local.conn = None
        conn = self._connect()
        try:
            self._ensure_schema(conn)
        except self.errors as e:
            conn.close()
            raise StoreError(f"{self.describe()}: cannot set up the tables: {e}") from None
        except BaseException:
            conn.close()
            raise
        local.conn, local.pid = conn, os.getpid()
        return conn

    def _drop(self):
        """Forget this thread's connection after a failure; the next call reconnects."""
        conn = getattr(self._local, "conn", None)
        self._local.conn = None
        if conn is None:
            return
        if self._local.pid != os.getpid():
            self._inherited.append(conn)
            return
        try:
            conn.close()
        except Exception:
            pass

    def close(self):
        self._drop()

    def check(self):
        """Connect now (creating or checking the schema); raises StoreError."""
        self._conn()

    @contextmanager
    def _transaction(self):
        conn = self._conn()
        self._begin(conn)
        try:
            yield conn
        except BaseException:
            try:
                conn.execute("ROLLBACK")
            except Exception:
                self._drop()
            raise
        conn.execute("COMMIT")

    def _ensure_schema(self, conn):
        self._begin(conn)
        try:
            self._lock_schema(conn)
            conn.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
            row = conn.execute("SELECT MAX(version) FROM schema_version").fetchone()
            found = row[0] if row else None
            if found is not None and not isinstance(found, int):
                raise SchemaError(f"{self.describe()}: schema_version holds {found!r:.40}, "
                                  "not a version number")
            if found is not None and found > SCHEMA_VERSION:
                raise SchemaError(
                    f"{self.describe()}: the database has schema version {found}, newer than "
                    f"version {SCHEMA_VERSION} that this service knows; upgrade the service")
            if found is None:
                for sql in TABLES:
                    conn.execute(sql.format(id=self.id_type, float=self.float_type))
                conn.execute(f"INSERT INTO schema_version (version) VALUES ({SCHEMA_VERSION})")
            elif found < SCHEMA_VERSION:
                for version in range(found, SCHEMA_VERSION):
                    for sql in MIGRATIONS[version]:
                        conn.execute(sql.format(id=self.id_type, float=self.float_type))
                conn.execute(f"UPDATE schema_version SET version = {SCHEMA_VERSION}")
            conn.execute("COMMIT")
        except BaseException:
            try:
                conn.execute("ROLLBACK")
            except Exception:
                pass
            raise

    # -- recording -------------------------------------------------------------

    def record_request(self, recorded_at, client, bundle_key, version, machine_id,
                       answer, rule, malformed, cut):
        """One instruction request: a single INSERT."""
        try:
            self._conn().execute(self._insert_request, (
                recorded_at, client, bundle_key, version, machine_id, answer, rule,
                malformed, cut))
        except self.errors as e:
            self._drop()
            raise StoreError(str(e)) from e

    def record_event(self, event, limit_per_minute):
        """Record an error or crash event unless its client is over the limit.

        `event` maps the names in EVENT_COLUMNS to values.  The count per client
        address and minute lives in the database, so the limit holds across all
        worker processes and hosts that share it.  Returns True if recorded.
        """
        window = int(event["recorded_at"] // 60)
        try:
            with self._transaction() as conn:
                if self._last_window != window:
                    conn.execute(f"DELETE FROM rate_counts WHERE window_start < {self.placeholder}",
                                 (window - 1,))
                    self._last_window = window
                hits = conn.execute(self._count_hit, (event["client"], window)).fetchall()[0][0]
                if hits > limit_per_minute:
                    return False
                conn.execute(self._insert_event, tuple(event[c] for c in EVENT_COLUMNS))
                return True
        except self.errors as e:
            self._drop()
            raise StoreError(str(e)) from e

    # -- requests answered elsewhere (nginx's fallback log) ----------------------

    _INGESTED_COLUMNS = ("recorded_at", "client", "bundle_key", "version", "machine_id",
                         "answer", "rule", "malformed", "cut")

    def ingest_position(self, name):
        """(file, position, skipped) of the log `name` as far as it has been
        taken into `requests`; ("", 0, 0) for a log never read."""
        rows = self._rows("SELECT file, position, skipped FROM ingest_state "
                          f"WHERE name = {self.placeholder}", (name,))
        return (rows[0]["file"], rows[0]["position"], rows[0]["skipped"]) if rows \
            else ("", 0, 0)

    def ingest_requests(self, name, expected, new, rows, skipped=0):
        """Add `rows` (tuples in _INGESTED_COLUMNS order) to `requests` and move
        the position of log `name` from `expected` to `new`, both (file,
        position), adding `skipped` to its unreadable lines: all in one
        transaction, so that a line is taken exactly once.  When the stored
        position is no longer `expected` (another process took those lines
        first), nothing is written and the answer is False."""
        p = self.placeholder
        insert = (f"INSERT INTO requests ({', '.join(self._INGESTED_COLUMNS)}) "
                  f"VALUES ({', '.join([p] * len(self._INGESTED_COLUMNS))})")
        try:
            with self._transaction() as conn:
                conn.execute("INSERT INTO ingest_state (name, file, position, skipped) "
                             f"VALUES ({p}, '', 0, 0) ON CONFLICT (name) DO NOTHING", (name,))
                # The conditional update is the compare-and-set: a concurrent
                # ingester waits for this row and then finds it moved.
                moved = conn.execute(
                    f"UPDATE ingest_state SET file = {p}, position = {p}, skipped = skipped + {p} "
                    f"WHERE name = {p} AND file = {p} AND position = {p}",
                    (new[0], new[1], skipped, name, expected[0], expected[1])).rowcount
                if moved != 1:
                    return False
                if rows:
                    conn.cursor().executemany(insert, rows)
                return True
        except self.errors as e:
            self._drop()
            raise StoreError(str(e)) from e

    def _first_id_since(self, conn, table, cutoff):
        """An id below which every row is older than `cutoff`; None: all are.

        Rows arrive in time order (up to the small skew between workers), so
        a binary search over the primary key finds the boundary without an
        index on the time column.
        """
        p = self.placeholder
        # Asked apart: SQLite answers MIN and MAX from the primary key only
        # when each stands alone, and reads the whole table otherwise.
        lo = conn.execute(f"SELECT MIN(id) FROM {table}").fetchone()[0]
        hi = conn.execute(f"SELECT MAX(id) FROM {table}").fetchone()[0]
        if lo is None:
            return None

        def recent(v):  # is the first row at or after id v recent?
            return conn.execute(
                f"SELECT recorded_at FROM {table} WHERE id >= {p} ORDER BY id LIMIT 1",
                (v,)).fetchone()[0] >= cutoff

        if not recent(hi):
            return None
        while lo < hi:
            mid = (lo + hi) // 2
            if recent(mid):
                hi = mid
            else:
                lo = mid + 1
        return lo

    def purge(self, days, now=None, batch=5000):
        """Delete requests and events older than `days` days; returns rows deleted.

        Deletes in batches of short transactions, so that recording goes on
        meanwhile instead of waiting for one long delete.
        """
        cutoff = (time.time() if now is None else now) - days * 86400
        p = self.placeholder
        deleted = 0
        try:
            for table in ("requests", "events"):
                conn = self._conn()
                first = self._first_id_since(conn, table, cutoff)
                low = conn.execute(f"SELECT MIN(id) FROM {table}").fetchone()[0]
                if low is None:
                    continue
                if first is None:  # every row is old
                    first = conn.execute(f"SELECT MAX(id) FROM {table}").fetchone()[0] + 1
                while low < first:
                    low = min(low + batch, first)
                    with self._transaction() as conn:
                        deleted += conn.execute(f"DELETE FROM {table} WHERE id < {p}",
                                                (low,)).rowcount
            with self._transaction() as conn:
                conn.execute(f"DELETE FROM rate_counts WHERE window_start < {p}",
                             (int(cutoff // 60),))
                # The dashboard's daily counts go with the days they count.
                conn.execute(f"DELETE FROM requests_daily WHERE day < {p}",
                             (int(cutoff // 86400),))
        except self.errors as e:
            self._drop()
            raise StoreError(str(e)) from e
        return deleted

    # -- reading (tests, demo, support) ------------------------------------------

    def _rows(self, sql, params=()):
        try:
            cur = self._conn().execute(sql, params)
            names = [d[0] for d in cur.description]
            return [dict(zip(names, row)) for row in cur.fetchall()]
        except self.errors as e:
            self._drop()
            raise StoreError(str(e)) from e

    def recent_requests(self, limit=10):
        return self._rows(f"SELECT * FROM requests ORDER BY id DESC LIMIT {int(limit)}")

    def recent_events(self, limit=10):
        return self._rows(f"SELECT * FROM events ORDER BY id DESC LIMIT {int(limit)}")

    def find_event(self, reference):
        rows = self._rows(f"SELECT * FROM events WHERE reference = {self.placeholder}",
                          (reference,))
        return rows[0] if rows else None

    def count(self, table):
        if table not in ("requests", "events"):
            raise ValueError(table)
        return self._rows(f"SELECT COUNT(*) AS n FROM {table}")[0]["n"]

    def schema_version(self):
        return self._rows("SELECT MAX(version) AS v FROM schema_version")[0]["v"]
