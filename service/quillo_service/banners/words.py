"""What the banners at the top of every console page say, on plain values:
no Flask, no database, no clock.

A banner says what happened, what launchers get now, and what to do, in
the publisher's words; the figures behind it (intervals, evidence) are one
click away, on the Rollouts page it links to or in its details.  `compose`
makes them all from a `Facts`, which banners/__init__.py reads.
"""

from typing import NamedTuple

from ..config.watcher import Live
from ..periods import time_text
from ..rollouts import halts
from ..rollouts.words import by_whom, percent
from ..tables import answer_label


class Banner(NamedTuple):
    kind: str            # "maintenance", "config", "hosts", "halt", "acked", "warning", "silent"
    text: str
    rule: str = ""       # the rule it is about: linked to its row on the Rollouts page
    version: int = 0     # the rule's state that an acknowledgement is for (0: none can be)
    details: tuple = ()  # (summary, lines) shown one click away


class Facts(NamedTuple):
    config: object       # this process's Config
    here: str            # this host's name (settings.host_name)
    live: Live           # this process's configuration watcher (ConfigWatcher.live)
    hosts: list          # heartbeats seen within the lease (Store.hosts rows)
    silent: list         # heartbeats older than the lease
    maintenance_since: float | None  # when a host first served in maintenance, if one did
    states: dict         # {rule: rollout_state row}
    plan: halts.Plan     # what the halts mean for config
    shares: dict | None  # halts.shares of the same states
    acks: dict           # {(rule, version): (who, when)} of the halted rules' banners


def _when(ts):
    return f"{time_text(ts)} UTC" if ts is not None else "a time not recorded"


def _quoted(name):
    """A rule's name as the banners write it: names often hold blanks."""
    return f"\u201c{name}\u201d"


def _names(names):
    names = list(names)
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


# -- the configuration of each host ----------------------------------------------------

def configurations(facts):
    """{host: Live} of the hosts seen within the lease that say what they
    serve with (a host of an older version says nothing), with this
    process's own watcher for this host: fresher than its heartbeat, and
    there where it sends none.  Of a heartbeat and the watcher with the same
    bytes, the earlier since holds (another worker loaded them first)."""
    out = {h["name"]: Live(h["config_fingerprint"], h["config_file"], h["config_since"],
                           h["config_error"], h["config_error_line"])
           for h in facts.hosts if h["config_fingerprint"]}
    live, beat = facts.live, out.get(facts.here)
    if beat is not None and beat.fingerprint == live.fingerprint and beat.since is not None \
            and beat.since < live.since:
        live = live._replace(since=beat.since)
    out[facts.here] = live
    return out


def _broken(name, live):
    line = f"line {live.error_line}: " if live.error_line else ""
    return Banner("config", f"Host {name} cannot load its configuration {live.file} ({line}"
                            f"{live.error}). The last good configuration is in use since "
                            f"{_when(live.since)}: launchers get what that one says. Fix the "
                            "file; the host takes it within seconds, without a restart.")


_SAME_FILE = ("Make every host's file the same: the staged rollouts' arms and halts depend on "
              "every host giving the same rules.")


def _differing(by_host):
    """The banner naming the hosts whose configuration differs from the
    others', or None when all that say serve with the same bytes."""
    groups = {}
    for name in sorted(by_host):
        groups.setdefault(by_host[name].fingerprint, []).append(name)
    if len(groups) < 2:
        return None
    details = ("What each host serves with",
               tuple(f"{name}: {live.file}, fingerprint {live.fingerprint[:12]}, in use since "
                     f"{_when(live.since)}" for name, live in sorted(by_host.items())))
    sizes = sorted((len(g) for g in groups.values()), reverse=True)
    if sizes[0] > sizes[1]:
        rest = max(groups.values(), key=len)
        odd = [n for n in sorted(by_host) if n not in rest]
        one = len(odd) == 1
        text = (f"{'Host' if one else 'Hosts'} {_names(odd)} "
                f"{'serves' if one else 'serve'} with another configuration than the other "
                f"hosts ({_names(rest)}). ")
    elif sizes[0] == 1:
        text = f"Hosts {_names(sorted(by_host))} serve with different configurations. "
    else:
        text = (f"The hosts serve with {len(groups)} different configurations: "
                + ", ".join(f"one on {_names(g)}" for g in groups.values()) + ". ")
    return Banner("hosts", text + _SAME_FILE, details=details)


# -- maintenance ----------------------------------------------------------------------

def _maintenance(config, since):
    when = f" since {_when(since)}" if since is not None else ""
    page = config.maintenance_answer.removeprefix("GOTO:")
    return Banner("maintenance", f"Maintenance mode is on{when}: every launcher is sent to "
                                 f"{page}, whatever the rules say. When the work is done, set "
                                 "enabled = false under [maintenance] in the configuration.")


# -- halted rules ---------------------------------------------------------------------

