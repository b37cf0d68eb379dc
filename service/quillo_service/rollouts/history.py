"""The guard's evidence by the hour, kept so that a person sees how it
grew rather than only where it stands (the Rollouts page draws it against
the threshold), and so that a halt can be told from the hours before it.

The guard looks every few seconds; each look of a running rule rewrites
that rule's row of the current hour (`rollout_evidence`), and only when
something in it changed, so that a quiet rule costs no write at all.  An
hour's row is what the last look within it found; once the hour is over
the guard writes only the next one, so earlier rows never change.  Its
arms are the requests and failed requests counted in that hour (all its
steps), as they stood at that look: a failure reported later is in the
counts (rollout_counts) and in a replay, not in this row.

The check of how the machines split between the arms (split.py) is kept
beside it: the expected and observed shares of machines in the rule's arm,
and its evidence (a Bayes factor, mismatched at 1 / split.ALPHA); NULL
where it was not made (a 100 % step, a look that halted before it).
"""

import math
import weakref
from typing import NamedTuple

from ..db import retention
from . import guard
from .queries import HOUR

retention.register("rollout_evidence", "hour", HOUR)  # by the hour, as the counts they judge


class Look(NamedTuple):
    """One rule's row of one hour."""
    rule: str
    hour: int
    step: int
    evidence: float | None    # None: not judged (too few requests, no control)
    threshold: float
    difference: float | None  # the weighted difference, a fraction
    sd: float | None          # its standard error under the margin
    margin: float             # guard_extra_failure_points it was judged at
    halted: bool              # this look halted the rule
    rule_requests: int
    rule_failures: int
    control_requests: int
    control_failures: int
    split_expected: float | None
    split_observed: float | None
    split_mismatch: float | None
    looked_at: float


COLUMNS = Look._fields


def split_columns(checked):
    """(expected, observed, evidence) of a split.Split, or Nones where
    there is no check (None, or no control to split with)."""
    if checked is None or not checked.judged or not checked.machines:
        return None, None, None
    return checked.expected, checked.observed, _finite(checked.evidence)


def look(rule, row, strata, judged, now, checked=None):
    """The Look of rule `rule` (config) in state `row`, judged `judged`
    (guard.Verdict) from `strata` (guard.Stratum), at time `now`, with the
    split check `checked` (split.Split, or None)."""
    hour = int(now // HOUR)
    rn = rf = cn = cf = 0
    for s in strata:
        if s.hour == hour:
            rn, rf = rn + s.rule_requests, rf + s.rule_failures
            cn, cf = cn + s.control_requests, cf + s.control_failures
    e = judged.evidence
    split = split_columns(checked)
    return Look(rule.name, hour, row["step"], None if e is None else _finite(e.ratio),
                100.0 / rule.guard_false_halt_percent,
                None if e is None else _finite(e.difference), None if e is None else _finite(e.sd),
                rule.guard_extra_failure_points, judged.halt, rn, rf, cn, cf, *split, now)


def _finite(x):
    return x if x is not None and math.isfinite(x) else None


_written = weakref.WeakKeyDictionary()  # store -> {rule: its last Look written, but the time}


class History:
    """The hourly rows of one store."""

    def __init__(self, store):
        self.store = store

    def write(self, looks):
        """Write each Look as its rule's row of its hour, skipping those the
        last write of this process already holds (the time aside)."""
        done = _written.setdefault(self.store, {})
        fresh = [x for x in looks if done.get(x.rule) != x[:-1]]
        if not fresh:
            return 0
        p = self.store.placeholder
        keep = [c for c in COLUMNS if c not in ("rule", "hour")]
        with self.store.transaction() as conn:
            conn.cursor().executemany(
                f"INSERT INTO rollout_evidence ({', '.join(COLUMNS)}) "
                f"VALUES ({', '.join([p] * len(COLUMNS))}) ON CONFLICT (rule, hour) DO UPDATE "
                f"SET {', '.join(f'{c} = excluded.{c}' for c in keep)}",
                [(*x[:8], int(x.halted), *x[9:]) for x in fresh])
        for x in fresh:
            done[x.rule] = x[:-1]
        return len(fresh)

    def read(self, rule, first_hour, end_hour):
        """[Look] of `rule` in the hours [first_hour, end_hour), oldest first."""
        p = self.store.placeholder
        rows = self.store.read(f"SELECT {', '.join(COLUMNS)} FROM rollout_evidence "
                               f"WHERE rule = {p} AND hour >= {p} AND hour < {p} ORDER BY hour",
                               (rule, int(first_hour), int(end_hour)))
        return [Look(r[0], int(r[1]), int(r[2]), *r[3:8], bool(r[8]),
                     *(int(v) for v in r[9:13]), *r[13:]) for r in rows]
