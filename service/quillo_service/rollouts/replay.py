"""A replay of a rule's stored counts through the guard, hour by hour, on
plain values (no database, no clock): when it would have halted, and the
evidence at each hour.  A margin other than the configured one shows what
a calibration would have done with the same history.

The guard judges the counts of each hour at each step (guard.Stratum), as
rollout_counts keeps them, so a replay reads exactly what the guard read.
At the end of each hour it judges the count so far, as the guard would at
its last look in that hour: the step is the one the rule had taken by then
(its advances), and a resume starts the count afresh from the next whole
hour, as it did live.  The live guard looks every few seconds and may halt
within an hour; the replay names the hour.  It judges each hour's whole
counts as they stand now, failures reported since included, so it may name
the hour before the live halt when the guard's look in that hour came
before its end (or before those reports).  After a halt the replay goes on
judging, so its table shows how the evidence went on; a later resume in
the history ends that halt, and the replay may halt again.
"""

import bisect
from typing import NamedTuple

from . import guard


class Hour(NamedTuple):
    hour: int               # whole hours since 1970
    step: int               # from 0
    rule: guard.Arm         # the hour's own counts
    control: guard.Arm
    verdict: guard.Verdict  # of the count through this hour
    since: int              # the hour the count started at
    halted: str             # "halts" (this hour), "halted" (since an earlier one), ""


class Replay(NamedTuple):
    hours: list   # [Hour] with counts, oldest first
    halts: list   # [Hour] at which it would have halted


def replay(strata, steps, extra_points, min_requests, false_halt_percent, first_hour,
           last_hour, advances=(), restarts=()):
    """Replay guard.Stratum counts of hours [first_hour, last_hour].
    steps: the rule's steps (percent); advances: the times of its
    advances; restarts: the hours its count started afresh at (resumes)."""
    by_hour = {}
    for s in strata:
        if first_hour <= s.hour <= last_hour:
            by_hour.setdefault(s.hour, []).append(s)
    restarts = sorted(r for r in restarts if first_hour < r <= last_hour)
    tally, since, halted, hours, halts = None, first_hour, False, [], []
    for hour in sorted(set(by_hour) | set(restarts)):
        start = max([first_hour] + [r for r in restarts if r <= hour])
        if tally is None or start != since:
            tally, since, halted = guard.Tally(extra_points), start, False
        counted = sorted(by_hour.get(hour, ()))
        tally.add(counted)
        if not counted:
            continue
        step = bisect.bisect_left(list(advances), (hour + 1) * 3600)
        share = guard.share(steps, step, "running")
        judged = tally.judge(share, min_requests, false_halt_percent, step=step)
        mark = "halted" if halted else "halts" if judged.halt else ""
        rule, control = guard.Tally(0.0).add(counted).totals()
        h = Hour(hour, step, rule, control, judged, since, mark)
        if mark == "halts":
            halted = True
            halts.append(h)
        hours.append(h)
    return Replay(hours, halts)
