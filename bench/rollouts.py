"""What the staged rollouts' guard costs.

    /usr/bin/python3 bench/rollouts.py [--requests N] [--events N] [--only sqlite|postgresql]
                                       [--asks N]

1. The guard over a month: seeds 30 days of records (default 10 million
   instruction requests and 200 000 error events, in time order, each event
   from the address and key of a request a minute before it) into SQLite and
   into a temporary PostgreSQL server, half of them in the reach of a guarded
   rule that holds a quarter of its machines.  It counts the whole month
   once, as a backlog (in service counting starts when the rule does and
   keeps up every few seconds), then times one evaluation (`changes.tick`:
   counting what is new and judging the rule over the month's counts) with
   nothing new and with a minute of new traffic.  Target: under 1 s.
2. /getinstaller with guarded rules: the same configuration with and
   without `steps`, in rounds that alternate, through the application's
   WSGI entry (FastPath, the store recording every request in SQLite), so
   that what is measured is the service's own cost per request.  Target:
   the guarded rate within 10% of the plain one.
"""

import argparse
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "service"))

from bulk import load_rows, settle  # noqa: E402
from pgcluster import Postgres  # noqa: E402
from quillo_service import create_app  # noqa: E402
from quillo_service.rollouts import changes, counting  # noqa: E402
from quillo_service.rollouts.queries import RolloutQueries  # noqa: E402
from quillo_service.config import load_config  # noqa: E402
from quillo_service.reports.events import build_event  # noqa: E402
from quillo_service.launcher import arms  # noqa: E402
from quillo_service.launcher.rules import in_rollout  # noqa: E402
from quillo_service.db import open_store  # noqa: E402
from quillo_service.db.schema import EVENT_COLUMNS, REQUEST_COLUMNS  # noqa: E402
from quillo_service.reports.records import record_event  # noqa: E402

DAY = 86400
RULE = "new release"
CONFIG = """\
database = "unused.db"
default_channel = "stable"

[limits]
events_per_minute = 1000000

[channels]
stable = "https://setup.example/installers/stable.exe"
beta = "https://setup.example/installers/beta.exe"

[[rules]]
name = "old launchers"
below_version = "0,1,0,150"
channel = "stable"

[[rules]]
name = "new release"
key_prefix = "campaign0"
{share}channel = "beta"
"""
PLAIN = "rollout = 25\n"
STAGED = "rollout = 100\nsteps = [25, 100]\nstep_hours = 8760\n"
ANSWERS = {RULE: "GET:https://setup.example/installers/beta.exe",
           "default": "GET:https://setup.example/installers/stable.exe"}


def keys():
    rng = random.Random(0)
    return [f"campaign{i:03d}-" + "%032x" % rng.getrandbits(128) for i in range(200)]


def month(n_req, n_ev, start, end, seed=1):
    """(request rows, event rows), both generators in time order."""
    rng = random.Random(seed)
    ks = keys()
    machines = ["%040X" % rng.getrandbits(160) for _ in range(50_000)]
    inside = [in_rollout(RULE, m, 25) for m in machines]
    step = (end - start) / n_req
    failing = sorted(rng.sample(range(n_req), n_ev))
    template = build_event(b"source=gatherkit&code=201&message=m&error=0x80004005"
                           b"&version=0%2C1%2C0%2C220&os=10.0&key=k", "x", 0)

    def client(i):
        m = i % 50_000
        return f"10.{m // 65536}.{m // 256 % 256}.{m % 256}"

    def key(i):
        return ks[i * 7919 % 200]

    def requests():
        for i in range(n_req):
            m = i % 50_000
            reached = key(i).startswith("campaign0")
            rule = RULE if reached and inside[m] else "default"
            yield (start + i * step, client(i), key(i), "0,1,0,220", machines[m],
                   ANSWERS[rule], rule, "", "", None,
                   arms.encode([(RULE, arms.RULE if rule == RULE else arms.CONTROL)])
                   if reached else None)

    def events():
        for i in failing:
            e = dict(template, recorded_at=start + i * step + 60, client=client(i),
                     bundle_key=key(i))
            yield tuple(e[c] for c in EVENT_COLUMNS)

    return requests(), events()


def bench_guard(name, database, args, config):
    now = time.time()
    start = now - 30 * DAY
    store = open_store(database)
    store.check()
    began = time.monotonic()
    reqs, evs = month(args.requests, args.events, start, now - 120)
    load_rows(store, "requests", REQUEST_COLUMNS, reqs)
    load_rows(store, "events", EVENT_COLUMNS, evs)
    settle(store)
    load_s = time.monotonic() - began
    r = RolloutQueries(store)
    r.start(RULE, start, "bench", "the month's rollout")
    r.begin_positions(0, 0)
    began = time.monotonic()
    taken = counting.count(store, now, budget=float("inf"))[:2]
    backlog_s = time.monotonic() - began
    health = changes.health(store, config.guarded_rules[0], r.states()[RULE])
    kept = store.rows("SELECT COUNT(*) AS n FROM rollout_recent")[0]["n"]

    idle = []
    for _ in range(5):
        t = time.monotonic()
        changes.tick(store, config, now=time.time())
        idle.append(time.monotonic() - t)
    # A minute of traffic at the month's rate, then one tick counts and judges it.
    rate = args.requests / (30 * DAY)
    reqs, evs = month(max(1, int(rate * 60)), max(1, int(args.events / (30 * DAY) * 60)),
                      time.time() - 70, time.time() - 10, seed=9)
    for row in reqs:
        store.record_request(*row)
    for row in evs:
        record_event(store, dict(zip(EVENT_COLUMNS, row)), 10**9)
    t = time.monotonic()
    changes.tick(store, config, now=time.time())
    busy = time.monotonic() - t
    store.close()
    return {"load_s": load_s, "backlog_s": backlog_s, "taken": taken, "health": health,
            "kept": kept, "idle": idle, "busy": busy, "state": r.states()[RULE]["state"]}


