"""The console's Rollouts view: each guarded rule's step, share, health per
arm, the guard's evidence and the history of actions.  Each rule's row has
an anchor (rule_anchor), which the banners of halted rules link to."""

import re

from .. import charts
from ..periods import day_text, time_text
from ..tables import CLOCK_RULE, FAILURE_RULE, Page, Table
from . import changes, guard, halts
from .queries import RolloutQueries


def rule_anchor(name):
    """The id of a rule's row: its name with every character but letters,
    digits, - and _ written as .XX, so that two names never share one and
    the id needs no escaping in an address."""
    return "rule-" + re.sub(r"[^A-Za-z0-9_-]", lambda m: "." + m.group().encode().hex(), name)


def _rate(arm):
    if not arm.requests:
        return "no requests"
    low, high = arm.interval
    # As Arm.describe writes it in the halt's why: the same figure reads the same.
    return f"{100 * arm.rate:.1f} % [{100 * low:.1f}, {100 * high:.1f}]"


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


def _at_step(row, strata):
    """(rule, control) as guard.Arm at the rule's step: as counted when it
    was halted for a halted rule (the figures its halt shows), else now."""
    kept = halts.kept(row) if row["state"] == "halted" else {}
    if "rule" in kept:
        return guard.Arm(*kept["rule"]), guard.Arm(*kept["control"])
    return guard.arms_at(strata, row["step"])


_WHERE = {"": "staged",
          "unstaged": "no steps any more: serves no machine until resumed",
          "gone": "gone: its instruction stays halted for new rules until it is forgotten"}
_ACTIONS = {"running": ("halt", "advance"), "halted": ("resume",), "done": ("halt",)}


def _listing(siblings):
    return ", ".join(siblings) + " (they go on)" if siblings else ""


class RolloutsView:
    title = "Rollouts"

    @staticmethod
    def build(store, config, period, filters, now):
        r = RolloutQueries(store)
        plan = changes.plan(store, config)
        rules = {x.name: x for x in config.guarded_rules}
        charts_, rows, forms, step_rows = [], [], [], []
        for st in changes.statuses(store, config, now, start=False):
            row, rule = st.row, rules.get(st.name)
            strata = [guard.Stratum(*x) for x in r.strata(st.name, row["from_hour"])]
            arm, control = _at_step(row, strata)
            answered = r.health(st.name, 0).get("rule", (0, 0))[0]
            if rule is not None:
                verdict = guard.judge(strata, guard.share(rule.steps, st.step, "running"),
                                      rule.guard_extra_failure_points, rule.guard_min_requests,
                                      rule.guard_false_halt_percent, step=st.step)
                guard_text = verdict.why if verdict.evidence is None else \
                    verdict.evidence.describe()
                step = f"{st.step + 1} of {st.steps}"
            else:
                guard_text, step = "not judged: not staged in the configuration", st.step + 1
            rows.append((st.name, step, f"{st.share:g} %", st.state, time_text(st.since),
                         arm.requests, arm.failures, _rate(arm), control.requests,
                         control.failures, _rate(control), answered,
                         time_text(row["from_hour"] * 3600), guard_text, row["why"],
                         _WHERE[st.where], _listing(plan.siblings.get(st.name, []))))
            if rule is not None:
                step_rows += _step_rows(rule, strata)
                charts_.append(_daily_chart(r, rule, period))
            forms.append((st.name, ("forget",) if st.where == "gone" else _ACTIONS[st.state]))
        history = [(time_text(t), rule, who, action, old, new, why)
                   for t, rule, who, action, old, new, why in r.audit()]
        return Page(
            "Staged rollouts: share, health per arm, state and history",
            charts_,
            [Table("rollouts", "Guarded rules",
                   ("rule", "step", "share", "state", "step since (UTC)",
                    "rule requests at this step", "rule failed requests at this step",
                    "rule failure rate at this step [95%]", "control requests at this step",
                    "control failed requests at this step",
                    "control failure rate at this step [95%]",
                    "requests the rule answered since it started",
                    "guard counts from (UTC)", "guard", "why", "configuration",
                    "also giving its installer"), rows,
                   "At this step: the requests counted since the step was taken (since the "
                   "next whole hour after a resume), both arms from the same hours; for a "
                   "halted rule, as counted when it was halted, the figures its halt names. "
                   "Since it started: every request the rule answered, at every step.",
                   [rule_anchor(row[0]) for row in rows]),
             Table("steps", "Per step: each arm, the difference, and the guard's evidence",
                   ("rule", "step", "share", "rule requests", "rule failed requests",
                    "rule failure rate [95%]", "control requests", "control failed requests",
                    "control failure rate [95%]", "difference, points [95%]",
                    "guard's evidence through this step (halts at the threshold)"),
                   step_rows, "Each step's counts since the guard counts from."),
             Table("history", "History: every action, by whom and why",
                   ("time (UTC)", "rule", "who", "action", "before", "after", "why"), history,
                   "The 200 latest, newest first.")],
            ["The rule arm is the machines the rule answered; the control is the machines "
             "that reached the rule and met its conditions but fell outside its share. "
             "A failed request is one that a failure belongs to. " + FAILURE_RULE + " "
             + CLOCK_RULE,
             "A halt stays with the rule's name until a person resumes it, whatever else of "
             "the rule changes; a rule new to the service that gives a halted rule's "
             "instruction starts halted too. Rules that already gave that instruction go on.",
             "The guard compares the arms only within one hour at one step, where both saw "
             "the same conditions and the same split, and weighs the differences together. "
             "Its evidence is a likelihood ratio for \"worse than the control by more than "
             "the rule's margin\" that it may look at as often as it likes: it halts the "
             "rule when the evidence reaches its threshold, 100 divided by "
             "guard_false_halt_percent (the chance of ever halting a release no worse than "
             "the margin). At a 100 % step no machine is left for a control, and the guard "
             "does not judge."],
            forms)
