"""Each staged rollout's share on the request path.

A rule with `steps` climbs through those shares of machines, holding each
for `step_hours`.  Its live state (step, since when, running / halted / done,
why) is a row in the store, shared by every host; each worker reads it at
most once a second (`Live`), so a change reaches every host within two
seconds.  A halted rule matches nobody: its machines fall through to the
next rule or the default.  So does any rule whose state row says halted,
staged or not, and a rule new to the service that gives a halted
instruction (halts.py).  What counts the requests is counting.py; what
judges and changes the rules is changes.py.
"""

import logging
import threading
import time

from . import guard, halts
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
        # (states, the rules the service has served with) as read together,
        # swapped whole; states None: not read yet.
        self._copy = (None, None)
        self._cache = (None, None, None)  # (config, copy, shares)

    def refresh_soon(self):
        self._read_at = float("-inf")

    def read(self):
        """Read the states now; raises StoreError."""
        r = RolloutQueries(self.store)
        # The rules seen before the states: a new rule that starts halted is
        # recorded as seen in the transaction that halts it, so read in this
        # order it is either unseen (and halted by its instruction) or
        # halted by its row, never seen without its halt.
        seen = r.seen()
        self._copy = (r.states(), seen)

    def shares(self, config):
        """{rule name: percent} of the rules whose share the store decides
        (halts.shares), or None when there are none."""
        if self._clock() - self._read_at >= self.ttl and self._lock.acquire(blocking=False):
            try:
                self._read_at = self._clock()
                self.read()
            except StoreError as e:
                if _problems.allow("live") is not None:
                    log.error("rollouts: cannot read their state, keeping the last: %s", e)
            finally:
                self._lock.release()
        cfg, copy, shares = self._cache
        if cfg is config and copy is self._copy:
            return shares
        copy = self._copy
        shares = halts.shares(config, *copy)
        self._cache = (config, copy, shares)
        return shares


def current_share(rule, row):
    if row is None:  # read, and not started yet: the first tick starts it there
        return rule.steps[0]
    return guard.share(rule.steps, row["step"], row["state"])
