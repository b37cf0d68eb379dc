"""Instruction requests that the database could not take in time.

When an insert cannot finish within its short wait (the database locked, full
or gone), the request goes to an append-only file instead, one JSON line
each, and the launcher gets its answer without waiting longer.  A background
thread writes the file into the database later, exactly once:

1. it renames the file to a name of its own, so new lines start a new file;
2. it locks the renamed file exclusively, which waits for a writer that
   opened it before the rename to finish its line;
3. in one transaction it adds a marker row named after the file to
   rollup_state and inserts the lines, but only if the marker was new;
4. it deletes the file, then the marker.

A crash after 3 leaves file and marker: the next replay finds the marker and
only deletes.  Two replayers of one file meet at the lock in 2 and the
second finds the file gone.  A line cut short by a crash is skipped (and
logged), never guessed at.
"""

import errno
import fcntl
import glob
import json
import logging
import os
import uuid

log = logging.getLogger("quillo_service")


class Spool:
    def __init__(self, path):
        self.path = path
        self._counted = {}  # path: (dev, inode, bytes counted, lines in them)

    def add(self, row):
        """Append one row (a list of JSON values); raises OSError when it cannot."""
        line = (json.dumps(row, separators=(",", ":")) + "\n").encode()
        for _ in range(5):
            fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
            try:
                try:
                    fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
                except OSError as e:
                    if e.errno not in (errno.EAGAIN, errno.EACCES):
                        raise
                    continue  # a replayer holds this file: it was renamed, open anew
                st = os.fstat(fd)
                try:
                    current = os.stat(self.path).st_ino == st.st_ino
                except FileNotFoundError:
                    current = False
                if st.st_nlink == 0 or not current:
                    continue  # taken for replay meanwhile
                if os.write(fd, line) != len(line):
                    raise OSError(errno.ENOSPC, "short write")
                return
            finally:
                os.close(fd)
        raise OSError(errno.EBUSY, "the spool file kept being taken for replay")

    def pending(self):
        return os.path.exists(self.path) or bool(glob.glob(glob.escape(self.path) + ".*.taken"))

    def count(self):
        """The requests spooled and not yet written (lines in the files), for
        the host's heartbeat; each file's lines are counted as they come, not
        read again every time."""
        names = [self.path] + glob.glob(glob.escape(self.path) + ".*.taken")
        total, counted = 0, {}
        for name in names:
            try:
                with open(name, "rb") as f:
                    st = os.fstat(f.fileno())
                    dev, ino, done, lines = self._counted.get(name, (None, None, 0, 0))
                    if (dev, ino) != (st.st_dev, st.st_ino) or st.st_size < done:
                        done, lines = 0, 0
                    f.seek(done)
                    while True:
                        chunk = f.read(1 << 20)
                        if not chunk:
                            break
                        done += len(chunk)
                        lines += chunk.count(b"\n")
            except FileNotFoundError:
                continue
            counted[name] = (st.st_dev, st.st_ino, done, lines)
            total += lines
        self._counted = counted
        return total

    def replay(self, write):
        """Write every spooled row through `write(marker, rows)`, which inserts
        the rows in one transaction unless the marker is already there.
        Returns the rows written."""
        try:
            os.rename(self.path, f"{self.path}.{uuid.uuid4().hex}.taken")
        except FileNotFoundError:
            pass
        written = 0
        for name in sorted(glob.glob(glob.escape(self.path) + ".*.taken")):
            try:
                f = open(name, "rb")
            except FileNotFoundError:
                continue
            with f:
                fcntl.flock(f.fileno(), fcntl.LOCK_EX)
                if os.fstat(f.fileno()).st_nlink == 0:
                    continue  # another replayer finished it
                rows = []
                for number, line in enumerate(f.read().split(b"\n"), 1):
                    if not line:
                        continue
                    try:
                        rows.append(json.loads(line))
                    except ValueError:
                        log.error("spool %s line %d is cut short; skipped", name, number)
                written += write(os.path.basename(name), rows)
                os.unlink(name)
                write(os.path.basename(name), None)  # the marker goes too
        return written
