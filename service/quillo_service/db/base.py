"""What both stores share: connection reuse, the schema check, transactions and
snapshots, the time-to-id search, positions, purge, the requests' spool and
the leases (the public interface is listed in __init__.py).

Each worker process (and each thread in it) keeps one connection and reuses it
for every request; a connection inherited across fork() is never used or
closed by the child, since closing it there would end the parent's session.
"""

import logging
import os
import re
import threading
import time
from contextlib import contextmanager

from ..clients import REQUEST_ID_FORM, client_key, is_client_key
from ..throttle import LogThrottle
from . import events, retention
from .schema import MIGRATIONS, REQUEST_COLUMNS, SCHEMA_VERSION, TABLES
from .times import NOT_TIMES, check_time, is_time


log = logging.getLogger("quillo_service")
_replay_failures = LogThrottle(interval=60.0)


class StoreError(Exception):
    """The database cannot be used."""


class SchemaError(StoreError):
    """The database holds a schema this code does not know."""


LOST = "lost requests"  # rollup_state row: requests neither recorded nor spooled
SECRET_CHECK = "client key check"  # rollup_state row: which secret made the stored keys
HASH_BATCH = 10_000  # rows per statement when stored addresses are converted

# With PostgreSQL an id is taken at the insert but seen only at the commit, so
# for a moment a row can be missing below a higher id that is already there.
# An insert commits within this many seconds of taking its id (one statement,
# or one batch of log lines), so whoever moves a position over the ids
# (Dashboard.catch_up, rollouts.count) stops before the rows younger than
# LAG: a missing id below an older row belongs to an insert that has since
# committed or rolled back, and will never appear later.
LAG = 5.0
# Some rows keep a time earlier than rows already recorded: nginx's fallback
# answers, read from its log a few seconds to minutes later, and requests
# written from the spool.  So the time-to-id search (first_id) is exact only
# to within LATE seconds, and whoever reads a period by id looks that much
# further on each side and filters on the time itself.
LATE = 600
# No real record is stamped at or past this (the year 5138), nor at or below
# its negative: a row stamped so (a broken clock, NaN read as a huge number)
# is kept but enters no count.  A time that is no number at all (NaN, an
# infinity) is refused at every door instead (times.is_time).
LAST_TIME = 1e11
# A request id is kept in request_ids this long after it was first recorded
# (the database's clock), and a request carrying it is not recorded again
# meanwhile: the front's retry on the next host comes within seconds, a
# living host's spool is written within seconds of the database being back,
# and nginx's fallback log is read within seconds.  Longer than LATE, since
# a host may be down a while.  A host dead for longer than this, whose spool
# or fallback log held a request that the front had meanwhile retried on
# another host, counts that request twice when it is back: at most the few
# requests in flight when it died.  Reports claim their ids in event_ids
# (events.py) for the same window.
REQUEST_ID_WINDOW = 6 * 3600.0
CLAIMS = ("request_ids", "event_ids")  # the tables of claimed ids, pruned together
REQUEST_ID = REQUEST_COLUMNS.index("request_id")
ID_VALUE = REQUEST_ID - 1  # where the request id is among a request's values (no time)
CLAIM_BATCH = 500  # ids claimed per statement
_ARMS_FORM = re.compile(r"[\t\x20-\x7e]{0,100000}")  # as launcher/arms.py writes them

retention.register_records("requests")
# A host not seen for the retention is gone: whatever it had not brought in
# would be purged by now anyway.
retention.register("hosts", "seen_at")


def _spooled_row(row):
    """A spooled line as a row of REQUEST_COLUMNS, or None if it is none.
    Lines spooled before requests carried nginx's id lack the last two
    columns, and those spooled before they kept their arms the last one
    (such a request is in no arm).  An id of another form, or arms that are
    not printable ASCII, are none the service spooled: one the database
    would refuse (a NUL, a lone surrogate) would hold back the whole file;
    a time that is no number (times.is_time) would be counted nowhere."""
    if not isinstance(row, list) or not REQUEST_ID <= len(row) <= len(REQUEST_COLUMNS):
        return None
    row = row + [None] * (len(REQUEST_COLUMNS) - len(row))
    if not is_time(row[0]):
        return None
    rid, arms = row[REQUEST_ID], row[REQUEST_ID + 1]
    if rid is not None and not (isinstance(rid, str) and REQUEST_ID_FORM.fullmatch(rid)):
        return None
    return row if arms is None or isinstance(arms, str) and _ARMS_FORM.fullmatch(arms) else None


