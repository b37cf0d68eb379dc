"""Judging and changing the staged rollouts: the guard's halts and
advances, and a person's halt, resume and advance.

`tick` counts what is new (counting.py), then judges each running rule
(guard.py) from those counts and halts or advances it.  Several workers and
hosts may tick at once; every change is a compare-and-set in the store, so
each happens once, and its alert is written in the same transaction.
"""

import logging

from ..alerts import outbox as alerts
from . import guard
from .counting import count
from .queries import HOUR, RolloutQueries, describe_state

log = logging.getLogger("quillo_service")

TICK_SECONDS = 3.0    # how often each worker ticks (background.WorkerLoop)
GUARD = "guard"


def health(store, rule, row):
    """(rule arm, control arm) as guard.Arm, counted from the row's from_hour:
    totals over every hour and step, to describe, never to judge by."""
    h = RolloutQueries(store).health(rule.name, row["from_hour"])
    return guard.Arm(*h.get("rule", (0, 0))), guard.Arm(*h.get("control", (0, 0)))


def strata(store, rule, row):
    """[guard.Stratum] of the rule, one per hour and step, from the row's from_hour."""
    return [guard.Stratum(*s) for s in RolloutQueries(store).strata(rule.name, row["from_hour"])]


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
    if not RolloutQueries(store).change(row, now, who, action, why, then=then, **new):
        return False
    log.warning("rollout %r: %s by %s (%s -> %s): %s", rule.name, action, who,
                describe_state(row["step"], row["state"]),
                describe_state(after["step"], after["state"]), why)
    return True


def _rows(store, config, now):
    """The state rows of the guarded rules, made at the first step where missing."""
    r = RolloutQueries(store)
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
