"""The instruction nginx gives when the service cannot, and the record of each one.

Whenever gunicorn is down, restarting, too slow, or the client is over nginx's
per-address limit, nginx answers /getinstaller itself with the file
`answer.txt` of the fallback folder: the default answer, or the maintenance
answer while maintenance is on.  The service writes that file at start and
after every configuration load, atomically (a new file renamed over the old),
so nginx never serves half an answer.

nginx logs each such answer to `fallback.log` in the same folder, one line
per answer:

    1765200000.123 203.0.113.7 5f0c...e1 502 GET /getinstaller?key=...&id=... HTTP/1.1

(nginx's $msec, $remote_addr, $request_id, $upstream_status and $request;
bytes that are not printable ASCII, and the quote and backslash, come escaped
as \\xHH; lines written before the id and status were logged lack both).  The
service reads the log into `requests` with the rule "fallback", the address
turned into its key (client.py) on the way, so that the store never holds it:
each worker does so at start and
every few seconds, and a position kept in the store (the file's identity and
the byte after the last line taken, moved in the same transaction as the rows)
makes every line count exactly once, across workers, restarts and log
rotation.  A line that cannot be read is counted in the store and skipped.
The answer recorded is the fallback answer when the line is read, which is
the one nginx gave unless the configuration changed in between.

A request that reached gunicorn may already be recorded: a worker killed, or
failing, after its insert.  nginx passes its request id to the service in
X-Request-Id, the service keeps it with the request, and a logged answer
whose request had an upstream is skipped when a recent request carries its id.
"""

import logging
import os
import re
import socket
import threading
import time

from . import rollouts
from .client import client_key
from .instructions import LIMITS
from .query import parse_query
from .rules import decide
from .store import StoreError
from .throttle import LogThrottle

log = logging.getLogger("quillo_service")

ANSWER = "answer.txt"
LOG = "fallback.log"
RULE = "fallback"
INGEST_SECONDS = 5.0      # how often each worker reads the log
BATCH_BYTES = 256 * 1024  # read per transaction
SETTLE_SECONDS = 2.0      # a rotated log this quiet has nothing more coming
# How far before a logged answer its request may have been recorded by the
# service: nginx waits at most 15 s for gunicorn, and the hosts' clocks may
# differ a little from the database's.
RECORDED_BEFORE_SECONDS = 300.0

_LINE = re.compile(rb"(\d{1,12}(?:\.\d{1,6})?) (\S{1,64}) (?:([0-9a-f]{32}) (\S{1,64}) )?"
                   rb"(?:GET|HEAD) /getinstaller"
                   rb"(?:\?(.*?))?(?: HTTP/\d\.\d)?")
_ESCAPE = re.compile(rb"\\x([0-9A-Fa-f]{2})")
_problems = LogThrottle(interval=60.0)


def fallback_answer(config):
    """What a launcher gets when the service cannot decide for it."""
    return config.maintenance_answer if config.maintenance else config.default_answer


