"""Each error or crash report and each download line linked once to the
request it belongs to, as it arrives.

Which request that is, is joins.py's to say; this module decides when a
record is linked and keeps what follows from it:

- Requests are taken in by id (position TAKEN), LAG behind the database's
  clock, in one pass for every user: each is kept in `rollout_recent` for
  as long as a record may still be linked to it (joins.REACH, and
  READ_LATE for lines read late), with the installer its answer named and its row of the
  funnel; its funnel row counts it asked (and sent to download), and the
  guard counts its arms (rollouts/queries.py).  All of it in SQL: a pass
  carries no request back to Python but the few in an arm or late.
- Records are linked in id order after their position (LINKED), each once
  every request up to its time and CLOCK_SLACK after is taken in: only
  those stamped at most min(now - LAG, TAKEN_TO) - CLOCK_SLACK.  A record
  stamped more than joins.AHEAD ahead of the database's clock (a fast
  clock) counts as stamped when it was first seen (SEEN): it is linked
  with the requests there are as soon as that time is past the same
  bound and the requests that were in the store then are taken in, so
  that it holds up the records after it for seconds only.
- A link is a row of `request_outcomes` (insert only): the record, its
  request (NULL: none), the client, its time.  In the same transaction the
  request's funnel row gets the difference its outcome made
  (funnel/outcomes.py says what it is, before and after), a record of no
  request counts in the rows of its own (reports, bytes), and a request
  that became failed is marked so in the guard's arms.
- A late request (a spool written out, nginx's fallback log read after an
  outage), stamped at most CLOCK_SLACK after records already linked
  (LINKED_TO) or past AHEAD, has the records of its window looked at
  again, in the pass that takes it in: those of its client stamped in
  [t - CLOCK_SLACK, t + joins.OWNS], found by index.  A record whose request changed is
  deleted and inserted again with the new one, and every count that
  depended on it moves from the old request to the new.

Every pass holds the rollup lock (Store.lock_rollup) and moves its position
by compare-and-set, so that hosts running it at once link each record once
and a late request never slips between a link and its relinking.
"""

import math
import time
from typing import NamedTuple

from . import joins
from .batches import insert_rows
from .db import retention
from .db.base import LAG, LAST_TIME, LATE
from .joins import AHEAD, CLOCK_SLACK, OWNS, REACH
from .key_rules import fold_keys, folded
from .funnel.outcomes import (BYTES_SENT, COUNTS, FAILED, HOUR, SERVED, UNASKED, _count,
                              _unlaid_row, by_day, installer_path)
from .rollouts import machines
from .rollouts.queries import REQUESTS as GUARDED, RolloutQueries

retention.register_records("request_outcomes")

BATCH = 20_000          # requests taken in per transaction
RECORD_BATCH = 5_000    # records linked per transaction
TAKEN = "links requests"             # rollup_state: the last request id taken in
TAKEN_TO = "links requests to"       # every request stamped before this is taken in
LINKED = {"event": "links events", "download": "links downloads"}  # the last ids linked
LINKED_TO = "links records to"       # no record stamped after this is linked yet
# When the first record in line was found stamped past AHEAD: the highest
# record id and request id then, the time (of the database's clock), and
# the stamp past which a record was then ahead: those of them stay fast as
# the clock comes nearer their stamps.
SEEN = {src: (f"links {src}s seen to", f"links {src}s seen requests", f"links {src}s seen at",
              f"links {src}s seen past") for src in ("event", "download")}
KEPT = "links kept from"             # rollout_recent holds the requests from this time
FROM = "funnel links from"           # the funnel counts what is stamped from this time
FOLDED = "funnel folded to"          # the funnel's keys are folded up to this time
OLD_ROLLUP = "funnel"                # an earlier version's rollup: final before this time
BEGAN = "funnel began"               # the funnel counts the requests from this time (the view)
# The failure reports that belong to no request are counted from this time
# on (rollups of earlier versions kept no rows of them).
UNLAID_FROM = "funnel unlaid reports"
SOURCES = ("event", "download")
DIMS_COLUMNS = ("bundle_key", "version", "rule", "answer")
LINK_COLUMNS = ("source", "record_id", "request_id", "client", "recorded_at", "ended_at",
                "first_byte", "sent", "size", "complete")
