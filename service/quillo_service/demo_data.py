"""A month of plausible records, so that a newcomer sees a living dashboard.

    PYTHONPATH=service /usr/bin/python3 -m quillo_service.demo_data [--config FILE]

(what `scripts/serve --demo-data` runs) makes service/var/demo.db with about
70 000 instruction requests, 2 000 failures and 150 crashes over the last 30
days, with the installer downloads nginx would have logged, and
service/var/demo.toml: the configuration, naming demo.db as its database,
plus three guarded rules.  Unless the configuration has an [admin] table,
the store gets the console user "demo" with a new random password, which
it prints.

The guarded rules get their history from the service's own rollout code: over
their last days the records are stored hour by hour, each hour's requests
answered at the shares the rules had then, and the guard's `tick` runs at each
hour's end.  So one rule advances through its steps, one is done, and one is
halted by the guard because its machines fail more often than the others.

The answers come from the configuration's own rules and the events from the
same parser as the error page, so the records look exactly like real ones:
several campaigns, launcher versions rolling out, Windows versions, failure
codes at plausible rates, a few crash sites, some malformed requests and a
few hostile strings (markup, a spreadsheet formula) that the dashboard must
show as plain text.
"""

import argparse
import bisect
import os
import random
import re
import secrets
import sys
import time
from urllib.parse import quote

from .admin.auth import make_hash
from .admin.users import Users
from .clients import SECRET_FILE, client_key, load_secret
from .config import load_config
from .dashboard.queries import Dashboard
from .db import open_store
from .db.schema import DOWNLOAD_COLUMNS, EVENT_COLUMNS, REQUEST_COLUMNS
from .funnel.outcomes import installer_path
from .funnel.queries import FunnelCounts
from .launcher import arms
from .launcher.rules import decide
from .reports.events import build_event
from .rollouts.changes import tick
from .rollouts.live import current_share
from .rollouts.queries import HOUR, RolloutQueries
from .settings import sqlite_path

DAY = 86400

# A stored key and messages that must be shown as text, never run.
HOSTILE_KEY = "<script>document.title='pwned';window.pwned=1</script>"
HOSTILE_MESSAGE = '<img src=x onerror="document.title=\'pwned\'">Could not write'
FORMULA_KEY = '=HYPERLINK("http://attacker.example/","click")'

CAMPAIGNS = [  # key, share of requests
    ("acme" + "7f3a9c2e" * 4 + "0001", 0.22),
    ("acme" + "7f3a9c2e" * 4 + "0002", 0.08),
    ("newsletter-2026-11-" + "b4" * 10, 0.14),
    ("partner-globex-" + "11" * 12, 0.12),
    ("partner-globex-" + "22" * 12, 0.05),
    ("search-ads-de-" + "c0ffee" * 4, 0.10),
    ("search-ads-us-" + "c0ffee" * 4, 0.16),
    ("homepage-" + "9e" * 16, 0.13),
]
VERSIONS = [("0,1,0,230", 0.0), ("0,1,0,220", 0.55), ("0,1,0,210", 0.38),
            ("0,1,0,150", 0.07)]
OS_VERSIONS = [("10.0", 0.72), ("6.1", 0.15), ("6.3", 0.06), ("6.2", 0.02),
               ("6.0", 0.02), ("5.1", 0.03)]
# code -> (weight, HRESULT text, message)
FAILURES = {
    188: (24, "0x80072efd", "Could not download the installer"),
    334: (14, "0x00000000", "The download ended too early"),
    137: (14, "0x80072ee7", "Could not reach the server"),
    382: (9, "0x80072f78", "The download could not be resumed"),
    265: (8, "0x00000643", "The installer reported an error"),
    73: (5, "0x80070070", "The disk is full"),
    206: (4, "0x800b0100", "The installer is not signed correctly"),
    201: (2, "0x800b0109", "The installer's signer is unknown"),
    179: (4, "0x80070005", "Could not create the installer file"),
    239: (3, "0x800700c1", "Could not start the installer"),
    484: (3, "0x00000000", "The computer's clock is wrong"),
    475: (2, "0x00000000", "Windows is too old"),
    155: (1, "0x00000000", "The server's answer was not understood"),
    598: (1, "0x8000ffff", "Unexpected error"),
}
CRASHES = [  # base, offset, exception code, module, weight
    (0x00400000, 0x1A2B, 0xC0000005, "Quillo-setup.exe", 50),
    (0x00400000, 0x3F10, 0xC0000005, "Quillo-setup.exe", 22),
    (0x77C10000, 0x4E3C5, 0xC0000374, "ntdll.dll", 14),
    (0x76A20000, 0x21F7, 0xC0000005, "WININET.dll", 9),
    (0x00400000, 0x55E0, 0xC00000FD, "Quillo-setup.exe", 4),
    (0x10000000, 0x77A, 0xC0000005, '<img src=x onerror="document.title=1">.dll', 1),
]


