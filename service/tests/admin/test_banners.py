"""What the banners say, composed from plain values (banners/words.py)."""

import json
import tomllib

from conftest import CHANNELS_AND_VIP
from quillo_service.banners.words import Facts, compose
from quillo_service.config import parse_config
from quillo_service.config.watcher import Live
from quillo_service.periods import time_text
from quillo_service.rollouts import halts

T = 1_800_000_000.0
CONFIG = """
default_channel = "stable"

[maintenance]
enabled = true
page = "https://setup.test/notice/maintenance"

""" + CHANNELS_AND_VIP + """
[[rules]]
name = "release"
key_prefix = "acme"
rollout = 100
steps = [5, 25, 100]
channel = "beta"

[[rules]]
name = "release again"
key_prefix = "acme2"
rollout = 100
steps = [5, 100]
channel = "beta"

[[rules]]
name = "acme campaign"
key_prefix = "acme"
rollout = 30
channel = "campaign"
"""


def state(version, changed_at, answer, **kept):
    return {"state": "halted", "step": 1, "version": version, "changed_at": changed_at,
            "answer": answer, "why": "", "halt_arms": json.dumps(kept)}


def beat(name, fingerprint):
    return {"name": name, "config_fingerprint": fingerprint, "config_file": "/etc/q.toml",
            "config_since": T - 600, "config_error": "", "config_error_line": 0}


SEEN = {"vip", "release", "release again", "acme campaign"}


def test_the_banners_on_plain_values():
    config = parse_config(tomllib.loads(CONFIG))
    beta = "GET:https://setup.test/installers/beta.exe"
    states = {
        "release": state(3, T - 60, beta, step=1, rule=[200, 52], control=[1000, 80],
                         who="guard", reason=""),
        "release again": state(1, T - 50, beta, halted_as="release"),
        "old": state(2, T - 7200, "GET:https://setup.test/installers/campaign.exe",
                     step=0, rule=[10, 1], control=[90, 9], who="console: ann",
                     reason="support calls"),
    }
    facts = Facts(config=config, here="a", live=Live("x" * 64, "/etc/q.toml", T - 900),
                  hosts=[beat("a", "x" * 64), beat("b", "x" * 64), beat("c", "y" * 64),
                         beat("d", "y" * 64)], silent=[], maintenance_since=None,
                  states=states, plan=halts.plan(config, states, SEEN),
                  shares=halts.shares(config, states, SEEN),
                  acks={("old", 2): ("ann", T - 3600)})
    out = compose(facts)
    assert [(b.kind, b.rule, b.version) for b in out] == [
        ("maintenance", "", 0), ("hosts", "", 0), ("halt", "release again", 1),
        ("halt", "release", 3), ("acked", "old", 0)]
    assert out[0].text.startswith("Maintenance mode is on: every launcher is sent to "
                                  "https://setup.test/notice/maintenance")
    # No host has most of them: each group is named.
    assert out[1].text.startswith("The hosts serve with 2 different configurations: one on a "
                                  "and b, one on c and d. Make every host's file the same")
    assert out[1].details[1][0] == f"a: /etc/q.toml, fingerprint xxxxxxxxxxxx, in use since " \
                                   f"{time_text(T - 900)} UTC"
    assert out[2].text == (
        f"Rule \u201crelease again\u201d was started halted at {time_text(T - 50)} UTC: it "
        "gives the installer of halted rule \u201crelease\u201d (channel beta). Its machines "
        "now get channel campaign from rule \u201cacme campaign\u201d (30\u00a0% of them), "
        "else the default, channel stable. Other rules still give the same installer "
        "(channel beta): \u201cvip\u201d. Once that installer is fixed, resume it on the "
        "Rollouts page.")
    # What happened, what launchers get now (vip's key is never acme...), what to do.
    assert out[3].text == (
        f"Rollout \u201crelease\u201d was halted by the guard at {time_text(T - 60)} UTC: at "
        "this step (step 2) its machines failed 26\u00a0% of the time, against 8\u00a0% for "
        "the control. Its machines now get channel campaign from rule "
        "\u201cacme campaign\u201d (30\u00a0% of them), else the default, channel stable. "
        "Other rules still give the same installer (channel beta): \u201cvip\u201d. Fix the "
        "installer, then resume the rollout on the Rollouts page.")
    assert out[4].text == (f"Rollout \u201cold\u201d is halted since {time_text(T - 7200)} UTC; "
                           f"acknowledged by ann on {time_text(T - 3600)[:10]}.")
    # Unacknowledged, the rule gone from the file; one host of three on other bytes.
    facts = facts._replace(acks={}, hosts=facts.hosts[:3], config=parse_config(
        tomllib.loads(CONFIG.replace("enabled = true", "enabled = false"))))
    out = compose(facts)
    assert [b.kind for b in out] == ["hosts", "halt", "halt", "halt"]
    assert out[0].text.startswith("Host c serves with another configuration than the other "
                                  "hosts (a and b).")
    assert out[3].text == (
        f"Rollout \u201cold\u201d was halted by ann on the console at {time_text(T - 7200)} UTC "
        "(\u201csupport calls\u201d): at this step (step 1) its machines failed 10\u00a0% of "
        "the time, against 10\u00a0% for the control. It is no longer in the configuration and "
        "serves no machine; new rules that give its installer start halted until it is forgotten. "
        "Other rules still give the same installer (channel campaign): \u201cacme campaign\u201d. "
        "Forget it on the Rollouts page once its installer is fixed or no longer given.")
