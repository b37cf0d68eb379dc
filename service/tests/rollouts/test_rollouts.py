"""Staged rollouts: the guard's arithmetic, a simulated population through
the real app and store, two hosts on one PostgreSQL, the console's forms and
the command line."""

import base64
import json
import random
import re
import threading
import time
from html import unescape

import pytest
from conftest import ADMIN, GOOD, GUARDED, KEY, PASSWORD, RULE, banners, empty_postgres

from quillo_service import __main__ as cli
from quillo_service import create_app  # noqa: E402
from quillo_service.admin import auth
from quillo_service.admin.users import Users
from quillo_service.alerts.view import about
from quillo_service.rollouts import changes, counting, guard, live
from quillo_service.rollouts.queries import RolloutQueries
from quillo_service.rollouts.view import rule_anchor
from quillo_service.config import ConfigError, ConfigWatcher, load_config
from quillo_service.launcher.rules import decide, in_rollout
from quillo_service.db import StoreError, open_store
from quillo_service.reports.records import record_event

STABLE = b"GET:https://setup.test/installers/stable.exe"
BETA = b"GET:https://setup.test/installers/beta.exe"


# -- the pure decisions ---------------------------------------------------------------

def test_wilson_interval_and_the_guard_on_plain_numbers():
    # Known values of the 95% Wilson interval.
    assert [round(x, 4) for x in guard.wilson(0, 10)] == [0.0, 0.2775]
    assert [round(x, 4) for x in guard.wilson(5, 10)] == [0.2366, 0.7634]
    assert guard.wilson(0, 0) == (0.0, 1.0)          # no requests: nothing known
    assert guard.wilson(7, 5) == guard.wilson(5, 5)  # more failures than requests: clamped
    # Newcombe's interval of the difference: the rule's low end with the
    # control's high end (the Wilson interval is not symmetric).
    low, high = guard.difference_interval(guard.Arm(1000, 150), guard.Arm(1000, 30))
    assert (round(low, 4), round(high, 4)) == (0.0957, 0.1451)
    S = guard.Stratum
    # The minimum holds in each arm: one request below it, no verdict.
    assert not judge([S(0, 0, 499, 499, 5000, 0)]).halt
    assert not judge([S(0, 0, 5000, 4000, 499, 0)]).halt
    assert judge([S(0, 0, 500, 499, 500, 0)]).halt
    # An empty or failure-free control divides by nothing.
    assert not guard.judge([], 50, 2.0, 1, 1.0).halt
    assert not judge([S(0, 0, 600, 0, 600, 0)]).halt
    # The margin: 5 points worse halts at a 2-point margin, not at a 10-point one.
    bad = [S(0, 0, 20_000, 1600, 20_000, 600)]
    assert judge(bad).halt and not judge(bad, extra=10.0).halt
    assert "8.0 %" in judge(bad).why
    # The false-halt rate sets the threshold: evidence of about 41 halts at
    # 10 % (threshold 10), not at 1 % (threshold 100).
    three = [S(0, 0, 3, 3, 15, 0)]
    assert guard.judge(three, 50, 2.0, 3, 10.0).halt and not guard.judge(three, 50, 2.0, 3,
                                                                          1.0).halt
    # At 100 % no machine is left for a control: never judged.
    at_100 = guard.judge(bad, 100, 2.0, 500, 1.0)
    assert not at_100.halt and at_100.evidence is None and "no control" in at_100.why


def test_the_variance_at_unequal_arms_weighs_each_arm_by_its_own_size():
    # 100 rule requests with 10 failures against 900 control ones with 45, margin 2 points:
    #   difference  10/100 - 45/900 = 0.10 - 0.05 = 0.05
    #   pooled p    (10 + 45) / 1000 = 0.055; the rule at the margin q = p + 0.02 = 0.075
    #   variance    q(1-q)/100 + p(1-p)/900 = 0.069375/100 + 0.051975/900
    #                                       = 0.00069375 + 0.00005775 = 0.0007515
    #   sd          sqrt(0.0007515) = 0.0274135
    # (with the arms' sizes swapped it would be 0.0244302).  One stratum: its
    # weight cancels out.
    e = guard.evidence([guard.Stratum(0, 0, 100, 10, 900, 45)], 2.0, 1.0)
    assert e.difference == pytest.approx(0.05)
    assert e.sd == pytest.approx(0.0274135, abs=1e-7)


