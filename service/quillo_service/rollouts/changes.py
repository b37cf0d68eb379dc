"""Judging and changing the staged rollouts: the guard's halts and
advances, and a person's halt, resume and advance.

`tick` counts what is new (counting.py), then judges each running or held
rule (guard.py) from those counts and halts it, or advances a running one
whose step the guard has judged (advance.py), or holds it for a person.  Several workers and
hosts may tick at once; every change is a compare-and-set in the store, so
each happens once, and its alert is written in the same transaction.
"""

import json
import logging
import weakref
from typing import NamedTuple

from ..alerts import outbox as alerts
from ..tables import answer_label
from . import advance, guard, halts, history, split_check
from .counting import count
from .queries import HOUR, RolloutQueries, describe_state

log = logging.getLogger("quillo_service")

GUARD = "guard"


def health(store, rule, row):
    """(rule arm, control arm) as guard.Arm, counted from the row's from_hour:
    totals over every hour and step, to describe, never to judge by."""
    h = RolloutQueries(store).health(rule.name, row["from_hour"])
    return guard.Arm(*h.get("rule", (0, 0))), guard.Arm(*h.get("control", (0, 0)))


def strata(store, rule, row):
    """[guard.Stratum] of the rule, one per hour and step, from the row's from_hour."""
    return [guard.Stratum(*s) for s in RolloutQueries(store).strata(rule.name, row["from_hour"])]


def verdict(store, rule, row, counted=None):
    """The guard's verdict on a rule in the state `row`, from its strata
    (`counted`, read when not given)."""
    return guard.judge(strata(store, rule, row) if counted is None else counted,
                       guard.share(rule.steps, row["step"], "running"),
                       rule.guard_extra_failure_points, rule.guard_min_requests,
                       rule.guard_false_halt_percent, step=row["step"])


def why_not(rule, row, counted):
    """advance.reason for the step the rule in state `row` is at."""
    return advance.reason(guard.share(rule.steps, row["step"], "running"),
                          advance.counted_at(counted, row["step"]), rule.guard_min_requests)


def _alert(store, kind, rule, row, arms, who, why, now, conn, key=None):
    return alerts.notify(store, kind, {
        "rule": rule.name, "step": row["step"] + 1,
        "share": guard.share(rule.steps, row["step"], "running"),
        "rule_arm": _arm_data(arms[0]), "control_arm": _arm_data(arms[1]),
        "who": who, "why": why, "time": now}, key=key, conn=conn)


def _arm_data(arm):
    low, high = arm.interval
    return {"requests": arm.requests, "failures": arm.failures, "rate": arm.rate,
            "low": low, "high": high}


def _apply(store, rule, row, now, who, action, why, **new):
    """Make one change, and its alert in the same transaction, so that a
    halt or an advance is never recorded without the alert that reports it
    (if the alert cannot be written, neither is the change, and the next
    tick decides again).  On success log it.  True if made."""
    # The arms at the step it is at: within a step the split between them
    # is fixed, so these two compare fairly (totals over every step would not).
    arms = guard.arms_at(strata(store, rule, row), row["step"])
    if action == "halt":
        # Kept with the halt: what it stopped, the arms it was judged on, and
        # who halted it and why in their own words (the banner says them
        # apart from the figures).
        new.update(answer=rule.answer, halt_arms=json.dumps(
            {"step": row["step"], "rule": list(arms[0]), "control": list(arms[1]),
             "who": who, "reason": why if who != GUARD else ""}))
        why = f"{why}; {guard.describe_arms(*arms)}" if who != GUARD else why
    elif action == "resume":
        new.update(answer="", halt_arms="")
    after = dict(row, **new)
    if action == "advance" and guard.no_control(guard.share(rule.steps, after["step"],
                                                            "running")):
        why += "; no control at 100 %, so the guard judges no more"
    then = None
    kind = _ALERTS.get(action)
    if kind is not None:
        def then(conn):
            _alert(store, kind, rule, after, arms, who, why, now, conn)
    if not RolloutQueries(store).change(row, now, who, action, why, then=then, **new):
        return False
    log.warning("rollout %r: %s by %s (%s -> %s): %s", rule.name, action, who,
                describe_state(row["step"], row["state"]),
                describe_state(after["step"], after["state"]), why)
    return True


# The alert each change of the guard's or a person's makes with it.
_ALERTS = {"halt": "rollout_halted", "advance": "rollout_advanced", "done": "rollout_advanced",
           "hold": "rollout_held"}


