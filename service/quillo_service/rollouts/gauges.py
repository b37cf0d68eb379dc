"""What the monitoring reads of each guarded rule (metrics/collector.py):
its state, share, the guard's evidence and threshold, and the split check.

One function, rule_gauges, makes every per-rule figure, so that a check
the guard gains later adds its figure here, beside the others, and the
collector lists it without change.
"""

from typing import NamedTuple

from . import changes, guard, split_check as splits
from .queries import RolloutQueries

STATES = ("running", "held", "halted", "done")  # changes.Status.state


class Gauge(NamedTuple):
    """One sample: the family's name (without the prefix), its labels
    beyond the rule's, and the value."""
    family: str
    labels: dict
    value: float


# Each family's help text, in the order they are listed.
FAMILIES = {
    "guard_state": "Guarded rule's state: 1 for the state it is in, 0 for the others.",
    "guard_share_percent": "Percent of the rule's matching machines it answers now "
                           "(0 while halted).",
    "guard_evidence": "The guard's evidence that the rule fails more than its margin allows "
                      "(0 before it judges: no control or too few requests).",
    "guard_threshold": "The evidence at which the guard halts the rule "
                       "(100 / guard_false_halt_percent).",
    "guard_judged": "1 when the guard judges the rule now, 0 when it waits (no control at "
                    "100 %, too few requests, not staged).",
    "guard_split_check": "Whether the rule's arms split its machines as its share says: "
                         "1 mismatch, 0 none found; state says whether it was checked.",
}


def split_state(checked):
    """(state, value) of the check that a rule's arms split its machines as
    its share says (a split.Split, or None): "unknown" and 0 while it is not
    made (no control at this share, no machine yet, not running); else
    "checked" with 1 for a mismatch and 0 for none (the example alerting
    rules take any state but "unknown")."""
    if checked is None or not checked.judged or not checked.machines:
        return "unknown", 0.0
    return "checked", float(checked.mismatch)


def rule_gauges(status, rule, strata, judged, checked=None):
    """[Gauge] of one rule: `status` from changes.statuses, `rule` its
    configuration (None when no longer staged), `strata` its guard.Stratum
    counts since the guard counts from, `judged` guard.judge's verdict
    (None when not judged), `checked` its split check (None: not made)."""
    evidence = judged.evidence if judged is not None else None
    threshold = (100.0 / rule.guard_false_halt_percent if rule is not None else 0.0)
    check_state, check = split_state(checked)
    return ([Gauge("guard_state", {"state": s}, float(status.state == s)) for s in STATES] + [
        Gauge("guard_share_percent", {}, float(status.share)),
        Gauge("guard_evidence", {}, float(evidence.ratio) if evidence else 0.0),
        Gauge("guard_threshold", {}, threshold),
        Gauge("guard_judged", {}, float(evidence is not None)),
        Gauge("guard_split_check", {"state": check_state}, check)])


def every_rule(store, config, now):
    """{rule name: [Gauge]} of every guarded rule and every halted one no
    longer staged, judged as the Rollouts view judges them (in one
    snapshot, writing nothing)."""
    r = RolloutQueries(store)
    rules = {x.name: x for x in config.guarded_rules}
    out = {}
    for st in changes.statuses(store, config, now, start=False):
        rule, judged, checked = rules.get(st.name), None, None
        strata = [guard.Stratum(*x) for x in r.strata(st.name, st.row["from_hour"])]
        if rule is not None:
            judged = guard.judge(strata, guard.share(rule.steps, st.step, "running"),
                                 rule.guard_extra_failure_points, rule.guard_min_requests,
                                 rule.guard_false_halt_percent, step=st.step)
            if st.state in ("running", "held"):
                checked = splits.current(store, rule, st.row)
        out[st.name] = rule_gauges(st, rule, strata, judged, checked)
    return out
