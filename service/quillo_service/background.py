"""The service's background threads: each worker's own loop, and the
housekeeping that one host at a time does.

Every worker runs a `WorkerLoop` thread: it keeps the fallback answer file
current, reads nginx's fallback and download logs into the store and ticks the
staged rollouts' guard.  These are
safe to run in every worker at once (each step is a compare-and-set in the
store), and running them everywhere means no worker waits on another.

Housekeeping: periodic jobs, one host at a time.

Every worker of every host runs a `Runner` thread, and each tick the runner
asks the store for the lease "housekeeping" (table leases).  The lease is
a row naming its holder and an expiry by the database's clock, so hosts
agree on it whatever their own clocks say; the holder renews it each tick,
and when a host dies its lease runs out after LEASE_SECONDS
(QUILLO_SERVICE_LEASE_SECONDS, settings.py) and another worker takes it
over.  Only the holder runs the jobs:

- the dashboard's rollup and the links of records to their requests, with
  the download funnel's counts (what `scripts/quillo rollup` does),
- the purge of records older than retention_days (`... purge`),
- on PostgreSQL, the partitions of the days ahead (Store.prepare_days),
- the alert detectors and the alert sender (alerts/),
- forgetting the request ids that requests and reports claimed longer ago
  than REQUEST_ID_WINDOW (db/base.py),

and whatever else is registered with `add_job`.  A job must be safe to run
twice at once: a job running longer than the lease lets another host take
over while it is still busy.  The rollup and the purge are (they were made
for a worker and a cron job meeting), and an alert sent twice carries the
same key.  No cron entry is needed; the command-line forms still work.
"""

import logging
import os
import secrets
import threading
import time

from . import settings
from .alerts.detectors import detect
from .alerts.sender import Sender
from .banners import queries as banners
from .dashboard.queries import Dashboard
from .db import StoreError
from .funnel.queries import FunnelCounts
from .ingest import downloads, fallback
from .rollouts import changes as rollouts
from .rollouts import counting
from .throttle import LogThrottle

log = logging.getLogger("quillo_service")

LEASE = "housekeeping"
LEASE_SECONDS = settings.LEASE_SECONDS  # a dead holder's jobs wait this long (default)
TICK_SECONDS = 5.0     # how often the lease is asked for (and renewed), at most
INGEST_SECONDS = 5.0   # how often each worker reads nginx's logs
PARTITIONS_SECONDS = 600.0  # how often the days ahead are checked (cheap when all are there)
_problems = LogThrottle(interval=300.0)
_loop_problems = LogThrottle(interval=60.0)


