"""The decision: rule order and conditions, rollouts, maintenance, malformed input."""

import pytest

from conftest import CONFIG, KEY, MACHINE
from quillo_service.config import ConfigError, load_config, parse_config
from quillo_service.launcher.rules import decide, in_rollout

import tomllib

STABLE = "GET:https://setup.test/installers/stable.exe"
BETA = "GET:https://setup.test/installers/beta.exe"
CAMPAIGN = "GET:https://setup.test/installers/campaign.exe"
UPDATE = "GOTO:https://setup.test/notice/update"


def config(text=CONFIG, **changes):
    data = tomllib.loads(text)
    data.update(changes)
    return parse_config(data)


def ids(n):
    return [f"{i:040X}" for i in range(n)]


def outside_rollout():
    return next(i for i in ids(100) if not in_rollout("beta rollout", i, 30))


@pytest.mark.parametrize("key, version, answer, rule", [
    ("feedfeedfeedfeedfeedfeedfeedfeedfeedfeed", "0,1,0,220", BETA, "vip"),
    ("feedfeedfeedfeedfeedfeedfeedfeedfeedfeee", "0,1,0,220", STABLE, "default"),
    ("acme0000", "0,1,0,220", CAMPAIGN, "acme"),
    ("ACME0000", "0,1,0,220", STABLE, "default"),      # keys compare exactly
    ("xacme", "0,1,0,220", STABLE, "default"),
    ("acme0000", "0,1,0,100", CAMPAIGN, "acme"),       # first match wins over "old"
    (KEY, "0,1,0,199", UPDATE, "old"),
    (KEY, "0,1", UPDATE, "old"),                       # missing parts count as 0
    (KEY, "0,1,0,200", STABLE, "default"),
    (KEY, "1.0", STABLE, "default"),
])
def test_rules_in_order(key, version, answer, rule):
    d = decide(config(), key, version, outside_rollout())
    assert (d.answer, d.rule, d.malformed) == (answer, rule, frozenset())


def test_rollout_is_stable_and_only_grows():
    machines = ids(3000)
    chosen = {p: {m for m in machines if in_rollout("r", m, p)} for p in (0, 10, 25, 50, 100)}
    assert chosen[0] == set() and chosen[100] == set(machines)
    assert chosen[10] <= chosen[25] <= chosen[50]
    for p, n in ((10, 300), (25, 750), (50, 1500)):
        assert abs(len(chosen[p]) - n) < n * 0.2
    # Same machine, same answer; its id in lower case is the same machine.
    c = config()
    inside = next(iter(chosen[25]))
    assert decide(c, KEY, "0,1,0,220", inside).answer == decide(c, KEY, "0,1,0,220", inside).answer
    assert in_rollout("r", inside.lower(), 25)
    # Another rule name shuffles machines independently.
    assert {m for m in machines if in_rollout("s", m, 25)} != chosen[25]


def test_malformed_fields_fail_only_their_own_conditions_and_are_flagged():
    c = config()
    assert decide(c, None, None, None)[:3] == (STABLE, "default", frozenset({"key", "version", "id"}))
    # A campaign launcher without a machine id still gets its campaign.
    assert decide(c, "acme1", "0,1,0,220", None)[:3] == (CAMPAIGN, "acme", frozenset({"id"}))
    d = decide(c, "acme\x01", "0,1,0,1x", "0" * 39)
    assert d.rule == "default" and d.malformed == {"key", "version", "id"}
    # Fields the caller found unusable (cut, bad encoding) match no rule.
    d = decide(c, "acme1", "0,1,0,220", MACHINE, frozenset({"key"}))
    assert d.rule != "acme" and d.malformed == {"key"}
    # A request without a machine id is never in a rollout, even at 100 %.
    full = config(rules=[{"name": "all", "rollout": 100, "channel": "beta"}])
    assert decide(full, KEY, "0,1,0,220", None).rule == "default"
    assert decide(full, KEY, "0,1,0,220", MACHINE).rule == "all"


def test_maintenance_sends_everyone_to_its_page():
    c = config(maintenance={"enabled": True, "page": "https://setup.test/notice/maintenance"})
    for args in (("acme1", "0,1,0,220", MACHINE), (None, None, None)):
        d = decide(c, *args)
        assert (d.answer, d.rule) == ("GOTO:https://setup.test/notice/maintenance", "maintenance")


def test_conditions_combine():
    c = config(rules=[{"name": "acme old", "key_prefix": "acme", "below_version": "0,1,0,200",
                       "page": "https://setup.test/notice/update"}])
    assert decide(c, "acme1", "0,1,0,100", MACHINE).rule == "acme old"
    assert decide(c, "acme1", "0,1,0,220", MACHINE).rule == "default"
    assert decide(c, "other", "0,1,0,100", MACHINE).rule == "default"


@pytest.mark.parametrize("change, complaint", [
    ({"channels": {"stable": "https://a.test/x y.exe"}}, "channels.stable"),
    ({"channels": {"stable": "https://a.test/x.exe\r\n"}}, "channels.stable"),
    ({"channels": {"stable": "https://a.test/x.exe\n"}}, "channels.stable"),
    ({"channels": {"stable": "https://a.test/\u00e9.exe"}}, "channels.stable"),
    ({"channels": {"stable": "ftp://a.test/x.exe"}}, "channels.stable"),
    ({"channels": {}}, "at least one channel"),
    ({"default_channel": "nightly"}, "not a channel"),
    ({"maintenance": {"enabled": True}}, "maintenance.page is missing"),
    ({"maintenance": {"enabled": 1, "page": "https://a.test/m"}}, "true or false"),
    ({"maintenance": {"page": "https://a.test/m?x=1"}}, "query"),
    ({"rules": [{"name": "a", "channel": "nightly"}]}, "not defined"),
    ({"rules": [{"name": "a", "channel": "beta", "page": "https://a.test/p"}]}, "exactly one"),
    ({"rules": [{"name": "a"}]}, "exactly one"),
    ({"rules": [{"name": "a", "rollout": 101, "channel": "beta"}]}, "percentage"),
    ({"rules": [{"name": "a", "below_version": "new", "channel": "beta"}]}, "below_version"),
    ({"rules": [{"name": "a", "keyprefix": "x", "channel": "beta"}]}, "unknown setting"),
    ({"rules": [{"name": "a", "channel": "beta"}, {"name": "a", "channel": "beta"}]}, "taken"),
    ({"rules": [{"channel": "beta"}]}, "needs a name"),
    ({"colour": "blue"}, "unknown setting"),
    ({"limits": {"events_per_minute": 0}}, "events_per_minute"),
])
def test_invalid_configurations_are_refused(change, complaint):
    with pytest.raises(ConfigError, match=complaint):
        config(**change)


def test_unreadable_files_are_refused(tmp_path):
    bad = tmp_path / "bad.toml"
    bad.write_text("channels = [")
    with pytest.raises(ConfigError, match="not valid TOML"):
        load_config(bad)
    bad.write_bytes(b"\xff\xfe")
    with pytest.raises(ConfigError, match="not valid TOML"):
        load_config(bad)
    with pytest.raises(ConfigError, match="cannot read"):
        load_config(tmp_path / "missing.toml")


def test_a_machine_id_in_lower_case_is_the_same_machine():
    machines = ids(200)
    assert [in_rollout("r", m.lower(), 50) for m in machines] == \
        [in_rollout("r", m, 50) for m in machines]