_EVENT = "id, recorded_at, client, kind, bundle_key, version, malformed"
_DOWNLOAD = "id, recorded_at, client, path, status, first_byte, sent, size, seconds, complete"
_RECENT = ("request_id, recorded_at, client, bundle_key, path, funnel_key, version, rule, "
           "answer")
_LINK = "id, " + ", ".join(LINK_COLUMNS)
# A download line read this long after the last record of its time was
# linked (nginx's log read after an outage) still finds its request: the
# requests are kept at hand that much longer than REACH.
READ_LATE = 2 * HOUR


class Candidate(NamedTuple):
    id: int
    at: float
    client: str
    key: str          # as recorded (the joins go by it)
    path: str         # the installer its answer named, or None
    fkey: str         # its funnel row: the key as folded, version, rule, answer
    version: str
    rule: str
    answer: str


class Link(NamedTuple):
    source: str
    record: int
    request: object     # its id, or None
    client: str
    at: float           # an event's time, a download's start
    ended: object       # a download's end (nginx's line); None for an event
    first: object
    sent: object
    size: object
    complete: object
    spare: object = None  # (funnel row, count index, amount, time) when of no request
    id: object = None     # its row in request_outcomes


def _fold(key, malformed):
    return "" if ",key," in f",{malformed}," else (key or "")


def _finite(*values):
    return all(isinstance(v, (int, float)) and math.isfinite(v) for v in values)