def _would_halt(store, rule, row, judged, counted, now):
    """A watched rule the guard would halt: alerted once per state (an
    advance makes a new one), the rule left as it is."""
    kind = "rollout_would_halt"
    key = alerts.alert_key(kind, f"{rule.name}\0{row['version']}")
    told = _told.setdefault(store, set())
    if key in told:  # written already from this process: no write every tick
        return
    why = (f"watching: would halt ({judged.why}). The rule only watches (guard = \"watch\"): "
           "its machines keep getting the release and it advances on time; halt it by hand "
           "if this release must stop")
    if _alert(store, kind, rule, row, guard.arms_at(counted, row["step"]), GUARD, why, now,
              None, key=key):
        log.warning("rollout %r: %s", rule.name, why)
    told.add(key)


_told = weakref.WeakKeyDictionary()  # store -> the would-halt alerts written through it


_settled = weakref.WeakKeyDictionary()  # store -> the configuration last settled with it


def settle(store, config, now=None, force=False):
    """Bring the store's halts up to `config` (halts.py): record its rules
    as served with, start halted each new rule that gives a halted
    instruction, and give old halts their instruction.  Returns the
    halts.Plan.  Done once per configuration and store unless `force`;
    safe in any number of workers and hosts at once."""
    r = RolloutQueries(store)
    if not force and _settled.get(store) is config:
        return plan(store, config)
    now = store.now() if now is None else now
    seen = r.seen()
    states = r.states()
    p = halts.plan(config, states, seen)
    names = [x.name for x in config.rules if seen is None or x.name not in seen]
    answers = {x.name: x.answer for x in config.rules
               if x.name in states and states[x.name]["state"] == "halted"
               and not states[x.name]["answer"]}
    if names or answers:
        by_name = {x.name: x for x in config.rules}
        made = r.record_rules(names, now, [(new, old, by_name[new].answer)
                                           for new, old in p.starts_halted], answers)
        for new, old in p.starts_halted:
            if new in made:
                log.warning("rollout %r: halted as %r, whose instruction it gives; it serves "
                            "no machine until a person resumes it", new, old)
        if seen is None or answers or made:
            p = plan(store, config)
    _settled[store] = config
    return p


def plan(store, config):
    """The halts.Plan of `config` as the store stands, read only (a page's
    snapshot writes nothing)."""
    r = RolloutQueries(store)
    seen = r.seen()  # before the states, as Live reads them
    return halts.plan(config, r.states(), seen)


def warnings(config, p):
    """What a halts.Plan means for `config`, in sentences (check, reload, console)."""
    return halts.warnings(config, p, lambda answer: answer_label(answer, config))


def log_reload(store, config):
    """After the configuration was reloaded: settle its halts and log what
    they mean beside the reload's own line.  Never raises: the request
    that noticed the edit goes on, and the next tick settles again."""
    try:
        for text in warnings(config, settle(store, config)):
            log.warning("configuration: %s", text)
    except Exception as e:  # the store, most likely; settled again at the next tick
        log.error("configuration: the halts could not be checked yet: %s", e)


def _rows(store, config, now):
    """The state rows of the guarded rules, made at the first step where
    missing (after the halts are settled: a new rule may start halted)."""
    settle(store, config, now)
    r = RolloutQueries(store)
    rows = r.states()
    for rule in config.guarded_rules:
        if rule.name not in rows and r.start(rule.name, now, GUARD, "first seen in the "
                                             "configuration"):
            log.info("rollout %r started at %g %%", rule.name, rule.steps[0])
    return r.states() if any(x.name not in rows for x in config.guarded_rules) else rows


