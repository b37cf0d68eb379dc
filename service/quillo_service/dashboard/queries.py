"""What the dashboard counts, read from the store without slowing the recording.

ROLLUP: the invariant every reader of the rollups relies on
-----------------------------------------------------------
`requests_daily` (day, key, version, answer, malformed fields -> count) and
`requests_hourly` (hour, key, version, rule, answer, malformed fields ->
count) each hold exactly the requests with 0 < id <= the position kept in
`rollup_state` under ROLLUP, each counted once, and nothing else.  The
reports' rollup (`reports_daily`, `reports_hourly`: key, version, kind,
code, crash group, os, malformed fields -> count, first and last time, a
message) holds the events up to its own position, REPORTS, likewise.  So a
count is the rollup's hours and days plus the rows with an id past its
position, filtered by time, all read in one snapshot (`Dashboard.reading`);
read apart, a rollup committing in between would count its rows twice.
Three things keep the invariant true:

- Ids are never reused (AUTOINCREMENT on SQLite, identity on PostgreSQL), so
  a row with an id at or below the position is one already counted.
- `recorded_at` is the database's clock at the insert, so ids and times rise
  together whichever host wrote the row.  With PostgreSQL an id is taken at
  the insert but seen only at the commit, so for a while a lower id can be
  missing while higher ones are there.  The rollup moves only up to the
  last row older than LAG seconds (store/base.py), never into the gap after
  it: a missing id below an old row was taken before that row, so it is
  older than LAG too, and an insert is never open that long: it committed,
  or it was rolled back and will never appear.  (Requests written from the spool
  and nginx's fallback answers read from its log are the exceptions: they
  keep the time they were answered, so they sit among newer ids, minutes or
  hours late.  The rollup goes by id and adds each to its own hour and day
  all the same, and the rows past the position are read by id, whatever
  their time: no count searches the ids by time, so a late row is never
  missed.)
- Each chunk runs in one transaction that re-reads the position under a
  lock, so two workers (or a worker and the cron rollup) never add a row
  twice; the hourly and daily tables move in that same transaction.
  Purge deletes rollup days and hours only with the rows they count.

TOTALS: the monitoring's counters (metrics/) come from `metric_totals`,
which the same chunk adds to and purge never touches: requests by rule and
kind of answer, reports by kind and code, each label value folded as it is
added (a code reports/codes.py does not know, or none, is "other").  A
scrape reads those totals and the rows past the position, but no more than
TAIL_ROWS of them, so that it stays cheap when the rollup is far behind;
the sum still only grows, since a chunk moves rows from the tail into the
totals and the window past the position moves on with it.

A period is counted in whole hours (periods.hours): whole days from the
daily tables, the hours at its ends from the hourly ones.

Keys stay bounded: a key that cannot be a launcher's (missing, cut, badly
encoded, not printable: "key" in the malformed fields) is folded into the
empty key, which the views call "other keys"; a day keeps at most
KEYS_PER_DAY keys of its own, those with the most requests (or reports) so
far, the rest are folded too, in its daily row and its hours alike (both
rules are key_rules.py's, shared with the download funnel); and a view
shows at most TOP_KEYS keys, the others summed in the same "other keys"
row.  The folding is done in SQL, so a flood of made-up keys never reaches
memory.  All times are UTC; a day is the number of whole days since
1970-01-01 UTC.
"""

import time
from contextlib import contextmanager
from typing import NamedTuple

from .. import settings
from ..db import retention
from ..db.base import LAG, LAST_TIME, LATE
from ..reports.codes import CODES
from ..key_rules import filter_sql, fold_keys, folded, leaders, merged
from ..periods import HOUR, Period, hours

