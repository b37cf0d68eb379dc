"""The embedded store: one SQLite file shared by all worker processes.

WAL lets readers and the single writer proceed together; synchronous=NORMAL
makes a commit an append to the log without an fsync each time (a power cut
may lose the last moments of records, never corrupt the file); busy_timeout
makes a worker wait for another's short write instead of failing.  A request
waits at most WAIT seconds for the write lock (then it goes to the spool,
"quillo.db.spool" beside the database); purge, rollup and schema changes wait
up to PATIENCE seconds.
"""

import os
import sqlite3
import threading

from .base import Store, StoreError
from .spool import Spool

WAIT = 0.4        # seconds a request waits for the write lock, in each of two places
PATIENCE = 10.0   # seconds maintenance waits for it


class SqliteStore(Store):
    # AUTOINCREMENT: without it SQLite hands out MAX(id) + 1, so ids start
    # again at 1 once a purge empties a table, and the rollup, which counts
    # by id, would take the new rows for rows it has already counted.
    id_type = "INTEGER PRIMARY KEY AUTOINCREMENT"
    errors = (sqlite3.Error,)

    def __init__(self, path):
        path = os.path.abspath(path)
        super().__init__(Spool(path + ".spool"))
        self.path = path
        # Threads of one worker queue here for the single write lock instead
        # of meeting in SQLite's busy handler, which sleeps a millisecond or
        # more before it tries again.
        self._write_lock = threading.Lock()

    def _insert_request_row(self, recorded_at, values):
        if not self._write_lock.acquire(timeout=WAIT):
            raise StoreError(f"{self.describe()}: other threads held the write lock too long")
        try:
            super()._insert_request_row(recorded_at, values)
        finally:
            self._write_lock.release()

    def record_event(self, event, limit_per_minute):
        if not self._write_lock.acquire(timeout=WAIT):
            raise StoreError(f"{self.describe()}: other threads held the write lock too long")
        try:
            return super().record_event(event, limit_per_minute)
        finally:
            self._write_lock.release()

    def _patience(self, conn, patient):
        conn.execute(f"PRAGMA busy_timeout={int(1000 * (PATIENCE if patient else WAIT))}")

    def describe(self):
        return f"SQLite database {self.path}"

    def _connect(self):
        folder = os.path.dirname(self.path)
        try:
            os.makedirs(folder, exist_ok=True)
            conn = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False,
                                   timeout=PATIENCE, cached_statements=64)
            conn.execute("PRAGMA journal_mode=WAL")
            conn.execute("PRAGMA synchronous=NORMAL")
            self._patience(conn, False)
        except (OSError, sqlite3.Error) as e:
            raise StoreError(f"{self.describe()}: cannot open: {e}") from None
        return conn

    def _begin(self, conn):
        # Take the write lock at once, so two writers never deadlock on upgrade.
        conn.execute("BEGIN IMMEDIATE")
