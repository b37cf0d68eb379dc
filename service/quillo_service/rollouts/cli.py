"""The staged rollouts on the command line, for the publisher's people:

    scripts/quillo rollouts FILE             each staged rollout, and each halted
                                             rule no longer staged or gone
    scripts/quillo rollouts FILE halt|resume|advance|forget NAME [WHY...]
    scripts/quillo rollouts FILE replay NAME --from DATE --to DATE [--margin X]
                                             when the guard would have halted
                                             the rule on its stored counts

(__main__.py parses the arguments, reads FILE and opens the store, then
hands over here).  An action is recorded in the audit as the command
line's, with the user's name.  One that widens a release (advance, resume,
forget) asks first when a person is at a terminal, unless --yes.  A
replay only reads (replay.py says what it judges).
"""

import getpass
import json
import os
import sys

from ..periods import iso_time
from ..tables import text_table
from . import guard
from .changes import ActionError, act, statuses, widening
from .queries import HOUR, RolloutQueries
from .replay import replay

COLUMNS = ("rule", "step", "share", "step since (UTC)", "configuration", "state")
_WHERE = {"": "staged", "unstaged": "no steps any more", "gone": "gone"}


def _user():
    try:
        return getpass.getuser()
    except (KeyError, OSError):
        return f"uid {os.getuid()}"


def _confirmed(question, yes):
    """Whether to go ahead: asked only of a person at a terminal."""
    if yes or not (sys.stdin.isatty() and sys.stdout.isatty()):
        return True
    try:
        return input(f"{question[0].upper() + question[1:]}? [y/N] ").strip().lower() in (
            "y", "yes")
    except EOFError:
        return False


def _print(found, as_json):
    if as_json:
        print(json.dumps([{"rule": s.name, "step": s.step + 1, "steps": s.steps,
                           "share": s.share, "state": s.state, "since": iso_time(s.since),
                           "changed_at": iso_time(s.changed_at),
                           "configuration": _WHERE[s.where], "why": s.row["why"]}
                          for s in found], ensure_ascii=False, indent=1))
        return
    rows = [(s.name, f"{s.step + 1} of {s.steps}" if s.steps else f"{s.step + 1}",
             f"{s.share:g}%", iso_time(s.since) or "", _WHERE[s.where], s.state) for s in found]
    print("\n".join(text_table(COLUMNS, rows)))


def rollouts_command(store, config, args):
    """List the rollouts, or act on one; the exit code."""
    if args.action == "replay":
        return replay_command(store, config, args)
    found = statuses(store, config)
    if not args.action:
        if not found and not args.json:
            print(f"no staged rollout in {config.path}, and no halted rule")
            return 0
        _print(found, args.json)
        return 0
    status = next((s for s in found if s.name == args.name), None)
    question = widening(status, args.action, config) if status else None
    if question and not _confirmed(question, args.yes):
        print("nothing was changed", file=sys.stderr)
        return 1
    try:
        act(store, config, args.name, args.action, f"command line: {_user()}",
            " ".join(args.why))
    except ActionError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    if args.action == "forget":
        print(f"forgot {args.name}")
        return 0
    _print([s for s in statuses(store, config) if s.name == args.name], args.json)
    return 0


REPLAY_COLUMNS = ("hour (UTC)", "step", "rule requests", "rule failed", "control requests",
                  "control failed", "counted from (UTC)", "evidence", "difference, points",
                  "replay")


def _evidence(h):
    e = h.verdict.evidence
    return None if e is None else e.ratio


def _difference(h):
    e = h.verdict.evidence
    return None if e is None or e.difference != e.difference else 100 * e.difference


def _hour_data(h):
    return {"hour": iso_time(h.hour * HOUR), "step": h.step + 1,
            "rule_requests": h.rule.requests, "rule_failures": h.rule.failures,
            "control_requests": h.control.requests, "control_failures": h.control.failures,
            "counted_from": iso_time(h.since * HOUR), "evidence": _evidence(h),
            "difference_points": _difference(h), "halt": h.halted == "halts",
            "halted": h.halted == "halted",
            "why": h.verdict.why if h.verdict.evidence is None else ""}


