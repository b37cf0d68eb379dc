"""How often the rollouts' guard halts a release, in seeded simulations.

    /usr/bin/python3 bench/guard_sim.py [--runs N] [--judge old|new|both] [--asks N]

Drives the guard's own decision functions (quillo_service/guard.py) on
simulated traffic, no HTTP and no database: requests arrive evenly, each
machine falls in the rule's share at random, each request fails at its
arm's rate of the day, the counts are kept per (hour, step, arm) as the
store keeps them, and the guard looks every `--every` requests.

1. An equal release: both arms fail at 3 % on odd days and 9 % on even
   days, steps [5, 25, 50, 100] held 24 hours each, margin 0.  Target: at
   most 2 halts in 200 runs.  The same at a constant 3 % shows what
   looking often does alone.
2. A bad release: the rule fails at 6 %, the control at 3 %, at a 5 % step,
   margin 1 point.  Target: halted within 4,000 rule-arm requests in at
   least 190 of 200 runs; the median and 95th percentile are printed.
3. The two days reported by a publisher (day 1 at 5 %: rule 32/1,017,
   control 569/18,983; day 2 at 50 %: rule 908/10,084, control 899/9,916):
   the verdict.

The split check (quillo_service/rollouts/split.py), on machines: each
request is a machine's first at its step with probability 1 / --asks
(the machine's later requests add none), and each such machine falls in the
rule at the share the requests were really answered with.
4. A sound split, steps [5, 25, 50, 100] of 24 hours: target no split
   alarm in 200 runs.
5. A 5 % step answered as 4 %: target found within a day in at least 190
   of 200 runs (the hours to the alarm are printed, and the same with
   machines that ask twice as often).
6. Case 2's bad release whose rule-arm machines run the launcher again,
   30 % more rule-arm requests: target still halted within 4,000 rule-arm
   requests in at least 190 of 200 runs, and no split alarm (a check on
   requests instead of machines is printed beside it).

"old" is the guard as it first shipped: one 95 % interval of the difference
of the two arms' rates pooled over every hour, re-tested at every look.
"""

import argparse
import os
import random
import statistics
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if "quillo_service" not in sys.modules:  # else its importer chose the checkout
    sys.path.insert(0, os.path.join(SOURCE, "service"))

from quillo_service.rollouts import guard  # noqa: E402

try:
    from quillo_service.rollouts import split
except ImportError:  # a checkout from before the split check (scale.py --tree): judged alone
    split = None

MIN_REQUESTS = 500  # the configuration's default guard_min_requests


def old_judge(strata, share, margin):
    """The first guard: both arms pooled over every stratum, a fixed 95 %
    interval of the difference, re-tested at every look."""
    rule = guard.Arm(sum(s[0] for s in strata.values()), sum(s[1] for s in strata.values()))
    control = guard.Arm(sum(s[2] for s in strata.values()),
                        sum(s[3] for s in strata.values()))
    if rule.requests < MIN_REQUESTS or control.requests < MIN_REQUESTS:
        return False
    return 100 * guard.difference_interval(rule, control)[0] > margin


def new_judge(strata, share, margin, false_halts=1.0):
    strata = [guard.Stratum(step, hour, *s) for (hour, step), s in strata.items()]
    return guard.judge(strata, share, margin, MIN_REQUESTS, false_halts).halt


JUDGES = {"old": old_judge, "new": new_judge}