DAY = 86400
ROLLUP = "requests"  # rollup_state: the last request id in requests_daily and requests_hourly
REPORTS = "reports"  # rollup_state: the last event id in reports_daily and reports_hourly
# The rollups go with the rows they count.  The hourly rows are kept as long
# as the daily ones: a day's hours are some times its rows (a few thousand
# an hour at most, against hundreds of thousands of requests), and the
# alerts' week before and any period that starts within a day need them.
retention.register("requests_daily", "day", 86400)
retention.register("requests_hourly", "hour", 3600)
retention.register("reports_daily", "day", 86400)
retention.register("reports_hourly", "hour", 3600)
OTHER = ""  # the folded key: no launcher's key is empty
# Answers that nginx gave by itself (rule "fallback", taken from its log; see
# fallback.py) are counted as answers of their own, apart from the same
# instruction given by the service.
# A time that is no number of seconds a row can have been recorded at (NaN
# or infinite, or past LAST_TIME, db/base.py) comes from a broken clock:
# such a row is in no hour and no day, rather than holding the rollup up.
COUNTABLE = f" AND recorded_at > {-LAST_TIME:.0f} AND recorded_at < {LAST_TIME:.0f}"
ANSWER_SQL = "CASE WHEN rule = 'fallback' THEN 'fallback:' || answer ELSE answer END"

# The report columns that may be NULL in `events` are kept in the rollup's
# key as 0 or '', each with its bit in `nulls`.  GROUP NULLS: the crash
# group's bits.
REPORT_NULLS = (("code_number", 1, "0"), ("module", 2, "''"), ("module_offset", 4, "0"),
                ("exception_code", 8, "0"))
CODE_NULL, GROUP_NULLS = 1, 14
_REQUEST_KEYS = ("bundle_key", "version", "rule", "answer", "malformed")
_REPORT_KEYS = ("bundle_key", "version", "kind", "code_number", "module", "module_offset",
                "exception_code", "nulls", "os", "malformed")
_REPORT_EXTREMES = (("first_at", "MIN"), ("last_at", "MAX"), ("message", "MIN"))


# metric_totals' families (db/schema.py, version 19) and how a raw row's
# label values are worked out, in the rollup and in the tail alike.  The
# values are bounded: the rules are the configuration's (and "default",
# "maintenance", "fallback"), an answer is one of the two instructions.
TOTAL_REQUESTS, TOTAL_REPORTS = "requests", "reports"
REPORT_KINDS = ("error", "crash")
KNOWN_CODES = tuple(sorted(CODES))
TAIL_ROWS = 100_000  # rows past a rollup's position a scrape counts, at most


def _total_labels(store):
    """{family: (table, SQL of label a, SQL of label b, their parameters)}
    over raw rows of `requests` or `events`."""
    p = store.placeholder
    # substr, not LIKE: psycopg would read LIKE's % as a placeholder.
    answer = ("CASE WHEN SUBSTR(answer, 1, 4) = 'GET:' THEN 'GET' "
              "WHEN SUBSTR(answer, 1, 5) = 'GOTO:' THEN 'GOTO' ELSE 'other' END")
    kinds = ", ".join([p] * len(REPORT_KINDS))
    codes = ", ".join([p] * len(KNOWN_CODES))
    return {
        TOTAL_REQUESTS: ("requests", "rule", answer, ()),
        TOTAL_REPORTS: ("events", f"CASE WHEN kind IN ({kinds}) THEN kind ELSE 'other' END",
                        f"CASE WHEN code_number IN ({codes}) THEN CAST(code_number AS TEXT) "
                        "ELSE 'other' END", REPORT_KINDS + KNOWN_CODES)}


