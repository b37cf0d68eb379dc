"""The Rollouts page's cards, on plain values (no Flask, no database, no
clock): for each rule its state, the guard's verdict in one sentence, how
close the guard is to halting as a bar, and the actions its state allows.
rollouts/view.py reads the counts and builds them; the console's template
admin/rollout_cards.html lays them out."""

import math
from typing import NamedTuple

from ..periods import hour_text, time_text
from . import advance, guard, halts
from .words import by_whom, percent

# The actions each state allows, right beside it; a rule gone from the
# configuration can only be forgotten.
ACTIONS = {"running": ("halt", "advance"), "held": ("halt", "advance"), "halted": ("resume",),
           "done": ("halt",)}
GONE_ACTIONS = ("forget",)


class Bar(NamedTuple):
    """The guard's evidence against its threshold, both on a log scale: the
    evidence multiplies as failures pile up, so its logarithm moves evenly."""
    filled: float  # percent of the bar, 0 to 100
    level: str     # "calm" (under half way), "near", "over" (at the threshold: it halts)
    text: str      # its figures in words
    title: str     # the logarithms it is drawn from


class Card(NamedTuple):
    name: str
    anchor: str       # the card's id, which the banners link to
    state: str        # running, halted or done
    step: str         # "step 2 of 3"
    share: str        # "50 % of matching machines"
    verdict: str      # the guard's verdict, one sentence
    bar: Bar | None   # None: nothing to weigh (not judged)
    facts: list       # [(label, text)] shown under the verdict
    actions: list     # [(action, what it changes in words, or "")]
    chart: tuple | None  # (caption, svg, legend) of the rule, or None
    steps: object     # the rule's per-step tables.Table, or None
    requests: object = None  # a tables.Link to the requests the rule answered
    watching: bool = False   # guard = "watch": judged and alerted, never halted or held
    split: tuple = None      # (the split check in words, whether it holds the rule), or None
    evidence: object = None  # EvidenceChart of the rule, or None


class EvidenceChart(NamedTuple):
    """The guard's evidence by the hour, in words first and then drawn."""
    caption: str   # what it shows, over which span
    said: list     # sentences: the highest, the halt, the last look
    svg: object    # charts.log_line
    legend: list   # [(colour, text)]


def evidence_words(looks, threshold, span):
    """What a rule's hourly rows (history.Look) say, in sentences."""
    judged = [x for x in looks if x.evidence is not None]
    if not judged:
        return [f"The guard judged it in no hour of {span}: it judges a running rule once "
                "both arms have their minimum of requests, and not at a 100 % step."]
    top = max(judged, key=lambda x: x.evidence)
    out = [f"Its evidence was highest in the hour from {hour_text(top.hour)} UTC: "
           f"{_figure(top.evidence)} of the {threshold:,.0f} it halts at."]
    out += [f"It reached the threshold in the hour from {hour_text(x.hour)} UTC, and the guard "
            "halted it." for x in judged if x.halted]
    last = judged[-1]
    if last is not top and not last.halted:
        out.append(f"At the guard's last look, in the hour from {hour_text(last.hour)} UTC: "
                   f"{_figure(last.evidence)}.")
    return out


def evidence_text(e):
    return f"evidence {_figure(e.ratio)} of the {e.threshold:,.0f} it halts at"


def _figure(ratio):
    return guard.ratio_text(ratio)


def bar(e, halted=False):
    """The Bar of a guard.Evidence: log evidence over log threshold, none
    below 1 (evidence under 1 favours "no worse than the margin")."""
    top = math.log(e.threshold)
    at = math.log(e.ratio) if e.ratio > 0 else float("-inf")
    filled = 100.0 * min(max(at / top, 0.0), 1.0) if top > 0 else 100.0 * (at >= top)
    level = "over" if e.ratio >= e.threshold else "near" if filled >= 50 else "calm"
    shown = f"{at:.2f}" if e.ratio > 0 else "none"
    said = (f"evidence {_figure(e.ratio)}, counted until now (it halts at {e.threshold:,.0f})"
            if halted else evidence_text(e))
    return Bar(filled, level, said + "; the bar is drawn on a log scale, full at the threshold",
               f"log evidence {shown} of log threshold {top:.2f}")


def verdict(row, rule, judged, compared, waiting=None, now=None):
    """The guard's verdict on a rule in the state `row`, in one sentence,
    and then, for a running rule whose step has been held its time but not
    judged (`waiting`: advance.reason of it), what happens next.
    rule: its configuration rule (None: gone or unstaged); judged: the
    guard.Verdict from its counts; compared: guard.compared of them."""
    said = _verdict(row, rule, judged, compared)
    if row["state"] != "running" or rule is None or not waiting or now is None \
            or row["since"] is None or now < row["since"] + rule.step_hours * 3600:
        return said
    if rule.guard_mode == "watch":
        return (f"{said} Watching: would hold: {waiting}; as it only watches, it advances "
                "on time without a verdict.")
    until = advance.waits_until(row["since"], rule.step_hours, rule.guard_max_extend)
    return (f"{said} Its step has been held its {rule.step_hours:g} hours, but it advances "
            f"only once judged: {waiting}. It waits for that until {time_text(until)} UTC, "
            "then is held for a person.")


