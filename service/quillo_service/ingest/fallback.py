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
import threading
import time

from . import downloads, logs
from .positions import ingest_rows, recorded_request_ids
from ..rollouts import live as rollouts
from ..clients import client_key
from ..launcher.instructions import LIMITS
from ..launcher.query import parse_query
from ..launcher.rules import decide
from ..db import StoreError
from ..throttle import LogThrottle

log = logging.getLogger("quillo_service")

ANSWER = "answer.txt"
LOG = "fallback.log"
RULE = "fallback"
INGEST_SECONDS = 5.0      # how often each worker reads the log
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
    """The name under which the store keeps how far this log was read."""
    return logs.position_name("fallback", log_path)


class Ingester(logs.Ingester):
    """Takes the lines of one fallback log into `requests`."""

    kind = "fallback"

    def __init__(self, store, log_path, config, secret=None, **kwargs):
        super().__init__(store, log_path, **kwargs)
        # nginx logs the address; only its key (client_key) is stored.
        self.secret = store.client_secret if secret is None else secret
        self.config = config  # a callable giving the current configuration

    def rows(self, lines):
        rows, bad, reached = [], 0, []
        config = self.config()
        for line in lines:
            parsed = parse_line(line)
            if parsed is None:
                bad += 1
                continue
            rows.append(self._row(config, *parsed[:4]))
            if parsed[3] is not None and parsed[4] not in (None, "-"):
                reached.append((parsed[0], parsed[3]))
        if reached:
            done = recorded_request_ids(self.store, [r for _, r in reached],
                                        min(t for t, _ in reached) - RECORDED_BEFORE_SECONDS)
            rows = [r for r in rows if r[-1] not in done]
        return rows, bad

    def _row(self, config, at, client, query, request_id):
        q = parse_query(query, LIMITS)
        v = q.values
        d = decide(config, v.get("key"), v.get("version"), v.get("id"), q.malformed | q.cut)
        return (at, client_key(client, self.secret), v.get("key"), v.get("version"), v.get("id"),
                fallback_answer(config), RULE, ",".join(sorted(d.malformed)),
                ",".join(sorted(q.cut)), request_id)

    def write(self, expected, new, rows, skipped):
        return ingest_rows(self.store, self.name, expected, new, "requests", rows, skipped)


class Keeper:
    """A worker's background thread: rewrites the answer file when the
    configuration changes (and so also picks up edits while no request comes),
    reads the fallback and download logs every INGEST_SECONDS and then brings
    the download funnel's counts up to date (store/funnel.py), and lets the
    staged rollouts' guard count and judge every TICK_SECONDS (rollouts.tick).
    Without a folder (no nginx in front) only the guard runs."""

    def __init__(self, folder, watcher, store, interval=INGEST_SECONDS,
                 tick_interval=rollouts.TICK_SECONDS, secret=None):
        self.folder = folder
        self.watcher = watcher
        self.store = store
        # The answers first: a download is then read after the answer that
        # sent the launcher to it, even when nginx gave that answer.
        self.ingesters = [
            Ingester(store, os.path.join(folder, LOG), watcher.current, secret=secret),
            downloads.Ingester(store, os.path.join(folder, downloads.LOG), secret=secret),
        ] if folder else []
        from ..funnel.outcomes import Funnel  # lazily: the ingest alone need not load it
        self.funnel = Funnel(store)
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
                if self.ingesters and time.monotonic() >= due:
                    due = time.monotonic() + self.interval
                    for ingester in self.ingesters:
                        added, skipped = ingester.ingest()
                        if added or skipped:
                            log.info("%s log: %d lines recorded, %d skipped",
                                     ingester.kind, added, skipped)
                    # The funnel's outcomes as far as they are known, so that
                    # pages need not work them out.
                    self.funnel.catch_up(budget=self.interval / 2,
                                         refresh=self.funnel.REFRESH)
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