def _said(h):
    if h.halted:
        return "halts here" if h.halted == "halts" else "halted"
    if h.verdict.evidence is None:
        return "not judged: " + h.verdict.why
    return ""


def replay_command(store, config, args):
    """Replay the rule's stored counts through the guard; prints, changes nothing."""
    rule = next((r for r in config.guarded_rules if r.name == args.name), None)
    if rule is None:
        names = ", ".join(repr(r.name) for r in config.guarded_rules) or "none"
        print(f"scripts/quillo rollouts: error: no guarded rule is named {args.name!r:.80} in "
              f"{config.path} (guarded rules: {names})", file=sys.stderr)
        return 2
    first = int(args.start[0] // HOUR)
    last = int(args.end[0] // HOUR) + (23 if args.end[1] else 0)
    margin = rule.guard_extra_failure_points if args.margin is None else args.margin
    r = RolloutQueries(store)
    counted = [guard.Stratum(*s) for s in r.strata(rule.name, first)]
    done = replay(counted, rule.steps, margin, rule.guard_min_requests,
                  rule.guard_false_halt_percent, first, last,
                  advances=r.advances().get(rule.name, ()),
                  restarts=[int(t // HOUR) + 1 for t in r.resumes(rule.name)])
    threshold = 100.0 / rule.guard_false_halt_percent
    live = [at for at, _, who, action, *_ in r.audit(rule.name, limit=10_000)
            if action == "halt" and who == "guard" and first * HOUR <= at < (last + 1) * HOUR]
    span = (iso_time(first * HOUR), iso_time((last + 1) * HOUR))
    if args.json:
        def halt(h):
            return {"hour": iso_time(h.hour * HOUR), "until": iso_time((h.hour + 1) * HOUR),
                    "evidence": _evidence(h), "threshold": threshold,
                    "difference_points": _difference(h), "step": h.step + 1}
        print(json.dumps({
            "rule": rule.name, "from": span[0], "to": span[1], "margin": margin,
            "configured_margin": rule.guard_extra_failure_points, "threshold": threshold,
            "min_requests": rule.guard_min_requests,
            "halt": halt(done.halts[0]) if done.halts else None,
            "halts": [halt(h) for h in done.halts],
            "live_halts": [iso_time(at) for at in sorted(live)],
            "hours": [_hour_data(h) for h in done.hours]}, ensure_ascii=False, indent=1))
        return 0
    print(f"{rule.name}: its stored counts from {span[0]} to {span[1]} replayed through the "
          f"guard, judged at a margin of {margin:g} points (configured "
          f"{rule.guard_extra_failure_points:g}); it halts at evidence {threshold:,.0f}")
    for h in done.halts:
        e = h.verdict.evidence
        print(f"would have halted in the hour from {iso_time(h.hour * HOUR)} to "
              f"{iso_time((h.hour + 1) * HOUR)}: evidence {guard.ratio_text(e.ratio)} of the "
              f"{threshold:,.0f} it halts at, {100 * e.difference:+.2f} points worse than the "
              f"control, at step {h.step + 1}")
    if not done.halts:
        print("would not have halted" + (" (no counts in those hours)" if not done.hours
                                         else ""))
    for at in sorted(live):
        print(f"the guard halted it live at {iso_time(at)}")
    if done.hours:
        print("hour by hour (hours without requests left out; evidence of the count so far):")
        rows = [(iso_time(h.hour * HOUR), h.step + 1, h.rule.requests, h.rule.failures,
                 h.control.requests, h.control.failures, iso_time(h.since * HOUR),
                 "" if _evidence(h) is None else guard.ratio_text(_evidence(h)),
                 "" if _difference(h) is None else f"{_difference(h):+.2f}", _said(h))
                for h in done.hours]
        print("\n".join(text_table(REPLAY_COLUMNS, rows)))
    return 0