def judge(strata, extra=2.0, share=50):
    return guard.judge(strata, share, extra, 500, 1.0)


def test_a_change_over_time_is_not_read_as_the_release():
    """A release exactly as good as its control, 3 % on a day at 5 % and
    9 % on a day at 50 %: pooled, the rule arm is mostly the worse day."""
    days = [guard.Stratum(0, 0, 1017, 32, 18983, 569),
            guard.Stratum(2, 24, 10084, 908, 9916, 899)]
    assert not judge(days).halt and not judge(days, extra=0.0).halt


def test_an_equal_release_looked_at_every_200_requests_rarely_halts():
    """Both arms failing 3 %, margin 0, the guard judging after every 200
    requests through every step: at most one false halt in 100 runs."""
    halts = 0
    for seed in range(100):
        rng = random.Random(seed)
        strata = []
        for step, share in enumerate((1, 5, 25, 50)):
            s = [0, 0, 0, 0]
            for i in range(1, 6001):
                arm = 0 if rng.random() * 100 < share else 2
                s[arm] += 1
                s[arm + 1] += rng.random() < 0.03
                if i % 200 == 0 and judge(strata + [guard.Stratum(step, step, *s)],
                                          extra=0.0).halt:
                    halts += 1
                    break
            else:
                strata.append(guard.Stratum(step, step, *s))
                continue
            break
    assert halts <= 1


def test_the_configuration_states_the_intent(write_config):
    config = load_config(write_config(GUARDED.format(steps="1, 5, 25, 50, 100")))
    (rule,) = config.guarded_rules
    assert rule.steps == (1, 5, 25, 50, 100) and rule.guard_min_requests == 500
    assert rule.guard_false_halt_percent == 1.0
    edge = GUARDED.format(steps="1, 100").replace("guard_min_requests = 500",
                                                  "guard_false_halt_percent = 10")
    assert load_config(write_config(edge)).rules[1].guard_false_halt_percent == 10
    # Held up to 3 times step_hours more by default; 0 and 100 are the bounds.
    assert (rule.guard_max_extend, rule.guard_mode) == (3.0, "halt")
    for extend in (0, 100):
        edge = GUARDED.format(steps="1, 100").replace(
            "guard_min_requests = 500", f'guard_max_extend = {extend}\nguard = "watch"')
        assert (load_config(write_config(edge)).rules[1].guard_max_extend,
                load_config(write_config(edge)).rules[1].guard_mode) == (extend, "watch")
    for steps, old, new, problem in (
            ("5, 1, 100", "", "", "must rise"),
            ("1, 5", "", "", "last step must equal rollout"),
            ("1, 100", "step_hours = 24", "step_hours = -1", "step_hours"),
            ("1, 100", "guard_min_requests = 500", "guard_min_requests = 0",
             "guard_min_requests"),
            ("1, 100", "guard_min_requests = 500", "guard_false_halt_percent = 0",
             "guard_false_halt_percent"),
            ("1, 100", "guard_min_requests = 500", "guard_false_halt_percent = 10.5",
             "guard_false_halt_percent"),
            ("1, 100", "guard_min_requests = 500", "guard_max_extend = -1", "guard_max_extend"),
            ("1, 100", "guard_min_requests = 500", "guard_max_extend = 100.5",
             "guard_max_extend"),
            ("1, 100", "guard_min_requests = 500", 'guard = "stop"', 'guard must be "halt"'),
            ("1, 100", "guard_min_requests = 500", "guard = true", 'guard must be "halt"'),
            ("1, 100", '"new release"', '"fallback"', "already taken"),
            ("1, 100", "rollout = 100\n", "", "need rollout and steps")):
        text = GUARDED.format(steps=steps).replace(old, new) if old else \
            GUARDED.format(steps=steps)
        with pytest.raises(ConfigError, match=problem):
            load_config(write_config(text))


def test_steps_that_do_not_strictly_rise_are_refused_by_check_and_by_a_reload(
        write_config, capsys):
    def steps(text):
        return GUARDED.format(steps=text).replace("rollout = 100", "rollout = 30")
    assert load_config(write_config(steps("10, 10.01, 30"))).guarded_rules[0].steps == (
        10, 10.01, 30)
    path = write_config(steps("10, 30"))
    clock = [0.0]
    watcher = ConfigWatcher(path, clock=lambda: clock[0], settle=0)
    write_config(steps("10, 10, 30"))
    assert cli.main(["check", path]) == 1
    assert "steps must rise" in capsys.readouterr().err
    clock[0] += 2
    assert watcher.current().guarded_rules[0].steps == (10, 30)  # the last good file serves
    assert "steps must rise" in watcher.live().error


