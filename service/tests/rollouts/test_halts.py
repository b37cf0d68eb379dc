"""A halt stays until a person resumes it: edits of a halted rule, through
the real reload of the configuration file, the console and the command line."""

import random
import re

import pytest
from config.test_config import rewrite
from conftest import ADMIN, GOOD, GUARDED, KEY, RULE
from test_rollouts import BETA, guarded_app, machine, state_of  # noqa: F401 (a fixture)

from quillo_service import __main__ as cli
from quillo_service.rollouts import changes
from quillo_service.rollouts.queries import RolloutQueries

# A rule that gave the release's installer before the halt: it goes on.
SIBLING = '''
[[rules]]
name = "beta testers"
key = "cafecafecafecafecafecafecafecafecafecafe"
channel = "beta"
'''
CAFE = "cafecafecafecafecafecafecafecafecafecafe"


def config_text(steps="25, 50, 100", rule=RULE, extra=""):
    return GUARDED.format(steps=steps).replace(f'name = "{RULE}"', f'name = "{rule}"') \
        + SIBLING + extra + ADMIN


@pytest.fixture
def halted(guarded_app, write_config):
    """An app whose rule is halted, with a sibling rule on the same installer."""
    app = guarded_app("25, 50, 100")
    app.extensions["quillo"].watcher.interval = 0  # see every edit at once
    app.extensions["quillo"].watcher.settle = 0
    path = app.extensions["quillo"].watcher.path
    rewrite(path, config_text())
    state = app.extensions["quillo"]
    client = app.test_client()
    client.get("/getinstaller")  # the edit is read, and its rules are seen
    changes.tick(state.store, state.watcher.current())
    changes.act(state.store, state.watcher.current(), RULE, "halt", "test", "calls")
    return app, path


def answers(app, key=KEY, n=200, seed=9):
    rng = random.Random(seed)
    client = app.test_client()
    return [client.get(f"/getinstaller?key={key}&version=0,1,0,220&id={machine(rng)[0]}").data
            for _ in range(n)]


@pytest.mark.parametrize("edit", ["renamed", "without steps", "other conditions",
                                  "channel renamed"])
def test_a_halted_rule_serves_no_machine_whatever_is_edited(halted, edit, capsys, monkeypatch,
                                                            database):
    app, path = halted
    text = {"renamed": config_text(rule="new release v2"),
            "without steps": unstaged(config_text()),
            "other conditions": config_text().replace('key_prefix = "0123"', 'key_prefix = "01"'),
            "channel renamed": config_text(rule="new release v2")
            .replace('beta = "', 'next = "').replace('channel = "beta"', 'channel = "next"'),
            }[edit]
    rewrite(path, text)
    monkeypatch.setenv("QUILLO_SERVICE_DATABASE", database)
    if edit == "renamed":  # checked before it is served, and after: both rules named
        assert cli.main(["check", path]) == 0
        assert (f"rule 'new release v2' is new and gives the instruction of halted rule "
                f"'{RULE}': it starts halted (halted as {RULE})") in capsys.readouterr().out
    assert BETA not in answers(app)
    state = app.extensions["quillo"]
    changes.tick(state.store, state.watcher.current())  # settled again: still none
    assert BETA not in answers(app)
    # The rule that already gave the installer goes on.
    assert set(answers(app, key=CAFE, n=3)) == {BETA}
    states = RolloutQueries(state.store).states()
    if "renamed" in edit:
        new = states["new release v2"]
        assert new["state"] == "halted" and new["why"].startswith(f"halted as {RULE}")
        assert states[RULE]["state"] == "halted"  # kept, gone from the configuration
        assert cli.main(["check", path]) == 0
        assert f"rule 'new release v2' is halted as '{RULE}'" in capsys.readouterr().out
    html = app.test_client().get("/admin/rollouts", headers=GOOD).data.decode()
    assert re.search(r"<td>" + re.escape(RULE) + r"</td>", html)
    assert "beta testers (they go on)" in html


def unstaged(text):
    for line in ("steps = [25, 50, 100]", "step_hours = 24", "guard_extra_failure_points = 2.0",
                 "guard_min_requests = 500"):
        text = text.replace(line + "\n", "")
    return text


