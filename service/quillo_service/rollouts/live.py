"""Staged rollouts that stop themselves.

A rule with `steps` climbs through those shares of machines, holding each
for `step_hours`.  Its live state (step, since when, running / halted / done,
why) is a row in the store, shared by every host; each worker reads it at
most once a second (`Live`), so a change reaches every host within two
seconds.  A halted rule matches nobody: its machines fall through to the
next rule or the default.

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
of the client), the same rule the download funnel follows.  `tick` counts
new requests and events into per-hour counts (store/rollouts.py), then
judges each running rule (guard.py) from those counts: the cost of a
judgement does not grow with the requests.
Each request is counted at the hour it came and at the step its rule was
at then (the rule's advances in the audit), since the guard compares the
arms only within one hour at one step (guard.py).
Several workers and hosts may tick at once; every count and every change is
a compare-and-set in the store, so each happens once.
"""

import bisect
import itertools
import logging
import threading
import time

from ..alerts import outbox as alerts
from . import guard
from .. import joins
from ..config import parse_version
from ..launcher.rules import conditions_hold
from ..db import StoreError
from ..db.base import LAG
from .queries import HOUR, REQUESTS, EVENTS, Rollouts, describe_state
from ..throttle import LogThrottle

log = logging.getLogger("quillo_service")

BATCH = 20_000        # requests classified per transaction
EVENT_BATCH = 2_000
TICK_SECONDS = 3.0    # how often each worker ticks (fallback.Keeper)
GUARD = "guard"

_problems = LogThrottle(interval=60.0)


# -- the live share on the request path ------------------------------------------

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
                self._states = Rollouts(self.store).states()
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


# -- counting ----------------------------------------------------------------------

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
    r = Rollouts(store)
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
        recent = [(row[0], row[1], row[7], row[2]) for row in rows]
        if rows and not r.add_requests(last, rows[-1][0], recent, arms):
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


# -- judging and changing ------------------------------------------------------------

def health(store, rule, row):
    """(rule arm, control arm) as guard.Arm, counted from the row's from_hour:
    totals over every hour and step, to describe, never to judge by."""
    h = Rollouts(store).health(rule.name, row["from_hour"])
    return guard.Arm(*h.get("rule", (0, 0))), guard.Arm(*h.get("control", (0, 0)))


def strata(store, rule, row):
    """[guard.Stratum] of the rule, one per hour and step, from the row's from_hour."""
    return [guard.Stratum(*s) for s in Rollouts(store).strata(rule.name, row["from_hour"])]


def verdict(store, rule, row):
    """The guard's verdict on a rule in the state `row`."""
    return guard.judge(strata(store, rule, row),
                       guard.share(rule.steps, row["step"], "running"),
                       rule.guard_extra_failure_points, rule.guard_min_requests,
                       rule.guard_false_halt_percent)


def _alert(store, kind, rule, row, arms, who, why, now, conn):
    alerts.notify(store, kind, {
        "rule": rule.name, "step": row["step"] + 1,
        "share": guard.share(rule.steps, row["step"], "running"),
        "rule_arm": _arm_data(arms[0]), "control_arm": _arm_data(arms[1]),
        "who": who, "why": why, "time": now}, conn=conn)


def _arm_data(arm):
    low, high = arm.interval
    return {"requests": arm.requests, "failures": arm.failures, "rate": arm.rate,
            "low": low, "high": high}


def _apply(store, rule, row, now, who, action, why, **new):
    """Make one change, and its alert in the same transaction, so that a
    halt or an advance is never recorded without the alert that reports it
    (if the alert cannot be written, neither is the change, and the next
    tick decides again).  On success log it.  True if made."""
    # The arms at the step it is at: within a step the split between them
    # is fixed, so these two compare fairly (totals over every step would not).
    arms = guard.arms_at(strata(store, rule, row), row["step"])
    if action == "halt":
        why = f"{why}; rule {arms[0].describe()}, control {arms[1].describe()}" \
            if who != GUARD else why
    after = dict(row, **new)
    if action == "advance" and guard.no_control(guard.share(rule.steps, after["step"],
                                                            "running")):
        why += "; no control at 100 %, so the guard judges no more"
    then = None
    if action in ("halt", "advance", "done"):
        kind = "rollout_halted" if action == "halt" else "rollout_advanced"

        def then(conn):
            _alert(store, kind, rule, after, arms, who, why, now, conn)
    if not Rollouts(store).change(row, now, who, action, why, then=then, **new):
        return False
    log.warning("rollout %r: %s by %s (%s -> %s): %s", rule.name, action, who,
                describe_state(row["step"], row["state"]),
                describe_state(after["step"], after["state"]), why)
    return True


