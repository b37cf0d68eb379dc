"""Reading nginx's logs into the store, each line exactly once.

nginx writes a line per request it wants recorded (the fallback answers, the
installer downloads); the service reads each log incrementally.  A position
kept in the store (which file, and the byte after the last line taken) moves
in the same transaction as the rows it adds, so every line counts exactly
once, across workers, restarts and log rotation.  A line that cannot be read
is counted in the store and skipped; it never stops the rest.

A file is known by its device and inode and by a digest of its first bytes
(up to HEAD_BYTES), stored together as the position's `file`
("dev:inode:length:digest"; positions stored before the digest was kept are
"dev:inode" and gain it at the next read).  The inode alone is not enough:
once logrotate gzips a rotated file, the filesystem hands its inode to the
next new file, and copytruncate leaves a new log on the old inode.  The
first bytes tell them apart, since nginx's lines start with the time in
milliseconds.

Rotation: logrotate renames the log to name.1, name.1 to name.2 and so on,
and may gzip them (name.2.gz, or with dateext name-20261208.gz).  The file
read last is found wherever it is now: by inode, else by its first bytes
(as a .gz, or as copytruncate's copy).  Once it has ended, the next newer
rotated file is read, and the current log last, so a reader that was stopped
for several rotations loses nothing.

What differs between the logs is what a line means and where its rows go:
an `Ingester` subclass gives `rows` (the lines of one batch to rows) and
`write` (those rows and the new position, in one transaction).

Each host reads its own nginx's logs, which may be at the same path as
another host's: a position is kept per host (settings.host_name) and log.
"""

import gzip
import hashlib
import logging
import os
import re
import socket
import time
import zlib
from collections import namedtuple

from .. import settings
from ..db.times import is_time
from ..throttle import LogThrottle
from .positions import adopt_position, ingest_position

log = logging.getLogger("quillo_service")

BATCH_BYTES = 256 * 1024  # read per transaction
SETTLE_SECONDS = 2.0      # a rotated log this quiet has nothing more coming
HEAD_BYTES = 256          # the first bytes that tell one file from another
_problems = LogThrottle(interval=60.0)


def position_name(kind, log_path, host=None):
    """The name under which the store keeps how far this log was read: one
    per host and log, since hosts sharing a PostgreSQL store each have their
    own nginx (and may keep its logs at the same path)."""
    return "%s %s:%s" % (kind, settings.host_name(host), os.path.abspath(log_path))


def machine_position_name(kind, log_path):
    """The name a position was kept under before the host's name could be
    set (QUILLO_SERVICE_HOST): the machine's own name."""
    return "%s %s:%s" % (kind, socket.gethostname(), os.path.abspath(log_path))


def _digest(head):
    return hashlib.blake2b(head, digest_size=16).hexdigest()


def _identity(st, head):
    return "%d:%d:%d:%s" % (st.st_dev, st.st_ino, len(head), _digest(head))


def _parse_identity(text):
    """("dev:inode", length of the first bytes digested or None, digest)."""
    parts = text.split(":")
    if len(parts) == 4 and parts[2].isdigit():
        return ":".join(parts[:2]), int(parts[2]), parts[3]
    return ":".join(parts[:2]), None, None


def rotated_order(base, name):
    """Where a file named `name` stands among the rotated files of the log
    named `base` (a key sorting the oldest first), and whether it is gzipped;
    None when it is not one of them.  logrotate numbers them (name.1 the
    newest) or dates them (dateext: name-20261208, the newest last)."""
    m = re.fullmatch(re.escape(base) + r"([.-])(\d[\d_.-]*?)(\.gz)?", name)
    if m is None:
        return None
    sep, suffix, gz = m.groups()
    if sep == "." and suffix.isdigit() and len(suffix) <= 6:
        return (0, -int(suffix), ""), bool(gz)
    return (1, 0, suffix), bool(gz)


class _File(namedtuple("_File", "path gz st")):
    """One of the files of a log: the log itself or a rotated one."""

    @property
    def devino(self):
        return "%d:%d" % (self.st.st_dev, self.st.st_ino)

    def head(self, cache):
        """Its first HEAD_BYTES bytes (of a .gz, uncompressed)."""
        if self.path not in cache:
            try:
                with _open(self.path, self.gz) as f:
                    cache[self.path] = f.read(HEAD_BYTES)
            except (EOFError, zlib.error, gzip.BadGzipFile):
                cache[self.path] = b""  # a broken .gz: nothing of it can be read
        return cache[self.path]


def _open(path, gz):
    return gzip.open(path, "rb") if gz else open(path, "rb")


class _Moved(Exception):
    """The file was renamed or removed since it was listed: look again."""


def problem(what, text):
    """Log a problem with a log's lines, at most once a minute per kind."""
    held = _problems.allow(what + text[:40])
    if held is not None:
        log.warning("%s: %s", what, text)


