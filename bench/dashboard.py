"""How the dashboard holds up under a month of heavy use.

    /usr/bin/python3 bench/dashboard.py [--requests N] [--events N] [--only sqlite|postgresql]

Seeds a month of records (default 10 million instruction requests and 200 000
error and crash events, in time order, as the service writes them) into a
SQLite file and into a temporary PostgreSQL server, with bulk inserts
(executemany, COPY).  Then, for each store, it times:
  - the first catch-up of the dashboard's daily rollup (once, after the load;
    in service this happens in small steps as requests arrive and pages are
    viewed, or by `python3 -m quillo_service rollup`);
  - every dashboard view for the last 24 hours, 7 days and 30 days, rendered
    in full (HTML) through the application, with a warm and a second run;
and prints the store's size on disk per million requests.  Target: every
view under 1 s on both stores.
"""

import argparse
import base64
import os
import random
import shutil
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "service"))

from bulk import load_rows, settle, table_bytes, time_views  # noqa: E402
from pgcluster import Postgres  # noqa: E402
from quillo_service import create_app  # noqa: E402
from quillo_service.dashboard.queries import Dashboard  # noqa: E402
from quillo_service.reports.events import build_event  # noqa: E402
from quillo_service.db import open_store  # noqa: E402
from quillo_service.db.schema import EVENT_COLUMNS, REQUEST_COLUMNS  # noqa: E402

DAY = 86400
PASSWORD = "bench-password"
CONFIG = """\
database = "unused.db"
default_channel = "stable"

[channels]
stable = "https://setup.example/installers/stable.exe"
beta = "https://setup.example/installers/beta.exe"

[admin]
user = "bench"
password_hash = "{hash}"
"""
AUTH = {"Authorization": "Basic " + base64.b64encode(f"bench:{PASSWORD}".encode()).decode()}
ANSWERS = ["GET:https://setup.example/installers/stable.exe",
           "GET:https://setup.example/installers/beta.exe",
           "GOTO:https://setup.example/notice/update"]
VERSIONS = ["0,1,0,230", "0,1,0,220", "0,1,0,210", "0,1,0,200", "0,1,0,150"]
CODES = [188, 334, 137, 382, 265, 73, 206, 201, 179, 239, 484, 475]


def campaign_keys():
    """200 campaign keys, the same in requests and events."""
    rng = random.Random(0)
    return [f"campaign{i:03d}-" + "%032x" % rng.getrandbits(128) for i in range(200)]


def requests_rows(n, start, end, seed=1):
    """n request rows, oldest first, evenly over [start, end)."""
    keys = campaign_keys()
    rng = random.Random(seed)
    machines = ["%040X" % rng.getrandbits(160) for _ in range(50_000)]
    clients = [f"198.51.{rng.randrange(256)}.{rng.randrange(1, 255)}" for _ in range(5000)]
    step = (end - start) / n
    for i in range(n):
        k = rng.randrange(200)
        v = VERSIONS[min(int(rng.expovariate(1.2)), 4)]
        answer = ANSWERS[2] if v == "0,1,0,150" else ANSWERS[k % 7 == 0]
        r = rng.random()
        if r < 0.004:
            yield (start + i * step, clients[i % 5000], keys[k], v, None, ANSWERS[0], "default",
                   "id", "", None, None)
        elif r < 0.005:
            yield (start + i * step, clients[i % 5000], None, None, None, ANSWERS[0], "default",
                   "id,key,version", "", None, None)
        else:
            yield (start + i * step, clients[i % 5000], keys[k], v, machines[i % 50_000], answer,
                   "rule", "", "", None, None)


def event_rows(n, start, end, seed=2):
    keys = campaign_keys()
    rng = random.Random(seed)
    step = (end - start) / n
    crash = build_event(b"source=Gatherkit&code=0&message=0x00400000%3A0x00401A2B%3Ac0000005%3A"
                        b"Quillo-setup.exe&error=0x0000023e&version=0&os=0&key=0", "x", 0)
    for i in range(n):
        t = start + i * step
        if rng.random() < 0.08:
            e = dict(crash, recorded_at=t, module_offset=rng.choice((0x1A2B, 0x3F10, 0x55E0)))
        else:
            code = rng.choice(CODES)
            e = build_event(
                f"source=gatherkit&code={code}&message=m&error=0x80072efd"
                f"&version={rng.choice(VERSIONS)}&os={rng.choice(('10.0', '6.1', '6.3'))}"
                f"&key={rng.choice(keys)}".encode(),
                f"198.51.100.{i % 250}", t)
        yield tuple(e[c] for c in EVENT_COLUMNS)