class Runner:
    def __init__(self, store, config, lease_seconds=None, tick=TICK_SECONDS,
                 clock=time.monotonic):
        self.store = store
        self.config = config  # a callable giving the current configuration
        self.lease_seconds = settings.lease_seconds(lease_seconds)
        # Renewed three times within a lease, so that a late tick or two
        # never lets it lapse while its holder lives.
        self.tick = min(tick, self.lease_seconds / 3)
        self._clock = clock
        self._jobs = []  # [name, every (s), fn, due]
        self._stop = threading.Event()
        self._holder = None

    @property
    def holder(self):
        """This process's name in the lease; a forked child gets its own."""
        if self._holder is None or self._holder[0] != os.getpid():
            name = f"{settings.host_name()}:{os.getpid()}:{secrets.token_hex(4)}"
            self._holder = (os.getpid(), name)
        return self._holder[1]

    def add_job(self, name, every, fn):
        """Run fn(store, config, now) every `every` seconds on the lease's
        holder (first at its first tick as holder); `now` is the database's
        clock.  A failure is logged and the job runs again when next due."""
        self._jobs.append([name, float(every), fn, 0.0])
        return self

    def add_housekeeping(self):
        """The service's own jobs."""
        sender = Sender(self.store, self.config)
        self.add_job("rollup", 60, lambda s, c, now: Dashboard(s).catch_up(now, budget=20))
        self.add_job("purge", 3600, lambda s, c, now: s.purge(c.retention_days, now=now))
        # PostgreSQL's days ahead (db/partitions.py); a day whose lock did not
        # come is tried again at the next run.
        self.add_job("partitions", PARTITIONS_SECONDS, lambda s, c, now: s.prepare_days(now))
        # The detectors read through the dashboard's queries (each count
        # defined once), handed in here so that the alerts do not import it.
        self.add_job("alert detectors", 300,
                     lambda s, c, now: detect(s, Dashboard(s), c, now))
        self.add_job("alert sender", 5, lambda s, c, now: sender.send_due(now))
        self.add_job("request ids", 300, lambda s, c, now: s.prune_request_ids(now))
        # Records linked to their requests and the funnel's counts kept from
        # the links (linking.py); the guard links failures on its own thread too.
        self.add_job("links", 10, lambda s, c, now: FunnelCounts(s).catch_up(now, budget=20))
        return self

    def run_once(self):
        """One tick: take or renew the lease, then run the jobs that are due.
        Returns True when this process held the lease."""
        try:
            if not self.store.take_lease(LEASE, self.holder, self.lease_seconds):
                return False
        except StoreError as e:
            self._problem("housekeeping lease", e)
            return False
        for job in self._jobs:
            name, every, fn, due = job
            if self._clock() < due or self._stop.is_set():
                continue
            job[3] = self._clock() + every
            try:
                fn(self.store, self.config(), self.store.now())
            except (StoreError, OSError) as e:
                self._problem(name, e)
            except Exception:
                log.exception("housekeeping job %s", name)
        return True

    def start(self):
        self._thread()
        # As with WorkerLoop: gunicorn --preload forks the workers after
        # the application is built, and threads do not survive a fork.
        os.register_at_fork(after_in_child=self._thread)
        return self

    def _thread(self):
        self._stop = threading.Event()
        threading.Thread(target=self._run, name="quillo-housekeeping", daemon=True).start()

    def stop(self):
        """End the thread and give the lease up, so another takes over at once."""
        self._stop.set()
        try:
            self.store.drop_lease(LEASE, self.holder)
        except StoreError:
            pass  # it runs out by itself

    def _run(self):
        stop = self._stop
        while not stop.is_set():
            try:
                self.run_once()
            except Exception:
                log.exception("housekeeping")
            # A job due more often than the tick sets the pace (not below 0.5 s).
            stop.wait(max(0.5, min([self.tick] + [job[1] for job in self._jobs])))

    @staticmethod
    def _problem(what, error):
        held = _problems.allow(what)
        if held is not None:
            log.error("housekeeping: %s: %s (%d more since the last report)", what, error, held)


