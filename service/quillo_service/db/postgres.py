"""The shared store: one PostgreSQL database for any number of service hosts.

A statement waits at most WAIT seconds for a lock (a request then goes to the
spool), except in purge, rollup, schema changes and dashboard reads.  Only
lock waits are bounded, not statements: a long statement that holds up no
one (a bulk load, a count) may run.  After a failed connect, connecting is not
tried again for RETRY seconds, so that requests meanwhile go to the spool at
once instead of each waiting for a timeout.
"""

import logging
import time

import psycopg

from . import events, packed, partitions
from ..periods import DAY
from .base import ID_VALUE, Store, StoreError
from .schema import EVENT_COLUMNS, REQUEST_COLUMNS
from .times import NOT_TIMES

_REQUEST_PACKED = packed.packed_columns("requests", REQUEST_COLUMNS)

log = logging.getLogger("quillo_service")

WAIT = 0.8
RETRY = 1.0
TEXTS_KEPT = 100_000  # numbers of texts a process keeps at most (packed.py)

# Any constant will do; it only has to be the same for every service process.
_SCHEMA_LOCK = 0x5155494C4C4F
_ROLLUP_LOCK = 5150001


# COPY's text format: backslash, tab and line ends escaped; a text value
# cannot hold NUL at all.
_COPY_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r",
                               "\0": "\ufffd"})


def _copy_line(row):
    return "\t".join("\\N" if v is None else v.translate(_COPY_ESCAPES) if isinstance(v, str)
                     else repr(v) if isinstance(v, float)
                     else "\\\\x" + v.hex() if isinstance(v, bytes) else str(v)
                     for v in row) + "\n"


def _copy_text(v):
    """A text as COPY stores it (a NUL cannot be stored)."""
    return v.replace("\0", "\ufffd") if isinstance(v, str) else v


