"""The alert outbox's rows: one per alert and channel, written with what the
alert reports and worked off by the sender (outbox.py).

An alert's key holds a repeat back for as long as its rows are kept; a
delivered row goes with the retention, and with it what it was about.
"""

from ..db import retention

CHANNELS = ("webhook", "email")

retention.register("alert_outbox", "done_at")  # delivered alerts, by when they were


def add(store, kind, data, key, conn=None):
    """Put an alert in the outbox, one row per channel, unless an alert
    with this key is there already; returns True when it is new.  Given
    `conn`, the rows are written inside that (open) transaction, so that
    the alert commits or rolls back with what it reports."""
    if conn is None:
        with store.transaction(patient=True) as conn:
            return add(store, kind, data, key, conn)
    p, now_sql = store.placeholder, store.now_sql
    added = 0
    for channel in CHANNELS:
        added += conn.execute(
            "INSERT INTO alert_outbox (created_at, alert_key, channel, kind, data, attempts, "
            f"next_at, outcome, last_error) VALUES ({now_sql}, {p}, {p}, {p}, {p}, 0, "
            f"{now_sql}, 'pending', '') ON CONFLICT (alert_key, channel) DO NOTHING",
            (key, channel, kind, data)).rowcount
    return added > 0


def waiting(store):
    """(deliveries waiting for their first attempt, deliveries failing
    and tried again): the outbox's undelivered rows, by the index on outcome."""
    rows = store.read("SELECT CASE WHEN attempts > 0 THEN 1 ELSE 0 END, COUNT(*) "
                      "FROM alert_outbox WHERE outcome = 'pending' GROUP BY 1")
    counts = {int(k): int(n) for k, n in rows}
    return counts.get(0, 0), counts.get(1, 0)


def due(store, now, limit=100):
    """Deliveries waiting whose time has come, oldest first."""
    p = store.placeholder
    return store.rows(
        "SELECT id, created_at, alert_key, channel, kind, data, attempts FROM alert_outbox "
        f"WHERE outcome = 'pending' AND next_at <= {p} ORDER BY id LIMIT {int(limit)}", (now,))


def done(store, delivery_id, outcome, now, error=""):
    """A delivery ended: "sent", "skipped" (its channel is not configured)
    or "dropped" (undelivered for too long).  The error of its last failed
    attempt stays, after `error` when one is given: a delivery given up
    still says why it never went out."""
    p = store.placeholder
    with store.transaction(patient=True) as conn:
        conn.execute(f"UPDATE alert_outbox SET outcome = {p}, done_at = {p}, last_error = "
                     f"CASE WHEN {p} = '' THEN last_error WHEN last_error = '' THEN {p} "
                     f"ELSE SUBSTR({p} || '; the last attempt: ' || last_error, 1, 500) END "
                     f"WHERE id = {p}",
                     (outcome, now, error[:200], error[:200], error[:200], delivery_id))


def retry(store, delivery_id, next_at, error):
    p = store.placeholder
    with store.transaction(patient=True) as conn:
        conn.execute(f"UPDATE alert_outbox SET attempts = attempts + 1, next_at = {p}, "
                     f"last_error = {p} WHERE id = {p}", (next_at, error[:500], delivery_id))


def latest(store, limit=100):
    """The latest deliveries, newest first (support, tests)."""
    return store.rows(f"SELECT * FROM alert_outbox ORDER BY id DESC LIMIT {int(limit)}")


def deliveries(store, start, end, limit=200):
    """The deliveries of the alerts made in [start, end), newest first, at
    most `limit`, and {(outcome, failing): deliveries} of all of them, where
    failing means a pending delivery that has been tried (the console)."""
    p = store.placeholder
    rows = store.rows(
        "SELECT id, created_at, channel, kind, data, attempts, next_at, done_at, outcome, "
        f"last_error FROM alert_outbox WHERE created_at >= {p} AND created_at < {p} "
        f"ORDER BY id DESC LIMIT {int(limit)}", (start, end))
    counts = store.read(
        "SELECT outcome, attempts > 0, COUNT(*) FROM alert_outbox "
        f"WHERE created_at >= {p} AND created_at < {p} GROUP BY 1, 2", (start, end))
    return rows, {(o, bool(f)): n for o, f, n in counts}
