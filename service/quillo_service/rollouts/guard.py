"""The guard's decisions, on plain numbers: no Flask, no database, no clock.

A guarded rollout compares two arms: the machines the rule answered and a
control (see counting.py).  Two things make that comparison hard.

Conditions change.  Failure rates move with the hour and the day, and each
advance changes how the requests split between the arms: after an advance
the rule arm is mostly the new hours and the control mostly the old ones.
So the arms are compared only within strata, one hour at one step, where
both saw the same conditions and the same split, and the per-stratum
differences are combined with Cochran-Mantel-Haenszel weights,
w = n_rule * n_control / (n_rule + n_control).  Pooling the arms' counts
across strata would read any change over time as the release's doing.

The guard looks every few seconds for weeks.  A fixed 95 % interval tested
again at every look is crossed by chance sooner or later, so the test is a
mixture sequential probability ratio test (Lindon, Sanden and Shirikian,
"Rapid Regression Detection in Software Deployments through Sequential
Testing", KDD 2022): the weighted difference D is nearly normal with the
variance V it has under "no worse than the margin", and the evidence is the
likelihood ratio of D, averaged over a half-normal mixture of how much worse
than the margin the release is, against the margin itself.  That
ratio is a (super)martingale while the release is no worse than the margin,
so it ever reaches 1/alpha with probability at most alpha, however often it
is looked at: the guard halts when it does.  The mixture is itself an
equal mix of a few scales (TAUS), so that both a slightly and a badly worse
release are found soon.

Each arm's rate is shown with a 95 % Wilson score interval, and the
difference at one step with Newcombe's interval built from the two (his
method 10); those are descriptions for people, not the test.
"""

import math
from typing import NamedTuple

Z95 = 1.959963984540054  # two-sided 95%
# The mixture's scales, as fractions, weighed equally: the small ones find a
# release a point or two worse than the margin within a few thousand
# requests, the large ones one that fails far more within a few dozen
# (bench/guard_sim.py).  An average of such ratios is itself one.
TAUS = (0.01, 0.03, 0.1, 0.3)


def wilson(failures, requests, z=Z95):
    """(low, high) of the failure rate, as fractions.  No requests: (0, 1)."""
    if requests <= 0:
        return 0.0, 1.0
    failures = min(max(failures, 0), requests)
    p = failures / requests
    z2n = z * z / requests
    centre = (p + z2n / 2) / (1 + z2n)
    half = z * math.sqrt(p * (1 - p) / requests + z2n / (4 * requests)) / (1 + z2n)
    return max(0.0, centre - half), min(1.0, centre + half)


class Arm(NamedTuple):
    requests: int
    failures: int

    @property
    def rate(self):
        return min(self.failures, self.requests) / self.requests if self.requests > 0 else 0.0

    @property
    def interval(self):
        return wilson(self.failures, self.requests)

    def describe(self):
        """"3.1 % [2.2, 4.4] failed of 1,204 requests", or "no requests yet"
        (an interval of nothing would read [0.0, 100.0])."""
        if self.requests <= 0:
            return "no requests yet"
        low, high = self.interval
        return (f"{100 * self.rate:.1f} % [{100 * low:.1f}, {100 * high:.1f}] "
                f"failed of {self.requests:,} requests")


def describe_arms(rule, control):
    """Both arms at one step, saying so: what a halt records and shows."""
    return f"at this step, rule {rule.describe()}, control {control.describe()}"


def difference_interval(rule, control):
    """(low, high) of the 95 % interval of rule.rate - control.rate (Newcombe)."""
    rule_low, rule_high = rule.interval
    control_low, control_high = control.interval
    d = rule.rate - control.rate
    return (d - math.hypot(rule.rate - rule_low, control_high - control.rate),
            d + math.hypot(rule_high - rule.rate, control.rate - control_low))


class Stratum(NamedTuple):
    """The counts of one hour at one step."""
    step: int
    hour: int
    rule_requests: int
    rule_failures: int
    control_requests: int
    control_failures: int

    @property
    def rule(self):
        return Arm(self.rule_requests, self.rule_failures)

    @property
    def control(self):
        return Arm(self.control_requests, self.control_failures)


class Evidence(NamedTuple):
    difference: float  # the weighted difference rule - control, a fraction; nan: none
    sd: float          # its standard error under the margin
    ratio: float       # the mixture likelihood ratio against "no worse than the margin"
    threshold: float   # 1 / alpha: the guard halts at or above it

    def describe(self):
        if math.isnan(self.difference):
            return f"no evidence yet (halts at {self.threshold:,.0f})"
        return (f"difference {100 * self.difference:+.2f} points (sd {100 * self.sd:.2f}), "
                f"evidence {ratio_text(self.ratio)} of {self.threshold:,.0f}")


def ratio_text(ratio):
    return f"{ratio:,.3g}" if ratio < 1000 else f"{ratio:.3g}" if ratio > 1e9 else f"{ratio:,.0f}"


