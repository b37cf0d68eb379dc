"""The service's background work: one scheduler and one list of jobs.

Every worker of every host runs a `Scheduler`.  Its jobs are of two kinds:

- a host's own (add_host_jobs): rewriting the fallback answer file when the
  configuration changes, reading this host's nginx logs (the fallback and
  download logs) into the store, the host's heartbeat, and telling the store
  when the configuration turns maintenance mode on or off.  They run in
  every worker of every host: each step is a compare-and-set in the store,
  and what they read is this host's.
- the shared work (add_housekeeping): the dashboard's rollup, the links of
  records to their requests with the download funnel's counts, the staged
  rollouts' guard (counting and judging), the purge, PostgreSQL's partitions
  of the days ahead, the alert detectors and sender, forgetting old request ids, and whatever else is registered with
  `add_job`.  One host at a time runs it: the holder of the lease
  "housekeeping" (table leases).

The lease is a row naming its holder and an expiry by the database's clock,
so hosts agree on it whatever their own clocks say.  Each worker asks for it
every `tick` (at most a third of the lease, so that a late tick or two never
lets it lapse while its holder lives), and when a host dies its lease runs
out after LEASE_SECONDS (QUILLO_SERVICE_LEASE_SECONDS, settings.py) and
another worker takes it over.  A process started with housekeeping off
(QUILLO_SERVICE_HOUSEKEEPING=off) never asks and runs only its host's jobs.

The jobs run in lanes, a thread each, so that a slow job holds up only its
own lane: a long read of nginx's logs (a disk that does not answer) never
holds up the heartbeat, the lease or the guard, and a long rollup never
holds up the guard.  The guard ticks every counting.TICK_SECONDS and again
at once while a backlog is left (a job returning False runs again at once),
so its counts stay within counting.BEHIND of the requests; when they fall
further behind, it says so in the log.

A job must be safe to run twice at once: a holder cut off from the database
for longer than the lease lets another host take over while its job is
still busy.  The rollup and the purge are (they were made for a worker and
a cron job meeting), every count is a compare-and-set, and an alert sent
twice carries the same key.  No cron entry is needed; the command-line
forms still work, and `run_shared_until_caught_up` runs all of the shared
work at once (the benchmark does).
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
IDLE_SECONDS = 1.0     # a lane looks at least this often whether it may run (stop)
HELD_SECONDS = 0.2     # a shared lane without the lease looks this often whether it came

# The lanes, a thread each, and whether their jobs are the shared work (run
# by the lease's holder only) or the host's own (run everywhere).
HOST, LOGS, GUARD, SHARED = "host", "logs", "guard", "shared"
LANES = {HOST: False, LOGS: False, GUARD: True, SHARED: True}

_problems = LogThrottle(interval=300.0)


class Job:
    __slots__ = ("name", "every", "fn", "lane", "due")

    def __init__(self, name, every, fn, lane):
        self.name, self.every, self.fn, self.lane, self.due = name, float(every), fn, lane, 0.0


class Scheduler:
    """The periodic jobs of one process.  config is a callable giving the
    current configuration; shared=False keeps the process out of the shared
    work (and the lease).  clock (monotonic) says when a job is due."""

    def __init__(self, store, config, lease_seconds=None, tick=TICK_SECONDS,
                 clock=time.monotonic, shared=True):
        self.store = store
        self.config = config
        self.shared = shared
        self.lease_seconds = settings.lease_seconds(lease_seconds)
        self.tick = min(tick, self.lease_seconds / 3)
        self._clock = clock
        self._jobs = []
        self._stop = threading.Event()
        self._holder = None
        self._held_until = 0.0  # time.monotonic() until which this process holds the lease
        self._behind_since = None  # since when the guard's counts have not caught up
        self._written = self._marked = None
        self.folder, self.watcher, self.ingesters, self.host = None, None, [], None
        # What this process last learnt of the store from its heartbeat, for
        # /readyz (health.py): since when a beat has been waiting
        # (time.monotonic(), or None), and the last beat's outcome
        # (ok, monotonic time it ended) or None before the first.
        self.beat_waiting_since, self.last_beat = None, None
        if shared:
            self.add_job("lease", self.tick, self._lease, lane=HOST)

    @property
    def holder(self):
        """This process's name in the lease; a forked child gets its own."""
        if self._holder is None or self._holder[0] != os.getpid():
            name = f"{settings.host_name()}:{os.getpid()}:{secrets.token_hex(4)}"
            self._holder = (os.getpid(), name)
        return self._holder[1]

    def add_job(self, name, every, fn, lane=SHARED):
        """Run fn(store, config, now) every `every` seconds in `lane` (first
        when the lane first may); `now` is the database's clock for the
        shared work, this host's for its own.  A job that returns False (a
        backlog left) runs again at once; a failure is logged and the job
        runs again when next due."""
        assert lane in LANES
        self._jobs.append(Job(name, every, fn, lane))
        return self

    def add_host_jobs(self, folder, watcher, secret=None, host=None):
        """This host's own jobs.  Without a folder (no nginx in front: a
        test, a console run by itself, no host of the deployment) only
        maintenance's start runs."""
        self.watcher = watcher
        self.host = settings.host_name(host)
        self.folder = folder
        if folder:
            # The answers first: a download is then read after the answer that
            # sent the launcher to it, even when nginx gave that answer.
            self.ingesters = [
                fallback.Ingester(self.store, os.path.join(folder, fallback.LOG),
                                  watcher.current, secret=secret, host=self.host),
                downloads.Ingester(self.store, os.path.join(folder, downloads.LOG),
                                   secret=secret, host=self.host),
            ]
            front = settings.front_log()
            if front:
                # The answers the front gave itself while no host could, in
                # the same lines as this host's own (one host reads them).
                self.ingesters.insert(1, fallback.Ingester(
                    self.store, front, watcher.current, secret=secret, host=self.host))
            self._written = watcher.current()
            fallback.write_answer(folder, self._written)
            self.add_job("answer file", 1.0, self.write_answer, lane=HOST)
            self.add_job("nginx logs", INGEST_SECONDS, self.ingest, lane=LOGS)
            # Three times a lease (at most every TICK_SECONDS): the dashboard
            # names a host not seen for a lease.
            self.add_job("heartbeat", min(TICK_SECONDS, settings.lease_seconds() / 3),
                         lambda s, c, now: self.beat(), lane=HOST)
        self.add_job("maintenance", 1.0, self.mark_maintenance, lane=HOST)
        return self

    def add_housekeeping(self):
        """The service's shared work."""
        sender = Sender(self.store, self.config)
        funnel = FunnelCounts(self.store)
        dashboard = Dashboard(self.store)

        def roll_up(s, c, now):
            dashboard.catch_up(now, budget=20)
            return dashboard.caught_up

        def link(s, c, now):
            funnel.catch_up(now, budget=INGEST_SECONDS / 2)
            return funnel.caught_up
        # The dashboard's counts by the hour and the day (dashboard/queries.py).
        self.add_job("rollup", 60, roll_up)
        # Records linked to their requests as they come, and the funnel's
        # counts kept from the links (linking.py); the guard takes the
        # requests in and links the reports on its own lane too.
        self.add_job("links", INGEST_SECONDS, link)
        self.add_job("guard", counting.TICK_SECONDS, self.guard, lane=GUARD)
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
        return self

    # -- the host's jobs -----------------------------------------------------------

    def write_answer(self, store, config, now):
        """Rewrite the fallback answer when the configuration changed (and
        so also pick up edits while no request comes)."""
        if config is not self._written:
            fallback.write_answer(self.folder, config)
            self._written = config

    def ingest(self, store, config, now):
        for ingester in self.ingesters:
            added, skipped = ingester.ingest()
            if added or skipped:
                log.info("%s log: %d lines recorded, %d skipped", ingester.kind, added, skipped)

    def beat(self):
        """Write this host's heartbeat: alive now, with the requests in its
        spool and the bytes of its logs not read yet (the dashboard names a
        host whose records are not all in) and the configuration it serves
        with (a host whose file does not load or differs from the others'
        is named on every page, banners/)."""
        self.beat_waiting_since = time.monotonic()
        ok = False
        try:
            self.store.beat(self.host, self.store.spooled(),
                            sum(ingester.unread() for ingester in self.ingesters),
                            self.watcher.live())
            ok = True
        finally:
            self.last_beat, self.beat_waiting_since = (ok, time.monotonic()), None

    def mark_maintenance(self, store, config, now):
        """Tell the store whether this host serves in maintenance mode, once
        per configuration (again after a failure), so that the console says
        since when it is on."""
        if config is not self._marked:
            banners.mark_maintenance(store, config.maintenance)
            self._marked = config

    # -- the shared work -----------------------------------------------------------

    def guard(self, store, config, now):
        """Count and judge the staged rollouts; False while a backlog is left."""
        caught_up = rollouts.tick(store, config, now)
        if caught_up:
            self._behind_since = None
            return True
        self._behind_since = self._behind_since or time.monotonic()
        if time.monotonic() - self._behind_since > counting.BEHIND:
            held = _problems.allow("guard behind")
            if held is not None:
                log.error("rollouts' guard: its counts are more than %g s behind the "
                          "requests, and catching up (%d more reports since the last)",
                          counting.BEHIND, held)
        return False

    # -- running -------------------------------------------------------------------

    def renew(self):
        """Take or renew the lease; True when this process holds it."""
        asked = time.monotonic()
        try:
            held = self.store.take_lease(LEASE, self.holder, self.lease_seconds)
        except StoreError as e:
            self._problem("housekeeping lease", e)
            return self.holds()
        self._held_until = asked + self.lease_seconds if held else 0.0
        return held

    def _lease(self, store, config, now):
        self.renew()  # not held is no backlog: asked again at the next tick

    def holds(self):
        return self.shared and time.monotonic() < self._held_until

    def run_once(self):
        """Every job that is due, lane after lane, the lease first; returns
        True when this process held the lease (and so ran the shared work)."""
        for lane in LANES:
            self._run_lane(lane)
        return self.holds()

    def _run_lane(self, lane):
        """The lane's jobs that are due; returns whether one asked to run
        again at once."""
        again = False
        for job in self._jobs:
            if job.lane != lane or self._clock() < job.due or self._stop.is_set():
                continue
            if LANES[lane] and not self.holds():
                continue
            job.due = self._clock() + job.every
            if self._run(job) is False:
                job.due = self._clock()
                again = True
        return again

    def _run(self, job):
        shared = LANES[job.lane]
        try:
            now = self.store.now() if shared else time.time()
            return job.fn(self.store, self.config(), now)
        except (StoreError, OSError) as e:
            self._problem(job.name, e)
        except Exception:
            log.exception("background job %s", job.name)
        return None

    def start(self):
        self._threads()
        # gunicorn --preload builds the application before it forks the
        # workers, and threads do not survive fork(): each child starts its own
        # (and holds no lease until it asks).
        os.register_at_fork(after_in_child=self._threads)
        return self

    def _threads(self):
        self._stop = threading.Event()
        self._held_until = 0.0
        for lane in {job.lane for job in self._jobs}:
            threading.Thread(target=self._lane_loop, args=(lane, self._stop),
                             name=f"quillo-{lane}", daemon=True).start()

    def stop(self):
        """End the threads and give the lease up, so another takes over at once."""
        self._stop.set()
        if self.shared:
            self._held_until = 0.0
            try:
                self.store.drop_lease(LEASE, self.holder)
            except StoreError:
                pass  # it runs out by itself

    def _lane_loop(self, lane, stop):
        jobs = [job for job in self._jobs if job.lane == lane]
        while not stop.is_set():
            if LANES[lane] and not self.holds():
                stop.wait(HELD_SECONDS)  # the host lane asks for the lease
                continue
            try:
                if self._run_lane(lane):
                    continue
            except Exception:
                log.exception("background lane %s", lane)
            wait = min(job.due for job in jobs) - self._clock()
            stop.wait(min(max(wait, 0.05), IDLE_SECONDS))
        self.store.close_thread()

    @staticmethod
    def _problem(what, error):
        held = _problems.allow(what)
        if held is not None:
            log.error("background job %s: %s (%d more since the last report)", what, error, held)


def run_shared_until_caught_up(store, config, now=None, scheduler=None):
    """Run every shared job once, and again while it has a backlog left,
    here and now and without the lease (as the command-line forms do):
    what the holder's lanes would do over the next while.  config is the
    configuration (not a callable); returns {job name: seconds spent}."""
    scheduler = scheduler or Scheduler(store, lambda: config, shared=False).add_housekeeping()
    spent = {}
    for job in scheduler._jobs:
        if not LANES[job.lane]:
            continue
        began = time.monotonic()
        while job.fn(store, config, store.now() if now is None else now) is False:
            pass
        spent[job.name] = spent.get(job.name, 0.0) + time.monotonic() - began
    return spent
