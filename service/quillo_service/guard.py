"""The guard's decisions, on plain numbers: no Flask, no database, no clock.

A guarded rollout compares two arms: the machines the rule answered and a
control (see rollouts.py).  Each arm's failure rate gets a 95% Wilson score
interval, which stays inside 0..1 and stays sensible at 0 failures or a
handful of requests, where the plain normal interval collapses to a point.
The difference of the two rates gets Newcombe's interval built from the two
Wilson intervals (his method 10), and the guard halts only when even the
lower end of that difference is worse than the allowed margin.
"""

import math
from typing import NamedTuple

Z95 = 1.959963984540054  # two-sided 95%


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
        """"3.1 % [2.2, 4.4] of 1,204" """
        low, high = self.interval
        return (f"{100 * self.rate:.1f} % [{100 * low:.1f}, {100 * high:.1f}] "
                f"of {self.requests:,}")


def difference_low(rule, control):
    """Lower end of the 95% interval of rule.rate - control.rate (Newcombe)."""
    rule_low, _ = rule.interval
    _, control_high = control.interval
    return (rule.rate - control.rate) - math.hypot(rule.rate - rule_low,
                                                   control_high - control.rate)


class Verdict(NamedTuple):
    halt: bool
    low: float   # lower end of the difference, in percentage points
    why: str


def judge(rule, control, extra_points, min_requests):
    """Whether the rule must halt: both arms have at least min_requests and
    the lower end of the difference is above extra_points."""
    if rule.requests < min_requests or control.requests < min_requests:
        return Verdict(False, float("nan"),
                       f"waiting for {min_requests:,} requests in each arm")
    low = 100 * difference_low(rule, control)
    figures = f"rule {rule.describe()}, control {control.describe()}"
    if low > extra_points:
        return Verdict(True, low, f"guard: failure rate at least {low:.1f} points above "
                                  f"the control (allowed {extra_points:g}): {figures}")
    return Verdict(False, low, figures)


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