def size_of(store, path=None):
    if path:
        return sum(os.path.getsize(path + s) for s in ("", "-wal") if os.path.exists(path + s))
    return store.rows("SELECT pg_database_size(current_database()) AS n")[0]["n"]


def bench_store(name, database, args, config_path, path=None):
    now = time.time()
    start = now - 30 * DAY
    store = open_store(database)
    store.check()
    began = time.monotonic()
    load_rows(store, "requests", REQUEST_COLUMNS, requests_rows(args.requests, start, now))
    load_rows(store, "events", EVENT_COLUMNS, event_rows(args.events, start, now))
    settle(store)
    load_s = time.monotonic() - began
    began = time.monotonic()
    Dashboard(store).catch_up(now=time.time(), budget=float("inf"))
    rollup_s = time.monotonic() - began
    if path:
        store._conn().execute("PRAGMA wal_checkpoint(TRUNCATE)")
    size = size_of(store, path)
    tables = table_bytes(store, ("requests", "events", "requests_daily"))
    rolled = store.rows("SELECT COUNT(*) AS n FROM requests_daily")[0]["n"]
    store.close()

    app = create_app(config_path, database=database)
    client = app.test_client()
    assert client.get("/admin/crashes?period=24h", headers=AUTH).status_code == 200
    times = time_views(client, AUTH)
    t = time.monotonic()
    client.get("/admin/installs?period=30d&key=campaign01&match=prefix&version=0,1,0,220",
               headers=AUTH)
    times[("installs, key prefix and version", "30d")] = [time.monotonic() - t] * 2
    app.extensions["quillo"].store.close()
    return {"load_s": load_s, "size": size, "tables": tables, "rollup_s": rollup_s,
            "rolled": rolled, "times": times}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=10_000_000)
    parser.add_argument("--events", type=int, default=200_000)
    parser.add_argument("--only", choices=("sqlite", "postgresql"))
    args = parser.parse_args()
    from werkzeug.security import generate_password_hash
    work = tempfile.mkdtemp(prefix="quillo-dashboard-bench-")
    results = {}
    try:
        config = os.path.join(work, "bench.toml")
        with open(config, "w") as f:
            f.write(CONFIG.format(hash=generate_password_hash(PASSWORD)))
        if args.only in (None, "sqlite"):
            path = os.path.join(work, "bench.db")
            results["sqlite"] = bench_store("sqlite", "sqlite://" + path, args, config, path)
            print("sqlite done", flush=True)
        if args.only in (None, "postgresql"):
            with Postgres(durable=False) as pg:
                results["postgresql"] = bench_store("postgresql", pg.url, args, config)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    names = list(results)
    print(f"\nDashboard over {args.requests:,} requests and {args.events:,} events in 30 days"
          " (seconds; first render, second render)")
    print(f"| view | period | {' | '.join(names)} |")
    print("|---|---|" + "---|" * len(names))
    for key in next(iter(results.values()))["times"]:
        cells = [" / ".join(f"{t:.3f}" for t in results[n]["times"][key]) for n in names]
        print(f"| {key[0]} | {key[1]} | {' | '.join(cells)} |")
    worst = {n: max(max(t) for t in results[n]["times"].values()) for n in names}
    print("| slowest view (target < 1 s) | | " + " | ".join(
        f"{worst[n]:.3f} {'ok' if worst[n] < 1 else 'MISSED'}" for n in names) + " |")
    print("| bulk load | | " + " | ".join(f"{results[n]['load_s']:.0f} s" for n in names) + " |")
    print("| first rollup catch-up | | " + " | ".join(
        f"{results[n]['rollup_s']:.1f} s ({results[n]['rolled']:,} rows)" for n in names) + " |")
    print("| store on disk | | " + " | ".join(
        f"{results[n]['size'] / 2**20:,.0f} MiB" for n in names) + " |")
    per_m = {n: results[n]["tables"].get("requests", 0) / (args.requests / 1e6) for n in names}
    print("| requests table per million requests | | " + " | ".join(
        f"{per_m[n] / 2**20:,.0f} MiB" for n in names) + " |")
    for n in names:
        print(f"{n}: table sizes " + ", ".join(
            f"{t} {b / 2**20:,.1f} MiB" for t, b in sorted(results[n]["tables"].items())
            if t in ("requests", "events", "requests_daily", "events_reference")))


if __name__ == "__main__":
    main()
