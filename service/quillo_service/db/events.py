"""Error and crash reports in the store, each one once.

A report that came through nginx carries nginx's request id (the front's,
when there is one, see clients.request_id).  Its row in `events` is written
in the same transaction as its claim of that id in `event_ids`, so that a
report the front passed to a second host after the first had stored it,
or one spooled on one host and stored by another, is stored once.  A
report without an id (one sent straight to gunicorn) is stored as it
comes.  Claims are forgotten after REQUEST_ID_WINDOW, with the requests'
(Store.prune_request_ids).

When the database cannot take a report in time it goes to the requests'
spool as a line of its own kind, {"event": {column: value, ...,
"request_id": id}}, and replay_spool writes it through `write` too, so its
id is claimed then.
"""

import functools

from ..clients import REQUEST_ID_FORM
from .schema import EVENT_COLUMNS
from .times import check_time, is_time

LINE_KIND = "event"  # the key of a report's line in the spool; a request's line is a list
REQUEST_ID = "request_id"  # the key in a report (not a column) of nginx's id, or None
_NOT_NULL = ("recorded_at", "client", "reference", "kind", "malformed", "cut")


@functools.lru_cache(maxsize=None)
def statements(p, now_sql):
    """(claim an id, insert a report) in the placeholders and clock of a database."""
    claim = (f"INSERT INTO event_ids (request_id, seen_at) VALUES ({p}, {now_sql}) "
             "ON CONFLICT (request_id) DO NOTHING")
    insert = (f"INSERT INTO events ({', '.join(EVENT_COLUMNS)}) "
              f"VALUES ({', '.join([p] * len(EVENT_COLUMNS))})")
    return claim, insert


def write(store, conn, event):
    """Inside the open transaction: insert `event` (a dict of EVENT_COLUMNS,
    with its request id under REQUEST_ID or none) unless its id is claimed
    already.  True when its row was inserted now, False when it was
    stored before (under the same reference, see reports/events.py).
    Raises BadTime for a recorded_at that is no time."""
    check_time(event["recorded_at"])
    claim, insert = statements(store.placeholder, store.now_sql)
    rid = event.get(REQUEST_ID)
    if rid is not None and conn.execute(claim, (rid,)).rowcount != 1:
        return False
    conn.execute(insert, tuple(event[c] for c in EVENT_COLUMNS))
    return True


def line(event):
    """A report as its spool line (JSON values)."""
    return {LINE_KIND: {**{c: event[c] for c in EVENT_COLUMNS},
                        REQUEST_ID: event.get(REQUEST_ID)}}


def from_line(value):
    """A spool line as a report for `write`, or None if it is no report
    that can be stored (a line of a request, or one made wrongly)."""
    if not isinstance(value, dict) or not isinstance(value.get(LINE_KIND), dict):
        return None
    found = value[LINE_KIND]
    event = {c: found.get(c) for c in EVENT_COLUMNS}
    rid = found.get(REQUEST_ID)
    # An id of another form is none the service spooled, and one the
    # database refuses (a NUL, a lone surrogate) would hold back the file.
    if any(event[c] is None for c in _NOT_NULL) or not is_time(event["recorded_at"]) or not (
            rid is None or isinstance(rid, str) and REQUEST_ID_FORM.fullmatch(rid)):
        return None
    event[REQUEST_ID] = rid
    return event
