"""A halt stays until a person resumes it: what the halts mean for a
configuration, on plain values (no Flask, no database, no clock).

A halt belongs to the rule's name, so whatever else of the rule changes
(its steps removed, its conditions or its address edited) the rule serves no
machine while its state row says halted.  A halt also remembers the
instruction the rule gave (`answer`): a rule new to the service that gives a
halted instruction starts halted itself, as the same release under another
name (the rule renamed, or its channel renamed while it keeps its address).
A rule that already served that instruction when the halt came goes on: a
halt stops a rule, not an installer everywhere.  The default is never
halted; a default that gives a halted instruction is only warned about.

`plan` says all of that for one configuration; `shares` turns it into what
the request path applies; the store side (queries.py) writes the halts that
new rules start with, and changes.py and the console show the warnings.
"""

import json
from typing import NamedTuple

from . import guard


def kept(row):
    """What a halted row keeps of its halt (halt_arms): the step, the arms
    there as [requests, failed], who and in their words why, or the rule it
    was started halted as (halted_as); {} for none."""
    return json.loads(row["halt_arms"]) if row.get("halt_arms") else {}


def halted_as(row):
    """The rule a halted row was started halted as, or None."""
    return kept(row).get("halted_as")


class Plan(NamedTuple):
    starts_halted: list   # [(rule name, the halted rule it is taken for)]
    taken_for: list       # [(rule name, the halted rule it was started halted as)]
    siblings: dict        # {halted rule: [rules of the configuration that go on]}
    gone: list            # [halted rules no longer in the configuration]
    unstaged: list        # [halted rules in the configuration without steps]
    default_halted: list  # [halted rules whose instruction the default gives]


def halted_answers(states):
    """{instruction: halted rule} of the halted rows that know their
    instruction; of two halted rules with one instruction, the first by name."""
    out = {}
    for name in sorted(states):
        row = states[name]
        if row["state"] == "halted" and row.get("answer"):
            out.setdefault(row["answer"], name)
    return out


def plan(config, states, seen):
    """What the halts in `states` ({rule: state row}) mean for `config`.
    seen: the names of the rules the service has served with, or None
    before it has recorded any (then no rule counts as new)."""
    answers = halted_answers(states)
    names = {r.name for r in config.rules}
    starts = []
    for r in config.rules:
        if r.name not in states and seen is not None and r.name not in seen \
                and r.answer in answers:
            starts.append((r.name, answers[r.answer]))
    new = {name for name, _ in starts}
    halted = [n for n in sorted(states) if states[n]["state"] == "halted"]
    siblings = {}
    for name in halted:
        answer = states[name].get("answer")
        siblings[name] = [r.name for r in config.rules if answer and r.answer == answer
                          and r.name != name and r.name not in new
                          and not (r.name in states and states[r.name]["state"] == "halted")]
    by_name = {r.name: r for r in config.rules}
    taken = [(n, halted_as(states[n])) for n in halted if n in names and halted_as(states[n])]
    return Plan(starts, taken, siblings, [n for n in halted if n not in names],
                [n for n in halted if n in names and not by_name[n].guarded],
                [n for n in halted if states[n].get("answer") == config.default_answer])


def shares(config, states, seen):
    """{rule name: percent of machines it answers now} for every rule whose
    share the store decides: the guarded ones, the halted ones (none) and
    the new ones that start halted; None when there is no such rule.
    states None: not read yet, when a guarded rule may be halted and so
    answers nobody (the others cannot be known and answer as configured)."""
    if states is None:
        out = {r.name: 0.0 for r in config.guarded_rules}
        return out or None
    new = {name for name, _ in plan(config, states, seen).starts_halted}
    out = {}
    for r in config.rules:
        row = states.get(r.name)
        if r.name in new or (row is not None and row["state"] == "halted"):
            out[r.name] = 0.0
        elif r.guarded:
            out[r.name] = r.steps[0] if row is None else guard.share(r.steps, row["step"],
                                                                     row["state"])
    return out or None


def _may_meet(a, b):
    """Whether the key conditions of rules a and b may both hold for one
    launcher (their versions always may: both hold for very old launchers)."""
    if a.key is not None and b.key is not None:
        return a.key == b.key
    if a.key is not None:
        return b.key_prefix is None or a.key.startswith(b.key_prefix)
    if b.key is not None:
        return a.key_prefix is None or b.key.startswith(a.key_prefix)
    if a.key_prefix is None or b.key_prefix is None:
        return True
    return a.key_prefix.startswith(b.key_prefix) or b.key_prefix.startswith(a.key_prefix)


def _covers(later, rule):
    """Whether every launcher that meets the conditions of `rule` meets
    those of `later` too."""
    if later.below_version is not None and (rule.below_version is None
                                            or rule.below_version > later.below_version):
        return False
    if later.key is not None:
        return rule.key == later.key
    if later.key_prefix is not None:
        own = rule.key if rule.key is not None else rule.key_prefix
        return own is not None and own.startswith(later.key_prefix)
    return True


def falls_to(config, name, live_shares):
    """What the machines of halted rule `name` get now that it matches
    nobody: ([(rule, its answer, percent of its machines or None for all)]
    of the rules after it that some of them may meet, in order, and whether
    the default gets the rest), or None for a rule not in `config`.
    live_shares: `shares` of the same states (the store's word on the
    staged and halted rules)."""
    rules = list(config.rules)
    at = next((i for i, r in enumerate(rules) if r.name == name), None)
    if at is None:
        return None
    live_shares = live_shares or {}
    out = []
    for later in rules[at + 1:]:
        share = live_shares.get(later.name, later.rollout)
        if share == 0 or not _may_meet(rules[at], later):
            continue
        whole = share is None or share >= 100
        out.append((later.name, later.answer, None if whole else share))
        if whole and _covers(later, rules[at]):
            return out, False
    return out, True


def warnings(config, p, answer_label=str):
    """Plain sentences of what a Plan `p` means, for `check`, the reload log
    and the console; answer_label(instruction) names an instruction."""
    out = [f"rule {new!r} is new and gives the instruction of halted rule {old!r}: it starts "
           f"halted (halted as {old}) and serves no machine until a person resumes it"
           for new, old in p.starts_halted]
    out += [f"rule {new!r} is halted as {old!r}, whose instruction it gives: it serves no "
            "machine until a person resumes it" for new, old in p.taken_for]
    out += [f"rule {name!r} is halted and no longer in the configuration: it keeps its "
            "instruction halted for new rules until a person forgets it" for name in p.gone]
    out += [f"rule {name!r} is halted and has no steps any more: it serves no machine until "
            "a person resumes it, and then its whole configured share at once"
            for name in p.unstaged]
    out += [f"the default ({answer_label(config.default_answer)}) gives the instruction of "
            f"halted rule {name!r}: launchers that no rule matches still get it"
            for name in p.default_halted]
    return out