class Ingester:
    """Takes the lines of one nginx log into the store.

    The store keeps (file identity, position).  Each step finds that file
    among the log and its rotated files, reads on from the position, and
    when a rotated file has ended goes on with the next newer one.
    """

    kind = "log"  # the position's name and the messages start with this

    def __init__(self, store, log_path, name=None, batch=BATCH_BYTES, settle=SETTLE_SECONDS,
                 host=None):
        self.store = store
        self.path = os.path.abspath(log_path)
        self.name = name or position_name(self.kind, self.path, host)
        self.batch = batch
        self.settle = settle
        self._gz = None  # [path, dev:inode, open gzip file, offset, bytes from there]
        self._adopted = name is not None  # a name given is used as it is

    def rows(self, lines):
        """(rows, lines that are not ours) from the lines of one batch."""
        raise NotImplementedError

    def write(self, expected, new, rows, skipped):
        """Add the rows and move the position from `expected` to `new` in one
        transaction; returns the rows added, or None (and nothing written)
        when the position had moved."""
        raise NotImplementedError

    def unread(self):
        """Bytes of the log and its rotated files not read yet (a gzipped
        file counts as its compressed size), for the host's heartbeat."""
        file, position, _ = ingest_position(self.store, self.name)
        files = self.files()
        if not files:
            return 0
        found = self._locate(files, file, position, {}) if file else None
        if found is None:  # never read: the log as it is now; lost: all there is
            return sum(f.st.st_size for f in files if file or f.path == self.path)
        later = files[files.index(found) + 1:]
        return max(0, found.st.st_size - position) + sum(f.st.st_size for f in later)

    def _adopt(self):
        """A host named by QUILLO_SERVICE_HOST for the first time takes over
        the position kept under the machine's name, so that an upgraded
        host does not read its logs again."""
        old = machine_position_name(self.kind, self.path)
        if old != self.name:
            adopt_position(self.store, self.name, old)

    def ingest(self):
        """Read everything there is now; returns (rows added, lines skipped)."""
        added = skipped = idle = 0
        try:
            # A step that takes nothing has moved the position, or saw a file
            # renamed under it; more than a few of them in a row would be a
            # fault, never a reason to spin.
            while idle < 10:
                step = self.step()
                if step is None:
                    break
                added += step[0]
                skipped += step[1]
                idle = idle + 1 if step == (0, 0) else 0
            return added, skipped
        finally:
            self._close_gz()

    def files(self):
        """The log's files, oldest first, the log itself (if there) last; None
        while a rotation seems to be going on (one file seen under two names)."""
        folder, base = os.path.split(self.path)
        try:
            names = os.listdir(folder)
        except OSError:
            return None
        found = {}
        for name in sorted(names):  # a plain file before its .gz
            order = ((2, 0, ""), False) if name == base else rotated_order(base, name)
            if order is None:
                continue
            key, gz = order
            if gz and key in found:
                continue  # still being compressed: the plain file is complete
            try:
                st = os.stat(os.path.join(folder, name))
            except OSError:
                continue  # gone since the listing (gzip done): its .gz, if any, follows
            found[key] = _File(os.path.join(folder, name), gz, st)
        files = [found[k] for k in sorted(found)]
        inodes = [f.devino for f in files]
        return files if len(set(inodes)) == len(inodes) else None

    def _locate(self, files, file, position, heads):
        """The file the position `file` names, wherever it is now, or None."""
        devino, length, digest = _parse_identity(file)

        def same(f):
            head = f.head(heads)
            return len(head) >= length and _digest(head[:length]) == digest

        for f in files:  # the file itself, under whatever name
            if f.devino == devino and not f.gz and f.st.st_size >= position and (
                    length is None or same(f)):
                return f
        if not length:
            return None
        # Gzipped, or copied by copytruncate.  A copy may be shorter than the
        # position (lines read from the log between logrotate's copy and its
        # cut): then it has nothing more, and the next file follows.
        for f in sorted(files, key=lambda f: f.gz):
            if (f.gz or f.devino != devino) and same(f):
                return f
        return None

    def _identity(self, f, heads):
        return _identity(f.st, f.head(heads))

    def step(self):
        """One transaction's worth; None when there is nothing more now."""
        file, position, _ = ingest_position(self.store, self.name)
        files = self.files()
        if files is None:
            return None
        heads = {}
        current = files[-1] if files and files[-1].path == self.path else None
        if not file and not self._adopted:
            self._adopted = True
            self._adopt()
            return self.step()
        if not file:  # never read: the log as it is now
            if current is None or current.st.st_size == 0:
                return None
            self._move((file, position), (self._identity(current, heads), 0))
            return self.step()
        try:
            found = self._locate(files, file, position, heads)
            if found is None:
                return self._lost(files, current, file, position, heads)
            data = self._read(found, position)
            identity = self._identity(found, heads)
        except (_Moved, FileNotFoundError):
            return 0, 0
        except (EOFError, zlib.error, gzip.BadGzipFile) as e:
            self._close_gz()
            self._problem("%s cannot be read past byte %d (%s); its rest was skipped"
                          % (found.path, position, e))
            data, identity = b"", file
        if _parse_identity(file)[1] is None:
            # Stored before the first bytes were kept: keep them now, while
            # the inode still names this file.
            self._move((file, position), (identity, position))
            return 0, 0
        zeros = len(data) - len(data.lstrip(b"\0"))
        if zeros:
            # What a crash leaves at the end of a file being written; nginx
            # writes no NUL, and appends its next lines after them.
            self._problem("%d zero bytes in %s (left by a crash) were skipped"
                          % (zeros, found.path))
            self._move((file, position), (identity, position + zeros), skipped=1)
            return 0, 1
        end = data.rfind(b"\n") + 1
        if end == 0 and len(data) >= self.batch:
            # No line is that long: skip the batch as one unreadable line.
            self._problem("%d bytes without a line end in %s were skipped"
                          % (len(data), found.path))
            self._move((file, position), (identity, position + len(data)), skipped=1)
            return 0, 1
        if end == 0:
            return self._ended(files, current, found, file, position, data, heads)
        rows, bad = self.rows(data[:end].split(b"\n")[:-1])
        if bad:
            self._problem("%d lines of %s that nginx did not write were skipped"
                          % (bad, found.path))
        timed = [r for r in rows if is_time(r[0])]  # recorded_at comes first in every table
        if len(timed) < len(rows):
            self._problem("%d lines of %s whose time is not a number were skipped"
                          % (len(rows) - len(timed), found.path))
            bad, rows = bad + len(rows) - len(timed), timed
        added = self._move((file, position), (identity, position + end), rows, bad)
        if added is None:
            return 0, 0  # another worker took these lines; look again
        return added, bad

    def _ended(self, files, current, found, file, position, data, heads):
        """Nothing complete to read in `found`.  A rotated file is finished
        once nginx has its new log open and the old one has been quiet for a
        moment; the next newer file with lines in it follows."""
        if found is current or current is None:
            return None
        quiet = time.time() - self.settle
        if not found.gz and found.st.st_mtime > quiet:
            return None
        for f in files[files.index(found) + 1:]:
            if f.gz or f.st.st_size > 0:
                if not f.head(heads):
                    continue  # an empty log, gzipped
                if data:
                    self._problem("an unfinished last line of %s was skipped" % found.path)
                skipped = 1 if data else 0
                self._move((file, position), (self._identity(f, heads), 0), skipped=skipped)
                return 0, skipped
            if f is current or f.st.st_mtime > quiet:
                return None  # nothing newer yet, or a log nginx may still write to
        return None

    def _lost(self, files, current, file, position, heads):
        """The file read last is not there any more, nor a copy of it."""
        if current is not None and current.devino == _parse_identity(file)[0]:
            # Cut in place (copytruncate whose copy is not found, or by
            # hand), or a new log that has the old one's inode.
            target, what = current, "no longer holds the %d bytes read" % position
        else:
            # Removed before it was read to its end (rotated out of the kept
            # files): every file still there is newer.
            target = next((f for f in files if f.gz or f.st.st_size > 0), None)
            what = "was removed before it was read to its end (from byte %d)" % position
        if target is None or (not target.gz and target.st.st_size == 0):
            return None
        if self._move((file, position), (self._identity(target, heads), 0)) is not None:
            log.error("%s log %s: the file read last %s, and no copy of it was found; "
                      "its lines after that were not recorded; reading on from the start "
                      "of %s", self.kind, self.path, what, target.path)
        return 0, 0

    def _read(self, f, position):
        """Up to a batch of bytes of `f` from `position`."""
        if not f.gz:
            with open(f.path, "rb") as handle:
                st = os.fstat(handle.fileno())
                if (st.st_dev, st.st_ino) != (f.st.st_dev, f.st.st_ino):
                    raise _Moved()
                handle.seek(position)
                return handle.read(self.batch)
        # A gzip file is read from its start to seek: keep it open while it
        # is read batch after batch, with the bytes read past the last line.
        c = self._gz
        if c is None or c[:2] != [f.path, f.devino] or not c[3] <= position <= c[3] + len(c[4]):
            self._close_gz()
            handle = gzip.open(f.path, "rb")
            st = os.fstat(handle.fileobj.fileno())
            if (st.st_dev, st.st_ino) != (f.st.st_dev, f.st.st_ino):
                handle.close()
                raise _Moved()
            c = self._gz = [f.path, f.devino, handle, position, b""]
            if handle.seek(position) < position:
                return b""  # shorter than the position: nothing more in it
        data = c[4][position - c[3]:]
        if len(data) < self.batch:
            data += c[2].read(self.batch - len(data))
        c[3], c[4] = position, data
        return data

    def _close_gz(self):
        if self._gz is not None:
            self._gz[2].close()
            self._gz = None

    def _move(self, expected, new, rows=(), skipped=0):
        return self.write(expected, new, list(rows), skipped)

    def _problem(self, text):
        problem(self.kind + " log", text)
