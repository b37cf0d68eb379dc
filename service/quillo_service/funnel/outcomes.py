"""The download funnel: from an instruction request to an installer on disk.

For each instruction request, what followed it (which request a download or
a failure belongs to is joins.py's to say: the windows, the clock allowance
and which request is the latest are there):

- sent to download: the answer was GET:<installer address>;
- started: a download of that installer (the address's path) belongs to
  the request;
- completed: the byte ranges nginx sent for those downloads cover the whole
  file (bytes are counted by range, not by request), and the request that
  sent the last byte ended complete;
- resumed: completed with more than one request;
- failure reported: an error or crash report belongs to the request;
- no news: completed without a failure reported.

Bytes: what nginx sent for installers (200 and 206 answers), counted to the
request its download belongs to; bytes of downloads that belong to no
request are counted per file and hour (of nginx's log line).  Wasted bytes
are those sent more than once for one request (overlapping ranges).

These joins look forward in time, so a request's outcome is known only once
the longest window (and SLACK for the logs to be read) has passed.  The
rollup (`funnel_daily`, and `funnel_hourly` for the last KEEP_HOURS, for
periods that start within a day) holds the outcomes of the requests
recorded before the time in rollup_state "funnel", which stays
`Funnel.horizon` seconds (rounded to whole hours) behind the database's
clock.  The outcomes so far
of the requests after it are worked out in the background about once a
minute (background.WorkerLoop) into `funnel_recent`, replaced whole each time, so
that no page has to work out hours of them; a page adds only the requests
since, worked out live (the same code), as the dashboard does with its own
rollup.
Joins are done here in Python over time ranges of the three tables, read by
id (see Store.first_id), so no table needs an index for them.
"""

import time
from urllib.parse import unquote, urlsplit

from .. import joins
from ..joins import CLOCK_SLACK, DOWNLOAD_WINDOW, FAILURE_LOOKBACK, LONGEST
from ..dashboard.queries import Dashboard
from ..db import retention

SLACK = 600                 # logs read late, hosts' rows slightly out of order
HOUR = 3600
retention.register("funnel_daily", "day", 86400)
DAY = 24 * HOUR
CHUNK = DAY                 # requests rolled up per transaction, in seconds
KEEP_HOURS = 72             # hourly rows kept: a 24-hour period needs the last 48
SERVED = (200, 206)         # answers that carry installer bytes
UNASKED = "download:"       # answer of bytes that belong to no request, + path

# How far apart a record and its request may be: a download may start
# DOWNLOAD_WINDOW after its request and last LONGEST, a failure may come the
# longer failure window after it, and a request stamped up to CLOCK_SLACK
# after a record may still be its.  A request's outcome depends on the
# records and requests up to REACH after it, and a record's request on the
# requests up to REACH before it.
REACH = max(DOWNLOAD_WINDOW + LONGEST, FAILURE_LOOKBACK) + CLOCK_SLACK

COUNTS = ("asked", "sent_to_download", "started", "completed", "resumed", "failed",
          "no_news", "bytes_sent", "bytes_wasted", "completed_bytes", "completed_seconds")
DIMS = ("day", "bundle_key", "version", "rule", "answer")  # of Funnel.counts
FINAL = "funnel"            # rollup_state: requests before this time are final
RECENT = "funnel recent"    # rollup_state: when funnel_recent was made

_REQUEST = "id, recorded_at, client, bundle_key, version, answer, rule, malformed"
_DOWNLOAD = "recorded_at, client, path, status, first_byte, sent, size, seconds, complete"
_EVENT = "id, recorded_at, client, kind, bundle_key"


_PATHS = {}  # answer -> path: a handful of channel addresses


def installer_path(answer):
    """The path nginx logs for the installer a GET: answer names, or None."""
    path = _PATHS.get(answer)
    if path is None and answer.startswith("GET:"):
        if len(_PATHS) > 10000:
            _PATHS.clear()
        path = _PATHS[answer] = unquote(urlsplit(answer[4:]).path)
    return path


def _covered(ranges):
    """Bytes covered by the union of (first, end) ranges."""
    total, reach = 0, 0
    for first, end in sorted(ranges):
        if end > reach:
            total += end - max(first, reach)
            reach = end
    return total


