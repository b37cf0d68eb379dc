"""Counting the staged rollouts' two arms, hour by hour.

The guard compares two arms over the same hours:
- the rule: requests the rule answered;
- the control: requests that reached the rule (no earlier rule took them),
  met its conditions and had a machine id, but fell outside its share and
  were answered by a later rule or the default.
Machines fall in or out of the share by a hash of their id alone, so the two
arms are the same population split at random: the same campaigns, launcher
versions and Windows versions in the same proportions, over the same hours.
The default channel's requests as a whole would mix in other campaigns with
failure rates of their own.

Which arm a request is in was decided as it was answered and kept in its
row (launcher/arms.py); counting only reads it, so no configuration enters
the counts: a rule renamed, reordered or given another share afterwards
moves no request between the arms.  Requests that nginx answered in the
service's place carry no arm and are counted in neither.

A failure is laid at the request it belongs to, since error and crash
queries carry no machine id: joins.py says which (an error at the latest
request of the same client and key within its window, a crash at the latest
of the client), the same rule the download funnel follows.  `count` adds
new requests and events into per-hour counts (queries.py), from which the
guard judges (changes.py): the cost of a judgement does not grow with the
requests.
Each request is counted at the hour it came and at the step its rule was
at then (the rule's advances in the audit), since the guard compares the
arms only within one hour at one step (guard.py).
Several workers and hosts may count at once; every count is a
compare-and-set in the store, so each happens once.

The counts hold every request answered more than BEHIND seconds ago: a
request's id settles within LAG (db/base.py), the housekeeping lease's
holder counts every TICK_SECONDS on a thread of its own (background.py),
for at most BUDGET seconds, and at once again while a backlog is left.
While it is not caught up, it says so in the log.
"""

import bisect
import itertools
import time

from .. import joins
from ..db.base import LAG
from ..launcher import arms
from .queries import EVENTS, REQUESTS, RolloutQueries

BATCH = 20_000        # requests counted per transaction
EVENT_BATCH = 2_000
BEHIND = 30.0         # seconds: the counts hold every request answered longer ago
TICK_SECONDS = 3.0    # how often the guard counts and judges (background.py)
BUDGET = 2.0          # seconds one count may take before the worker judges
# A request settles within LAG, waits at most a tick, and is counted within
# a budget; the rest of the bound is for a late tick.
assert LAG + TICK_SECONDS + BUDGET <= BEHIND / 2


def count(store, now, budget=BUDGET):
    """Count the requests and events recorded since the last count; returns
    (requests, events) taken and whether it caught up (False: stopped after
    `budget` seconds with more to count).

    Requests and events go forward together, a batch of requests and then
    the events up to the last of them, so that what is kept of the recent
    requests stays a few hours long even when a backlog is caught up."""
    r = RolloutQueries(store)
    if store.position(REQUESTS) is None:
        # Counting starts now: the history before the first guarded rule
        # belongs to no arm.
        r.begin_positions(store.first_id("requests", now - LAG) - 1, r.last_ids()[1])
    began = time.monotonic()
    taken = [0, 0]
    caught_up = False
    advances = r.advances()
    upto = store.first_id("requests", now - LAG)  # the first request not to count yet
    while time.monotonic() - began < budget:
        last = store.position(REQUESTS)
        rows = r.requests_after(last, upto, BATCH)
        counted = [(i, name, arm, at, step_at(advances.get(name, ()), at))
                   for i, at, kept in rows for name, arm in arms.decode(kept)]
        if rows and not r.add_requests(last, rows[-1][0], counted):
            continue  # another worker counted them; look again
        taken[0] += len(rows)
        full = len(rows) == BATCH
        # A failure may be laid only once every request it may belong to is
        # counted: those up to CLOCK_SLACK after it (joins.py).
        horizon = (rows[-1][1] if full else now - LAG) - joins.CLOCK_SLACK
        taken[1] += _count_events(r, horizon, began + budget)
        following = r.event_time_after(store.position(EVENTS))
        keep = min(horizon, following if following is not None else horizon)
        r.forget(store.first_id("requests", keep - joins.FAILURE_LOOKBACK))
        if not full:
            caught_up = following is None or following > horizon
            break
    return taken[0], taken[1], caught_up


def step_at(advances, at):
    """The step (from 0) a rule was at, at time `at`, given the times of its
    advances in order."""
    return bisect.bisect_right(advances, at)


def _count_events(r, horizon, deadline):
    """Lay the events up to `horizon` at their requests, until the monotonic
    `deadline`; returns how many."""
    taken = 0
    while time.monotonic() < deadline:
        last = r.store.position(EVENTS)
        # In id order and only up to the horizon: a later event may belong
        # to a request not counted yet.
        rows = list(itertools.takewhile(lambda e: e[1] <= horizon,
                                        r.events_after(last, EVENT_BATCH)))
        if not rows:
            return taken
        times = [e[1] for e in rows]
        candidates = r.recent_requests({e[2] for e in rows},
                                       min(times) - joins.FAILURE_LOOKBACK,
                                       max(times) + joins.CLOCK_SLACK)
        laid = joins.failures(candidates, rows)
        if r.add_failures(last, rows[-1][0], list(laid.values())):
            taken += len(rows)
    return taken