def tick(store, config, now=None):
    """Count what is new, then halt or advance each running guarded rule;
    returns whether the counts caught up (False: a backlog is left, to be
    counted at once).  Safe to run in any number of workers and hosts at
    once."""
    if not config.guarded_rules:
        settle(store, config, now)
        return True
    now = store.now() if now is None else now
    rows = _rows(store, config, now)
    caught_up = count(store, now)[2]
    looks = []
    for rule in config.guarded_rules:
        row = rows[rule.name]
        if row["state"] not in ("running", "held"):
            continue
        watch = rule.guard_mode == "watch"
        counted = strata(store, rule, row)
        judged = verdict(store, rule, row, counted)
        if judged.halt and watch:
            _would_halt(store, rule, row, judged, counted, now)
        elif judged.halt:  # a held rule still serves its share: it halts as well
            looks.append(history.look(rule, row, counted, judged, now))
            _apply(store, rule, row, now, GUARD, "halt", judged.why, state="halted")
            continue
        due = guard.step_due(row["step"], row["since"], rule.steps, rule.step_hours, now)
        # A split that does not match the share holds the rule where it is
        # (split_check.py), after the halt above: it never stands in its way.
        # A watched rule is alerted on and goes on.
        checked = split_check.watch(store, rule, row, now, fresh=due is not None)
        looks.append(history.look(rule, row, counted, judged, now, checked))
        if row["state"] == "held":
            continue  # a person decides
        if checked.mismatch and not watch:
            continue
        waiting = why_not(rule, row, counted)
        move = advance.move(due, waiting, row["since"], rule.step_hours, rule.guard_max_extend,
                            now, watch)
        unjudged = f"; watching, so it goes on without a verdict ({waiting})" if waiting else ""
        said = unjudged + split_check.said(checked)
        if move == "advance":
            _apply(store, rule, row, now, GUARD, "advance",
                   f"step held {rule.step_hours:g} hours{said}", step=row["step"] + 1,
                   since=now)
        elif move == "done":
            _apply(store, rule, row, now, GUARD, "done",
                   f"last step held {rule.step_hours:g} hours{said}", state="done")
        elif move == "hold":
            _apply(store, rule, row, now, GUARD, "hold",
                   advance.held_text(waiting, guard.share(rule.steps, row["step"], "running"),
                                     (now - row["since"]) / 3600), state="held")
    # After the decisions: a history that cannot be written holds up no halt.
    history.History(store).write(looks)
    return caught_up


class ActionError(Exception):
    """A person's action that cannot be done; the text says why."""


ACTIONS = ("halt", "resume", "advance", "forget")


def refusal(name, action, row, rule):
    """Why a person's `action` on rule `name` cannot be done, or None when
    it can: `row` is its state row (None: it has none), `rule` the
    configuration's rule of that name (None: gone from it)."""
    if action == "forget":
        if rule is not None:
            return (f"{name} is in the configuration; only a rule gone from it is "
                    "forgotten (resume or halt it instead)")
        return f"no rule is named {name!r:.80}" if row is None else None
    if action not in ACTIONS:
        return f"unknown action {action!r:.40}"
    if action == "resume" and row is not None and row["state"] == "halted" and rule is None:
        return f"{name} is no longer in the configuration; forget it to release its instruction"
    if action == "resume" and row is not None and rule is not None:
        pass  # a halted rule resumes whether or not it is still staged
    elif rule is None or not rule.guarded or row is None:
        return f"no guarded rule is named {name!r:.80}"
    if action == "halt" and row["state"] == "halted":
        return f"{name} is already halted"
    if action == "resume" and row["state"] != "halted":
        return f"{name} is not halted"
    if action == "advance" and row["state"] not in ("running", "held"):
        return f"{name} is {row['state']}; only a running or held rollout advances"
    return None


