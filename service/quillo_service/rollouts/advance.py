"""Whether a step that has been held its time may advance, on plain values
(no Flask, no database, no clock).

A step below 100 % widens the release only once the guard has judged it:
an advance nobody judged would take the release to more machines on faith.
The guard judges a step once both arms hold guard_min_requests at that
step, in the hours that hold both (guard.compared, the count it waits for
itself).  At a 100 % step no machine is left for a control, so none is
needed there.

`reason` says why a step may not advance yet, or None; every such check is
one more line there, so each holds every guarded rule alike.  `move` turns
the reason and the clock into what the guard does: advance, finish, wait
(up to guard_max_extend times step_hours past the step's hold) or hold the
rule for a person.
"""

from . import guard

NO_VERDICT = "not enough traffic to judge"


def counted_at(strata, step):
    """(rule requests, control requests) at `step`, in the hours of that
    step that hold both arms: what the guard must have judged a step on."""
    return guard.compared([s for s in strata if s.step == step])


def reason(share, at_step, min_requests):
    """Why the step the rule is at may not advance, or None when it may.
    share: the percent it answers there; at_step: counted_at of it."""
    if guard.no_control(share):
        return None
    rule, control = at_step
    if min(rule, control) < min_requests:
        return (f"{NO_VERDICT}: at this step the guard has {rule:,} requests in the rule's "
                f"arm and {control:,} in its control, of the {min_requests:,} it needs in "
                "each")
    return None


def waits_until(since, step_hours, max_extend):
    """The time after which a step still not judged is held for a person."""
    return since + step_hours * 3600 * (1 + max_extend)


def move(due, why_not, since, step_hours, max_extend, now, watch=False):
    """What the guard does with a running rule whose step_due is `due`
    ("advance", "done" or None) while `why_not` (a reason, or None) stands:
    "advance" or "done" as due, "hold" for a person once the step has waited
    its longest, or None (nothing yet).  A watched rule is never held."""
    if due is None or why_not is None or watch:
        return due
    return "hold" if now >= waits_until(since, step_hours, max_extend) else None


def held_text(why_not, share, waited_hours):
    """The held rule's why and alert: what happened, what launchers get now,
    what to do."""
    return (f"held for a person: {why_not}, after {waited_hours:.0f} hours at this step. "
            f"Its machines keep getting the release at {share:g} % of matching machines, and "
            "no more until a person acts. Advance it by hand if you trust it without a "
            "verdict, lower guard_min_requests or raise the step's share so that the guard "
            "can judge, or halt it")
