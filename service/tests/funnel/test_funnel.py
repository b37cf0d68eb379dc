"""The download funnel: nginx's download log, the joins, the rollup, the view.

The joins and the log reader run against both stores; the funnel of real
transfers runs through nginx and gunicorn (service/stack.py) and is read
back as CSV and in headless chromium.
"""

import csv
import inspect
import io
import os
import re
import socket
import ssl
import urllib.request
from collections import Counter
from contextlib import contextmanager

import pytest
from conftest import ADMIN, CHROMIUM, CONFIG, GOOD, RULE, SECRET, browse, wait_for

from quillo_service import joins, linking
from quillo_service.rollouts import counting
from quillo_service.periods import Filters, Period
from quillo_service.config import load_config
from quillo_service.ingest.downloads import Ingester, parse_line
from quillo_service.reports.events import build_event
from quillo_service.joins import (AHEAD, CLOCK_SLACK, CRASH_WINDOW, DOWNLOAD_WINDOW, ERROR_WINDOW,
                                  LONGEST, REACH)
from quillo_service.db.base import LAG, LATE
from quillo_service.ingest.logs import position_name
from quillo_service.db import open_store
from quillo_service.funnel.outcomes import (COUNTS, UNASKED, Download, Event, Request, by_day,
                                            of_requests, outcomes)
from quillo_service.funnel.queries import DIMS, FunnelCounts
from quillo_service.rollouts.queries import RolloutQueries
from quillo_service.dashboard.queries import Dashboard
from quillo_service.db.schema import EVENT_COLUMNS, SCHEMA_VERSION
from quillo_service.reports.records import record_event
from quillo_service.ingest.positions import ingest_position, ingest_rows, recent_downloads
from stack import App, Stack, free_port, local_host

T0 = 1_765_000_000.0
STABLE = "GET:https://setup.test/installers/stable.exe"
SIZE = 1000


def log_line(at, client="198.51.100.7", status=200, sent=SIZE, seconds=0.5, done="OK",
             first=None, path="/installers/stable.exe"):
    ranged = first is not None
    return (f'{at:.3f} {client} {status} {sent} {seconds:.3f} {done} '
            f'"{"bytes=%d-" % first if ranged else "-"}" '
            f'"{"bytes %d-%d/%d" % (first, SIZE - 1, SIZE) if ranged else "-"}" '
            f'"{sent if ranged else SIZE}" {path}\n').encode()


def stage(rows, name):
    return sum(c[COUNTS.index(name)] for c in rows.values())


KEEPS = (("bundle_key", "rule", "answer"), ("day", "answer"))  # what the view groups by


def summed(rows, keep):
    """Funnel rows summed over the dimensions `keep` leaves out (None in the key)."""
    out = {}
    for k, counts in rows.items():
        row = out.setdefault(tuple(v if d in keep else None for d, v in zip(DIMS, k)),
                             [0] * len(COUNTS))
        for j, n in enumerate(counts):
            row[j] += n
    return out


# -- the log reader ------------------------------------------------------------------

def test_download_log_read_once_through_rotation_with_garbage_counted(store, tmp_path):
    log = tmp_path / "downloads.log"
    lines = [log_line(T0 + n, sent=SIZE + n) for n in range(6)]
    log.write_bytes(lines[0] + lines[1] + b"garbage\n" + lines[2])
    reader = Ingester(store, str(log), batch=len(lines[0]) * 2 + 3, settle=0)
    assert reader.step() == (2, 0)
    os.rename(log, tmp_path / "downloads.log.1")
    with open(tmp_path / "downloads.log.1", "ab") as f:
        f.write(lines[3])  # nginx has not reopened its log yet
    log.write_bytes(lines[4] + lines[5][:30])
    assert Ingester(store, str(log), settle=0).ingest() == (3, 1)
    with open(log, "ab") as f:
        f.write(lines[5][30:])
    assert Ingester(store, str(log), settle=0).ingest() == (1, 0)
    sent = sorted(r["sent"] for r in recent_downloads(store, 100))
    assert sent == [SIZE + n for n in range(6)]
    assert ingest_position(store, reader.name)[2] == 1


def test_parse_line_takes_what_nginx_writes_and_nothing_else():
    cut = parse_line(b'1765000000.869 127.0.0.1 200 753333 0.700  "-" "-" "3000000" '
                     b'/installers/no such.exe')
    assert cut == (1765000000.869, "127.0.0.1", "/installers/no such.exe", 200, 0, 753333,
                   3000000, 0.7, 0, None)
    resumed = parse_line(b'1765000000.147 127.0.0.1 206 1000 0.000 OK "bytes=2999000-" '
                         b'"bytes 2999000-2999999/3000000" "1000" /installers/stable.exe')
    assert resumed[3:7] == (206, 2999000, 1000, 3000000) and resumed[9] == "bytes=2999000-"
    odd = parse_line(b'1765000000.880 127.0.0.1 416 190 0.000 OK "bytes=\\x22x\\x5C" '
                     b'"bytes */3000000" "190" /installers/stable.exe')
    assert odd[9] == 'bytes="x\\' and odd[6] == 3000000
    for bad in (b"", b"garbage", b'1765000000.147 127.0.0.1 206 1000 0.000 OK "-" "-" "1000" '
                b'/installers/stable.exe'):  # a partial answer without its range
        assert parse_line(bad) is None


