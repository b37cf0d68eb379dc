"""The download funnel's counts over the store, and the console's question.

What became of a request is funnel/outcomes.py's to say (pure); the counts
are kept as each record is linked to its request (linking.py): a request
taken in counts asked, and each record linked to it adds the difference it
makes to the request's outcome, in the same transaction, to `funnel_hourly`
(for the last KEEP_HOURS, for periods that start within a day) and
`funnel_daily`.  A page adds what is not linked yet, worked out live with
the same code, so a record shows within seconds.
"""

from ..db import retention
from ..db.base import LATE
from ..joins import REACH
from ..key_rules import filter_sql
from ..linking import BEGAN, FROM, LINKED_TO, UNLAID_FROM, Links
from .outcomes import COUNTS, HOUR

retention.register("funnel_daily", "day", 86400)
DAY = 24 * HOUR
KEEP_HOURS = 72             # hourly rows kept: a 24-hour period needs the last 48

DIMS = ("day", "bundle_key", "version", "rule", "answer")  # of FunnelCounts.counts


class FunnelCounts:
    """The funnel's counts over one store: the kept counts and the live tail."""

    BUDGET = 3.0      # seconds a page may spend catching the links up

    def __init__(self, store):
        self.store = store
        self.p = store.placeholder
        # A request's outcome is final this long after it.
        self.horizon = REACH + LATE

    def rolled_up_to(self):
        """The whole hour before which every record that has come is linked
        (and so counted); None before the linking began."""
        linked = self.store.position(LINKED_TO)
        return None if linked is None else int(linked // HOUR * HOUR)

    def began(self):
        """(When the funnel began counting requests, when it began counting
        the failure reports that belong to no request), each None before
        the linking began."""
        return self.store.position(BEGAN), self.store.position(UNLAID_FROM)

    def _date_positions(self):
        """Once, for counts kept before the funnel kept these positions: the
        failure reports that belong to no request are counted from where the
        links have got to, and the funnel is taken to have begun on the
        first day it holds rows of."""
        s = self.store
        first = s.read("SELECT MIN(day) FROM funnel_daily")[0][0]
        with s.transaction(patient=True) as conn:
            s.lock_rollup(conn)
            since = s.position(FROM, conn)
            s.start_position(conn, BEGAN, since if first is None else min(first * DAY, since))
            s.start_position(conn, UNLAID_FROM, self.rolled_up_to())

    def catch_up(self, now=None, budget=None):
        """Take the requests in and link the records until caught up, for at
        most `budget` seconds, then forget what no record can be linked to
        any more and fold the keys of the days counted; returns the time
        rolled_up_to, and sets `caught_up`."""
        s = self.store
        now = s.now() if now is None else now
        budget = self.BUDGET if budget is None else budget
        with s.store_errors():
            links = Links(s)
            # Whether everything was linked: the scheduler runs a catch-up
            # that was not again at once.
            self.caught_up = links.run(now, budget)[2]
            if s.position(UNLAID_FROM) is None and links.begun():
                self._date_positions()
            links.tidy(now, KEEP_HOURS)
        return self.rolled_up_to()

    # -- the view's question ---------------------------------------------------------

    def counts(self, period, filters, now=None):
        """{(day, key, version, rule, answer): [counts in COUNTS order]} of the
        requests in the period's hours (a period that starts within an hour
        starts at that hour), narrowed by the dashboard's filters: the kept
        counts (whole days from funnel_daily, the rest from funnel_hourly)
        and what is not linked yet, all in one snapshot."""
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
            d0, d1 = -(-first // 24), last // 24  # whole days in [first, last)
            if d0 < d1:
                part("funnel_daily", "day", d0, d1, "day")
                part("funnel_hourly", "hour", first, d0 * 24, "hour / 24")
                part("funnel_hourly", "hour", d1 * 24, last, "hour / 24")
            else:
                part("funnel_hourly", "hour", first, last, "hour / 24")
            sums = ", ".join(
                # PostgreSQL's SUM of a BIGINT is a NUMERIC (Decimal).
                f"CAST(SUM({c}) AS "
                f"{self.store.float_type if c == 'completed_seconds' else 'BIGINT'})"
                for c in COUNTS)
            # One statement: the kept rows are read once for every keep.
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
            # What is not linked yet, narrowed by the same filters (on the
            # row's key as folded, as the tables hold it).
            with self.store.store_errors():
                tail = Links(self.store).tail(first * HOUR,
                                              self.store.now() if now is None else now)
            for (hour, *rest), counts in tail.items():
                if not first <= hour < last or not _chosen(filters, rest[0], rest[1]):
                    continue
                for keep, out in zip(keeps, outs):
                    k = tuple(v if d in keep else None
                              for d, v in zip(DIMS, (hour // 24, *rest)))
                    row = out.setdefault(k, [0] * len(COUNTS))
                    for j, n in enumerate(counts):
                        row[j] += n
        return outs


def _chosen(filters, key, version):
    """Whether a funnel row's key and version pass the dashboard's filters
    (key_rules.filter_sql, in Python)."""
    if filters is None:
        return True
    if filters.key and not (key.startswith(filters.key) if filters.key_prefix
                            else key == filters.key):
        return False
    return not filters.version or version == filters.version