class Tally:
    """The guard's sums over strata added one at a time, oldest first, at
    one margin: `judge` and `evidence` of a history and of each of its
    prefixes (a replay, hour by hour) come from the same sums, in one pass."""

    def __init__(self, extra_points):
        self.extra_points = extra_points
        self.margin = extra_points / 100
        self.weight = self.score = self.variance = 0.0
        self.compared = (0, 0)  # (rule, control) requests in the strata that hold both
        self.steps = {}         # {step: [rule requests, failures, control requests, failures]}

    def add(self, strata):
        for s in strata:
            arms = self.steps.setdefault(s.step, [0, 0, 0, 0])
            for i, v in enumerate(s[2:]):
                arms[i] += v
            n, m = s.rule_requests, s.control_requests
            if n <= 0 or m <= 0:
                continue  # no comparison within this hour and step
            self.compared = (self.compared[0] + n, self.compared[1] + m)
            w = n * m / (n + m)
            d = min(s.rule_failures, n) / n - min(s.control_failures, m) / m
            # The variance at the null's edge: the control at the stratum's
            # pooled rate, the rule that plus the margin.
            p = min(s.rule_failures + s.control_failures, n + m) / (n + m)
            q = min(p + self.margin, 1.0)
            self.weight += w
            self.score += w * d
            self.variance += w * w * (q * (1 - q) / n + p * (1 - p) / m)
        return self

    def evidence(self, false_halt_percent, taus=TAUS):
        """The test's evidence from the strata added that hold both arms."""
        threshold = 100.0 / false_halt_percent
        if self.weight == 0:
            return Evidence(float("nan"), float("nan"), 0.0, threshold)
        diff = self.score / self.weight
        v = self.variance / (self.weight * self.weight)
        if v <= 0:  # not one failure anywhere: nothing tells the arms apart
            return Evidence(diff, 0.0, 1.0, threshold)
        x = diff - self.margin
        logs = [_log_ratio(x, v, tau) for tau in taus]
        top = max(logs)
        log_ratio = top + math.log(sum(math.exp(g - top) for g in logs) / len(logs))
        return Evidence(diff, math.sqrt(v), math.exp(min(log_ratio, 700.0)), threshold)

    def arms_at(self, step):
        """(rule, control) as Arm, pooled over the hours of one step."""
        rn, rf, cn, cf = self.steps.get(step, (0, 0, 0, 0))
        return Arm(rn, rf), Arm(cn, cf)

    def totals(self):
        """(rule, control) as Arm, pooled over every step: to describe, never to judge by."""
        rn, rf, cn, cf = (sum(a[i] for a in self.steps.values()) for i in range(4))
        return Arm(rn, rf), Arm(cn, cf)

    def judge(self, share, min_requests, false_halt_percent, step=None):
        """judge() of the strata added."""
        if no_control(share):
            return Verdict(False, None, "no control at 100 %: every machine gets the rule, "
                                        "so the guard has nothing to compare it with")
        if min(self.compared) < min_requests:
            return Verdict(False, None, f"waiting for {min_requests:,} requests in each arm")
        e = self.evidence(false_halt_percent)
        # The arms as a halt records them (every hour of the step), so that
        # the verdict and the halt name the same figures.
        rule, control = self.arms_at(max(self.steps) if step is None else step)
        figures = f"{describe_arms(rule, control)}; {e.describe()}"
        if e.ratio >= e.threshold and e.difference > self.margin:
            return Verdict(True, e, f"guard: failure rate {100 * e.difference:.1f} points above "
                                    f"the control, hour by hour (allowed "
                                    f"{self.extra_points:g}): {figures}")
        return Verdict(False, e, figures)


def evidence(strata, extra_points, false_halt_percent, taus=TAUS):
    """The test's evidence from the strata that hold both arms."""
    return Tally(extra_points).add(strata).evidence(false_halt_percent, taus)


def _log_ratio(x, v, tau):
    """log of the likelihood ratio of an estimate x above the margin, with
    variance v, under a half-normal mixture of scale tau over how much the
    truth is above the margin, against the margin itself:
    2 Phi(x tau / sqrt(v (v + t2))) sqrt(v / (v + t2)) exp(t2 x^2 / (2 v (v + t2)))
    with t2 = tau^2."""
    t2 = tau * tau
    return (math.log(2 * _phi(x * tau / math.sqrt(v * (v + t2))) or 1e-300)
            + 0.5 * math.log(v / (v + t2)) + t2 * x * x / (2 * v * (v + t2)))


def _phi(z):
    return 0.5 * math.erfc(-z / math.sqrt(2))


def arms_at(strata, step):
    """(rule, control) as Arm, pooled over the hours of one step: within a
    step the split is fixed, so these two compare fairly."""
    return Tally(0.0).add(s for s in strata if s.step == step).arms_at(step)


class Verdict(NamedTuple):
    halt: bool
    evidence: Evidence | None  # None: not judged (no control, or too few requests)
    why: str


def compared(strata):
    """(rule requests, control requests) in the hours that hold both arms:
    what the guard's minimum of requests is counted on."""
    return Tally(0.0).add(strata).compared


def no_control(share):
    return share >= 100


def judge(strata, share, extra_points, min_requests, false_halt_percent, step=None):
    """Whether the rule must halt.  `strata`: its Stratum counts since it was
    started or resumed; `share`: the percent it answers now; `step`: the
    step it is at (default the latest counted), whose arms the verdict
    names.  No verdict at a 100 % step, where no machine is left for a
    control, nor before both arms have min_requests in the hours that hold
    both."""
    return Tally(extra_points).add(strata).judge(share, min_requests, false_halt_percent, step)


def step_due(step, since, steps, step_hours, now):
    """"advance" when the step has been held step_hours and a higher one
    follows, "done" when the last step has been held that long, else None."""
    if now - since < step_hours * 3600:
        return None
    return "advance" if step < len(steps) - 1 else "done"


def share(steps, step, state):
    """Percent of machines a rule in this state answers: none while halted."""
    if state == "halted":
        return 0.0
    return float(steps[min(max(step, 0), len(steps) - 1)])
