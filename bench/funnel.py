"""How the download log and the funnel hold up under a month of heavy use.

    /usr/bin/python3 bench/funnel.py [--lines N] [--only sqlite|postgresql]

Makes a month of instruction requests (bulk-loaded, as in bench/dashboard.py)
and nginx's download log for them: N lines (default 10 million) in the
format of nginx_config.py, where most launchers download their installer in
one request, some are cut and resume with a Range, some never finish, and a
few report a failure afterwards.  Then, for each store, it times:
  - reading the whole log into the store with the service's own reader
    (downloads.Ingester, the transactions the workers use).  Target: under
    5 minutes for 10 million lines;
  - the first catch-up of the funnel's links and counts over the month, and
    one catch-up after it with nothing new (what the background does every
    few seconds);
  - the Funnel view for the last 24 hours, 7 and 30 days, rendered in full
    through the application, twice.  Target: under 1 s;
and prints the store's growth per million downloads (the downloads table and
the funnel's rollup), and how long it took to make the log and load the
requests (not part of any target).
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

from bulk import load_rows, settle, table_bytes  # noqa: E402
from pgcluster import Postgres  # noqa: E402
from quillo_service import create_app  # noqa: E402
from quillo_service.clients import client_key, load_secret  # noqa: E402
from quillo_service.ingest.downloads import Ingester  # noqa: E402
from quillo_service.reports.events import build_event  # noqa: E402
from quillo_service.dashboard.queries import Dashboard  # noqa: E402
from quillo_service.db import open_store  # noqa: E402
from quillo_service.funnel.queries import FunnelCounts  # noqa: E402
from quillo_service.db.schema import EVENT_COLUMNS, REQUEST_COLUMNS  # noqa: E402

DAY = 86400
PASSWORD = "bench-password"
CONFIG = """\
database = "unused.db"
default_channel = "stable"
client_secret = "bench.secret"

[bandwidth]
price_per_gib = 0.05

[channels]
stable = "https://setup.example/installers/stable.exe"
beta = "https://setup.example/installers/beta.exe"