def act(store, config, name, action, who, why, now=None, version=None):
    """A person's halt, resume, advance or forget of rule `name`; raises
    ActionError.  Forget is for a rule gone from the configuration: its
    state goes, and with it the halt of its instruction.  `version`: the
    state a person confirmed the action on; if it changed since, nothing is
    done (an advance confirmed as 50 % -> 100 % never takes a later step)."""
    now = store.now() if now is None else now
    rows = _rows(store, config, now)
    row = rows.get(name)
    rule = next((r for r in config.rules if r.name == name), None)
    why = why.strip() or "no reason given"
    problem = refusal(name, action, row, rule)
    if problem:
        raise ActionError(problem)
    if version is not None and row["version"] != version:
        raise ActionError(f"{name} was changed since you asked (now "
                          f"{describe_state(row['step'], row['state'])}); look again")
    if action == "forget":
        if not RolloutQueries(store).forget_rule(row, now, who, why):
            raise ActionError(f"{name} was changed meanwhile; look again")
        log.warning("rollout %r: forgotten by %s (was %s): %s", name, who,
                    describe_state(row["step"], row["state"]), why)
        return
    if action == "advance":
        # A person may advance what the guard could not judge; the audit
        # keeps that it was done so, beside who did it and why.
        waiting = why_not(rule, row, strata(store, rule, row))
        unjudged = f"; advanced without the guard's verdict ({waiting})" if waiting else ""
    if action == "halt":
        changed = _apply(store, rule, row, now, who, "halt", why, state="halted")
    elif action == "resume":
        # The guard starts counting afresh from the next whole hour, so the
        # failures that made it halt do not halt it again at once.
        changed = _apply(store, rule, row, now, who, "resume", why, state="running",
                         since=now, from_hour=int(now // HOUR) + 1)
    elif row["step"] >= len(rule.steps) - 1:  # an advance from the last step
        changed = _apply(store, rule, row, now, who, "done",
                         _with_split(store, rule, row, why + unjudged), state="done")
    else:
        # A person may advance whatever the split check says; the audit
        # keeps what it said.
        changed = _apply(store, rule, row, now, who, "advance",
                         _with_split(store, rule, row, why + unjudged), step=row["step"] + 1,
                         since=now, state="running")
    if not changed:
        raise ActionError(f"{name} was changed meanwhile; look again")


def _with_split(store, rule, row, why):
    return why + split_check.said(split_check.current(store, rule, row))


def preview(store, config, name, action, now=None):
    """(what `action` on `name` would change in words, or None for a halt,
    which narrows and is done at once; the state's version) for a person to
    confirm before anything is done.  Raises ActionError as act would.
    Writes nothing."""
    status = next((s for s in statuses(store, config, now, start=False) if s.name == name),
                  None)
    row = status.row if status else RolloutQueries(store).states().get(name)
    problem = refusal(name, action, row, next((r for r in config.rules if r.name == name),
                                              None))
    if problem:
        raise ActionError(problem)
    if status is None:  # a rule's state that no card shows: only forget can be left
        return (None if action == "halt" else f"{action} {name}"), row["version"]
    return widening(status, action, config, arrow="\u2192"), row["version"]


class Status(NamedTuple):
    """A rule as a person steers it: in the Rollouts view and on the command line."""
    name: str
    step: int | None      # from 0; None for a rule never started
    steps: int | None     # how many it has; None when it has no steps (any more)
    share: float          # percent of its matching machines it answers now
    state: str            # running, halted or done
    since: float | None   # when it took its step
    changed_at: float | None
    where: str            # "" (staged in the configuration), "unstaged" or "gone"
    row: dict | None


def statuses(store, config, now=None, start=True):
    """[Status] of every guarded rule of the configuration, in its order,
    then every halted rule that is no longer staged or no longer in it.
    start=False writes nothing (a page's snapshot): a rule not started yet
    is shown at its first step, or halted if it starts halted."""
    now = store.now() if now is None else now
    if start:
        rows = _rows(store, config, now)
    else:
        rows = RolloutQueries(store).states()
        new = dict(plan(store, config).starts_halted)
        for rule in config.guarded_rules:
            if rule.name not in rows:
                why = f"halted as {new[rule.name]}" if rule.name in new else "not started yet"
                rows[rule.name] = {"rule": rule.name, "step": 0, "since": None,
                                   "from_hour": int(now // HOUR), "changed_at": None,
                                   "state": "halted" if rule.name in new else "running",
                                   "why": why, "version": 0, "answer": "", "halt_arms": ""}
    out = []
    for rule in config.guarded_rules:
        row = rows[rule.name]
        out.append(Status(rule.name, row["step"], len(rule.steps),
                          guard.share(rule.steps, row["step"], row["state"]), row["state"],
                          row["since"], row["changed_at"], "", row))
    by_name = {r.name: r for r in config.rules}
    for name in sorted(rows):
        row = rows[name]
        rule = by_name.get(name)
        if row["state"] != "halted" or (rule is not None and rule.guarded):
            continue
        out.append(Status(name, row["step"], None, 0.0, "halted", row["since"],
                          row["changed_at"], "gone" if rule is None else "unstaged", row))
    return out


def widening(status, action, config, arrow="->"):
    """What `action` would change, in words, for a person to confirm; None
    when the action narrows nothing away (a halt)."""
    rule = next((r for r in config.rules if r.name == status.name), None)
    if action == "forget":
        answer = status.row.get("answer") if status.row else ""
        return (f"forget {status.name}: its state goes, and new rules that give "
                f"{answer_label(answer, config) if answer else 'its instruction'} "
                "no longer start halted")
    if action == "resume" and rule is not None and not rule.guarded:
        share = "all" if rule.rollout is None else f"{rule.rollout:g} %"
        return (f"resume {status.name}: 0 % {arrow} {share} of matching machines at once "
                "(no steps)")
    if rule is None or not rule.guarded:
        return None
    if action == "resume":
        return (f"resume {status.name}: 0 % {arrow} "
                f"{guard.share(rule.steps, status.step, 'running'):g} % of matching machines")
    if action == "advance":
        if status.step >= len(rule.steps) - 1:
            return f"advance {status.name}: its last step is taken as done"
        return (f"advance {status.name}: {status.share:g} % {arrow} "
                f"{rule.steps[status.step + 1]:g} % of matching machines")
    return None
