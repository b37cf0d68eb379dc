"""A big publisher's month in PostgreSQL, and how the console holds up; the
background work's steady state at 10 million launches a day.

    /usr/bin/python3 bench/scale.py --requests 10000000 --layout old --json old.json
    /usr/bin/python3 bench/scale.py [--requests N] [--rollup-budget S] [--skip-drop]
                                    [--skip-steady] [--json new.json] [--beside old.json]
    /usr/bin/python3 bench/scale.py --steady-only [--tree DIR] [--hours-before H]
                                    [--steady-rate R] [--json new.json] [--beside old.json]
    /usr/bin/python3 bench/scale.py --curve 10000000,30000000,100000000 [--skip-steady]
                                    [--json curve.json]
    /usr/bin/python3 bench/scale.py --show new.json --beside old.json

A publisher with 10 million launches a day makes in a month 300 million
instruction requests, 6 million error and crash reports and about 250
million installer download lines.  This makes the same month at a smaller
scale in the same proportions (default 100 million requests, 2 million
events, about 83 million download lines: 1 event per 50 requests, 0.83
download lines per request) inside a temporary PostgreSQL server, generated
by the database itself (INSERT ... SELECT over generate_series, one UTC day
at a time, ids rising with time as the service writes them): a few bundle
keys and launcher versions, a guarded staged rollout with its arms, a few
malformed requests, error reports with codes and crashes with modules, and
downloads in one go, cut and resumed, or never finished.  Then it prints:
  - the load rate;
  - the first rollup of the month from nothing (the dashboard's daily
    counts, the funnel's outcomes, the rollouts' counts per arm), each for
    at most --rollup-budget seconds (a rollup not done by then is
    extrapolated from the share it did), and each again after an hour of
    new traffic;
  - every console view (Installs ... Rollouts) for 24 hours, 7 and 30 days,
    through the application (Flask's test client, the admin's credentials),
    rendered twice.  Target: under 1 s;
  - one evaluation of the guard (rollouts.changes.tick).  Target: under 1 s;
  - dropping the oldest day (target: under 1 s) while nginx and gunicorn
    (service/stack.py) answer /getinstaller on the same database, and
    /getinstaller's 99th percentile then against without it;
  - the store's size per million rows of each table; and, whatever its
    tables are called (pg_class and pg_inherits name them), every table
    of the schema with its partitions, TOAST and indexes: its rows, bytes
    and bytes per row, a line `bytes per launch: N` (all of them together
    over the requests stored) and what a month at 10 million launches a
    day would take at that rate;
  - with --beside, the same figures of another run (--json) beside them:
    the tables without partitions (--layout old) at 10 million requests.

Then (unless --skip-steady; alone with --steady-only, a few minutes), in a
temporary PostgreSQL of its own, the steady state at 10 million launches a
day (115.7 requests a second), in the same shapes: --hours-before hours
(default 6) loaded and all of the background work caught up over them, then
one hour (about 417 000 requests, 8 300 reports, 350 000 download lines)
and all of the background work run over it until caught up: the shared jobs
of background.py, as its `run_shared_until_caught_up` runs them, whatever
jobs are registered.  It prints:
  - `background CPU per hour of traffic: N s`: this process's CPU for that
    run (getrusage of its thread) plus that of every process of the
    PostgreSQL cluster (/proc/PID/stat, the postmaster's reaped children
    included), with the time of each job.  Target: at most 60 s;
  - the first counts of a month from nothing: the first catch-up of the
    hours before, extrapolated linearly to 300 million requests.  Target:
    at most 10 minutes;
  - /getinstaller's and /error/'s 99th percentile during the hour's
    background work, through nginx and gunicorn (service/stack.py, its
    housekeeping off: the work measured is this process's) under
    --steady-rate requests a second each (default 4), asked from a process
    of its own.  Target: at most 50 ms each;
  - the guard's simulation (bench/guard_sim.py, seeded): its targets and
    whether they are met.
--curve N,N,... (rising request counts) instead of the month at --requests:
the same month filling up, at the largest size's rate, the store grown
from one size to the next (never loaded again from nothing); at each size
all of the background work caught up and every page timed with the
console's clock at the newest rows: the menu's views and the lookups
(reports, of a code, of a crash group, requests, of a rule, one report by
its reference), for 24 hours, 7 and 30 days.  Before each size the free
disk is checked against what the rows would take (the bytes per launch
measured so far, 15 % margin and 10 GiB reserve for the WAL and the rest),
and after each day loaded; a size that would not fit ends the curve, and
the table says the largest reached and why.  It prints size x page x span
in ms and each page's largest / smallest; targets: under 1 s at every
size, at most 2x from the smallest to the largest (not judged for a page
under 100 ms at the largest: on shared cores that is noise).  Sizes not numbers, not
rising, or more than the free disk could hold at any layout are refused at
once (exit 2).  On 2 cores (shared) 500 000, 1 and 2 million requests took
9.5 minutes, the background work's catch-up after each growth most of it.
--tree DIR measures the service of another checkout (DIR/service); in one
from before the one scheduler, the background work its workers and
housekeeping did stands in (the dashboard's rollup, the funnel, the guard's
ticks until caught up, the alert detectors), and its gunicorn workers do
part of the funnel's and the guard's work on their own threads meanwhile.
bench/results/steady-b3ffeb5.json is that run of b3ffeb5, for --beside.
Not in CI.  On 2 cores, 60 million requests took 16 minutes to load (118 000
rows/s), 30 minutes in all, and 25 GiB (+ up to 8 GB of WAL); the default 100
million needs ~41 GiB and over an hour.
"""

import argparse
import base64
import http.client
import inspect
import json
import multiprocessing
import os
import shutil
import ssl
import sys
import tempfile
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _tree():
    """The checkout whose service is measured (--tree, read before the
    service is imported), this one by default."""
    for i, arg in enumerate(sys.argv):
        if arg == "--tree" and i + 1 < len(sys.argv):
            return os.path.abspath(sys.argv[i + 1])
        if arg.startswith("--tree="):
            return os.path.abspath(arg.split("=", 1)[1])
    return SOURCE


TREE = _tree()
if not os.path.isdir(os.path.join(TREE, "service", "quillo_service")):
    print(f"scale.py: error: --tree {TREE}: no service/quillo_service there", file=sys.stderr)
    sys.exit(2)
sys.path.insert(0, os.path.join(TREE, "service"))

from bulk import table_bytes, time_views  # noqa: E402
from pgcluster import Postgres  # noqa: E402
from quillo_service import create_app  # noqa: E402
from quillo_service.alerts.detectors import detect  # noqa: E402
from quillo_service.config import load_config  # noqa: E402
from quillo_service.dashboard.queries import Dashboard  # noqa: E402
from quillo_service.db import open_store  # noqa: E402
from quillo_service.funnel.outcomes import COUNTS  # noqa: E402
from quillo_service.funnel.queries import FunnelCounts  # noqa: E402
from quillo_service.rollouts import changes, counting  # noqa: E402
from quillo_service.rollouts.queries import RolloutQueries  # noqa: E402
import guard_sim  # noqa: E402  (after the service: it takes the checkout chosen here)

DAY = 86400
HOUR = 3600
MONTH = 30 * DAY
EVENTS_PER_REQUEST = 6 / 300
LINES_PER_REQUEST = 250 / 300
PASSWORD = "bench-password"
AUTH = {"Authorization": "Basic " + base64.b64encode(f"bench:{PASSWORD}".encode()).decode()}
RULE = "new release"
STEPS = (10, 25, 50)        # the guarded rule's shares, one step every STEP_DAYS
STEP_DAYS = 10
CLIENTS = 2_000_000         # client addresses (and machines) at 100 M requests; scaled
KEYS = 200
BASE = "https://setup.example"
CONFIG = """\
database = "unused.db"
default_channel = "stable"
client_secret = "bench.secret"

[limits]
events_per_minute = 1000000000

[channels]
stable = "{base}/installers/stable.exe"
beta = "{base}/installers/beta.exe"

[[rules]]
name = "old launchers"
below_version = "0,1,0,150"
page = "{base}/notice/update"

[[rules]]
name = "new release"
key_prefix = "campaign0"
rollout = {last}
steps = {steps}
step_hours = {step_hours}
channel = "beta"

[admin]
user = "bench"
password_hash = "{hash}"
"""
PG_SETTINGS = {"shared_buffers": "3GB", "work_mem": "256MB", "maintenance_work_mem": "1GB",
               "max_wal_size": "8GB", "checkpoint_timeout": "30min", "autovacuum": "off",
               "max_connections": "200", "effective_cache_size": "16GB",
               "random_page_cost": "1.1"}

