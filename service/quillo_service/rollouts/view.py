"""The console's Rollouts view: each guarded rule's step, share, health per
arm, the guard's evidence and the history of actions; and the banner of
halted rules that every page of the console shows."""

from .. import charts
from ..periods import day_text, time_text
from ..tables import CLOCK_RULE, FAILURE_RULE, Page, Table
from . import guard
from .queries import RolloutQueries


def _rate(arm):
    if not arm.requests:
        return "no requests"
    low, high = arm.interval
    return f"{100 * arm.rate:.2f} % [{100 * low:.2f}, {100 * high:.2f}]"


def _points(interval):
    low, high = interval
    return f"[{100 * low:+.2f}, {100 * high:+.2f}]"


def _step_rows(rule, strata):
    """Per step the rule was counted at: each arm's rate with its interval,
    the difference at that step, and the guard's evidence through it."""
    out = []
    for step in sorted({s.step for s in strata}):
        arm, control = guard.arms_at(strata, step)
        share = "(not recorded)" if step < 0 else \
            f"{guard.share(rule.steps, step, 'running'):g} %"
        if guard.no_control(guard.share(rule.steps, step, "running")) and step >= 0:
            difference, judged = "no control", "not judged: no control at 100 %"
        else:
            difference = (_points(guard.difference_interval(arm, control))
                          if arm.requests and control.requests else "")
            e = guard.evidence([s for s in strata if s.step <= step],
                               rule.guard_extra_failure_points, rule.guard_false_halt_percent)
            judged = e.describe()
        out.append((rule.name, "before steps were counted" if step < 0 else step + 1, share,
                    arm.requests, arm.failures, _rate(arm), control.requests,
                    control.failures, _rate(control), difference, judged))
    return out


def _state_text(rule, row):
    if row is None:
        return 0, "running", "not started yet"
    return row["step"], row["state"], row["why"]


def _daily_chart(r, rule, period):
    """The rule's chart: each arm's share of failed requests per day."""
    per_day = {}
    for day, which, n, f in r.per_day(rule.name, period.start, period.end):
        per_day.setdefault(day, {})[which] = 100.0 * f / n if n else None
    days = [(day_text(d), {"rule": per_day.get(d, {}).get("rule"),
                           "control": per_day.get(d, {}).get("control")})
            for d in period.days]
    series = [("rule", charts.colour(3)), ("control", charts.colour(0))]
    return (f"{rule.name}: failed requests per day, percent",
            charts.grouped_bars(days, series, f"{rule.name}: failure rate "
                                "per day"),
            [(c, n) for n, c in series])


class RolloutsView:
    title = "Rollouts"

    @staticmethod
    def build(store, config, period, filters, now):
        r = RolloutQueries(store)
        states = r.states()
        charts_, rows, forms, step_rows = [], [], [], []
        for rule in config.guarded_rules:
            row = states.get(rule.name)
            step, state, why = _state_text(rule, row)
            counted = row["from_hour"] if row else int(now // 3600)
            h = r.health(rule.name, counted)
            arm, control = (guard.Arm(*h.get(a, (0, 0))) for a in ("rule", "control"))
            strata = [guard.Stratum(*x) for x in r.strata(rule.name, counted)]
            share = guard.share(rule.steps, step, "running")
            verdict = guard.judge(strata, share, rule.guard_extra_failure_points,
                                  rule.guard_min_requests, rule.guard_false_halt_percent)
            guard_text = verdict.why if verdict.evidence is None else \
                verdict.evidence.describe()
            rows.append((rule.name, f"{step + 1} of {len(rule.steps)}", f"{share:g} %", state,
                         time_text(row["since"]) if row else "", arm.requests, arm.failures,
                         _rate(arm), control.requests, control.failures, _rate(control),
                         time_text(counted * 3600), guard_text, why))
            step_rows += _step_rows(rule, strata)
            forms.append((rule.name, {"running": ("halt", "advance"), "halted": ("resume",),
                                      "done": ("halt",)}[state]))
            charts_.append(_daily_chart(r, rule, period))
        history = [(time_text(t), rule, who, action, old, new, why)
                   for t, rule, who, action, old, new, why in r.audit()]
        return Page(
            "Staged rollouts: share, health per arm, state and history",
            charts_,
            [Table("rollouts", "Guarded rules",
                   ("rule", "step", "share", "state", "step since (UTC)", "rule requests",
                    "rule failures", "rule failure rate [95%]", "control requests",
                    "control failures", "control failure rate [95%]",
                    "counted from (UTC)", "guard", "why"), rows,
                   "Totals over every hour since the guard began counting, to describe; the "
                   "guard itself compares the arms hour by hour at one step."),
             Table("steps", "Per step: each arm, the difference, and the guard's evidence",
                   ("rule", "step", "share", "rule requests", "rule failures",
                    "rule failure rate [95%]", "control requests", "control failures",
                    "control failure rate [95%]", "difference, points [95%]",
                    "guard's evidence through this step (halts at the threshold)"),
                   step_rows),
             Table("history", "History: every action, by whom and why",
                   ("time (UTC)", "rule", "who", "action", "before", "after", "why"), history,
                   "The 200 latest, newest first.")],
            ["The rule arm is the machines the rule answered; the control is the machines "
             "that reached the rule and met its conditions but fell outside its share. "
             "A failed request is one that a failure belongs to. " + FAILURE_RULE + " "
             + CLOCK_RULE,
             "The guard compares the arms only within one hour at one step, where both saw "
             "the same conditions and the same split, and weighs the differences together. "
             "Its evidence is a likelihood ratio for \"worse than the control by more than "
             "the rule's margin\" that it may look at as often as it likes: it halts the "
             "rule when the evidence reaches its threshold, 100 divided by "
             "guard_false_halt_percent (the chance of ever halting a release no worse than "
             "the margin). At a 100 % step no machine is left for a control, and the guard "
             "does not judge."],
            forms)


def banners(store, config):
    """[(rule, time text, why)] of the halted guarded rules, for every page."""
    states = RolloutQueries(store).states()
    return [(r.name, time_text(states[r.name]["changed_at"]), states[r.name]["why"])
            for r in config.guarded_rules
            if r.name in states and states[r.name]["state"] == "halted"]