# -- a simulated population through the app and its store ----------------------------------

@pytest.fixture
def guarded_app(database, write_config):
    def make(steps="25, 50, 100", extra="", min_requests=500):
        text = GUARDED.format(steps=steps).replace("guard_min_requests = 500",
                                                   f"guard_min_requests = {min_requests}")
        a = create_app(write_config(text + extra + ADMIN),
                       database=database,
                       proxies="127.0.0.1")
        state = a.extensions["quillo"]
        state.scheduler.stop()  # the tests tick themselves, with their own clock
        state.live.ttl = 0
        changes.tick(state.store, state.watcher.current())  # the rule starts now
        made.append(a)
        return a
    made = []
    yield make
    for a in made:
        a.extensions["quillo"].store.close()


def machine(rng):
    return "%040X" % rng.getrandbits(160), "10.%d.%d.%d" % (
        rng.randrange(256), rng.randrange(256), rng.randrange(1, 255))


def population(app, seed, requests, rule_rate, control_rate, until=None):
    """Launcher runs, each failing (an error page from the same address and
    key) at the rate of the arm it got; the guard ticks every 100 runs.
    Returns the runs made."""
    rng = random.Random(seed)
    client, state = app.test_client(), app.extensions["quillo"]
    config = state.watcher.current()
    for i in range(1, requests + 1):
        mid, ip = machine(rng)
        answer = client.get(f"/getinstaller?key={KEY}&version=0%2C1%2C0%2C220&id={mid}",
                            headers={"X-Real-IP": ip}).data
        if rng.random() < (rule_rate if answer == BETA else control_rate):
            client.get("/error/?source=gatherkit&code=201&message=&error=0x80004005"
                       f"&version=0%2C1%2C0%2C220&os=10.0&key={KEY}", headers={"X-Real-IP": ip})
        if i % 100 == 0:
            changes.tick(state.store, config, now=time.time() + 10)
            if until and until():
                return i
    return requests


def traffic(store, at, share, inside, outside, seed=0):
    """`inside` requests in the rule's arm and `outside` in its control at
    `share` %, recorded at time `at` as the app records them (machines in or
    out of the share by the same hash).  They come from as many machines per
    arm as keep the machines split by the share, as a sound split is, so
    that the split check holds nothing here: a machine may ask again."""
    rng, want = random.Random(seed), {True: inside, False: outside}
    if share < 100 and inside and outside:
        if inside * (100 - share) > outside * share:
            machines = {False: outside, True: max(1, round(outside * share / (100 - share)))}
        else:
            machines = {True: inside, False: max(1, round(inside * (100 - share) / share))}
    else:
        machines = dict(want)
    drawn = {True: [], False: []}
    while any(len(drawn[a]) < min(machines[a], want[a]) for a in drawn):
        mid, ip = machine(rng)
        drawn[in_rollout(RULE, mid, share)].append((mid, ip))
    for arm in (True, False):
        for i in range(want[arm]):
            mid, ip = drawn[arm][i % min(machines[arm], want[arm])]
            store.record_request(at, ip, KEY, "0,1,0,220", mid, "x", RULE if arm else "default",
                                 "", "", None, ("+" if arm else "-") + RULE)


def state_of(app):
    return RolloutQueries(app.extensions["quillo"].store).states()[RULE]


