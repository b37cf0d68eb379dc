"""The download funnel's counts over the store: the rollup, the recent rows
and the console's question.

What became of a request is funnel/outcomes.py's to say (pure); this module
reads the rows it needs and keeps its results.  These joins look forward in
time, so a request's outcome is known only once the longest window (and LATE
for the logs to be read) has passed.  The rollup (`funnel_daily`, and
`funnel_hourly` for the last KEEP_HOURS, for periods that start within a
day) holds the outcomes of the requests recorded before the time in
rollup_state "funnel", which stays `FunnelCounts.horizon` seconds (rounded to
whole hours) behind the database's clock.  The outcomes so far
of the requests after it are worked out in the background about once a
minute (background.py) into `funnel_recent`, replaced whole each time, so
that no page has to work out hours of them; a page adds only the requests
since, worked out live (the same code), as the dashboard does with its own
rollup.
Joins are done in Python over time ranges of the three tables, read by
id (see Store.first_id), so no table needs an index for them.
"""

import time

from .. import joins
from ..batches import insert_rows
from ..joins import CLOCK_SLACK, DOWNLOAD_WINDOW, FAILURE_LOOKBACK, LONGEST
from ..db import retention
from ..db.base import LATE
from ..key_rules import filter_sql, fold_keys, folded
from .outcomes import (COUNTS, HOUR, Download, Event, Request, by_day, of_requests,
                       outcomes)

retention.register("funnel_daily", "day", 86400)
DAY = 24 * HOUR
CHUNK = DAY                 # requests rolled up per transaction, in seconds
KEEP_HOURS = 72             # hourly rows kept: a 24-hour period needs the last 48

# How far apart a record and its request may be: a download may start
# DOWNLOAD_WINDOW after its request and last LONGEST, a failure may come the
# longer failure window after it, and a request stamped up to CLOCK_SLACK
# after a record may still be its.  A request's outcome depends on the
# records and requests up to REACH after it, and a record's request on the
# requests up to REACH before it.
REACH = max(DOWNLOAD_WINDOW + LONGEST, FAILURE_LOOKBACK) + CLOCK_SLACK

DIMS = ("day", "bundle_key", "version", "rule", "answer")  # of FunnelCounts.counts
FINAL = "funnel"            # rollup_state: requests before this time are final
RECENT = "funnel recent"    # rollup_state: when funnel_recent was made
BEGAN = "funnel began"      # rollup_state: the funnel counts the requests from this time
# rollup_state: the failure reports that belong to no request are counted in
# the rollup from this time on (rollups made before kept no rows of them).
UNLAID_FROM = "funnel unlaid reports"

# The columns read for `outcomes`, in the order of its rows.
_REQUEST = ", ".join(Request._fields)
_DOWNLOAD = ", ".join(Download._fields)
_EVENT = ", ".join(Event._fields)