def _verdict(row, rule, judged, compared):
    state, kept = row["state"], halts.kept(row)
    if state == "held":
        why = row["why"]
        return f"{why[:1].upper()}{why[1:]}."
    if state == "halted":
        if kept.get("halted_as"):
            return (f"Halted as {kept['halted_as']}, whose installer it gives: it serves no "
                    "machine until a person resumes it.")
        by = by_whom(kept.get("who"))
        reason = f" (\u201c{kept['reason']}\u201d)" if kept.get("reason") else ""
        said = f"Halted{' ' + by if by else ''}{reason}"
        if "rule" not in kept:
            return f"{said}: {row['why']}."
        (rn, rf), (cn, cf) = kept["rule"], kept["control"]
        at = f"at step {kept['step'] + 1}"
        if rn <= 0:
            return f"{said} {at}, before any of its machines had asked."
        if cn <= 0:
            return (f"{said}: {at} its machines failed {percent(rf, rn)} of {rn:,} requests, "
                    "with no control to compare.")
        return (f"{said}: {at} its machines failed {percent(rf, rn)} of {rn:,} requests "
                f"against {percent(cf, cn)} of {cn:,} for its control.")
    if state == "done":
        return "Done: every step was held its time; the guard judges it no more."
    if rule is None:
        return "Not judged: the rule is not staged in the configuration."
    if judged.evidence is None:
        if "no control" in judged.why:
            return "Not judged: at 100 % no machine is left for a control."
        return (f"Not judged yet: the guard waits for {rule.guard_min_requests:,} requests in "
                f"each arm; so far {compared[0]:,} for the rule and {compared[1]:,} for its "
                "control, in the hours since it counts from that hold both.")
    e = judged.evidence
    level = bar(e).level  # the sentence says what the bar shows
    if level == "over" and rule.guard_mode == "watch":
        return (f"Watching: would halt. Worse than its control by more than the "
                f"{rule.guard_extra_failure_points:g} points allowed: {evidence_text(e)}; "
                "the guard only watches this rule (guard = \"watch\"), so its machines keep "
                "getting the release. Halt it by hand if it must stop.")
    if level == "over":
        return (f"Worse than its control by more than the {rule.guard_extra_failure_points:g} "
                f"points allowed: {evidence_text(e)}; the guard halts it at its next look.")
    if level == "near":
        return ("Some sign that this release fails more than its control, not enough to "
                f"halt: {evidence_text(e)}.")
    return f"No sign that this release fails more than its control: {evidence_text(e)}."


def split_text(s):
    """The split check (split.Split) of a running rule, for its card, or
    None where there is nothing to check (a 100 % step)."""
    if not s.judged:
        return None
    if not s.machines:
        return (f"Split of machines: none at this step yet; {100 * s.expected:.2f}\xa0% of "
                "them are expected in the rule.", False)
    seen = (f"{100 * s.expected:.2f}\xa0% of machines expected in the rule, "
            f"{100 * s.observed:.2f}\xa0% seen ({s.rule_machines:,} of {s.machines:,} "
            "machines at this step)")
    if s.mismatch:
        return (f"The split does not match its share: {seen}. It does not advance while this "
                "holds: look for a worker with a wrong share or requests lost from one arm. "
                "A person may still advance it.", True)
    return f"Machines split as the share says: {seen}.", False


def step_text(step, steps):
    return f"step {step + 1} of {steps}" if steps else f"step {step + 1} (no steps any more)"


def share_text(share, state):
    if state == "halted":
        return "0 % of matching machines (halted)"
    if state == "held":
        return f"{share:g} % of matching machines (held at this step)"
    return f"{share:g} % of matching machines"


def actions(state, where):
    return GONE_ACTIONS if where == "gone" else ACTIONS[state]


def guard_text(rule):
    """What the guard does with this rule, for its card's facts."""
    if rule.guard_mode == "watch":
        return ("watch (guard = \"watch\"): it judges, shows and alerts as usual, but never "
                "halts or holds this rule")
    return (f"halt: it halts the rule at its threshold; a step it could not judge waits up "
            f"to {rule.guard_max_extend * rule.step_hours:g} hours more than its "
            f"{rule.step_hours:g}, then is held for a person")


def bar_of(judged, state):
    """The Bar of a guard.Verdict, or None when it weighed nothing."""
    if judged is None or judged.evidence is None or state == "done":
        return None
    return bar(judged.evidence, halted=state == "halted")


def at_step(row, strata):
    """(rule, control) as guard.Arm at the rule's step: as counted when it
    was halted for a halted rule (the figures its halt shows), else now."""
    kept = halts.kept(row) if row["state"] == "halted" else {}
    if "rule" in kept:
        return guard.Arm(*kept["rule"]), guard.Arm(*kept["control"])
    return guard.arms_at(strata, row["step"])


class Cards(NamedTuple):
    """What the Rollouts page lays out with its own template (tables.Page.cards)."""
    cards: list   # [Card]
    method: list  # paragraphs: how the arms are counted and judged
    tables: list  # tables.Table that download as CSV: the figures of every card, each rule's steps
