"""Which instruction a launcher gets: a pure function of configuration and request.

No Flask and no database here, so the decision is cheap and easy to test.
"""

import hashlib
import re
from typing import NamedTuple

from ..config import parse_version
from .arms import CONTROL, RULE

# The launcher sends its machine identifier as 40 hexadecimal characters.
_ID_RE = re.compile(r"^[0-9A-Fa-f]{40}\Z")


class Decision(NamedTuple):
    answer: str          # the response body: "GET:..." or "GOTO:..."
    rule: str            # name of the rule that chose it, "default" or "maintenance"
    malformed: frozenset  # names of the request fields that were missing or malformed
    arms: tuple = ()     # ((guarded rule, RULE or CONTROL), ...) it reached and met (arms.py)


def _key_ok(key):
    return bool(key) and key.isprintable()


def in_rollout(rule_name, machine_id, percent):
    """True when the machine falls into the first `percent` of this rule's buckets.

    Each machine gets a fixed bucket from 0 to 9999 per rule, so its answer is
    stable, and raising the percentage only adds machines.
    """
    digest = hashlib.sha256(rule_name.encode() + b"\0" + machine_id.upper().encode()).digest()
    return int.from_bytes(digest[:8], "big") % 10000 < percent * 100


def decide(config, key, version, machine_id, bad=frozenset(), shares=None):
    """Choose the answer for one instruction request.

    key, version, machine_id: the decoded query values, None when absent.
    bad: fields the caller already found unusable (cut, badly encoded, repeated);
    they count as malformed.  A malformed field never satisfies a rule's
    condition; the request still gets an answer.  shares: the live share of
    each staged rollout by rule name, and 0 for every halted rule, staged or
    not (see rollouts/live.py), in place of the configured `rollout`.
    The decision names the arm of every guarded rule the request reached
    and met (arms.py), as decided here and now.
    """
    malformed = set(bad)
    if not _key_ok(key):
        malformed.add("key")
    parsed_version = parse_version(version)
    if parsed_version is None:
        malformed.add("version")
    if machine_id is None or not _ID_RE.match(machine_id):
        malformed.add("id")
    malformed = frozenset(malformed)

    if config.maintenance:
        return Decision(config.maintenance_answer, "maintenance", malformed)

    arms = ()
    for rule in config.rules:
        if not conditions_hold(rule, key, parsed_version, malformed):
            continue
        percent = rule.rollout
        if shares is not None and rule.name in shares:
            percent = shares[rule.name]  # also for a rule without a rollout: halted
        if percent is not None and not (
                "id" not in malformed and in_rollout(rule.name, machine_id, percent)):
            # Without a machine id, no share could have taken it: no arm.
            if rule.guarded and "id" not in malformed:
                arms += ((rule.name, CONTROL),)
            continue
        if rule.guarded:
            arms += ((rule.name, RULE),)
        return Decision(rule.answer, rule.name, malformed, arms)
    return Decision(config.default_answer, "default", malformed, arms)


def conditions_hold(rule, key, parsed_version, malformed):
    """Whether the rule's conditions other than its rollout share hold.
    A field named in `malformed` satisfies no condition."""
    if rule.key is not None and not ("key" not in malformed and key == rule.key):
        return False
    if rule.key_prefix is not None and not (
            "key" not in malformed and key.startswith(rule.key_prefix)):
        return False
    if rule.below_version is not None and not (
            "version" not in malformed and parsed_version < rule.below_version):
        return False
    return True
