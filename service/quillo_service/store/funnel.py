"""The download funnel: from an instruction request to an installer on disk.

For each instruction request, what followed it:

- sent to download: the answer was GET:<installer address>;
- started: the same client asked nginx for that installer (the address's
  path) within DOWNLOAD_WINDOW seconds after the answer.  A download belongs
  to the most recent such answer before it began;
- completed: the byte ranges nginx sent for those downloads cover the whole
  file (bytes are counted by range, not by request), and the request that
  sent the last byte ended complete;
- resumed: completed with more than one request;
- failure reported: an error event of the same client and key within
  ERROR_WINDOW seconds after the request, or a crash event of the same
  client within CRASH_WINDOW; an event belongs to the most recent request
  before it (`join_failures`);
- no news: completed without a failure reported.

Bytes: what nginx sent for installers (200 and 206 answers), counted to the
request its download belongs to; bytes of downloads that belong to no
request are counted per file and hour.  Wasted bytes are those sent more than
once for one request (overlapping ranges).

These joins look forward in time, so a request's outcome is known only once
the longest window (and SLACK for the logs to be read) has passed.  The
rollup (`funnel_daily`, and `funnel_hourly` for the last KEEP_HOURS, for
periods that start within a day) holds the outcomes of the requests
recorded before the time in rollup_state "funnel", which stays
`Funnel.horizon` seconds (rounded to whole hours) behind the database's
clock.  The outcomes so far
of the requests after it are worked out in the background about once a
minute (fallback.Keeper) into `funnel_recent`, replaced whole each time, so
that no page has to work out hours of them; a page adds only the requests
since, worked out live (the same code), as the dashboard does with its own
rollup.  A download request that lasts longer than LONGEST is not followed.
Joins are done here in Python over time ranges of the three tables, read by
id (see Dashboard._first_id), so no table needs an index for them.
"""

import bisect
import time
from urllib.parse import unquote, urlsplit

from .dashboard import Dashboard

DOWNLOAD_WINDOW = 3600      # first download request after the answer
ERROR_WINDOW = 6 * 3600     # error event after the request
CRASH_WINDOW = 2 * 3600     # crash event after the request
SLACK = 600                 # logs read late, hosts' rows slightly out of order
LONGEST = 2 * 3600          # the longest download request that is followed
HOUR = 3600
DAY = 24 * HOUR
CHUNK = DAY                 # requests rolled up per transaction, in seconds
KEEP_HOURS = 72             # hourly rows kept: a 24-hour period needs the last 48
KEYS_PER_CHUNK = 1000       # keys of their own per chunk; the rest become ""
SERVED = (200, 206)         # answers that carry installer bytes
UNASKED = "download:"       # answer of bytes that belong to no request, + path

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


def join_failures(requests, events, error_window=ERROR_WINDOW, crash_window=CRASH_WINDOW):
    """{request id: event id} of the first failure joined to each request.

    requests: (id, time, client, key, ...) in time order; events: (id, time,
    client, kind, key).  An error event belongs to the most recent request
    of the same client and key at most error_window seconds before it; a
    crash event (which carries no key) to the most recent request of the
    same client at most crash_window seconds before it.
    """
    by_key, by_client = {}, {}
    reporting = {e[2] for e in events}  # events are few: index only their clients
    for r in requests:
        if r[2] not in reporting:
            continue
        by_key.setdefault((r[2], r[3]), ([], []))
        by_client.setdefault(r[2], ([], []))
        for table in (by_key[(r[2], r[3])], by_client[r[2]]):
            table[0].append(r[1])
            table[1].append(r[0])
    joined = {}
    for event_id, at, client, kind, key in sorted(events, key=lambda e: (e[1], e[0])):
        if kind == "error":
            found, window = by_key.get((client, key)), error_window
        else:
            found, window = by_client.get(client), crash_window
        if not found:
            continue
        i = bisect.bisect_right(found[0], at) - 1
        if i >= 0 and at - found[0][i] <= window:
            joined.setdefault(found[1][i], event_id)
    return joined


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