# Guarded rules added to the demo's configuration; the first one's machines
# fail more often, so that the guard halts it.
WORSE_RULE = "globex rollout"
DEMO_RULES = f"""
# Added for the demo by quillo_service.demo_data: staged rollouts with a guard.
[[rules]]
name = "{WORSE_RULE}"
key_prefix = "partner-globex"
channel = "beta"
rollout = 50
steps = [20, 50]
step_hours = 96
guard_min_requests = 100

[[rules]]
name = "search ads rollout"
key_prefix = "search-ads"
channel = "beta"
rollout = 100
steps = [10, 25, 50, 100]
step_hours = 72
guard_min_requests = 100

[[rules]]
name = "newsletter rollout"
key_prefix = "newsletter"
channel = "beta"
rollout = 100
steps = [20, 100]
step_hours = 48
guard_min_requests = 100
"""
ROLLOUT_DAYS = 8  # the guarded rules' history: they were added this long ago


def _pick(rng, pairs):
    return rng.choices([p for p, _ in pairs], weights=[w for _, w in pairs])[0]


def _client(rng):
    return f"198.51.{rng.randrange(256)}.{rng.randrange(1, 255)}"


def generate(config, now, days=30, per_day=2300, seed=1):
    """(requests, events): rows as tuples in REQUEST_COLUMNS and EVENT_COLUMNS
    order, oldest first, covering the `days` days before `now`."""
    requests, events = [], []
    for request, more in runs(config, now, days, per_day, seed):
        requests.append(request)
        events += more
    events.sort(key=lambda e: e[0])
    return requests, [e for e in events if e[0] < now]


