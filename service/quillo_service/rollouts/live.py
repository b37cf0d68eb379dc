"""Each staged rollout's share on the request path.

A rule with `steps` climbs through those shares of machines, holding each
for `step_hours`.  Its live state (step, since when, running / halted / done,
why) is a row in the store, shared by every host; each worker reads it at
most once a second (`Live`), so a change reaches every host within two
seconds.  A halted rule matches nobody: its machines fall through to the
next rule or the default.  What counts the requests is counting.py; what
judges and changes the rules is changes.py.
"""

import logging
import threading
import time

from . import guard
from ..db import StoreError
from .queries import RolloutQueries
from ..throttle import LogThrottle

log = logging.getLogger("quillo_service")

_problems = LogThrottle(interval=60.0)


class Live:
    """Each worker's copy of the rollout states, read at most every `ttl`
    seconds by whichever request finds it stale (the others go on with the
    copy they have).  While the store cannot be read, the last copy stays.
    Until the first read succeeds there is no copy, and every guarded rule
    answers nobody: it may be halted, and a halted rule is never served."""

    def __init__(self, store, ttl=1.0, clock=time.monotonic):
        self.store = store
        self.ttl = ttl
        self._clock = clock
        self._lock = threading.Lock()
        self._read_at = float("-inf")
        self._states = None  # not read yet
        self._cache = (None, None, None)  # (config, states, shares)

    def refresh_soon(self):
        self._read_at = float("-inf")

    def shares(self, config):
        """{rule name: percent} for the guarded rules, or None when there are none."""
        if not config.guarded_rules:
            return None
        if self._clock() - self._read_at >= self.ttl and self._lock.acquire(blocking=False):
            try:
                self._read_at = self._clock()
                self._states = RolloutQueries(self.store).states()
            except StoreError as e:
                if _problems.allow("live") is not None:
                    log.error("rollouts: cannot read their state, keeping the last: %s", e)
            finally:
                self._lock.release()
        cfg, states, shares = self._cache
        if cfg is config and states is self._states:
            return shares
        states = self._states
        if states is None:
            shares = {r.name: 0.0 for r in config.guarded_rules}
        else:
            shares = {r.name: current_share(r, states.get(r.name))
                      for r in config.guarded_rules}
        self._cache = (config, states, shares)
        return shares


def current_share(rule, row):
    if row is None:  # read, and not started yet: the first tick starts it there
        return rule.steps[0]
    return guard.share(rule.steps, row["step"], row["state"])
