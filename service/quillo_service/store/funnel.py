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
request are counted per file and day.  Wasted bytes are those sent more than
once for one request (overlapping ranges).

These joins look forward in time, so a request's outcome is known only once
the longest window (and SLACK for the logs to be read) has passed.  The
rollup `funnel_daily` holds the outcomes of the requests recorded before the
time in rollup_state "funnel", which stays `Funnel.horizon` seconds behind
the database's clock; the view adds the requests after it, worked out live
(the same code), as the dashboard does with its own rollup.  A download
request that lasts longer than LONGEST is not followed.  Joins are done here in Python over time ranges of the three
tables, read by id (see Dashboard._first_id), so no table needs an index
for them.
"""

import bisect
import time
from urllib.parse import unquote, urlsplit

from .dashboard import DAY, Dashboard

DOWNLOAD_WINDOW = 3600      # first download request after the answer
ERROR_WINDOW = 6 * 3600     # error event after the request
CRASH_WINDOW = 2 * 3600     # crash event after the request
SLACK = 600                 # logs read late, hosts' rows slightly out of order
LONGEST = 2 * 3600          # the longest download request that is followed
CHUNK = DAY                 # requests rolled up per transaction, in seconds
KEYS_PER_CHUNK = 1000       # keys of their own per chunk; the rest become ""
SERVED = (200, 206)         # answers that carry installer bytes
UNASKED = "download:"       # answer of bytes that belong to no request, + path

COUNTS = ("asked", "sent_to_download", "started", "completed", "resumed", "failed",
          "no_news", "bytes_sent", "bytes_wasted", "completed_bytes", "completed_seconds")
DIMS = ("day", "bundle_key", "version", "rule", "answer")

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
    for r in requests:
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
    """The funnel rows {(day, key, version, rule, answer): [counts in COUNTS
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
        row = rows.setdefault((int(r[1] // DAY), key, r[4] or "", r[6], r[5]),
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
        row = rows.setdefault((int(at // DAY), "", "", "", UNASKED + path), [0] * len(COUNTS))
        row[7] += sent
    return rows


def fold_keys(rows, keep=KEYS_PER_CHUNK):
    """Keys past the `keep` most asked become "", so that made-up keys
    cannot grow the rollup without bound."""
    asked = {}
    for (day, key, *_), counts in rows.items():
        if key:
            asked[key] = asked.get(key, 0) + counts[0]
    if len(asked) <= keep:
        return rows
    kept = set(sorted(asked, key=lambda k: (-asked[k], k))[:keep])
    out = {}
    for (day, key, *rest), counts in rows.items():
        row = out.setdefault((day, key if key in kept else "", *rest), [0] * len(COUNTS))
        for j, n in enumerate(counts):
            row[j] += n
    return out


class Funnel:
    """The funnel's counts over one store: rollup, live tail and their sum."""

    BUDGET = 3.0  # seconds a page may spend catching the rollup up

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

    def _read(self, start, end):
        """What the outcomes of the requests in [start, end) depend on."""
        # Requests from before `start`: a download that belongs to one of
        # them is not one that belongs to no request.
        reach = end + max(self.windows)
        requests = sorted(self._between("requests", _REQUEST,
                                        start - self.windows[0] - LONGEST, reach),
                          key=lambda r: (r[1], r[0]))
        downloads = self._between("downloads", _DOWNLOAD, start, end + self.horizon)
        events = self._between("events", _EVENT, start, reach)
        return requests, downloads, events

    def live(self, start, end):
        """Funnel rows of [start, end) worked out from the records."""
        if end <= start:
            return {}
        return outcomes(*self._read(start, end), start, end, self.windows)

    def failures(self, start, end):
        """{request id: event id} for the requests in [start, end) (join_failures)."""
        requests = self._between("requests", _REQUEST, start, end + max(self.windows[1:]))
        requests.sort(key=lambda r: (r[1], r[0]))
        events = self._between("events", _EVENT, start, end + max(self.windows[1:]))
        joined = join_failures(requests, events, *self.windows[1:])
        inside = {r[0] for r in requests if start <= r[1] < end}
        return {r: e for r, e in joined.items() if r in inside}

    # -- the rollup ----------------------------------------------------------------

    def rolled_up_to(self):
        """Requests recorded before this time are in funnel_daily; None when
        nothing was rolled up yet."""
        rows = self.dash._all(f"SELECT last_id FROM rollup_state WHERE name = {self.p}",
                              ("funnel",))
        return rows[0][0] if rows else None

    def _beginning(self):
        """Where a first rollup starts: the day of the oldest request or download."""
        times = []
        for table in ("requests", "downloads"):
            row = self.dash._all(f"SELECT recorded_at FROM {table} ORDER BY id LIMIT 1")
            if row:
                times.append(row[0][0])
        return int(min(times) // DAY) * DAY if times else None

    def catch_up(self, now=None, budget=None):
        """Roll up the requests whose outcome is final, a CHUNK at a time, for
        at most `budget` seconds; returns the time rolled up to."""
        s, p = self.store, self.p
        now = s.now() if now is None else now
        budget = self.BUDGET if budget is None else budget
        target = int(now - self.horizon)
        began = time.monotonic()
        upto = self.rolled_up_to()
        with s._errors_as_store_error():
            while time.monotonic() - began < budget:
                if upto is None:
                    upto = self._beginning()
                    if upto is None:
                        return None
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
                                       ("funnel",)).fetchone()
                    if row is not None and row[0] != upto:
                        upto = row[0]  # another worker rolled this chunk up
                        continue
                    self._add(conn, rows)
                    conn.execute(
                        f"INSERT INTO rollup_state (name, last_id) VALUES ({p}, {p}) "
                        "ON CONFLICT (name) DO UPDATE SET last_id = excluded.last_id",
                        ("funnel", end))
                upto = end
        return upto

    def _add(self, conn, rows):
        p = self.p
        names = ", ".join(DIMS + COUNTS)
        update = ", ".join(f"{c} = funnel_daily.{c} + excluded.{c}" for c in COUNTS)
        conn.cursor().executemany(
            f"INSERT INTO funnel_daily ({names}) VALUES ({', '.join([p] * len(DIMS + COUNTS))}) "
            f"ON CONFLICT ({', '.join(DIMS)}) DO UPDATE SET {update}",
            [(*dims, *counts) for dims, counts in rows.items()])

    # -- the view's question ---------------------------------------------------------

    def counts(self, period, filters, now=None):
        """{(day, key, version, rule, answer): [counts in COUNTS order]} of the
        period, narrowed by the dashboard's filters; rollup plus live tail,
        read in one snapshot."""
        now = time.time() if now is None else now
        p = self.p
        out = {}
        with self.store.snapshot():
            upto = self.rolled_up_to() or 0
            days = period.days
            whole = [d for d in days if d * DAY >= period.start
                     and ((d + 1) * DAY <= period.end or period.end >= now - 1)]
            spans = []
            if whole:
                a, b = whole[0], whole[-1]
                if upto > a * DAY:
                    fsql, fparams = self.dash._filter(filters)
                    # PostgreSQL's SUM of a BIGINT is a NUMERIC (Decimal).
                    sums = ", ".join(
                        f"CAST(SUM({c}) AS "
                        f"{self.store.float_type if c == 'completed_seconds' else 'BIGINT'})"
                        for c in COUNTS)
                    for row in self.dash._all(
                            f"SELECT {', '.join(DIMS)}, {sums} FROM funnel_daily "
                            f"WHERE day >= {p} AND day <= {p}{fsql} "
                            f"GROUP BY {', '.join(DIMS)}", [a, b, *fparams]):
                        out[tuple(row[:len(DIMS)])] = list(row[len(DIMS):])
                spans.append((max(upto, a * DAY), min(period.end, (b + 1) * DAY)))
            for d in days:
                if d not in whole:
                    spans.append((max(period.start, d * DAY), min(period.end, (d + 1) * DAY)))
            for start, end in spans:
                for dims, counts in self.live(start, end).items():
                    if _wanted(dims, filters):
                        row = out.setdefault(dims, [0] * len(COUNTS))
                        for j, n in enumerate(counts):
                            row[j] += n
        return out


def _wanted(dims, filters):
    """The dashboard's filters, for rows worked out live."""
    if filters is None:
        return True
    key, version = dims[1], dims[2]
    if filters.key and not (key.startswith(filters.key) if filters.key_prefix
                            else key == filters.key):
        return False
    return not filters.version or version == filters.version
