"""What the dashboard counts, read from the store without slowing the recording.

ROLLUP: the invariant every reader of requests_daily relies on
--------------------------------------------------------------
`requests_daily` (day, key, version, answer, malformed fields -> count) holds
exactly the requests with 0 < id <= last_id (`rollup_state`, ROLLUP), each counted once,
and nothing else.  So a count is requests_daily plus the requests with
id > last_id, both read in one snapshot (`Dashboard.reading`); read apart, a
rollup committing in between would count its rows twice.  Three things keep
the invariant true:

- Ids are never reused (AUTOINCREMENT on SQLite, identity on PostgreSQL), so
  a row with an id at or below last_id is one already counted.
- `recorded_at` is the database's clock at the insert, so ids and times rise
  together whichever host wrote the row.  With PostgreSQL an id is taken at
  the insert but seen only at the commit, so for a while a lower id can be
  missing while higher ones are there.  The rollup moves only up to the
  last row older than LAG seconds (store/base.py), never into the gap after
  it: a missing id below an old row was taken before that row, so it is
  older than LAG too, and an insert is never open that long: it committed,
  or it was rolled back and will never appear.  (Requests written from the spool
  and nginx's fallback answers read from its log are the exceptions: they
  keep the time they were answered, so they sit among newer ids.  The
  rollup goes by id and counts them all the same; the searches by time
  allow LATE seconds for the fallback answers, see `_id_range`.)
- Each chunk runs in one transaction that re-reads last_id under a lock, so
  two workers (or a worker and the cron rollup) never add a row twice.
  Purge deletes requests_daily days only with the requests they count.

Keys stay bounded: a key that cannot be a launcher's (missing, cut, badly
encoded, not printable: "key" in the malformed fields) is folded into the
empty key, which the views call "other keys"; a day keeps at most
KEYS_PER_DAY keys of its own, those with the most requests so far, the rest
are folded too (both rules are key_rules.py's, shared with the download
funnel); and a view shows at most TOP_KEYS keys, the others summed in
the same "other keys" row.  The
folding is done in SQL, so a flood of made-up keys never reaches memory.

Events are few (one per failed interactive run or crash), so they are always
counted live over their id range.  All times are UTC; a day is the number of
whole days since 1970-01-01 UTC.
"""

import time
import weakref
from contextlib import contextmanager

from .. import settings
from ..db import retention
from ..db.base import LAG, LATE
from ..key_rules import KEYS_PER_DAY, filter_sql, fold_keys, folded, leaders

DAY = 86400
ROLLUP = "requests"  # rollup_state: the last request id in requests_daily
retention.register("requests_daily", "day", 86400)  # the daily counts go with their days
OTHER = ""  # the folded key: no launcher's key is empty
# Answers that nginx gave by itself (rule "fallback", taken from its log; see
# fallback.py) are counted as answers of their own, apart from the same
# instruction given by the service.
ANSWER_SQL = "CASE WHEN rule = 'fallback' THEN 'fallback:' || answer ELSE answer END"


# Each store's crash groups' first crashes ever recorded (Dashboard._first_crashes).
_first_seen = weakref.WeakKeyDictionary()
FIRST_SEEN_KEPT = 10_000


