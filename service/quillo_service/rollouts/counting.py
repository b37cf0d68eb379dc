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
"""

import bisect
import itertools
import time

from .. import joins
from ..config import parse_version
from ..launcher.rules import conditions_hold
from ..db.base import LAG
from .queries import EVENTS, REQUESTS, RolloutQueries

BATCH = 20_000        # requests classified per transaction
EVENT_BATCH = 2_000


def rule_order(config):
    """{rule name: position}, the default after every rule."""
    order = {r.name: i for i, r in enumerate(config.rules)}
    order["default"] = len(config.rules)
    return order


def classify(config, order, row):
    """[(rule name, arm)] of the guarded rules this request counts for."""
    _, _, key, version, _, answered, malformed, _ = row
    at = order.get(answered)
    if at is None:  # maintenance, nginx's fallback, a rule since removed
        return []
    bad = frozenset(malformed.split(",")) if malformed else frozenset()
    parsed = parse_version(version)
    if parsed is None:
        bad |= {"version"}
    out = []
    for rule in config.rules[:at + 1]:
        if not rule.guarded:
            continue
        if rule.name == answered:
            out.append((rule.name, "rule"))
        elif "id" not in bad and conditions_hold(rule, key, parsed, bad):
            out.append((rule.name, "control"))
    return out


def count(store, config, now, budget=2.0):
    """Count the requests and events recorded since the last count; returns
    (requests, events) taken.  Stops after `budget` seconds.

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
    order = rule_order(config)
    advances = r.advances()
    upto = store.first_id("requests", now - LAG)  # the first request not to count yet
    while time.monotonic() - began < budget:
        last = store.position(REQUESTS)
        rows = r.requests_after(last, upto, BATCH)
        arms = [(row[0], name, arm, row[1], step_at(advances.get(name, ()), row[1]))
                for row in rows for name, arm in classify(config, order, row)]
        if rows and not r.add_requests(last, rows[-1][0], arms):
            continue  # another worker counted them; look again
        taken[0] += len(rows)
        caught_up = len(rows) < BATCH
        # A failure may be laid only once every request it may belong to is
        # counted: those up to CLOCK_SLACK after it (joins.py).
        horizon = (now - LAG if caught_up else rows[-1][1]) - joins.CLOCK_SLACK
        taken[1] += _count_events(r, horizon, began + budget)
        following = r.event_time_after(store.position(EVENTS))
        keep = min(horizon, following if following is not None else horizon)
        r.forget(store.first_id("requests", keep - joins.FAILURE_LOOKBACK))
        if caught_up:
            break
    return tuple(taken)


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