def run(judge, seed, steps, step_hours, hours, rates, margin, every, per_hour):
    """One rollout.  rates(hour, arm) is the failure rate.  Returns the
    rule-arm requests when the guard halted it, or None when it never did."""
    rng = random.Random(seed)
    strata = {}
    rule_requests = 0
    for i in range(int(hours * per_hour)):
        hour = i // per_hour
        step = min(int(hour // step_hours), len(steps) - 1)
        share = steps[step]
        s = strata.get((hour, step))
        if s is None:
            s = strata[(hour, step)] = [0, 0, 0, 0]
        if rng.random() * 100 < share:
            s[0] += 1
            s[1] += rng.random() < rates(hour, "rule")
            rule_requests += 1
        else:
            s[2] += 1
            s[3] += rng.random() < rates(hour, "control")
        if (i + 1) % every == 0 and judge(strata, share, margin):
            return rule_requests
    return None


def equal_release(judge, runs, every, per_hour):
    def rates(hour, arm):
        return 0.03 if (hour // 24) % 2 == 0 else 0.09
    return [run(judge, seed, (5, 25, 50, 100), 24, 96, rates, 0.0, every, per_hour)
            for seed in range(runs)]


def constant_release(judge, runs, every, per_hour):
    """Equal arms at a constant 3 %: what looking often alone does."""
    return [run(judge, 500 + seed, (5, 25, 50, 100), 24, 96, lambda h, a: 0.03, 0.0, every,
                per_hour) for seed in range(runs)]


def bad_release(judge, runs, every, per_hour):
    def rates(hour, arm):
        return 0.06 if arm == "rule" else 0.03
    # One 5 % step held longer than it takes: 8,000 rule-arm requests on average.
    hours = 160_000 / per_hour
    return [run(judge, 1000 + seed, (5, 100), 10**6, hours, rates, 1.0, every, per_hour)
            for seed in range(runs)]


def reported_days(judge):
    strata = {(0, 0): [1017, 32, 18983, 569], (24, 2): [10084, 908, 9916, 899]}
    return judge(strata, 50, 0.0) or judge(strata, 50, 2.0)


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def evaluate(name, runs=200, every=100, per_day=20_000):
    """The cases above for one judge: a dict of what was measured, and
    whether each target was met."""
    judge = JUDGES[name]
    per_hour = per_day // 24
    began = time.monotonic()
    false = sum(x is not None for x in equal_release(judge, runs, every, per_hour))
    constant = sum(x is not None for x in constant_release(judge, runs, every, per_hour))
    bad = bad_release(judge, runs, every, per_hour)
    caught = [x for x in bad if x is not None]
    within = sum(x <= 4000 for x in caught)
    return {"runs": runs, "false_halts": false, "false_ok": false <= 2 * runs / 200,
            "constant_halts": constant, "caught_within": within,
            "caught_ok": within >= 190 * runs / 200,
            "median": statistics.median(caught) if caught else None,
            "p95": percentile(caught, 0.95) if caught else None,
            "never": len(bad) - len(caught), "reported_halted": reported_days(judge),
            "seconds": time.monotonic() - began}


def report(r):
    """The lines that say evaluate's results."""
    runs = r["runs"]
    lines = [f"equal release (3 %/9 % by day, steps 5-25-50-100, margin 0): halted in "
             f"{r['false_halts']} of {runs} runs (target at most 2) "
             f"{'ok' if r['false_ok'] else 'MISSED'}",
             f"equal release at a constant 3 % (margin 0): halted in {r['constant_halts']} of "
             f"{runs} runs"]
    if r["median"] is not None:
        lines.append(f"bad release (6 % against 3 %, 5 % step, margin 1): halted within 4,000 "
                     f"rule-arm requests in {r['caught_within']} of {runs} runs (target at "
                     f"least 190) {'ok' if r['caught_ok'] else 'MISSED'}; rule-arm requests at "
                     f"the halt: median {r['median']:,.0f}, 95th percentile {r['p95']:,}, "
                     f"never halted {r['never']}")
    else:
        lines.append("bad release: never halted MISSED")
    lines.append(f"the two reported days (equal arms, 3 % then 9 %): "
                 f"{'HALTED' if r['reported_halted'] else 'not halted'} (target not halted) "
                 f"{'MISSED' if r['reported_halted'] else 'ok'}")
    return lines


def split_run(seed, steps, step_hours, answered, per_hour, asks, every):
    """One rollout's split check.  answered(share) is the percent the
    machines are really answered with at a step of `share`.  Returns the
    hours from the start of the first step with a split alarm, or None."""
    rng = random.Random(seed)
    for step, share in enumerate(steps):
        if guard.no_control(share):
            continue
        real = answered(share) / 100
        rule = control = 0
        for i in range(int(step_hours * per_hour)):
            if rng.random() * asks < 1:
                if rng.random() < real:
                    rule += 1
                else:
                    control += 1
            if (i + 1) % every == 0 and split.check(rule, control, share).mismatch:
                return step * step_hours + (i + 1) / per_hour
    return None


def retry_run(seed, per_hour, asks, every, retry=0.3):
    """Case 2's bad release, each rule-arm run followed by another of the
    same machine with probability `retry`.  Returns (rule-arm requests at
    the halt or None, hour of a split alarm on machines or None, the same
    on requests)."""
    rng = random.Random(1000 + seed)
    strata = {}
    rule_requests = 0
    machines = [0, 0]
    requests = [0, 0]
    split_at = by_requests = None
    for i in range(int(160_000 / per_hour * per_hour)):
        hour = i // per_hour
        s = strata.setdefault((hour, 0), [0, 0, 0, 0])
        new = rng.random() * asks < 1
        arm = 0 if rng.random() * 100 < 5 else 1
        runs = 1 + (arm == 0 and rng.random() < retry)
        for _ in range(runs):
            s[2 * arm] += 1
            s[2 * arm + 1] += rng.random() < (0.06 if arm == 0 else 0.03)
        machines[arm] += new
        requests[arm] += runs
        rule_requests += runs if arm == 0 else 0
        if (i + 1) % every == 0:
            if split_at is None and split.check(*machines, 5).mismatch:
                split_at = hour
            if by_requests is None and split.check(*requests, 5).mismatch:
                by_requests = hour
            if new_judge(strata, 5, 1.0):
                return rule_requests, split_at, by_requests
    return None, split_at, by_requests


def evaluate_split(runs=200, every=100, per_day=20_000, asks=1.0):
    """Cases 4 to 6: a dict of what was measured, and whether each target was met."""
    per_hour = per_day // 24
    began = time.monotonic()
    sound = [split_run(2000 + seed, (5, 25, 50, 100), 24, lambda share: share, per_hour,
                       asks, every) for seed in range(runs)]
    off = [split_run(3000 + seed, (5,), 24 * 7, lambda share: 4.0, per_hour, asks, every)
           for seed in range(runs)]
    found = [h for h in off if h is not None]
    # the same with machines that ask twice as often: half the machines
    twice = [h for h in (split_run(3000 + seed, (5,), 24 * 7, lambda share: 4.0, per_hour,
                                   2 * asks, every) for seed in range(runs)) if h is not None]
    retried = [retry_run(seed, per_hour, asks, every) for seed in range(runs)]
    halted = [r for r, _, _ in retried if r is not None]
    within = sum(r <= 4000 for r in halted)
    alarms = sum(m is not None for _, m, _ in retried)
    return {"runs": runs, "asks": asks, "sound_alarms": sum(h is not None for h in sound),
            "off_within_day": sum(h <= 24 for h in found),
            "off_within_ok": sum(h <= 24 for h in found) >= 190 * runs / 200,
            "off_median": statistics.median(found) if found else None,
            "off_p95": percentile(found, 0.95) if found else None,
            "off_never": len(off) - len(found),
            "twice_within_day": sum(h <= 24 for h in twice),
            "twice_median": statistics.median(twice) if twice else None,
            "retry_within": within, "retry_ok": within >= 190 * runs / 200,
            "retry_median": statistics.median(halted) if halted else None,
            "retry_split_alarms": alarms,
            "retry_request_alarms": sum(q is not None for _, _, q in retried),
            "seconds": time.monotonic() - began}


def report_split(r):
    runs = r["runs"]
    lines = [f"(a machine asks {r['asks']:g} times a step on average)",
             f"sound split (steps 5-25-50-100 of 24 hours): a split alarm in "
             f"{r['sound_alarms']} of {runs} runs (target none) "
             f"{'ok' if r['sound_alarms'] == 0 else 'MISSED'}"]
    if r["off_median"] is not None:
        lines.append(f"5 % step answered as 4 %: found within 24 hours in "
                     f"{r['off_within_day']} of {runs} runs "
                     f"(target at least 190) {'ok' if r['off_within_ok'] else 'MISSED'}; hours "
                     "to the "
                     f"alarm: median {r['off_median']:.1f}, 95th percentile "
                     f"{r['off_p95']:.1f}, never {r['off_never']}")
        if r["twice_median"] is not None:
            lines.append(f"  the same with machines asking {2 * r['asks']:g} times a step: "
                         f"within 24 hours in {r['twice_within_day']} of {runs} runs, median "
                         f"{r['twice_median']:.1f} hours")
    else:
        lines.append("5 % step answered as 4 %: never found MISSED")
    median = f"{r['retry_median']:,.0f}" if r["retry_median"] is not None else "none"
    lines.append(f"bad release, rule-arm machines run again (+30 % requests): halted within "
                 f"4,000 rule-arm requests in {r['retry_within']} of {runs} runs (target at "
                 f"least 190) {'ok' if r['retry_ok'] else 'MISSED'}, median {median}; a split "
                 f"alarm on machines in {r['retry_split_alarms']} (target none) "
                 f"{'ok' if r['retry_split_alarms'] == 0 else 'MISSED'}, "
                 f"on requests it would be {r['retry_request_alarms']}")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--every", type=int, default=100, help="requests between looks")
    parser.add_argument("--per-day", type=int, default=20_000, help="requests a day")
    parser.add_argument("--judge", choices=("old", "new", "both"), default="both")
    # A setup launcher runs once to install, and again when that fails.
    parser.add_argument("--asks", type=float, default=1.0,
                        help="requests a machine makes at a step, on average (split check)")
    args = parser.parse_args()
    if args.asks < 1:
        parser.error("--asks: a machine asks at least once")
    names = list(JUDGES) if args.judge == "both" else [args.judge]
    print(f"{args.runs} seeded runs per case, {args.per_day // 24 * 24:,} requests a day, "
          f"the guard looking every {args.every} requests")
    for name in names:
        r = evaluate(name, args.runs, args.every, args.per_day)
        print(f"\n[{name} judge]")
        for line in report(r):
            print("  " + line)
        print(f"  ({r['seconds']:.0f} s)")
    if split is None:
        print("\n[split check] not in this checkout")
        return
    r = evaluate_split(args.runs, args.every, args.per_day, args.asks)
    print("\n[split check]")
    for line in report_split(r):
        print("  " + line)
    print(f"  ({r['seconds']:.0f} s)")


if __name__ == "__main__":
    main()