def _arms(kept):
    """The halt's arms at its step, in a sentence that says they are."""
    (rn, rf), (cn, cf) = kept["rule"], kept["control"]
    step = f"at this step (step {kept['step'] + 1})"
    if rn <= 0:
        return f"{step} none of its machines had asked yet"
    if cn <= 0:
        return f"{step} its machines failed {percent(rf, rn)} of the time, with no control " \
               "to compare"
    return (f"{step} its machines failed {percent(rf, rn)} of the time, against "
            f"{percent(cf, cn)} for the control")


def _gets_now(config, name, shares):
    """What a halted rule's machines get now, in a sentence, or None for a
    rule no longer in the configuration."""
    falls = halts.falls_to(config, name, shares)
    if falls is None:
        return None
    later, default = falls
    parts = [f"{answer_label(answer, config)} from rule {_quoted(rule)}"
             + (f" ({share:g}\u00a0% of them)" if share is not None else "")
             for rule, answer, share in later]
    if default:
        parts.append(("else " if parts else "") + "the default, "
                     + answer_label(config.default_answer, config))
    return "Its machines now get " + ", ".join(parts) + "."


def _halt(facts, name, row):
    config, plan = facts.config, facts.plan
    kept = halts.kept(row)
    when = _when(row["changed_at"])
    halted_as = kept.get("halted_as")
    if halted_as:
        answer = row.get("answer")
        gives = f" ({answer_label(answer, config)})" if answer else ""
        said = [f"Rule {_quoted(name)} was started halted at {when}: it gives the installer "
                f"of halted rule {_quoted(halted_as)}{gives}."]
    else:
        by = by_whom(kept.get("who"))
        reason = f" (\u201c{kept['reason']}\u201d)" if kept.get("reason") else ""
        arms = f": {_arms(kept)}" if "rule" in kept and "control" in kept else ""
        said = [f"Rollout {_quoted(name)} was halted {by + ' ' if by else ''}at {when}{reason}"
                f"{arms}."]
    if name in plan.gone:
        said.append("It is no longer in the configuration and serves no machine; new rules "
                    "that give its installer start halted until it is forgotten.")
    else:
        said.append(_gets_now(config, name, facts.shares))
        if name in plan.unstaged:
            said.append("It has no steps any more: resumed, it serves its whole configured "
                        "share at once.")
    if plan.siblings.get(name):
        answer = row.get("answer")
        same = f" ({answer_label(answer, config)})" if answer else ""
        said.append(f"Other rules still give the same installer{same}: "
                    + ", ".join(_quoted(n) for n in plan.siblings[name]) + ".")
    if name in plan.gone:
        said.append("Forget it on the Rollouts page once its installer is fixed or no "
                    "longer given.")
    elif halted_as:
        said.append("Once that installer is fixed, resume it on the Rollouts page.")
    else:
        said.append("Fix the installer, then resume the rollout on the Rollouts page.")
    acked = facts.acks.get((name, row["version"]))
    if acked is not None:
        who, at = acked
        # One line: the rest is on the Rollouts page, and comes back whole
        # when the rule's state changes.
        return Banner("acked", f"Rollout {_quoted(name)} is halted since {when}; acknowledged "
                               f"by {who} on {time_text(at)[:10]}.", rule=name)
    return Banner("halt", " ".join(said), rule=name, version=row["version"])


# -- hosts not seen -------------------------------------------------------------------

def _silent(h):
    """A host not seen for a lease: what it had not brought in (its spool,
    its nginx logs) is missing from the counts until it is back, and its
    nginx may have logged more answers meanwhile."""
    pending = []
    if h["spooled"]:
        pending.append(f"{h['spooled']:,} requests in its spool")
    if h["unread_bytes"]:
        pending.append(f"{h['unread_bytes']:,} bytes of its nginx logs not read")
    said = f" (it then had {' and '.join(pending)})" if pending else ""
    return Banner("silent", f"Host {h['name']} was last seen at {time_text(h['seen_at'])} "
                            f"UTC{said}: its spool and nginx logs are read in when it is back, "
                            "and the counts here may lack them until then. (A host taken out "
                            f"for good: scripts/quillo hosts FILE forget {h['name']})")


def _default_halted(config, plan):
    """The warnings of a default that gives a halted rule's instruction: it
    is never halted itself (the other warnings of the halts are said in the
    halts' own banners)."""
    alone = halts.Plan([], [], {}, [], [], plan.default_halted)
    return [Banner("warning", text[0].upper() + text[1:] + ". If that installer is broken, "
                   "point default_channel at another channel.")
            for text in halts.warnings(config, alone, lambda a: answer_label(a, config))]


def compose(facts):
    """[Banner] for the top of every page, the most pressing first."""
    out = []
    if facts.config.maintenance:
        out.append(_maintenance(facts.config, facts.maintenance_since))
    by_host = configurations(facts)
    out += [_broken(name, live) for name, live in sorted(by_host.items()) if live.error]
    differing = _differing(by_host)
    if differing is not None:
        out.append(differing)
    halted = [n for n in facts.states if facts.states[n]["state"] == "halted"]
    for name in sorted(halted, key=lambda n: -(facts.states[n]["changed_at"] or 0)):
        out.append(_halt(facts, name, facts.states[name]))
    out += _default_halted(facts.config, facts.plan)
    out += [_silent(h) for h in facts.silent]
    return out