class Store:
    placeholder = "?"
    dialect = "sqlite"
    id_type = "INTEGER PRIMARY KEY"
    float_type = "REAL"
    # The database's own clock in seconds since 1970: every host that shares
    # the database then writes one clock into recorded_at (see ROLLUP in
    # dashboard.py for why that matters).
    now_sql = "(julianday('now') - 2440587.5) * 86400.0"
    day_sql = "CAST(recorded_at / 86400 AS INTEGER)"  # whole days since 1970, UTC
    hour_sql = "CAST(recorded_at / 3600 AS INTEGER)"  # whole hours since 1970
    find_sql = "instr({text}, {part}) > 0"

    REPLAY_EVERY = 2.0  # seconds between attempts to write the spool into the database

    def __init__(self, spool=None):
        self.spool = spool  # a Spool for requests the database cannot take in time
        # The secret of client_key (bytes), for converting addresses that an
        # older version stored; None where nothing needs converting (tests).
        self.client_secret = None
        self._lost = 0      # requests neither recorded nor spooled, not yet counted
        self._lost_lock = threading.Lock()
        self._replayer = None
        self._stop = threading.Event()
        self._spool_checked = 0.0
        self._local = threading.local()
        self._inherited = []  # connections from a parent process, kept unclosed
        # Told of long schema work step by step (a conversion, day by day);
        # `migrate` prints it, the service logs it.
        self.progress = log.info
        q = ", ".join([self.placeholder] * len(REQUEST_COLUMNS))
        self._insert_request = f"INSERT INTO requests ({', '.join(REQUEST_COLUMNS)}) VALUES ({q})"
        self._insert_request_now = self._insert_request.replace(
            f"VALUES ({self.placeholder}", f"VALUES ({self.now_sql}", 1)
        self._claim_id = (f"INSERT INTO request_ids (request_id, seen_at) VALUES "
                          f"({self.placeholder}, {self.now_sql}) "
                          "ON CONFLICT (request_id) DO NOTHING")

    # -- what a database adds ------------------------------------------------

    def _connect(self):
        raise NotImplementedError

    def _begin(self, conn):
        """Start a transaction that will write."""
        conn.execute("BEGIN")

    def _lock_schema(self, conn):
        """Serialise schema creation between processes (inside the transaction)."""

    def _lock_rollup(self, conn):
        """Serialise rollup chunks between processes (inside the transaction)."""

    def describe(self):
        raise NotImplementedError

    def exists(self):
        """Whether the database holds the service's tables (made at the
        first connect otherwise); raises StoreError when it cannot be asked."""
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
        self._stop.set()  # the spool's thread, if any, ends
        self._drop()

    def close_thread(self):
        """Close this thread's connection: a thread about to end would
        otherwise leave it to the garbage collector."""
        self._drop()

    def check(self):
        """Connect now (creating or checking the schema); raises StoreError.
        With a client secret, also check that it is the one the stored keys
        were made with: hosts sharing a database must share the secret, or
        one client would count as two."""
        self._conn()
        if self.client_secret is None:
            return
        p = self.placeholder
        mark = int(client_key(SECRET_CHECK, self.client_secret)[:15], 16)  # fits in BIGINT
        with self._errors_as_store_error(), self._transaction(patient=True) as conn:
            conn.execute(f"INSERT INTO rollup_state (name, value) VALUES ({p}, {p}) "
                         "ON CONFLICT (name) DO NOTHING", (SECRET_CHECK, mark))
            found = self.position(SECRET_CHECK, conn)
        if found != mark:
            raise StoreError(f"{self.describe()}: its client addresses were hashed with another "
                             "secret than this host's; copy the secret file of the first host "
                             "here (see client_secret in the configuration)")

    def forget_client_secret(self):
        """Let the next start record a new secret (the old one was lost):
        keys made from then on no longer match the stored ones."""
        with self._errors_as_store_error(), self._transaction(patient=True) as conn:
            self.drop_position(conn, SECRET_CHECK)

    def hash_stored_addresses(self, conn):
        """Replace every client address stored by an older version with its
        key, inside the caller's transaction, a batch of ids per statement so
        that no single statement grows with the table."""
        p, secret = self.placeholder, self.client_secret
        for table in ("requests", "events"):
            lo = conn.execute(f"SELECT MIN(id) FROM {table}").fetchone()[0]
            hi = conn.execute(f"SELECT MAX(id) FROM {table}").fetchone()[0]
            if lo is None:
                continue
            for start in range(lo, hi + 1, HASH_BATCH):
                end = start + HASH_BATCH
                clients = [row[0] for row in conn.execute(
                    f"SELECT DISTINCT client FROM {table} WHERE id >= {p} AND id < {p}",
                    (start, end)).fetchall() if not is_client_key(row[0])]
                if clients and secret is None:
                    raise SchemaError(f"{self.describe()}: stored client addresses must be "
                                      "converted, and no client secret was given")
                if not clients:
                    continue
                # One statement per batch, joining each address to its key;
                # both databases name the columns of a bare VALUES column1, 2.
                values = ", ".join([f"({p}, {p})"] * len(clients))
                conn.execute(
                    f"UPDATE {table} SET client = v.column2 FROM (VALUES {values}) AS v "
                    f"WHERE {table}.id >= {p} AND {table}.id < {p} AND {table}.client = v.column1",
                    [x for c in clients for x in (c, client_key(c, secret))] + [start, end])
        # Rate counts are keyed by address, or by "admin " and the address.
        rows = conn.execute("SELECT client, window_start, hits FROM rate_counts").fetchall()
        counts = {}
        for client, window, hits in rows:
            prefix, _, address = client.rpartition(" ")
            if not is_client_key(address):
                if secret is None:
                    raise SchemaError(f"{self.describe()}: stored client addresses must be "
                                      "converted, and no client secret was given")
                address = client_key(address, secret)
            key = (f"{prefix} {address}" if prefix else address, window)
            counts[key] = counts.get(key, 0) + hits
        conn.execute("DELETE FROM rate_counts")
        conn.cursor().executemany(
            f"INSERT INTO rate_counts (client, window_start, hits) VALUES ({p}, {p}, {p})",
            [(c, w, n) for (c, w), n in counts.items()])

    def _patience(self, conn, patient):
        """Wait long for locks (purge, rollup, replay) or briefly (requests)."""

    @contextmanager
    def _transaction(self, patient=False):
        conn = self._conn()
        if patient:
            self._patience(conn, True)
        try:
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
        finally:
            if patient and getattr(self._local, "conn", None) is conn:
                self._patience(conn, False)

    @contextmanager
    def _errors_as_store_error(self):
        try:
            yield
        except self.errors as e:
            self._drop()
            raise StoreError(str(e)) from e

    # -- what the features use -------------------------------------------------

    @contextmanager
    def transaction(self, patient=False):
        """A transaction that writes: committed at the end, rolled back on an
        exception.  patient: wait long for locks (rollups, purge), not as
        briefly as a request does.  Database errors come out as StoreError."""
        with self._errors_as_store_error(), self._transaction(patient) as conn:
            yield conn

    def read(self, sql, params=()):
        """Every row of one query, on this thread's connection (inside a
        snapshot, the snapshot's).  Database errors come out as StoreError."""
        with self._errors_as_store_error():
            return self._conn().execute(sql, params).fetchall()

    def reading_connection(self):
        """This thread's connection (inside a snapshot, the snapshot's), for
        reads by code that runs the same queries inside a transaction and so
        takes a connection; wrap them in store_errors."""
        return self._conn()

    @contextmanager
    def store_errors(self):
        """Database errors raised inside come out as StoreError."""
        with self._errors_as_store_error():
            yield

    def lock_rollup(self, conn):
        """Serialise rollup chunks between processes (inside the transaction)."""
        self._lock_rollup(conn)

    def insert_many(self, conn, table, columns, rows):
        """INSERT the rows (tuples in `columns` order) in one statement batch."""
        self._insert_many(conn, table, columns, rows)

    @contextmanager
    def writer(self, patient=False):
        """Around a transaction that writes: a turn in the queue of writers
        where the database has one (SQLite's single writer), so that a
        request does not meet others in the database's busy handler.  A
        request waits briefly for it; patient: as long as maintenance does.
        Raises StoreError when the turn does not come in time."""
        yield

    def rows(self, sql, params=()):
        """Every row of one query, as a dict of column name to value."""
        try:
            cur = self._conn().execute(sql, params)
            names = [d[0] for d in cur.description]
            return [dict(zip(names, row)) for row in cur.fetchall()]
        except self.errors as e:
            self._drop()
            raise StoreError(str(e)) from e

    def _begin_read(self, conn):
        """Start a transaction whose reads all see one snapshot."""
        conn.execute("BEGIN")

    @contextmanager
    def snapshot(self):
        """Reads inside see the database as of one moment, so that counts read
        one after another agree with each other.  Nests: an inner snapshot is
        the outer one.  Nothing may be written inside."""
        local = self._local
        if getattr(local, "snapshot", 0):
            local.snapshot += 1
            try:
                yield
            finally:
                local.snapshot -= 1
            return
        with self._errors_as_store_error():
            conn = self._conn()
            self._patience(conn, True)  # a page may read for longer than a request
            self._begin_read(conn)
        local.snapshot = 1
        try:
            yield
        finally:
            local.snapshot = 0
            try:
                conn.execute("ROLLBACK")  # nothing was written; this ends the snapshot
                self._patience(conn, False)
            except Exception:
                self._drop()

    def _ensure_schema(self, conn):
        # A current schema is only read, never locked: opening a connection
        # must not wait for (or hold up) the writers.
        try:
            found = conn.execute("SELECT MAX(version) FROM schema_version").fetchone()[0]
        except self.errors:
            found = None  # no table yet: created below, under the lock
        if found == SCHEMA_VERSION:
            return
        self._patience(conn, True)
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
                self._apply(conn, TABLES)
                conn.execute(f"INSERT INTO schema_version (version) VALUES ({SCHEMA_VERSION})")
            elif found < SCHEMA_VERSION:
                for version in range(found, SCHEMA_VERSION):
                    self.progress(f"schema version {version} to {version + 1}")
                    self._apply(conn, MIGRATIONS[version])
                conn.execute(f"UPDATE schema_version SET version = {SCHEMA_VERSION}")
            conn.execute("COMMIT")
        except BaseException:
            try:
                conn.execute("ROLLBACK")
            except Exception:
                pass
            raise
        self._patience(conn, False)

    def _apply(self, conn, steps):
        """Run schema steps: SQL, a callable given (store, connection), or a
        dict of the steps only one database needs, by dialect."""
        if isinstance(steps, dict):
            steps = steps[self.dialect]
        for step in steps:
            if isinstance(step, dict):
                self._apply(conn, step)
            elif callable(step):
                step(self, conn)
            else:
                conn.execute(step.format(id=self.id_type, float=self.float_type))

    # -- recording -------------------------------------------------------------

    def record_request(self, recorded_at, client, bundle_key, version, machine_id,
                       answer, rule, malformed, cut, request_id=None, arms=None):
        """One instruction request: a single INSERT, or a line in the spool when
        the database cannot take it within a short wait.  Raises StoreError
        only when the request could be neither recorded nor spooled.

        `recorded_at` None (what the service passes) takes the database's
        clock; a time is given only for records that happened elsewhere
        (imports, demo data, tests).  A spooled request keeps the host's time.
        `request_id` is the id nginx gave the request, or the front's id
        that it passed on (see ingest/fallback.py): a request whose id was
        recorded within REQUEST_ID_WINDOW, by any host, is not recorded again.
        `arms` the staged rollouts' arms it was answered in, as
        launcher/arms.py writes them (None: none); the spool keeps them too.
        A `recorded_at` that is no time (NaN, an infinity) raises BadTime
        (times.py): no row could be counted or purged by it.
        """
        values = (client, bundle_key, version, machine_id, answer, rule, malformed, cut,
                  request_id, arms)
        if recorded_at is not None:
            check_time(recorded_at)
        try:
            self._insert_request_row(recorded_at, values)
        except StoreError as e:
            try:
                self._spool(e, [time.time() if recorded_at is None else recorded_at, *values])
            except StoreError:
                self._add_lost(1)
                raise
            return
        if self._lost:
            self._count_lost()
        if self.spool is not None and time.monotonic() - self._spool_checked > 10:
            self._spool_checked = time.monotonic()
            if self.spool.pending():  # left by another worker or an earlier run
                self._replay_later()

    def _spool(self, error, line):
        """Put a line the database could not take (after `error`) in the
        spool, and make sure it is written out soon; raises StoreError when
        there is no spool or it cannot be written."""
        if self.spool is None:
            raise error
        try:
            self.spool.add(line)
        except OSError as spool_error:
            raise StoreError(f"{error}; the spool {self.spool.path} cannot be written "
                             f"either: {spool_error}") from None
        self._replay_later()

    def _insert_request_row(self, recorded_at, values):
        with self._errors_as_store_error():
            if values[ID_VALUE] is None:  # a caller that sends no id: recorded as it comes
                self._conn().execute(*self._insert_request_sql(recorded_at, values))
                return
            with self._transaction() as conn:
                if conn.execute(self._claim_id, (values[ID_VALUE],)).rowcount == 1:
                    conn.execute(*self._insert_request_sql(recorded_at, values))

    def _insert_request_sql(self, recorded_at, values):
        if recorded_at is None:
            return self._insert_request_now, values
        return self._insert_request, (recorded_at, *values)

    # -- reports: each once across hosts and spools (events.py) --------------------

    def write_event(self, conn, event):
        """Store a report inside the open transaction, claiming its request
        id; False when a report of that id was stored already."""
        return events.write(self, conn, event)

    def spool_event(self, error, event):
        """Spool a report that the database could not take (after `error`),
        to be stored, once, when it can; raises StoreError when it cannot be
        spooled either."""
        self._spool(error, events.line(event))

    # -- request ids: each request once across hosts, spools and nginx's log -------

    def fresh_requests(self, conn, rows):
        """Those of `rows` (of REQUEST_COLUMNS) to record, claiming their
        request ids inside the open transaction: a row without an id, and
        the first row of each id that request_ids does not hold yet."""
        ids = list(dict.fromkeys(r[REQUEST_ID] for r in rows if r[REQUEST_ID] is not None))
        claimed = set()
        p = self.placeholder
        for i in range(0, len(ids), CLAIM_BATCH):
            part = ids[i:i + CLAIM_BATCH]
            values = ", ".join([f"({p}, {self.now_sql})"] * len(part))
            claimed.update(r[0] for r in conn.execute(
                f"INSERT INTO request_ids (request_id, seen_at) VALUES {values} "
                "ON CONFLICT (request_id) DO NOTHING RETURNING request_id", part).fetchall())
        fresh = []
        for r in rows:
            rid = r[REQUEST_ID]
            if rid is None or rid in claimed:
                fresh.append(r)
                claimed.discard(rid)
        return fresh

    def prune_request_ids(self, now=None, window=REQUEST_ID_WINDOW):
        """Forget the request ids claimed by requests and by reports (CLAIMS)
        more than `window` seconds before `now` (the database's clock);
        returns how many."""
        now = self.now() if now is None else now
        with self._errors_as_store_error(), self._transaction(patient=True) as conn:
            return sum(conn.execute(f"DELETE FROM {table} WHERE seen_at < {self.placeholder}",
                                    (now - window,)).rowcount for table in CLAIMS)

    def seed_request_ids(self, conn):
        """Claim the ids of the requests recorded within the window, inside
        the open transaction (the schema step that adds request_ids)."""
        p = self.placeholder
        now = float(conn.execute(f"SELECT {self.now_sql}").fetchone()[0])
        bound = self.first_id("requests", now - REQUEST_ID_WINDOW, conn)
        conn.execute("INSERT INTO request_ids (request_id, seen_at) "
                     "SELECT request_id, MAX(recorded_at) FROM requests "
                     f"WHERE id >= {p} AND request_id IS NOT NULL GROUP BY request_id",
                     (bound,))

    # -- the spool and what was lost ----------------------------------------------

    def _count_lost(self):
        """Add the requests lost so far to the count the dashboard shows."""
        n, p = self._lost, self.placeholder
        try:
            with self._errors_as_store_error(), self._transaction() as conn:
                conn.execute(
                    f"INSERT INTO rollup_state (name, value) VALUES ({p}, {p}) "
                    "ON CONFLICT (name) DO UPDATE SET value = rollup_state.value + "
                    "excluded.value", (LOST, n))
        except StoreError:
            return  # counted another time
        self._add_lost(-n)

    def _add_lost(self, n):
        with self._lost_lock:
            self._lost += n

    def lost_requests(self):
        """Requests that could be neither recorded nor spooled, over all workers."""
        return self.position(LOST) or 0

    def replay_spool(self):
        """Write the spooled requests and reports into the database, each
        once; returns how many were written."""
        if self.spool is None:
            return 0
        p = self.placeholder

        def write(marker, rows):
            with self._errors_as_store_error(), self._transaction(patient=True) as conn:
                if rows is None:
                    conn.execute(f"DELETE FROM rollup_state WHERE name = {p}", (marker,))
                    return 0
                new = conn.execute(
                    f"INSERT INTO rollup_state (name, value) VALUES ({p}, {len(rows)}) "
                    "ON CONFLICT (name) DO NOTHING", (marker,)).rowcount
                if new != 1:
                    return 0  # written before a crash kept the file
                good = [_spooled_row(r) for r in rows if _spooled_row(r) is not None]
                reports = [events.from_line(r) for r in rows if events.from_line(r) is not None]
                if len(good) + len(reports) < len(rows):
                    log.error("spool %s: %d lines are neither requests nor reports "
                              "(or their time is not a number); skipped",
                              marker, len(rows) - len(good) - len(reports))
                for r in good:  # spooled by an older version, which kept the address
                    if self.client_secret is not None and not is_client_key(r[1]):
                        r[1] = client_key(r[1], self.client_secret)
                # A request the front retried elsewhere, or recorded since
                # from nginx's log, is written once.
                good = self.fresh_requests(conn, good)
                if good:
                    self._insert_many(conn, "requests", REQUEST_COLUMNS, good)
                # A report stored meanwhile by the host the front retried it
                # on, or from another spool, is stored once.
                stored = sum(self.write_event(conn, e) for e in reports)
                return len(good) + stored

        written = self.spool.replay(write)
        if written:
            log.info("%d spooled requests and reports written to the database", written)
        return written

    def _replay_later(self):
        """Make sure this process has a thread that writes the spool out."""
        t = self._replayer
        if t is not None and t.is_alive() and t.pid == os.getpid():
            return
        self._stop = threading.Event()
        t = self._replayer = threading.Thread(target=self._replay_loop, args=(self._stop,),
                                              daemon=True, name="quillo-spool")
        t.pid = os.getpid()
        t.start()

    def _replay_loop(self, stop):
        while not stop.wait(self.REPLAY_EVERY):
            try:
                self.replay_spool()
                if not self.spool.pending():
                    return
            except (StoreError, OSError) as e:
                held = _replay_failures.allow()
                if held is not None:
                    log.warning("spooled requests not written yet (%d more tries failed "
                                "since the last report): %s", held, e)

    def now(self):
        """The database's clock, in seconds since 1970."""
        with self._errors_as_store_error():
            return float(self._conn().execute(f"SELECT {self.now_sql}").fetchone()[0])

    def _insert_many(self, conn, table, columns, rows):
        p = self.placeholder
        conn.cursor().executemany(
            f"INSERT INTO {table} ({', '.join(columns)}) "
            f"VALUES ({', '.join([p] * len(columns))})", rows)

    def first_id(self, table, ts, conn=None, ahead=None):
        """The first id of `table` recorded at or after `ts`; one past the
        highest id searched when none is (1 for an empty table), so that
        every row at or above the answer was seen by this search and a row
        added meanwhile is never taken for an old one.

        Rows are added in time order (their time is the database's clock),
        so a binary search over the primary key finds the boundary in a few
        dozen lookups, without an index on the time column.  Rows that keep
        an earlier time (nginx's fallback answers, spooled requests) make
        the answer approximate: see LATE.  Given `conn`, searched inside
        that open transaction.

        Given `ahead` (a time past the database's clock), a row stamped after
        it is out of place (a host's fast clock), its stamp no guide to when
        it came: it counts as stamped like the first row in place after it,
        and as at or after ts when none follows (it may have come just now).
        """
        with self._errors_as_store_error():
            conn = conn or self._conn()
            found = self._first_id_by_day(conn, table, ts, ahead)
            if found is not None:
                return found
            table = self._stored(conn, table)
            # Asked apart: SQLite answers MIN and MAX from the primary key only
            # when each stands alone, and reads the whole table otherwise.
            lo = conn.execute(f"SELECT MIN(id) FROM {table}").fetchone()[0]
            hi = conn.execute(f"SELECT MAX(id) FROM {table}").fetchone()[0]
            if lo is None:
                return 1
            return self._search_ids(conn, table, lo, hi, ts, ahead)

    def _search_ids(self, conn, table, lo, hi, ts, ahead=None):
        """The binary search of first_id over the ids lo .. hi of `table`
        (rows at both ends): hi + 1 when no row at or after hi is recorded
        at or after ts."""
        p = self.placeholder
        in_place, params = ("", ()) if ahead is None else (f" AND recorded_at <= {p}", (ahead,))

        def recent(v):  # is the first row (in place) at or after id v recorded at or after ts?
            row = conn.execute(f"SELECT recorded_at FROM {table} WHERE id >= {p}{in_place} "
                               "ORDER BY id LIMIT 1", (v, *params)).fetchone()
            return row is None or row[0] >= ts

        if not recent(hi):
            return hi + 1
        while lo < hi:
            mid = (lo + hi) // 2
            if recent(mid):
                hi = mid
            else:
                lo = mid + 1
        return lo

    def last_id(self, table, below=None, conn=None):
        """The highest id of `table` (a table of records), below `below`
        when given; None when there is none.  Read from the table that
        holds the rows: on PostgreSQL's views of packed rows (packed.py) a
        MAX(id) would read every row instead of one index entry.  Given
        `conn`, inside that open transaction."""
        with self._errors_as_store_error():
            conn = conn or self._conn()
            table = self._stored(conn, table)
            if below is None:
                return conn.execute(f"SELECT MAX(id) FROM {table}").fetchone()[0]
            return conn.execute(f"SELECT MAX(id) FROM {table} WHERE id < {self.placeholder}",
                                (below,)).fetchone()[0]

    def _stored(self, conn, table):
        """The table that holds the rows of `table` (PostgreSQL keeps some
        packed, behind a view of their name: packed.py)."""
        return table

    def _first_id_by_day(self, conn, table, ts, ahead=None):
        """first_id where `table` has a partition for ts's day; None where
        the search over the whole table is to be made."""
        return None

    # -- rollup positions -------------------------------------------------------------

    def position(self, name, conn=None):
        """What rollup_state keeps under `name` (an id or a time, as its owner
        decides), or None when nothing is kept; given `conn`, read inside
        that open transaction."""
        sql = f"SELECT value FROM rollup_state WHERE name = {self.placeholder}"
        if conn is not None:
            row = conn.execute(sql, (name,)).fetchone()
        else:
            with self._errors_as_store_error():
                row = self._conn().execute(sql, (name,)).fetchone()
        return None if row is None else row[0]

    def start_position(self, conn, name, value):
        """Keep `value` under `name` unless something is kept there already,
        inside the open transaction; True when this call started it."""
        p = self.placeholder
        return conn.execute(f"INSERT INTO rollup_state (name, value) VALUES ({p}, {p}) "
                            "ON CONFLICT (name) DO NOTHING", (name, value)).rowcount == 1

    def move_position(self, conn, name, old, new):
        """Keep `new` under `name` only if `old` is kept there (a compare and
        set, inside the open transaction); True when it moved."""
        p = self.placeholder
        return conn.execute(f"UPDATE rollup_state SET value = {p} WHERE name = {p} "
                            f"AND value = {p}", (new, name, old)).rowcount == 1

    def set_position(self, conn, name, value):
        """Keep `value` under `name` in rollup_state, inside the open transaction."""
        p = self.placeholder
        conn.execute(f"INSERT INTO rollup_state (name, value) VALUES ({p}, {p}) "
                     "ON CONFLICT (name) DO UPDATE SET value = excluded.value",
                     (name, value))

    def drop_position(self, conn, name):
        """Keep nothing under `name` any more, inside the open transaction."""
        conn.execute(f"DELETE FROM rollup_state WHERE name = {self.placeholder}", (name,))

    def behind(self, table, name):
        """How far the position kept under `name` (an id of `table`) is
        behind: (ids past it, the age in seconds of the first row past it,
        by the database's clock; 0 when none is).  Two lookups by primary
        key, whatever the backlog."""
        if not re.fullmatch(r"[a-z_]+", table):
            raise ValueError(table)
        p = self.placeholder
        with self._errors_as_store_error():
            conn = self._conn()
            last = self.position(name) or 0
            # Asked apart: SQLite answers MAX from the primary key only alone.
            top = conn.execute(f"SELECT MAX(id) FROM {table}").fetchone()[0] or 0
            row = conn.execute(f"SELECT {self.now_sql} - recorded_at FROM {table} "
                               f"WHERE id > {p} ORDER BY id LIMIT 1", (last,)).fetchone()
        return max(top - last, 0), max(float(row[0]), 0.0) if row else 0.0

    def purge(self, days, now=None, batch=5000):
        """Delete the rows older than `days` days from the tables registered
        in retention.py; returns the records (register_records) deleted.

        Deletes in batches of short transactions, so that recording goes on
        meanwhile instead of waiting for one long delete.  A table
        partitioned by day (PostgreSQL) instead loses whole days, each once
        all of it is older than the cutoff: the day the cutoff falls in
        stays until the next day's purge (see _purge_by_day).
        """
        cutoff = (time.time() if now is None else now) - days * 86400
        p = self.placeholder
        deleted = 0
        with self._errors_as_store_error():
            for table in retention.RECORDS:
                by_day = self._purge_by_day(table, cutoff)
                if by_day is not None:
                    deleted += by_day
                    continue
                # A time that is not a number, kept by an older version, would
                # never be older than the cutoff, and misleads the search by id.
                with self._transaction(patient=True) as conn:
                    deleted += conn.execute(
                        f"DELETE FROM {table} WHERE recorded_at IN ({p}, {p}, {p})",
                        NOT_TIMES).rowcount
                bound = self.first_id(table, cutoff)
                conn = self._conn()
                table = self._stored(conn, table)
                low = conn.execute(f"SELECT MIN(id) FROM {table}").fetchone()[0]
                while low is not None and low < bound:
                    low = min(low + batch, bound)
                    with self._transaction(patient=True) as conn:
                        deleted += conn.execute(f"DELETE FROM {table} WHERE id < {p}",
                                                (low,)).rowcount
            with self._transaction(patient=True) as conn:
                for table, column, unit in retention.KEPT_BY:
                    conn.execute(f"DELETE FROM {table} WHERE {column} < {p}",
                                 (retention.bound(cutoff, unit),))
        return deleted

    def _purge_by_day(self, table, cutoff):
        """Where `table` is partitioned by day: drop its days older than the
        cutoff and return the records that went; None where it is not."""
        return None

    def default_partition_rows(self, now):
        """[(table, rows, rows recorded within a day of `now`)] of the DEFAULT
        partitions of the tables partitioned by day (partitions.py); none on
        SQLite."""
        return []

    def prepare_days(self, now=None):
        """Make the days ahead of tables partitioned by day (PostgreSQL's
        requests, events and downloads, see partitions.py); returns how
        many were made.  Nothing to do on SQLite."""
        return 0

    # -- leases: one holder at a time across hosts (background.py) -------------------------

    def take_lease(self, name, holder, seconds):
        """Take or renew the lease `name` for `seconds` by the database's
        clock; True when `holder` has it now.  One statement: of two hosts
        asking at once, one inserts or updates, the other finds the row held."""
        p = self.placeholder
        # Read first: the workers that do not hold it then never write.
        held = self.rows(f"SELECT holder, expires_at - {self.now_sql} AS remaining FROM leases "
                          f"WHERE name = {p}", (name,))
        if held and held[0]["holder"] != holder and held[0]["remaining"] > 0:
            return False
        return self._claim_lease(name, holder, seconds)

    def _claim_lease(self, name, holder, seconds):
        p = self.placeholder
        with self._errors_as_store_error(), self._transaction(patient=True) as conn:
            rows = conn.execute(
                f"INSERT INTO leases (name, holder, expires_at) VALUES ({p}, {p}, "
                f"{self.now_sql} + {p}) ON CONFLICT (name) DO UPDATE SET "
                "holder = excluded.holder, expires_at = excluded.expires_at "
                f"WHERE leases.holder = excluded.holder OR leases.expires_at < {self.now_sql} "
                "RETURNING holder", (name, holder, float(seconds))).fetchall()
        return bool(rows)

    def drop_lease(self, name, holder):
        """Give the lease up at once (a clean stop), if `holder` has it."""
        p = self.placeholder
        with self._errors_as_store_error(), self._transaction(patient=True) as conn:
            conn.execute(f"DELETE FROM leases WHERE name = {p} AND holder = {p}", (name, holder))

    def lease_holder(self, name):
        """(holder, expires_at) of the lease, or None."""
        rows = self.rows(f"SELECT holder, expires_at FROM leases WHERE name = {self.placeholder}",
                          (name,))
        return (rows[0]["holder"], rows[0]["expires_at"]) if rows else None

    # -- hosts: each one's heartbeat (background.py) ---------------------------------------

    def spooled(self):
        """The requests and reports in this host's spool, not yet in the database."""
        return self.spool.count() if self.spool is not None else 0

    def beat(self, host, spooled, unread_bytes, live=None):
        """Note that `host` is alive now (the database's clock), with
        `spooled` requests and `unread_bytes` of nginx's logs not in yet, and
        `live`, the configuration it serves with (config.watcher.Live).  Of
        the workers of one host, each with its own watcher, the earliest that
        loaded the same bytes says since when the host has served them."""
        p = self.placeholder
        fingerprint, file, since, error, line = live if live is not None else ("", "", None,
                                                                              "", 0)
        with self._errors_as_store_error(), self._transaction() as conn:
            conn.execute(
                "INSERT INTO hosts (name, seen_at, spooled, unread_bytes, config_fingerprint, "
                f"config_file, config_since, config_error, config_error_line) VALUES "
                f"({p}, {self.now_sql}, {p}, {p}, {p}, {p}, {p}, {p}, {p}) "
                "ON CONFLICT (name) DO UPDATE SET "
                "seen_at = excluded.seen_at, spooled = excluded.spooled, "
                "unread_bytes = excluded.unread_bytes, "
                "config_since = CASE WHEN hosts.config_fingerprint = excluded.config_fingerprint "
                "AND hosts.config_since < excluded.config_since THEN hosts.config_since "
                "ELSE excluded.config_since END, "
                "config_fingerprint = excluded.config_fingerprint, "
                "config_file = excluded.config_file, config_error = excluded.config_error, "
                "config_error_line = excluded.config_error_line",
                (host, int(spooled), int(unread_bytes), fingerprint, file[:1000], since,
                 error[:2000], int(line)))

    def forget_host(self, host):
        """Drop a host's heartbeat (one taken out for good); True if it had one."""
        with self._errors_as_store_error(), self._transaction() as conn:
            return conn.execute(f"DELETE FROM hosts WHERE name = {self.placeholder}",
                                (host,)).rowcount == 1

    def hosts(self):
        """Every host's last heartbeat, by name: dicts of name, seen_at,
        spooled, unread_bytes, age (seconds since, by the database's clock)
        and the configuration it served with (config_fingerprint,
        config_file, config_since, config_error, config_error_line)."""
        return self.rows(f"SELECT name, seen_at, spooled, unread_bytes, {self.now_sql} - seen_at "
                         "AS age, config_fingerprint, config_file, config_since, config_error, "
                         "config_error_line FROM hosts ORDER BY name")

    # -- reading (tests, demo, support) ------------------------------------------

    def recent_requests(self, limit=10):
        return self.rows(f"SELECT * FROM requests ORDER BY id DESC LIMIT {int(limit)}")

    def count(self, table):
        """The rows of a table, named by the caller (never by a request): any
        of the schema's, whether or not its feature has been imported."""
        if not re.fullmatch(r"[a-z_]+", table):
            raise ValueError(table)
        return self.rows(f"SELECT COUNT(*) AS n FROM {table}")[0]["n"]

    def schema_version(self):
        return self.rows("SELECT MAX(version) AS v FROM schema_version")[0]["v"]
