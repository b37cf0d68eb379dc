"""What one scrape of /metrics costs, on both stores.

    /usr/bin/python3 bench/metrics.py [--requests N] [--events N] [--only sqlite|postgresql]

Seeds a month of records (default 2 million requests and 100 000 error and
crash reports, as bench/dashboard.py makes them), then times a scrape
through the application (login remembered, as for a scraper): first with
nothing rolled up (the scrape counts at most TAIL_ROWS past the rollup),
then with the rollup caught up (the totals and a short tail).  Target: a
scrape well under a second however much the store holds.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "service"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bulk import load_rows, settle  # noqa: E402
from dashboard import AUTH, CONFIG, PASSWORD, event_rows, requests_rows  # noqa: E402
from pgcluster import Postgres  # noqa: E402
from quillo_service import create_app  # noqa: E402
from quillo_service.admin.auth import make_hash  # noqa: E402
from quillo_service.dashboard.queries import Dashboard  # noqa: E402
from quillo_service.db import open_store  # noqa: E402
from quillo_service.db.schema import EVENT_COLUMNS, REQUEST_COLUMNS  # noqa: E402

DAY = 86400


def scrape_seconds(client, runs=5):
    times = []
    for _ in range(runs):
        began = time.perf_counter()
        r = client.get("/metrics", headers=AUTH)
        times.append(time.perf_counter() - began)
        assert r.status_code == 200 and b"quillo_store_up 1.0" in r.data, r.data[:300]
    return min(times), max(times)


def bench_store(name, database, args, config_path):
    store = open_store(database)
    now = time.time()
    load_rows(store, "requests", REQUEST_COLUMNS, requests_rows(args.requests, now - 30 * DAY,
                                                                now - 3600))
    load_rows(store, "events", EVENT_COLUMNS, event_rows(args.events, now - 30 * DAY,
                                                         now - 3600))
    settle(store)
    store.close()
    app = create_app(config_path, database=database)
    client = app.test_client()
    client.get("/metrics", headers=AUTH)  # the login checked once, then remembered
    fast, slow = scrape_seconds(client)
    print(f"{name}: scrape, nothing rolled up: {fast * 1000:.0f} to {slow * 1000:.0f} ms")
    began = time.perf_counter()
    Dashboard(app.extensions["quillo"].store).catch_up(budget=3600)
    print(f"{name}: rollup caught up in {time.perf_counter() - began:.1f} s")
    fast, slow = scrape_seconds(client)
    print(f"{name}: scrape, rolled up: {fast * 1000:.0f} to {slow * 1000:.0f} ms")
    app.extensions["quillo"].scheduler.stop()
    app.extensions["quillo"].store.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=2_000_000)
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--only", choices=("sqlite", "postgresql"))
    args = parser.parse_args()
    os.environ["QUILLO_SERVICE_HOUSEKEEPING"] = "off"
    folder = tempfile.mkdtemp(prefix="quillo-bench-metrics-")
    try:
        config_path = os.path.join(folder, "service.toml")
        with open(config_path, "w") as f:
            f.write(CONFIG.format(hash=make_hash(PASSWORD)))
        if args.only != "postgresql":
            bench_store("sqlite", f"sqlite:///{folder}/bench.db", args, config_path)
        if args.only != "sqlite":
            with Postgres(durable=False) as pg:
                bench_store("postgresql", pg.url, args, config_path)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