def runs(config, now, days=30, per_day=2300, seed=1, shares=None):
    """(request, [its events]) oldest request first; the events may come
    later than following requests.  shares(t), if given, is called before
    each request with its time and gives the guarded rules' shares then."""
    rng = random.Random(seed)
    start = now - days * DAY
    times = []
    for d in range(days):
        # Busier on weekdays and growing through the month, with a quiet night.
        weekday = time.gmtime(start + d * DAY).tm_wday
        n = per_day * (0.75 + 0.5 * d / days) * (0.7 if weekday >= 5 else 1.0)
        for _ in range(int(n)):
            hour = rng.triangular(0, 24, 15)
            times.append(start + d * DAY + hour * 3600)
    times = sorted(t for t in times if t < now - 30)

    machines = [secrets.token_hex(20).upper() for _ in range(4000)]
    for t in times:
        age = (now - t) / DAY
        # The 0,1,0,230 launcher appears in the last 10 days and takes over.
        versions = [(v, w) for v, w in VERSIONS]
        if age < 10:
            versions[0] = ("0,1,0,230", 0.6 * (10 - age) / 10)
        key, version, machine = _pick(rng, CAMPAIGNS), _pick(rng, versions), rng.choice(machines)
        bad = set()
        r = rng.random()
        if r < 0.004:
            machine = None
        elif r < 0.006:
            version = "abc"
        elif r < 0.007:
            key = HOSTILE_KEY
        elif r < 0.0075:
            key = FORMULA_KEY
        elif r < 0.008:
            key, bad = "acme" + "x" * 1019, {"key"}
        decision = decide(config, key, version, machine, frozenset(bad),
                          shares(t) if shares else None)
        client = _client(rng)
        events = []
        request = (t, client, key, version, machine, decision.answer, decision.rule,
                   ",".join(sorted(decision.malformed)), ",".join(sorted(bad)), None,
                   arms.encode(decision.arms))
        # Roughly one run in thirty fails interactively and tells the service.
        fail = 0.03 + (0.03 if version == "0,1,0,210" else 0) + (0.05 if "globex" in key else 0)
        fail += 0.12 if decision.rule == WORSE_RULE else 0
        if rng.random() < fail:
            code = _pick(rng, [(c, w[0]) for c, w in FAILURES.items()])
            _, hr, message = FAILURES[code]
            if rng.random() < 0.01:
                message = HOSTILE_MESSAGE
            os_v = _pick(rng, OS_VERSIONS)
            if code == 475:
                os_v = "5.1"
            q = (f"source=gatherkit&code={code}&message={quote(message)}&error={hr}"
                 f"&version={quote(version)}&os={os_v}&key={quote(key)}")
            # The failing run's own report: same address, after its download.
            events.append(_event(q, rng, t + rng.uniform(60, 1800), client))
        if rng.random() < 0.0022:
            base, off, exc, module, _ = rng.choices(CRASHES, weights=[c[4] for c in CRASHES])[0]
            msg = quote(f"0x{base:08X}:0x{base + off:08X}:{exc:08x}:{module}")
            events.append(_event(f"source=Gatherkit&code=0&message={msg}&error=0x0000023e"
                                 "&version=0&os=0&key=0", rng, t + rng.uniform(1, 60), client))
        if rng.random() < 0.0008:  # pages opened by hand or by scanners
            events.append(_event(rng.choice([
                "source=gatherkit&code=abc&message=test",
                "source=x&code=1%27%20OR%201=1--&key=" + quote(HOSTILE_KEY),
                "code=188&message=" + "A" * 3000]), rng, t + 3))
        yield request, events


def _event(query, rng, t, client=None):
    e = build_event(query.encode(), client or _client(rng), t)
    return tuple(e[c] for c in EVENT_COLUMNS)


def downloads(requests, now, seed=2):
    """Rows in DOWNLOAD_COLUMNS order for the installers the requests were
    sent to, as nginx would log them: most downloads finish in one go, some
    break and resume with a Range, some are never finished, a few never start."""
    rng = random.Random(seed)
    rows = []
    for r in requests:
        path = installer_path(r[5])
        if path is None or rng.random() < 0.06:
            continue
        size = 38_000_000 + 3_000_000 * ((len(path) % 3))
        seconds = size / rng.uniform(0.4e6, 12e6)
        t = r[0] + rng.uniform(1, 20)
        fate = rng.random()
        if fate < 0.80:
            rows.append((t + seconds, r[1], path, 200, 0, size, size, seconds, 1, None))
        elif fate < 0.92:
            cut = int(size * rng.uniform(0.1, 0.9))
            rows.append((t + seconds * cut / size, r[1], path, 200, 0, cut, size,
                         seconds * cut / size, 0, None))
            if rng.random() < 0.9:
                rest = seconds * (size - cut) / size
                t2 = t + seconds + rng.uniform(5, 300)
                rows.append((t2 + rest, r[1], path, 206, cut, size - cut, size, rest, 1,
                             f"bytes={cut}-"))
        else:  # started, never finished
            cut = int(size * rng.uniform(0.01, 0.5))
            rows.append((t + seconds * cut / size, r[1], path, 200, 0, cut, size,
                         seconds * cut / size, 0, None))
    rows.sort(key=lambda row: row[0])
    return [row for row in rows if row[0] < now]


def insert(store, requests, events, batch=50_000):
    """Bulk insert, in batches of one transaction each."""
    for table, columns, rows in (("requests", REQUEST_COLUMNS, requests),
                                 ("events", EVENT_COLUMNS, events)):
        for i in range(0, len(rows), batch):
            with store.transaction() as conn:
                store.insert_many(conn, table, columns, rows[i:i + batch])