def _ceil(a, b):
    return -(-a // b)


class _Counted(NamedTuple):
    """One rollup as the views read it: the same columns from its daily and
    hourly tables and from the rows past its position (SELECTs with their
    placeholders: the days, the hours, and the position and times)."""
    position: str
    daily: str
    hourly: str
    tail: str


class Dashboard:
    """The dashboard's questions, answered from one store."""

    CHUNK = 250_000     # rows rolled up per transaction
    BUDGET = 3.0        # seconds a page may spend catching the rollups up
    TOP_KEYS = 500      # keys of their own in a view
    LATE = LATE         # how far the time-to-id search may be off (db/base.py)

    def __init__(self, store):
        self.store = store
        self.p = p = store.placeholder
        self.day_sql = store.day_sql
        self._totals = _total_labels(store)
        key = folded(store, "bundle_key", "key")
        # The rollups' columns, worked out from a raw row: in the rollups
        # and in the rows past their positions alike.
        self._request_cols = {"bundle_key": key, "version": "COALESCE(version, '')",
                              "rule": "rule", "answer": "answer", "malformed": "malformed"}
        nulls = " + ".join(f"CASE WHEN {c} IS NULL THEN {bit} ELSE 0 END"
                           for c, bit, _ in REPORT_NULLS)
        self._report_cols = {
            "bundle_key": key, "version": "COALESCE(version, '')", "kind": "kind",
            **{c: f"COALESCE({c}, {none})" for c, _, none in REPORT_NULLS},
            "nulls": f"({nulls})", "os": "COALESCE(os, '')", "malformed": "malformed"}
        # Only the crash groups need a message (their sample, the least).
        self._report_extremes = {"first_at": "MIN(recorded_at)", "last_at": "MAX(recorded_at)",
                                 "message": "MIN(CASE WHEN kind = 'crash' THEN message END)"}
        tail = f"FROM {{}} WHERE id > {p} AND recorded_at >= {p} AND recorded_at < {p}"
        self._requests = _Counted(
            ROLLUP,
            "SELECT day, bundle_key, version, answer, malformed, n FROM requests_daily "
            f"WHERE day >= {p} AND day < {p}",
            f"SELECT hour / 24 AS day, hour, bundle_key, version, {ANSWER_SQL} AS answer, "
            f"malformed, n FROM requests_hourly WHERE hour >= {p} AND hour < {p}",
            f"SELECT {self.day_sql} AS day, {store.hour_sql} AS hour, {key} AS bundle_key, "
            f"COALESCE(version, '') AS version, {ANSWER_SQL} AS answer, malformed, 1 AS n "
            + tail.format("requests"))
        report = ", ".join(_REPORT_KEYS) + ", n, first_at, last_at, message"
        self._reports = _Counted(
            REPORTS,
            f"SELECT day, {report} FROM reports_daily WHERE day >= {p} AND day < {p}",
            f"SELECT hour / 24 AS day, hour, {report} FROM reports_hourly "
            f"WHERE hour >= {p} AND hour < {p}",
            f"SELECT {self.day_sql} AS day, {store.hour_sql} AS hour, "
            + ", ".join(f"{v} AS {c}" for c, v in self._report_cols.items())
            + ", 1 AS n, recorded_at AS first_at, recorded_at AS last_at, "
            "CASE WHEN kind = 'crash' THEN message END AS message " + tail.format("events"))

    # -- plumbing ----------------------------------------------------------------

    @contextmanager
    def reading(self, now=None):
        """Reads of the dashboard's counts: the rollups caught up first, then
        one snapshot (the console's pages catch the funnel's up too, see
        admin/__init__.py)."""
        self.catch_up(now)
        with self.store.snapshot():
            yield self

    def _id_range(self, table, start, end):
        """Ids that hold every row recorded in [start, end), and some around,
        for the lists of the latest rows (the counts never search by time).

        nginx's fallback answers get their ids when the log is read, seconds
        after requests answered later took theirs, so ids are in time order
        only to within LATE seconds: the search looks that much further on
        each side, and the callers filter on the time itself."""
        first_id = self.store.first_id
        return first_id(table, start - self.LATE), first_id(table, end + self.LATE)

    # -- the rollups -------------------------------------------------------------

    def rolled_up_to(self):
        """The last request id in the requests' rollup (0 for none)."""
        return self.store.position(ROLLUP) or 0

    def reports_rolled_up_to(self):
        """The last event id in the reports' rollup (0 for none)."""
        return self.store.position(REPORTS) or 0

    def _roll_requests(self, conn, last, upto):
        """Add the requests with last < id <= upto to the rollup, then fold the
        keys of any day past KEYS_PER_DAY into the empty key."""
        p = self.p
        c = self._request_cols
        days = {row[0] for row in conn.execute(
            "INSERT INTO requests_daily (day, bundle_key, version, answer, malformed, n) "
            f"SELECT {self.day_sql}, {c['bundle_key']}, {c['version']}, {ANSWER_SQL}, "
            f"malformed, COUNT(*) FROM requests WHERE id > {p} AND id <= {p}{COUNTABLE} "
            "GROUP BY 1, 2, 3, 4, 5 "
            "ON CONFLICT (day, bundle_key, version, answer, malformed) "
            "DO UPDATE SET n = requests_daily.n + excluded.n RETURNING day",
            (last, upto)).fetchall()}
        self._roll_requests_hourly(conn, last, upto)
        self._roll_totals(conn, TOTAL_REQUESTS, last, upto)
        for day in sorted(days):
            fold_keys(conn, "requests_daily", ("day",) + _REQUEST_KEYS[:2] + _REQUEST_KEYS[3:],
                      ("n",), "n", f"day = {p}", (day,))
            self._fold_hours(conn, "requests_hourly", _REQUEST_KEYS, (), day)

    def _roll_requests_hourly(self, conn, last, upto):
        """requests_hourly's part of a chunk; returns the hours it added to."""
        p, c = self.p, self._request_cols
        return {row[0] for row in conn.execute(
            "INSERT INTO requests_hourly (hour, " + ", ".join(_REQUEST_KEYS) + ", n) "
            f"SELECT {self.store.hour_sql}, "
            + ", ".join(c[k] for k in _REQUEST_KEYS)
            + f", COUNT(*) FROM requests WHERE id > {p} AND id <= {p}{COUNTABLE} "
            "GROUP BY 1, 2, 3, 4, 5, 6 "
            f"ON CONFLICT (hour, {', '.join(_REQUEST_KEYS)}) "
            "DO UPDATE SET n = requests_hourly.n + excluded.n RETURNING hour",
            (last, upto)).fetchall()}

    def _roll_totals(self, conn, family, last, upto):
        """metric_totals' part of a chunk (TOTALS above)."""
        table, a, b, params = self._totals[family]
        p = self.p
        conn.execute(
            f"INSERT INTO metric_totals (family, a, b, n) SELECT {p}, {a}, {b}, COUNT(*) "
            f"FROM {table} WHERE id > {p} AND id <= {p}{COUNTABLE} GROUP BY 2, 3 "
            "ON CONFLICT (family, a, b) DO UPDATE SET n = metric_totals.n + excluded.n",
            (family, *params, last, upto))

    def totals(self, tail_rows=TAIL_ROWS):
        """{family: {(a, b): count}} of metric_totals with the rows past each
        rollup's position, at most `tail_rows` of them (TOTALS above), read
        in one snapshot; every family is there, empty before any row."""
        p = self.p
        out = {TOTAL_REQUESTS: {}, TOTAL_REPORTS: {}}
        with self.store.snapshot():
            for family, a, b, n in self.store.read(
                    "SELECT family, a, b, n FROM metric_totals"):
                if family in out:
                    out[family][(a, b)] = int(n)
            for family, position in ((TOTAL_REQUESTS, ROLLUP), (TOTAL_REPORTS, REPORTS)):
                table, a, b, params = self._totals[family]
                last = self.store.position(position) or 0
                counts = out[family]
                for la, lb, n in self.store.read(
                        f"SELECT {a}, {b}, COUNT(*) FROM {table} "
                        f"WHERE id > {p} AND id <= {p}{COUNTABLE} GROUP BY 1, 2",
                        (*params, last, last + int(tail_rows))):
                    counts[(la, lb)] = counts.get((la, lb), 0) + int(n)
        return out

    def _fold_hours(self, conn, table, keys, extremes, day):
        p = self.p
        fold_keys(conn, table, ("hour",) + keys, ("n",), "n", f"hour >= {p} AND hour < {p}",
                  (day * 24, day * 24 + 24), extremes)

    def _roll_reports(self, conn, last, upto):
        """Add the events with last < id <= upto to the reports' rollup, by
        hour and by day, then fold the keys of any day past KEYS_PER_DAY."""
        p, c = self.p, self._report_cols
        cols = ", ".join(_REPORT_KEYS)
        extremes = ", ".join(self._report_extremes.values())
        group = ", ".join(str(i + 1) for i in range(len(_REPORT_KEYS) + 1))
        days = set()
        for table, unit, unit_sql in (("reports_hourly", "hour", self.store.hour_sql),
                                      ("reports_daily", "day", self.day_sql)):
            update = ", ".join([f"n = {table}.n + excluded.n"]
                               + [f"{x} = {merged(table, x, how)}" for x, how in _REPORT_EXTREMES])
            units = {row[0] for row in conn.execute(
                f"INSERT INTO {table} ({unit}, {cols}, n, first_at, last_at, message) "
                f"SELECT {unit_sql}, " + ", ".join(c[k] for k in _REPORT_KEYS)
                + f", COUNT(*), {extremes} FROM events WHERE id > {p} AND id <= {p}{COUNTABLE} "
                f"GROUP BY {group} ON CONFLICT ({unit}, {cols}) DO UPDATE SET {update} "
                f"RETURNING {unit}", (last, upto)).fetchall()}
            days |= units if unit == "day" else set()
        self._roll_totals(conn, TOTAL_REPORTS, last, upto)
        for day in sorted(days):
            fold_keys(conn, "reports_daily", ("day",) + _REPORT_KEYS, ("n",), "n",
                      f"day = {p}", (day,), _REPORT_EXTREMES)
            self._fold_hours(conn, "reports_hourly", _REPORT_KEYS, _REPORT_EXTREMES, day)

    def _target(self, table, now):
        """The last id of `table` the rollup may reach now, or None."""
        s = self.store
        # Up to the last row older than LAG, not to the first younger one: an
        # id missing between the two may belong to an insert still open.
        # The search lands within LATE seconds of its mark (see _id_range).
        young = s.first_id(table, now - LAG - self.LATE)
        return s.last_id(table, below=young)

    def _roll_chunk(self, name, target, roll):
        """One chunk of the rollup kept under `name`, towards `target`, in one
        transaction that re-reads the position under the rollups' lock;
        returns the position after it."""
        s = self.store
        with s.transaction(patient=True) as conn:
            s.lock_rollup(conn)
            last = s.position(name, conn) or 0
            if last >= target:
                return last
            upto = min(last + self.CHUNK, target)
            roll(conn, last, upto)
            s.set_position(conn, name, upto)
        return upto

    def catch_up(self, now=None, budget=None):
        """Add the requests and the reports recorded since the last catch-up
        to their rollups, a chunk of each in turn, for at most `budget`
        seconds; returns the last request id rolled up.

        `now` defaults to the database's clock, the one recorded_at is taken
        from.  Rows younger than LAG seconds stay out (see ROLLUP above).
        """
        s = self.store
        now = s.now() if now is None else now
        budget = self.BUDGET if budget is None else budget
        with s.store_errors():
            rollups = [[ROLLUP, self.rolled_up_to(), self._target("requests", now),
                        self._roll_requests],
                       [REPORTS, self.reports_rolled_up_to(), self._target("events", now),
                        self._roll_reports]]
            for r in rollups:
                r[2] = r[1] if r[2] is None else r[2]
            began = time.monotonic()
            while time.monotonic() - began < budget:
                behind = [r for r in rollups if r[1] < r[2]]
                if not behind:
                    break
                for r in behind:
                    r[1] = self._roll_chunk(r[0], r[2], r[3])
            # Whether the rollups reached what they may: the scheduler runs
            # a job that did not again at once.
            self.caught_up = all(r[1] >= r[2] for r in rollups)
        return rollups[0][1]

    # -- reading the rollups -----------------------------------------------------

    def _read(self, counted, period, dims, sums, where, params, filters, outer="",
              by_hour=False, now=None):
        """The rows of `outer` (SQL over `c`, or a function of the rollup's
        position giving it with its parameters: the parts, each grouped by
        `dims` with `sums`, both (name, SQL) over the rollup's columns,
        narrowed by `where` with `params` and the filters), over the
        period's hours (periods.hours).

        Whole days come from the daily table, unless by the hour; the hours
        at the ends from the hourly one; and the rows past the rollup's
        position, by their time.  Given `now`, a period that ends at it
        takes the rest of its last day, in which nothing is recorded yet, so
        that the day comes whole from the daily table."""
        first, end = hours(period)
        if now is not None and not by_hour and period.end >= now - 1:
            end = _ceil(end, 24) * 24
        fsql, fparams = filter_sql(self.store, filters)
        cols = ", ".join(f"{sql} AS {name}" for name, sql in dims + sums)
        group = " GROUP BY " + ", ".join(sql for _, sql in dims) if dims else ""
        parts, args = [], []

        def part(source, bounds):
            parts.append(f"SELECT {cols} FROM ({source}) s WHERE 1 = 1{where}{fsql}{group}")
            args.extend([*bounds, *params, *fparams])

        with self.store.snapshot():
            last = (self.rolled_up_to() if counted.position == ROLLUP
                    else self.reports_rolled_up_to())
            d0, d1 = _ceil(first, 24), end // 24  # the whole days
            if by_hour or d0 >= d1:
                ends = [(first, end)]
            else:
                part(counted.daily, (d0, d1))
                ends = [(first, d0 * 24), (d1 * 24, end)]
            for lo, hi in ends:
                if lo < hi:
                    part(counted.hourly, (lo, hi))
            part(counted.tail, (last, first * HOUR, end * HOUR))
            outer, more = outer(last) if callable(outer) else (outer, [])
            return self.store.read(f"WITH c AS ({' UNION ALL '.join(parts)}) {outer}",
                                   args + more)

    # -- requests ----------------------------------------------------------------

    def lost_requests(self):
        """Requests answered but neither recorded nor spooled (never in the counts)."""
        return self.store.lost_requests()

    def hosts(self, bound=None):
        """(seen, silent): the hosts' last heartbeats (Store.hosts), by name,
        split by whether each was seen within `bound` seconds (the lease,
        after which housekeeping too takes a host for gone).  A silent
        host's records may not all be in."""
        bound = settings.lease_seconds() if bound is None else bound
        beats = self.store.hosts()
        return [h for h in beats if h["age"] <= bound], [h for h in beats if h["age"] > bound]

    def silent_hosts(self, bound=None):
        """The hosts not seen for longer than `bound` seconds (see hosts)."""
        return self.hosts(bound)[1]

    _DIMS = ("day", "hour", "bundle_key", "version", "answer", "malformed")

    def request_counts(self, period, filters, dims, where="", now=None):
        """{(dim values...): count} of the requests in the period's hours
        (periods.hours), keys folded as ROLLUP says.

        dims are names from _DIMS; `where` is a fixed SQL fragment over the
        same names (e.g. " AND malformed <> ''").  `now` (the page's clock)
        lets a period that ends now read its last day whole."""
        assert all(d in self._DIMS for d in dims)
        now = time.time() if now is None else now
        rows = self._read(self._requests, period, [(d, d) for d in dims], [("n", "SUM(n)")],
                          where, [], filters, self._fold(dims), by_hour="hour" in dims, now=now)
        return {tuple(row[:-1]): row[-1] for row in rows if row[-1]}

    def _fold(self, dims):
        """Sum the parts; keys past the TOP_KEYS largest become one "other keys" row."""
        folded = ("CASE WHEN bundle_key IN (SELECT bundle_key FROM leaders) "
                  "THEN bundle_key ELSE '' END")
        out = [folded if d == "bundle_key" else d for d in dims]
        group = " GROUP BY " + ", ".join(str(i + 1) for i in range(len(dims))) if dims else ""
        top = ""
        if "bundle_key" in dims:
            top = f", leaders AS ({leaders('c', 'bundle_key', 'n', self.TOP_KEYS)})"
        cols = "".join(f"{c}, " for c in out)
        return f"{top} SELECT {cols}CAST(SUM(n) AS BIGINT) FROM c{group}"

    def malformed_request_samples(self, period, filters, limit=100, window=1_000_000):
        """The latest malformed requests of the period, among its last `window` requests."""
        p = self.p
        lo, hi = self._id_range("requests", period.start, period.end)
        lo = max(lo, hi - window)
        fsql, fparams = filter_sql(self.store, filters)
        rows = self.store.read(
            "SELECT recorded_at, client, bundle_key, version, machine_id, answer, malformed, cut "
            f"FROM requests WHERE id >= {p} AND id < {p} AND malformed <> ''{fsql} "
            f"ORDER BY id DESC LIMIT {int(limit)}", [lo, hi, *fparams])
        return rows

    # -- events ------------------------------------------------------------------

    def failures_by_day_and_code(self, period, filters, unit="day"):
        """(day, or hour by `unit`, code or None, failures) of the period."""
        assert unit in ("day", "hour")
        rows = self._read(
            self._reports, period, [(unit, unit), ("code_number", "code_number"),
                                    ("code_null", f"(nulls & {CODE_NULL})")],
            [("n", "SUM(n)")], " AND kind = 'error'", [], filters,
            f"SELECT {unit}, code_number, code_null, CAST(SUM(n) AS BIGINT) FROM c "
            "GROUP BY 1, 2, 3", by_hour=unit == "hour")
        return [(t, None if null else code, n) for t, code, null, n in rows]

    def failures_by(self, period, filters, column):
        """(value, failures), most first.  A value the launcher cannot have sent
        and the values past the TOP_KEYS largest are folded into "" (other)."""
        assert column in ("os", "version", "bundle_key")
        field = "key" if column == "bundle_key" else column
        return self._read(
            self._reports, period, [("v", folded(self.store, column, field))],
            [("n", "SUM(n)")], " AND kind = 'error'", [], filters,
            f", leaders AS ({leaders('c', 'v', 'n', self.TOP_KEYS)}) "
            "SELECT CASE WHEN v IN (SELECT v FROM leaders) THEN v ELSE '' END, "
            "CAST(SUM(n) AS BIGINT) FROM c GROUP BY 1 ORDER BY 2 DESC, 1")

    _GROUP = [("module", "module"), ("module_offset", "module_offset"),
              ("exception_code", "exception_code"), ("g", f"(nulls & {GROUP_NULLS})")]

    @staticmethod
    def _group(module, offset, code, nulls):
        """A crash group as its reports gave it, None where they gave none."""
        return (None if nulls & 2 else module, None if nulls & 4 else offset,
                None if nulls & 8 else code)

    def crash_groups(self, period, limit=200):
        """(module, offset, code, crashes in the period, first crash ever
        recorded, last crash in the period, a message) of the `limit`
        largest crash groups of the period."""
        # The crash report's query carries key=0 and version=0: crashes cannot
        # be told apart by key or version, so no filter applies here.
        same = " AND ".join(f"d.{c} = t.{c}" for c, _ in self._GROUP[:3])
        ever = self._reports.tail

        def outer(last):
            # First seen ever: the group's first crash in the daily rollup
            # (every one rolled up), or among the rows past its position.
            return (
                ", top AS (SELECT module, module_offset, exception_code, g, SUM(n) AS n, "
                "MIN(first_at) AS first_at, MAX(last_at) AS last_at, MIN(message) AS message "
                f"FROM c GROUP BY 1, 2, 3, 4 ORDER BY 5 DESC, 1, 2, 3, 4 LIMIT {int(limit)}), "
                f"early AS (SELECT module, module_offset, exception_code, "
                f"(nulls & {GROUP_NULLS}) AS g, MIN(first_at) AS first_at FROM ({ever}) s "
                "WHERE kind = 'crash' GROUP BY 1, 2, 3, 4) "
                "SELECT t.module, t.module_offset, t.exception_code, t.g, "
                "CAST(t.n AS BIGINT), t.first_at, t.last_at, t.message, "
                "(SELECT MIN(d.first_at) FROM reports_daily d WHERE d.kind = 'crash' "
                f"AND {same} AND (d.nulls & {GROUP_NULLS}) = t.g), e.first_at "
                f"FROM top t LEFT JOIN early e ON {same.replace('d.', 'e.')} AND e.g = t.g "
                "ORDER BY 5 DESC, 1, 2, 3, 4", [last, -1e300, 1e300])
        rows = self._read(self._reports, period, self._GROUP,
                          [("n", "SUM(n)"), ("first_at", "MIN(first_at)"),
                           ("last_at", "MAX(last_at)"), ("message", "MIN(message)")],
                          " AND kind = 'crash'", [], None, outer)
        return [(*self._group(m, o, c, g), n, min(t for t in (first, *earlier) if t is not None),
                 latest, sample)
                for m, o, c, g, n, first, latest, sample, *earlier in rows]

    def crash_group_counts(self, start, end, limit=None):
        """{(module, offset, exception code): crashes} between two times (in
        whole hours, periods.hours), of the `limit` largest groups or all
        (the alert detectors' question)."""
        rows = self._read(
            self._reports, Period("custom", start, end, ""), self._GROUP, [("n", "SUM(n)")],
            " AND kind = 'crash'", [], None,
            "SELECT module, module_offset, exception_code, g, CAST(SUM(n) AS BIGINT) FROM c "
            "GROUP BY 1, 2, 3, 4"
            + (f" ORDER BY 5 DESC, 1, 2, 3, 4 LIMIT {int(limit)}" if limit else ""))
        return {self._group(m, o, c, g): n for m, o, c, g, n in rows}

    def malformed_events(self, period, filters, limit=100):
        """The latest malformed events of the period, read by id a page at a time."""
        p = self.p
        lo, hi = self._id_range("events", period.start, period.end)
        fsql, fparams = filter_sql(self.store, filters)
        return self.store.read(
            "SELECT recorded_at, client, kind, source, code, message, version, os, bundle_key, "
            f"malformed, cut FROM events WHERE id >= {p} AND id < {p} "
            f"AND recorded_at >= {p} AND recorded_at < {p} AND malformed <> ''{fsql} "
            f"ORDER BY id DESC LIMIT {int(limit)}",
            [lo, hi, period.start, period.end, *fparams])

    def malformed_event_counts(self, period, filters):
        """(malformed fields, events) of the period, most first."""
        return self._read(self._reports, period, [("malformed", "malformed")],
                          [("n", "SUM(n)")], " AND malformed <> ''", [], filters,
                          "SELECT malformed, CAST(SUM(n) AS BIGINT) FROM c GROUP BY 1 "
                          "ORDER BY 2 DESC, 1")


def fill_requests_hourly(store, conn):
    """Count the requests already rolled up by the hour too, inside the
    schema step's transaction (db/schema.py, version 18): from the rows
    still kept, a chunk of ids at a time, then the keys of each day folded
    as the rollup folds them."""
    dash = Dashboard(store)
    upto = store.position(ROLLUP, conn) or 0
    low = conn.execute("SELECT MIN(id) FROM requests").fetchone()[0]
    if low is None or low > upto:
        return
    days, last = set(), low - 1
    while last < upto:
        step = min(last + dash.CHUNK, upto)
        days |= {h // 24 for h in dash._roll_requests_hourly(conn, last, step)}
        store.progress(f"requests counted by the hour up to id {step} of {upto}")
        last = step
    for day in sorted(days):
        dash._fold_hours(conn, "requests_hourly", _REQUEST_KEYS, (), day)


def seed_metric_totals(store, conn):
    """metric_totals from the rollups still kept, inside the schema step's
    transaction (db/schema.py, version 19): the requests' hours and the
    reports' days, their labels folded as the rollup folds them."""
    p = store.placeholder
    labels = _total_labels(store)
    # Made again whole where the step meets totals already there.
    conn.execute("DELETE FROM metric_totals")
    _, rule, answer, _ = labels[TOTAL_REQUESTS]
    conn.execute(f"INSERT INTO metric_totals (family, a, b, n) SELECT {p}, {rule}, {answer}, "
                 "SUM(n) FROM requests_hourly GROUP BY 2, 3", (TOTAL_REQUESTS,))
    _, kind, code, params = labels[TOTAL_REPORTS]
    # A code kept as 0 for none (its bit in nulls) is no code.
    code = code.replace("WHEN code_number IN", f"WHEN (nulls & {CODE_NULL}) = 0 AND "
                        "code_number IN")
    conn.execute(f"INSERT INTO metric_totals (family, a, b, n) SELECT {p}, {kind}, {code}, "
                 "SUM(n) FROM reports_daily GROUP BY 2, 3", (TOTAL_REPORTS, *params))