def outcomes(requests, downloads, events, start, end, windows=None):
    """The funnel rows {(hour, key, version, rule, answer): [counts in COUNTS
    order]} of the requests recorded in [start, end), and of the bytes of
    downloads recorded then that belong to no request.

    requests, downloads, events: rows as read by Funnel._read (requests in
    time order, from early enough and late enough for the joins).
    """
    dw, ew, cw = windows or (DOWNLOAD_WINDOW, ERROR_WINDOW, CRASH_WINDOW)
    asks = {}  # (client, path) -> ([times], [index in requests])
    for i, r in enumerate(requests):
        path = installer_path(r[5])
        if path is not None:
            entry = asks.setdefault((r[2], path), ([], []))
            entry[0].append(r[1])
            entry[1].append(i)
    belongs, unasked = {}, []
    for at, client, path, status, first, sent, size, seconds, complete in downloads:
        if status not in SERVED:
            continue
        began = at - seconds
        entry = asks.get((client, path))
        i = bisect.bisect_right(entry[0], began) - 1 if entry else -1
        if i >= 0 and began - entry[0][i] <= dw:
            belongs.setdefault(entry[1][i], []).append(
                (began, at, first, sent, size, complete))
        elif start <= at < end:
            unasked.append((at, path, sent))
    failed = join_failures(requests, events, ew, cw)
    rows = {}
    for i, r in enumerate(requests):
        if not start <= r[1] < end:
            continue
        key = "" if ",key," in f",{r[7]}," else (r[3] or "")
        row = rows.setdefault((int(r[1] // HOUR), key, r[4] or "", r[6], r[5]),
                              [0] * len(COUNTS))
        row[0] += 1
        if r[5].startswith("GET:"):
            row[1] += 1
        got = belongs.get(i)
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


def fold_keys(rows, keep=KEYS_PER_CHUNK):
    """Keys past the `keep` most asked become "", so that made-up keys
    cannot grow the rollup without bound."""
    asked = {}
    for (hour, key, *_), counts in rows.items():
        if key:
            asked[key] = asked.get(key, 0) + counts[0]
    if len(asked) <= keep:
        return rows
    kept = set(sorted(asked, key=lambda k: (-asked[k], k))[:keep])
    out = {}
    for (hour, key, *rest), counts in rows.items():
        row = out.setdefault((hour, key if key in kept else "", *rest), [0] * len(COUNTS))
        for j, n in enumerate(counts):
            row[j] += n
    return out


class Funnel:
    """The funnel's counts over one store: rollup, recent rows and live tail."""

    BUDGET = 3.0      # seconds a page may spend catching the rollup up
    REFRESH = 60.0    # seconds between refreshes of the recent rows
    STALE = 300.0     # a page refreshes recent rows older than this itself

    def __init__(self, store, windows=None):
        self.store = store
        self.dash = Dashboard(store)
        self.p = store.placeholder
        self.windows = windows or (DOWNLOAD_WINDOW, ERROR_WINDOW, CRASH_WINDOW)
        # A request's outcome is final this long after it.
        self.horizon = max(self.windows[0] + LONGEST, *self.windows[1:]) + SLACK

    # -- reading the three tables by time ----------------------------------------

    def _between(self, table, columns, start, end, where=""):
        """Rows recorded in [start, end), found by id (with SLACK for rows
        written slightly out of time order), in id order."""
        p = self.p
        lo = self.dash._first_id(table, start - SLACK)
        hi = self.dash._first_id(table, end + SLACK)
        return self.dash._all(
            f"SELECT {columns} FROM {table} WHERE id >= {p} AND id < {p} "
            f"AND recorded_at >= {p} AND recorded_at < {p}{where} ORDER BY id",
            (lo, hi, start, end))

    def _read(self, start, end, unasked=True):
        """What the outcomes of the requests in [start, end) depend on.
        Without `unasked`, the requests before `start` are not read, and so
        the bytes that belong to no request cannot be told apart."""
        reach = end + max(self.windows)
        first = start - self.windows[0] - LONGEST if unasked else start
        requests = sorted(self._between("requests", _REQUEST, first, reach),
                          key=lambda r: (r[1], r[0]))
        downloads = self._between("downloads", _DOWNLOAD, start, end + self.horizon)
        events = self._between("events", _EVENT, start, reach)
        return requests, downloads, events

    def live(self, start, end, unasked=True):
        """Funnel rows of [start, end) worked out from the records."""
        if end <= start:
            return {}
        rows = outcomes(*self._read(start, end, unasked), start, end, self.windows)
        if not unasked:
            rows = {k: v for k, v in rows.items() if not k[4].startswith(UNASKED)}
        return rows

    def failures(self, start, end):
        """{request id: event id} for the requests in [start, end) (join_failures)."""
        requests = self._between("requests", _REQUEST, start, end + max(self.windows[1:]))
        requests.sort(key=lambda r: (r[1], r[0]))
        events = self._between("events", _EVENT, start, end + max(self.windows[1:]))
        joined = join_failures(requests, events, *self.windows[1:])
        inside = {r[0] for r in requests if start <= r[1] < end}
        return {r: e for r, e in joined.items() if r in inside}

    # -- the rollup and the recent rows ---------------------------------------------

    def _state(self, name):
        rows = self.dash._all(f"SELECT last_id FROM rollup_state WHERE name = {self.p}", (name,))
        return rows[0][0] if rows else None

    def rolled_up_to(self):
        """Requests recorded before this time are in the rollup; None when
        nothing was rolled up yet."""
        return self._state(FINAL)

    def _start(self, target):
        """The rollup's first position, set once: the funnel begins with the
        download log, at the first request that can have led to its first
        download; with no download yet, at `target`.  Requests from before
        (months of them, when the log is new) are never worked through."""
        row = self.dash._all("SELECT recorded_at FROM downloads ORDER BY id LIMIT 1")
        first = row[0][0] - self.windows[0] - LONGEST - SLACK if row else target
        first = int(first // HOUR * HOUR)
        with self.store._transaction(patient=True) as conn:
            conn.execute(f"INSERT INTO rollup_state (name, last_id) VALUES ({self.p}, {self.p}) "
                         "ON CONFLICT (name) DO NOTHING", (FINAL, first))
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
        with s._errors_as_store_error():
            while time.monotonic() - began < budget:
                if upto is None:
                    upto = self._start(target)
                if upto >= target:
                    break
                # Read outside the write transaction: readers never hold up
                # the requests.  The chunk is written only if no one else
                # rolled it up meanwhile.
                end = min(upto + CHUNK, target)
                rows = fold_keys(self.live(upto, end))
                with s._transaction(patient=True) as conn:
                    s._lock_rollup(conn)
                    row = conn.execute(f"SELECT last_id FROM rollup_state WHERE name = {p}",
                                       (FINAL,)).fetchone()
                    if row is not None and row[0] != upto:
                        upto = row[0]  # another worker rolled this chunk up
                        continue
                    self._add(conn, "funnel_hourly", "hour", rows)
                    self._add(conn, "funnel_daily", "day", by_day(rows))
                    self._set(conn, FINAL, end)
                    # funnel_recent holds the requests in [FINAL, RECENT).
                    conn.execute(f"DELETE FROM funnel_recent WHERE hour < {p}", (end // HOUR,))
                    conn.execute(f"DELETE FROM funnel_hourly WHERE hour < {p}",
                                 (end // HOUR - KEEP_HOURS,))
                upto = end
            if upto is not None and upto >= target:
                recent = self._state(RECENT)
                if recent is None or recent <= upto or now - recent >= (
                        self.STALE if refresh is None else refresh):
                    self._refresh(upto, now)
        return upto

    def _refresh(self, upto, now):
        """Replace the recent rows with the outcomes so far of the requests
        in [upto, now): the work of a page's live tail, done once for all."""
        s = self.store
        rows = fold_keys(self.live(upto, now))
        with s._transaction(patient=True) as conn:
            s._lock_rollup(conn)
            row = conn.execute(f"SELECT last_id FROM rollup_state WHERE name = {self.p}",
                               (FINAL,)).fetchone()
            if row is None or row[0] != upto:
                return  # the rollup moved meanwhile; the next refresh sees it
            conn.execute("DELETE FROM funnel_recent")
            self._add(conn, "funnel_recent", "hour", rows)
            self._set(conn, RECENT, int(now))

    def _set(self, conn, name, value):
        p = self.p
        conn.execute(f"INSERT INTO rollup_state (name, last_id) VALUES ({p}, {p}) "
                     "ON CONFLICT (name) DO UPDATE SET last_id = excluded.last_id",
                     (name, value))

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
            recent = max(self._state(RECENT) or 0, final * HOUR)
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
            for row in self.dash._all(
                    f"SELECT day, {dims}, {sums} FROM ({' UNION ALL '.join(parts)}) AS c "
                    f"GROUP BY day, {dims}", params):
                out[tuple(row[:len(DIMS)])] = list(row[len(DIMS):])
            # Requests since the recent rows were made; their downloads of
            # bytes that belong to no request are in the next refresh.
            tail = self.live(max(recent, first * HOUR), min(period.end, last * HOUR),
                             unasked=False)
            for (hour, *rest), counts in tail.items():
                if _wanted(rest, filters):
                    row = out.setdefault((hour // 24, *rest), [0] * len(COUNTS))
                    for j, n in enumerate(counts):
                        row[j] += n
        return out


def _wanted(dims, filters):
    """The dashboard's filters, for rows worked out live: dims (key,
    version, rule, answer)."""
    if filters is None:
        return True
    key, version = dims[0], dims[1]
    if filters.key and not (key.startswith(filters.key) if filters.key_prefix
                            else key == filters.key):
        return False
    return not filters.version or version == filters.version
