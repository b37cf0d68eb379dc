"""Reading nginx's logs into the store, each line exactly once.

nginx writes a line per request it wants recorded (the fallback answers, the
installer downloads); the service reads each log incrementally.  A position
kept in the store (the file's identity and the byte after the last line
taken) moves in the same transaction as the rows it adds, so every line
counts exactly once, across workers, restarts and log rotation.  A line that
cannot be read is counted in the store and skipped; it never stops the rest.

What differs between the logs is what a line means and where its rows go:
an `Ingester` subclass gives `rows` (the lines of one batch to rows) and
`write` (those rows and the new position, in one transaction).
"""

import logging
import os
import socket
import time

from .throttle import LogThrottle

log = logging.getLogger("quillo_service")

BATCH_BYTES = 256 * 1024  # read per transaction
SETTLE_SECONDS = 2.0      # a rotated log this quiet has nothing more coming
_problems = LogThrottle(interval=60.0)


def position_name(kind, log_path):
    """The name under which the store keeps how far this log was read: one
    per host and log, since hosts sharing a PostgreSQL store each have their
    own nginx."""
    return "%s %s:%s" % (kind, socket.gethostname(), os.path.abspath(log_path))


def _identity(st):
    return "%d:%d" % (st.st_dev, st.st_ino)


def problem(what, text):
    """Log a problem with a log's lines, at most once a minute per kind."""
    held = _problems.allow(what + text[:40])
    if held is not None:
        log.warning("%s: %s", what, text)


class Ingester:
    """Takes the lines of one nginx log into the store.

    The store keeps (file identity, position).  When the log was rotated, the
    file with the kept identity is looked for beside it (logrotate's
    name.log.1) and read to its end before the new log is started.
    """

    kind = "log"  # the position's name and the messages start with this

    def __init__(self, store, log_path, name=None, batch=BATCH_BYTES, settle=SETTLE_SECONDS):
        self.store = store
        self.path = os.path.abspath(log_path)
        self.name = name or position_name(self.kind, self.path)
        self.batch = batch
        self.settle = settle

    def rows(self, lines):
        """(rows, lines that are not ours) from the lines of one batch."""
        raise NotImplementedError

    def write(self, expected, new, rows, skipped):
        """Add the rows and move the position from `expected` to `new` in one
        transaction; False (and nothing written) when the position had moved."""
        raise NotImplementedError

    def ingest(self):
        """Read everything there is now; returns (rows added, lines skipped)."""
        added = skipped = 0
        while True:
            step = self.step()
            if step is None:
                return added, skipped
            added += step[0]
            skipped += step[1]

    def _find(self, identity):
        """The path of the file with this identity: the log, or a rotated one."""
        folder, base = os.path.split(self.path)
        try:
            names = sorted(os.listdir(folder))
        except OSError:
            return None
        for name in [base] + [n for n in names if n.startswith(base) and n != base]:
            try:
                if _identity(os.stat(os.path.join(folder, name))) == identity:
                    return os.path.join(folder, name)
            except OSError:
                pass
        return None

    def step(self):
        """One transaction's worth; None when there is nothing more now."""
        file, position, _ = self.store.ingest_position(self.name)
        try:
            current = _identity(os.stat(self.path))
        except FileNotFoundError:
            current = None  # rotated, and nginx has not reopened its log yet
        path = self._find(file) if file else None
        if path is None:
            if current is None or current == file:
                return None
            if self._move((file, position), (current, 0)) and file:
                log.error("%s log %s: the rotated file read up to byte %d is gone; "
                          "lines logged after that were not recorded", self.kind, self.path,
                          position)
            return self.step()
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            if _identity(st) != file:  # replaced between the look and the open
                return 0, 0
            if st.st_size < position:
                if self._move((file, position), (file, 0)):
                    log.error("%s log %s was cut to %d bytes below the %d read; "
                              "reading it again from its start", self.kind, path, st.st_size,
                              position)
                return 0, 0
            f.seek(position)
            data = f.read(self.batch)
        end = data.rfind(b"\n") + 1
        if end == 0 and len(data) >= self.batch:
            # No line is that long: skip the batch as one unreadable line.
            self._problem("%d bytes without a line end in %s were skipped" % (len(data), path))
            self._move((file, position), (file, position + len(data)), skipped=1)
            return 0, 1
        if end == 0:
            # Nothing complete to read.  A rotated file is finished once the
            # new log exists and the old one has been quiet for a moment.
            if current is None or current == file or time.time() - st.st_mtime < self.settle:
                return None
            if data:
                self._problem("an unfinished last line of %s was skipped" % path)
            self._move((file, position), (current, 0), skipped=1 if data else 0)
            return 0, 1 if data else 0
        rows, bad = self.rows(data[:end].split(b"\n")[:-1])
        if bad:
            self._problem("%d lines of %s that nginx did not write were skipped" % (bad, path))
        if not self._move((file, position), (file, position + end), rows, bad):
            return 0, 0  # another worker took these lines; look again
        return len(rows), bad

    def _move(self, expected, new, rows=(), skipped=0):
        return self.write(expected, new, list(rows), skipped)

    def _problem(self, text):
        problem(self.kind + " log", text)