def test_a_bad_release_is_halted_before_2000_requests_reach_it(guarded_app):
    app = guarded_app()
    store = app.extensions["quillo"].store
    population(app, 1, 12_000, 0.15, 0.03, until=lambda: state_of(app)["state"] == "halted")
    row = state_of(app)
    assert row["state"] == "halted" and row["why"].startswith("guard:")
    reached = sum(1 for r in store.recent_requests(100_000) if r["rule"] == RULE)
    assert 500 <= reached < 2000
    # Halted: nobody gets the release any more, whoever was in its share.
    rng = random.Random(1)
    client = app.test_client()
    for _ in range(50):
        mid, _ = machine(rng)
        assert client.get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={mid}").data == STABLE
    audit = RolloutQueries(store).audit(RULE)
    assert [a[3] for a in audit] == ["halt", "start"] and audit[0][2] == "guard"
    # The banner on every console page says it in plain words, with the
    # arms at the halting step, and links to the rule's row; the figures
    # behind it are on the Rollouts page.
    [(kind, banner)] = banners(client.get("/admin/failures", headers=GOOD).data.decode())
    assert kind == "halt"
    assert re.search(r"Rollout \u201cnew release\u201d was halted by the guard at [\d-]+ "
                     r"[\d:]+ UTC: at this step \(step 1\) its machines failed \d+(\.\d)?\xa0% "
                     r"of the time, against \d(\.\d)?\xa0% for the control\. Its machines now "
                     r"get the default, "
                     r"channel stable\. Fix the installer, then resume the rollout", banner)
    assert not re.search(r"\[\d|evidence|sd |points", banner)
    anchor = rule_anchor(RULE)
    # The link keeps the page's period.
    assert re.search(f'<a href="/admin/rollouts\\?period=[^"#]+#{re.escape(anchor)}">'
                     'See new release on the Rollouts page</a>', banner)
    assert f'<article class="card halted" id="{anchor}">' in \
        client.get("/admin/rollouts", headers=GOOD).data.decode()

    # Acknowledged, it keeps one line on every page until the rule's state changes.
    def ack(banner, token=True):
        form = dict(re.findall(r'name="(\w+)" value="([^"]*)"', banner))
        return client.post("/admin/banners/ack", headers=GOOD,
                           data=form if token else dict(form, token=""))
    assert ack(banner, token=False).status_code == 403
    # A read-only user is shown no button, and a post of the form is refused.
    Users(store).add("reader", auth.make_hash(PASSWORD), True)
    reader = {"Authorization": "Basic " + base64.b64encode(
        f"reader:{PASSWORD}".encode()).decode()}
    assert "banners/ack" not in client.get("/admin/crashes", headers=reader).data.decode()
    form = dict(re.findall(r'name="(\w+)" value="([^"]*)"', banner))
    assert client.post("/admin/banners/ack", headers=reader, data=form).status_code == 403
    r = ack(banner)
    assert r.status_code == 303 and r.headers["Location"] == "/admin/failures"
    [(kind, line)] = banners(client.get("/admin/crashes", headers=GOOD).data.decode())
    assert kind == "acked" and "acknowledged by boss on" in line and "<form" not in line
    assert "Fix the installer" not in line and anchor in line
    # Resumed and halted again: a new state, the whole banner again.
    config = app.extensions["quillo"].watcher.current()
    changes.act(store, config, RULE, "resume", "console: boss", "installer fixed")
    changes.act(store, config, RULE, "halt", "console: boss", "calls again")
    [(kind, banner)] = banners(client.get("/admin/crashes", headers=GOOD).data.decode())
    assert kind == "halt" and "<form" in banner
    assert "halted by boss on the console at" in banner and "\u201ccalls again\u201d" in banner


def test_a_good_release_advances_through_every_step_once_each_is_judged(guarded_app):
    app = guarded_app("1, 5, 25, 50, 100", min_requests=20)
    state = app.extensions["quillo"]
    store, config, client = state.store, state.watcher.current(), app.test_client()
    rng = random.Random(3)
    sample = [machine(rng)[0] for _ in range(400)]
    for step, share in enumerate((1, 5, 25, 50, 100)):
        since = state_of(app)["since"]
        changes.tick(store, config, now=since + 24 * 3600 - 60)
        assert state_of(app)["step"] == step  # not held long enough yet
        if share < 100:
            # Held its time, one request short of the minimum in the rule's
            # arm: not judged, so it waits; the one more request lets it go on.
            traffic(store, since + 3600, share, 19, 20, seed=step)
            changes.tick(store, config, now=since + 24 * 3600 + 1)
            assert (state_of(app)["step"], state_of(app)["state"]) == (step, "running")
            traffic(store, since + 3600, share, 1, 0, seed=100 + step)
        changes.tick(store, config, now=since + 24 * 3600 + 2)
        if share == 100:  # no control at 100 %, and no verdict needed
            break
        assert (state_of(app)["step"], state_of(app)["state"]) == (step + 1, "running")
        got = sum(client.get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={m}").data == BETA
                  for m in sample)
        assert got == sum(in_rollout(RULE, m, config.guarded_rules[0].steps[step + 1])
                          for m in sample)
    assert state_of(app)["state"] == "done"
    assert [a[3] for a in RolloutQueries(store).audit(RULE)] == \
        ["done", "advance", "advance", "advance", "advance", "start"]


