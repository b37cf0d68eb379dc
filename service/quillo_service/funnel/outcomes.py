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

Every failure rate the console shows is these rows' failed over asked
(requests a failure report belongs to, over requests): both come from one
row, so no rate can pass 100 %.  Failure reports that belong to no request
are counted per hour (of the report) in rows of their own, apart from any
request's, so that they can be shown and never enter a rate.

Bytes: what nginx sent for installers (200 and 206 answers), counted to the
request its download belongs to; bytes of downloads that belong to no
request are counted per file and hour (of nginx's log line).  Wasted bytes
are those sent more than once for one request (overlapping ranges).

This module is the funnel's pure part: what became of each request, worked
out from rows already read (no database here).  Reading them, the rollup
and the console's question are funnel/queries.py's.
"""

from typing import NamedTuple
from urllib.parse import unquote, urlsplit

from .. import joins

HOUR = 3600
SERVED = (200, 206)         # answers that carry installer bytes
# Rows that count no requests carry a pseudo-answer (no instruction starts
# so: answers are GET: or GOTO:), an empty rule, and their counts in one column:
UNASKED = "download:"       # bytes of downloads that belong to no request (+ path)
UNLAID = "report:"          # failure reports that belong to no request (+ kind), in failed

COUNTS = ("asked", "sent_to_download", "started", "completed", "resumed", "failed",
          "no_news", "bytes_sent", "bytes_wasted", "completed_bytes", "completed_seconds")


_PATHS = {}  # answer -> path: a handful of channel addresses


def of_requests(answer):
    """Whether a funnel row of this answer counts requests (and not the bytes
    or the failure reports that belong to none): every reader of the rows
    asks this before it counts requests, stages or rates."""
    return not answer.startswith((UNASKED, UNLAID))


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


# The rows `outcomes` works on, as FunnelCounts reads them (funnel/queries.py
# selects these columns, in this order).
class Request(NamedTuple):
    id: int
    recorded_at: float
    client: str
    bundle_key: str
    version: str
    answer: str
    rule: str
    malformed: str


class Download(NamedTuple):
    recorded_at: float   # when nginx logged the end of it
    client: str
    path: str
    status: int
    first_byte: int
    sent: int
    size: int
    seconds: float
    complete: int


class Event(NamedTuple):
    id: int
    recorded_at: float
    client: str
    kind: str
    bundle_key: str
    version: str
    malformed: str


# Where each count sits in a funnel row (COUNTS order).
(ASKED, SENT_TO_DOWNLOAD, STARTED, COMPLETED, RESUMED, FAILED, NO_NEWS, BYTES_SENT,
 BYTES_WASTED, COMPLETED_BYTES, COMPLETED_SECONDS) = range(len(COUNTS))


def _owners(requests, downloads, start, end):
    """({request id: [(start time, end time, first byte, sent, size,
    complete)] of its downloads]}, [(time, path, sent)] of the downloads
    logged in [start, end) that belong to no request)."""
    asks = []
    for rid, at, client, _, _, answer, _, _ in requests:
        path = installer_path(answer)
        if path is not None:
            asks.append((rid, at, client, path))
    served = [d for d in downloads if d[3] in SERVED]  # Download.status
    owners = joins.downloads(asks, [(joins.download_start(at, seconds), seconds, client, path)
                                    for at, client, path, _, _, _, _, seconds, _ in served])
    belongs, unasked = {}, []
    for (at, client, path, status, first, sent, size, seconds, complete), owner in zip(
            served, owners):
        if owner is not None:
            belongs.setdefault(owner, []).append(
                (joins.download_start(at, seconds), at, first, sent, size, complete))
        elif start <= at < end:
            unasked.append((at, path, sent))
    return belongs, unasked


def _count(row, answer, got, failed):
    """Add one request to its funnel row: its answer, its downloads `got`
    (or None) and whether a failure belongs to it."""
    row[ASKED] += 1
    if answer.startswith("GET:"):
        row[SENT_TO_DOWNLOAD] += 1
    if got:
        started, completed, resumed, sent, wasted, size, seconds = _outcome(got)
        row[STARTED] += started
        row[COMPLETED] += completed
        row[RESUMED] += resumed
        row[BYTES_SENT] += sent
        row[BYTES_WASTED] += wasted
        row[COMPLETED_BYTES] += size
        row[COMPLETED_SECONDS] += seconds
        if completed and not failed:
            row[NO_NEWS] += 1
    if failed:
        row[FAILED] += 1


def _unlaid_row(hour, kind, key, version, malformed):
    """The row of a failure report that belongs to no request: under the
    report's own key when a launcher can have sent it (folded to "" as a
    request's is) and its version; a crash report names neither."""
    if kind == "crash":
        key = version = ""
    else:
        key = "" if ",key," in f",{malformed}," else (key or "")
    return (hour, key, version or "", "", UNLAID + kind)


def outcomes(requests, downloads, events, start, end, report=None):
    """The funnel rows {(hour, key, version, rule, answer): [counts in COUNTS
    order]} of the requests recorded in [start, end) (only those whose ids
    are in `report`, when given), of the bytes of downloads logged then
    that belong to no request, and of the failure reports recorded then
    that belong to no request.

    requests, downloads, events: rows of Request, Download and Event
    (from early enough and late enough for the joins).
    """
    belongs, unasked = _owners(requests, downloads, start, end)
    laid = joins.failures(requests, events)
    failed = set(laid.values())
    rows = {}
    for rid, at, _, key, version, answer, rule, malformed in requests:
        if not start <= at < end or (report is not None and rid not in report):
            continue
        key = "" if ",key," in f",{malformed}," else (key or "")
        row = rows.setdefault((int(at // HOUR), key, version or "", rule, answer),
                              [0] * len(COUNTS))
        _count(row, answer, belongs.get(rid), rid in failed)
    for at, path, sent in unasked:
        row = rows.setdefault((int(at // HOUR), "", "", "", UNASKED + path),
                              [0] * len(COUNTS))
        row[BYTES_SENT] += sent
    for event_id, at, _, kind, key, version, malformed in events:
        if start <= at < end and event_id not in laid:
            row = rows.setdefault(_unlaid_row(int(at // HOUR), kind, key, version, malformed),
                                  [0] * len(COUNTS))
            row[FAILED] += 1
    return rows


def by_day(rows):
    """Hourly funnel rows summed per day."""
    out = {}
    for (hour, *rest), counts in rows.items():
        row = out.setdefault((hour // 24, *rest), [0] * len(COUNTS))
        for j, n in enumerate(counts):
            row[j] += n
    return out
