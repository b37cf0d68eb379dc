"""Whether a guarded rule's machines split between its arms as its share
says: on plain numbers (no Flask, no database, no clock).

The guard's comparison is only fair if the rule's arm and its control are
the same population split at random.  A share applied wrongly (a step
recorded as another, a stale share in some worker), requests lost from one
arm, or machines that ask through another path all show first as a split
that does not match the share.  So the check counts machines, not requests:
a failing installer makes people run the launcher again, which inflates the
rule arm's requests exactly when the release is bad, but not its machines.

The expected split, derived from how the arms are made (launcher/rules.py,
launcher/arms.py): a machine that reaches the rule and meets its conditions
is in the rule's arm when in_rollout() puts its bucket, a hash of the rule's
name and the machine id taken modulo 10,000, below percent * 100, and in the
control otherwise (the control is every other machine the rule would
cover).  Earlier rules take machines by hashes of their own names, which
say nothing of this one's buckets.  So among the machines in either arm the
rule's share is buckets(percent) / 10,000, where buckets counts the whole
numbers 0..9999 below percent * 100: exactly 5 % at a 5 % step.  (The hash
modulo 10,000 favours low buckets by less than 1e-15.)

The test is anytime-valid, since it is looked at every minute for weeks:
the sequential multinomial test of Lindon and Malek ("Anytime-Valid
Inference for Multinomial Count Data", NeurIPS 2022).  Each new machine is
one draw of a category (rule or control) with the expected probabilities
under the null; the evidence is the Bayes factor of a Dirichlet-multinomial
mixture centred on them (Dirichlet(c * theta)) against them, a martingale
under the null, so it ever reaches 1/alpha with probability at most alpha.
It is an equal mix over a few concentrations c (CONCENTRATIONS), like the
guard's TAUS: the prior's spread of the rule's share is about
sqrt(theta (1 - theta) / c), so c = 300 suits a 5 % step split as 4 %,
3,000 a 1 % step split as 0.8 %, and 30 a split far off, found within a
few dozen machines.  A mix of martingales is itself one.
"""

import math
from typing import NamedTuple

BUCKETS = 10_000  # as launcher/rules.py in_rollout buckets machines
# 0.01 %: each step below 100 % is a test of its own, so a rollout of three
# such steps raises a false alarm with a chance of at most 0.03 %, and a
# false alarm holds a sound rollout back and calls a person.  A real
# mismatch persists and its evidence grows with the machines, so the low
# alpha costs hours, not days: a 5 % step answered as 4 % at 20,000
# requests a day is found in about 12 hours against about 10 at 0.1 %,
# where 1 of 200 sound rollouts raised a false alarm (bench/guard_sim.py).
ALPHA = 0.0001
CONCENTRATIONS = (30.0, 300.0, 3_000.0)


def expected_share(percent):
    """The fraction of the arms' machines in the rule's arm at `percent`."""
    # The same float in_rollout compares the bucket with.
    below = math.ceil(percent * 100)
    return min(max(below, 0), BUCKETS) / BUCKETS


def log_bayes_factor(counts, null, concentration):
    """log of the Dirichlet-multinomial Bayes factor of `counts` against
    the multinomial with probabilities `null` (all above 0), the prior
    Dirichlet(concentration * null):
    G(c) / G(c + N) * prod G(c p_i + n_i) / G(c p_i) / prod p_i ** n_i."""
    c = concentration
    total = sum(counts)
    out = math.lgamma(c) - math.lgamma(c + total)
    for n, p in zip(counts, null):
        if n:
            out += math.lgamma(c * p + n) - math.lgamma(c * p) - n * math.log(p)
    return out


def log_evidence(counts, null, concentrations=CONCENTRATIONS):
    """log of the equal mix of the Bayes factors over the concentrations."""
    logs = [log_bayes_factor(counts, null, c) for c in concentrations]
    top = max(logs)
    return top + math.log(sum(math.exp(g - top) for g in logs) / len(logs))


class Split(NamedTuple):
    """The check at one moment."""
    expected: float        # the rule's expected share of the machines, a fraction
    rule_machines: int
    control_machines: int
    evidence: float        # the Bayes factor against "split as the share says"; 1: none
    threshold: float       # 1 / alpha
    judged: bool           # False: no split to check (a share of 0 or 100 %)

    @property
    def machines(self):
        return self.rule_machines + self.control_machines

    @property
    def observed(self):
        """The rule's share of the machines so far, a fraction; nan: none."""
        return self.rule_machines / self.machines if self.machines else float("nan")

    @property
    def mismatch(self):
        return self.judged and self.evidence >= self.threshold

    def describe(self):
        """The check in words, with both shares and the counts."""
        if not self.judged:
            return "split not checked: at this share there is no control to split with"
        if not self.machines:
            return (f"split: no machine yet (expected {_pct(self.expected)} of machines in "
                    "the rule)")
        said = "the split does not match its share" if self.mismatch else \
            "the split matches its share so far"
        return (f"{said}: expected {_pct(self.expected)} of machines in the rule, observed "
                f"{_pct(self.observed)} ({self.rule_machines:,} of {self.machines:,} "
                f"machines at this step; {self.control_machines:,} in the control); "
                f"evidence {_figure(self.evidence)} of the {self.threshold:,.0f} it alarms at")


def _pct(fraction):
    return f"{100 * fraction:.2f} %"


def _figure(x):
    return f"{x:,.3g}" if x < 1000 else f"{x:.3g}" if x > 1e9 else f"{x:,.0f}"


def check(rule_machines, control_machines, percent, alpha=ALPHA):
    """The Split of these machine counts at a step of `percent`."""
    theta = expected_share(percent)
    threshold = 1.0 / alpha
    if theta <= 0.0 or theta >= 1.0:
        return Split(theta, rule_machines, control_machines, 1.0, threshold, False)
    log_bf = log_evidence((rule_machines, control_machines), (theta, 1.0 - theta))
    return Split(theta, rule_machines, control_machines, math.exp(min(log_bf, 700.0)),
                 threshold, True)


def by_hour(counts, percent, alpha=ALPHA):
    """[(hour, Split at its end)] from the machines first seen each hour,
    counts [(hour, rule machines, control machines)] (any order, an hour
    may appear more than once): what the check said hour by hour."""
    per = {}
    for hour, r, c in counts:
        a, b = per.get(hour, (0, 0))
        per[hour] = (a + r, b + c)
    out, r, c = [], 0, 0
    for hour in sorted(per):
        r += per[hour][0]
        c += per[hour][1]
        out.append((hour, check(r, c, percent, alpha)))
    return out