def test_a_step_not_judged_waits_then_is_held_for_a_person_who_may_advance_it(guarded_app):
    app = guarded_app("25, 50, 100", extra="guard_max_extend = 2\n")
    state = app.extensions["quillo"]
    store, config, client = state.store, state.watcher.current(), app.test_client()
    since = state_of(app)["since"]
    traffic(store, since + 60, 25, 10, 600)  # too few in the rule's arm
    changes.tick(store, config, now=since + 24 * 3600 + 1)
    assert state_of(app)["state"] == "running"
    state.clock = lambda: since + 24 * 3600 + 1  # the page's clock
    assert "but it advances only once judged: not enough traffic to judge" in card_text(client)
    # It waits 2 more times its 24 hours: held for a person on the bound, not before.
    changes.tick(store, config, now=since + 72 * 3600 - 1)
    assert state_of(app)["state"] == "running"
    changes.tick(store, config, now=since + 72 * 3600)
    row = state_of(app)
    assert (row["state"], row["step"]) == ("held", 0)
    assert row["why"].startswith("held for a person: not enough traffic to judge: at this "
                                 "step the guard has 10 requests in the rule's arm and 600")
    assert "keep getting the release at 25 % of matching machines" in row["why"]
    assert "Advance it by hand" in row["why"]
    [alert] = store.rows("SELECT DISTINCT kind, data FROM alert_outbox")
    assert alert["kind"] == "rollout_held" and "not enough traffic to judge" in alert["data"]
    assert about(alert["kind"], alert["data"]).startswith(
        "\u201cnew release\u201d held for a person (not enough traffic to judge) at step 1")
    # Held, it still serves its share, and the guard no longer moves it.
    rng = random.Random(9)
    inside = next(m for m, _ in (machine(rng) for _ in range(100)) if in_rollout(RULE, m, 25))
    assert client.get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={inside}").data == BETA
    changes.tick(store, config, now=since + 1000 * 3600)
    assert state_of(app)["state"] == "held"
    html = client.get("/admin/rollouts", headers=GOOD).data.decode()
    assert f'<article class="card held" id="{rule_anchor(RULE)}">' in html
    assert "Held for a person: not enough traffic to judge" in html
    assert re.findall(r'name="action" value="(\w+)"', html) == ["halt", "advance"]
    # A person may advance it; who and why are kept, and that it was not judged.
    changes.act(store, config, RULE, "advance", "console: boss", "tiny campaign, looked at it")
    row = state_of(app)
    assert (row["state"], row["step"]) == ("running", 1)
    when, _, who, action, old, new, why = RolloutQueries(store).audit(RULE)[0]
    assert (who, action, old, new) == ("console: boss", "advance", "step 1 held",
                                       "step 2 running")
    assert why.startswith("tiny campaign, looked at it; advanced without the guard's verdict "
                          "(not enough traffic to judge")


def test_a_held_rule_still_serves_its_share_so_the_guard_still_halts_it(guarded_app):
    app = guarded_app("25, 50, 100", extra="guard_max_extend = 0\n")
    store, config = app.extensions["quillo"].store, app.extensions["quillo"].watcher.current()
    changes.tick(store, config, now=state_of(app)["since"] + 24 * 3600)
    assert state_of(app)["state"] == "held"
    population(app, 1, 2400, 0.4, 0.03, until=lambda: state_of(app)["state"] == "halted")
    assert state_of(app)["state"] == "halted" and state_of(app)["why"].startswith("guard:")


def test_a_watched_rule_is_judged_and_alerted_but_never_halted_or_held(guarded_app):
    app = guarded_app("50, 75, 100", extra='guard = "watch"\n')
    state = app.extensions["quillo"]
    store, config, client = state.store, state.watcher.current(), app.test_client()
    # Not judged when its step has been held: it advances on time all the same.
    html = client.get("/admin/rollouts", headers=GOOD).data.decode()
    assert '<span class="state watch">watching</span>' in html
    changes.tick(store, config, now=state_of(app)["since"] + 24 * 3600 + 1)
    row = state_of(app)
    assert (row["step"], row["state"]) == (1, "running")
    assert "watching, so it goes on without a verdict (not enough traffic to judge" in row["why"]
    # Far worse than its control: it would halt, and says so once, but goes on.
    population(app, 1, 2400, 0.4, 0.03)  # (a quarter of them in the control)
    assert state_of(app)["state"] == "running"
    kinds = [r["kind"] for r in store.rows("SELECT kind FROM alert_outbox WHERE channel = "
                                           "'webhook' ORDER BY id")]
    assert kinds == ["rollout_advanced", "rollout_would_halt"]
    assert card_text(client) .count("Watching: would halt.") == 1
    assert "its machines keep getting the release" in card_text(client)


