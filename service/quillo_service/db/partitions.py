"""PostgreSQL's tables that grow with traffic, one partition per UTC day.

`requests`, `events` and `downloads` are partitioned by range of recorded_at
(seconds since 1970): the partition `{table}_dYYYYMMDD` holds the rows of one
UTC day, [day * DAY, (day + 1) * DAY), and the DEFAULT partition
`{table}_default` takes any row whose day has no partition (a host with a
strange clock, a log line read late for a day already dropped, a day that
housekeeping did not make in time, a time that is not a number that an
older version let in), so that no insert is ever refused.  Retention then detaches and drops whole days
instead of deleting their rows one by one (which wrote every row again to the
log and left the pages to vacuum).

The id is still the parent's identity column, unique by its sequence.  A
primary key would have to hold recorded_at, so the parent has a plain
partitioned index on id instead: the time-to-id search (Store.first_id) and
every reader that goes `WHERE id > position` use the partitions' indexes.

Which layout a table has is read from pg_partitioned_table each time, never
remembered: a database made with PostgresStore(partitioned=False), for
benchmarks, keeps the unpartitioned layout and every function here and in
the store works on both.

Changing partitions takes locks that requests would queue behind: making a
day holds the parent against inserts (not reads) while it moves the day's
rows out of the DEFAULT partition and attaches it (make_day says why),
dropping one (DETACH, which cannot be CONCURRENTLY while there is a DEFAULT
partition) locks the parent exclusively.  Both wait at most DDL_WAIT for their lock and are tried again
at the next run when they did not get it, so that an insert never waits
longer than that behind a change that itself waits for a long read.

DDL takes no parameters: the bounds written into it are integers made here,
the names come from the table names of the code and the day's date.
"""

import calendar
import logging
import re
import time

import psycopg

from ..periods import DAY

log = logging.getLogger("quillo_service")

PARTITIONED = ("requests", "events", "downloads")
# Days made ahead of today.  A day is made while it is still empty, so that
# its ATTACH moves no rows and meets none arriving: a week lets housekeeping
# be down over a long holiday weekend and then some (or the lease's holder
# keep failing to get its lock) before any day's rows land in the DEFAULT
# partition.  Each day made ahead costs a few empty tables, nothing else.
DAYS_AHEAD = 7
# The most rows of one day in the DEFAULT partition that a run moves into the
# day's new partition: the move holds the table locked against inserts (no
# row may land in the DEFAULT partition between the move and the ATTACH),
# and this many rows take a few tens of milliseconds.  A day with more is left in the
# DEFAULT partition (its rows are kept and counted, and go with the
# retention) and an alert says so (alerts/detectors.py).
MOVE_LIMIT = 20_000
# Seconds a change of partitions waits for its lock; well below a request's
# own wait (postgres.WAIT), so that a request queued behind it is never spooled.
DDL_WAIT = 0.2
DETACH_TRIES = 3  # a day to drop is tried this often, DDL_WAIT * 5 apart, in one purge


# -- what is decided apart from the database -----------------------------------

LAST_DAY = calendar.timegm((9999, 12, 31, 0, 0, 0)) // DAY  # the last day a name can have


