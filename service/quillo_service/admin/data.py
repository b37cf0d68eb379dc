"""What the dashboard counts, read from the store without slowing the recording.

The requests table is the service's busiest: it has no index but its id, and
keeps none on purpose (each index costs every instruction request a page
write).  The dashboard therefore reads requests from a daily rollup,
`requests_daily` (day, key, version, answer, malformed fields -> count), that
`Rollup.catch_up` fills incrementally from the rows after `rollup_state.last_id`.
Rows are added in time order, so an id is a position in time: anything newer
than the rollup's last id, and the part of a day the rollup cannot split (the
start of a "last 24 h" period), are counted live over an id range that a
binary search over the primary key finds.  Events are few (one per failed
interactive run or crash), so they are always counted live over their id range.

All times are UTC; a day is the number of whole days since 1970-01-01 UTC.
"""

import datetime
import time
from typing import NamedTuple

DAY = 86400
# Answers that nginx gave by itself (rule "fallback", taken from its log; see
# fallback.py) are counted as answers of their own, apart from the same
# instruction given by the service.
ANSWER_SQL = "CASE WHEN rule = 'fallback' THEN 'fallback:' || answer ELSE answer END"
MAX_DAYS = 400          # longest custom period
KEY_LIMIT = 1023        # the launcher's key bound
VERSION_LIMIT = 64


