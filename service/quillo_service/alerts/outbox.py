"""The alert outbox: what the service tells the publisher without being asked.

    notify(store, kind, data)

puts an alert in the store's outbox (table alert_outbox, one row per
channel), in a transaction like every other write, and returns at once.
The alert's key, given or made from kind and data, is unique in the outbox:
the same event reported twice, by two hosts or by one detector on every
tick, is one alert.  The `Sender` (sender.py), run by the one host that
holds the housekeeping lease (background.py), delivers what is due.

This module only writes the outbox, through the store: a feature that
reports a change in the change's own transaction (the staged rollouts'
halts and advances) imports it without the sender or the detectors.
"""

import hashlib
import json

from . import queue


def alert_key(kind, identity):
    """The key of an alert: the kind, and a digest of what makes it this one."""
    digest = hashlib.sha256(f"{kind}\0{identity}".encode("utf-8", "replace")).hexdigest()
    return f"{kind}:{digest[:32]}"


def notify(store, kind, data, key=None, conn=None):
    """Put an alert of `kind` (a short name, like "rollout_halted") about
    `data` (a dict that JSON can hold) in the outbox; returns True when it
    is new, False when an alert with its key was there already.

    The key defaults to one made from kind and data, so the same report
    twice is one alert; give one (e.g. a rule name and a day) when the data
    carries numbers that change between reports of the same event.  Inside
    a store method's transaction, pass its connection as `conn`, so that
    the alert is written if and only if the change it reports is.
    """
    if not isinstance(kind, str) or not 0 < len(kind) <= 64 or not kind.isprintable():
        raise ValueError(f"alert kind {kind!r:.80}: expected a short printable name")
    if not isinstance(data, dict):
        raise ValueError("alert data must be a dict")
    body = json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return queue.add(store, kind, body, key or alert_key(kind, body), conn=conn)
