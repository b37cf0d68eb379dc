"""The guard's evidence by the hour and the replay of the stored counts:
a history of hours recorded through the real store and judged by the real
guard, its hourly rows written and purged, and the replay halting at the
hour the live guard did (or not, at another margin) on the command line."""

import json
import random
import time

import pytest
from config.test_config import rewrite
from conftest import GOOD, KEY, RULE
from test_rollouts import guarded_app, machine, state_of  # noqa: F401 (a fixture)

from quillo_service import __main__ as cli
from quillo_service.launcher import arms
from quillo_service.launcher.rules import decide
from quillo_service.periods import hour_text, iso_time
from quillo_service.reports.records import record_event
from quillo_service.rollouts import changes, guard, replay
from quillo_service.rollouts.history import History
from quillo_service.rollouts.queries import HOUR, RolloutQueries

def hours_of(app, hours, per_hour=400, rule_rate=0.12, control_rate=0.03, seed=3):
    """`hours` whole hours of requests from the next hour on, each recorded
    at its time with the arms the live shares gave it, failing (an error
    from the same address and key a second later) at its arm's rate; the
    guard looks after every 100.  Returns the first hour."""
    state = app.extensions["quillo"]
    store, config = state.store, state.watcher.current()
    rng = random.Random(seed)
    first = int(time.time() // HOUR) + 1
    for h in range(hours):
        for i in range(per_hour):
            t = (first + h) * HOUR + i * 3600 * 0.9 / per_hour
            mid, ip = machine(rng)
            d = decide(config, KEY, "0,1,0,220", mid, shares=state.live.shares(config))
            store.record_request(t, ip, KEY, "0,1,0,220", mid, d.answer, d.rule, "", "", None,
                                 arms.encode(d.arms))
            rate = rule_rate if d.rule == RULE else control_rate
            if d.arms and rng.random() < rate:
                record_event(store, {"recorded_at": t + 1, "client": ip, "bundle_key": KEY,
                                     "kind": "error", "reference": f"R{h}.{i}", "malformed": "",
                                     "cut": "", **{c: None for c in (
                                         "source", "code", "message", "error", "version", "os",
                                         "code_number", "hresult", "module", "module_base",
                                         "address", "module_offset", "exception_code")}}, 10**6)
            if i % 100 == 99:
                changes.tick(store, config, now=t + 6)
    return first


def test_the_replay_halts_at_the_hour_the_guard_did_and_a_margin_changes_it(
        guarded_app, database, capsys, monkeypatch):
    app = guarded_app("25, 50, 100")
    path = app.extensions["quillo"].watcher.path
    watcher = app.extensions["quillo"].watcher
    watcher.interval = watcher.settle = 0
    rewrite(path, open(path).read().replace("step_hours = 24", "step_hours = 3").replace(
        "guard_min_requests = 500", "guard_min_requests = 200"))
    assert watcher.current().guarded_rules[0].step_hours == 3
    first = hours_of(app, 6)
    store = app.extensions["quillo"].store
    row = state_of(app)
    assert row["state"] == "halted" and row["why"].startswith("guard:")
    audit = RolloutQueries(store).audit(RULE)
    halted_at = next(at for at, _, who, action, *_ in audit if action == "halt")
    assert [a[3] for a in audit][-2:] == ["advance", "start"]
    assert first < halted_at // HOUR < first + 5  # judged over several hours, not at once

    # The hourly rows: one per hour the guard looked in, the halting one last.
    # The hour it started in, before any request: looked at, not judged.
    started, *looks = History(store).read(RULE, 0, first + 10)
    assert started.hour == first - 1 and started.evidence is None and started.rule_requests == 0
    assert [x.hour for x in looks] == list(range(first, int(halted_at // HOUR) + 1))
    assert looks[-1].halted and looks[-1].evidence >= looks[-1].threshold == 100
    assert not any(x.halted for x in looks[:-1])
    assert {x.step for x in looks} >= {0, 1} and all(x.margin == 2.0 for x in looks)
    assert looks[-1].split_expected is None  # it halted before its split was checked
    counts = RolloutQueries(store).strata(RULE, 0)
    assert looks[0].rule_requests == sum(s[2] for s in counts if s[1] == first)
    # An hour's row is final once the hour is over: a later look writes only its own.
    before = History(store).read(RULE, 0, first + 10)
    changes.tick(store, app.extensions["quillo"].watcher.current(), now=halted_at + HOUR)
    assert History(store).read(RULE, 0, first + 10) == before  # halted: judged no more

    # The Rollouts page says it in words, the chart one click away, on a log scale.
    app.extensions["quillo"].clock = lambda: (first + 7) * HOUR
    html = app.test_client().get("/admin/rollouts?period=24h", headers=GOOD).data.decode()
    said = (f"It reached the threshold in the hour from {hour_text(halted_at // HOUR)} UTC, "
            "and the guard halted it.")
    assert said in html
    chart = html[html.index(said):].split('<details class="evidence-chart">', 1)[1]
    chart = chart.split("</details>", 1)[0]
    assert "on a log scale" in chart and "evidence (log scale)" in chart
    assert "halts at 100<" in chart and "hour (UTC)" in chart
    assert chart.count("<circle") == sum(x.evidence is not None for x in looks) > 1
    assert "(halted)" in chart

    monkeypatch.setenv("QUILLO_SERVICE_DATABASE", database)
    day = iso_time(first * HOUR)[:10]
    span = ["--from", day, "--to", iso_time((first + 5) * HOUR)]
    assert cli.main(["rollouts", path, "replay", RULE, *span, "--json"]) == 0
    shown = json.loads(capsys.readouterr().out)
    assert shown["halt"]["hour"] == iso_time(halted_at // HOUR * HOUR)
    assert shown["halt"]["evidence"] >= shown["threshold"] == 100
    assert shown["live_halts"] == [iso_time(halted_at)]
    assert [h["hour"] for h in shown["hours"]] == [iso_time((first + h) * HOUR)
                                                   for h in range(6)]
    assert [h["halt"] for h in shown["hours"]].count(True) == 1
    # The replay's evidence is the guard's, to the last digit, at every hour it looked.
    assert [h["evidence"] for h in shown["hours"][:len(looks)]] == [x.evidence for x in looks]
    assert cli.main(["rollouts", path, "replay", RULE, *span]) == 0
    out = capsys.readouterr().out
    assert f"would have halted in the hour from {iso_time(halted_at // HOUR * HOUR)}" in out
    assert "of the 100 it halts at" in out and "hour by hour" in out

    # A margin wider than the release is worse: no halt.  None: halted no later.
    assert cli.main(["rollouts", path, "replay", RULE, *span, "--margin", "10", "--json"]) == 0
    wide = json.loads(capsys.readouterr().out)
    assert wide["halt"] is None and wide["margin"] == 10 and wide["configured_margin"] == 2
    assert cli.main(["rollouts", path, "replay", RULE, *span, "--margin", "0", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["halt"]["hour"] <= shown["halt"]["hour"]
    # A span that ends before the halt does not reach it.
    assert cli.main(["rollouts", path, "replay", RULE, "--from", day, "--to",
                     iso_time(first * HOUR), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["halt"] is None
    # Nothing was changed.
    assert RolloutQueries(store).audit(RULE) == audit and state_of(app) == row
    # The rows go with the rest at the purge, by their hour: on the bound
    # (a cutoff at an hour's start) that hour stays, one hour past it goes.
    def kept():
        return [x.hour for x in History(store).read(RULE, 0, first + 10)]
    every, last = kept(), int(halted_at // HOUR)
    store.purge(1, now=(first - 1) * HOUR + 86400)
    assert kept() == every
    store.purge(1, now=last * HOUR + 86400)
    assert kept() == [last]
    store.purge(1, now=(last + 1) * HOUR + 86400)
    assert kept() == []


@pytest.mark.parametrize("argv, complaint", [
    (["replay", RULE, "--from", "2026-12-01"], "needs --from DATE and --to DATE"),
    (["replay", RULE, "--from", "2026-12-32", "--to", "2026-12-09"], "neither a day"),
    (["replay", RULE, "--from", "yesterday", "--to", "2026-12-09"], "neither a day"),
    (["replay", RULE, "--from", "2026-12-09T10:00Z", "--to", "2026-12-09T09:59Z"],
     "--from is after --to"),
    (["replay", RULE, "--from", "2026-12-10", "--to", "2026-12-09"], "--from is after --to"),
    (["replay", RULE, "--from", "2026-12-09", "--to", "2026-12-09", "--margin", "-0.5"],
     "give 0 to 100 points"),
    (["replay", RULE, "--from", "2026-12-09", "--to", "2026-12-09", "--margin", "nan"],
     "give 0 to 100 points"),
    (["replay", RULE, "why", "--from", "2026-12-09", "--to", "2026-12-09"], "takes no WHY"),
    (["halt", RULE, "--margin", "1"], "--margin are for replay"),
    (["replay"], "replay needs the NAME of a rule"),
])
def test_replay_misuse_exits_2_naming_the_problem(argv, complaint, capsys, write_config):
    with pytest.raises(SystemExit) as done:
        cli.main(["rollouts", write_config(), *argv])
    err = capsys.readouterr().err
    assert done.value.code == 2 and complaint in err and "Traceback" not in err


def test_replay_of_a_rule_it_does_not_guard_exits_2(guarded_app, database, capsys,
                                                      monkeypatch):
    app = guarded_app()
    monkeypatch.setenv("QUILLO_SERVICE_DATABASE", database)
    path = app.extensions["quillo"].watcher.path
    for name in ("nobody", "vip"):  # unknown, and a rule without steps
        assert cli.main(["rollouts", path, "replay", name, "--from", "2026-12-01", "--to",
                         "2026-12-09"]) == 2
        err = capsys.readouterr().err
        assert "no guarded rule is named" in err and "'new release'" in err
    # On the bound the day given to --to is counted whole, one hour as one hour.
    assert cli.main(["rollouts", path, "replay", RULE, "--from", "2026-12-09", "--to",
                     "2026-12-09", "--json"]) == 0
    shown = json.loads(capsys.readouterr().out)
    assert (shown["from"], shown["to"]) == ("2026-12-09T00:00:00Z", "2026-12-10T00:00:00Z")
    assert cli.main(["rollouts", path, "replay", RULE, "--from", "2026-12-09T10:30Z", "--to",
                     "2026-12-09T10:30+00:00", "--json"]) == 0
    shown = json.loads(capsys.readouterr().out)
    assert (shown["from"], shown["to"]) == ("2026-12-09T10:00:00Z", "2026-12-09T11:00:00Z")
    assert shown["halt"] is None and shown["hours"] == []


def test_a_replay_starts_afresh_at_a_resume_and_halts_again():
    S = guard.Stratum
    bad = [S(0, h, 300, 60, 300, 9) for h in range(10, 16)]
    done = replay.replay(bad, (50, 100), 2.0, 400, 1.0, 10, 15, restarts=[13])
    assert [h.since for h in done.hours] == [10, 10, 10, 13, 13, 13]
    assert [h.hour for h in done.halts] == [11, 14]
    assert [h.halted for h in done.hours] == ["", "halts", "halted", "", "halts", "halted"]
    # The step at each hour is the one taken by its end; at 100 % nothing is judged.
    advanced = replay.replay(bad, (50, 100), 2.0, 100, 1.0, 10, 15,
                             advances=[10 * HOUR + 10])
    assert advanced.halts == [] and advanced.hours[0].step == 1
    assert "no control" in advanced.hours[0].verdict.why