class Dashboard:
    """The dashboard's questions, answered from one store."""

    CHUNK = 250_000     # requests rolled up per transaction
    BUDGET = 3.0        # seconds a page may spend catching the rollup up
    TOP_KEYS = 500      # keys of their own in a view
    LATE = LATE         # how far the time-to-id search may be off (db/base.py)

    def __init__(self, store):
        self.store = store
        self.p = store.placeholder
        self.day_sql = store.day_sql

    # -- plumbing ----------------------------------------------------------------

    @contextmanager
    def reading(self, now=None):
        """Reads of the dashboard's counts: the rollup caught up first, then
        one snapshot (the console's pages catch the funnel's up too, see
        admin/__init__.py)."""
        self.catch_up(now)
        with self.store.snapshot():
            yield self

    def _id_range(self, table, start, end):
        """Ids that hold every row recorded in [start, end), and some around.

        nginx's fallback answers get their ids when the log is read, seconds
        after requests answered later took theirs, so ids are in time order
        only to within LATE seconds: the search looks that much further on
        each side, and the callers filter on the time itself."""
        first_id = self.store.first_id
        return first_id(table, start - self.LATE), first_id(table, end + self.LATE)

    # -- the rollup --------------------------------------------------------------

    def rolled_up_to(self):
        return self.store.position(ROLLUP) or 0

    def _roll_chunk(self, conn, last, upto):
        """Add the requests with last < id <= upto to the rollup, then fold the
        keys of any day past KEYS_PER_DAY into the empty key."""
        p = self.p
        days = {row[0] for row in conn.execute(
            "INSERT INTO requests_daily (day, bundle_key, version, answer, malformed, n) "
            f"SELECT {self.day_sql}, {folded(self.store, 'bundle_key', 'key')}, "
            f"COALESCE(version, ''), {ANSWER_SQL}, malformed, COUNT(*) "
            f"FROM requests WHERE id > {p} AND id <= {p} GROUP BY 1, 2, 3, 4, 5 "
            "ON CONFLICT (day, bundle_key, version, answer, malformed) "
            "DO UPDATE SET n = requests_daily.n + excluded.n RETURNING day",
            (last, upto)).fetchall()}
        for day in sorted(days):
            fold_keys(conn, "requests_daily", self._REQUEST_DIMS, ("n",), "n",
                      f"day = {p}", (day,))

    def catch_up(self, now=None, budget=None):
        """Add the requests recorded since the last catch-up to the rollup, in
        chunks, for at most `budget` seconds; returns the last id rolled up.

        `now` defaults to the database's clock, the one recorded_at is taken
        from.  Rows younger than LAG seconds stay out (see ROLLUP above).
        """
        s = self.store
        now = s.now() if now is None else now
        budget = self.BUDGET if budget is None else budget
        last = self.rolled_up_to()
        target = self.target(now, last)
        began = time.monotonic()
        with s.store_errors():
            while last < target and time.monotonic() - began < budget:
                with s.transaction(patient=True) as conn:
                    s.lock_rollup(conn)
                    last = s.position(ROLLUP, conn) or 0
                    if last >= target:
                        break
                    upto = min(last + self.CHUNK, target)
                    self._roll_chunk(conn, last, upto)
                    s.set_position(conn, ROLLUP, upto)
                last = upto
        return last

    def target(self, now, last=None):
        """The last id a catch-up at `now` rolls up to (`last`, default the
        rollup's position, when there is none newer)."""
        # Up to the last row older than LAG, not to the first younger one: an
        # id missing between the two may belong to an insert still open.
        # The search lands within LATE seconds of its mark (see _id_range).
        young = self.store.first_id("requests", now - LAG - self.LATE)
        target = self.store.read(f"SELECT MAX(id) FROM requests WHERE id < {self.p}",
                                 (young,))[0][0]
        if target is None:
            return self.rolled_up_to() if last is None else last
        return target

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

    _REQUEST_DIMS = ("day", "bundle_key", "version", "answer", "malformed")
    _DIMS = _REQUEST_DIMS + ("hour",)  # the rollup has no hours: counted row by row

    def request_counts(self, period, filters, dims, where="", now=None):
        """{(dim values...): count} of the requests in the period, keys folded
        as ROLLUP says.

        dims are names from _DIMS; `where` is a fixed SQL fragment over the
        same names (e.g. " AND malformed <> ''").  By "hour", the requests
        are counted row by row (the rollup keeps days): for a day or two.
        """
        assert all(d in self._DIMS for d in dims)
        now = time.time() if now is None else now
        p = self.p
        parts, params = [], []
        if "hour" in dims:
            assert period.end - period.start <= 2 * DAY
            lo = self._id_range("requests", period.start, period.end)[0]
            self._live(parts, params, lo, None, period.start, period.end, dims, filters, where)
            rows = self.store.read(self._fold(" UNION ALL ".join(parts), dims), params)
            return {tuple(row[:-1]): row[-1] for row in rows if row[-1]}
        with self.store.snapshot():
            last = self.rolled_up_to()
            days = period.days
            # Days the rollup answers: whole days in the period, and today.
            rolled = [d for d in days if d * DAY >= period.start
                      and ((d + 1) * DAY <= period.end or period.end >= now - 1)]
            # A period that starts late in its first day (the last 24 hours
            # at 1 a.m.) would count most of that day row by row: the
            # rollup's whole day less the rows before the start is the same
            # count, from far fewer rows.
            head = self._head_day(period, rolled, now)
            if head is not None:
                rolled.insert(0, head)
                lo, hi = self._id_range("requests", head * DAY, period.start)
                self._live(parts, params, lo, hi, head * DAY, period.start, dims, filters,
                           where, sign=-1)
            if rolled:
                a, b = rolled[0], rolled[-1]
                fsql, fparams = filter_sql(self.store, filters)
                cols = "".join(f"{d}, " for d in dims)
                group = f" GROUP BY {', '.join(dims)}" if dims else ""
                parts.append(f"SELECT {cols}SUM(n) AS n FROM requests_daily "
                             f"WHERE day >= {p} AND day <= {p}{fsql}{where}{group}")
                params += [a, b, *fparams]
                lo = max(last + 1, self._id_range("requests", a * DAY, a * DAY)[0])
                self._live(parts, params, lo, None, a * DAY, min(period.end, (b + 1) * DAY),
                           dims, filters, where)
            # Parts of days the rollup cannot split: counted row by row.
            for d in days:
                if d in rolled:
                    continue
                t0, t1 = max(period.start, d * DAY), min(period.end, (d + 1) * DAY)
                lo, hi = self._id_range("requests", t0, t1)
                self._live(parts, params, lo, hi, t0, t1, dims, filters, where)
            rows = self.store.read(self._fold(" UNION ALL ".join(parts), dims), params)
        return {tuple(row[:-1]): row[-1] for row in rows if row[-1]}

    def _head_day(self, period, rolled, now):
        """The period's first day when it starts within that day, the rest of
        the day is in the period, less than half of the day comes before the
        start, and the rollup kept every key of that day apart (so that the
        rows before the start, counted under their own keys, can be taken
        from it); else None."""
        d = int(period.start // DAY)
        if not period.days or period.days[0] != d or d * DAY == period.start:
            return None
        if not ((d + 1) * DAY <= period.end or period.end >= now - 1):
            return None
        if rolled and rolled[0] != d + 1 or period.start - d * DAY >= DAY / 2:
            return None
        p = self.p
        keys = self.store.read("SELECT COUNT(DISTINCT bundle_key) FROM requests_daily "
                               f"WHERE day = {p}", (d,))[0][0]
        return d if keys < KEYS_PER_DAY else None

    def _fold(self, union, dims):
        """Sum the parts; keys past the TOP_KEYS largest become one "other keys" row."""
        folded = ("CASE WHEN bundle_key IN (SELECT bundle_key FROM leaders) "
                  "THEN bundle_key ELSE '' END")
        out = [folded if d == "bundle_key" else d for d in dims]
        group = " GROUP BY " + ", ".join(str(i + 1) for i in range(len(dims))) if dims else ""
        top = ""
        if "bundle_key" in dims:
            top = f", leaders AS ({leaders('c', 'bundle_key', 'n', self.TOP_KEYS)})"
        cols = "".join(f"{c}, " for c in out)
        return (f"WITH c AS ({union}){top} "
                f"SELECT {cols}CAST(SUM(n) AS BIGINT) FROM c{group}")

    def _live(self, parts, params, lo, hi, t0, t1, dims, filters, where, sign=1):
        p = self.p
        key = folded(self.store, "bundle_key", "key")
        expr = {"day": self.day_sql, "hour": self.store.hour_sql, "bundle_key": key,
                "version": "COALESCE(version, '')", "answer": ANSWER_SQL,
                "malformed": "malformed"}
        cols = "".join(f"{expr[d]} AS {d}, " for d in dims)
        group = " GROUP BY " + ", ".join(str(i + 1) for i in range(len(dims))) if dims else ""
        bound = f" AND id < {p}" if hi is not None else ""
        fsql, fparams = filter_sql(self.store, filters, key)
        count = "COUNT(*)" if sign > 0 else "-COUNT(*)"
        parts.append(f"SELECT {cols}{count} AS n FROM requests WHERE id >= {p}{bound} "
                     f"AND recorded_at >= {p} AND recorded_at < {p}{fsql}{where}{group}")
        params += [lo] + ([hi] if hi is not None else []) + [t0, t1, *fparams]

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

    def _events(self, period, select, where, params, group, order="", filters=None):
        p = self.p
        lo, hi = self._id_range("events", period.start, period.end)
        fsql, fparams = filter_sql(self.store, filters)
        return self.store.read(
            f"SELECT {select} FROM events WHERE id >= {p} AND id < {p} "
            f"AND recorded_at >= {p} AND recorded_at < {p}{where}{fsql}"
            f"{' GROUP BY ' + group if group else ''}{order}",
            [lo, hi, period.start, period.end, *params, *fparams])

    def failures_by_day_and_code(self, period, filters, unit="day"):
        """(day, or hour by `unit`, code, failures) of the period."""
        time_sql = self.store.hour_sql if unit == "hour" else self.day_sql
        return self._events(period, f"{time_sql}, code_number, COUNT(*)",
                            " AND kind = 'error'", [], "1, 2", filters=filters)

    def failures_by(self, period, filters, column):
        """(value, failures), most first.  A value the launcher cannot have sent
        and the values past the TOP_KEYS largest are folded into "" (other)."""
        assert column in ("os", "version", "bundle_key")
        p = self.p
        field = "key" if column == "bundle_key" else column
        lo, hi = self._id_range("events", period.start, period.end)
        fsql, fparams = filter_sql(self.store, filters)
        value = folded(self.store, column, field)
        return self.store.read(
            f"WITH c AS (SELECT {value} AS v, COUNT(*) AS n FROM events "
            f"WHERE id >= {p} AND id < {p} AND recorded_at >= {p} AND recorded_at < {p} "
            f"AND kind = 'error'{fsql} GROUP BY 1), "
            f"leaders AS ({leaders('c', 'v', 'n', self.TOP_KEYS)}) "
            "SELECT CASE WHEN v IN (SELECT v FROM leaders) THEN v ELSE '' END, "
            "CAST(SUM(n) AS BIGINT) FROM c GROUP BY 1 ORDER BY 2 DESC, 1",
            [lo, hi, period.start, period.end, *fparams])

    def crash_groups(self, period, limit=200):
        """(module, offset, code, crashes in the period, first crash ever
        recorded, last crash in the period, a message) of the `limit`
        largest crash groups of the period."""
        # The crash report's query carries key=0 and version=0: crashes cannot
        # be told apart by key or version, so no filter applies here.
        rows = self._events(
            period, "module, module_offset, exception_code, COUNT(*), MIN(recorded_at), "
            "MAX(recorded_at), MIN(message)", " AND kind = 'crash'", [],
            "module, module_offset, exception_code", f" ORDER BY 4 DESC LIMIT {int(limit)}")
        first = self._first_crashes({tuple(r[:3]): r[4] for r in rows}, period.start)
        return [(*r[:4], first[tuple(r[:3])], *r[5:]) for r in rows]

    def _first_crashes(self, firsts, start):
        """{group: its first crash ever recorded}, given `firsts`, each
        group's first crash from `start` on.  A group's first crash never
        changes once known, so each store keeps them (FIRST_SEEN_KEPT at
        most): the crashes before `start` are read, once, only when a group
        is not known yet, and a group that had none then is known too."""
        known = _first_seen.setdefault(self.store, {})
        if any(g not in known for g in firsts):
            if len(known) + len(firsts) > FIRST_SEEN_KEPT:
                known.clear()
            p = self.p
            hi = self.store.first_id("events", start + self.LATE)
            earlier = {(m, o, c): t for m, o, c, t in self.store.read(
                "SELECT module, module_offset, exception_code, MIN(recorded_at) FROM events "
                f"WHERE id < {p} AND recorded_at < {p} AND kind = 'crash' "
                "GROUP BY module, module_offset, exception_code", (hi, start))}
            for g, t in firsts.items():
                known.setdefault(g, min(t, earlier.get(g, t)))
        return {g: min(t, known[g]) for g, t in firsts.items()}

    def crash_group_counts(self, start, end, limit=None):
        """{(module, offset, exception code): crashes} between two times, of
        the `limit` largest groups or all (the alert detectors' question)."""
        p = self.p
        lo, hi = self._id_range("events", start, end)
        rows = self.store.read(
            "SELECT module, module_offset, exception_code, COUNT(*) FROM events "
            f"WHERE id >= {p} AND id < {p} AND recorded_at >= {p} AND recorded_at < {p} "
            "AND kind = 'crash' GROUP BY module, module_offset, exception_code "
            + (f"ORDER BY 4 DESC LIMIT {int(limit)}" if limit else ""), [lo, hi, start, end])
        return {(m, o, c): n for m, o, c, n in rows}

    def malformed_events(self, period, filters, limit=100):
        return self._events(
            period, "recorded_at, client, kind, source, code, message, version, os, bundle_key, "
            "malformed, cut", " AND malformed <> ''", [], "",
            f" ORDER BY id DESC LIMIT {int(limit)}", filters=filters)

    def malformed_event_counts(self, period, filters):
        return self._events(period, "malformed, COUNT(*)", " AND malformed <> ''", [], "1",
                            " ORDER BY 2 DESC", filters=filters)
