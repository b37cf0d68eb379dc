"""The split check: machines, not requests, in each arm at each step, as
the share says; a split that does not match holds the rule where it is."""

import json
import math
import random
import time

import pytest
from conftest import ADMIN, GOOD, GUARDED, KEY, RULE
from test_rollouts import BETA, machine, state_of

from quillo_service import create_app
from quillo_service.launcher.rules import in_rollout
from quillo_service.rollouts import changes, gauges, machines, split, split_check
from quillo_service.rollouts.gauges import Gauge
from quillo_service.rollouts.history import History
from quillo_service.rollouts.queries import RolloutQueries


def test_the_expected_share_is_the_buckets_in_rollout_puts_in_the_rule():
    rng = random.Random(5)
    for percent in (0, 0.01, 0.07, 1, 5, 12.345, 33.33, 50, 99.99, 100):
        buckets = sum(b < percent * 100 for b in range(split.BUCKETS))
        assert split.expected_share(percent) == buckets / split.BUCKETS
    # and the hash puts that share of machines in the rule
    ids = ["%040X" % rng.getrandbits(160) for _ in range(20_000)]
    got = sum(in_rollout(RULE, m, 5) for m in ids) / len(ids)
    assert abs(got - split.expected_share(5)) < 4 * math.sqrt(0.05 * 0.95 / len(ids))


def test_the_bayes_factor_is_a_fair_bet_under_the_null():
    """Its mean under the null is exactly 1 (what makes it a martingale),
    one draw alone is no evidence, and an equal mix keeps both."""
    for theta in (0.05, 0.3, 0.5):
        null = (theta, 1 - theta)
        for c in (*split.CONCENTRATIONS, 2.0):
            assert split.log_bayes_factor((1, 0), null, c) == pytest.approx(0, abs=1e-9)
            assert split.log_bayes_factor((0, 1), null, c) == pytest.approx(0, abs=1e-9)
            for n in (2, 7, 15):
                mean = sum(math.comb(n, k) * theta ** k * (1 - theta) ** (n - k)
                           * math.exp(split.log_bayes_factor((k, n - k), null, c))
                           for k in range(n + 1))
                assert mean == pytest.approx(1.0, rel=1e-9)
        n = 9
        assert sum(math.comb(n, k) * theta ** k * (1 - theta) ** (n - k)
                   * math.exp(split.log_evidence((k, n - k), null)) for k in range(n + 1)) \
            == pytest.approx(1.0, rel=1e-9)


def test_a_split_off_its_share_is_a_mismatch_and_a_sound_one_is_not():
    assert not split.check(600, 11_400, 5).mismatch
    assert not split.check(0, 0, 5).mismatch and split.check(0, 0, 5).evidence == 1.0
    off = split.check(480, 11_520, 5)
    assert off.mismatch and off.expected == 0.05 and off.observed == 0.04
    said = off.describe()
    assert said.startswith("the split does not match its share")
    assert "expected 5.00 %" in said and "observed 4.00 %" in said
    assert "480 of 12,000 machines" in said and "11,520 in the control" in said
    # either way off
    assert split.check(840, 11_160, 5).mismatch
    # on the threshold it alarms; just under it, not
    e = off.evidence
    assert split.check(480, 11_520, 5, alpha=1 / e).mismatch
    assert not split.check(480, 11_520, 5, alpha=1 / (e * (1 + 1e-9))).mismatch
    # no split to check at 0 or 100 %, however the machines fell
    for percent in (0, 100):
        s = split.check(10, 0, percent)
        assert not s.judged and not s.mismatch and "not checked" in s.describe()


def test_by_hour_adds_the_machines_up_in_hour_order():
    out = split.by_hour([(12, 40, 960), (10, 2, 38), (12, 1, 0), (11, 0, 0)], 5)
    assert [h for h, _ in out] == [10, 11, 12]
    assert [(s.rule_machines, s.control_machines) for _, s in out] == \
        [(2, 38), (2, 38), (43, 998)]
    assert out[-1][1] == split.check(43, 998, 5)


@pytest.fixture
def apps(database, write_config):
    """Apps on one database; each ticks itself, with its own clock."""
    made = []

    def make(steps, min_requests=500):
        text = GUARDED.format(steps=steps).replace(
            "guard_min_requests = 500", f"guard_min_requests = {min_requests}")
        a = create_app(write_config(text + ADMIN, name=f"{len(made)}.toml"),
                       database=database, proxies="127.0.0.1")
        state = a.extensions["quillo"]
        state.scheduler.stop()
        state.live.ttl = 0
        changes.tick(state.store, state.watcher.current())
        made.append(a)
        return a
    yield make
    for a in made:
        a.extensions["quillo"].store.close()