# Launcher versions by share of requests (percent, cumulative), the two
# oldest below the "old launchers" rule.
VERSIONS = (("0,1,0,230", 40), ("0,1,0,220", 65), ("0,1,0,210", 80), ("0,1,0,200", 92),
            ("0,1,0,150", 97), ("0,1,0,140", 100))
CODES = (188, 334, 137, 382, 265, 73, 206, 201, 179, 239, 484, 475)


def keys():
    """The campaigns' bundle keys; those starting campaign0 are the rule's."""
    import hashlib
    return [f"campaign{i:03d}-" + hashlib.md5(b"key%d" % i).hexdigest() for i in range(KEYS)]


def _hash(expr, seed):
    """A fixed pseudo-random non-negative integer per value, in SQL."""
    return f"(hashint8extended({expr}, {seed}) & 2147483647)"


# -- the month, made by the database -------------------------------------------------

def _share_sql(start):
    """The guarded rule's share (percent) at time `t`, as its steps went."""
    cases = " ".join(f"WHEN t < {start + (i + 1) * STEP_DAYS * DAY} THEN {s}"
                     for i, s in enumerate(STEPS[:-1]))
    return f"CASE {cases} ELSE {STEPS[-1]} END"


def load_requests(conn, a, b, rate, first_index, start, clients):
    """Requests evenly in [a, b) at `rate` a second, index from first_index
    (the source of every pseudo-random choice, so a rerun makes the same)."""
    n = int(round((b - a) * rate))
    if n <= 0:
        return 0
    version = "CASE " + " ".join(f"WHEN v < {c} THEN '{name}'" for name, c in VERSIONS) + " END"
    old = "v >= 92"  # the versions below 0,1,0,150
    conn.execute(f"""
        INSERT INTO requests (recorded_at, client, bundle_key, version, machine_id, answer,
                              rule, malformed, cut)
        SELECT t, md5('client' || c),
               CASE WHEN m < 50 AND m >= 40 THEN NULL ELSE (%(keys)s::text[])[k + 1] END,
               CASE WHEN m < 50 AND m >= 40 THEN NULL ELSE {version} END,
               CASE WHEN m < 50 THEN NULL
                    ELSE upper(md5('machine' || c) || lpad(to_hex(c), 8, '0')) END,
               CASE WHEN m < 50 OR m >= 9995 THEN %(stable)s
                    WHEN {old} THEN %(page)s
                    WHEN k < 100 AND bucket < {_share_sql(start)} THEN %(beta)s
                    ELSE %(stable)s END,
               CASE WHEN m < 50 THEN 'default' WHEN m >= 9995 THEN 'fallback'
                    WHEN {old} THEN 'old launchers'
                    WHEN k < 100 AND bucket < {_share_sql(start)} THEN %(rule)s
                    ELSE 'default' END,
               CASE WHEN m < 40 THEN 'id' WHEN m < 50 THEN 'id,key,version' ELSE '' END, ''
        FROM (SELECT t, c, k, v, m, {_hash('c', 5)} %% 100 AS bucket
              FROM (SELECT %(a)s + (i - %(first)s + 0.5) / %(rate)s AS t,
                           {_hash('i', 1)} %% %(clients)s AS c,
                           {_hash('i', 2)} %% {KEYS} AS k,
                           {_hash('i', 3)} %% 100 AS v,
                           {_hash('i', 4)} %% 10000 AS m
                    FROM generate_series(%(first)s::bigint, %(last)s::bigint) AS i) AS g0) AS g
        """,  # in generate_series' order, which is time order: no sort needed
                 {"keys": keys(), "stable": f"GET:{BASE}/installers/stable.exe",
                  "beta": f"GET:{BASE}/installers/beta.exe", "page": f"GOTO:{BASE}/notice/update",
                  "rule": RULE, "a": a, "first": first_index, "last": first_index + n - 1,
                  "rate": rate, "clients": clients})
    return n


def load_events(conn, store, a, b):
    """Error and crash reports logged in [a, b): one request in 50 has one,
    1 to 60 minutes after it, from its client (a crash: 8 in 100)."""
    lo, hi = store.first_id("requests", a - HOUR - 60), store.first_id("requests", b)
    offsets = "(ARRAY[6699, 16144, 21984])"
    codes = f"(ARRAY{list(CODES)})"
    return conn.execute(f"""
        INSERT INTO events (recorded_at, client, reference, kind, source, code, message,
                            error, version, os, bundle_key, code_number, hresult, module,
                            module_base, address, module_offset, exception_code, malformed, cut)
        SELECT at, client, translate(upper(substr(md5('ref' || id), 1, 4) || '-' ||
                                           substr(md5('ref' || id), 5, 4)), '0189', 'QRST'),
               CASE WHEN crash THEN 'crash' ELSE 'error' END,
               CASE WHEN crash THEN 'Gatherkit' ELSE 'gatherkit' END,
               CASE WHEN crash THEN '0' ELSE code::text END,
               CASE WHEN crash THEN '0x00400000:0x' || upper(to_hex(4194304 + off))
                                    || ':c0000005:Quillo-setup.exe' ELSE 'm' END,
               CASE WHEN crash THEN '0x0000023e' ELSE '0x80072efd' END,
               CASE WHEN crash THEN '0' ELSE version END,
               CASE WHEN crash THEN '0' ELSE (ARRAY['10.0', '6.1', '6.3'])[h %% 3 + 1] END,
               CASE WHEN crash THEN '0' ELSE bundle_key END,
               CASE WHEN crash THEN 0 ELSE code END,
               CASE WHEN crash THEN 574 ELSE 2147954429 END,
               CASE WHEN crash THEN 'Quillo-setup.exe' END,
               CASE WHEN crash THEN 4194304 END,
               CASE WHEN crash THEN 4194304 + off END,
               CASE WHEN crash THEN off END,
               CASE WHEN crash THEN 3221225477 END, '', ''
        FROM (SELECT id, client, version, bundle_key,
                     recorded_at + 60 + {_hash('id', 6)} %% 3540 AS at,
                     {_hash('id', 7)} %% 100 < 8 AS crash,
                     {_hash('id', 8)} AS h,
                     {codes}[{_hash('id', 9)} %% {len(CODES)} + 1] AS code,
                     {offsets}[{_hash('id', 10)} %% 3 + 1] AS off
              FROM requests WHERE id >= %s AND id < %s AND bundle_key IS NOT NULL
                AND {_hash('id', 11)} %% 1000 < %s) AS r
        WHERE at >= %s AND at < %s ORDER BY at""",
                        (lo, hi, round(1000 * EVENTS_PER_REQUEST / 0.995), a, b)).rowcount


def load_downloads(conn, store, a, b):
    """nginx's log lines of installer downloads that ended in [a, b): of the
    requests answered with an installer, 24 in 100 never download it, 57
    get it in one go, 12 are cut and resume with a Range, 7 are cut and
    never come back."""
    lo, hi = store.first_id("requests", a - 3 * HOUR), store.first_id("requests", b)
    return conn.execute(f"""
        WITH r AS (
            SELECT recorded_at AS t, client,
                   CASE WHEN answer LIKE '%%beta.exe' THEN '/installers/beta.exe'
                        ELSE '/installers/stable.exe' END AS path,
                   CASE WHEN answer LIKE '%%beta.exe' THEN 52000000
                        ELSE 48000000 END::bigint AS size,
                   {_hash('id', 12)} %% 100 AS fate, {_hash('id', 13)} AS h
            FROM requests WHERE id >= %s AND id < %s AND answer LIKE 'GET:%%'),
        d AS (
            SELECT t, client, path, size, fate, h,
                   t + 0.2 + (h %% 30000) / 1000.0 AS began,
                   size / 10 + (h / 30000) %% (size * 8 / 10) AS cut,
                   1e6 + (h %% 19000) * 1000.0 AS speed
            FROM r WHERE fate >= 24),
        lines AS (
            SELECT began + size / speed AS at, client, path, 200 AS status, 0::bigint AS first,
                   size AS sent, size, size / speed AS seconds, 1 AS complete,
                   NULL::text AS range_asked
            FROM d WHERE fate < 81
            UNION ALL
            SELECT began + cut / 2e6, client, path, 200, 0, cut + 65536, size, cut / 2e6, 0, NULL
            FROM d WHERE fate >= 81
            UNION ALL
            SELECT began + cut / 2e6 + 1 + h %% 19 + (size - cut) / 2e6, client, path, 206, cut,
                   size - cut, size, (size - cut) / 2e6, 1, 'bytes=' || cut || '-'
            FROM d WHERE fate >= 81 AND fate < 93)
        INSERT INTO downloads (recorded_at, client, path, status, first_byte, sent, size,
                               seconds, complete, range_asked)
        SELECT at, client, path, status, first, sent, size, seconds, complete, range_asked
        FROM lines WHERE at >= %s AND at < %s ORDER BY at""", (lo, hi, a, b)).rowcount


