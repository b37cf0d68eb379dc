"""Housekeeping inside the service: periodic jobs, one host at a time.

Every worker of every host runs a `Runner` thread, and each tick the runner
asks the store for the lease "housekeeping" (table leases).  The lease is
a row naming its holder and an expiry by the database's clock, so hosts
agree on it whatever their own clocks say; the holder renews it each tick,
and when a host dies its lease runs out after LEASE_SECONDS and another
worker takes it over.  Only the holder runs the jobs:

- the dashboard's rollup (what `python3 -m quillo_service rollup` does),
- the purge of records older than retention_days (`... purge`),
- the alert detectors and the alert sender (alerts.py),

and whatever else is registered with `add_job`.  A job must be safe to run
twice at once: a job running longer than the lease lets another host take
over while it is still busy.  The rollup and the purge are (they were made
for a worker and a cron job meeting), and an alert sent twice carries the
same key.  No cron entry is needed; the command-line forms still work.
"""

import logging
import os
import secrets
import socket
import threading
import time

from .alerts import outbox as alerts
from .dashboard.queries import Dashboard
from .db import StoreError
from .throttle import LogThrottle

log = logging.getLogger("quillo_service")

LEASE = "housekeeping"
LEASE_SECONDS = 60.0   # a dead holder's jobs wait this long for a new one
TICK_SECONDS = 5.0     # how often the lease is asked for (and renewed)
_problems = LogThrottle(interval=300.0)


class Runner:
    def __init__(self, store, config, lease_seconds=LEASE_SECONDS, tick=TICK_SECONDS,
                 clock=time.monotonic):
        self.store = store
        self.config = config  # a callable giving the current configuration
        self.lease_seconds = lease_seconds
        self.tick = tick
        self._clock = clock
        self._jobs = []  # [name, every (s), fn, due]
        self._stop = threading.Event()
        self._holder = None

    @property
    def holder(self):
        """This process's name in the lease; a forked child gets its own."""
        if self._holder is None or self._holder[0] != os.getpid():
            name = f"{socket.gethostname()}:{os.getpid()}:{secrets.token_hex(4)}"
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
        sender = alerts.Sender(self.store, self.config)
        self.add_job("rollup", 60, lambda s, c, now: Dashboard(s).catch_up(now, budget=20))
        self.add_job("purge", 3600, lambda s, c, now: s.purge(c.retention_days, now=now))
        self.add_job("alert detectors", 300, lambda s, c, now: alerts.detect(s, c, now))
        self.add_job("alert sender", 5, lambda s, c, now: sender.send_due(now))
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
        # As with fallback.Keeper: gunicorn --preload forks the workers after
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