def _rows(store, config, now):
    """The state rows of the guarded rules, made at the first step where missing."""
    r = Rollouts(store)
    rows = r.states()
    for rule in config.guarded_rules:
        if rule.name not in rows and r.start(rule.name, now, GUARD, "first seen in the "
                                             "configuration"):
            log.info("rollout %r started at %g %%", rule.name, rule.steps[0])
    return r.states() if any(x.name not in rows for x in config.guarded_rules) else rows


def tick(store, config, now=None):
    """Count what is new, then halt or advance each running guarded rule.
    Safe to run in any number of workers and hosts at once."""
    if not config.guarded_rules:
        return
    now = store.now() if now is None else now
    rows = _rows(store, config, now)
    count(store, config, now)
    for rule in config.guarded_rules:
        row = rows[rule.name]
        if row["state"] != "running":
            continue
        judged = verdict(store, rule, row)
        if judged.halt:
            _apply(store, rule, row, now, GUARD, "halt", judged.why, state="halted")
            continue
        due = guard.step_due(row["step"], row["since"], rule.steps, rule.step_hours, now)
        if due == "advance":
            _apply(store, rule, row, now, GUARD, "advance",
                   f"step held {rule.step_hours:g} hours", step=row["step"] + 1, since=now)
        elif due == "done":
            _apply(store, rule, row, now, GUARD, "done",
                   f"last step held {rule.step_hours:g} hours", state="done")


class ActionError(Exception):
    """A person's action that cannot be done; the text says why."""


ACTIONS = ("halt", "resume", "advance")


def act(store, config, name, action, who, why, now=None):
    """A person's halt, resume or advance of rule `name`; raises ActionError."""
    rule = next((r for r in config.guarded_rules if r.name == name), None)
    if rule is None:
        raise ActionError(f"no guarded rule is named {name!r:.80}")
    now = store.now() if now is None else now
    row = _rows(store, config, now)[name]
    why = why.strip() or "no reason given"
    if action == "halt":
        if row["state"] == "halted":
            raise ActionError(f"{name} is already halted")
        changed = _apply(store, rule, row, now, who, "halt", why, state="halted")
    elif action == "resume":
        if row["state"] != "halted":
            raise ActionError(f"{name} is not halted")
        # The guard starts counting afresh from the next whole hour, so the
        # failures that made it halt do not halt it again at once.
        changed = _apply(store, rule, row, now, who, "resume", why, state="running",
                         since=now, from_hour=int(now // HOUR) + 1)
    elif action == "advance":
        if row["state"] != "running":
            raise ActionError(f"{name} is {row['state']}; only a running rollout advances")
        if row["step"] >= len(rule.steps) - 1:
            changed = _apply(store, rule, row, now, who, "done", why, state="done")
        else:
            changed = _apply(store, rule, row, now, who, "advance", why,
                             step=row["step"] + 1, since=now)
    else:
        raise ActionError(f"unknown action {action!r:.40}")
    if not changed:
        raise ActionError(f"{name} was changed meanwhile; look again")


def status_lines(store, config, now=None):
    """One line per guarded rule: "name step% state"."""
    now = store.now() if now is None else now
    rows = _rows(store, config, now)
    lines = []
    for rule in config.guarded_rules:
        row = rows[rule.name]
        lines.append(f"{rule.name} {guard.share(rule.steps, row['step'], 'running'):g}% "
                     f"{row['state']}")
    return lines
