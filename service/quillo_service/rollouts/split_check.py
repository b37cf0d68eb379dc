"""The split check of a guarded rule as the store stands, and its alert.

split.py decides on counts; machines.py keeps them; this reads them for a
rule's state row and says a mismatch to people once per step (and once
again after a resume), through the alerts' outbox as the halts do.  While a
mismatch holds the guard does not advance the rule (changes.tick); it never
stands in the way of a halt, nor of a person's advance, which the audit
records with the check's state.
"""

import logging
import weakref

from ..alerts import outbox as alerts
from . import guard, machines, split

log = logging.getLogger("quillo_service")

# The guard ticks every few seconds; counting the machines of a step is a
# GROUP BY over them, so between advances it is done at most this often.
EVERY_SECONDS = 60.0
_seen = weakref.WeakKeyDictionary()  # store -> {rule: (time, step, from_hour, Split)}


def current(store, rule, row):
    """The split.Split of `rule` (a configuration rule) in state `row` now:
    its machines at its step, counted from the row's from_hour."""
    share = guard.share(rule.steps, row["step"], "running")
    if guard.no_control(share):  # nothing to split: not counted
        return split.check(0, 0, share)
    return split.check(*machines.totals(store, rule.name, row["step"], row["from_hour"]),
                       share)


def said(s):
    """"; " and the check in words, for an advance's audit row; "" where
    there was nothing to check (a 100 % step)."""
    return f"; {s.describe()}" if s.judged else ""


def watch(store, rule, row, now, fresh=False):
    """The Split of a running rule for the guard's tick, counted again when
    `fresh` (an advance is due) or EVERY_SECONDS after the last count; on a
    mismatch the alert is put in the outbox, once per step and count."""
    kept = _seen.setdefault(store, {})
    last = kept.get(rule.name)
    if (not fresh and last is not None and last[1:3] == (row["step"], row["from_hour"])
            and 0 <= now - last[0] < EVERY_SECONDS):
        return last[3]
    s = current(store, rule, row)
    kept[rule.name] = (now, row["step"], row["from_hour"], s)
    if s.mismatch:
        new = alerts.notify(store, "rollout_split_mismatch", {
            "rule": rule.name, "step": row["step"] + 1,
            "share": guard.share(rule.steps, row["step"], "running"),
            "expected": s.expected, "observed": s.observed,
            "rule_machines": s.rule_machines, "control_machines": s.control_machines,
            "evidence": s.evidence, "threshold": s.threshold, "why": s.describe(),
            "time": now}, key=f"rollout_split_mismatch\t{rule.name}\t{row['step']}\t"
                              f"{row['from_hour']}")
        if new:
            log.warning("rollout %r: %s; it does not advance while this holds", rule.name,
                        s.describe())
    return s