def bench_asks(work, rounds, asks):
    """Requests a second through FastPath, plain and guarded, alternating."""
    rates = {"plain": [], "guarded": []}
    apps = {}
    for kind, share in (("plain", PLAIN), ("guarded", STAGED)):
        path = os.path.join(work, f"{kind}.toml")
        with open(path, "w") as f:
            f.write(CONFIG.format(share=share))
        apps[kind] = create_app(path, database=f"sqlite://{work}/{kind}.db")
        apps[kind].extensions["quillo"].scheduler.stop()
    rng = random.Random(3)
    ks = keys()
    queries = [f"key={ks[rng.randrange(200)]}&version=0%2C1%2C0%2C220&id="
               f"{'%040X' % rng.getrandbits(160)}" for _ in range(asks)]

    def start_response(status, headers):
        pass

    # What the guard adds to a request, alone: the lookup of the live shares
    # (a second's copy of the states) and their use in the decision.
    state = apps["guarded"].extensions["quillo"]
    config = state.watcher.current()
    n = 100_000
    t = time.monotonic()
    for _ in range(n):
        state.live.shares(config)
    lookup_us = (time.monotonic() - t) / n * 1e6
    for i in range(rounds):
        # Each goes first in every other round, so that neither gains by its place.
        for kind, app in sorted(apps.items(), reverse=bool(i % 2)):
            t = time.monotonic()
            for q in queries:
                app.wsgi_app({"REQUEST_METHOD": "GET", "PATH_INFO": "/getinstaller",
                              "QUERY_STRING": q, "REMOTE_ADDR": "198.51.100.7"},
                             start_response)
            rates[kind].append(asks / (time.monotonic() - t))
    out = {k: statistics.median(v) for k, v in rates.items()}
    out["lookup_us"] = lookup_us
    for kind, app in apps.items():
        store = app.extensions["quillo"].store
        # Every request recorded, and the guarded rule answered its share.
        out[kind + " recorded"] = store.count("requests")
        out[kind + " beta"] = sum(1 for r in store.recent_requests(10**9)
                                  if r["rule"] == RULE)
        store.close()
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=10_000_000)
    parser.add_argument("--events", type=int, default=200_000)
    parser.add_argument("--asks", type=int, default=5000, help="requests per throughput round")
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--only", choices=("sqlite", "postgresql"))
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quillo-rollouts-bench-")
    results = {}
    try:
        asks = bench_asks(work, args.rounds, args.asks)
        print(f"/getinstaller through FastPath, median of {args.rounds} rounds of "
              f"{args.asks}: plain {asks['plain']:,.0f}/s, guarded {asks['guarded']:,.0f}/s "
              f"({100 * (asks['guarded'] / asks['plain'] - 1):+.1f} %, target within -10 %); "
              f"recorded {asks['plain recorded']:,} and {asks['guarded recorded']:,}, "
              f"answered by the rule {asks['plain beta']:,} and {asks['guarded beta']:,}; "
              f"the live shares' lookup alone {asks['lookup_us']:.2f} us a request, against "
              f"{1e6 / asks['plain']:.0f} us for the whole request", flush=True)
        path = os.path.join(work, "bench.toml")
        with open(path, "w") as f:
            f.write(CONFIG.format(share=STAGED))
        config = load_config(path)
        if args.only in (None, "sqlite"):
            results["sqlite"] = bench_guard("sqlite", f"sqlite://{work}/month.db", args, config)
            print("sqlite done", flush=True)
        if args.only in (None, "postgresql"):
            with Postgres(durable=False) as pg:
                results["postgresql"] = bench_guard("postgresql", pg.url, args, config)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"\nThe guard over {args.requests:,} requests and {args.events:,} events in 30 days")
    names = list(results)
    print(f"| | {' | '.join(names)} |")
    print("|---|" + "---|" * len(names))
    rows = [
        ("bulk load", lambda x: f"{x['load_s']:.0f} s"),
        ("the month counted as one backlog", lambda x: f"{x['backlog_s']:.0f} s "
         f"({x['taken'][0] / max(x['backlog_s'], 1e-9):,.0f} requests/s)"),
        ("arms over the month (requests, failed)", lambda x: f"rule {x['health'][0][:2]}, "
         f"control {x['health'][1][:2]}"),
        ("recent requests kept for the join", lambda x: f"{x['kept']:,}"),
        ("one evaluation, nothing new (target < 1 s)",
         lambda x: f"{max(x['idle']):.3f} s {'ok' if max(x['idle']) < 1 else 'MISSED'}"),
        ("one evaluation after a minute of traffic (target < 1 s)",
         lambda x: f"{x['busy']:.3f} s {'ok' if x['busy'] < 1 else 'MISSED'}"),
        ("state after the month", lambda x: x["state"]),
    ]
    for label, cell in rows:
        print(f"| {label} | {' | '.join(cell(results[n]) for n in names)} |")


if __name__ == "__main__":
    main()
