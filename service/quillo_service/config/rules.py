"""[[rules]]: which launchers get something other than the default channel,
and the staged, guarded rollouts (steps and guard_* settings) among them."""

from dataclasses import dataclass

from .checks import NAME_RE, ConfigError, address, integer, number, text, unknown
from .version import parse_version


@dataclass(frozen=True)
class Rule:
    name: str
    answer: str  # the full instruction body, "GET:..." or "GOTO:..."
    key: str | None = None
    key_prefix: str | None = None
    below_version: tuple | None = None
    rollout: float | None = None  # percent of machines, 0 to 100
    # A staged, guarded rollout: the shares it climbs through (the last is
    # `rollout`), hours per step, and the guard's margin, minimum and false
    # halts; the live step and state are kept in the store (rollouts/).
    steps: tuple | None = None
    step_hours: float = 24.0
    guard_extra_failure_points: float = 2.0
    guard_min_requests: int = 500
    # The chance, in percent, that the guard ever halts a release no worse
    # than the margin, however long it watches.
    guard_false_halt_percent: float = 1.0
    # A step the guard could not judge (too few requests in an arm) waits up
    # to this many times step_hours more for a verdict, then is held for a
    # person: an advance nobody judged would widen a release on faith.
    guard_max_extend: float = 3.0
    # "halt": the guard halts and holds the rule; "watch": it judges, shows
    # and alerts as usual, but never halts or holds it (a first rollout
    # whose margin is not trusted yet).
    guard_mode: str = "halt"

    @property
    def guarded(self):
        return self.steps is not None


_RULE_KEYS = {"name", "key", "key_prefix", "below_version", "rollout", "channel", "page",
              "steps", "step_hours", "guard_extra_failure_points", "guard_min_requests",
              "guard_false_halt_percent", "guard_max_extend", "guard"}
_STAGED_KEYS = ("steps", "step_hours", "guard_extra_failure_points", "guard_min_requests",
                "guard_false_halt_percent", "guard_max_extend", "guard")
GUARD_MODES = ("halt", "watch")
# "fallback" is what the requests nginx answered alone are recorded under
# (ingest/fallback.py): a rule of that name would be counted with them.
_TAKEN_NAMES = ("default", "maintenance", "fallback")


def _name(r, names, where):
    name = r.get("name")
    if not isinstance(name, str) or not NAME_RE.match(name):
        raise ConfigError(f"{where}: needs a name of 1 to 64 printable ASCII characters")
    if name in names or name in _TAKEN_NAMES:
        raise ConfigError(f"{where}: the name {name!r} is already taken")
    names.add(name)
    return name


def _match(r, where):
    """Which launchers the rule is for: key, key_prefix, below_version."""
    if "key" in r and "key_prefix" in r:
        raise ConfigError(f"{where}: give key or key_prefix, not both")
    key = r.get("key")
    if key is not None:
        text(key, f"{where}: key", 1023)
    key_prefix = r.get("key_prefix")
    if key_prefix is not None:
        text(key_prefix, f"{where}: key_prefix", 1023)
    below = None
    if "below_version" in r:
        below = parse_version(r["below_version"] if isinstance(r["below_version"], str) else None)
        if below is None:
            raise ConfigError(f"{where}: below_version must look like \"0,1,0,200\"")
    return {"key": key, "key_prefix": key_prefix, "below_version": below}


def _rollout(r, where):
    rollout = r.get("rollout")
    if rollout is not None:
        if isinstance(rollout, bool) or not isinstance(rollout, (int, float)) \
                or not 0 <= rollout <= 100:
            raise ConfigError(f"{where}: rollout must be a percentage from 0 to 100")
        rollout = float(rollout)
    return rollout


def _staged(r, rollout, where):
    """The staged-rollout settings of rule table r, checked."""
    if not any(k in r for k in _STAGED_KEYS):
        return {}
    if "steps" not in r or rollout is None:
        raise ConfigError(f"{where}: step_hours and the guard settings need rollout and steps")
    steps = r["steps"]
    if not isinstance(steps, list) or not 1 <= len(steps) <= 20:
        raise ConfigError(f"{where}: steps must be a list of 1 to 20 percentages")
    steps = tuple(number(s, f"{where}: steps", 0.01, 100) for s in steps)
    if any(a >= b for a, b in zip(steps, steps[1:])):
        raise ConfigError(f"{where}: steps must rise")
    if steps[-1] != rollout:
        raise ConfigError(f"{where}: the last step must equal rollout ({rollout:g}), "
                          "the share the rollout ends at")
    return {"steps": steps,
            "step_hours": number(r.get("step_hours", 24), f"{where}: step_hours", 0, 8760),
            "guard_extra_failure_points": number(r.get("guard_extra_failure_points", 2.0),
                                                 f"{where}: guard_extra_failure_points",
                                                 0, 100),
            "guard_min_requests": integer(r.get("guard_min_requests", 500),
                                          f"{where}: guard_min_requests", 1, 10**9),
            "guard_false_halt_percent": number(r.get("guard_false_halt_percent", 1.0),
                                               f"{where}: guard_false_halt_percent",
                                               0.01, 10),
            "guard_max_extend": number(r.get("guard_max_extend", 3.0),
                                       f"{where}: guard_max_extend", 0, 100),
            "guard_mode": _mode(r.get("guard", "halt"), where)}


def _mode(value, where):
    if value not in GUARD_MODES:
        raise ConfigError(f"{where}: guard must be \"halt\" (the default: the guard halts "
                          "and holds the rule) or \"watch\" (it judges and alerts, never "
                          f"halts or holds), not {value!r:.40}")
    return value


def _answer(r, channels, where):
    """What the rule answers: "GET:" its channel's address, or "GOTO:" its page."""
    if ("channel" in r) == ("page" in r):
        raise ConfigError(f"{where}: needs exactly one of channel or page")
    if "channel" in r:
        if r["channel"] not in channels:
            raise ConfigError(f"{where}: channel {r['channel']!r:.80} is not defined")
        return "GET:" + channels[r["channel"]]
    return "GOTO:" + address(r["page"], f"{where}: page", page=True)


def _rule(r, i, names, channels, p):
    """The i-th [[rules]] table; its errors name it by number until its name is known."""
    where = f"{p}: rule {i}"
    if not isinstance(r, dict):
        raise ConfigError(f"{where}: must be a table")
    unknown(r, _RULE_KEYS, where)
    name = _name(r, names, where)
    where = f"{p}: rule {name!r}"
    match = _match(r, where)
    rollout = _rollout(r, where)
    staged = _staged(r, rollout, where)
    return Rule(name=name, answer=_answer(r, channels, where), rollout=rollout,
                **match, **staged)


def parse_rules(data, channels, p):
    """The [[rules]] tables as a tuple of `Rule`, in the file's order."""
    rules_data = data.get("rules", [])
    if not isinstance(rules_data, list):
        raise ConfigError(f"{p}: rules must be written as [[rules]] tables")
    names = set()
    return tuple(_rule(r, i, names, channels, p) for i, r in enumerate(rules_data, 1))