# -- the joins and the rollup ----------------------------------------------------------

def test_join_window_edges_and_the_rollup_agrees_with_the_live_count(store):
    # One request per client; each client's follow-up lands one second
    # inside or one second outside its window.
    cases = {"dl-in": DOWNLOAD_WINDOW - 1, "dl-out": DOWNLOAD_WINDOW + 1,
             "err-in": ERROR_WINDOW - 1, "err-out": ERROR_WINDOW + 1,
             "crash-in": CRASH_WINDOW - 1, "crash-out": CRASH_WINDOW + 1}
    ids = {}
    for client in cases:
        store.record_request(T0, client, client, "0,1,0,220", None, STABLE, "default", "", "")
        ids[client] = store.recent_requests(1)[0]["id"]
    lines = [parse_line(log_line(T0 + cases[c] + 0.5, client=c, seconds=0.5).rstrip(b"\n"))
             for c in ("dl-in", "dl-out")]
    assert ingest_rows(store, "log", ("", 0), ("f", 1), "downloads", lines)
    for client in ("err-in", "err-out"):
        record_event(store, build_event(
            f"source=gatherkit&code=188&message=m&error=0x1&version=0%2C1%2C0%2C220&os=10.0"
            f"&key={client}".encode(), client, T0 + cases[client]), 10)
    for client in ("crash-in", "crash-out"):
        record_event(store, build_event(
            b"source=Gatherkit&code=0&message=0x1%3A0x2%3Ac0000005%3Am.dll&error=0x1"
            b"&version=0&os=0&key=0", client, T0 + cases[client]), 10)
    funnel = FunnelCounts(store)
    day = T0 - T0 % 86400
    period = Period("custom", day, day + 86400, "")
    # Before the windows have passed, the counts so far are kept.
    funnel.catch_up(now=T0 + 7200)
    live = funnel.counts(period, None, now=T0 + 7200)
    assert funnel.grouped(period, None, KEEPS, now=T0 + 7200) == [summed(live, k) for k in KEEPS]
    by_key = {k[1]: c for k, c in live.items()}
    assert by_key["dl-in"][2:4] == [1, 1] and by_key["dl-out"][2] == 0
    assert [by_key[k][5] for k in ("err-in", "err-out", "crash-in", "crash-out")] == [1, 0, 1, 0]
    assert by_key["dl-in"][6] == 1  # completed, nothing reported: no news
    # The download outside the window belongs to no request: its bytes still count.
    assert stage(live, "bytes_sent") == 2 * SIZE

    # Once the windows have passed, the counts are the same.
    later = T0 + funnel.horizon + 3 * 86400
    assert funnel.catch_up(now=later) >= day + 86400
    rolled = funnel.counts(period, None, now=later)
    # The reports past their windows, recorded since, belong to no request:
    # rows of their own count them, under the error's key and version (a
    # crash report names neither), and no request's row changes.
    unlaid = {k: c[COUNTS.index("failed")] for k, c in rolled.items() if not of_requests(k[4])
              and not k[4].startswith(UNASKED)}
    assert unlaid == {(day // 86400, "err-out", "0,1,0,220", "", "report:error"): 1,
                      (day // 86400, "", "", "", "report:crash"): 1}
    assert {k: c for k, c in rolled.items() if k not in unlaid} == live
    assert funnel.grouped(period, None, KEEPS, now=later) == [summed(rolled, k) for k in KEEPS]
    assert {type(n) for counts in rolled.values() for n in counts} <= {int, float}
    narrowed = funnel.counts(period, Filters("err", True, ""), now=later)
    assert {k[1] for k in narrowed} == {"err-in", "err-out"}


# -- one table of cases through every user of the joins ---------------------------------

E, C, D = ERROR_WINDOW, CRASH_WINDOW, DOWNLOAD_WINDOW
# (what, requests [(label, time, key)] recorded in this order (ids rise),
#  records, the label of the request each record belongs to, None for none).
# Records: ("error", time, key), ("crash", time), ("download", start,
# seconds) of the whole file, ("range", start, seconds, first byte, bytes,
# complete).  Times are seconds after T0.
CASES = [
    ("error at its window", [("a", 0, "k")], [("error", E, "k")], ["a"]),
    ("error past its window", [("a", 0, "k")], [("error", E + 1, "k")], [None]),
    ("error past the crash window", [("a", 0, "k")], [("error", C + 1, "k")], ["a"]),
    ("crash at its window, any key", [("a", 0, "k")], [("crash", C)], ["a"]),
    ("crash past its window", [("a", 0, "k")], [("crash", C + 1)], [None]),
    ("error of another key", [("a", 0, "k")], [("error", 1, "other")], [None]),
    ("error without a key", [("a", 0, None)], [("error", 1, None)], [None]),
    ("error with an empty key", [("a", 0, "")], [("error", 1, "")], [None]),
    ("latest by time, not by id", [("b", 10, "k"), ("a", 0, "k")], [("error", 20, "k")],
     ["b"]),
    ("same time: the higher id", [("a", 0, "k"), ("b", 0, "k")], [("error", 5, "k")], ["b"]),
    ("the one before, not one just after", [("a", 0, "k"), ("b", 1.5, "k")],
     [("error", 1, "k")], ["a"]),
    ("none before: one up to the clock allowance after", [("a", 0, "k")],
     [("error", -CLOCK_SLACK, "k")], ["a"]),
    ("none before: one past the clock allowance after", [("a", 0, "k")],
     [("crash", -CLOCK_SLACK - 0.01)], [None]),
    ("the one before is too old: one just after", [("a", -E - 1, "k"), ("b", 1, "k")],
     [("error", 0, "k")], ["b"]),
    ("download started at its window", [("a", 0, "k")], [("download", D, 1)], ["a"]),
    ("download started past its window", [("a", 0, "k")], [("download", D + 1, 1)], [None]),
    ("download started in the window, ended after it", [("a", 0, "k")],
     [("download", D - 1, LONGEST)], ["a"]),
    ("download lasting too long", [("a", 0, "k")], [("download", 1, LONGEST + 1)], [None]),
    ("resumed, the first range logged in its answer's millisecond", [("a", 0.0004, "k")],
     [("range", 0, 0, 0, 100, False), ("range", 5, 1, 100, SIZE - 100, True)], ["a", "a"]),
    ("download started before its answer by nginx's clock", [("a", 0, "k")],
     [("download", -1.5, 1)], ["a"]),
    ("download started past the clock allowance before", [("a", 0, "k")],
     [("download", -CLOCK_SLACK - 0.01, 1)], [None]),
    ("download: the request before, not one just after", [("a", 0, "k"), ("b", 1, "k")],
     [("download", 0.5, 1)], ["a"]),
    ("download: latest by time, not by id", [("b", 10, "k"), ("a", 0, "k")],
     [("download", 20, 1)], ["b"]),
    ("error and crash of one request", [("a", 0, "k")], [("error", 1, "k"), ("crash", 2)],
     ["a", "a"]),
    ("crash of another key's request", [("a", 0, "k"), ("b", 1, "other")], [("crash", 2)],
     ["b"]),
    ("a record at its request's time", [("a", 0, "k"), ("b", 1, "k")], [("error", 1, "k")],
     ["b"]),
    ("two requests within the clock allowance after: the later", [("a", 1, "k"),
                                                                   ("b", 2, "k")],
     [("error", 0, "k")], ["b"]),
]
FAILURES = ("error", "crash")


def expected(kinds):
    """{(case, label)} of the requests that a record of these kinds belongs to."""
    return {(i, label) for i, (_, _, records, owners) in enumerate(CASES)
            for record, label in zip(records, owners) if label and record[0] in kinds}


def test_the_join_cases_through_the_pure_join():
    for what, requests, records, owners in CASES:
        rows = [(n, T0 + at, "c", key) for n, (_, at, key) in enumerate(requests)]
        events = [(n, T0 + r[1], "c", r[0], r[2] if r[0] == "error" else "0")
                  for n, r in enumerate(records) if r[0] in FAILURES]
        laid = joins.failures(rows, events)
        starts = {n: (T0 + r[1], r[2], "c", "/p") for n, r in enumerate(records)
                  if r[0] not in FAILURES}
        placed = dict(zip(starts, joins.downloads([(*row[:3], "/p") for row in rows],
                                                  list(starts.values()))))
        got = [laid.get(n) if r[0] in FAILURES else placed[n] for n, r in enumerate(records)]
        assert [None if g is None else requests[g][0] for g in got] == owners, what


def _record_requests(store, ids=None):
    """The cases' requests, each case under a client of its own, in the
    arm of its rule: {request id: (case, label)}.  A request's version
    names its case and label."""
    ids = {} if ids is None else ids
    for i, (_, requests, _, _) in enumerate(CASES):
        for label, at, key in requests:
            store.record_request(T0 + at, f"case{i}", key, f"{i}:{label}", None, STABLE, RULE,
                                 "", "", arms=f"+{RULE}")
            ids[store.recent_requests(1)[0]["id"]] = (i, label)
    return ids


def _record_records(store):
    for i, (_, _, records, _) in enumerate(CASES):
        client = f"case{i}"
        lines = []
        for n, r in enumerate(records):
            if r[0] in FAILURES:
                e = dict.fromkeys(EVENT_COLUMNS)
                e.update(recorded_at=T0 + r[1], client=client, reference=f"R{i}.{n}",
                         kind=r[0], bundle_key=r[2] if r[0] == "error" else "0",
                         malformed="", cut="")
                record_event(store, e, 100)
            elif r[0] == "download":
                lines.append(log_line(T0 + r[1] + r[2], client=client, seconds=r[2]))
            else:
                _, start, seconds, first, sent, done = r
                lines.append(log_line(T0 + start + seconds, client=client, status=206,
                                      sent=sent, seconds=seconds, first=first,
                                      done="OK" if done else ""))
        if lines:
            rows = [parse_line(line.rstrip(b"\n")) for line in lines]
            position = ingest_position(store, "cases")[:2]
            assert ingest_rows(store, "cases", position, ("f", position[1] + 1), "downloads",
                               rows)


def _recomputed(store, start, end):
    """The funnel's rows per day of [start, end) worked out whole from every
    row (funnel/outcomes.py), as the kept counts must be."""
    read = {name: store.read(f"SELECT {', '.join(form._fields)} FROM {table} ORDER BY id")
            for name, table, form in (("r", "requests", Request), ("d", "downloads", Download),
                                      ("e", "events", Event))}
    return {k: v for k, v in by_day(outcomes(read["r"], read["d"], read["e"], start,
                                             end)).items() if any(v)}


def _kept(store, start, end, now):
    counts = FunnelCounts(store).counts(Period("custom", start, end, ""), None, now=now)
    return {k: v for k, v in counts.items() if any(v)}


LINKED_AT = T0 + E + 3600  # every case's records are linked by then


@pytest.mark.parametrize("path", ["on arrival", "after a late request"])
def test_the_join_cases_give_the_same_answers_on_arrival_and_after_a_late_request(store, path):
    counting.count(store, T0 - 86400)  # the guard counts from the first request
    if path == "on arrival":
        ids = _record_requests(store)
        _record_records(store)
        FunnelCounts(store).catch_up(now=LINKED_AT, budget=60)
    else:
        # The records come and are linked first; then every request comes
        # late (a spool written out), stamped before them.
        _record_records(store)
        FunnelCounts(store).catch_up(now=LINKED_AT, budget=60)
        assert store.read("SELECT COUNT(*) FROM request_outcomes WHERE request_id IS NOT "
                          "NULL")[0][0] == 0
        ids = _record_requests(store)
        counting.count(store, LINKED_AT + 60)  # the guard's pass takes them in
        FunnelCounts(store).catch_up(now=LINKED_AT + 60, budget=60)
    by_version = {f"{i}:{label}": (i, label) for i, label in ids.values()}
    period = (T0 - 86400, T0 + 86400)
    kept = _kept(store, *period, now=LINKED_AT + 60)
    outcome = {name: {by_version[k[2]] for k, c in kept.items()
                      if k[2] in by_version and c[COUNTS.index(name)]}
               for name in ("started", "completed", "failed")}
    assert outcome["started"] == outcome["completed"] == expected(("download", "range"))
    assert outcome["failed"] == expected(FAILURES)
    assert kept == _recomputed(store, *period)
    # The guard's arms read the same links: each failed request once.
    health = RolloutQueries(store).health(RULE, 0)
    assert health == {"rule": (len(ids), len(expected(FAILURES)))}
    # Linking again links nothing twice.
    FunnelCounts(store).catch_up(now=LINKED_AT + 120, budget=60)
    assert _kept(store, *period, now=LINKED_AT + 120) == kept


def test_two_hosts_linking_at_once_take_each_request_and_link_each_record_once(
        store, database, monkeypatch):
    # Small batches, and each time this host has read where the linking is
    # and is about to lock, another host's pass takes one step first.
    monkeypatch.setattr(linking, "BATCH", 4)
    monkeypatch.setattr(linking, "RECORD_BATCH", 3)
    counting.count(store, T0 - 86400)  # the funnel counts from the first request
    _record_requests(store)
    _record_records(store)
    other = open_store(database, client_secret=SECRET)
    one_transaction = store.transaction

    @contextmanager
    def after_a_step_of_the_other(patient=False):
        linking.Links(other).run(LINKED_AT, 1, clock=iter((0, 0, 1)).__next__)
        with one_transaction(patient) as conn:
            yield conn
    monkeypatch.setattr(store, "transaction", after_a_step_of_the_other)
    try:
        FunnelCounts(store).catch_up(now=LINKED_AT, budget=60)
        FunnelCounts(other).catch_up(now=LINKED_AT, budget=60)
    finally:
        other.close()
    assert store.read("SELECT source, record_id FROM request_outcomes GROUP BY source, "
                      "record_id HAVING COUNT(*) > 1") == []
    period = (T0 - 86400, T0 + 86400)
    assert _kept(store, *period, now=LINKED_AT) == _recomputed(store, *period)


def test_counts_kept_from_links_agree_with_a_whole_recompute_in_any_arrival_order(store):
    """Seeded: requests, reports and downloads of a few clients in random
    order, some requests late (a spool), linked in passes at random times."""
    import random
    rnd = random.Random(7)
    clients = [f"c{n}" for n in range(4)]
    items = []
    for n in range(60):
        at = T0 + rnd.uniform(0, 3 * 3600)
        client = rnd.choice(clients)
        kind = rnd.choice(("request", "request", "error", "crash", "download"))
        items.append((at, kind, client, rnd.choice(("k", "j"))))
    items.sort()
    late = {n for n, item in enumerate(items) if item[1] == "request" and rnd.random() < 0.3}
    order = [item for n, item in enumerate(items) if n not in late]
    counting.count(store, T0 - 86400)
    lines = 0
    for step, (at, kind, client, key) in enumerate(order + [items[n] for n in sorted(late)]):
        if kind == "request":
            store.record_request(at, client, key, "v", None, STABLE, RULE, "", "",
                                 arms=f"+{RULE}")
        elif kind == "download":
            lines += 1
            assert ingest_rows(store, "p", ("f", lines - 1) if lines > 1 else ("", 0),
                               ("f", lines), "downloads",
                               [parse_line(log_line(at + 3, client=client, seconds=rnd.choice(
                                   (0.5, 3.0))).rstrip(b"\n"))])
        else:
            e = dict.fromkeys(EVENT_COLUMNS)
            e.update(recorded_at=at, client=client, reference=f"P{step}", kind=kind,
                     bundle_key=key if kind == "error" else "0", malformed="", cut="")
            record_event(store, e, 1000)
        if rnd.random() < 0.2:
            FunnelCounts(store).catch_up(now=at + rnd.uniform(10, 600), budget=60)
    now = T0 + 3 * 3600 + E + 3600
    FunnelCounts(store).catch_up(now=now, budget=60)
    period = (T0 - 86400, T0 + 86400)
    assert _kept(store, *period, now=now) == _recomputed(store, *period)
    failed = sum(c[COUNTS.index("failed")] for k, c in _recomputed(store, *period).items()
                 if of_requests(k[4]))
    assert RolloutQueries(store).health(RULE, 0)["rule"][1] == failed


@pytest.mark.parametrize("ahead, waits", [(86400, False), (AHEAD, True), (AHEAD + 1, False)])
def test_a_record_stamped_past_the_fast_clock_bound_holds_up_the_next_for_lag_only(
        store, ahead, waits):
    # A report stamped `ahead` of the database's clock, then one of the
    # present with its request in the store.
    now = T0 + 20
    store.record_request(T0, "c", "k", "v", None, STABLE, "default", "", "")
    request = store.recent_requests(1)[0]["id"]
    for n, at in enumerate((now + ahead, T0 + 10)):
        e = dict.fromkeys(EVENT_COLUMNS)
        e.update(recorded_at=at, client="c", reference=f"A{n}", kind="error", bundle_key="k",
                 malformed="", cut="")
        record_event(store, e, 100)
    fast, present = (r[0] for r in store.read("SELECT id FROM events ORDER BY id"))

    def linked(at):
        FunnelCounts(store).catch_up(now=at, budget=60)
        return dict(store.read("SELECT record_id, request_id FROM request_outcomes"))
    assert linked(now) == {}
    # LAG (and the clock allowance) on, from the second the fast one was seen.
    after_lag = linked(now + LAG + CLOCK_SLACK + 1)
    assert (present in after_lag) is not waits
    if not waits:
        assert after_lag[present] == request and fast in after_lag
    # Once its stamp has passed as well, both are linked either way.
    assert linked(now + ahead + LAG + CLOCK_SLACK)[present] == request


# -- an upgrade from the funnel rolled up by time ----------------------------------------

def _apply(store, items):
    """Record `items` as the service does, in order: ["request", arguments
    of record_request], ["event", row], ["download", parsed log line].  Its
    source runs on SCHEMA_16's code too."""
    from quillo_service.ingest.positions import ingest_position, ingest_rows
    from quillo_service.reports.records import record_event
    for kind, value in items:
        if kind == "request":
            store.record_request(*value)
        elif kind == "event":
            record_event(store, value, 1000)
        else:
            position = ingest_position(store, "log")[:2]
            assert ingest_rows(store, "log", position, ("f", position[1] + 1), "downloads",
                               [value])


def _items(rows):
    """_apply's items of [(kind, time, client, key)]: a guarded request, an
    error or crash report, a download (of the whole file, started then)."""
    out = []
    for kind, at, client, key in rows:
        if kind == "request":
            out.append(["request", [at, client, key, "v", None, STABLE, RULE, "", "", None,
                                    f"+{RULE}"]])
        elif kind == "download":
            out.append(["download", list(parse_line(log_line(at + 3, client=client,
                                                             seconds=3.0).rstrip(b"\n")))])
        else:
            e = dict.fromkeys(EVENT_COLUMNS)
            e.update(recorded_at=at, client=client, reference=f"{client}@{at}", kind=kind,
                     bundle_key=key if kind == "error" else "0", malformed="", cut="")
            out.append(["event", e])
    return out


# SCHEMA_16's service over the store, each time recording a batch of items
# and then catching up every rollup as its background jobs did.
_SCHEMA_16_RUN = """
import json, math, sys
from quillo_service import load_features
from quillo_service.dashboard.queries import Dashboard
from quillo_service.db import open_store
from quillo_service.funnel.queries import FunnelCounts
from quillo_service.rollouts import counting
load_features()
d = json.load(sys.stdin)
store = open_store(d["database"], client_secret=d["secret"].encode())
counting.count(store, d["start"])  # the guard counts from the first request on
for now, items in d["batches"]:
    _apply(store, items)
    FunnelCounts(store).catch_up(now=now, budget=math.inf)
    counting.count(store, now, budget=math.inf)
    Dashboard(store).catch_up(now=now, budget=math.inf)
print(json.dumps([store.schema_version(), FunnelCounts(store).rolled_up_to()]))
"""


def test_an_upgrade_from_the_rollup_by_time_counts_every_row_once(database, schema_16_code):
    import random
    rnd = random.Random(3)

    def made_up(lo, hi, n):
        return [(rnd.choice(("request", "request", "error", "crash", "download")),
                 rnd.uniform(lo, hi), rnd.choice(("c0", "c1", "c2")), rnd.choice(("k", "j")))
                for _ in range(n)]
    day, hour = T0 - T0 % 86400, 3600
    upgrade = day + 10 * hour              # the old code's last run
    final = int((upgrade - REACH - LATE) // hour * hour)  # its rollup's position then
    old = made_up(day + hour, upgrade - 60, 80) + [
        # On either side of the old rollup's position: a request counted by
        # it with a failure it found, a request after it with a download
        # started just before it, reports and bytes of no request.
        ("request", final - 1, "b", "k"), ("error", final + 100, "b", "k"),
        ("request", final + 1, "b2", "k"), ("download", final - 0.5, "b2", "k"),
        ("crash", final - 1, "u", ""), ("crash", final, "u", ""),
        ("download", final - 4, "u", ""), ("download", final - 3, "u", ""),
        # Requests whose records come after the upgrade, a crash whose
        # request comes late, after it, and a request with its failure too
        # young for the old code's last count of the arms.
        ("request", upgrade - 45 * 60, "r0", "k"), ("request", upgrade - 30 * 60, "r1", "k"),
        ("request", upgrade - 2 * hour, "r2", "k"), ("crash", upgrade - 600, "late", ""),
        ("request", upgrade - 2, "r3", "k"), ("error", upgrade - 1, "r3", "k")]
    old.sort(key=lambda x: x[1])
    batches = [[at, _items([x for x in old if at - 2 * hour <= x[1] < at])]
               for at in range(int(day + 2 * hour), int(upgrade) + 1, 2 * hour)]
    version, rolled = schema_16_code(
        inspect.getsource(_apply) + _SCHEMA_16_RUN,
        {"database": database, "secret": SECRET.decode(), "start": day, "batches": batches})
    assert (version, rolled) == (16, final)

    s = open_store(database, client_secret=SECRET)
    try:
        assert s.schema_version() == SCHEMA_VERSION

        def catch_up(now):
            FunnelCounts(s).catch_up(now=now, budget=60)
            counting.count(s, now, budget=60)
            Dashboard(s).catch_up(now=now, budget=60)
        catch_up(upgrade + 60)
        _apply(s, _items([("download", upgrade - 300, "r0", ""),
                          ("download", upgrade + 1200, "r1", ""),
                          ("crash", upgrade + 1800, "r1", ""),
                          ("error", upgrade + 2 * hour, "r2", "k"),
                          ("request", upgrade - 1200, "late", "k")]))  # a spool written out
        catch_up(upgrade + 1800)
        _apply(s, _items(sorted(made_up(upgrade + 1800, upgrade + 3 * hour, 40),
                                key=lambda x: x[1])))
        now = upgrade + 3 * hour + REACH + LATE + hour
        catch_up(now)

        began = FunnelCounts(s).began()[0]
        assert began <= day + hour
        recomputed = _recomputed(s, began, day + 86400)
        assert _kept(s, day - 86400, day + 86400, now) == recomputed
        times = [at for (at,) in s.read("SELECT recorded_at FROM requests")]
        for table, unit in (("requests_hourly", "hour"), ("requests_daily", "day")):
            size = 86400 if unit == "day" else hour
            assert dict(s.read(f"SELECT {unit}, SUM(n) FROM {table} GROUP BY {unit}")) == \
                Counter(int(at // size) for at in times), table
        reports = Counter(int(at // hour) for (at,) in s.read("SELECT recorded_at FROM events"))
        assert dict(s.read("SELECT hour, SUM(n) FROM reports_hourly GROUP BY hour")) == reports
        failed = sum(c[COUNTS.index("failed")] for k, c in recomputed.items()
                     if of_requests(k[4]))
        assert RolloutQueries(s).health(RULE, 0) == {"rule": (len(times), failed)}
    finally:
        s.close()


def test_a_download_read_late_still_counts_in_the_rollup(store):
    # nginx's line comes into the store after the request's window has
    # passed, but within the margin the rollup leaves for late lines.
    hour = T0 - T0 % 3600
    store.record_request(hour + 10, "late", "late", "v", None, STABLE, "default", "", "")
    funnel = FunnelCounts(store)
    first = [parse_line(log_line(hour - 86400, client="early").rstrip(b"\n"))]
    assert ingest_rows(store, "log", ("", 0), ("f", 1), "downloads", first)
    # The window closes: DOWNLOAD_WINDOW + LONGEST and ERROR_WINDOW after it.
    closed = hour + 10 + max(DOWNLOAD_WINDOW + LONGEST, ERROR_WINDOW) + CLOCK_SLACK
    funnel.catch_up(now=closed + 3600 + 1, budget=60)
    late = [parse_line(log_line(hour + 100, client="late").rstrip(b"\n"))]
    assert ingest_rows(store, "log", ("f", 1), ("f", 2), "downloads", late)
    later = hour + 5 * 86400
    funnel.catch_up(now=later, budget=60)
    day = hour - hour % 86400
    counts = funnel.counts(Period("custom", day, day + 86400, ""), Filters("late"), now=later)
    assert stage(counts, "started") == 1


def test_the_rollup_folds_the_least_asked_keys_of_a_day_as_the_dashboard_does(
        store, monkeypatch):
    from quillo_service import key_rules
    monkeypatch.setattr(key_rules, "KEYS_PER_DAY", 2)
    day = T0 - T0 % 86400
    for n, key in enumerate(("k0", "k1", "k1", "k2", "k2", "k2")):
        store.record_request(day + 3600 * (n % 3), "c", key, "v", None, STABLE, "default", "",
                             "")
    ingest_rows(store, "log", ("", 0), ("f", 1), "downloads",
                      [parse_line(log_line(day + 1, client="c").rstrip(b"\n"))])
    funnel, later = FunnelCounts(store), day + 86400 + 8 * 3600  # hourly rows are still kept
    funnel.catch_up(now=later, budget=60)
    asked = {k[1]: c[0] for k, c in funnel.counts(Period("custom", day, day + 86400, ""),
                                                  None, now=later).items()}
    assert asked == {"k2": 3, "k1": 2, "": 1}
    hours = funnel.counts(Period("custom", day, day + 3 * 3600, ""), None, now=later)
    assert {k[1] for k in hours} == {"k2", "k1", ""}


def test_a_period_starting_within_a_day_counts_only_its_own_hours_of_it(store):
    day = T0 - T0 % 86400
    for key, hours in (("before", 2), ("first", 14), ("second", 34), ("after", 38)):
        store.record_request(day + hours * 3600, "c", key, "v", None, STABLE, "default", "", "")
    # A download before them all starts the rollup early enough to hold them.
    ingest_rows(store, "log", ("", 0), ("f", 1), "downloads",
                [parse_line(log_line(day - 3600, client="c").rstrip(b"\n"))])
    funnel, later = FunnelCounts(store), day + 2 * 86400 + 8 * 3600
    funnel.catch_up(now=later, budget=60)
    assert funnel.rolled_up_to() >= day + 86400 + 12 * 3600  # the daily rows hold both days
    # From 12:00 to 12:00 the next day: the first day's morning is not in it.
    period = Period("24h", day + 12 * 3600, day + 36 * 3600, "")
    asked = {k[1]: c[0] for k, c in funnel.counts(period, None, now=later).items() if c[0]}
    assert asked == {"first": 1, "second": 1}


def test_the_live_tail_is_narrowed_by_the_dashboards_filter(store):
    # Nothing rolled up yet: the whole period is worked out live.
    for key, malformed in (("ab1", ""), ("ab2", ""), ("zz", ""), ("ab3", "key")):
        store.record_request(T0, "c", key, "v", None, STABLE, "default", malformed, "")
    period = Period("custom", T0 - 3600, T0 + 3600, "")
    counts = FunnelCounts(store).counts(period, Filters("ab", True, ""), now=T0 + 60)
    assert {k[1] for k in counts} == {"ab1", "ab2"}  # a key that cannot be one folds to ""


# -- real transfers through nginx ----------------------------------------------------------

FILES = {"campaign.exe": 3_000_000, "beta.exe": 2_000_000, "stable.exe": 500_000}


@pytest.fixture(scope="module")
def stack(tmp_path_factory):
    root = tmp_path_factory.mktemp("funnel")
    installers = root / "installers"
    installers.mkdir()
    for name, size in FILES.items():
        (installers / name).write_bytes(os.urandom(size))
    config = root / "service.toml"
    config.write_text(CONFIG.replace('default_channel = "stable"',
                                     'default_channel = "stable"\n\n[bandwidth]\n'
                                     'price_per_gib = 100\ncurrency = "EUR"') + ADMIN)
    # Slow enough that a transfer can be cut in the middle of its body.
    s = Stack(local_host(root / "state", free_port(), installers=str(installers),
                         installer_options="limit_rate 2m;"),
              App(root / "state", str(config), database=f"sqlite:///{root}/q.db", workers=1,
                  threads=2))
    with s:
        s.store = open_store(s.database)
        yield s
        s.store.close()


def fetch(stack, path, first=None, stop_after=None):
    """GET over TLS; returns (status, body bytes received).  stop_after: hang
    up once that many body bytes have arrived, as a broken connection would."""
    context = ssl.create_default_context(cafile=stack.ca)
    with socket.create_connection(("127.0.0.1", stack.port), timeout=30) as raw, \
            context.wrap_socket(raw, server_hostname="localhost") as tls:
        ranged = f"Range: bytes={first}-\r\n" if first is not None else ""
        tls.sendall(f"GET {path} HTTP/1.1\r\nHost: localhost\r\n{ranged}"
                    "Connection: close\r\n\r\n".encode())
        data = b""
        while b"\r\n\r\n" not in data:
            data += tls.recv(65536)
        head, body = data.split(b"\r\n\r\n", 1)
        while stop_after is None or len(body) < stop_after:
            chunk = tls.recv(65536)
            if not chunk:
                break
            body += chunk
        return int(head.split()[1]), body[:stop_after] if stop_after else body


def admin_csv(stack, name):
    request = urllib.request.Request(stack.url(f"/admin/funnel?period=24h&csv={name}"),
                                     headers=GOOD)
    context = ssl.create_default_context(cafile=stack.ca)
    with urllib.request.urlopen(request, context=context, timeout=60) as r:
        return list(csv.reader(io.StringIO(r.read().decode())))


def test_real_transfers_are_counted_as_they_happened(stack, tmp_path):
    def ask(key):
        status, body = fetch(stack, f"/getinstaller?key={key}&version=0%2C1%2C0%2C220")
        assert status == 200
        return body.decode()
    # A campaign download cut in the middle of its body, then resumed.
    assert ask("acme1").endswith("/installers/campaign.exe")
    status, part = fetch(stack, "/installers/campaign.exe", stop_after=400_000)
    assert status == 200 and len(part) == 400_000
    status, rest = fetch(stack, "/installers/campaign.exe", first=len(part))
    assert status == 206 and len(part) + len(rest) == FILES["campaign.exe"]
    # A beta download never finished; a stable one in one go.
    assert ask("feed" * 10).endswith("/installers/beta.exe")
    fetch(stack, "/installers/beta.exe", stop_after=100_000)
    assert ask("plain").endswith("/installers/stable.exe")
    assert len(fetch(stack, "/installers/stable.exe")[1]) == FILES["stable.exe"]
    with open(stack.downloads_log, "ab") as f:
        f.write(b"a line nginx never wrote\n")
    wait_for(lambda: stack.store.count("downloads") == 4, "the four downloads", 60)
    wait_for(lambda: _skipped(stack) == 1, "the garbage line counted")

    rows = admin_csv(stack, "funnel")
    header = rows[0]
    got = {r[0]: dict(zip(header, r)) for r in rows[1:]}
    expect = {"acme1": ("1", "1", "1", "1", "1", "0", "1"),
              "feed" * 10: ("1", "1", "1", "0", "0", "0", "0"),
              "plain": ("1", "1", "1", "1", "0", "0", "1")}
    stages = ("asked", "sent to download", "download started", "download completed",
              "resumed", "failure reported", "no news")
    assert {k: tuple(got[k][s] for s in stages) for k in expect} == expect
    # The bytes are what nginx logged as sent: more than the client kept
    # for the cut transfer, and the overlap is counted as sent twice.
    with open(stack.downloads_log, "rb") as f:
        logged = [parse_line(line) for line in f.read().splitlines()]
    sent = {path: sum(r[5] for r in logged if r and r[2] == path) for path in
            ("/installers/campaign.exe", "/installers/beta.exe", "/installers/stable.exe")}
    def column(key, name):
        return got[key][name]
    assert int(column("acme1", "bytes sent")) == sent["/installers/campaign.exe"]
    wasted = sent["/installers/campaign.exe"] - FILES["campaign.exe"]
    share = 100 * wasted / (wasted + FILES["campaign.exe"])
    assert float(column("acme1", "wasted share (%)")) == round(share, 2)
    assert int(column("feed" * 10, "bytes sent")) == sent["/installers/beta.exe"]
    assert int(column("plain", "bytes sent")) == FILES["stable.exe"]
    assert column("plain", "wasted share (%)") == "0.0"
    assert float(column("plain", "cost (EUR)")) == round(FILES["stable.exe"] / 2**30 * 100, 2)
    bandwidth = {r[1]: r for r in admin_csv(stack, "bandwidth")[1:]}
    assert int(bandwidth["channel campaign"][2]) == sent["/installers/campaign.exe"]
    assert int(bandwidth["channel campaign"][4]) == wasted

    with open(stack.gunicorn_log) as f:
        assert "Traceback" not in f.read()  # the workers' background reading went well

    if CHROMIUM is None:
        pytest.skip("chromium is not installed (scripts/setup installs it)")
    dom = browse(stack, "/admin/funnel?period=24h", tmp_path, user="boss")
    assert "upper estimate of the installs that succeeded" in dom
    chart = re.search(r"<svg[^>]*class=\"chart\".*?</svg>", dom, re.S).group(0)
    assert len(re.findall(r"<rect class=\"bar\"", chart)) == 7
    assert "download completed: 2 (66.7 %)" in chart


def _skipped(stack):
    return ingest_position(stack.store, position_name("downloads", stack.downloads_log))[2]



def test_the_funnel_leads_with_gib_and_costs_have_two_decimals(write_config):
    from quillo_service.funnel.outcomes import BYTES_SENT
    from quillo_service.funnel.view import _cost, _notes
    config = load_config(write_config(CONFIG.replace(
        "[limits]", '[bandwidth]\nprice_per_gib = 0.01\ncurrency = "EUR"\n\n[limits]')))
    counts = [0] * len(COUNTS)
    counts[BYTES_SENT] = 533_272_627_478
    note = _notes({("day", "", "", "", STABLE): counts}, config)[2]
    assert note.startswith("496.65 GiB (533,272,627,478 bytes) of installers sent")
    assert note.endswith(": 4.97 EUR.")
    four = _cost(400 * 2 ** 30, config)
    assert (four.text, four.csv) == ("4.00", "4.00")
