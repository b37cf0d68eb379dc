"""The console's Rollouts view: first a card per guarded rule (its state,
the guard's verdict, how close it is to halting, and the actions beside
them; cards.py), then per rule its chart and per-step table, the method
one click away, and the history of actions.  Each rule's card has an
anchor (rule_anchor), which the banners of halted rules link to."""

import re

from .. import charts
from ..links import requests_link
from ..periods import day_text, hour_text, hours, time_text
from ..tables import CLOCK_RULE, FAILURE_RULE, Page, Table
from . import cards, changes, guard, halts, split, split_check
from .history import History
from .queries import HOUR, RolloutQueries


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


STEP_COLUMNS = ("counted", "step", "share", "rule requests", "rule failed requests",
                "rule failure rate [95%]", "control requests", "control failed requests",
                "control failure rate [95%]", "difference, points [95%]",
                "guard's evidence through this step (halts at the threshold)")


def _eras(strata, from_hour, resumes):
    """[(label, strata)], oldest first: the hours the guard judges now (from
    from_hour), and before them the hours of each count a resume ended,
    which stay to be seen but are judged no more."""
    out = {}
    for s in strata:
        if s.hour >= from_hour:
            label = f"since the guard counts from {time_text(from_hour * HOUR)} UTC"
        else:
            ended = next((t for t in resumes if s.hour < int(t // HOUR) + 1), None)
            label = (f"before the resume of {time_text(ended)} UTC" if ended is not None else
                     f"before the guard counts from {time_text(from_hour * HOUR)} UTC")
        out.setdefault(label, []).append(s)
    return list(out.items())


def _step_rows(rule, eras):
    """Per count and step: each arm's rate with its interval, the
    difference at that step, and the guard's evidence through it within
    that count."""
    out = []
    for label, strata in eras:
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
                                   rule.guard_extra_failure_points,
                                   rule.guard_false_halt_percent)
                judged = e.describe()
            out.append((label, "before steps were counted" if step < 0 else step + 1, share,
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


def _evidence_chart(store, rule, period):
    """The rule's evidence at the guard's last look in each hour of the
    period, against its threshold."""
    first, end = hours(period)
    looks = {x.hour: x for x in History(store).read(rule.name, first, end)}
    threshold = 100.0 / rule.guard_false_halt_percent
    span = period.label
    points = [(hour_text(h), looks[h].evidence if h in looks else None,
               h in looks and looks[h].halted) for h in range(first, end)]
    caption = f"{rule.name}: the guard's evidence by the hour, {span}"
    return cards.EvidenceChart(
        caption, cards.evidence_words(list(looks.values()), threshold, span),
        charts.log_line(points, threshold, caption),
        [(charts.colour(0), "evidence at the guard's last look in the hour (a gap: not "
                            "judged)"),
         (charts.colour(3), f"the threshold, {threshold:,.0f}: the guard halts the rule there")])


_WHERE = {"": "staged",
          "unstaged": "no steps any more: serves no machine until resumed",
          "gone": "gone: its instruction stays halted for new rules until it is forgotten"}
_HALT_HINT = "at once, without asking: none of its machines get it until it is resumed"
_METHOD = [
    "The rule arm is the machines the rule answered; the control is the machines that reached "
    "the rule and met its conditions but fell outside its share. A failed request is one that "
    "a failure belongs to. " + FAILURE_RULE + " " + CLOCK_RULE,
    "A halt stays with the rule's name until a person resumes it, whatever else of the rule "
    "changes; a rule new to the service that gives a halted rule's instruction starts halted "
    "too. Rules that already gave that instruction go on.",
    "The guard compares the arms only within one hour at one step, where both saw the same "
    "conditions and the same split, and weighs the differences together. Its evidence is a "
    "likelihood ratio for \"worse than the control by more than the rule's margin\" that it "
    "may look at as often as it likes: it halts the rule when the evidence reaches its "
    "threshold, 100 divided by guard_false_halt_percent (the chance of ever halting a release "
    "no worse than the margin). At a 100 % step no machine is left for a control, and the "
    "guard does not judge. A step below 100 % advances only once judged, with "
    "guard_min_requests in each arm at that step; until then it is held, up to "
    "guard_max_extend times step_hours more, and then held for a person, who may advance it. "
    "A rule with guard = \"watch\" is judged and alerted on, never halted or held. After a "
    "resume it counts afresh from the next whole hour; the counts before stay in the "
    "per-step tables, marked as before the resume.",
    "The split check counts machines, not requests (a machine that asks again is one "
    "machine): at each step below 100 % the rule's share of the machines in either arm must "
    "be the step's share, since a hash of the machine id alone puts each machine in or out. "
    f"Its evidence may be looked at as often as it likes too; at {1 / split.ALPHA:,.0f} it "
    f"alarms (a {100 * split.ALPHA:g} % chance for a sound split), and while that holds the "
    "guard does not advance the rule. "
    "It never stops a halt, nor a person's advance, which the history records with it.",
    "The evidence by the hour is what the guard found at its last look in that hour, so an "
    "hour's failures reported later are not in it (they are in the per-step tables). "
    "scripts/quillo rollouts FILE replay NAME --from DATE --to DATE runs the stored counts "
    "through the guard again, at the configured margin or another (--margin), and says when "
    "it would have halted."]


def _listing(siblings):
    return ", ".join(siblings) + " (they go on)" if siblings else ""


def _hint(st, action, config, waiting):
    """What an action changes, beside its button."""
    said = changes.widening(st, action, config, arrow="\u2192")
    if said is None:
        return _HALT_HINT
    unjudged = ", without the guard's verdict" if action == "advance" and waiting else ""
    return said.removeprefix(f"{action} {st.name}: ") + unjudged + " (asks first)"


def _facts(st, row, arm, control, answered, siblings, rule):
    kept = " (as counted when it was halted)" if row["state"] == "halted" and \
        "rule" in halts.kept(row) else ""
    out = [("at this step", f"rule {arm.describe()}; control {control.describe()}{kept}"),
           ("since it started", f"{answered:,} requests answered by the rule, at every step"),
           ("step since", f"{time_text(st.since)} UTC" if st.since else "not started yet"),
           ("guard counts from", f"{time_text(row['from_hour'] * HOUR)} UTC"),
           ("last change", row["why"])]
    if rule is not None:
        out.append(("guard", cards.guard_text(rule)))
    if st.where:
        out.append(("configuration", _WHERE[st.where]))
    if siblings:
        out.append(("also giving its installer", _listing(siblings)))
    return out


class RolloutsView:
    title = "Rollouts"

    @staticmethod
    def build(store, config, period, filters, now):
        r = RolloutQueries(store)
        plan = changes.plan(store, config)
        rules = {x.name: x for x in config.guarded_rules}
        made, rows = [], []
        for st in changes.statuses(store, config, now, start=False):
            row, rule = st.row, rules.get(st.name)
            counted = [guard.Stratum(*x) for x in r.strata(st.name, 0)]
            strata = [s for s in counted if s.hour >= row["from_hour"]]
            arm, control = cards.at_step(row, strata)
            answered = r.health(st.name, 0).get("rule", (0, 0))[0]
            judged = waiting = None
            if rule is not None:
                waiting = changes.why_not(rule, row, strata)
                judged = guard.judge(strata, guard.share(rule.steps, st.step, "running"),
                                     rule.guard_extra_failure_points, rule.guard_min_requests,
                                     rule.guard_false_halt_percent, step=st.step)
                guard_text = judged.why if judged.evidence is None else \
                    judged.evidence.describe()
            else:
                guard_text = "not judged: not staged in the configuration"
            siblings = plan.siblings.get(st.name, [])
            rows.append((st.name, f"{st.step + 1} of {st.steps}" if st.steps else st.step + 1,
                         f"{st.share:g} %", st.state, time_text(st.since),
                         arm.requests, arm.failures, _rate(arm), control.requests,
                         control.failures, _rate(control), answered,
                         time_text(row["from_hour"] * 3600), guard_text, row["why"],
                         _WHERE[st.where], _listing(siblings)))
            anchor = rule_anchor(st.name)
            steps = None if rule is None else Table(
                f"steps-{anchor}", f"{st.name}: per step, each arm, the difference and the "
                "guard's evidence", STEP_COLUMNS,
                _step_rows(rule, _eras(counted, row["from_hour"], r.resumes(st.name))),
                "Each step's counts; after a resume the guard judges only the hours from the "
                "next whole hour on, and the counts before are shown as before the resume.")
            made.append(cards.Card(
                st.name, anchor, st.state, cards.step_text(st.step, st.steps),
                cards.share_text(st.share, st.state),
                cards.verdict(row, rule, judged, guard.compared(strata), waiting, now),
                cards.bar_of(judged, st.state),
                _facts(st, row, arm, control, answered, siblings, rule),
                [(a, _hint(st, a, config, waiting)) for a in cards.actions(st.state, st.where)],
                None if rule is None else _daily_chart(r, rule, period), steps,
                requests_link("the requests it answered in this period", rule=st.name),
                rule is not None and rule.guard_mode == "watch",
                None if rule is None or st.state not in ("running", "held") else
                cards.split_text(split_check.current(store, rule, row)),
                None if rule is None else _evidence_chart(store, rule, period)))
        summary = Table(
            "rollouts", "Guarded rules",
            ("rule", "step", "share", "state", "step since (UTC)",
             "rule requests at this step", "rule failed requests at this step",
             "rule failure rate at this step [95%]", "control requests at this step",
             "control failed requests at this step",
             "control failure rate at this step [95%]",
             "requests the rule answered since it started",
             "guard counts from (UTC)", "guard", "why", "configuration",
             "also giving its installer"), rows)
        history = [(time_text(t), rule, who, action, old, new, why)
                   for t, rule, who, action, old, new, why in r.audit()]
        return Page(
            "Staged rollouts: state, the guard's verdict and what to do, then the figures",
            [],
            [Table("history", "History: every action, by whom and why",
                   ("time (UTC)", "rule", "who", "action", "before", "after", "why"), history,
                   "The 200 latest, newest first.")],
            cards=cards.Cards(made, _METHOD,
                              [summary] + [c.steps for c in made if c.steps is not None]))