def write_answer(folder, config):
    """Write the fallback answer for nginx: exactly the instruction, ASCII,
    no line end; a reader sees the old file or the new one, never a part."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, ANSWER)
    temp = "%s.%d.%d.tmp" % (path, os.getpid(), threading.get_ident())
    with open(temp, "wb") as f:
        f.write(fallback_answer(config).encode("ascii"))
    os.chmod(temp, 0o644)  # nginx's workers run as another user
    os.replace(temp, path)


def parse_line(line):
    """(time, client, query bytes, request id, upstream status) from one log
    line (without its line end), or None when the line is not one of ours.
    Id and status are None in lines of the older format; the status is "-"
    when nginx answered without asking gunicorn (the per-address limit)."""
    m = _LINE.fullmatch(line)
    if m is None:
        return None
    query = _ESCAPE.sub(lambda e: bytes([int(e.group(1), 16)]), m.group(5) or b"")
    request_id, upstream = (None if g is None else g.decode("ascii") for g in m.group(3, 4))
    return float(m.group(1)), m.group(2).decode("ascii", "replace"), query, request_id, upstream


def position_name(log_path):
    """The name under which the store keeps how far this log was read: one
    per host and log, since hosts sharing a PostgreSQL store each have their
    own nginx."""
    return "fallback %s:%s" % (socket.gethostname(), os.path.abspath(log_path))


def _identity(st):
    return "%d:%d" % (st.st_dev, st.st_ino)


class Ingester:
    """Takes the lines of one fallback log into the store.

    The store keeps (file identity, position).  When the log was rotated, the
    file with the kept identity is looked for beside it (logrotate's
    fallback.log.1) and read to its end before the new log is started.
    """

    def __init__(self, store, log_path, config, name=None, batch=BATCH_BYTES,
                 settle=SETTLE_SECONDS, secret=None):
        self.store = store
        # nginx logs the address; only its key (client_key) is stored.
        self.secret = store.client_secret if secret is None else secret
        self.path = os.path.abspath(log_path)
        self.config = config  # a callable giving the current configuration
        self.name = name or position_name(self.path)
        self.batch = batch
        self.settle = settle

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
                log.error("fallback log %s: the rotated file read up to byte %d is gone; "
                          "answers logged after that were not recorded", self.path, position)
            return self.step()
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            if _identity(st) != file:  # replaced between the look and the open
                return 0, 0
            if st.st_size < position:
                if self._move((file, position), (file, 0)):
                    log.error("fallback log %s was cut to %d bytes below the %d read; "
                              "reading it again from its start", path, st.st_size, position)
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
        rows, bad, reached = [], 0, []
        config = self.config()
        for line in data[:end].split(b"\n")[:-1]:
            parsed = parse_line(line)
            if parsed is None:
                bad += 1
                continue
            rows.append(self._row(config, *parsed[:4]))
            if parsed[3] is not None and parsed[4] not in (None, "-"):
                reached.append((parsed[0], parsed[3]))
        if reached:
            done = self.store.recorded_request_ids(
                [r for _, r in reached], min(t for t, _ in reached) - RECORDED_BEFORE_SECONDS)
            rows = [r for r in rows if r[-1] not in done]
        if bad:
            self._problem("%d lines of %s that are no fallback answer were skipped" % (bad, path))
        if not self._move((file, position), (file, position + end), rows, bad):
            return 0, 0  # another worker took these lines; look again
        return len(rows), bad

    def _row(self, config, at, client, query, request_id):
        q = parse_query(query, LIMITS)
        v = q.values
        d = decide(config, v.get("key"), v.get("version"), v.get("id"), q.malformed | q.cut)
        return (at, client_key(client, self.secret), v.get("key"), v.get("version"), v.get("id"),
                fallback_answer(config), RULE, ",".join(sorted(d.malformed)),
                ",".join(sorted(q.cut)), request_id)

    def _move(self, expected, new, rows=(), skipped=0):
        return self.store.ingest_requests(self.name, expected, new, list(rows), skipped)

    @staticmethod
    def _problem(text):
        held = _problems.allow(text[:40])
        if held is not None:
            log.warning("fallback log: %s", text)


class Keeper:
    """A worker's background thread: rewrites the answer file when the
    configuration changes (and so also picks up edits while no request comes),
    reads the fallback log every INGEST_SECONDS, and lets the staged
    rollouts' guard count and judge every TICK_SECONDS (rollouts.tick).
    Without a folder (no nginx in front) only the guard runs."""

    def __init__(self, folder, watcher, store, interval=INGEST_SECONDS,
                 tick_interval=rollouts.TICK_SECONDS, secret=None):
        self.folder = folder
        self.watcher = watcher
        self.store = store
        self.ingester = Ingester(store, os.path.join(folder, LOG), watcher.current,
                                 secret=secret) if folder else None
        self.interval = interval
        self.tick_interval = tick_interval
        self._stop = threading.Event()
        self._tick_due = 0.0
        self._written = watcher.current()
        if folder:
            write_answer(folder, self._written)

    def start(self):
        self._thread()
        # gunicorn --preload builds the application before it forks the
        # workers, and a thread does not survive fork(): each child starts its own.
        os.register_at_fork(after_in_child=self._thread)
        return self

    def _thread(self):
        threading.Thread(target=self._run, name="quillo-fallback", daemon=True).start()

    def stop(self):
        self._stop.set()

    def _run(self):
        due = 0.0
        while not self._stop.is_set():
            try:
                config = self.watcher.current()
                if self.folder and config is not self._written:
                    write_answer(self.folder, config)
                    self._written = config
                if self.ingester and time.monotonic() >= due:
                    due = time.monotonic() + self.interval
                    added, skipped = self.ingester.ingest()
                    if added or skipped:
                        log.info("fallback log: %d answers recorded, %d lines skipped",
                                 added, skipped)
            except (OSError, StoreError) as e:
                held = _problems.allow("keeper")
                if held is not None:
                    log.error("fallback answers: %s (%d more since the last report)", e, held)
            except Exception:
                log.exception("fallback answers")
            self._guard()
            self._stop.wait(1.0)

    def _guard(self):
        if time.monotonic() < self._tick_due:
            return
        self._tick_due = time.monotonic() + self.tick_interval
        try:
            rollouts.tick(self.store, self.watcher.current())
        except StoreError as e:
            held = _problems.allow("guard")
            if held is not None:
                log.error("rollouts' guard: %s (%d more since the last report)", e, held)
        except Exception:
            log.exception("rollouts' guard")