class PostgresStore(Store):
    placeholder = "%s"
    dialect = "postgresql"
    now_sql = "EXTRACT(EPOCH FROM clock_timestamp())::DOUBLE PRECISION"
    day_sql = "CAST(FLOOR(recorded_at / 86400) AS BIGINT)"
    hour_sql = "CAST(FLOOR(recorded_at / 3600) AS BIGINT)"
    find_sql = "strpos({text}, {part}) > 0"
    id_type = "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"
    float_type = "DOUBLE PRECISION"
    errors = (psycopg.Error,)

    def __init__(self, url, spool=None, partitioned=True):
        """partitioned=False, for benchmarks only: a database made by this
        store keeps the unpartitioned tables of version 10 (see
        partitions.py), with plain rows (not packed.py's); its schema
        version is the current one all the same, so a later store does not
        convert it (partition_tables does)."""
        super().__init__(spool)
        self.url = url
        self.partitioned = partitioned
        self._retry_at = 0.0
        # The number of each text in packed.TEXTS that this process has
        # learned: a number, once given, never changes.
        self._text_ids = {}
        # Whether the database keeps them packed: read at each connect (a
        # database made with partitioned=False keeps its plain rows).
        self._packed = True
        # A request is written to the packed table (packed.py); with an id,
        # its claim in request_ids and its row in one statement, one round
        # trip, the row inserted only when the claim was new.
        table = packed.PACKED["requests"]
        rest = ", ".join(["%s"] * (len(_REQUEST_PACKED) - 1))
        into = f"INSERT INTO {table} ({', '.join(_REQUEST_PACKED)}) "
        claimed = (f"WITH seen AS ({self._claim_id} RETURNING 1) "
                   f"{into}SELECT {{at}}, {rest} FROM seen")
        self._insert_claimed = claimed.format(at="%s")
        self._insert_claimed_now = claimed.format(at=self.now_sql)
        self._insert_packed = f"{into}VALUES (%s, {rest})"
        self._insert_packed_now = f"{into}VALUES ({self.now_sql}, {rest})"
        # A report with an id likewise (db/events.py): a parameter in the
        # SELECT takes the type of the column it goes to, a NULL too.
        claim, _ = events.statements(self.placeholder, self.now_sql)
        self._insert_event_claimed = (
            f"WITH seen AS ({claim} RETURNING 1) INSERT INTO events "
            f"({', '.join(EVENT_COLUMNS)}) SELECT {', '.join(['%s'] * len(EVENT_COLUMNS))} "
            "FROM seen")

    def describe(self):
        # Never show the password that the address may hold.
        try:
            info = psycopg.conninfo.conninfo_to_dict(self.url)
        except psycopg.Error:
            return "PostgreSQL database"
        return f"PostgreSQL database {info.get('dbname', '')} on {info.get('host', 'localhost')}"

    def exists(self):
        try:
            with psycopg.connect(self.url, autocommit=True, connect_timeout=3) as conn:
                return conn.execute("SELECT to_regclass('schema_version')").fetchone()[0] \
                    is not None
        except psycopg.Error as e:
            raise StoreError(f"{self.describe()}: cannot connect: {e}") from None

    def _connect(self):
        if time.monotonic() < self._retry_at:
            raise StoreError(f"{self.describe()}: cannot connect; trying again shortly")
        try:
            # Statements run often are prepared on the server after two uses.
            conn = psycopg.connect(self.url, autocommit=True, connect_timeout=3)
            conn.prepare_threshold = 2
            # The same trade as SQLite's synchronous=NORMAL: a commit does not
            # wait for its flush to disk, so a crash of the database server may
            # lose the last fraction of a second of records, never corrupt them.
            # Waiting for the flush would cap each worker at a few hundred
            # requests a second.
            conn.execute("SET synchronous_commit TO off")
            self._patience(conn, False)
        except psycopg.Error as e:
            self._retry_at = time.monotonic() + RETRY
            raise StoreError(f"{self.describe()}: cannot connect: "
                             f"{str(e).splitlines()[0] if str(e) else type(e).__name__}") from None
        return conn

    def _insert_request_row(self, recorded_at, values):
        rid = values[ID_VALUE]
        if rid is None:
            return super()._insert_request_row(recorded_at, values)
        with self._errors_as_store_error():
            self._conn()  # connected: whether the rows are packed is known
            if not self._packed:
                return super()._insert_request_row(recorded_at, values)
            row = self._pack("requests", REQUEST_COLUMNS[1:], [values])[0]
            if recorded_at is None:
                self._conn().execute(self._insert_claimed_now, (rid, *row))
            else:
                self._conn().execute(self._insert_claimed, (rid, recorded_at, *row))

    def _insert_request_sql(self, recorded_at, values):
        if not self._packed:
            return super()._insert_request_sql(recorded_at, values)
        row = self._pack("requests", REQUEST_COLUMNS[1:], [values])[0]
        if recorded_at is None:
            return self._insert_packed_now, row
        return self._insert_packed, (recorded_at, *row)

    # -- packed rows (packed.py) -------------------------------------------------------

    def _pack(self, table, columns, rows):
        """`rows` of logical `columns` as rows of packed.packed_columns, the
        texts among them numbered (new ones added to packed.TEXTS)."""
        texts, ids = packed.texts_of(table, columns, rows), self._text_ids
        missing = texts - ids.keys()
        if missing and len(ids) > TEXTS_KEPT:
            # Versions made up by the million are not all kept in memory.
            ids = self._text_ids = {}
            missing = texts
        if missing:
            conn = self._conn()
            if conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE:
                ids.update(packed.text_ids(conn, missing))
            else:
                # Inside a transaction a new number could be rolled back
                # after this process learned it: it is taken on a
                # connection of its own, committed at once.
                with psycopg.connect(self.url, autocommit=True, connect_timeout=3) as own:
                    self._patience(own, False)
                    ids.update(packed.text_ids(own, missing))
        return [packed.pack_row(table, columns, row, ids) for row in rows]

    def pack_tables(self, conn):
        """Replace the plain requests and downloads by their packed tables
        and views of their names (packed.py), inside the caller's
        transaction (the schema step that packs them, and a new
        database's); reports each day packed to self.progress."""
        if not self.partitioned:
            return  # the plain tables, as they were, to compare with
        now = float(conn.execute(f"SELECT {self.now_sql}").fetchone()[0])
        for table, physical in packed.PACKED.items():
            kind = conn.execute("SELECT relkind FROM pg_class WHERE oid = to_regclass(%s)",
                                (table,)).fetchone()
            if kind and kind[0] in ("r", "p") and conn.execute(
                    "SELECT to_regclass(%s)", (physical,)).fetchone()[0] is None:
                packed.convert(conn, table, now, self.progress)
        self._text_ids.clear()  # numbers of a transaction that may yet roll back

    def _stored(self, conn, table):
        return packed.stored(conn, table)

    def _ensure_schema(self, conn):
        super()._ensure_schema(conn)
        self._packed = packed.stored(conn, "requests") != "requests"

    def write_event(self, conn, event):
        rid = event.get(events.REQUEST_ID)
        if rid is None:
            return super().write_event(conn, event)
        return conn.execute(self._insert_event_claimed,
                            (rid, *(event[c] for c in EVENT_COLUMNS))).rowcount == 1

    def _patience(self, conn, patient):
        conn.execute(f"SET lock_timeout = {0 if patient else int(WAIT * 1000)}")

    def _begin_read(self, conn):
        conn.execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")

    def _lock_schema(self, conn):
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))

    def _insert_many(self, conn, table, columns, rows):
        # COPY takes a batch of log lines many times faster than INSERTs; the
        # text is made here in one go, several times faster than psycopg's
        # write_row in pure Python.  Requests and downloads go packed.
        if table in packed.PACKED and self._packed:
            k = packed.kinds(table)
            at = [i for i, c in enumerate(columns) if k[c] == "text"]
            if at:
                rows = [tuple(_copy_text(v) if i in at else v for i, v in enumerate(row))
                        for row in rows]
            rows = self._pack(table, columns, rows)
            table, columns = packed.PACKED[table], packed.packed_columns(table, columns)
        with conn.cursor().copy(f"COPY {table} ({', '.join(columns)}) FROM STDIN") as copy:
            copy.write("".join(_copy_line(row) for row in rows))

    def _lock_rollup(self, conn):
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_ROLLUP_LOCK,))

    # -- tables partitioned by day (partitions.py) ---------------------------------

    def partition_tables(self, conn):
        """Convert the growing tables that are not partitioned yet, inside the
        caller's transaction (the schema step of version 11, and a new
        database's); reports each day copied to self.progress."""
        if not self.partitioned:
            return
        now = float(conn.execute(f"SELECT {self.now_sql}").fetchone()[0])
        for table in partitions.PARTITIONED:
            if (conn.execute("SELECT to_regclass(%s)", (table,)).fetchone()[0] is not None
                    and not partitions.is_partitioned(conn, table)):
                partitions.convert(conn, table, now, self.progress)

    def prepare_days(self, now=None):
        """Make the partitions from today (by the database's clock, or `now`)
        to DAYS_AHEAD days on, and those of earlier days missed while
        housekeeping did not run (partitions.days_to_make), each in a
        transaction of its own that moves the day's rows out of the DEFAULT
        partition; returns the partitions made.  Each table and each day is
        tried on its own: one whose lock does not come within DDL_WAIT, or
        that fails, is logged and left for the next run, and the others go
        on.  Another host making the same days meanwhile is no failure.
        Nothing to do on an unpartitioned table."""
        now = self.now() if now is None else now
        made = 0
        for table in partitions.PARTITIONED:
            try:
                made += self._prepare_table(table, now)
            except (psycopg.Error, StoreError) as e:
                self._drop()
                log.warning("%s: the days ahead were not checked: %s", table,
                            str(e).strip().splitlines()[0] if str(e).strip() else e)
        return made

    def default_partition_rows(self, now):
        found = []
        with self._errors_as_store_error():
            for table in partitions.PARTITIONED:
                stored = packed.stored(self._conn(), table)
                if partitions.is_partitioned(self._conn(), stored):
                    found.append((table, *partitions.default_rows(
                        self._conn(), stored, now - DAY, now + DAY)))
        return found

    def _prepare_table(self, table, now):
        conn = self._conn()
        table = packed.stored(conn, table)
        if not partitions.is_partitioned(conn, table):
            return 0
        have = {day for _, day, attached in partitions.day_tables(conn, table) if attached}
        today = partitions.day_of(now)
        waiting = partitions.waiting_days(conn, table, min(have, default=today),
                                          today + partitions.DAYS_AHEAD + 1)
        for day, n in sorted(waiting.items()):
            if day not in have and n > partitions.MOVE_LIMIT:
                log.warning("%s: %d rows of %s wait in %s, too many to move while requests "
                            "come; they stay there, counted, until the retention drops them",
                            table, n, partitions.partition_name(table, day),
                            partitions.default_name(table))
        made = 0
        for day in partitions.days_to_make(now, have, waiting):
            name = partitions.partition_name(table, day)
            try:
                with self._transaction() as conn:
                    moved = partitions.make_day(conn, table, day)
            except (psycopg.errors.LockNotAvailable, psycopg.errors.DuplicateTable,
                    psycopg.errors.UniqueViolation) as e:
                # Busy, or another host making it at the same moment (its
                # CREATE TABLE meets ours in the catalog): the next run sees.
                log.info("%s: day %s not made here now: %s", table, name,
                         str(e).strip().splitlines()[0])
                continue
            except psycopg.Error as e:
                log.warning("%s: day %s not made: %s", table, name,
                            str(e).strip().splitlines()[0])
                continue
            if moved is None:
                continue  # made meanwhile by another host
            made += 1
            if moved:
                log.info("%s: %d rows moved from %s", name, moved,
                         partitions.default_name(table))
        return made

    def _first_id_by_day(self, conn, table, ts, ahead=None):
        # Each probe of the search over the whole table reads every day's
        # index (a MergeAppend over all partitions), ten times slower with
        # 90 days kept.  Rows are added in time order, so the answer is the
        # first id of ts's day recorded at or after ts, searched in that
        # day's partition alone, or else the first id of the days after it
        # (which wins too where it is lower: a row of a later day given an
        # id before ts's day ended).  Times past the days made ahead (a
        # strange clock, in the DEFAULT partition) are left out of that,
        # as they are out of place anyway; given `ahead`, as first_id says
        # (the rows after the last one in place count as recent).  Without
        # ts's day as a partition (unpartitioned, a day not made) the
        # whole table is searched.
        if not 0 <= ts < (partitions.LAST_DAY + 1) * DAY:  # NaN too
            return None
        table = packed.stored(conn, table)
        day = partitions.day_of(ts)
        name = partitions.partition_name(table, day)
        if not conn.execute("SELECT EXISTS (SELECT 1 FROM pg_inherits WHERE inhrelid = "
                            "to_regclass(%s) AND inhparent = to_regclass(%s))",
                            (name, table)).fetchone()[0]:
            return None
        # Nothing above the highest id now is taken for old (see first_id).
        hi = conn.execute(f"SELECT MAX(id) FROM {table}").fetchone()[0]
        if hi is None:
            return 1
        if ahead is None:
            # The host's clock is near enough the database's to tell the days ahead.
            end = (max(day, partitions.day_of(time.time())) + partitions.DAYS_AHEAD + 1) * DAY
            bound, trailing = "recorded_at < %s", None
        else:
            end, bound = ahead, "recorded_at <= %s"  # NaN is out of place too
            last_in = conn.execute(f"SELECT MAX(id) FROM {table} WHERE {bound} AND id <= %s",
                                   (end, hi)).fetchone()[0]
            trailing = (last_in or 0) + 1 if last_in != hi else None
        later = conn.execute(f"SELECT MIN(id) FROM {table} WHERE recorded_at >= %s "
                             f"AND {bound} AND id <= %s", ((day + 1) * DAY, end, hi)).fetchone()[0]
        first, last = conn.execute(f"SELECT MIN(id), MAX(id) FROM {name} WHERE id <= %s",
                                   (hi,)).fetchone()
        found = (None if first is None
                 else self._search_ids(conn, name, first, last, ts, ahead))
        if found is not None and found > last:
            found = None  # nothing of the day at or after ts
        found = min([f for f in (found, later, trailing) if f is not None], default=None)
        return hi + 1 if found is None else found

    def _purge_by_day(self, table, cutoff):
        conn = self._conn()
        table = packed.stored(conn, table)
        if not partitions.is_partitioned(conn, table):
            return None
        deleted = 0
        for name, day, attached in partitions.day_tables(conn, table):
            if not partitions.droppable(day, cutoff):
                continue
            if attached and not self._detach(table, name):
                continue  # the next purge tries again
            # Counted once detached, when no row can arrive any more and the
            # count holds up no insert, and exactly: the statistics
            # (reltuples) are an estimate as old as the last ANALYZE.  A scan
            # of the whole day, once: a million rows in memory take about a
            # tenth of a second; from a cold disk it reads what the drop frees.
            try:
                with self._transaction(patient=True) as conn:
                    n = conn.execute(f"SELECT COUNT(*) FROM {name}").fetchone()[0]
                    conn.execute(f"DROP TABLE {name}")
            except psycopg.errors.UndefinedTable:
                continue  # a purge run at the same time (the command's) dropped it
            deleted += int(n)
        # The DEFAULT partition holds only the rows of days without a
        # partition (strange clocks, late lines, days not made in time): few,
        # so its old rows are deleted one by one, and with them any time
        # that is not a number, kept by an older version (NaN sorts above
        # every number, so no cutoff reaches it).
        with self._transaction(patient=True) as conn:
            deleted += conn.execute(
                f"DELETE FROM {partitions.default_name(table)} WHERE recorded_at < %s "
                "OR recorded_at = ANY(%s)", (cutoff, NOT_TIMES)).rowcount
        return deleted

    def _detach(self, table, name):
        """Detach a day, waiting briefly for the lock a few times; False
        when it was not had."""
        for attempt in range(partitions.DETACH_TRIES):
            if attempt:
                time.sleep(partitions.DDL_WAIT * 5)
            try:
                with self._transaction() as conn:
                    partitions.detach_day(conn, table, name)
                return True
            except psycopg.errors.LockNotAvailable:
                pass
            except psycopg.errors.UndefinedTable:
                return True  # detached by a purge run at the same time: dropped below
        log.info("%s: not detached (the table stayed busy); the next purge tries again", name)
        return False
