"""Which request a failure or a download belongs to, for everyone who asks.

Error and crash reports and installer downloads carry no machine id, so
each is laid at the instruction request that most likely led to it.  The
guard (rollouts/counting.py), the download funnel (funnel/) and the console's
explanations (the console's views) all go by these rules, and only by them:

- Whose.  An error belongs to a request of the same client and the same
  key.  An error without a key (missing or empty) belongs to no request:
  nothing then says which launcher sent it, and two keyless records of one
  address are no evidence of one run.  A crash report carries no key, so it
  belongs to a request of the same client whatever its key.  A download
  belongs to a request of the same client whose answer named that
  installer.
- How long after.  An error up to ERROR_WINDOW seconds after its request, a
  crash up to CRASH_WINDOW, a download that started up to DOWNLOAD_WINDOW
  after (both ends included).
- When a download happened.  nginx logs a download when the transfer ends
  ($msec), so a download is placed by when it started: $msec less
  $request_time (`download_start`).  A slow download is then its request's
  however long it took, up to LONGEST; a longer one belongs to no request,
  so that every reader, however far back it reads, agrees about it.
- Which one.  Of the requests that qualify, the latest stamped at or before
  the record: latest by recorded time, ties broken by the higher id.  Ids
  are not in time order: nginx's fallback answers and spooled requests keep
  the time they were answered and get their ids later.
- Clocks.  Requests are stamped by the database's clock, error and crash
  reports by the web host's, downloads by nginx's host, and nginx writes
  its times truncated to the millisecond.  The clocks may differ by
  CLOCK_SLACK seconds: when no request qualifies at or before the record,
  the latest one stamped at most CLOCK_SLACK after it counts.  A download
  logged in the same millisecond as its answer, or a little before it by
  another host's clock, is so still that answer's.

Pure: plain values in, plain values out; the callers read the rows.  A
reader must hold every request that can qualify: for a record at time t,
those stamped in [t - window, t + CLOCK_SLACK].
"""

import bisect

DOWNLOAD_WINDOW = 3600      # a download started this long after the answer is still its
ERROR_WINDOW = 6 * 3600     # an error report this long after the request
CRASH_WINDOW = 2 * 3600     # a crash report this long after the request
LONGEST = 2 * 3600          # a download lasting longer belongs to no request
CLOCK_SLACK = 2.0           # seconds between the clocks that stamp the records
# Every real request of a record was answered before the record was sent, so
# it is in the store (within LAG) when the record comes.  A record stamped
# more than AHEAD past the database's clock comes from a host whose clock
# runs fast, and its time tells nothing of when it came: it is linked with
# the requests there are once LAG has passed since it was first seen, not
# when its time comes; one stamped up to AHEAD ahead waits for its time.
AHEAD = 60.0
# A failure's request is stamped at most this long before it (a reader of
# the requests a failure may belong to looks this far back, and CLOCK_SLACK on).
FAILURE_LOOKBACK = max(ERROR_WINDOW, CRASH_WINDOW)
# A request owns the records stamped (a download: started) up to OWNS after
# it and CLOCK_SLACK before it: the records to look at again when a request
# comes in late.
OWNS = max(FAILURE_LOOKBACK, DOWNLOAD_WINDOW)
# A record's request is stamped at most REACH before the record's own time
# (a download's: when nginx logged its end) and CLOCK_SLACK after it: the
# requests to keep at hand for as long as such a record may still come.
REACH = max(DOWNLOAD_WINDOW + LONGEST, FAILURE_LOOKBACK) + CLOCK_SLACK


def download_start(logged_at, seconds):
    """When a download started, from nginx's $msec and $request_time."""
    return logged_at - seconds


class Requests:
    """Requests grouped by what a record must share with them (a client, a
    client and key, a client and installer), each group in (time, id) order,
    to find the request a record belongs to."""

    __slots__ = ("_groups",)

    def __init__(self, rows):
        """rows: (group, recorded_at, request id)."""
        groups = {}
        for group, at, rid in rows:
            groups.setdefault(group, []).append((at, rid))
        self._groups = {}
        for group, found in groups.items():
            found.sort()
            self._groups[group] = ([f[0] for f in found], [f[1] for f in found])

    def find(self, group, at, window):
        """The id of the request of `group` that a record at `at` belongs to,
        or None (see the rules above)."""
        found = self._groups.get(group)
        if found is None:
            return None
        times, ids = found
        i = bisect.bisect_right(times, at) - 1
        if i >= 0 and at - times[i] <= window:
            return ids[i]
        j = bisect.bisect_right(times, at + CLOCK_SLACK) - 1
        return ids[j] if j > i else None


def failures(requests, events):
    """{event id: request id} of the events that belong to a request.

    requests: (id, recorded_at, client, key, ...); events: (id, recorded_at,
    client, kind, key, ...), kind "error" or "crash".
    """
    events = list(events)
    clients = {e[2] for e in events}  # events are few: index only their clients
    mine = [r for r in requests if r[2] in clients]
    by_key = Requests(((r[2], r[3]), r[1], r[0]) for r in mine if r[3])
    by_client = Requests((r[2], r[1], r[0]) for r in mine)
    out = {}
    for event_id, at, client, kind, key, *_ in events:
        if kind == "crash":
            found = by_client.find(client, at, CRASH_WINDOW)
        elif key:
            found = by_key.find((client, key), at, ERROR_WINDOW)
        else:
            found = None
        if found is not None:
            out[event_id] = found
    return out


def first_failures(requests, events):
    """{request id: event id} of the first event (by time, then id) that
    belongs to each request that has one."""
    events = list(events)
    joined = failures(requests, events)
    out = {}
    for event_id, at, *_ in sorted(events, key=lambda e: (e[1], e[0])):
        if event_id in joined:
            out.setdefault(joined[event_id], event_id)
    return out


def downloads(asks, started):
    """[request id or None] of each download, in the order given.

    asks: (request id, recorded_at, client, installer path) of the requests
    whose answer named an installer; started: (start time, seconds, client,
    path) of the downloads, start as `download_start` gives it.
    """
    index = Requests(((c, p), at, rid) for rid, at, c, p in asks)
    find = index.find
    return [None if seconds > LONGEST else find((client, path), at, DOWNLOAD_WINDOW)
            for at, seconds, client, path in started]
