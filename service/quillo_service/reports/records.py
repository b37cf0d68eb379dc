"""The error and crash events in the store, and the hits per client and minute
that limit them (the console's wrong passwords are counted the same way).

The count per client and minute lives in the database (rate_counts), so a
limit holds across all worker processes and hosts that share it.  Events
are records (purged by id and time); a minute's counts go with the minute.
"""

import functools
import weakref

from ..db import StoreError, retention
from ..db.times import check_time

retention.register_records("events")
retention.register("rate_counts", "window_start", 60)

# The last minute whose older counts a store has deleted: they are deleted
# once a minute per process, not with every event.
_last_window = weakref.WeakKeyDictionary()


@functools.lru_cache(maxsize=None)
def _count_sql(p):
    """The statement that counts a hit, in the placeholders `p` of a database."""
    return (f"INSERT INTO rate_counts (client, window_start, hits) VALUES ({p}, {p}, 1) "
            "ON CONFLICT (client, window_start) DO UPDATE SET hits = rate_counts.hits + 1 "
            "RETURNING hits")


# -- hits per client and minute (error events, wrong passwords) ---------------

def count_hit(store, client, window):
    """Count one hit of `client` in minute `window`; returns the hits so far,
    this one included.  One statement, so parallel hits each see their own."""
    with store.transaction() as conn:
        return conn.execute(_count_sql(store.placeholder), (client, window)).fetchall()[0][0]


def take_back_hit(store, client, window):
    p = store.placeholder
    with store.transaction() as conn:
        conn.execute(f"UPDATE rate_counts SET hits = hits - 1 WHERE client = {p} "
                     f"AND window_start = {p} AND hits > 0", (client, window))


def hits(store, client, window):
    p = store.placeholder
    rows = store.rows(f"SELECT hits FROM rate_counts WHERE client = {p} "
                      f"AND window_start = {p}", (client, window))
    return rows[0]["hits"] if rows else 0


# -- events ---------------------------------------------------------------------

def record_event(store, event, limit_per_minute):
    """Store an error or crash report as it comes, unless its client is over
    the limit; returns True when it is stored, or spooled to be stored.

    `event` maps the names in EVENT_COLUMNS to values, and "request_id" to
    nginx's id of the report or None (db/events.py): a report of an id
    stored already, by any host, is not stored again, and True is returned
    (it is stored under the same reference).  The count per client address
    and minute lives in the database, so the limit holds across all worker
    processes and hosts that share it.  When the database cannot take the
    report in time it is spooled, and written once the database is back,
    with no count: its page has shown its reference.  Raises StoreError
    only when the report could be neither stored nor spooled, and BadTime
    (db/times.py) for a recorded_at that is no time.
    """
    window = int(check_time(event["recorded_at"]) // 60)
    try:
        with store.writer(), store.transaction() as conn:
            if _last_window.get(store) != window:
                conn.execute(f"DELETE FROM rate_counts WHERE window_start < {store.placeholder}",
                             (window - 1,))
                _last_window[store] = window
            hits = conn.execute(_count_sql(store.placeholder),
                                (event["client"], window)).fetchall()[0][0]
            if hits > limit_per_minute:
                return False
            store.write_event(conn, event)
            return True
    except StoreError as e:
        store.spool_event(e, event)
        return True


def find_event(store, reference):
    rows = store.rows(f"SELECT * FROM events WHERE reference = {store.placeholder}",
                      (reference,))
    return rows[0] if rows else None


def recent_events(store, limit=10):
    return store.rows(f"SELECT * FROM events ORDER BY id DESC LIMIT {int(limit)}")