[admin]
user = "bench"
password_hash = "{hash}"
"""
SECRET = None  # the client secret, made in the work folder by main()
AUTH = {"Authorization": "Basic " + base64.b64encode(f"bench:{PASSWORD}".encode()).decode()}
FILES = [("stable", 48_000_000), ("beta", 52_000_000)]
KEYS = [f"campaign{i:03d}-" + "%032x" % random.Random(i).getrandbits(128) for i in range(200)]


def month(lines, start, end, log_path=None, seed=1):
    """Yields the request rows; writes the download log (when given a path)
    and returns the error events, as rows in EVENT_COLUMNS order."""
    rng = random.Random(seed)
    clients = [f"198.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(1, 255)}"
               for _ in range(200_000)]
    # The store holds keys of addresses, as the service makes them; the log
    # has the addresses themselves, as nginx writes them.
    keys = dict(zip(clients, (client_key(c, SECRET) for c in clients)))
    out = open(log_path, "w") if log_path else None
    events, written, i = [], 0, 0
    requests = int(lines / 1.01)  # about one download line per request
    step = (end - start) / requests
    buffer = []
    while i < requests:
        t = start + i * step
        client = clients[rng.randrange(len(clients))]
        f = rng.random() < 0.2
        name, size = FILES[f]
        key = KEYS[rng.randrange(200)]
        yield (t, keys[client], key, "0,1,0,220", None,
               f"GET:https://setup.example/installers/{name}.exe", "campaign" if f else "default",
               "", "", None, None)
        i += 1
        fate = rng.random()
        if fate < 0.1:
            continue  # never asked for its installer
        began = t + rng.uniform(0.2, 30)
        path = f"/installers/{name}.exe"
        if fate < 0.82:  # in one go
            seconds = size / rng.uniform(1e6, 2e7)
            buffer.append(f'{began + seconds:.3f} {client} 200 {size} {seconds:.3f} OK "-" "-" '
                          f'"{size}" {path}\n')
        else:
            cut = rng.randrange(size // 10, size - size // 10)
            seconds = cut / 2e6
            buffer.append(f'{began + seconds:.3f} {client} 200 {cut + 65536} {seconds:.3f}  '
                          f'"-" "-" "{size}" {path}\n')
            if fate < 0.94:  # resumed
                again = began + seconds + rng.uniform(1, 20)
                rest = size - cut
                buffer.append(f'{again + rest / 2e6:.3f} {client} 206 {rest} {rest / 2e6:.3f} '
                              f'OK "bytes={cut}-" "bytes {cut}-{size - 1}/{size}" "{rest}" '
                              f'{path}\n')
        if rng.random() < 0.03:
            events.append(error_event(t + rng.uniform(60, 3600), keys[client], key))
        if len(buffer) >= 100_000:
            written += len(buffer)
            if out:
                out.write("".join(buffer))
            buffer = []
    written += len(buffer)
    if out:
        out.write("".join(buffer))
        out.close()
    return events, written


def error_event(t, client, key):
    e = build_event(f"source=gatherkit&code=188&message=m&error=0x80072efd&version=0%2C1%2C0"
                    f"%2C220&os=10.0&key={key}".encode(), client, t)
    return tuple(e[c] for c in EVENT_COLUMNS)


def run_month(generator):
    """Drive a month() generator: (request rows as they come, then its result)."""
    result = []

    def rows():
        result.append((yield from generator))
    return rows(), result


def bench_store(name, database, args, config_path, log_path, start, end):
    pg = name == "postgresql"
    store = open_store(database, client_secret=SECRET)
    store.check()
    began = time.monotonic()
    rows, result = run_month(month(args.lines, start, end))
    load_rows(store, "requests", REQUEST_COLUMNS, rows)
    load_rows(store, "events", EVENT_COLUMNS, result[0][0])  # made with the requests
    settle(store)
    load_s = time.monotonic() - began

    began = time.monotonic()
    added, skipped = Ingester(store, log_path).ingest()
    ingest_s = time.monotonic() - began
    if pg:
        conn = store._conn()
        store._patience(conn, True)  # autovacuum may be at the table already
        conn.execute("VACUUM ANALYZE downloads")
    began = time.monotonic()
    FunnelCounts(store).catch_up(now=time.time(), budget=float("inf"))
    rollup_s = time.monotonic() - began
    # What the background does every few seconds, with nothing new to link.
    began = time.monotonic()
    FunnelCounts(store).catch_up(now=time.time(), budget=float("inf"))
    refresh_s = time.monotonic() - began
    # The dashboard's own rollup of the requests, which every page brings
    # up to date first, is bench/dashboard.py's to time.
    Dashboard(store).catch_up(budget=float("inf"))
    sizes = table_bytes(store, ("downloads", "funnel_daily", "funnel_hourly"))
    rolled = store.rows("SELECT COUNT(*) AS n FROM funnel_daily")[0]["n"]
    store.close()

    app = create_app(config_path, database=database)
    client = app.test_client()
    times = {}
    for period in ("24h", "7d", "30d"):
        runs = []
        for _ in range(2):
            t = time.monotonic()
            r = client.get(f"/admin/funnel?period={period}", headers=AUTH)
            runs.append(time.monotonic() - t)
            assert r.status_code == 200, (period, r.status_code)
        times[period] = runs
    t = time.monotonic()
    client.get("/admin/funnel?period=30d&key=campaign01&match=prefix", headers=AUTH)
    times["30d, key prefix"] = [time.monotonic() - t] * 2
    app.extensions["quillo"].store.close()
    return {"load_s": load_s, "ingest_s": ingest_s, "added": added, "skipped": skipped,
            "rollup_s": rollup_s, "refresh_s": refresh_s, "rolled": rolled, "sizes": sizes,
            "times": times}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=10_000_000)
    parser.add_argument("--only", choices=("sqlite", "postgresql"))
    args = parser.parse_args()
    from werkzeug.security import generate_password_hash
    work = tempfile.mkdtemp(prefix="quillo-funnel-bench-")
    results = {}
    try:
        global SECRET
        SECRET = load_secret(os.path.join(work, "bench.secret"))
        config = os.path.join(work, "bench.toml")
        with open(config, "w") as f:
            f.write(CONFIG.format(hash=generate_password_hash(PASSWORD)))
        end = time.time()
        start = end - 30 * DAY
        log_path = os.path.join(work, "downloads.log")
        began = time.monotonic()
        rows, result = run_month(month(args.lines, start, end, log_path))
        for _ in rows:
            pass
        lines = result[0][1]
        print(f"{lines:,} log lines ({os.path.getsize(log_path) / 2**20:,.0f} MiB) made in "
              f"{time.monotonic() - began:.0f} s", flush=True)
        if args.only in (None, "sqlite"):
            path = os.path.join(work, "bench.db")
            results["sqlite"] = bench_store("sqlite", "sqlite://" + path, args, config,
                                            log_path, start, end)
            os.remove(path)
            show(results, lines)
        if args.only in (None, "postgresql"):
            with Postgres(durable=False) as pg:
                results["postgresql"] = bench_store("postgresql", pg.url, args, config,
                                                    log_path, start, end)
            show(results, lines)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def show(results, lines):
    """The table of the stores measured so far."""
    names = list(results)
    print(f"\nDownload funnel over {lines:,} log lines in 30 days (seconds)")
    print(f"| | {' | '.join(names)} |")
    print("|---|" + "---|" * len(names))
    print("| reading the log (target < 300 s for 10 M lines) | " + " | ".join(
        f"{r['ingest_s']:.0f} s ({r['added'] / r['ingest_s']:,.0f} lines/s, "
        f"{r['skipped']} skipped)" for r in results.values()) + " |")
    for period in next(iter(results.values()))["times"]:
        print(f"| Funnel view, {period} (first / second render) | " + " | ".join(
            " / ".join(f"{t:.3f}" for t in r["times"][period]) for r in results.values())
            + " |")
    worst = {n: max(max(t) for t in results[n]["times"].values()) for n in names}
    print("| slowest view (target < 1 s) | " + " | ".join(
        f"{worst[n]:.3f} {'ok' if worst[n] < 1 else 'MISSED'}" for n in names) + " |")
    print("| first rollup catch-up | " + " | ".join(
        f"{r['rollup_s']:.0f} s ({r['rolled']:,} rows)" for r in results.values()) + " |")
    print("| a catch-up with nothing new (background, every few seconds) | " + " | ".join(
        f"{r['refresh_s']:.1f} s" for r in results.values()) + " |")
    print("| requests and events loaded | " + " | ".join(
        f"{r['load_s']:.0f} s" for r in results.values()) + " |")
    million = lines / 1e6
    print("| store growth per million downloads | " + " | ".join(
        f"{sum(r['sizes'].values()) / million / 2**20:,.1f} MiB (downloads "
        f"{r['sizes'].get('downloads', 0) / million / 2**20:,.1f}, funnel_daily "
        f"{r['sizes'].get('funnel_daily', 0) / million / 2**20:,.2f}, funnel_hourly "
        f"{r['sizes'].get('funnel_hourly', 0) / million / 2**20:,.2f})"
        for r in results.values()) + " |", flush=True)


if __name__ == "__main__":
    main()
