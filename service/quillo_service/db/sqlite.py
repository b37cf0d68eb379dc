"""The embedded store: one SQLite file shared by all worker processes.

WAL lets readers and the single writer proceed together; synchronous=NORMAL
makes a commit an append to the log without an fsync each time (a power cut
may lose the last moments of records, never corrupt the file); busy_timeout
makes a worker wait for another's short write instead of failing.  A request
waits at most WAIT seconds for the write lock (then it goes to the spool,
"quillo.db.spool" beside the database); purge, rollup and schema changes wait
up to PATIENCE seconds.
"""

import fcntl
import os
import sqlite3
import threading
import time
from contextlib import contextmanager

from .base import Store, StoreError
from .spool import Spool

WAIT = 0.4        # seconds a request waits for the write lock, in each of two places
PATIENCE = 10.0   # seconds maintenance waits for it


class _ProcessLock:
    """An exclusive lock on a file beside the database, shared by every worker
    process. Writers of different processes queue here rather than in SQLite's
    busy handler, whose sleeps grow to 100 ms and made the slowest requests
    wait that long under load. Each process opens the file itself: a child
    forked with the parent's descriptor would share the parent's lock."""

    def __init__(self, path):
        self.path = path
        self._fd = None
        self._pid = None

    def acquire(self, timeout):
        """True once held; False after timeout. Without a usable lock file
        the answer is True at once and SQLite's own locking is all there is."""
        if self._pid != os.getpid():
            self._pid, self._fd = os.getpid(), None
            try:
                self._fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
            except OSError:
                pass
        if self._fd is None:
            return True
        deadline, delay = time.monotonic() + timeout, 0.0001
        while True:
            try:
                fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return True
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    return False
                time.sleep(delay)
                delay = min(2 * delay, 0.001)

    def release(self):
        if self._fd is not None:
            fcntl.flock(self._fd, fcntl.LOCK_UN)


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
        # Threads of one worker queue here, and then workers at the lock file,
        # for the single write lock instead of meeting in SQLite's busy
        # handler, which sleeps a millisecond or more before it tries again.
        self._write_lock = threading.Lock()
        self._process_lock = _ProcessLock(path + ".lock")

    @contextmanager
    def _writer(self, wait=WAIT):
        """A request's turn to write, waited for at most `wait` seconds."""
        began = time.monotonic()
        if not self._write_lock.acquire(timeout=wait):
            raise StoreError(f"{self.describe()}: other threads held the write lock too long")
        try:
            if not self._process_lock.acquire(max(0.0, wait - (time.monotonic() - began))):
                raise StoreError(f"{self.describe()}: other workers held the write lock too long")
            try:
                yield
            finally:
                self._process_lock.release()
        finally:
            self._write_lock.release()

    def _insert_request_row(self, recorded_at, values):
        with self._writer():
            super()._insert_request_row(recorded_at, values)

    def _claim_lease(self, name, holder, seconds):
        with self._writer():  # in the requests' queue, not in SQLite's busy handler
            return super()._claim_lease(name, holder, seconds)

    def writer(self, patient=False):
        # A batch from nginx's logs queues with the requests, and may wait
        # longer for its turn: it is read again later if it cannot have it.
        return self._writer(PATIENCE if patient else WAIT)

    def _patience(self, conn, patient):
        conn.execute(f"PRAGMA busy_timeout={int(1000 * (PATIENCE if patient else WAIT))}")

    def describe(self):
        return f"SQLite database {self.path}"

    def exists(self):
        return os.path.exists(self.path)

    def _connect(self):
        folder = os.path.dirname(self.path)
        try:
            os.makedirs(folder, exist_ok=True)
            conn = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False,
                                   timeout=PATIENCE, cached_statements=64)
            self._use_wal(conn)
            conn.execute("PRAGMA synchronous=NORMAL")
            self._patience(conn, False)
        except (OSError, sqlite3.Error) as e:
            raise StoreError(f"{self.describe()}: cannot open: {e}") from None
        return conn

    @staticmethod
    def _use_wal(conn, clock=time.monotonic, sleep=time.sleep):
        # Switching a new file to WAL needs the file to itself, and SQLite
        # answers "database is locked" at once, without its busy handler,
        # when another process or thread opening the same new file holds
        # it for a moment: several workers starting together meet here.
        deadline = clock() + PATIENCE
        while True:
            try:
                conn.execute("PRAGMA journal_mode=WAL")
                return
            except sqlite3.OperationalError as e:
                if "locked" not in str(e) or clock() >= deadline:
                    raise
                sleep(0.01)

    def _begin(self, conn):
        # Take the write lock at once, so two writers never deadlock on upgrade.
        conn.execute("BEGIN IMMEDIATE")