def blocks(start, end):
    """[start, end) cut at UTC midnights."""
    out, a = [], start
    while a < end:
        b = min((a // DAY + 1) * DAY, end)
        out.append((a, b))
        a = b
    return out


def prepare_days(store, start, end):
    """Where the tables are split by day, the days of [start, end): the
    service makes only the days from today on (housekeeping), and a day
    without its partition would go to the DEFAULT one."""
    try:
        from quillo_service.db import partitions
    except ImportError:  # a layout without partitions
        return
    try:
        from quillo_service.db.packed import stored
    except ImportError:  # a tree whose rows are not packed: the tables are their names
        def stored(conn, table):
            return table
    conn = store._conn()
    for logical in partitions.PARTITIONED:
        table = stored(conn, logical)
        if not partitions.is_partitioned(conn, table):
            continue
        have = {day for _, day, attached in partitions.day_tables(conn, table) if attached}
        for day in range(int(start // DAY), int((end - 1e-6) // DAY) + 1):
            if day not in have:
                with store.transaction(patient=True) as c:
                    partitions.make_day(c, table, day)


class Stopped(Exception):
    """A load stopped between two days (the disk filling up); args[0] says
    why, .rows what was loaded by then."""


def load(store, start, end, rate, index, clients, month_start, progress=True, check=None):
    """The traffic of [start, end); returns (rows by table, seconds, next index).
    check(), if given, runs after each day: a text it returns stops the
    load there (Stopped)."""
    conn = store._conn()
    store._patience(conn, True)
    prepare_days(store, start, end)
    rows = {"requests": 0, "events": 0, "downloads": 0}
    began = time.monotonic()
    for a, b in blocks(start, end):
        n = load_requests(conn, a, b, rate, index, month_start, clients)
        index += n
        rows["requests"] += n
        rows["events"] += load_events(conn, store, a, b)
        rows["downloads"] += load_downloads(conn, store, a, b)
        why = check and check()
        if why:
            e = Stopped(why)
            e.rows, e.index = rows, index
            raise e
        if progress:
            took = time.monotonic() - began
            print(f"  loaded to {time.strftime('%m-%d %H:%M', time.gmtime(b))} UTC: "
                  f"{sum(rows.values()):,} rows in {took:.0f} s "
                  f"({sum(rows.values()) / max(took, 1e-9):,.0f} rows/s)", flush=True)
    return rows, time.monotonic() - began, index


def guarded_history(store, start, upto=float("inf")):
    """The rule started with the month and advanced every STEP_DAYS, as the
    guard would have done it (the audit says when, for the arms' steps),
    up to `upto`: a store that grows as its clock moves gets the later
    steps from advance_history."""
    r = RolloutQueries(store)
    r.start(RULE, start, "bench", "the month's rollout")
    advance_history(store, start, upto)
    r.begin_positions(0, 0)


def advance_history(store, start, upto):
    """The guard's advances of the rule due by `upto` and not yet made."""
    r = RolloutQueries(store)
    for step in range(1, len(STEPS)):
        at = start + step * STEP_DAYS * DAY
        row = r.states()[RULE]
        if at > upto or row["step"] >= step:
            continue
        r.change(row, at, "guard", "advance", f"step held {STEP_DAYS * 24} hours",
                 step=step, since=at)


# -- measuring ----------------------------------------------------------------------

def funnel_catch_up(funnel, now):
    """The funnel caught up in full: a tree that still refreshes recent
    rows is told to make them now."""
    if "refresh" in inspect.signature(funnel.catch_up).parameters:
        return funnel.catch_up(now=now, budget=float("inf"), refresh=0)
    return funnel.catch_up(now=now, budget=float("inf"))


def timed(fn, *args, **kwargs):
    t = time.monotonic()
    out = fn(*args, **kwargs)
    return time.monotonic() - t, out


def first_rollups(store, config, budget):
    """Each rollup from nothing for at most `budget` seconds: {name: (seconds,
    share of the month done, extrapolated seconds for all of it)}."""
    out = {}
    first = store.read("SELECT MIN(recorded_at) FROM requests")[0][0]
    now = time.time()

    def share(done_to, target):
        return max(0.0, min(1.0, (done_to - first) / max(target - first, 1e-9)))

    s, last = timed(Dashboard(store).catch_up, now=now, budget=budget)
    top = store.read("SELECT MAX(id) FROM requests")[0][0]
    done = min(1.0, last / max(top, 1))
    out["dashboard rollup"] = (s, done)
    f = FunnelCounts(store)
    s, upto = timed(f.catch_up, now=now, budget=budget)
    out["funnel rollup"] = (s, share(upto or first, now - f.horizon))
    s, taken = timed(counting.count, store, now, budget=budget)
    out["rollouts counting"] = (s, min(1.0, taken[0] / max(top, 1)))
    return out


def skip_to_now(store, config, start):
    """Where a first rollup ran out of budget, move its position to where a
    caught-up rollup would stand, so that the hour after and the pages
    measure the steady state, not the backlog.  The days skipped get the
    rows of the last whole day the rollup did make (the funnel's daily and
    hourly rows, the rollouts' hourly counts per arm), so that the pages
    read as many rollup rows as a month rolled up in full would give them.
    Returns what was filled so."""
    now = time.time()
    f = FunnelCounts(store)
    target = int((now - f.horizon) // HOUR * HOUR)
    p = store.placeholder
    filled = []
    cols = "bundle_key, version, rule, answer, " + ", ".join(COUNTS)
    # A tree that links records as they come keeps no funnel_recent and no
    # funnel position: its links catch up below, from where they began.
    old_funnel = store.read("SELECT to_regclass('funnel_recent')")[0][0] is not None
    with store.transaction(patient=True) as conn:
        upto = store.position("funnel") or 0
        if old_funnel and upto < target:
            template = upto // DAY - 1  # the last whole day rolled up
            if template * DAY >= start:
                n = conn.execute(
                    f"INSERT INTO funnel_daily (day, {cols}) SELECT d, {cols} FROM funnel_daily, "
                    f"generate_series({p}::bigint, {p}::bigint) AS d WHERE day = {p} "
                    "ON CONFLICT DO NOTHING", (upto // DAY + 1, target // DAY - 1,
                                               template)).rowcount
                h0 = max(-(-upto // HOUR), target // HOUR - 72)
                n += conn.execute(
                    f"INSERT INTO funnel_hourly (hour, {cols}) SELECT h, {cols} "
                    f"FROM funnel_hourly, generate_series({p}::bigint, {p}::bigint) AS h "
                    f"WHERE hour = {p} * 24 + h %% 24 ON CONFLICT DO NOTHING",
                    (h0, target // HOUR - 1, template)).rowcount
                filled.append(f"funnel: {n:,} rollup rows copied from day {template}")
        if old_funnel:
            store.set_position(conn, "funnel", target)
            conn.execute(f"DELETE FROM funnel_recent WHERE hour < {p}", (target // HOUR,))
        skip = now - 2 * HOUR
        counted = store.position("rollout requests") or 0
        want = store.first_id("requests", skip) - 1
        if counted < want:
            at = store.read(f"SELECT recorded_at FROM requests WHERE id <= {p} "
                            "ORDER BY id DESC LIMIT 1", (counted,))
            upto = at[0][0] if at else start
            template = int(upto // DAY) - 1
            if template * DAY >= start:
                advances = RolloutQueries(store).advances().get(RULE, [])
                step = "CASE " + " ".join(f"WHEN h * 3600 < {t} THEN {i}"
                                          for i, t in enumerate(advances)) + \
                    f" ELSE {len(advances)} END"
                n = conn.execute(
                    f"INSERT INTO rollout_counts (rule, hour, step, arm, requests, failures) "
                    f"SELECT rule, h, {step}, arm, requests, failures FROM rollout_counts, "
                    f"generate_series({p}::bigint, {p}::bigint) AS h "
                    f"WHERE hour = {p} * 24 + h %% 24 ON CONFLICT DO NOTHING",
                    (int(upto // HOUR) + 1, int(skip // HOUR) - 1, template)).rowcount
                filled.append(f"rollouts: {n:,} hourly counts copied from day {template}")
            store.set_position(conn, "rollout requests", want)
            store.set_position(conn, "rollout events",
                               store.first_id("events", skip) - 1)
    Dashboard(store).catch_up(now=now, budget=float("inf"))
    funnel_catch_up(f, now)
    counting.count(store, now, budget=float("inf"))
    return filled


def rollups_after(store, config):
    now = time.time()
    out = {}
    out["dashboard rollup"] = timed(Dashboard(store).catch_up, now=now, budget=float("inf"))[0]
    out["funnel rollup"] = timed(funnel_catch_up, FunnelCounts(store), now)[0]
    out["rollouts counting"] = timed(counting.count, store, now,
                                     budget=float("inf"))[0]
    return out


PERIODS = {"24h": DAY, "7d": 7 * DAY, "30d": MONTH}


def lookup_pages(store, now):
    """{(page, period): address} of the console's lookups (admin/lookup.py):
    the period's reports, those of one code and of one crash group, the
    period's requests, those of one rule, and one report by its reference
    (the first reported in the period, the oldest rows a lookup finds)."""
    pages = {}
    try:
        from quillo_service import links
        group = links.group_text(links.Group("Quillo-setup.exe", 6699, 3221225477))
    except (ImportError, AttributeError):  # a tree without crash groups
        group = None
    rule = RULE.replace(" ", "+")
    for period, span in PERIODS.items():
        q = f"period={period}"
        pages[("lookup: reports", period)] = f"/admin/events?{q}"
        pages[("lookup: reports of a code", period)] = f"/admin/events?code={CODES[0]}&{q}"
        if group:
            pages[("lookup: crashes of a group", period)] = f"/admin/events?group={group}&{q}"
        pages[("lookup: requests", period)] = f"/admin/requests?{q}"
        pages[("lookup: requests of a rule", period)] = f"/admin/requests?rule={rule}&{q}"
        first = store.first_id("events", now - span)
        found = store.read(f"SELECT reference FROM events WHERE id >= {store.placeholder} "
                           "ORDER BY id LIMIT 1", (first,))
        if found and found[0][0]:
            pages[("lookup: one report", period)] = f"/admin/event/{found[0][0]}?{q}"
    return pages


def time_pages(client, pages):
    """{key: [first, second]} seconds of each address, asked twice."""
    out = {}
    for key, address in pages.items():
        runs = []
        for _ in range(2):
            t = time.monotonic()
            r = client.get(address, headers=AUTH)
            runs.append(time.monotonic() - t)
            assert r.status_code == 200, (address, r.status_code)
        out[key] = runs
    return out


def views(config_path, database, now=None):
    """{(view, period): [first, second]} seconds of each page through the
    app: every view of the menu and the lookups.  Given `now`, the console's
    clock stands there (a store whose newest records are older than the
    real clock)."""
    app = create_app(config_path, database=database)
    state = app.extensions["quillo"]
    # A tree from before the one scheduler has a worker loop instead.
    (getattr(state, "scheduler", None) or state.worker_loop).stop()
    if now is not None:
        state.clock = lambda: now
    client = app.test_client()
    out = time_views(client, AUTH)
    out.update(time_pages(client, lookup_pages(state.store, state.clock())))
    state.store.close()
    return out


def guard_ticks(store, config):
    runs = [timed(changes.tick, store, config, now=time.time())[0] for _ in range(3)]
    return runs


MONTH_LAUNCHES = 10e6 * 30   # a month at 10 million launches a day


def physical_tables(store):
    """[(table, bytes, rows, parts)] of every ordinary and partitioned table
    of the store's schema as pg_class and pg_inherits have them, whatever
    their names: a partition's bytes and rows counted in its topmost parent,
    TOAST and indexes included; rows as ANALYZE last counted them."""
    return [(name, int(size), int(rows), int(parts)) for name, size, rows, parts in store.read("""
        WITH RECURSIVE tree AS (
            SELECT c.oid AS top, c.oid AS rel FROM pg_class c
            JOIN pg_namespace n ON n.oid = c.relnamespace
            WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p')
              AND NOT EXISTS (SELECT 1 FROM pg_inherits i WHERE i.inhrelid = c.oid)
            UNION ALL
            SELECT tree.top, i.inhrelid FROM tree JOIN pg_inherits i ON i.inhparent = tree.rel)
        SELECT t.relname, SUM(pg_total_relation_size(tree.rel)),
               COALESCE(SUM(GREATEST(c.reltuples, 0)) FILTER (WHERE c.relkind = 'r'), 0),
               COUNT(*) - 1
        FROM tree JOIN pg_class c ON c.oid = tree.rel JOIN pg_class t ON t.oid = tree.top
        GROUP BY t.relname ORDER BY 2 DESC, 1""")]


def vacuum_dead(store):
    """VACUUM the tables whose dead rows outnumber the live ones (queues the
    background work emptied, rollups it rewrote): the bench loads with
    autovacuum off, and the service's server would have vacuumed them, its
    files' empty ends cut off.  Returns their names."""
    conn = store._conn()
    names = [r[0] for r in store.read(
        "SELECT quote_ident(schemaname) || '.' || quote_ident(relname) FROM pg_stat_user_tables "
        "WHERE schemaname = current_schema() AND n_dead_tup > n_live_tup AND n_dead_tup > 1000 "
        "ORDER BY 1")]
    for name in names:  # names from the catalog, quoted by the server
        conn.execute(f"VACUUM {name}")
    return names


def store_size(store, launches):
    """Every table and index of the store, and per launch (request)."""
    vacuumed = vacuum_dead(store)
    store._conn().execute("ANALYZE")  # the row counts read
    tables = physical_tables(store)
    total = sum(b for _, b, _, _ in tables)
    return {"tables": [list(t) for t in tables], "bytes": total, "launches": launches,
            "bytes_per_launch": total // max(launches, 1), "vacuumed": vacuumed}


def show_store(st, old=None, exact=True):
    """The store's size by table; `exact`: the `bytes per launch: N` line
    of its own (a run prints it for its main store only, once)."""
    print(f"\nstore: {len(st['tables'])} tables, {st['bytes'] / 1e9:,.2f} GB in all (each with "
          f"its partitions, TOAST and indexes), {st['launches']:,} launches")
    print("| table | rows (as ANALYZE counted them) | bytes | bytes per row |")
    print("|---|---|---|---|")
    for name, b, n, parts in st["tables"]:
        split = f" ({parts} partitions)" if parts else ""
        print(f"| {name}{split} | {n:,} | {b:,} | {b / n:,.0f} |" if n else
              f"| {name}{split} | 0 | {b:,} | - |")
    if st.get("vacuumed"):
        print(f"(vacuumed first, as the server's autovacuum would have, being off for the "
              f"load: {', '.join(st['vacuumed'])})")
    per = st["bytes_per_launch"]
    print(f"bytes per launch: {per}" if exact else f"bytes per launch (this store): {per}")
    print(f"a month at 10 million launches a day: ~{per * MONTH_LAUNCHES / 1e9:,.0f} GB "
          f"({MONTH_LAUNCHES:,.0f} launches x {per} bytes, GB = 10^9 bytes)")
    if old:
        print(f"beside it: bytes per launch {old['bytes_per_launch']}, a month "
              f"~{old['bytes_per_launch'] * MONTH_LAUNCHES / 1e9:,.0f} GB")


def sizes(store, rows):
    tables = ("requests", "events", "downloads", "requests_daily", "funnel_daily",
              "rollout_counts")
    return {table: (size, rows.get(table) or store.read(f"SELECT COUNT(*) FROM {table}")[0][0])
            for table, size in table_bytes(store, tables).items()}


# -- dropping a day under load -----------------------------------------------------

class Asker:
    """Threads asking /getinstaller through nginx as fast as it answers,
    each answer's (start, seconds) kept."""

    def __init__(self, port, ca, threads=6, rate=None, path=None):
        self.port, self.threads = port, threads
        self.rate = rate  # each thread's requests a second; None: as fast as answered
        self.path = path or self._ask
        self.context = ssl.create_default_context(cafile=ca)
        self.samples = []
        self.errors = 0
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._workers = []

    @staticmethod
    def _ask(n, i, ks=keys()):
        return (f"/getinstaller?key={ks[(n * 7 + i) % KEYS]}&version=0%2C1%2C0%2C220"
                f"&id={(n * 1000003 + i) % 10**8:040X}")

    def _run(self, n):
        conn = None
        i = 0
        began = time.monotonic()
        while not self._stop.is_set():
            i += 1
            if self.rate:  # evenly spaced, whatever each answer took
                self._stop.wait(max(0.0, began + i / self.rate - time.monotonic()))
            path = self.path(n, i)
            t = time.monotonic()
            try:
                if conn is None:
                    conn = http.client.HTTPSConnection("localhost", self.port,
                                                       context=self.context, timeout=10)
                conn.request("GET", path)
                resp = conn.getresponse()
                resp.read()
                ok = resp.status == 200
            except (OSError, http.client.HTTPException):
                ok = False
                conn = None
            took = time.monotonic() - t
            with self._lock:
                if ok:
                    self.samples.append((t, took))
                else:
                    self.errors += 1

    def __enter__(self):
        for n in range(self.threads):
            w = threading.Thread(target=self._run, args=(n,), daemon=True)
            w.start()
            self._workers.append(w)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        for w in self._workers:
            w.join(15)

    def between(self, a, b):
        with self._lock:
            return [s for t, s in self.samples if a <= t < b]


def p99(samples):
    if not samples:
        return float("nan")
    samples = sorted(samples)
    return samples[min(len(samples) - 1, int(0.99 * len(samples)))] * 1000


def drop_day(store, day):
    """Remove the oldest day, `day` (days since 1970), as retention does it:
    its partitions where the tables are split by day, else its rows."""
    return store.purge(days=0, now=(day + 1) * DAY)


def drop_under_load(work, config_path, pg, store, day):
    from stack import App, Stack, free_port, local_host
    port = free_port()
    out = {}
    state = os.path.join(work, "stack")
    with Stack(local_host(state, port, client_rate="1000000r/s", client_burst=1000000),
               App(state, config_path, database=pg.url, workers=2, threads=4)) as stack:
        with Asker(port, stack.ca) as asker:
            time.sleep(3)  # warm
            a = time.monotonic()
            time.sleep(6)
            b = time.monotonic()
            out["without"] = asker.between(a, b)
            t0 = time.monotonic()
            out["drop_s"], out["dropped"] = timed(drop_day, store, day)
            t1 = time.monotonic()
            # Requests that started while the drop ran, and in the second after.
            time.sleep(2)
            out["during"] = asker.between(t0, t1 + 1.0)
            out["errors"] = asker.errors
    return out


# -- the steady state at 10 million launches a day --------------------------------

STEADY_RATE = 10e6 / DAY    # requests a second at 10 million launches a day
HOURS_BEFORE = 6            # loaded and caught up before the measured hour: the funnel
                            # rolls up ~3.2 hours behind, downloads come up to 3 after
ERROR_PATH = ("/error/?source=gatherkit&code=201&message=&error=0x80004005"
              "&version=0%2C1%2C0%2C220&os=6%2E1&key={key}")
LATENCY_TARGET_MS = 50.0
CPU_TARGET_S = 60.0         # background CPU per hour of traffic
MONTH_TARGET_S = 600.0      # the first counts of a month at 10 million a day
MONTH_REQUESTS = 300e6


def background_until_caught_up(store, config, now):
    """All of the background work over what is stored, until caught up:
    the one scheduler's run, or in a tree without it the work its workers
    and housekeeping did.  Returns {job: seconds}."""
    try:
        from quillo_service.background import run_shared_until_caught_up
    except ImportError:
        pass
    else:
        return run_shared_until_caught_up(store, config, now)
    spent = {}

    def step(name, fn, *args, **kwargs):
        t = time.monotonic()
        out = fn(*args, **kwargs)
        spent[name] = spent.get(name, 0.0) + time.monotonic() - t
        return out
    step("rollup", Dashboard(store).catch_up, now, budget=float("inf"))
    step("funnel", FunnelCounts(store).catch_up, now, budget=float("inf"), refresh=0)
    while step("guard", changes.tick, store, config, now) is False:
        pass
    step("alert detectors", detect, store, Dashboard(store), config, now)
    return spent


def _cluster_cpu(pg):
    """CPU seconds (user + system) of the temporary cluster so far: every
    process of it, and the backends that ended (the postmaster's children's
    times, counted once it has reaped them)."""
    ticks = os.sysconf("SC_CLK_TCK")
    with open(os.path.join(pg.data_dir, "postmaster.pid")) as f:
        root = int(f.readline())
    stats = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        stats[int(pid)] = (int(fields[1]), [int(x) for x in fields[11:15]])
    total = sum(stats[root][1]) if root in stats else 0
    total += sum(sum(st[:2]) for pid, (parent, st) in stats.items() if parent == root)
    return total / ticks


def _own_cpu():
    """This thread's CPU seconds: the background work runs here, the
    askers on threads of their own."""
    import resource
    r = resource.getrusage(resource.RUSAGE_THREAD)
    return r.ru_utime + r.ru_stime


def _gunicorn_cpu(stack):
    ticks = os.sysconf("SC_CLK_TCK")
    total = 0.0
    for name, proc in stack.procs:
        if name != "gunicorn":
            continue
        pids = [proc.pid]
        try:
            with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
                pids += [int(p) for p in f.read().split()]
        except OSError:
            pass
        for pid in pids:
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += (int(fields[11]) + int(fields[12])) / ticks
            except OSError:
                pass
    return total


def measured(pg, fn, *args):
    """fn(*args) with the wall time and CPU time it took here and in the
    database: (result, {wall, own, postgres})."""
    wall, own, db = time.monotonic(), _own_cpu(), _cluster_cpu(pg)
    out = fn(*args)
    return out, {"wall": time.monotonic() - wall, "own": _own_cpu() - own,
                 "postgres": _cluster_cpu(pg) - db}


def steady(args, work, config_path, config):
    """One hour at 10 million launches a day after HOURS_BEFORE hours
    already caught up, and the background work over it, with the answers'
    latency meanwhile; the first catch-up of the hours before is the month's
    first counts at a smaller scale."""
    from stack import App, Stack, free_port, local_host
    res = {"tree": TREE, "rate": STEADY_RATE, "hours_before": args.hours_before}
    clients = max(1000, int(CLIENTS * 10e6 * 30 / 100e6))
    with Postgres(durable=False, settings=PG_SETTINGS) as pg:
        from quillo_service.clients import load_secret
        store = open_store(pg.url, client_secret=load_secret(os.path.join(work, "bench.secret")))
        store.check()
        hour_end = time.time() - 60  # every record of the hour older than the counts' lags
        hour_start = hour_end - HOUR
        month_start = (hour_end - MONTH) // DAY * DAY
        guarded_history(store, month_start)
        print(f"steady state: {args.hours_before} hours before the hour, "
              f"{STEADY_RATE:,.1f} requests/s ...", flush=True)
        index = int((hour_start - args.hours_before * HOUR - month_start) * STEADY_RATE)
        rows, load_s, index = load(store, hour_start - args.hours_before * HOUR, hour_start,
                                   STEADY_RATE, index, clients, month_start, progress=False)
        store._conn().execute("ANALYZE")
        res["before_rows"] = rows
        spent, cpu = measured(pg, background_until_caught_up, store, config, hour_start)
        res["before"] = dict(cpu, jobs=spent)
        print(f"  the hours before ({rows['requests']:,} requests) from nothing: "
              f"{cpu['wall']:.1f} s", flush=True)
        rows, load_s, index = load(store, hour_start, hour_end, STEADY_RATE, index, clients,
                                   month_start, progress=False)
        store._conn().execute("ANALYZE")
        res["hour_rows"] = rows
        res["hour_load_s"] = load_s
        print(f"  the hour: {rows} in {load_s:.0f} s", flush=True)
        port = free_port()
        state = os.path.join(work, "steady-stack")
        # The service only answers here: the background work is this
        # process's, measured.
        app = App(state, config_path, database=pg.url, workers=2, threads=4,
                  env={"QUILLO_SERVICE_HOUSEKEEPING": "off"})
        with Stack(local_host(state, port, client_rate="1000000r/s", client_burst=1000000),
                   app) as stack:
            # The askers in a process of their own: in this one they would
            # wait for the work's hold on the interpreter, and time that.
            ctx = multiprocessing.get_context("spawn")
            stop, out = ctx.Event(), ctx.Queue()
            asking = ctx.Process(target=ask_steadily, args=(port, stack.ca, args.steady_rate,
                                                            stop, out), daemon=True)
            asking.start()
            try:
                time.sleep(3)  # started and warm
                a = time.monotonic()
                g0 = _gunicorn_cpu(stack)
                spent, cpu = measured(pg, background_until_caught_up, store, config,
                                      time.time())
                cpu["gunicorn"] = _gunicorn_cpu(stack) - g0
                b = time.monotonic()
            finally:
                stop.set()
            answers = out.get(timeout=60)
            asking.join(30)
            res["latency"] = {}
            for name, (samples, errors) in answers.items():
                during = [took for t, took in samples if a <= t < b]
                res["latency"][name] = {"p99": p99(during), "n": len(during), "errors": errors}
        res["hour"] = dict(cpu, jobs=spent)
        res["store"] = store_size(store, res["before_rows"]["requests"]
                                  + res["hour_rows"]["requests"])
        store.close()
    requests_before = res["before_rows"]["requests"]
    res["month_s"] = res["before"]["wall"] * MONTH_REQUESTS / max(requests_before, 1)
    g = guard_sim.evaluate("new")
    res["guard_sim"] = g
    return res


def ask_steadily(port, ca, rate, stop, out):
    """/getinstaller and /error/ at `rate` a second each until `stop`; puts
    {path: ([(start, seconds)], failures)} on `out`."""
    ks = keys()
    askers = {"/getinstaller": Asker(port, ca, threads=1, rate=rate),
              "/error/": Asker(port, ca, threads=1, rate=rate,
                               path=lambda n, i: ERROR_PATH.format(key=ks[i % KEYS]))}
    for asker in askers.values():
        asker.__enter__()
    stop.wait()
    for asker in askers.values():
        asker.__exit__(None, None, None)
    out.put({name: (a.samples, a.errors) for name, a in askers.items()})


def show_steady(r, old=None, main_store=True):
    h = r["hour"]
    cpu = h["own"] + h["postgres"]
    print(f"\nSteady state at 10 million launches a day ({r['rate']:,.1f} requests/s), "
          f"service from {r['tree']}: one hour of "
          + ", ".join(f"{t} {n:,}" for t, n in r["hour_rows"].items())
          + f", after {r['hours_before']} hours caught up")
    print(f"background CPU per hour of traffic: {cpu:.1f} s")
    cols = ["", "this run"] + (["beside it"] if old else [])
    print("| " + " | ".join(cols) + " |")
    print("|" + "---|" * len(cols))

    def line(label, cell, old_cell=None):
        print(f"| {label} | {cell} |" + (f" {old_cell or '-'} |" if old else ""))

    def cpu_cell(x):
        c = x["hour"]["own"] + x["hour"]["postgres"]
        return (f"{c:.1f} s ({x['hour']['own']:.1f} here + {x['hour']['postgres']:.1f} "
                f"PostgreSQL; {x['hour']['wall']:.1f} s wall)"
                + ("" if c <= CPU_TARGET_S else " MISSED"))

    line(f"background CPU per hour of traffic (target at most {CPU_TARGET_S:.0f} s)",
         cpu_cell(r), old and cpu_cell(old))
    line("  of which, by job (s wall)",
         ", ".join(f"{k} {v:.1f}" for k, v in h["jobs"].items()),
         old and ", ".join(f"{k} {v:.1f}" for k, v in old["hour"]["jobs"].items()))
    line("  gunicorn meanwhile (answering; CPU s)", f"{h.get('gunicorn', 0):.1f}",
         old and f"{old['hour'].get('gunicorn', 0):.1f}")

    def month_cell(x):
        b = x["before"]
        return (f"~{x['month_s']:,.0f} s (the first {x['before_rows']['requests']:,} requests "
                f"in {b['wall']:.1f} s, CPU {b['own']:.1f} + {b['postgres']:.1f} s)"
                + ("" if x["month_s"] <= MONTH_TARGET_S else " MISSED"))
    line(f"first counts of a month (300 M requests) from nothing, extrapolated "
         f"(target at most {MONTH_TARGET_S:.0f} s)", month_cell(r), old and month_cell(old))
    for name, lat in r["latency"].items():
        def cell(x):
            v = x["latency"][name]
            return (f"{v['p99']:.1f} ms ({v['n']} answers, {v['errors']} failed)"
                    + ("" if v["p99"] <= LATENCY_TARGET_MS else " MISSED"))
        line(f"{name} p99 during the background work (target at most "
             f"{LATENCY_TARGET_MS:.0f} ms)", cell(r), old and cell(old))
    g = r["guard_sim"]
    for text in guard_sim.report(g):
        line("guard (bench/guard_sim.py, seeded)", text)
    if "store" in r:
        show_store(r["store"], old and old.get("store"), exact=main_store)


# -- the run -------------------------------------------------------------------------

def write_config(work, old=False):
    from werkzeug.security import generate_password_hash
    path = os.path.join(work, "bench.toml")
    with open(path, "w") as f:
        f.write(CONFIG.format(base=BASE, steps=list(STEPS), last=STEPS[-1], step_hours=24 * STEP_DAYS * 10,
                              hash=generate_password_hash(PASSWORD)))
    return path


def run(args, work):
    """The month at args.requests; a dict of everything measured."""
    res = {"scale": args.requests}
    config_path = write_config(work)
    config = load_config(config_path)
    rate = args.requests / MONTH
    clients = max(1000, int(CLIENTS * args.requests / 100e6))
    with Postgres(durable=False, settings=PG_SETTINGS) as pg:
        from quillo_service.clients import load_secret
        secret = load_secret(os.path.join(work, "bench.secret"))
        if args.layout == "old":
            store = open_store(pg.url, client_secret=secret, partitioned=False)
        else:
            store = open_store(pg.url, client_secret=secret)
        store.check()
        t0 = time.time() - HOUR
        start = (t0 - MONTH) // DAY * DAY  # from a midnight: the oldest day is whole
        guarded_history(store, start)
        print(f"loading {args.requests:,} requests in 30 days ({rate:,.1f}/s) ...", flush=True)
        rows, load_s, index = load(store, start, t0, rate, 0, clients, start)
        settle_s = timed(store._conn().execute, "ANALYZE")[0]
        res.update(rows=rows, load_s=load_s, settle_s=settle_s)
        print(f"  ANALYZE {settle_s:.0f} s", flush=True)

        first = first_rollups(store, config, args.rollup_budget)
        res["first"] = first
        print("first rollups:", first, flush=True)
        res["filled"] = skip_to_now(store, config, start)
        print("filled:", res["filled"], flush=True)
        hour, _, _ = load(store, t0, time.time() - 5, rate, index, clients, start,
                          progress=False)
        res["hour_rows"] = hour
        res["after"] = rollups_after(store, config)
        print("after an hour:", res["after"], flush=True)
        res["guard"] = guard_ticks(store, config)
        res["views"] = views(config_path, pg.url)
        print("views done", flush=True)
        res["sizes"] = sizes(store, {})
        res["store"] = store_size(store, rows["requests"] + hour["requests"])
        res["database_bytes"] = store.read("SELECT pg_database_size(current_database())")[0][0]
        if not args.skip_drop:
            day = int(start // DAY)
            d = drop_under_load(work, config_path, pg, store, day)
            res["drop"] = {"seconds": d["drop_s"], "without": p99(d["without"]),
                           "during": p99(d["during"]), "n_without": len(d["without"]),
                           "n_during": len(d["during"]), "errors": d["errors"],
                           "dropped": d["dropped"]}
        res["layout"] = layout(store)
        store.close()
    return res


# -- the growth curve ----------------------------------------------------------------

VIEW_TARGET_S = 1.0         # every view at every size
GROWTH_TARGET = 2.0         # a view at the largest size against itself at the smallest
NOISE_S = 0.1               # a page faster than this at the largest size: its ratio is
                            # the machine's noise (two cores shared), shown but not judged
# Before any row is stored, what a launch takes: its request, its share of
# the reports and download lines, their indexes and the rollups (~1,540
# measured at 2,000,000 launches, 2026-12, one table each of requests,
# events and downloads split by day); and a floor no layout of them goes
# below, for refusing at once a size the disk could never hold.
ESTIMATED_BYTES_PER_LAUNCH = 1600
FLOOR_BYTES_PER_LAUNCH = 150
MARGIN = 0.15               # on top of the rows a size adds
RESERVE = 8 * 2**30 + 2 * 2**30  # PostgreSQL's WAL (max_wal_size) and the rest of the system


def curve_sizes(text):
    """--curve's request-row counts: positive integers, rising."""
    sizes = []
    for part in text.split(","):
        part = part.strip().replace("_", "")
        if not part.isdigit():
            raise argparse.ArgumentTypeError(f"{part!r} is not a number of requests "
                                             "(sizes: positive integers, comma-separated)")
        n = int(part)
        if n <= 0:
            raise argparse.ArgumentTypeError(f"{n} requests: a size must be at least 1")
        if n in sizes:
            raise argparse.ArgumentTypeError(f"{n:,} twice: each size once")
        if sizes and n < sizes[-1]:
            raise argparse.ArgumentTypeError(
                f"{n:,} after {sizes[-1]:,}: the sizes must rise, each once "
                "(the store grows from one to the next)")
        sizes.append(n)
    return sizes


def room_needed(launches_now, size, bytes_per_launch):
    """Bytes of disk that growing the store from launches_now to size takes,
    margin and reserve included."""
    return int(max(0, size - launches_now) * bytes_per_launch * (1 + MARGIN)) + RESERVE


def first_misfit(sizes, free, bytes_per_launch=FLOOR_BYTES_PER_LAUNCH):
    """The first size that `free` bytes could not hold even at
    bytes_per_launch, from an empty store; None when all could."""
    for size in sizes:
        if room_needed(0, size, bytes_per_launch) > free:
            return size
    return None


def curve(args, work):
    """The store grown to each size of --curve in turn, the same month
    filling up: the rate is the largest size's over 30 days, so each size
    is the month up to some day, and the console's clock stands at that
    day's end when its views are timed."""
    sizes = args.curve
    res = {"sizes": sizes, "points": [], "stopped": None, "layout": None}
    config_path = write_config(work)
    config = load_config(config_path)
    rate = sizes[-1] / MONTH
    clients = max(1000, int(CLIENTS * sizes[-1] / 100e6))
    res["rate"] = rate
    with Postgres(durable=False, settings=PG_SETTINGS) as pg:
        from quillo_service.clients import load_secret
        secret = load_secret(os.path.join(work, "bench.secret"))
        store = open_store(pg.url, client_secret=secret,
                           **({"partitioned": False} if args.layout == "old" else {}))
        store.check()
        start = (time.time() - HOUR - MONTH) // DAY * DAY
        res["start"] = start
        guarded_history(store, start, upto=start)
        launches, index, end = 0, 0, start
        per, how = None, "estimated before any row was stored"

        def disk():
            return shutil.disk_usage(pg.data_dir).free

        def check():
            if disk() < RESERVE:
                return (f"the disk filled up: {disk() / 1e9:,.2f} GB left, "
                        f"below the reserve of {RESERVE / 1e9:,.1f} GB")
            return None
        for size in sizes:
            estimate = per or ESTIMATED_BYTES_PER_LAUNCH
            need, free = room_needed(launches, size, estimate), disk()
            if need > free:
                res["stopped"] = (
                    f"{size:,} requests skipped: at {estimate} bytes per launch "
                    f"({how}) it needs "
                    f"{need / 1e9:,.2f} GB ({MARGIN:.0%} margin and {RESERVE / 1e9:,.1f} GB "
                    f"reserve included), {free / 1e9:,.2f} GB free")
                break
            upto = start + size / rate
            print(f"growing the store to {size:,} requests (to "
                  f"{time.strftime('%m-%d %H:%M', time.gmtime(upto))} UTC) ...", flush=True)
            try:
                rows, load_s, index = load(store, end, upto, rate, index, clients, start,
                                           check=check)
            except Stopped as e:
                launches += e.rows["requests"]
                res["stopped"] = f"{size:,} requests not reached (stopped at {launches:,}): {e}"
                break
            launches += rows["requests"]
            end = upto
            point = {"requests": size, "launches": launches, "rows": rows, "load_s": load_s}
            point["analyze_s"] = timed(store._conn().execute, "ANALYZE")[0]
            advance_history(store, start, end)
            s, spent = timed(background_until_caught_up, store, config, end)
            point["background_s"], point["jobs"] = s, spent
            timings = views(config_path, pg.url, now=end)
            point["views"] = {"|".join(k): v for k, v in timings.items()}
            point["store"] = store_size(store, launches)
            per, how = point["store"]["bytes_per_launch"], "measured, on average"
            if res["points"]:
                # What the last growth added per launch: the tables' fixed
                # part (empty partitions, the rollups' hours) inflates the
                # average of a small store.
                last = res["points"][-1]["store"]
                per = -(-(point["store"]["bytes"] - last["bytes"])
                        // max(launches - last["launches"], 1))
                how = "measured, what the last growth added per launch"
            res["points"].append(point)
            print(f"  {launches:,} launches: loaded in {load_s:.0f} s, background work "
                  f"{s:.0f} s, {point['store']['bytes_per_launch']} bytes per launch, "
                  f"{disk() / 1e9:,.1f} GB free", flush=True)
        res["layout"] = layout(store)
        store.close()
    return res


def show_curve(c):
    points = c["points"]
    print(f"\nGrowth curve: the month filling up at {c['rate'] * DAY:,.0f} requests a day "
          f"(the largest size asked, {c['sizes'][-1]:,}, over 30 days); layout: {c['layout']}")
    if not points:
        print(f"no size reached: {c['stopped']}")
        return
    top = points[-1]["requests"]
    print(f"largest size reached: {top:,} requests"
          + (f"; {c['stopped']}" if c["stopped"] else
             " (the largest asked)"))
    print(f"each page twice, the slower in ms; targets: every view under "
          f"{VIEW_TARGET_S * 1000:.0f} ms at every size, and at the largest size within "
          f"{GROWTH_TARGET:.0f}x of itself at the smallest (a page under "
          f"{NOISE_S * 1000:.0f} ms at the largest size is not judged: noise); "
          "misses marked MISSED")
    cols = ["view", "span"] + [f"{p['requests']:,}" for p in points] + ["largest / smallest"]
    print("| " + " | ".join(cols) + " |")
    print("|" + "---|" * len(cols))
    misses = 0
    for key in points[0]["views"]:
        view, span = key.split("|")
        cells, worst = [], []
        for p in points:
            runs = p["views"].get(key)
            if runs is None:
                cells.append("-")
                continue
            worst.append(max(runs))
            over = max(runs) >= VIEW_TARGET_S
            misses += over
            cells.append(f"{max(runs) * 1000:,.0f}" + (" MISSED" if over else ""))
        if len(worst) > 1:
            ratio = worst[-1] / max(worst[0], 1e-6)
            missed = ratio > GROWTH_TARGET and worst[-1] >= NOISE_S
            misses += missed
            cells.append(f"{ratio:.2f}x" + (" MISSED" if missed else ""))
        else:
            cells.append("-")
        print(f"| {view} | {span} | " + " | ".join(cells) + " |")
    print("| (load, s) | | " + " | ".join(f"{p['load_s']:,.0f}" for p in points) + " | |")
    print("| (background work caught up, s) | | "
          + " | ".join(f"{p['background_s']:,.0f}" for p in points) + " | |")
    print("| (bytes per launch) | | "
          + " | ".join(str(p["store"]["bytes_per_launch"]) for p in points) + " | |")
    print(f"targets: {'all met' if not misses else f'{misses} missed'}")


def layout(store):
    # The requests' rows are in requests_packed where the tree packs them.
    n, table = store.read(
        "SELECT COUNT(*), MIN(c.relname) FROM pg_inherits i JOIN pg_class c "
        "ON c.oid = i.inhparent WHERE c.relname IN ('requests', 'requests_packed')")[0]
    return f"{table} split into {n} partitions" if n else "unpartitioned"


def show(res, old=None):
    r = res
    total = sum(r["rows"].values())
    print(f"\nScale: {r['scale']:,} requests in 30 days "
          f"({r['scale'] / 300e6:.1%} of a month at 10 million launches a day); "
          f"layout: {r['layout']}; "
          f"machine: {os.cpu_count()} cores, "
          f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB")
    print("rows: " + ", ".join(f"{t} {n:,}" for t, n in r["rows"].items())
          + "; the hour after: " + ", ".join(f"{t} {n:,}" for t, n in r["hour_rows"].items())
          + f"; database {r['database_bytes'] / 2**30:,.1f} GiB")
    if old:
        print(f"beside it: {old['layout']}, " + ", ".join(
            f"{t} {n:,}" for t, n in old["rows"].items())
            + f"; database {old['database_bytes'] / 2**30:,.1f} GiB")
    cols = ["", f"{r['layout']}, {r['scale']:,} requests"] + (
        [f"{old['layout']}, {old['scale']:,} requests"] if old else [])
    print("| " + " | ".join(cols) + " |")
    print("|" + "---|" * len(cols))

    def line(label, cell, old_cell=None):
        print(f"| {label} | {cell} |" + (f" {old_cell} |" if old else ""))

    line("load (INSERT ... SELECT, day by day)",
         f"{total / r['load_s']:,.0f} rows/s ({total:,} rows in {r['load_s']:.0f} s; "
         f"ANALYZE {r['settle_s']:.0f} s)",
         old and f"{sum(old['rows'].values()) / old['load_s']:,.0f} rows/s")
    for key, runs in r["views"].items():
        view, period = key.split("|")
        cell = " / ".join(f"{t:.3f}" for t in runs) + ("" if max(runs) < 1 else " MISSED")
        oc = "-"
        if old and key in old["views"]:
            oc = " / ".join(f"{t:.3f}" for t in old["views"][key])
        line(f"view {view}, {period} (s, first / second; target < 1)", cell, oc)
    g = max(r["guard"])
    line("one evaluation of the guard (s; target < 1)", f"{g:.3f}" + ("" if g < 1 else " MISSED"),
         old and f"{max(old['guard']):.3f}")
    for name, (s, done) in r["first"].items():
        cell = (f"{s:.1f} s" if done >= 0.999 else
                f"{s:.0f} s for {done:.1%} of the month; all of it ~{s / max(done, 1e-9):,.0f} s")
        oc = None
        if old:
            os_, od = old["first"][name]
            oc = (f"{os_:.1f} s" if od >= 0.999 else f"{os_:.0f} s for {od:.1%}; "
                  f"all ~{os_ / max(od, 1e-9):,.0f} s")
        line(f"first {name} of the month, from nothing", cell, oc)
    for name, s in r["after"].items():
        line(f"{name} after an hour of new traffic", f"{s:.2f} s",
             old and f"{old['after'][name]:.2f} s")
    if "drop" in r:
        d = r["drop"]
        line("dropping the oldest day (s; target < 1)",
             f"{d['seconds']:.3f}" + ("" if d["seconds"] < 1 else " MISSED")
             + f" ({d['dropped']})",
             old and "drop" in old and f"{old['drop']['seconds']:.3f} ({old['drop']['dropped']})")
        line("/getinstaller p99 without / during the drop (ms)",
             f"{d['without']:.1f} / {d['during']:.1f} ({d['n_without']:,} / {d['n_during']:,} "
             f"answers, {d['errors']} failed)",
             old and "drop" in old and f"{old['drop']['without']:.1f} / {old['drop']['during']:.1f}")
    for text in r.get("filled", []):
        print(f"(the first rollups' days past their budget: {text})")
    for table, (b, n) in r["sizes"].items():
        per = f"{b / 2**20 / max(n / 1e6, 1e-9):,.0f} MiB per million rows" if n else "-"
        oc = None
        if old:
            ob, on = old["sizes"][table]
            oc = f"{ob / 2**20 / max(on / 1e6, 1e-9):,.0f} MiB/M" if on else "-"
        line(f"store: {table} ({n:,} rows, {b / 2**30:,.2f} GiB)", per, oc)
    if "store" in r:  # runs saved before the store was measured as a whole have not
        show_store(r["store"], old and old.get("store"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=100_000_000)
    parser.add_argument("--layout", choices=("days", "old"), default="days",
                        help="tables split by day (the service's), or one table each")
    parser.add_argument("--rollup-budget", type=float, default=300.0)
    parser.add_argument("--skip-drop", action="store_true")
    parser.add_argument("--json", help="also write the results here")
    parser.add_argument("--beside", help="the --json of another run, shown beside this one")
    parser.add_argument("--show", help="print the table of this --json instead of running")
    parser.add_argument("--steady-only", action="store_true",
                        help="only the steady state at 10 million launches a day (minutes)")
    parser.add_argument("--tree", help="measure the service of this checkout (its service/)")
    parser.add_argument("--hours-before", type=int, default=HOURS_BEFORE,
                        help="hours loaded and caught up before the steady state's hour")
    parser.add_argument("--steady-rate", type=float, default=4.0,
                        help="requests a second to each of /getinstaller and /error/ meanwhile")
    parser.add_argument("--skip-steady", action="store_true",
                        help="only the month, as before the steady state was measured")
    parser.add_argument("--curve", type=curve_sizes, metavar="N,N,...",
                        help="instead of the month at --requests: the store grown to each of "
                             "these request counts in turn (rising), every view timed at each")
    args = parser.parse_args()
    if args.curve and args.steady_only:
        parser.error("--curve and --steady-only: choose one")
    if args.curve and not args.show:
        # Refused now, not after hours of loading: a size no free disk
        # could hold even at the fewest bytes a launch can take.
        where = tempfile.gettempdir()
        free = shutil.disk_usage(where).free
        size = first_misfit(args.curve, free)
        if size is not None:
            parser.error(f"--curve {size:,}: at least {FLOOR_BYTES_PER_LAUNCH} bytes a launch, "
                         f"{MARGIN:.0%} margin and {RESERVE / 1e9:,.1f} GB reserve need "
                         f"{room_needed(0, size, FLOOR_BYTES_PER_LAUNCH) / 1e9:,.1f} GB; "
                         f"{where} has {free / 1e9:,.1f} GB free")

    def read_json(path):
        try:
            with open(path) as f:
                return json.load(f)
        except (OSError, ValueError) as e:
            parser.error(f"cannot read {path}: {e}")
    # Read first: a run of an hour must not end on a file it cannot read.
    beside = read_json(args.beside) if args.beside else {}
    if args.show:
        res = read_json(args.show)
    else:
        work = tempfile.mkdtemp(prefix="quillo-scale-bench-")
        try:
            if args.curve:
                res = {"curve": curve(args, work)}
            else:
                res = {} if args.steady_only else run(args, work)
            if "views" in res:
                res["views"] = {"|".join(k): v for k, v in res["views"].items()}
            if not args.skip_steady:
                config_path = write_config(work)
                res["steady"] = steady(args, work, config_path, load_config(config_path))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    if args.json and not args.show:
        with open(args.json, "w") as f:
            json.dump(res, f)
    if "rows" in res:
        show(res, beside if "rows" in beside else None)
    if "curve" in res:
        show_curve(res["curve"])
        reached = res["curve"]["points"]
        if reached:
            show_store(reached[-1]["store"])
    if "steady" in res:
        main_store = "rows" not in res and not res.get("curve", {}).get("points")
        show_steady(res["steady"], beside.get("steady"), main_store=main_store)


if __name__ == "__main__":
    main()
