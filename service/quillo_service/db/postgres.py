"""The shared store: one PostgreSQL database for any number of service hosts.

A statement waits at most WAIT seconds for a lock (a request then goes to the
spool), except in purge, rollup, schema changes and dashboard reads.  Only
lock waits are bounded, not statements: a long statement that holds up no
one (a bulk load, a count) may run.  After a failed connect, connecting is not
tried again for RETRY seconds, so that requests meanwhile go to the spool at
once instead of each waiting for a timeout.
"""

import time

import psycopg

from .base import Store, StoreError
from .schema import REQUEST_COLUMNS

WAIT = 0.8
RETRY = 1.0

# Any constant will do; it only has to be the same for every service process.
_SCHEMA_LOCK = 0x5155494C4C4F
_ROLLUP_LOCK = 5150001


# COPY's text format: backslash, tab and line ends escaped; a text value
# cannot hold NUL at all.
_COPY_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r",
                               "\0": "\ufffd"})


def _copy_line(row):
    return "\t".join("\\N" if v is None else v.translate(_COPY_ESCAPES) if isinstance(v, str)
                     else repr(v) if isinstance(v, float) else str(v) for v in row) + "\n"


class PostgresStore(Store):
    placeholder = "%s"
    dialect = "postgresql"
    now_sql = "EXTRACT(EPOCH FROM clock_timestamp())::DOUBLE PRECISION"
    day_sql = "CAST(FLOOR(recorded_at / 86400) AS BIGINT)"
    find_sql = "strpos({text}, {part}) > 0"
    id_type = "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY"
    float_type = "DOUBLE PRECISION"
    errors = (psycopg.Error,)

    def __init__(self, url, spool=None):
        super().__init__(spool)
        self.url = url
        self._retry_at = 0.0
        # A request with an id: its claim in request_ids and its row in one
        # statement, one round trip; the row is inserted only when the claim
        # was new (the id comes back from the claim).
        fields = ", ".join(["%s"] * (len(REQUEST_COLUMNS) - 2))
        claimed = (f"WITH seen AS ({self._claim_id} RETURNING request_id) "
                   f"INSERT INTO requests ({', '.join(REQUEST_COLUMNS)}) "
                   f"SELECT {{at}}, {fields}, request_id FROM seen")
        self._insert_claimed = claimed.format(at="%s")
        self._insert_claimed_now = claimed.format(at=self.now_sql)

    def describe(self):
        # Never show the password that the address may hold.
        try:
            info = psycopg.conninfo.conninfo_to_dict(self.url)
        except psycopg.Error:
            return "PostgreSQL database"
        return f"PostgreSQL database {info.get('dbname', '')} on {info.get('host', 'localhost')}"

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
        if values[-1] is None:
            return super()._insert_request_row(recorded_at, values)
        with self._errors_as_store_error():
            if recorded_at is None:
                self._conn().execute(self._insert_claimed_now, (values[-1], *values[:-1]))
            else:
                self._conn().execute(self._insert_claimed,
                                     (values[-1], recorded_at, *values[:-1]))

    def _patience(self, conn, patient):
        conn.execute(f"SET lock_timeout = {0 if patient else int(WAIT * 1000)}")

    def _begin_read(self, conn):
        conn.execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")

    def _lock_schema(self, conn):
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))

    def _insert_many(self, conn, table, columns, rows):
        # COPY takes a batch of log lines many times faster than INSERTs; the
        # text is made here in one go, several times faster than psycopg's
        # write_row in pure Python.
        with conn.cursor().copy(f"COPY {table} ({', '.join(columns)}) FROM STDIN") as copy:
            copy.write("".join(_copy_line(row) for row in rows))

    def _lock_rollup(self, conn):
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_ROLLUP_LOCK,))
