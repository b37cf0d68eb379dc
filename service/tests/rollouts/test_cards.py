"""The Rollouts page's cards through the real app and store: an advance that
asks first, a why required, refusals shown on the rule's card, the counts
from before a resume kept, and the guard's verdict with its bar."""

import random
import re
import time
from html import unescape

from conftest import GOOD, KEY, RULE, confirmation
from test_rollouts import guarded_app, machine, population, state_of  # noqa: F401 (a fixture)

from quillo_service.rollouts import cards, changes, guard
from quillo_service.rollouts.view import rule_anchor


def page(client):
    r = client.get("/admin/rollouts", headers=GOOD)
    assert r.status_code == 200
    return r.data.decode()


def card(html, name=RULE):
    """The text of a rule's card, its entities read."""
    found = re.search(rf'<article class="card \w+" id="{re.escape(rule_anchor(name))}">(.*?)'
                      r"</article>", html, re.S)
    return unescape(found.group(1))


def post(client, **form):
    return client.post("/admin/rollouts/act", headers=GOOD, data=form)


def token(html):
    return re.search(r'name="token" value="([^"]+)"', html).group(1)


def test_an_advance_asks_first_and_acts_only_once_confirmed(guarded_app):
    app = guarded_app("50, 100")
    client = app.test_client()
    asked = post(client, rule=RULE, action="advance", why="all good", token=token(page(client)))
    assert asked.status_code == 200 and state_of(app)["step"] == 0  # nothing changed yet
    shown = card(asked.data.decode())
    assert "Confirm: advance new release: 50 % \u2192 100 % of matching machines" in shown
    assert "Why: \u201call good\u201d" in shown and "Cancel" in shown
    form = confirmation(asked.data.decode())
    assert (form["action"], form["why"], form["confirm"]) == ("advance", "all good", "yes")
    done = post(client, **form)
    assert done.status_code == 303 and done.headers["Location"].endswith(
        "#" + rule_anchor(RULE))
    assert state_of(app)["step"] == 1 and "all good" in state_of(app)["why"]
    # The same confirmation again is for a state that is gone: refused, no second step.
    again = post(client, **form)
    assert again.status_code == 409 and "changed since you asked" in card(again.data.decode())
    assert state_of(app)["state"] == "running"


def test_an_empty_why_and_a_refused_action_come_back_on_the_card(guarded_app):
    app = guarded_app()
    client = app.test_client()
    form = {"rule": RULE, "action": "halt", "token": token(page(client))}
    for why in ("", "  \t"):
        r = post(client, **form, why=why)
        assert r.status_code == 400 and state_of(app)["state"] == "running"
        assert "Refused: Say why you halt new release" in card(r.data.decode())
    assert post(client, **form, why="x").status_code == 303  # one character is a why
    r = post(client, **form, why="again")
    assert r.status_code == 409
    assert "Refused: new release is already halted. Nothing was changed." in \
        card(r.data.decode())


def test_the_counts_before_a_resume_stay_marked_and_are_not_judged(guarded_app):
    app = guarded_app("50, 100")
    state = app.extensions["quillo"]
    store, config, client = state.store, state.watcher.current(), app.test_client()
    rng = random.Random(8)
    for _ in range(30):
        client.get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={machine(rng)[0]}")
    changes.tick(store, config, now=time.time() + 10)
    changes.act(store, config, RULE, "halt", "test", "calls")
    changes.act(store, config, RULE, "resume", "test", "fixed")  # counts from the next hour
    html = page(client)
    rows = re.findall(r'<tr class="before"><td>before the resume of [\d-]+ [\d:]+ UTC</td>'
                      r'<td class="n">1</td><td>50 %</td><td class="n">(\d+)</td><td class="n">'
                      r'0</td>.*?<td class="n">(\d+)</td>', html)
    assert [int(a) + int(b) for a, b in rows] == [30]
    assert "so far 0 for the rule and 0 for its control" in card(html)


def test_the_card_says_the_verdict_and_draws_the_evidence_against_its_threshold():
    rule = type("Rule", (), {"guard_min_requests": 500, "guard_extra_failure_points": 2.0})
    row = {"state": "running", "halt_arms": "", "why": ""}
    calm = guard.Verdict(False, guard.Evidence(0.001, 0.01, 3.1, 100.0), "")
    assert cards.verdict(row, rule, calm, (900, 900)) == (
        "No sign that this release fails more than its control: evidence 3.1 of the 100 it "
        "halts at.")
    # At the threshold the bar is full and says it halts; just below, not yet.
    at = cards.bar(guard.Evidence(0.05, 0.01, 100.0, 100.0))
    below = cards.bar(guard.Evidence(0.05, 0.01, 99.9, 100.0))
    assert (at.filled, at.level) == (100.0, "over")
    assert below.level == "near" and 99.9 < below.filled < 100
    assert cards.bar(guard.Evidence(0.0, 0.01, 0.5, 100.0)).filled == 0  # under 1: none
    halted = dict(row, state="halted", halt_arms='{"step": 1, "rule": [1000, 41], '
                  '"control": [1000, 20], "who": "guard", "reason": ""}')
    assert cards.verdict(halted, rule, calm, (0, 0)) == (
        "Halted by the guard: at step 2 its machines failed 4.1\xa0% of 1,000 requests "
        "against 2\xa0% of 1,000 for its control.")
    at_100 = guard.judge([], 100, 2.0, 500, 1.0)
    assert cards.verdict(row, rule, at_100, (0, 0)) == \
        "Not judged: at 100 % no machine is left for a control."


def test_a_running_card_shows_its_verdict_and_bar_on_the_page(guarded_app):
    app = guarded_app("50, 100")
    shown = card(page(app.test_client()))
    assert "step 1 of 2, 50 % of matching machines" in shown
    assert "Not judged yet: the guard waits for 500 requests in each arm" in shown
    population(app, 2, 1200, 0.03, 0.03)  # both arms fail alike
    html = page(app.test_client())
    shown = card(html)
    assert re.search(r"No sign that this release fails more than its control: evidence "
                     r"[\d.]+ of the 100 it halts at\.", shown)
    assert re.search(r'<div class="evidence calm" title="log evidence -?[\d.]+ of log threshold '
                     r'4.61"><i style="width: [\d.]+%"></i></div>', shown)
    # The card's rule opens the paged list of the requests it answered.
    link = re.search(r'<a href="(/admin/requests\?[^"]+)">the requests it answered', shown)
    listed = app.test_client().get(link.group(1).replace("&amp;", "&"), headers=GOOD)
    assert listed.status_code == 200 and "answered by the rule" in listed.data.decode()