def _outcome(downloads):
    """(started, completed, resumed, bytes, wasted, size, seconds) of one
    request's downloads: (start time, end time, first byte, sent, size,
    complete) each."""
    served = sorted(downloads)
    ranges = [(d[2], d[2] + d[3]) for d in served]
    sent = sum(d[3] for d in served)
    covered = _covered(ranges)
    size = served[-1][4]
    done = None
    if size and _covered([(a, min(b, size)) for a, b in ranges]) == size:
        ends = [d for d in served if d[5] and d[2] + d[3] == size]
        done = ends[0] if ends else None
    if done is None:
        return 1, 0, 0, sent, sent - covered, 0, 0.0
    return (1, 1, 1 if len(served) > 1 else 0, sent, sent - covered, size,
            done[1] - served[0][0])


def outcomes(requests, downloads, events, start, end, report=None):
    """The funnel rows {(hour, key, version, rule, answer): [counts in COUNTS
    order]} of the requests recorded in [start, end) (only those whose ids
    are in `report`, when given), and of the bytes of downloads logged then
    that belong to no request.

    requests, downloads, events: rows as read by Funnel._read (from early
    enough and late enough for the joins).
    """
    asks = []
    for r in requests:
        path = installer_path(r[5])
        if path is not None:
            asks.append((r[0], r[1], r[2], path))
    served = [d for d in downloads if d[3] in SERVED]
    owners = joins.downloads(asks, [(joins.download_start(d[0], d[7]), d[7], d[1], d[2])
                                    for d in served])
    belongs, unasked = {}, []
    for (at, client, path, status, first, sent, size, seconds, complete), owner in zip(
            served, owners):
        if owner is not None:
            belongs.setdefault(owner, []).append(
                (joins.download_start(at, seconds), at, first, sent, size, complete))
        elif start <= at < end:
            unasked.append((at, path, sent))
    failed = set(joins.failures(requests, events).values())
    rows = {}
    for r in requests:
        if not start <= r[1] < end or (report is not None and r[0] not in report):
            continue
        key = "" if ",key," in f",{r[7]}," else (r[3] or "")
        row = rows.setdefault((int(r[1] // HOUR), key, r[4] or "", r[6], r[5]),
                              [0] * len(COUNTS))
        row[0] += 1
        if r[5].startswith("GET:"):
            row[1] += 1
        got = belongs.get(r[0])
        if got:
            started, completed, resumed, sent, wasted, size, seconds = _outcome(got)
            row[2] += started
            row[3] += completed
            row[4] += resumed
            row[7] += sent
            row[8] += wasted
            row[9] += size
            row[10] += seconds
            if completed and r[0] not in failed:
                row[6] += 1
        if r[0] in failed:
            row[5] += 1
    for at, path, sent in unasked:
        row = rows.setdefault((int(at // HOUR), "", "", "", UNASKED + path),
                              [0] * len(COUNTS))
        row[7] += sent
    return rows


def by_day(rows):
    """Hourly funnel rows summed per day."""
    out = {}
    for (hour, *rest), counts in rows.items():
        row = out.setdefault((hour // 24, *rest), [0] * len(COUNTS))
        for j, n in enumerate(counts):
            row[j] += n
    return out


class Funnel:
    """The funnel's counts over one store: rollup, recent rows and live tail."""

    BUDGET = 3.0      # seconds a page may spend catching the rollup up
    REFRESH = 60.0    # seconds between refreshes of the recent rows
    STALE = 300.0     # a page refreshes recent rows older than this itself

    def __init__(self, store):
        self.store = store
        self.dash = Dashboard(store)
        self.p = store.placeholder
        # A request's outcome is final this long after it.
        self.horizon = REACH + SLACK

    # -- reading the three tables by time ----------------------------------------

    def _between(self, table, columns, start, end, where="", params=()):
        """Rows recorded in [start, end), found by id (with SLACK for rows
        written slightly out of time order), in id order."""
        p = self.p
        lo = self.store.first_id(table, start - SLACK)
        hi = self.store.first_id(table, end + SLACK)
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
        if not unasked:
            rows = {k: v for k, v in rows.items() if not k[4].startswith(UNASKED)}
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

    def _start(self, target):
        """The rollup's first position, set once: the funnel begins with the
        download log, at the first request that can have led to its first
        download; with no download yet, at `target`.  Requests from before
        (months of them, when the log is new) are never worked through."""
        row = self.store.read("SELECT recorded_at FROM downloads ORDER BY id LIMIT 1")
        first = row[0][0] - REACH - SLACK if row else target
        first = int(first // HOUR * HOUR)
        with self.store.transaction(patient=True) as conn:
            self.store.start_position(conn, FINAL, first)
        return self.rolled_up_to()

    def catch_up(self, now=None, budget=None, refresh=None):
        """Roll up the requests whose outcome is final, a CHUNK at a time, for
        at most `budget` seconds, then refresh the recent rows if they are
        older than `refresh` seconds (default STALE); returns the time
        rolled up to."""
        s, p = self.store, self.p
        now = s.now() if now is None else now
        budget = self.BUDGET if budget is None else budget
        # Whole hours only: the recent rows are per hour, and those of the
        # hours the rollup has not reached stay true when it moves.
        target = int((now - self.horizon) // HOUR * HOUR)
        began = time.monotonic()
        upto = self.rolled_up_to()
        with s.store_errors():
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
        """Keys past the dashboard's KEYS_PER_DAY most asked of a day become
        "", as in its rollup, so that made-up keys cannot grow the tables
        without bound: in the hourly table, and in the daily one if given,
        for the days `rows` touched."""
        p, keys = self.p, DIMS[1:]
        for day in sorted({hour // 24 for hour, *_ in rows}):
            self.dash.fold_keys(conn, hourly, ("hour",) + keys, COUNTS, "asked",
                                f"hour >= {p} AND hour < {p}", (day * 24, day * 24 + 24))
            if daily:
                self.dash.fold_keys(conn, daily, ("day",) + keys, COUNTS, "asked",
                                    f"day = {p}", (day,))

    def _add(self, conn, table, unit, rows):
        p = self.p
        keys = (unit,) + DIMS[1:]
        update = ", ".join(f"{c} = {table}.{c} + excluded.{c}" for c in COUNTS)
        conn.cursor().executemany(
            f"INSERT INTO {table} ({', '.join(keys + COUNTS)}) "
            f"VALUES ({', '.join([p] * len(keys + COUNTS))}) "
            f"ON CONFLICT ({', '.join(keys)}) DO UPDATE SET {update}",
            [(*dims, *counts) for dims, counts in rows.items()])

    # -- the view's question ---------------------------------------------------------

    def counts(self, period, filters, now=None):
        """{(day, key, version, rule, answer): [counts in COUNTS order]} of the
        requests in the period's hours (a period that starts within an hour
        starts at that hour), narrowed by the dashboard's filters: the rollup
        (whole days from funnel_daily, the rest from funnel_hourly), the
        recent rows and the requests since, all in one snapshot."""
        p = self.p
        first, last = int(period.start // HOUR), int(-(-period.end // HOUR))
        fsql, fparams = self.dash._filter(filters)
        dims = ", ".join(DIMS[1:])
        parts, params = [], []

        def part(table, unit, lo, hi, day):
            if lo < hi:
                parts.append(f"SELECT {day} AS day, {dims}, {', '.join(COUNTS)} FROM {table} "
                             f"WHERE {unit} >= {p} AND {unit} < {p}{fsql}")
                params.extend([lo, hi, *fparams])
        out = {}
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
            for row in self.store.read(
                    f"SELECT day, {dims}, {sums} FROM ({' UNION ALL '.join(parts)}) AS c "
                    f"GROUP BY day, {dims}", params):
                out[tuple(row[:len(DIMS)])] = list(row[len(DIMS):])
            # Requests since the recent rows were made; their downloads of
            # bytes that belong to no request are in the next refresh.  The
            # filters pick the requests reported, in the dashboard's SQL; the
            # joins still see every request.
            t0, t1 = max(recent, first * HOUR), min(period.end, last * HOUR)
            report = None
            if fsql and t0 < t1:
                key = self.dash._folded("bundle_key", "key")  # as `outcomes` folds it
                report = {row[0] for row in self._between(
                    "requests", "id", t0, t1, *self.dash._filter(filters, key))}
            tail = self.live(t0, t1, unasked=False, report=report)
            for (hour, *rest), counts in tail.items():
                row = out.setdefault((hour // 24, *rest), [0] * len(COUNTS))
                for j, n in enumerate(counts):
                    row[j] += n
        return out