def card_text(client):
    html = client.get("/admin/rollouts", headers=GOOD).data.decode()
    return unescape(re.search(r'<article class="card \w+" id="[^"]+">(.*?)</article>', html,
                              re.S).group(1))


def test_failures_are_laid_at_the_request_before_them_once(guarded_app):
    app = guarded_app("50, 100")
    state = app.extensions["quillo"]
    store, config, client = state.store, state.watcher.current(), app.test_client()
    rng = random.Random(4)
    inside = next(m for m in (machine(rng) for _ in range(100)) if in_rollout(RULE, m[0], 50))
    outside = next(m for m in (machine(rng) for _ in range(100))
                   if not in_rollout(RULE, m[0], 50))
    error = ("/error/?source=gatherkit&code=201&message=&error=0x80004005&version=0%2C1%2C0"
             "%2C220&os=10.0&key={}")
    crash = ("/error/?source=Gatherkit&code=0&message=0x00400000%3A0x00401A2B%3Ac0000005%3A"
             "Quillo.exe&error=0x0000023e&version=0&os=0&key=0")
    for mid, ip in (inside, outside):
        client.get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={mid}",
                   headers={"X-Real-IP": ip})
    client.get(f"/getinstaller?key={KEY}&version=0,1,0,220", headers={"X-Real-IP": "192.0.2.8"})
    h = {"X-Real-IP": inside[1]}
    client.get(error.format(KEY), headers=h)
    client.get(error.format(KEY), headers=h)         # the same request fails once
    client.get(error.format("other"), headers=h)     # another key: not this request
    client.get(crash, headers={"X-Real-IP": outside[1]})  # a crash needs no key
    client.get(crash, headers={"X-Real-IP": "192.0.2.9"})  # nobody's request
    # The next run from that address, in the control, a moment after the
    # errors: they stay with the run before them.
    client.get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={outside[0]}", headers=h)
    changes.tick(store, config, now=time.time() + 10)
    # Reported failing again in a later tick: still one failed request.
    client.get(crash, headers={"X-Real-IP": outside[1]})
    changes.tick(store, config, now=time.time() + 10)
    # (The request without a machine id is in no arm.)
    assert RolloutQueries(store).health(RULE, 0) == {"rule": (1, 1), "control": (2, 1)}


