"""The bytes a launch costs in PostgreSQL, table by table, indexes included.

    /usr/bin/python3 bench/compact_sizes.py [--hours H] [--tree DIR] [--json out.json]

Loads --hours hours (default 3) of a publisher at 10 million launches a
day with bench/scale.py's generator (requests, reports, download lines in
its proportions), runs all of the background work over them until caught
up (the links, the funnel, the rollups), VACUUMs, and prints each table's
bytes (with its partitions and indexes) per launch, and per row of
requests and downloads.  Tables that keep only the last hours (the recent
requests, the claimed ids) are shown apart: a month holds them once, not
thirty days of them.  A few minutes.  Not in CI.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scale  # noqa: E402  (takes --tree from the command line too)

# Kept for hours, whatever the retention.
WINDOWED = {"rollout_recent", "request_ids", "event_ids", "rollout_arms"}


def measure(hours):
    from pgcluster import Postgres
    from quillo_service.clients import load_secret
    from quillo_service.config import load_config
    from quillo_service.db import open_store
    work = tempfile.mkdtemp(prefix="quillo-compact-bench-")
    try:
        config_path = scale.write_config(work)
        config = load_config(config_path)
        with Postgres(durable=False, settings=scale.PG_SETTINGS) as pg:
            store = open_store(pg.url, client_secret=load_secret(os.path.join(work,
                                                                            "bench.secret")))
            store.check()
            end = time.time() - 60
            start = end - hours * scale.HOUR
            month_start = (end - scale.MONTH) // scale.DAY * scale.DAY
            scale.guarded_history(store, month_start)
            index = int((start - month_start) * scale.STEADY_RATE)
            rows, load_s, _ = scale.load(store, start, end, scale.STEADY_RATE, index, 250_000,
                                         month_start, progress=False)
            store._conn().execute("ANALYZE")
            scale.background_until_caught_up(store, config, time.time())
            store._conn().execute("VACUUM ANALYZE")
            tables = [r[0] for r in store.read(
                "SELECT c.relname FROM pg_class c WHERE c.relnamespace = "
                "current_schema()::regnamespace AND c.relkind IN ('r', 'p') "
                "AND NOT c.relispartition ORDER BY 1")]
            sizes = scale.table_bytes(store, tables)
            counts = {t: store.read(f"SELECT COUNT(*) FROM {t}")[0][0] for t in tables}
            store.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return {"hours": hours, "rows": rows, "load_s": load_s, "sizes": sizes, "counts": counts}


def show(r):
    launches = r["rows"]["requests"]
    print(f"{launches:,} launches ({r['hours']} hours at 10 million a day), "
          f"{r['rows']['downloads']:,} download lines, {r['rows']['events']:,} reports")
    kept = windowed = 0
    for table, b in sorted(r["sizes"].items(), key=lambda kv: -kv[1]):
        n = r["counts"][table]
        part = "hours only" if table in WINDOWED else "kept"
        if table in WINDOWED:
            windowed += b
        else:
            kept += b
        per_row = f"{b / n:,.0f} bytes per row" if n else "-"
        print(f"  {table:24} {b / launches:8.1f} bytes per launch  ({n:,} rows, {per_row}; "
              f"{part})")
    print(f"per launch over the tables kept for the retention: {kept / launches:,.0f} bytes; "
          f"with those kept for hours: {(kept + windowed) / launches:,.0f} bytes")
    for t in ("requests", "downloads"):
        # The rows themselves, under the name of the layout measured.
        found = [name for name in (t, f"{t}_packed") if name in r["sizes"]]
        n = r["rows"][t]
        if found and n:
            b = r["sizes"][found[0]]
            print(f"{t} ({found[0]}): {b / n:,.0f} bytes per row, "
                  f"{b / 2**20 / (n / 1e6):,.0f} MiB per million rows")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hours", type=int, default=3, help="hours of traffic loaded")
    parser.add_argument("--tree", help="measure the service of this checkout (its service/)")
    parser.add_argument("--json", help="also write the results here")
    args = parser.parse_args()
    if args.hours < 1:
        parser.error("--hours must be at least 1")
    r = measure(args.hours)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(r, f)
    show(r)


if __name__ == "__main__":
    main()