def ask(app, mid, ip):
    return app.test_client().get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={mid}",
                                 headers={"X-Real-IP": ip}).data


def test_machines_are_counted_once_however_often_they_ask(apps):
    app = apps("50, 100")
    state = app.extensions["quillo"]
    store, config = state.store, state.watcher.current()
    rng = random.Random(8)
    ids = [machine(rng) for _ in range(40)]
    inside = sum(in_rollout(RULE, mid, 50) for mid, _ in ids)
    for round_ in range(3):
        for mid, ip in ids:
            # a failing installer makes people run the launcher again: the
            # rule's machines ask twice as often
            for _ in range(2 if in_rollout(RULE, mid, 50) else 1):
                ask(app, mid.lower() if round_ else mid, ip)
        changes.tick(store, config, now=time.time() + 10)
    assert RolloutQueries(store).health(RULE, 0) == {"rule": (6 * inside, 0),
                                                     "control": (3 * (40 - inside), 0)}
    assert machines.totals(store, RULE, 0) == (inside, 40 - inside)
    rule = next(r for r in config.rules if r.name == RULE)
    assert split_check.current(store, rule, state_of(app)).machines == 40
    # After a resume only the machines first seen at the step from its
    # whole hour on count, in both arms alike.
    later = state_of(app)["from_hour"] + 1
    assert machines.totals(store, RULE, 0, later) == (0, 0)


def test_a_worker_with_a_wrong_share_holds_the_rule_but_no_halt_or_person(apps):
    app = apps("50, 100", min_requests=20)
    store = app.extensions["quillo"].store
    config = app.extensions["quillo"].watcher.current()
    # a worker still on a configuration that gives the rule 10 % at its step
    stale = apps("10, 100", min_requests=20)
    rng = random.Random(9)
    for _ in range(120):
        ask(stale, *machine(rng))
    since = state_of(app)["since"]
    changes.tick(store, config, now=since + 25 * 3600)
    changes.tick(store, config, now=since + 26 * 3600)
    row = state_of(app)
    assert (row["step"], row["state"]) == (0, "running")  # held a day past its time
    # said once, however many ticks see it
    [alert] = store.rows("SELECT DISTINCT alert_key, data FROM alert_outbox WHERE kind = "
                         f"{store.placeholder}", ("rollout_split_mismatch",))
    assert '"expected":0.5' in alert["data"] and '"rule":"new release"' in alert["data"]
    # kept by the hour and given to the monitoring as it is shown
    [kept] = History(store).read(RULE, 0, since + 30 * 3600)[-1:]
    assert kept.split_expected == 0.5 and kept.split_mismatch >= split.ALPHA ** -1
    assert kept.split_observed == pytest.approx(json.loads(alert["data"])["observed"])
    assert Gauge("guard_split_check", {"state": "checked"}, 1.0) in \
        gauges.every_rule(store, config, since + 26 * 3600)[RULE]
    page = app.test_client().get("/admin/rollouts", headers=GOOD).data.decode()
    assert '<p class="split mismatch">The split does not match its share: 50.00\xa0% of ' \
           'machines expected in the rule' in page
    # a person may still advance it; the history keeps what the check said
    changes.act(store, config, RULE, "advance", "console: boss", "checked by hand",
                now=since + 27 * 3600)
    assert state_of(app)["step"] == 1
    why = RolloutQueries(store).audit(RULE)[0][6]
    assert why.startswith("checked by hand; ")
    assert "; the split does not match its share: expected 50.00 %" in why
    # at 100 % there is no split to check
    assert 'class="split' not in app.test_client().get("/admin/rollouts",
                                                       headers=GOOD).data.decode()


def test_a_mismatch_does_not_stop_the_guard_halting(apps):
    app = apps("50, 100", min_requests=20)
    store = app.extensions["quillo"].store
    config = app.extensions["quillo"].watcher.current()
    stale = apps("10, 100", min_requests=20)
    rng = random.Random(10)
    client = stale.test_client()
    for _ in range(400):
        mid, ip = machine(rng)
        if ask(stale, mid, ip) == BETA:  # every run of the release fails
            client.get("/error/?source=gatherkit&code=201&message=&error=0x80004005"
                       f"&version=0%2C1%2C0%2C220&os=10.0&key={KEY}",
                       headers={"X-Real-IP": ip})
    changes.tick(store, config, now=state_of(app)["since"] + 25 * 3600)
    row = state_of(app)
    assert row["state"] == "halted" and row["why"].startswith("guard:")