def test_workers_ticking_at_once_count_each_record_once_and_halt_once(guarded_app, database):
    app = guarded_app("50, 100")
    store, config = app.extensions["quillo"].store, app.extensions["quillo"].watcher.current()
    rng = random.Random(6)
    for i in range(1200):  # the rule's machines all fail, the others never
        mid, ip = machine(rng)
        inside = in_rollout(RULE, mid, 50)
        store.record_request(None, ip, KEY, "0,1,0,220", mid, "x",
                             RULE if inside else "default", "", "", None,
                             "+" + RULE if inside else "-" + RULE)
        if inside:
            record_event(store, {"recorded_at": time.time(), "client": ip, "bundle_key": KEY,
                                "kind": "error", "reference": f"R{i}", "malformed": "",
                                "cut": "", **{c: None for c in (
                                    "source", "code", "message", "error", "version", "os",
                                    "code_number", "hresult", "module", "module_base",
                                    "address", "module_offset", "exception_code")}}, 10**6)
    workers = [open_store(database) for _ in range(4)]
    gate = threading.Barrier(len(workers))

    def tick(s):
        gate.wait()
        changes.tick(s, config, now=time.time() + 10)

    threads = [threading.Thread(target=tick, args=(s,)) for s in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    for s in workers:
        s.close()
    h = RolloutQueries(store).health(RULE, 0)
    assert h["rule"][0] + h["control"][0] == 1200 and h["rule"][0] == h["rule"][1] > 500
    assert h["control"][1] == 0
    assert [a[3] for a in RolloutQueries(store).audit(RULE)] == ["halt", "start"]


def test_an_advance_within_an_hour_splits_it_and_the_last_advance_is_done(guarded_app):
    app = guarded_app("25, 50, 100")
    state = app.extensions["quillo"]
    store, config, client = state.store, state.watcher.current(), app.test_client()
    rng = random.Random(7)

    def ask(n):
        for _ in range(n):
            client.get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={machine(rng)[0]}")
        changes.tick(store, config, now=time.time() + 10)

    ask(20)
    changes.act(store, config, RULE, "advance", "test", "")
    ask(20)
    counted = RolloutQueries(store).strata(RULE, 0)
    assert sorted({s[0] for s in counted}) == [0, 1]
    assert sum(s[2] + s[4] for s in counted) == 40
    changes.act(store, config, RULE, "advance", "test", "")
    assert "no control" in state_of(app)["why"]
    assert "no control" in changes.verdict(store, config.guarded_rules[0], state_of(app)).why
    html = client.get("/admin/rollouts", headers=GOOD).data.decode()
    assert "no control at 100 %" in html and "evidence" in html
    changes.act(store, config, RULE, "advance", "test", "")  # on the last step
    assert state_of(app)["state"] == "done"


def test_a_resumed_rule_is_judged_from_the_next_hour(guarded_app):
    app = guarded_app()
    store, config = app.extensions["quillo"].store, app.extensions["quillo"].watcher.current()
    changes.act(store, config, RULE, "halt", "test", "")
    now = 1000 * 3600 + 3599.5
    changes.act(store, config, RULE, "resume", "test", "", now=now)
    assert state_of(app)["from_hour"] == 1001


def test_a_halt_is_not_made_without_its_alert(guarded_app):
    app = guarded_app()
    store, config = app.extensions["quillo"].store, app.extensions["quillo"].watcher.current()
    store._conn().execute("ALTER TABLE alert_outbox RENAME TO alert_outbox_away")
    try:
        with pytest.raises(StoreError):
            changes.act(store, config, RULE, "halt", "test", "calls")
        assert state_of(app)["state"] == "running"
    finally:  # (the store opens a new connection after an error)
        store._conn().execute("ALTER TABLE alert_outbox_away RENAME TO alert_outbox")
    changes.act(store, config, RULE, "halt", "test", "calls")
    assert state_of(app)["state"] == "halted"
    assert [r["kind"] for r in store.rows("SELECT DISTINCT kind FROM alert_outbox")] == \
        ["rollout_halted"]


def test_a_worker_serves_no_guarded_rule_before_its_first_read(guarded_app):
    app = guarded_app("50, 100")
    store, config = app.extensions["quillo"].store, app.extensions["quillo"].watcher.current()
    changes.act(store, config, RULE, "halt", "test", "")
    store._conn().execute("ALTER TABLE rollout_state RENAME TO rollout_state_away")
    fresh = live.Live(store, ttl=0)
    try:
        assert fresh.shares(config) == {RULE: 0.0}
    finally:
        store._conn().execute("ALTER TABLE rollout_state_away RENAME TO rollout_state")
    changes.act(store, config, RULE, "resume", "test", "")
    assert fresh.shares(config) == {RULE: 50.0}


def test_a_request_without_a_machine_id_is_in_no_arm(write_config):
    config = load_config(write_config(GUARDED.format(steps="50, 100")))
    outside = next(m for m in ("%040X" % i for i in range(100))
                   if not in_rollout(RULE, m, 50))
    assert decide(config, KEY, "0,1,0,220", outside, shares={RULE: 50}).arms == \
        ((RULE, "control"),)
    assert decide(config, KEY, "0,1,0,220", None, shares={RULE: 50}).arms == ()


# -- every host obeys a halt -------------------------------------------------------------

def test_a_halt_on_one_host_is_obeyed_by_another_within_2_seconds(postgres, write_config):
    empty_postgres(postgres)
    path = write_config(GUARDED.format(steps="50, 100"))
    hosts = [create_app(path, database=postgres.url, proxies="127.0.0.1") for _ in range(2)]
    try:
        for h in hosts:
            h.extensions["quillo"].scheduler.stop()
        rng = random.Random(5)
        mid = next(m for m, _ in (machine(rng) for _ in range(100)) if in_rollout(RULE, m, 50))
        ask = f"/getinstaller?key={KEY}&version=0,1,0,220&id={mid}"
        other = hosts[1].test_client()
        assert other.get(ask).data == BETA
        one = hosts[0].extensions["quillo"]
        changes.act(one.store, one.watcher.current(), RULE, "halt", "test", "smoke")
        halted_at = time.monotonic()
        while other.get(ask).data == BETA:
            assert time.monotonic() - halted_at < 2.0
            time.sleep(0.02)
        changes.act(one.store, one.watcher.current(), RULE, "resume", "test", "fixed")
        resumed_at = time.monotonic()
        while other.get(ask).data != BETA:
            assert time.monotonic() - resumed_at < 2.0
            time.sleep(0.02)
    finally:
        for h in hosts:
            h.extensions["quillo"].store.close()


# -- people: the console's forms and the command line ------------------------------------

def test_console_forms_need_their_token_and_every_attempt_is_audited(guarded_app):
    app = guarded_app()
    client = app.test_client()
    html = client.get("/admin/rollouts", headers=GOOD).data.decode()
    token = re.search(r'name="token" value="([^"]+)"', html).group(1)
    assert re.findall(r'name="action" value="(\w+)"', html) == ["halt", "advance"]
    form = {"rule": RULE, "action": "halt", "why": "calls from support"}
    for bad in ({}, {"token": "1.abc"}, {"token": token.split(".")[0] + ".0" * 32}):
        r = client.post("/admin/rollouts/act", data={**form, **bad}, headers=GOOD)
        assert r.status_code == 403
    assert client.post("/admin/rollouts/act", data={**form, "token": token}).status_code == 401
    assert state_of(app)["state"] == "running"
    r = client.post("/admin/rollouts/act", data={**form, "token": token}, headers=GOOD)
    assert r.status_code == 303
    assert state_of(app)["state"] == "halted"
    assert "calls from support" in state_of(app)["why"]
    r = client.post("/admin/rollouts/act", data={**form, "token": token}, headers=GOOD)
    assert r.status_code == 409 and "already halted" in r.data.decode()
    rows = client.get("/admin/rollouts?csv=history", headers=GOOD).data.decode().splitlines()
    assert [line.split(",")[3] for line in rows[1:]] == \
        ["halt", "halt refused", "halt refused", "halt refused", "start"]
    assert "console: boss" in rows[1] and "step 1 running,step 1 halted" in rows[1]
    html = client.get("/admin/rollouts", headers=GOOD).data.decode()
    assert re.findall(r'name="action" value="(\w+)"', html) == ["resume"]


def test_the_command_line_lists_halts_resumes_and_advances(guarded_app, write_config,
                                                           database, capsys, monkeypatch):
    app = guarded_app()
    path = app.extensions["quillo"].watcher.path
    monkeypatch.setenv("QUILLO_SERVICE_DATABASE", database)
    assert cli.main(["rollouts", path]) == 0
    header, line = capsys.readouterr().out.splitlines()
    assert header.split()[0] == "rule" and header.endswith("state")
    assert line.startswith(RULE + " ") and " 25% " in line and line.endswith(" running")
    assert cli.main(["rollouts", path, "advance", RULE]) == 0
    assert cli.main(["rollouts", path, "halt", RULE, "too", "many", "calls"]) == 0
    assert cli.main(["rollouts", path, "halt", RULE]) == 1
    assert cli.main(["rollouts", path, "resume", "nobody"]) == 1
    out = capsys.readouterr()
    assert [x.split()[-1] for x in out.out.splitlines()[1::2]] == ["running", "halted"]
    assert " 50% " in out.out.splitlines()[1] and " 0% " in out.out.splitlines()[3]
    assert "already halted" in out.err and "no guarded rule" in out.err
    audit = RolloutQueries(app.extensions["quillo"].store).audit(RULE)
    assert audit[0][2].startswith("command line: ") and audit[0][6].startswith("too many calls")
    # Halted again right after a resume: no requests at this step yet, said
    # so, not as an interval of nothing.
    assert cli.main(["rollouts", path, "resume", RULE, "fixed"]) == 0
    capsys.readouterr()
    assert cli.main(["rollouts", path, "halt", RULE, "again", "--json"]) == 0
    (shown,) = json.loads(capsys.readouterr().out)
    assert (shown["rule"], shown["state"], shown["share"]) == (RULE, "halted", 0.0)
    assert "no requests yet" in shown["why"] and "[0.0, 100.0]" not in shown["why"]