def day_of(ts):
    """Whole days since 1970 (UTC) of a time in seconds: the day_sql of PostgreSQL."""
    return int(ts // DAY)


def partition_name(table, day):
    return f"{table}_d{time.strftime('%Y%m%d', time.gmtime(day * DAY))}"


def default_name(table):
    return f"{table}_default"


def day_of_name(table, name):
    """The day of a partition's name, or None when the name is not one."""
    m = re.fullmatch(rf"{re.escape(table)}_d(\d{{8}})", name)
    if not m:
        return None
    try:
        return calendar.timegm(time.strptime(m.group(1), "%Y%m%d")) // DAY
    except ValueError:
        return None


def days_ahead(now):
    """The days that should have a partition at `now`: today and DAYS_AHEAD after."""
    today = day_of(now)
    return range(today, today + DAYS_AHEAD + 1)


def days_to_make(now, have, waiting):
    """The days to make at `now`, given the days that have a partition and
    {day: rows} of those with rows waiting in the DEFAULT partition: the
    days ahead, and the days before today that housekeeping missed while it
    did not run, if they have rows; a day with more than MOVE_LIMIT rows
    waiting is left where it is (see MOVE_LIMIT).  A day before the oldest
    one kept has been dropped (a late line of it waits in the DEFAULT
    partition for the purge) and is not made again."""
    oldest = min(have, default=None)
    missed = {d for d in waiting if oldest is not None and oldest < d < day_of(now)}
    return sorted(d for d in (set(days_ahead(now)) | missed) - set(have)
                  if waiting.get(d, 0) <= MOVE_LIMIT)


def droppable(day, cutoff):
    """A day goes once the whole of it is older than the cutoff: the day the
    cutoff falls in is kept (a little longer than the retention) until the
    next day's purge."""
    return (day + 1) * DAY <= cutoff


# -- reading the layout ---------------------------------------------------------------

def is_partitioned(conn, table):
    return conn.execute("SELECT EXISTS (SELECT 1 FROM pg_partitioned_table "
                        "WHERE partrelid = to_regclass(%s))", (table,)).fetchone()[0]


def day_tables(conn, table):
    """[(name, day, attached)] of the day tables of `table` in the current
    schema, oldest first: the partitions, and any day table left detached
    (a purge that stopped between its detach and its drop)."""
    rows = conn.execute(
        "SELECT c.relname, c.relispartition FROM pg_class c "
        "WHERE c.relnamespace = current_schema()::regnamespace AND c.relkind = 'r' "
        "AND c.relname ~ %s", (rf"^{table}_d[0-9]{{8}}$",)).fetchall()
    found = [(name, day_of_name(table, name), attached) for name, attached in rows]
    return sorted((f for f in found if f[1] is not None), key=lambda f: f[1])


def waiting_days(conn, table, since, until):
    """{day: rows} of the days from `since` to before `until` with rows in
    the DEFAULT partition (read whole: it is small)."""
    return dict(conn.execute(
        f"SELECT FLOOR(recorded_at / {DAY})::BIGINT, COUNT(*) FROM {default_name(table)} "
        "WHERE recorded_at >= %s AND recorded_at < %s GROUP BY 1",
        (since * DAY, until * DAY)).fetchall())


def default_rows(conn, table, since, until):
    """(rows in the DEFAULT partition, of them those recorded from `since`
    to before `until`)."""
    return conn.execute(
        f"SELECT COUNT(*), COUNT(*) FILTER (WHERE recorded_at >= %s AND recorded_at < %s) "
        f"FROM {default_name(table)}", (since, until)).fetchone()


# -- changing it ----------------------------------------------------------------------

def _lock_briefly(conn):
    conn.execute(f"SET LOCAL lock_timeout = {int(DDL_WAIT * 1000)}")


def make_day(conn, table, day):
    """Make the partition of `day` inside the caller's transaction, moving
    the day's rows out of the DEFAULT partition (a partition cannot be
    attached while the DEFAULT one holds rows of its range); returns the
    rows moved.  The parent is locked against inserts first (reads go on):
    an insert in flight finishes before, and its row is moved; one that
    comes meanwhile waits for the commit and then finds the new partition.
    A lock on the DEFAULT partition alone would not do: an insert already
    routed there would wait for it and then break the new partition's
    bound.  So a day with many rows waiting is not made (MOVE_LIMIT): its
    move would hold the table's inserts for long.  Another host making
    days waits for the same lock.  Raises psycopg.errors.LockNotAvailable
    after DDL_WAIT; returns None when the day was made meanwhile."""
    name, lo, hi = partition_name(table, day), int(day) * DAY, (int(day) + 1) * DAY
    _lock_briefly(conn)
    conn.execute(f"LOCK TABLE ONLY {table} IN EXCLUSIVE MODE")
    if conn.execute("SELECT to_regclass(%s)", (name,)).fetchone()[0] is not None:
        return None  # made meanwhile (by another host)
    conn.execute(f"CREATE TABLE {name} (LIKE {table} INCLUDING DEFAULTS)")
    moved = conn.execute(
        f"WITH moved AS (DELETE FROM {default_name(table)} WHERE recorded_at >= %s "
        f"AND recorded_at < %s RETURNING *) INSERT INTO {name} SELECT * FROM moved",
        (lo, hi)).rowcount
    conn.execute(f"ALTER TABLE {table} ATTACH PARTITION {name} FOR VALUES FROM ({lo}) TO ({hi})")
    return moved


def detach_day(conn, table, name):
    """Detach a day inside the caller's transaction, waiting at most
    DDL_WAIT for the parent's lock (raises LockNotAvailable)."""
    _lock_briefly(conn)
    conn.execute(f"ALTER TABLE {table} DETACH PARTITION {name}")


def next_id(conn, table):
    """The first id a table that takes over the rows of `table` may give:
    past its highest row, and past every id its sequence ever gave (ids
    given and rolled back, or deleted from the top, are not given again)."""
    top = conn.execute(f"SELECT MAX(id) FROM {table}").fetchone()[0] or 0
    sequence = conn.execute("SELECT pg_get_serial_sequence(%s, 'id')", (table,)).fetchone()[0]
    if sequence:
        last, called = conn.execute(f"SELECT last_value, is_called FROM {sequence}").fetchone()
        top = max(top, last if called else last - 1)
    return int(top) + 1


def convert(conn, table, now, progress):
    """Replace the unpartitioned `table` by a partitioned one holding the same
    rows with the same ids, inside the caller's transaction (a failure leaves
    the old table whole).  Partitions are made for every day that has rows
    up to DAYS_AHEAD after `now`, and for those days ahead; rows of any other
    time go to the DEFAULT partition.  The identity goes on past the highest
    id ever given, so that no id is given twice.  `progress(text)` hears of
    each day copied."""
    parted = f"{table}_parted"
    indexes = [row[0] for row in conn.execute(
        "SELECT pg_get_indexdef(indexrelid) FROM pg_index "
        "WHERE indrelid = to_regclass(%s) AND NOT indisprimary", (table,)).fetchall()]
    conn.execute(f"CREATE TABLE {parted} (LIKE {table} INCLUDING DEFAULTS INCLUDING IDENTITY) "
                 "PARTITION BY RANGE (recorded_at)")
    conn.execute(f"CREATE TABLE {default_name(table)} PARTITION OF {parted} DEFAULT")
    end = (day_of(now) + DAYS_AHEAD + 1) * DAY
    days = conn.execute(
        f"SELECT FLOOR(recorded_at / {DAY})::BIGINT, COUNT(*), MIN(id), MAX(id) FROM {table} "
        "WHERE recorded_at >= 0 AND recorded_at < %s GROUP BY 1 ORDER BY 1", (end,)).fetchall()
    for day in sorted({row[0] for row in days} | set(days_ahead(now))):
        conn.execute(f"CREATE TABLE {partition_name(table, day)} PARTITION OF {parted} "
                     f"FOR VALUES FROM ({int(day) * DAY}) TO ({(int(day) + 1) * DAY})")
    began = time.monotonic()
    copied = 0
    for day, n, lo, hi in days:
        # Rows come in time order, so a day's rows are (nearly) one range of
        # ids: read through the old primary key, not the whole table per day.
        t = time.monotonic()
        got = conn.execute(
            f"INSERT INTO {parted} OVERRIDING SYSTEM VALUE SELECT * FROM {table} "
            "WHERE id BETWEEN %s AND %s AND recorded_at >= %s AND recorded_at < %s",
            (lo, hi, day * DAY, (day + 1) * DAY)).rowcount
        if got != n:
            raise psycopg.DataError(f"{table}: {got} rows copied for day {day}, not {n}")
        copied += n
        progress(f"{table} {time.strftime('%Y-%m-%d', time.gmtime(day * DAY))}: {n} rows, "
                 f"{n / max(time.monotonic() - t, 1e-6):.0f} rows/s")
    # NaN compares above every number, so it is among the rest.
    rest = conn.execute(
        f"INSERT INTO {parted} OVERRIDING SYSTEM VALUE SELECT * FROM {table} "
        "WHERE NOT (recorded_at >= 0 AND recorded_at < %s)", (end,)).rowcount
    if rest:
        progress(f"{table}: {rest} rows of other times, in {default_name(table)}")
    conn.execute(f"ALTER TABLE {parted} ALTER COLUMN id RESTART WITH {next_id(conn, table)}")
    new_sequence = conn.execute("SELECT pg_get_serial_sequence(%s, 'id')",
                                (parted,)).fetchone()[0]
    conn.execute(f"DROP TABLE {table}")
    conn.execute(f"ALTER TABLE {parted} RENAME TO {table}")
    conn.execute(f"ALTER SEQUENCE {new_sequence} RENAME TO {table}_id_seq")
    conn.execute(f"CREATE INDEX {table}_id ON {table} (id)")
    for sql in indexes:  # events_reference, made partitioned on the new parent
        conn.execute(sql)
    total = copied + rest
    elapsed = time.monotonic() - began
    if total:  # a new database's empty tables are not worth a line
        progress(f"{table}: {total} rows in {elapsed:.1f} s "
                 f"({total / max(elapsed, 1e-6):.0f} rows/s)")
    return total