class FunnelCounts:
    """The funnel's counts over one store: rollup, recent rows and live tail."""

    BUDGET = 3.0      # seconds a page may spend catching the rollup up
    REFRESH = 60.0    # seconds between refreshes of the recent rows
    STALE = 300.0     # a page refreshes recent rows older than this itself

    def __init__(self, store):
        self.store = store
        self.p = store.placeholder
        # A request's outcome is final this long after it.
        self.horizon = REACH + LATE

    # -- reading the three tables by time ----------------------------------------

    def _between(self, table, columns, start, end, where="", params=()):
        """Rows recorded in [start, end), found by id (with LATE for rows
        written slightly out of time order), in id order."""
        p = self.p
        lo = self.store.first_id(table, start - LATE)
        hi = self.store.first_id(table, end + LATE)
        return self.store.read(
            f"SELECT {columns} FROM {table} WHERE id >= {p} AND id < {p} "
            f"AND recorded_at >= {p} AND recorded_at < {p}{where} ORDER BY id",
            (lo, hi, start, end, *params))

    def _read(self, start, end, unasked=True):
        """What the outcomes of the requests in [start, end) depend on.
        Without `unasked`, the requests before `start` are not read: the
        bytes that belong to no request cannot then be told apart, and a
        record up to CLOCK_SLACK before the first request read may be laid
        at it although an earlier request (not read) has it.  Both are put
        right by the next refresh of the recent rows."""
        first = start - REACH if unasked else start
        requests = self._between("requests", _REQUEST, first, end + REACH)
        downloads = self._between("downloads", _DOWNLOAD, start - CLOCK_SLACK, end + REACH)
        events = self._between("events", _EVENT, start - CLOCK_SLACK, end + REACH)
        return requests, downloads, events

    def live(self, start, end, unasked=True, report=None):
        """Funnel rows of [start, end) worked out from the records (of the
        requests whose ids are in `report`, when given)."""
        if end <= start:
            return {}
        rows = outcomes(*self._read(start, end, unasked), start, end, report)
        if not unasked:  # neither the bytes nor the reports of no request can be told
            rows = {k: v for k, v in rows.items() if of_requests(k[4])}
        return rows

    def failures(self, start, end):
        """{request id: event id} of the first failure of each request in
        [start, end) that has one."""
        requests, _, events = self._read(start, end)
        inside = [r for r in requests if start <= r[1] < end]
        joined = joins.first_failures(requests, events)
        return {r[0]: joined[r[0]] for r in inside if r[0] in joined}

    # -- the rollup and the recent rows ---------------------------------------------

    def rolled_up_to(self):
        """Requests recorded before this time are in the rollup; None when
        nothing was rolled up yet."""
        return self.store.position(FINAL)

    def began(self):
        """(When the funnel began counting requests, when it began counting
        the failure reports that belong to no request), each None before
        the first rollup."""
        return self.store.position(BEGAN), self.store.position(UNLAID_FROM)

    def _start(self, target):
        """The rollup's first position, set once: the funnel begins with the
        download log, at the first request that can have led to its first
        download; with no download yet, at `target`.  Requests from before
        (months of them, when the log is new) are never worked through."""
        row = self.store.read("SELECT recorded_at FROM downloads ORDER BY id LIMIT 1")
        first = row[0][0] - REACH - LATE if row else target
        first = int(first // HOUR * HOUR)
        with self.store.transaction(patient=True) as conn:
            self.store.start_position(conn, FINAL, first)
            kept = self.store.position(FINAL, conn)
            self.store.start_position(conn, BEGAN, kept)
            self.store.start_position(conn, UNLAID_FROM, kept)
        return self.rolled_up_to()

    def _date_older_rollup(self):
        """Once, for a rollup made before the funnel kept these positions:
        the failure reports that belong to no request are counted from its
        position on (it kept no rows of them before), and it is taken to
        have begun on the first day it holds rows of, or at its position
        when it holds none.  How `_start` chose its beginning cannot be
        retraced: the first download may since have been purged."""
        s = self.store
        first = s.read("SELECT MIN(day) FROM funnel_daily")[0][0]
        with s.transaction(patient=True) as conn:
            s.lock_rollup(conn)
            upto = s.position(FINAL, conn)
            s.start_position(conn, BEGAN, upto if first is None else min(first * DAY, upto))
            s.start_position(conn, UNLAID_FROM, upto)

    def catch_up(self, now=None, budget=None, refresh=None):
        """Roll up the requests whose outcome is final, a CHUNK at a time, for
        at most `budget` seconds, then refresh the recent rows if they are
        older than `refresh` seconds (default STALE); returns the time
        rolled up to."""
        s, p = self.store, self.p
        now = s.now() if now is None else now
        budget = self.BUDGET if budget is None else budget
        target = self.target(now)
        began = time.monotonic()
        upto = self.rolled_up_to()
        with s.store_errors():
            if upto is not None and s.position(UNLAID_FROM) is None:
                self._date_older_rollup()
            while time.monotonic() - began < budget:
                if upto is None:
                    upto = self._start(target)
                if upto >= target:
                    break
                # Read outside the write transaction: readers never hold up
                # the requests.  The chunk is written only if no one else
                # rolled it up meanwhile.
                end = min(upto + CHUNK, target)
                rows = self.live(upto, end)
                with s.transaction(patient=True) as conn:
                    s.lock_rollup(conn)
                    moved = s.position(FINAL, conn)
                    if moved is not None and moved != upto:
                        upto = moved  # another worker rolled this chunk up
                        continue
                    self._add(conn, "funnel_hourly", "hour", rows)
                    self._add(conn, "funnel_daily", "day", by_day(rows))
                    self._fold(conn, rows, "funnel_hourly", "funnel_daily")
                    s.set_position(conn, FINAL, end)
                    # funnel_recent holds the requests in [FINAL, RECENT).
                    conn.execute(f"DELETE FROM funnel_recent WHERE hour < {p}", (end // HOUR,))
                    conn.execute(f"DELETE FROM funnel_hourly WHERE hour < {p}",
                                 (end // HOUR - KEEP_HOURS,))
                upto = end
            if upto is not None and upto >= target:
                recent = s.position(RECENT)
                if recent is None or recent <= upto or now - recent >= (
                        self.STALE if refresh is None else refresh):
                    self._refresh(upto, now)
        return upto

    def target(self, now):
        """The time a catch-up at `now` rolls up to."""
        # Whole hours only: the recent rows are per hour, and those of the
        # hours the rollup has not reached stay true when it moves.
        return int((now - self.horizon) // HOUR * HOUR)

    def _refresh(self, upto, now):
        """Replace the recent rows with the outcomes so far of the requests
        in [upto, now): the work of a page's live tail, done once for all."""
        s = self.store
        rows = self.live(upto, now)
        with s.transaction(patient=True) as conn:
            s.lock_rollup(conn)
            if s.position(FINAL, conn) != upto:
                return  # the rollup moved meanwhile; the next refresh sees it
            conn.execute("DELETE FROM funnel_recent")
            self._add(conn, "funnel_recent", "hour", rows)
            self._fold(conn, rows, "funnel_recent")
            s.set_position(conn, RECENT, int(now))

    def _fold(self, conn, rows, hourly, daily=None):
        """Keys past the KEYS_PER_DAY most asked of a day become "", as in
        the dashboard's rollup (key_rules.py), so that made-up keys cannot grow the tables
        without bound: in the hourly table, and in the daily one if given,
        for the days `rows` touched."""
        p, keys = self.p, DIMS[1:]
        for day in sorted({hour // 24 for hour, *_ in rows}):
            fold_keys(conn, hourly, ("hour",) + keys, COUNTS, "asked",
                      f"hour >= {p} AND hour < {p}", (day * 24, day * 24 + 24))
            if daily:
                fold_keys(conn, daily, ("day",) + keys, COUNTS, "asked",
                          f"day = {p}", (day,))

    def _add(self, conn, table, unit, rows):
        p = self.p
        keys = (unit,) + DIMS[1:]
        update = ", ".join(f"{c} = {table}.{c} + excluded.{c}" for c in COUNTS)
        insert_rows(conn, p, table, keys + COUNTS,
                    [(*dims, *counts) for dims, counts in rows.items()],
                    f"ON CONFLICT ({', '.join(keys)}) DO UPDATE SET {update}")

    # -- the view's question ---------------------------------------------------------

    def counts(self, period, filters, now=None):
        """{(day, key, version, rule, answer): [counts in COUNTS order]} of the
        requests in the period's hours (a period that starts within an hour
        starts at that hour), narrowed by the dashboard's filters: the rollup
        (whole days from funnel_daily, the rest from funnel_hourly), the
        recent rows and the requests since, all in one snapshot."""
        return self.grouped(period, filters, (DIMS,), now)[0]

    def grouped(self, period, filters, keeps, now=None):
        """`counts` summed over the dimensions each of `keeps` leaves out (a
        tuple of names from DIMS each), one dict per keep; a dimension left
        out is None in the keys.  The sums are made in the database: a month
        holds a row per day, key, version, rule and answer, too many to
        carry to Python for a page that shows them by key or by day."""
        p = self.p
        first, last = int(period.start // HOUR), int(-(-period.end // HOUR))
        fsql, fparams = filter_sql(self.store, filters)
        dims = ", ".join(DIMS[1:])
        parts, params = [], []

        def part(table, unit, lo, hi, day):
            if lo < hi:
                parts.append(f"SELECT {day} AS day, {dims}, {', '.join(COUNTS)} FROM {table} "
                             f"WHERE {unit} >= {p} AND {unit} < {p}{fsql}")
                params.extend([lo, hi, *fparams])
        outs = [{} for _ in keeps]
        with self.store.snapshot():
            final = (self.rolled_up_to() or 0) // HOUR
            # funnel_recent holds the requests in [FINAL, RECENT).
            recent = max(self.store.position(RECENT) or 0, final * HOUR)
            done = min(last, final)  # hours before this are in the rollup
            d0, d1 = -(-first // 24), done // 24  # whole days in [first, done)
            if d0 < d1:
                part("funnel_daily", "day", d0, d1, "day")
                part("funnel_hourly", "hour", first, d0 * 24, "hour / 24")
                part("funnel_hourly", "hour", d1 * 24, done, "hour / 24")
            else:
                part("funnel_hourly", "hour", first, done, "hour / 24")
            part("funnel_recent", "hour", first, last, "hour / 24")
            sums = ", ".join(
                # PostgreSQL's SUM of a BIGINT is a NUMERIC (Decimal).
                f"CAST(SUM({c}) AS "
                f"{self.store.float_type if c == 'completed_seconds' else 'BIGINT'})"
                for c in COUNTS)
            # One statement: the rollup's rows are read once for every keep.
            selects = []
            for i, keep in enumerate(keeps):
                assert all(d in DIMS for d in keep)
                cols = ", ".join(d if d in keep else "NULL" for d in DIMS)
                group = " GROUP BY " + ", ".join(d for d in DIMS if d in keep) if keep else ""
                selects.append(f"SELECT {i}, {cols}, {sums} FROM c{group}")
            for g, *row in self.store.read(
                    f"WITH c AS ({' UNION ALL '.join(parts)}) {' UNION ALL '.join(selects)}",
                    params):
                outs[g][tuple(row[:len(DIMS)])] = list(row[len(DIMS):])
            # Requests since the recent rows were made; their downloads of
            # bytes that belong to no request are in the next refresh.  The
            # filters pick the requests reported, in the dashboard's SQL; the
            # joins still see every request.
            t0, t1 = max(recent, first * HOUR), min(period.end, last * HOUR)
            report = None
            if fsql and t0 < t1:
                key = folded(self.store, "bundle_key", "key")  # as `outcomes` folds it
                report = {row[0] for row in self._between(
                    "requests", "id", t0, t1, *filter_sql(self.store, filters, key))}
            tail = self.live(t0, t1, unasked=False, report=report)
            for keep, out in zip(keeps, outs):
                for (hour, *rest), counts in tail.items():
                    k = tuple(v if d in keep else None
                              for d, v in zip(DIMS, (hour // 24, *rest)))
                    row = out.setdefault(k, [0] * len(COUNTS))
                    for j, n in enumerate(counts):
                        row[j] += n
        return outs