class Period(NamedTuple):
    name: str     # "24h", "7d", "30d" or "custom"
    start: float  # UTC seconds, inclusive
    end: float    # UTC seconds, exclusive
    label: str

    @property
    def days(self):
        """Every day the period touches, oldest first."""
        return list(range(int(self.start // DAY), int((self.end - 1e-6) // DAY) + 1))


class Filters(NamedTuple):
    key: str = ""          # "" = any key
    key_prefix: bool = False
    version: str = ""      # "" = any version

    def sql(self, key_col="bundle_key", version_col="version", placeholder="?"):
        """A WHERE fragment (starting with " AND") and its parameters."""
        parts, params = [], []
        if self.key:
            if self.key_prefix:
                # substr counts characters in both databases; the length is
                # a number we computed, never text from the query.
                parts.append(f"substr({key_col}, 1, {len(self.key)}) = {placeholder}")
            else:
                parts.append(f"{key_col} = {placeholder}")
            params.append(self.key)
        if self.version:
            parts.append(f"{version_col} = {placeholder}")
            params.append(self.version)
        return "".join(" AND " + p for p in parts), params

    def describe(self):
        out = []
        if self.key:
            out.append(("key starting with " if self.key_prefix else "key ") + repr(self.key))
        if self.version:
            out.append("version " + repr(self.version))
        return ", ".join(out) or "all keys and versions"


def day_text(day):
    return datetime.datetime.fromtimestamp(day * DAY, datetime.timezone.utc).strftime("%Y-%m-%d")


def time_text(ts):
    if ts is None:
        return ""
    return datetime.datetime.fromtimestamp(ts, datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M:%S")


def _parse_day(text):
    try:
        d = datetime.datetime.strptime(text or "", "%Y-%m-%d")
    except ValueError:
        return None
    return int(d.replace(tzinfo=datetime.timezone.utc).timestamp() // DAY)


def parse_period(args, now):
    """(Period, problem text or None) from the query's period, from and to."""
    name = args.get("period", "7d")
    today = int(now // DAY)
    if name == "24h":
        return Period("24h", now - DAY, now, "the last 24 hours"), None
    if name == "custom":
        first, last = _parse_day(args.get("from")), _parse_day(args.get("to"))
        problem = None
        if first is None or last is None:
            problem = "Give both dates as YYYY-MM-DD."
        elif last < first:
            problem = "The end date is before the start date."
        elif last - first + 1 > MAX_DAYS:
            problem = f"A period may cover at most {MAX_DAYS} days."
        elif first > today:
            problem = "The period starts in the future."
        if problem is None:
            end = min((last + 1) * DAY, now)
            return Period("custom", first * DAY, end,
                          f"{day_text(first)} to {day_text(last)}"), None
        name = "7d"
    else:
        problem = None
    days = 30 if name == "30d" else 7
    return Period(f"{days}d", (today - days + 1) * DAY, now,
                  f"the last {days} days (today and {days - 1} days before)"), problem


def parse_filters(args):
    key = (args.get("key") or "")[:KEY_LIMIT]
    version = (args.get("version") or "")[:VERSION_LIMIT]
    return Filters(key, args.get("match") == "prefix" and bool(key), version)


class Dashboard:
    """The dashboard's questions, answered from one store."""

    LAG = 120           # rows younger than this may still commit out of id order
    CHUNK = 250_000     # requests rolled up per transaction
    BUDGET = 3.0        # seconds a page may spend catching the rollup up

    def __init__(self, store):
        self.store = store
        self.p = store.placeholder
        self.pg = store.placeholder == "%s"
        self.day_sql = ("CAST(FLOOR(recorded_at / 86400) AS BIGINT)" if self.pg
                        else "CAST(recorded_at / 86400 AS INTEGER)")

    # -- plumbing ----------------------------------------------------------------

    def _all(self, sql, params=()):
        s = self.store
        try:
            return s._conn().execute(sql, params).fetchall()
        except s.errors as e:
            s._drop()
            from ..store import StoreError
            raise StoreError(str(e)) from e

    def _first_id(self, table, ts):
        """The first id recorded at or after ts; one past the last id if none is.

        Rows are added in time order (up to the small skew between workers),
        so a binary search over the primary key finds it in a few dozen
        lookups.  MIN and MAX are asked separately: SQLite answers each alone
        from the key, but both in one SELECT only by reading the whole table.
        """
        p = self.p
        lo = self._all(f"SELECT MIN(id) FROM {table}")[0][0]
        hi = self._all(f"SELECT MAX(id) FROM {table}")[0][0]
        if lo is None:
            return 1

        def at(i):  # the time of the first row at or after id i
            return self._all(f"SELECT recorded_at FROM {table} WHERE id >= {p} "
                             "ORDER BY id LIMIT 1", (i,))[0][0]

        if at(hi) < ts:
            return hi + 1
        while lo < hi:
            mid = (lo + hi) // 2
            if at(mid) >= ts:
                hi = mid
            else:
                lo = mid + 1
        return lo

    def _id_range(self, table, start, end):
        return self._first_id(table, start), self._first_id(table, end)

    # -- the rollup --------------------------------------------------------------

    def rolled_up_to(self):
        rows = self._all(f"SELECT last_id FROM rollup_state WHERE name = {self.p}",
                         ("requests",))
        return rows[0][0] if rows else 0

    def catch_up(self, now=None, budget=None):
        """Add the requests recorded since the last catch-up to the rollup, in
        chunks, for at most `budget` seconds; returns the last id rolled up.

        Rows younger than LAG seconds stay out: with PostgreSQL, a row may
        become visible after one with a higher id.  Each chunk runs in its own
        transaction that re-reads the state under a lock, so two workers never
        count a row twice; a chunk is undone whole if anything fails.
        """
        now = time.time() if now is None else now
        budget = self.BUDGET if budget is None else budget
        s, p = self.store, self.p
        target = self._first_id("requests", now - self.LAG) - 1
        last = self.rolled_up_to()
        began = time.monotonic()
        upsert = (
            "INSERT INTO requests_daily (day, bundle_key, version, answer, malformed, n) "
            f"SELECT {self.day_sql}, COALESCE(bundle_key, ''), COALESCE(version, ''), {ANSWER_SQL}, "
            f"malformed, COUNT(*) FROM requests WHERE id > {p} AND id <= {p} "
            "GROUP BY 1, 2, 3, 4, 5 "
            "ON CONFLICT (day, bundle_key, version, answer, malformed) "
            "DO UPDATE SET n = requests_daily.n + excluded.n")
        try:
            while last < target and time.monotonic() - began < budget:
                with s._transaction() as conn:
                    if self.pg:
                        conn.execute("SELECT pg_advisory_xact_lock(5150001)")
                    row = conn.execute(
                        f"SELECT last_id FROM rollup_state WHERE name = {p}",
                        ("requests",)).fetchone()
                    last = row[0] if row else 0
                    if last >= target:
                        break
                    upto = min(last + self.CHUNK, target)
                    conn.execute(upsert, (last, upto))
                    conn.execute(
                        f"INSERT INTO rollup_state (name, last_id) VALUES ({p}, {p}) "
                        "ON CONFLICT (name) DO UPDATE SET last_id = excluded.last_id",
                        ("requests", upto))
                last = upto
        except s.errors as e:
            s._drop()
            from ..store import StoreError
            raise StoreError(str(e)) from e
        return last

    # -- requests ----------------------------------------------------------------

    _REQUEST_DIMS = ("day", "bundle_key", "version", "answer", "malformed")

    def request_counts(self, period, filters, dims, where="", now=None):
        """{(dim values...): count} of the requests in the period.

        dims are names from _REQUEST_DIMS; `where` is a fixed SQL fragment
        over the same names (e.g. " AND malformed <> ''").
        """
        assert all(d in self._REQUEST_DIMS for d in dims)
        now = time.time() if now is None else now
        p = self.p
        last = self.catch_up(now)
        fsql, fparams = filters.sql(placeholder=p)
        out = {}

        def add(rows):
            for row in rows:
                k = tuple(row[:-1])
                out[k] = out.get(k, 0) + row[-1]

        days = period.days
        # Days the rollup answers: whole days in the period, and today.
        rolled = [d for d in days if d * DAY >= period.start
                  and ((d + 1) * DAY <= period.end or period.end >= now - 1)]
        if rolled:
            a, b = rolled[0], rolled[-1]
            cols = ", ".join(dims) or "0"
            group = f" GROUP BY {', '.join(dims)}" if dims else ""
            add(self._all(f"SELECT {cols}, CAST(SUM(n) AS BIGINT) FROM requests_daily "
                          f"WHERE day >= {p} AND day <= {p}{fsql}{where}{group}",
                          [a, b, *fparams]))
            lo = max(last + 1, self._first_id("requests", a * DAY))
            add(self._live(lo, None, a * DAY, min(period.end, (b + 1) * DAY),
                           dims, fsql, fparams, where))
        # Parts of days the rollup cannot split: counted row by row.
        for d in days:
            if d in rolled:
                continue
            t0, t1 = max(period.start, d * DAY), min(period.end, (d + 1) * DAY)
            lo, hi = self._id_range("requests", t0, t1)
            add(self._live(lo, hi, t0, t1, dims, fsql, fparams, where))
        return out

    def _live(self, lo, hi, t0, t1, dims, fsql, fparams, where):
        p = self.p
        expr = {"day": self.day_sql, "bundle_key": "COALESCE(bundle_key, '')",
                "version": "COALESCE(version, '')", "answer": ANSWER_SQL,
                "malformed": "malformed"}
        cols = ", ".join(expr[d] for d in dims) or "0"
        group = " GROUP BY " + ", ".join(str(i + 1) for i in range(len(dims))) if dims else ""
        bound = f" AND id < {p}" if hi is not None else ""
        params = [lo] + ([hi] if hi is not None else []) + [t0, t1, *fparams]
        return self._all(f"SELECT {cols}, COUNT(*) FROM requests WHERE id >= {p}{bound} "
                         f"AND recorded_at >= {p} AND recorded_at < {p}{fsql}{where}{group}",
                         params)

    def malformed_request_samples(self, period, filters, limit=100, window=1_000_000):
        """The latest malformed requests of the period, among its last `window` requests."""
        p = self.p
        lo, hi = self._id_range("requests", period.start, period.end)
        lo = max(lo, hi - window)
        fsql, fparams = filters.sql(placeholder=p)
        rows = self._all(
            "SELECT recorded_at, client, bundle_key, version, machine_id, answer, malformed, cut "
            f"FROM requests WHERE id >= {p} AND id < {p} AND malformed <> ''{fsql} "
            f"ORDER BY id DESC LIMIT {int(limit)}", [lo, hi, *fparams])
        return rows

    # -- events ------------------------------------------------------------------

    def _events(self, period, select, where, params, group, order="", filters=None):
        p = self.p
        lo, hi = self._id_range("events", period.start, period.end)
        fsql, fparams = filters.sql(placeholder=p) if filters else ("", [])
        return self._all(
            f"SELECT {select} FROM events WHERE id >= {p} AND id < {p} "
            f"AND recorded_at >= {p} AND recorded_at < {p}{where}{fsql}"
            f"{' GROUP BY ' + group if group else ''}{order}",
            [lo, hi, period.start, period.end, *params, *fparams])

    def failures_by_day_and_code(self, period, filters):
        return self._events(period, f"{self.day_sql}, code_number, COUNT(*)",
                            " AND kind = 'error'", [], "1, 2", filters=filters)

    def failures_by(self, period, filters, column, limit=1000):
        """(value, failures), most first; a flood of made-up keys stays bounded."""
        assert column in ("os", "version", "bundle_key")
        return self._events(period, f"COALESCE({column}, ''), COUNT(*)", " AND kind = 'error'",
                            [], "1", f" ORDER BY 2 DESC, 1 LIMIT {int(limit)}", filters=filters)

    def crash_groups(self, period, limit=200):
        # The crash report's query carries key=0 and version=0: crashes cannot
        # be told apart by key or version, so no filter applies here.
        return self._events(
            period, "module, module_offset, exception_code, COUNT(*), MIN(recorded_at), "
            "MAX(recorded_at), MIN(message)", " AND kind = 'crash'", [],
            "module, module_offset, exception_code", f" ORDER BY 4 DESC LIMIT {int(limit)}")

    def malformed_events(self, period, filters, limit=100):
        return self._events(
            period, "recorded_at, client, kind, source, code, message, version, os, bundle_key, "
            "malformed, cut", " AND malformed <> ''", [], "",
            f" ORDER BY id DESC LIMIT {int(limit)}", filters=filters)

    def malformed_event_counts(self, period, filters):
        return self._events(period, "malformed, COUNT(*)", " AND malformed <> ''", [], "1",
                            " ORDER BY 2 DESC", filters=filters)