class WorkerLoop:
    """Each worker's background thread: rewrites the answer file when the
    configuration changes (and so also picks up edits while no request comes),
    reads the fallback and download logs every INGEST_SECONDS, and tells
    the store when the configuration turns maintenance mode on or off
    (banners/queries.py).  Without a folder (no nginx in front) only
    maintenance's start runs there.

    The staged rollouts' guard counts and judges on a thread of its own,
    every counting.TICK_SECONDS and at once again while a backlog is left
    (rollouts.tick), so that a long read of nginx's logs never holds it
    up: its counts stay within counting.BEHIND of the requests.

    A second thread writes the host's heartbeat (table hosts, under
    settings.host_name) three times a lease (at most every TICK_SECONDS),
    however long a reading of the logs takes: the requests in its spool and
    the bytes of its logs not read yet, so that the dashboard can name a host
    not seen for a lease, whose records are not all in, and the configuration
    it serves with, so that a host whose file does not load or differs from
    the others' is named on every page (banners/).
    Only a host with nginx in front (a folder) has one: a process without
    (a test, a console run by itself) is no host of the deployment."""

    def __init__(self, folder, watcher, store, interval=INGEST_SECONDS,
                 tick_interval=counting.TICK_SECONDS, secret=None, host=None):
        self.host = settings.host_name(host)
        self.beat_interval = min(TICK_SECONDS, settings.lease_seconds() / 3)
        self.folder = folder
        self.watcher = watcher
        self.store = store
        # The answers first: a download is then read after the answer that
        # sent the launcher to it, even when nginx gave that answer.
        self.ingesters = [
            fallback.Ingester(store, os.path.join(folder, fallback.LOG), watcher.current,
                              secret=secret, host=self.host),
            downloads.Ingester(store, os.path.join(folder, downloads.LOG), secret=secret,
                               host=self.host),
        ] if folder else []
        self.interval = interval
        self.tick_interval = tick_interval
        self._stop = threading.Event()
        self._marked = None  # the configuration whose maintenance mode the store knows
        self._written = watcher.current()
        if folder:
            fallback.write_answer(folder, self._written)

    def start(self):
        self._thread()
        # gunicorn --preload builds the application before it forks the
        # workers, and a thread does not survive fork(): each child starts its own.
        os.register_at_fork(after_in_child=self._thread)
        return self

    def _thread(self):
        threading.Thread(target=self._run, name="quillo-worker", daemon=True).start()
        threading.Thread(target=self._guard_loop, name="quillo-guard", daemon=True).start()
        if self.folder:
            threading.Thread(target=self._beat_loop, name="quillo-heartbeat",
                             daemon=True).start()

    def stop(self):
        self._stop.set()

    def _run(self):
        due = 0.0
        while not self._stop.is_set():
            try:
                config = self.watcher.current()
                if self.folder and config is not self._written:
                    fallback.write_answer(self.folder, config)
                    self._written = config
                if time.monotonic() >= due:
                    due = time.monotonic() + self.interval
                    for ingester in self.ingesters:
                        added, skipped = ingester.ingest()
                        if added or skipped:
                            log.info("%s log: %d lines recorded, %d skipped",
                                     ingester.kind, added, skipped)
            except (OSError, StoreError) as e:
                held = _loop_problems.allow("worker loop")
                if held is not None:
                    log.error("fallback answers: %s (%d more since the last report)", e, held)
            except Exception:
                log.exception("fallback answers")
            self._mark_maintenance()
            self._stop.wait(1.0)

    def beat(self):
        """Write this host's heartbeat: alive now, with what is not in yet
        and the configuration it serves with."""
        self.store.beat(self.host, self.store.spooled(),
                        sum(ingester.unread() for ingester in self.ingesters),
                        self.watcher.live())

    def _beat_loop(self):
        while not self._stop.is_set():
            try:
                self.beat()
            except (OSError, StoreError) as e:
                held = _loop_problems.allow("heartbeat")
                if held is not None:
                    log.error("host heartbeat: %s (%d more since the last report)", e, held)
            except Exception:
                log.exception("host heartbeat")
            self._stop.wait(self.beat_interval)

    def _mark_maintenance(self):
        """Tell the store whether this host serves in maintenance mode, once
        per configuration (again after a failure), so that the console says
        since when it is on."""
        config = self.watcher.current()
        if config is self._marked:
            return
        try:
            banners.mark_maintenance(self.store, config.maintenance)
            self._marked = config
        except StoreError as e:
            held = _loop_problems.allow("maintenance")
            if held is not None:
                log.error("maintenance mode's start: %s (%d more since the last report)", e,
                          held)

    def _guard_loop(self):
        behind_since = None  # monotonic time since which counting has not caught up
        while not self._stop.is_set():
            caught_up = self._guard()
            if caught_up:
                behind_since = None
            else:
                behind_since = behind_since or time.monotonic()
                if time.monotonic() - behind_since > counting.BEHIND:
                    held = _loop_problems.allow("guard behind")
                    if held is not None:
                        log.error("rollouts' guard: its counts are more than %g s behind the "
                                  "requests, and catching up (%d more reports since the last)",
                                  counting.BEHIND, held)
            self._stop.wait(self.tick_interval if caught_up is not False else 0.0)

    def _guard(self):
        """One tick: True when the counts caught up, False when a backlog
        is left, None when the tick failed (tried again after a tick)."""
        try:
            return rollouts.tick(self.store, self.watcher.current())
        except StoreError as e:
            held = _loop_problems.allow("guard")
            if held is not None:
                log.error("rollouts' guard: %s (%d more since the last report)", e, held)
        except Exception:
            log.exception("rollouts' guard")
        return None