def links_of(source, records, candidates):
    """[Link] of records (rows of _EVENT or _DOWNLOAD) among `candidates`
    [Candidate], by joins.py's rules.  Downloads that carry no installer
    bytes, and records without a usable time, take no link."""
    out = []
    if source == "event":
        records = [r for r in records if _finite(r[1])]
        laid = joins.failures([(c.id, c.at, c.client, c.key) for c in candidates],
                              [r[:5] for r in records])
        for i, at, client, kind, key, version, malformed in records:
            out.append(Link("event", i, laid.get(i), client, at, None, None, None, None, None,
                            (_unlaid_row(int(at // HOUR), kind, key, version, malformed),
                             FAILED, 1, at)))
        return out
    records = [r for r in records if r[4] in SERVED and _finite(r[1], r[8])]
    owners = joins.downloads(
        [(c.id, c.at, c.client, c.path) for c in candidates if c.path is not None],
        [(joins.download_start(r[1], r[8]), r[8], r[2], r[3]) for r in records])
    for (i, at, client, path, _, first, sent, size, seconds, complete), owner in zip(
            records, owners):
        out.append(Link("download", i, owner, client, joins.download_start(at, seconds), at,
                        first, sent, size, complete,
                        ((int(at // HOUR), "", "", "", UNASKED + path), BYTES_SENT, sent, at)))
    return out


def _row(answer, links):
    """A request's funnel counts, given its links (funnel/outcomes.py)."""
    row = [0] * len(COUNTS)
    got = [(x.at, x.ended, x.first, x.sent, x.size, x.complete)
           for x in links if x.source == "download"]
    _count(row, answer, got or None, any(x.source == "event" for x in links))
    return row


def _add(rows, dims, counts):
    row = rows.setdefault(dims, [0] * len(COUNTS))
    for j, n in enumerate(counts):
        row[j] += n


def changes(removed, added, existing, candidates, since):
    """What taking the links `removed` away and adding `added` changes:
    ({funnel row: differences of its counts}, requests that became failed,
    requests no longer failed).  existing: {request id: [Link]} as they
    stand of every request the links name; candidates: {request id:
    Candidate}; since: the funnel counts what is stamped from this time."""
    gone = {(x.source, x.record) for x in removed}
    new = {}
    for x in added:
        if x.request is not None:
            new.setdefault(x.request, []).append(x)
    rows, on, off = {}, set(), set()
    for rid in {x.request for x in removed if x.request is not None} | set(new):
        before = existing.get(rid, [])
        after = [x for x in before if (x.source, x.record) not in gone] + new.get(rid, [])
        was = any(x.source == "event" for x in before)
        now = any(x.source == "event" for x in after)
        if now and not was:
            on.add(rid)
        elif was and not now:
            off.add(rid)
        c = candidates.get(rid)
        if c is None or not c.at >= since:
            continue  # counted by an earlier rollup, or no longer at hand
        _add(rows, (int(c.at // HOUR), c.fkey, c.version, c.rule, c.answer),
             [a - b for a, b in zip(_row(c.answer, after), _row(c.answer, before))])
    for sign, links in ((-1, removed), (1, added)):
        for x in links:
            if x.request is None and x.spare is not None and x.spare[3] >= since:
                dims, j, n, _ = x.spare
                counts = [0] * len(COUNTS)
                counts[j] = sign * n
                _add(rows, dims, counts)
    return {k: v for k, v in rows.items() if any(v)}, on, off


class Links:
    """The linking over one store."""

    def __init__(self, store):
        self.store = store
        self.p = store.placeholder

    # -- reading -------------------------------------------------------------------

    def _in(self, conn, sql, values, params=()):
        """Rows of `sql` (holding one "{in}" for a list of placeholders) for
        every part of `values`, 500 a statement."""
        values, out = sorted(set(values)), []
        for i in range(0, len(values), 500):
            part = values[i:i + 500]
            out += conn.execute(sql.format(inn=", ".join([self.p] * len(part))),
                                (*part, *params)).fetchall()
        return out

    def candidates(self, conn, clients, lo, hi):
        """{id: Candidate} kept in rollout_recent of these clients, stamped in [lo, hi]."""
        p = self.p
        return {r[0]: Candidate(*r) for r in self._in(
            conn, f"SELECT {_RECENT} FROM rollout_recent WHERE client IN ({{inn}}) "
            f"AND recorded_at >= {p} AND recorded_at <= {p}", clients, (lo, hi))}

    def existing(self, conn, request_ids):
        """{request id: [Link]} of what is linked to these requests."""
        out = {}
        for r in self._in(conn, f"SELECT {_LINK} FROM request_outcomes "
                          "WHERE request_id IN ({inn})", request_ids):
            out.setdefault(r[3], []).append(Link(*r[1:], id=r[0]))
        return out

    def _records(self, conn, source, where, params, limit=None):
        table, columns = ("events", _EVENT) if source == "event" else ("downloads", _DOWNLOAD)
        tail = f" LIMIT {int(limit)}" if limit else ""
        return conn.execute(f"SELECT {columns} FROM {table} WHERE {where} ORDER BY id{tail}",
                            params).fetchall()

    def _around(self, conn, source, records, extra=()):
        """The candidates of `records`, and of `extra` ones not kept yet."""
        times = [r[1] for r in records if _finite(r[1])]
        if not times:
            return {}
        clients = {r[2] for r in records}
        lo, hi = min(times) - REACH, max(times) + CLOCK_SLACK
        found = self.candidates(conn, clients, lo, hi)
        found.update((c.id, c) for c in extra if c.client in clients and lo <= c.at <= hi)
        return found

    # -- writing -------------------------------------------------------------------

    def _write(self, conn, removed, added, existing, candidates, since):
        """Apply `changes` inside the open transaction: the links, the
        funnel's rows and the guard's arms; returns the days touched."""
        p = self.p
        for i in range(0, len(removed), 500):
            part = [x.id for x in removed[i:i + 500]]
            conn.execute(f"DELETE FROM request_outcomes WHERE id IN "
                         f"({', '.join([p] * len(part))})", part)
        insert_rows(conn, p, "request_outcomes", LINK_COLUMNS,
                    [(x.source, x.record, x.request, x.client, x.at, x.ended, x.first, x.sent,
                      x.size, x.complete) for x in added])
        rows, on, off = changes(removed, added, existing, candidates, since)
        add_rows(conn, p, rows)
        guard = RolloutQueries(self.store)
        if on:
            guard.mark_failed(conn, on, True)
        if off:
            guard.mark_failed(conn, off, False)
        return {k[0] // 24 for k in rows}

    def _cas(self, conn, name, old, new):
        return self.store.move_position(conn, name, old, new)

    def _raise(self, conn, name, value):
        """Keep the larger of what is kept under `name` and `value`."""
        kept = self.store.position(name, conn)
        if kept is None or value > kept:
            self.store.set_position(conn, name, value)

    # -- beginning -----------------------------------------------------------------

    def begun(self):
        return self.store.position(TAKEN) is not None

    def begin(self, now):
        """The positions, set once.  The funnel counts from a whole hour:
        where an earlier version's rollup ended, else with the download log,
        at the first request that can have led to its first download, else
        at the first request whose outcome can still change (as the
        earlier rollup did).  Requests are taken in from REACH and LATE before it (the
        candidates of its first records), records from CLOCK_SLACK and LATE
        before it (none earlier can belong to a request counted)."""
        s = self.store
        since = s.position(OLD_ROLLUP)
        if since is None:
            row = s.read("SELECT recorded_at FROM downloads ORDER BY id LIMIT 1")
            first = (row[0][0] if row and _finite(row[0][0]) else now) - REACH - LATE
            since = int(min(first, now - LAG) // HOUR * HOUR)
        since = int(since)

        def before(table, ts):
            return s.first_id(table, ts, ahead=now + AHEAD) - 1
        taken = before("requests", since - REACH - LATE)
        records = {src: before(t, since - CLOCK_SLACK - LATE)
                   for src, t in (("event", "events"), ("download", "downloads"))}
        with s.transaction(patient=True) as conn:
            s.lock_rollup(conn)
            if s.start_position(conn, TAKEN, taken):
                s.set_position(conn, TAKEN_TO, int(since - REACH - LATE))
                s.set_position(conn, LINKED_TO, int(since - REACH - LATE))
                s.set_position(conn, KEPT, int(since - REACH - LATE))
                s.set_position(conn, FROM, since)
                first = conn.execute("SELECT MIN(day) FROM funnel_daily").fetchone()[0]
                s.start_position(conn, BEGAN, since if first is None else min(first * 86400,
                                                                            since))
                s.start_position(conn, UNLAID_FROM, since)
                s.set_position(conn, FOLDED, since)
                for src, last in records.items():
                    s.set_position(conn, LINKED[src], last)

    # -- the passes ------------------------------------------------------------------

    def take(self, now, upto):
        """Take in the next batch of requests before id `upto`; returns
        (requests taken, caught up), (0, False) when another worker moved
        the position first."""
        s, p = self.store, self.p
        last = s.position(TAKEN)
        n, new, new_at = s.read(
            f"SELECT COUNT(*), MAX(id), MAX(recorded_at) FROM (SELECT id, recorded_at "
            f"FROM requests WHERE id > {p} AND id < {p} ORDER BY id LIMIT {BATCH}) b",
            (last, upto))[0]
        full = n == BATCH
        if full:
            new_at = s.read(f"SELECT recorded_at FROM requests WHERE id = {p}", (new,))[0][0]
        taken_to = new_at if full else now - LAG
        with s.transaction(patient=True) as conn:
            s.lock_rollup(conn)
            if s.position(TAKEN, conn) != last:
                return 0, False
            if n:
                self._take_rows(conn, last, new, now)
                self._cas(conn, TAKEN, last, new)
            if _finite(taken_to):
                self._raise(conn, TAKEN_TO, int(math.floor(taken_to)))
        return n, not full

    def _take_rows(self, conn, last, new, now):
        s, p = self.store, self.p
        rng = (last, new)
        paths = [(a, installer_path(a)) for (a,) in conn.execute(
            f"SELECT DISTINCT answer FROM requests WHERE id > {p} AND id <= {p} "
            "AND substr(answer, 1, 4) = 'GET:'", rng).fetchall()]
        path = (f"CASE answer {' '.join([f'WHEN {p} THEN {p}'] * len(paths))} END"
                if paths else "NULL")
        key = folded(s, "bundle_key", "key")
        conn.execute(
            f"INSERT INTO rollout_recent ({_RECENT}) SELECT id, recorded_at, client, "
            f"bundle_key, {path}, {key}, COALESCE(version, ''), rule, answer FROM requests "
            f"WHERE id > {p} AND id <= {p} ON CONFLICT DO NOTHING",
            (*[v for pair in paths for v in pair], *rng))
        since = s.position(FROM, conn)
        dims = f"{key}, COALESCE(version, ''), rule, answer"
        zeros = ", ".join(["0"] * (len(COUNTS) - 2))
        for table, unit, unit_sql in (("funnel_hourly", "hour", s.hour_sql),
                                      ("funnel_daily", "day", s.day_sql)):
            keys = (unit,) + DIMS_COLUMNS
            conn.execute(
                f"INSERT INTO {table} ({', '.join(keys + COUNTS)}) SELECT {unit_sql}, {dims}, "
                "COUNT(*), SUM(CASE WHEN substr(answer, 1, 4) = 'GET:' THEN 1 ELSE 0 END), "
                f"{zeros} FROM requests WHERE id > {p} AND id <= {p} AND recorded_at >= {p} "
                f"AND recorded_at < {p} GROUP BY 1, 2, 3, 4, 5 "
                f"ON CONFLICT ({', '.join(keys)}) DO UPDATE SET "
                f"asked = {table}.asked + excluded.asked, "
                f"sent_to_download = {table}.sent_to_download + excluded.sent_to_download",
                (*rng, since, LAST_TIME))
        guarded = s.position(GUARDED, conn)
        if guarded is not None and new > guarded:
            rows = conn.execute(
                f"SELECT id, recorded_at, arms FROM requests WHERE id > {p} AND id <= {p} "
                "AND arms IS NOT NULL", (max(last, guarded), new)).fetchall()
            guard = RolloutQueries(s)
            if rows:
                guard.count_arms(conn, rows, guard.advances())
                # and each machine's first request at its step and arm,
                # from the arm rows just written (rollouts/machines.py)
                machines.record(conn, p, max(last, guarded), new)
            s.set_position(conn, GUARDED, new)
        linked_to = s.position(LINKED_TO, conn)
        # Stamped past AHEAD too: records of the same fast clock may be
        # linked already (see SEEN).
        late = conn.execute(
            f"SELECT id, recorded_at, client FROM requests WHERE id > {p} AND id <= {p} "
            f"AND (recorded_at <= {p} OR recorded_at > {p})",
            (*rng, linked_to + CLOCK_SLACK, now + AHEAD)).fetchall()
        if late:
            self._relink(conn, late, since)

    def _relink(self, conn, late, since):
        """Look again at the records already linked in the windows of these
        late requests [(id, recorded_at, client)], inside the pass that took
        them in; returns how many changed request.  A request older than
        the requests still kept takes nothing over (a forgotten one might
        have been later than it): what it would have taken stays where it
        was laid."""
        s, p = self.store, self.p
        kept = s.position(KEPT, conn)
        late = [r for r in late if _finite(r[1]) and r[1] >= kept]
        if not late:
            return 0
        taking = {r[0] for r in late}
        windows = {}
        for _, at, client in late:
            windows.setdefault(client, []).append((at - CLOCK_SLACK, at + OWNS))
        lo = min(r[1] for r in late) - CLOCK_SLACK
        hi = max(r[1] for r in late) + OWNS
        old = [Link(*r[1:], id=r[0]) for r in self._in(
            conn, f"SELECT {_LINK} FROM request_outcomes WHERE client IN ({{inn}}) "
            f"AND recorded_at >= {p} AND recorded_at <= {p}", windows, (lo, hi))]
        old = [x for x in old if any(a <= x.at <= b for a, b in windows[x.client])]
        removed, added, candidates = [], [], {}
        for source in SOURCES:
            mine = {x.record: x for x in old if x.source == source}
            if not mine:
                continue
            table = "events" if source == "event" else "downloads"
            records = self._in(conn, f"SELECT {_EVENT if source == 'event' else _DOWNLOAD} "
                               f"FROM {table} WHERE id IN ({{inn}})", mine)
            found = self._around(conn, source, records)
            candidates.update(found)
            for x in links_of(source, records, list(found.values())):
                was = mine[x.record]
                # A late request can only take records over: an owner that
                # is no late request is kept (its rivals may be forgotten).
                if x.request != was.request and x.request in taking:
                    removed.append(x._replace(request=was.request, id=was.id))
                    added.append(x)
        if not removed:
            return 0
        existing = self.existing(conn, {x.request for x in removed + added
                                        if x.request is not None})
        days = self._write(conn, removed, added, existing, candidates, since)
        for day in days:
            fold_day(conn, p, day)
        return len(removed)

    def link(self, source, now):
        """Link the next batch of records of `source`; returns (records
        linked, caught up), (0, False) when another worker moved first."""
        s = self.store
        with s.transaction(patient=True) as conn:
            s.lock_rollup(conn)
            horizon = min(now - LAG, s.position(TAKEN_TO, conn)) - CLOCK_SLACK
            last = s.position(LINKED[source], conn)
            rows = self._records(conn, source, f"id > {self.p}", (last,), RECORD_BATCH)
            ready = self._ready(conn, source, rows, now, horizon)
            if ready:
                found = self._around(conn, source, ready)
                added = links_of(source, ready, list(found.values()))
                existing = self.existing(conn, {x.request for x in added
                                                if x.request is not None})
                self._write(conn, [], added, existing, found, s.position(FROM, conn))
                self._cas(conn, LINKED[source], last, ready[-1][0])
            self._raise(conn, LINKED_TO, int(math.ceil(horizon)))
        return len(ready), len(ready) < len(rows) or len(rows) < RECORD_BATCH

    def _ready(self, conn, source, rows, now, horizon):
        """The records at the front of `rows` that may be linked now (see
        the module's docstring); notes when the first one in line stamped
        past AHEAD was first seen."""
        s = self.store
        names = SEEN[source]
        seen_to, seen_requests, seen_at, seen_past = (s.position(n, conn) for n in names)
        # Those seen stamped ahead count as stamped when they were seen, once
        # the requests in the store then are taken in.
        released = (seen_at is not None and seen_at <= horizon
                    and s.position(TAKEN, conn) >= seen_requests)
        ready = []
        for r in rows:
            # NaN is not fast; +inf is, and holds up no one.
            fast = r[1] > now + AHEAD or (seen_past is not None and r[0] <= seen_to
                                          and r[1] > seen_past)
            if not r[1] > horizon and not fast:
                ready.append(r)
            elif fast and released and r[0] <= seen_to:
                ready.append(r)
            else:
                if fast and (seen_to is None or r[0] > seen_to):
                    requests = s.last_id("requests", conn=conn)
                    for name, value in zip(names, (rows[-1][0], requests or 0, int(now) + 1,
                                                   math.ceil(now + AHEAD))):
                        s.set_position(conn, name, value)
                break
        return ready

    def run(self, now, budget, sources=SOURCES, clock=None):
        """Take in requests and link records, a batch of each in turn, for at
        most `budget` seconds; returns (requests taken, records linked,
        caught up)."""
        clock = clock or time.monotonic
        began = clock()
        if not self.begun():
            self.begin(now)
        upto = self.store.first_id("requests", now - LAG, ahead=now + AHEAD)
        taken = linked = 0
        while clock() - began < budget:
            n, done = self.take(now, upto)
            taken += n
            for source in sources:
                m, finished = self.link(source, now)
                linked += m
                done = done and finished
            if done:
                return taken, linked, True
        return taken, linked, False

    def tidy(self, now, keep_hours):
        """Forget the requests no record can be linked to any more, fold the
        funnel's keys of the days counted since the last time, and drop its
        hourly rows older than `keep_hours`."""
        s, p = self.store, self.p
        linked_to = s.position(LINKED_TO)
        if linked_to is None:
            return
        following = [linked_to]
        for source, table in (("event", "events"), ("download", "downloads")):
            row = s.read(f"SELECT recorded_at FROM {table} WHERE id > {p} ORDER BY id LIMIT 1",
                         (s.position(LINKED[source]),))
            if row and _finite(row[0][0]):
                following.append(row[0][0])
        keep = min(following) - REACH - READ_LATE
        before = s.first_id("requests", keep, ahead=now + AHEAD)
        with s.transaction(patient=True) as conn:
            s.lock_rollup(conn)
            RolloutQueries(s).forget(conn, before)
            self._raise(conn, KEPT, int(keep))
            folded_to = s.position(FOLDED, conn)
            upto = max(linked_to, s.position(TAKEN_TO, conn))
            for day in range(int((folded_to - REACH - LATE) // 86400), int(upto // 86400) + 1):
                fold_day(conn, p, day)
            self._raise(conn, FOLDED, int(upto))
            conn.execute(f"DELETE FROM funnel_hourly WHERE hour < {p}",
                         (int(linked_to // HOUR) - keep_hours,))

    # -- what is not linked yet --------------------------------------------------------

    def tail(self, start, now):
        """Funnel rows {(hour, key, version, rule, answer): counts} of what
        is not taken in or linked yet, as of `now`, worked out with
        the same code as the links, on the caller's connection (a snapshot).
        Before the linking began, of everything from `start`."""
        s, p = self.store, self.p
        conn = s.reading_connection()
        positions = {name: s.position(name) for name in (TAKEN, FROM, *LINKED.values())}
        if positions[TAKEN] is None:
            ahead = s.now() + AHEAD
            positions[TAKEN] = s.first_id("requests", start - REACH - LATE,
                                          ahead=ahead) - 1
            positions[FROM] = start
            for src, table in (("event", "events"), ("download", "downloads")):
                positions[LINKED[src]] = s.first_id(table, start - CLOCK_SLACK - LATE,
                                                    ahead=ahead) - 1
        since = positions[FROM]
        rows, extra = {}, []
        for i, at, client, key, version, answer, rule, malformed in conn.execute(
                "SELECT id, recorded_at, client, bundle_key, version, answer, rule, malformed "
                f"FROM requests WHERE id > {p} ORDER BY id", (positions[TAKEN],)).fetchall():
            if not _finite(at):
                continue
            c = Candidate(i, at, client, key, installer_path(answer), _fold(key, malformed),
                          version or "", rule, answer)
            extra.append(c)
            if since <= at < LAST_TIME:
                counts = [0] * len(COUNTS)
                _count(counts, answer, None, False)
                _add(rows, (int(at // HOUR), c.fkey, c.version, rule, answer), counts)
        added_so_far = {}
        for source in SOURCES:
            records = self._records(conn, source, f"id > {p}", (positions[LINKED[source]],))
            if not records:
                continue
            found = self._around(conn, source, records, extra)
            # A record of no request so far counts in the rows of its own
            # once its time has come (one stamped ahead may yet find one).
            added = [x for x in links_of(source, records, list(found.values()))
                     if x.request is not None or not x.spare[3] > now]
            owners = {x.request for x in added if x.request is not None}
            existing = self.existing(conn, owners)
            for rid, links in added_so_far.items():
                if rid in owners:
                    existing.setdefault(rid, []).extend(links)
            for x in added:
                if x.request is not None:
                    added_so_far.setdefault(x.request, []).append(x)
            for dims, counts in changes([], added, existing, found, since)[0].items():
                _add(rows, dims, counts)
        return rows


def add_rows(conn, p, rows):
    """Add funnel rows {(hour, key, version, rule, answer): counts} to the
    hourly and the daily table, inside the open transaction."""
    if not rows:
        return
    for table, unit, part in (("funnel_hourly", "hour", rows), ("funnel_daily", "day",
                                                                by_day(rows))):
        keys = (unit,) + DIMS_COLUMNS
        update = ", ".join(f"{c} = {table}.{c} + excluded.{c}" for c in COUNTS)
        insert_rows(conn, p, table, keys + COUNTS,
                    [(*dims, *counts) for dims, counts in part.items()],
                    f"ON CONFLICT ({', '.join(keys)}) DO UPDATE SET {update}")


def fold_day(conn, p, day):
    """Keys past the KEYS_PER_DAY most asked of a day become "", as in the
    dashboard's rollup (key_rules.py), so that made-up keys cannot grow the
    tables without bound: in the day's hourly rows and its daily ones.  A
    count added later to a key folded away lands on the key's row and is
    folded with it at the next fold, so the day's sums stay whole."""
    keys = DIMS_COLUMNS
    fold_keys(conn, "funnel_hourly", ("hour",) + keys, COUNTS, "asked",
              f"hour >= {p} AND hour < {p}", (day * 24, day * 24 + 24))
    fold_keys(conn, "funnel_daily", ("day",) + keys, COUNTS, "asked", f"day = {p}", (day,))