def build(store, config, now, secret, days=30, per_day=2300, rollout_days=ROLLOUT_DAYS):
    """Store the demo's requests and events (client addresses made keys with
    `secret`), hour by hour over the last `rollout_days`, ticking the
    rollouts at each hour's end so that the guarded rules live through those
    days as they would in service.  Returns the stored requests."""
    start = now - rollout_days * DAY
    live = {"shares": {r.name: 0.0 for r in config.guarded_rules},  # not configured yet
            "next": start}
    stored, pending, later = [], [], []

    def keyed(row):
        return (row[0], client_key(row[1], secret)) + tuple(row[2:])

    def flush(upto):
        nonlocal later
        later.sort(key=lambda e: e[0])
        cut = bisect.bisect_left([e[0] for e in later], upto)
        insert(store, pending, [keyed(e) for e in later[:cut]])
        stored.extend(pending)
        pending.clear()
        later = later[cut:]

    def shares(t):
        while config.guarded_rules and t >= live["next"]:
            flush(live["next"])
            tick(store, config, now=live["next"])
            states = RolloutQueries(store).states()
            live["shares"] = {r.name: current_share(r, states.get(r.name))
                              for r in config.guarded_rules}
            live["next"] += HOUR
        return live["shares"]

    for request, events in runs(config, now, days, per_day, shares=shares):
        pending.append(keyed(request))
        later += events
    flush(now)
    if config.guarded_rules:
        tick(store, config, now=now)
    return stored


DATABASE = "demo.db"  # beside demo.toml, which names it relative to itself


def _with_database(text, database):
    """The configuration `text` with its top-level `database` line replaced by
    one naming `database`, or that line put first when it has none: plain
    keys must come before the first [table]."""
    lines = text.splitlines(keepends=True)
    line = f'database = "{database}"  # the demo\'s records, beside this file\n'
    for i, old in enumerate(lines):
        if old.lstrip().startswith("["):
            break
        if re.match(r"\s*database\s*=", old):
            lines[i] = line
            return "".join(lines)
    return line + text


def write_config(source, state):
    """Writes state/demo.toml: the configuration `source` with the demo's own
    database (state/demo.db) as its `database`, so that whatever is given
    demo.toml reaches the demo's records, and the guarded rules.  Returns
    the file's path."""
    with open(source) as f:
        text = _with_database(f.read(), DATABASE) + "\n" + DEMO_RULES
    path = os.path.join(state, "demo.toml")
    with open(path, "w") as f:
        f.write(text)
    if sqlite_path(load_config(path).database, state) != os.path.join(state, DATABASE):
        raise RuntimeError(f"{path} does not name {DATABASE} as its database")
    return path


def demo_user(store, config):
    """The console user "demo" with a new random password, made in the store
    (never written into the configuration) unless `config` has an [admin]
    table; the password, or None."""
    if config.admin is not None:
        return None
    password = secrets.token_hex(8)
    Users(store).add("demo", make_hash(password), read_only=False)
    return password


def main(argv=None):
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", default=os.path.join(here, "example.toml"))
    parser.add_argument("--state", default=os.path.join(here, "var"))
    parser.add_argument("--port", type=int, default=8443)
    args = parser.parse_args(argv)
    os.makedirs(args.state, exist_ok=True)
    db = os.path.join(args.state, DATABASE)
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)
    # The service stores only keys of addresses (client.py), made with the
    # secret it will find beside the database.
    secret = load_secret(os.path.join(args.state, SECRET_FILE))
    config = load_config(write_config(args.config, args.state))

    store = open_store("sqlite://" + db, client_secret=secret)
    password = demo_user(store, config)
    requests = build(store, config, time.time(), secret)
    with store.transaction() as conn:
        store.insert_many(conn, "downloads", DOWNLOAD_COLUMNS, downloads(requests, time.time()))
    Dashboard(store).catch_up(budget=60)
    FunnelCounts(store).catch_up(budget=120)
    events = RolloutQueries(store).last_ids()[1]
    store.close()
    print(f"demo data: {len(requests):,} requests and {events:,} events in {db}")
    if password:
        print(f"dashboard: https://localhost:{args.port}/admin/ with user demo and password "
              f"{password}")
    else:
        print(f"dashboard: https://localhost:{args.port}/admin/ with the [admin] credentials "
              "of your configuration")
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