def test_a_gone_halt_is_listed_until_forgotten_and_forgetting_releases_it(halted, capsys,
                                                                         monkeypatch, database):
    app, path = halted
    state = app.extensions["quillo"]
    gone = GUARDED.format(steps="25").split(f'[[rules]]\nname = "{RULE}"')[0] + SIBLING + ADMIN
    rewrite(path, gone)
    assert BETA not in answers(app)
    html = app.test_client().get("/admin/rollouts", headers=GOOD).data.decode()
    assert "gone: its instruction stays halted" in html
    assert re.findall(r'name="rule" value="([^"]+)">\s*<input type="hidden" name="action" '
                      r'value="(\w+)"', html) == [(RULE, "forget")]
    monkeypatch.setenv("QUILLO_SERVICE_DATABASE", database)
    assert cli.main(["rollouts", path, "resume", RULE]) == 1
    assert cli.main(["rollouts", path, "forget", "beta testers"]) == 1
    assert cli.main(["rollouts", path, "forget", RULE, "taken", "out"]) == 0
    err = capsys.readouterr().err
    assert "no longer in the configuration" in err and "is in the configuration" in err
    rewrite(path, config_text(rule="new release v3"))
    assert BETA in answers(app)
    assert "new release v3" not in RolloutQueries(state.store).states() or \
        state_of_rule(state, "new release v3") == "running"
    assert [a[3] for a in RolloutQueries(state.store).audit(RULE)][:2] == ["forget", "halt"]


def state_of_rule(state, name):
    return RolloutQueries(state.store).states()[name]["state"]


def test_a_default_that_gives_a_halted_installer_is_taken_with_a_warning(halted, capsys,
                                                                        monkeypatch, database):
    app, path = halted
    rewrite(path, config_text().replace('default_channel = "stable"', 'default_channel = "beta"'))
    assert BETA in answers(app, key="somebody else", n=3)
    html = app.test_client().get("/admin/installs", headers=GOOD).data.decode()
    assert re.search(r'class="banner warning"[^>]*>\s*<p>The default \(channel beta\) gives the '
                     r"instruction of halted rule", html)
    monkeypatch.setenv("QUILLO_SERVICE_DATABASE", database)
    assert cli.main(["check", path]) == 0
    assert "warning: the default (channel beta)" in capsys.readouterr().out


def test_a_resumed_rule_without_steps_serves_its_configured_share(halted):
    app, path = halted
    rewrite(path, unstaged(config_text()))
    assert BETA not in answers(app, n=20)
    state = app.extensions["quillo"]
    changes.act(state.store, state.watcher.current(), RULE, "resume", "test", "fixed")
    assert set(answers(app, n=20)) == {BETA}  # rollout = 100, at once
    assert state_of(app)["state"] == "running"


def test_no_halted_or_new_rule_on_a_halted_installer_ever_gets_a_share():
    """Random configurations and states: a rule whose row is halted, or that
    is new and gives a halted instruction, answers nobody; others as staged."""
    from types import SimpleNamespace

    from quillo_service.config import Rule
    from quillo_service.rollouts import halts
    rng = random.Random(11)
    for _ in range(2000):
        names = rng.sample("abcdefgh", rng.randint(0, 6))
        rules = tuple(Rule(n, f"GET:{rng.choice('xyz')}", rollout=50.0,
                           steps=(10.0, 50.0) if rng.random() < 0.5 else None) for n in names)
        config = SimpleNamespace(rules=rules, default_answer="GET:x",
                                 guarded_rules=tuple(r for r in rules if r.guarded))
        states = {n: {"state": rng.choice(("running", "halted", "done")), "step": rng.randint(0, 3),
                      "answer": rng.choice(("", "GET:x", "GET:y")), "halt_arms": ""}
                  for n in rng.sample("abcdefghij", rng.randint(0, 5))}
        seen = None if rng.random() < 0.2 else set(rng.sample("abcdefghij", rng.randint(0, 8)))
        shares = halts.shares(config, states, seen) or {}
        answers = halts.halted_answers(states)
        for r in rules:
            row = states.get(r.name)
            new = row is None and seen is not None and r.name not in seen and r.answer in answers
            if new or (row is not None and row["state"] == "halted"):
                assert shares[r.name] == 0.0
            elif r.guarded:
                assert 0 < shares[r.name] <= 50
            else:
                assert r.name not in shares
