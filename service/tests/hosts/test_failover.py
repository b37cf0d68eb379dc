"""Three service hosts behind a front nginx, one PostgreSQL, on this machine
(stack.Hosts, what `scripts/serve --hosts 3` runs), under load from several
client addresses; then one failure at a time:

  a. a host killed (SIGKILL to nginx and gunicorn, masters and workers) and
     brought back;
  b. a guarded rule halted through one host;
  c. the housekeeping lease holder's host killed;
  d. PostgreSQL stopped for 10 s, and (e) again while reports are sent;
  f. every host killed: the front answers the launchers itself, with the
     configuration's answer as it changes, and the hosts record those
     answers once they are back.

The tests run in this order on one set of hosts; each prints its counts.
"""

import http.client
import os
import re
import ssl
import subprocess
import sys
import threading
import time

import psycopg
import pytest

from conftest import GUARDED, KEY, RULE, SECRET, SERVICE, wait_for
from quillo_service.background import Scheduler
from quillo_service.clients import client_key
from quillo_service.dashboard.queries import Dashboard
from quillo_service.db import open_store
from quillo_service.reports.events import new_reference
from stack import App, Hosts, every_host_down_line, free_port

LEASE_SECONDS = 6
SEEDED = 50  # requests recorded an hour before the test
INSTRUCTION = re.compile(r"(GET|GOTO):\S+")
LOAD_KEY = "a" * 40  # matches no rule: the default answer
CLIENTS = ["127.0.0.%d" % n for n in range(2, 6)]  # the load's client addresses
HALT_SECONDS = 2.0  # every worker reads the rollouts' state at least once a second

# The guarded rule serves every machine of its keys until halted; then they
# fall through to the default channel.
IN_RULE = "GET:https://setup.test/installers/beta.exe"
FALL_THROUGH = "GET:https://setup.test/installers/stable.exe"
# client_secret is a top-level key: it must come before the first table.
CONFIG = 'client_secret = "client.secret"\n' + GUARDED.format(steps="100")


def ask(hosts, path, source="127.0.0.1", address=None, headers=None, conn=None):
    """(status, the front's request id, body) of one GET over HTTPS, to the
    front or to a host's own nginx (`address`), from the client address
    `source`."""
    own = conn is None
    if own:
        ctx = ssl.create_default_context(cafile=hosts.front.ca)
        ctx.check_hostname = False  # a host's address is not in the certificate
        conn = http.client.HTTPSConnection(address or "127.0.0.1", hosts.front.port,
                                           context=ctx, source_address=(source, 0), timeout=30)
    try:
        conn.request("GET", path, headers=headers or {})
        r = conn.getresponse()
        return r.status, r.getheader("X-Request-Id"), r.read().decode("latin-1")
    finally:
        if own:
            conn.close()


def query(machine, key=LOAD_KEY):
    return "/getinstaller?key=%s&version=1,0,0,0&id=%s" % (key, machine)


class Load:
    """Launcher requests through the front from each of CLIENTS, one after
    another per client, until stopped. Each answer is kept with the front's
    request id; a request without a valid instruction is counted as failed."""

    def __init__(self, hosts, pause=0.1):
        self.hosts, self.pause = hosts, pause
        self.answered = []  # (monotonic time, client, request id)
        self.bodies = []    # (monotonic time, the instruction), of each answered
        self.failed = []    # (monotonic time, client, what went wrong)
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._run, args=(c, i), daemon=True)
                         for i, c in enumerate(CLIENTS)]

    def start(self):
        for t in self._threads:
            t.start()
        return self

    def stop(self):
        self._stop.set()
        for t in self._threads:
            t.join(60)

    def _run(self, client, index):
        ctx = ssl.create_default_context(cafile=self.hosts.front.ca)
        conn, n = None, 0
        while not self._stop.is_set():
            n += 1
            machine = "%02X%038X" % (index, n)
            if conn is None:
                conn = http.client.HTTPSConnection("127.0.0.1", self.hosts.front.port,
                                                   context=ctx, source_address=(client, 0),
                                                   timeout=30)
            try:
                status, rid, body = ask(self.hosts, query(machine), conn=conn)
            except (OSError, http.client.HTTPException) as e:
                conn.close()
                conn = None
                self.failed.append((time.monotonic(), client, repr(e)))
                continue
            if status == 200 and INSTRUCTION.fullmatch(body) and rid:
                self.answered.append((time.monotonic(), client, rid))
                self.bodies.append((time.monotonic(), body))
            else:
                self.failed.append((time.monotonic(), client, "%s %r" % (status, body[:80])))
            self._stop.wait(self.pause)

    def ids(self):
        return [rid for _, _, rid in list(self.answered)]


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    root = tmp_path_factory.mktemp("hosts")
    (root / "service.toml").write_text(CONFIG)
    (root / "client.secret").write_bytes(SECRET)
    (root / "client.secret").chmod(0o600)
    env = {"QUILLO_SERVICE_HOUSEKEEPING": "on",
           "QUILLO_SERVICE_LEASE_SECONDS": str(LEASE_SECONDS)}
    hosts = Hosts(App(root / "state", root / "service.toml", workers=1, threads=4, env=env), 3,
                  port=free_port(), fail_timeout="3s")
    with hosts:
        # Requests of an hour ago, the first ids: the rollup takes only rows
        # older than its margins, so these are all it has to do in this run.
        store = open_store(hosts.database, client_secret=SECRET)
        try:
            for n in range(SEEDED):
                store.record_request(time.time() - 3600, client_key("127.0.0.9", SECRET),
                                     LOAD_KEY, "1,0,0,0", "%040X" % n, "GET:x", "default",
                                     "", "")
        finally:
            store.close()
        load = Load(hosts).start()
        try:
            wait_for(lambda: len(load.answered) >= 20, "the first answers")
            yield hosts, load
        finally:
            load.stop()
            print("hosts: %d answered, %d failed over the whole run"
                  % (len(load.answered), len(load.failed)))


def stored_counts(database, ids):
    """{request id: how many requests were stored with it} for `ids`."""
    with psycopg.connect(database, autocommit=True) as conn:
        rows = conn.execute("SELECT request_id, COUNT(*) FROM requests "
                            "WHERE request_id = ANY(%s) GROUP BY request_id",
                            (list(ids),)).fetchall()
    return dict(rows)


def settle(hosts, ids, seconds=60):
    """Waits until every id is stored (the hosts read nginx's logs and their
    spools every few seconds); returns (missing, stored more than once)."""
    deadline = time.monotonic() + seconds
    while True:
        counts = stored_counts(hosts.database, ids)
        missing = [i for i in ids if i not in counts]
        if not missing or time.monotonic() > deadline:
            return missing, [i for i, n in counts.items() if n > 1]
        time.sleep(0.5)


def test_request_ids_and_addresses_come_from_a_trusted_front_only(cluster):
    hosts, _ = cluster
    host = hosts.hosts[0]
    own = "ab" * 16
    # Through the front, from 127.0.0.4: the front's id and the client's address.
    status, via_front, body = ask(hosts, query("F" * 40), source="127.0.0.4",
                                  headers={"X-Request-Id": own, "X-Real-IP": "10.9.9.9"})
    assert status == 200 and via_front and via_front != own
    # Straight to a host from an address that is no front: its own id.
    ask(hosts, query("E" * 40), source="127.0.0.6", address=host.address,
        headers={"X-Request-Id": own, "X-Real-IP": "10.9.9.9"})
    # From the front's address, an id that is not nginx's form (one digit short).
    ask(hosts, query("D" * 40), source="127.0.0.1", address=host.address,
        headers={"X-Request-Id": "cd" * 15 + "c"})
    # ... or upper-case (nginx writes lower-case hex).
    ask(hosts, query("A" * 40), source="127.0.0.1", address=host.address,
        headers={"X-Request-Id": "CD" * 16})
    # From the front's address, in nginx's form: taken.
    ask(hosts, query("C" * 40), source="127.0.0.1", address=host.address,
        headers={"X-Request-Id": "cd" * 16})
    with psycopg.connect(hosts.database, autocommit=True) as conn:
        def row(machine):
            wait_for(lambda: conn.execute("SELECT 1 FROM requests WHERE machine_id = %s",
                                          (machine,)).fetchone(), machine)
            return conn.execute("SELECT request_id, client FROM requests WHERE machine_id = %s",
                                (machine,)).fetchone()
        assert row("F" * 40) == (via_front, client_key("127.0.0.4", SECRET))
        rid, client = row("E" * 40)
        assert rid != own and re.fullmatch("[0-9a-f]{32}", rid)
        assert client == client_key("127.0.0.6", SECRET)
        assert row("D" * 40)[0] != "cd" * 15 + "c"
        assert row("A" * 40)[0] != "CD" * 16
        assert row("C" * 40)[0] == "cd" * 16


def test_a_request_retried_on_another_host_is_stored_once(cluster):
    # What the front does when a host fails after recording a request: the
    # same request, with the same id, on two hosts (and once more on the first).
    hosts, _ = cluster
    rid = "ef" * 16
    for h in (hosts.hosts[0], hosts.hosts[1], hosts.hosts[0]):
        assert ask(hosts, query("9" * 40), address=h.address,
                   headers={"X-Request-Id": rid})[0] == 200
    # A request of another id from the same machine is a request of its own.
    ask(hosts, query("9" * 40), address=hosts.hosts[2].address,
        headers={"X-Request-Id": "fe" * 16})
    wait_for(lambda: stored_counts(hosts.database, ["fe" * 16]), "the other request")
    assert stored_counts(hosts.database, [rid, "fe" * 16]) == {rid: 1, "fe" * 16: 1}


def report(message):
    return ("/error/?source=gatherkit&code=206&message=%s&error=0x800b0100"
            "&version=1%%2C0%%2C0%%2C0&os=10%%2E0&key=%s" % (message, LOAD_KEY))


def shown(page):
    return re.search(r"<strong>([A-Z2-7]{4}-[A-Z2-7]{4})</strong>", page).group(1)


def stored_reports(database, message):
    with psycopg.connect(database, autocommit=True) as conn:
        return [r[0] for r in conn.execute("SELECT reference FROM events WHERE message = %s",
                                           (message,)).fetchall()]


def test_a_report_retried_on_another_host_is_stored_once(cluster):
    # As a request above: the first host stored the report and its nginx
    # died before answering, so the front sent it on, with its id.
    hosts, _ = cluster
    rid = "fd" * 16
    pages = [ask(hosts, report("retried"), address=h.address, headers={"X-Request-Id": rid})
             for h in (hosts.hosts[0], hosts.hosts[1], hosts.hosts[0])]
    assert {(status, shown(page)) for status, _, page in pages} == {
        (200, new_reference(rid, SECRET))}
    assert stored_reports(hosts.database, "retried") == [new_reference(rid, SECRET)]
    # Through the front, its id reaches the service.
    status, front_id, page = ask(hosts, report("via-front"), source="127.0.0.4")
    assert status == 200 and shown(page) == new_reference(front_id, SECRET)
    assert stored_reports(hosts.database, "via-front") == [shown(page)]


def test_downloads_pass_through_the_front_with_their_range(cluster):
    hosts, _ = cluster
    with open(os.path.join(hosts.hosts[0].installers, "stable.exe"), "wb") as f:
        f.write(bytes(range(256)) * 64)
    status, _, body = ask(hosts, "/installers/stable.exe", source="127.0.0.4",
                          headers={"Range": "bytes=100-"})
    assert status == 206 and body.encode("latin-1") == (bytes(range(256)) * 64)[100:]
    # The host that sent it logged the client's address and the bytes it got.
    lines = [line for h in hosts.hosts if os.path.exists(h.downloads_log)
             for line in open(h.downloads_log).read().splitlines()]
    assert len(lines) == 1 and lines[0].split()[1:4] == ["127.0.0.4", "206",
                                                          str(256 * 64 - 100)], lines
    assert '"bytes=100-"' in lines[0]


def test_a_killed_host_loses_no_request(cluster):
    hosts, load = cluster
    victim = hosts.hosts[1]
    before = len(load.answered), len(load.failed)
    victim.kill()
    killed = time.monotonic()
    time.sleep(4)
    down = len(load.answered) - before[0]
    victim.start()
    # In again once the front has sent it requests that it answered.
    since = len(hosts.front.log_entries())
    wait_for(lambda: any(e["hosts"].endswith(victim.listen) and e["host_status"].endswith("200")
                         for e in hosts.front.log_entries()[since:]), "the host back in")
    back = time.monotonic() - killed
    ids = load.ids()
    failed = len(load.failed) - before[1]
    missing, twice = settle(hosts, ids)
    print("failover a: %d answered while %s was down (%.1f s to be back in), %d requests "
          "retried on another host so far, %d without a valid instruction; of %d answered "
          "ids %d not stored, %d stored twice"
          % (down, victim.name, back, retried(hosts), failed, len(ids), len(missing),
             len(twice)))
    assert failed == 0, load.failed[-5:]
    assert (missing, twice) == ([], [])


def retried(hosts):
    """Requests the front passed to more than one host."""
    return sum(1 for e in hosts.front.log_entries() if "," in e["hosts"])


def test_a_halt_through_one_host_reaches_every_host(cluster):
    hosts, _ = cluster
    machine = "0123456789ABCDEF0123456789ABCDEF01234567"

    def answers():
        return [ask(hosts, query(machine, KEY), address=h.address, headers={})[2]
                for h in hosts.hosts]
    wait_for(lambda: answers() == [IN_RULE] * 3, "every host serving the rule")
    env = dict(os.environ, QUILLO_SERVICE_DATABASE=hosts.database,
               STATE_DIRECTORY=hosts.hosts[0].state)
    done = subprocess.run([sys.executable, "-m", "quillo_service", "rollouts", hosts.config,
                           "halt", RULE, "failover test"], cwd=SERVICE, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    halted = time.monotonic()
    obeyed = {}
    while len(obeyed) < 3 and time.monotonic() - halted < 10:
        for h in hosts.hosts:
            if h.name not in obeyed:
                sent = time.monotonic()
                if ask(hosts, query(machine, KEY), address=h.address, headers={})[2] \
                        == FALL_THROUGH:
                    obeyed[h.name] = sent - halted
        time.sleep(0.05)
    print("failover b: the halt reached %s" % ", ".join(
        "%s after %.2f s" % item for item in sorted(obeyed.items())))
    assert len(obeyed) == 3 and max(obeyed.values()) <= HALT_SECONDS


def lease(database):
    with psycopg.connect(database, autocommit=True) as conn:
        return conn.execute("SELECT holder FROM leases WHERE name = 'housekeeping'").fetchone()


def test_the_housekeeping_lease_moves_to_a_live_host(cluster):
    hosts, _ = cluster
    wait_for(lambda: lease(hosts.database), "a lease holder")
    holder = lease(hosts.database)[0]
    owner = [h for h in hosts.hosts
             if any(":%d:" % pid in holder for pid in h.pids("gunicorn"))]
    assert len(owner) == 1, (holder, [h.pids("gunicorn") for h in hosts.hosts])
    owner = owner[0]
    owner.kill()
    killed = time.monotonic()
    try:
        taken, rolled = lease_moves(hosts, holder)
        # The dashboard names the host once it has been silent for a lease.
        wait_for(lambda: silent(hosts) == [owner.name], "the dead host named",
                 seconds=3 * LEASE_SECONDS)
    finally:
        owner.start()
    wait_for(lambda: silent(hosts) == [], "the host back", seconds=3 * LEASE_SECONDS)
    print("failover c: lease of %s taken over after %.1f s (lease %d s), the host named on "
          "the dashboard until back; the new holder "
          "rolled up %d requests (position 0 -> %d), purged the old daily count and "
          "forgot the old request id" % (owner.name, taken - killed, LEASE_SECONDS,
                                         rolled[1], rolled[0]))
    assert rolled == (SEEDED, SEEDED)
    # The lease runs out LEASE_SECONDS after the holder's last renewal, and
    # the others ask once a tick.
    tick = Scheduler(None, None, lease_seconds=LEASE_SECONDS).tick
    assert taken - killed <= LEASE_SECONDS + tick + 1


def silent(hosts):
    store = open_store(hosts.database, client_secret=SECRET)
    try:
        return [h["name"] for h in Dashboard(store).silent_hosts(LEASE_SECONDS)]
    finally:
        store.close()


def lease_moves(hosts, holder):
    """When another host took the lease, once it has run the jobs: the
    rollup's position and the requests in the daily counts."""
    # Work for the next holder alone: the rollup from its start again, a daily
    # count older than the retention (90 days) for the purge, and a request
    # id older than the window in which ids are kept.
    with psycopg.connect(hosts.database, autocommit=True) as conn:
        conn.execute("DELETE FROM requests_daily")
        conn.execute("DELETE FROM rollup_state WHERE name = 'requests'")
        conn.execute("INSERT INTO requests_daily (day, bundle_key, version, answer, malformed, n) "
                     "VALUES (%s, 'purge probe', '1', 'GET:x', '', 1)",
                     (int(time.time() // 86400) - 91,))
        conn.execute("INSERT INTO request_ids (request_id, seen_at) VALUES (%s, %s)",
                     ("0" * 32, time.time() - 7 * 3600))
    wait_for(lambda: lease(hosts.database) and lease(hosts.database)[0] != holder,
             "another holder", seconds=4 * LEASE_SECONDS)
    taken = time.monotonic()

    def one(sql):
        with psycopg.connect(hosts.database, autocommit=True) as conn:
            return conn.execute(sql).fetchone()[0]
    wait_for(lambda: one("SELECT COUNT(*) FROM requests_daily "
                         "WHERE bundle_key = 'purge probe'") == 0, "the purge", seconds=30)
    wait_for(lambda: one("SELECT COUNT(*) FROM request_ids WHERE request_id = '%s'"
                         % ("0" * 32)) == 0, "the old request id forgotten", seconds=30)
    wait_for(lambda: one("SELECT COUNT(*) FROM rollup_state WHERE name = 'requests'"),
             "the rollup", seconds=30)
    return taken, (one("SELECT value FROM rollup_state WHERE name = 'requests'"),
                   one("SELECT COALESCE(SUM(n), 0) FROM requests_daily"))


def test_hosts_answer_and_spool_while_postgresql_is_away(cluster):
    hosts, load = cluster
    wait_for(lambda: all(not h.dead() and h.procs for h in hosts.hosts), "every host up")
    start = len(load.answered), len(load.failed)
    hosts.pg.pause()
    try:
        time.sleep(10)
        spooled = [h.name for h in hosts.hosts
                   if any(n.startswith("quillo-postgresql.spool") for n in os.listdir(h.state))]
    finally:
        hosts.pg.resume()
    during = load.answered[start[0]:]
    failed = len(load.failed) - start[1]
    ids = load.ids()
    missing, twice = settle(hosts, ids)
    entries = {e["id"]: e["hosts"] for e in hosts.front.log_entries()}
    per_host = {h.name: sum(1 for _, _, rid in during
                            if entries.get(rid, "").endswith(h.listen)) for h in hosts.hosts}
    print("failover d: %d answered in the 10 s without PostgreSQL (%s), %d without a valid "
          "instruction, spooling on %s; of %d answered ids %d not stored, %d stored twice"
          % (len(during), ", ".join("%s %d" % kv for kv in per_host.items()), failed,
             ", ".join(spooled) or "no host", len(ids), len(missing), len(twice)))
    assert failed == 0, load.failed[-5:]
    assert all(per_host.values()) and len(spooled) == 3, (per_host, spooled)
    assert (missing, twice) == ([], [])


def test_reports_sent_while_postgresql_is_away_are_stored_once_it_is_back(cluster):
    hosts, _ = cluster
    wait_for(lambda: all(not h.dead() and h.procs for h in hosts.hosts), "every host up")
    sent = {}  # message: the reference its page showed
    hosts.pg.pause()
    try:
        for n in range(12):
            status, _, page = ask(hosts, report("away%d" % n), source=CLIENTS[n % 4])
            assert status == 200
            sent["away%d" % n] = shown(page)
    finally:
        hosts.pg.resume()

    def counts():
        return {m: stored_reports(hosts.database, m) for m in sent}
    wait_for(lambda: all(counts().values()), "the spooled reports", seconds=60)
    time.sleep(3)  # every host has replayed its spool by now: nothing comes twice
    found = counts()
    print("failover e: %d reports sent while PostgreSQL was stopped, %d stored once under "
          "the reference their pages showed" % (
              len(sent), sum(1 for m in sent if found[m] == [sent[m]])))
    assert found == {m: [ref] for m, ref in sent.items()}


def edit(hosts, text):
    """The configuration replaced at once, as an editor that renames does."""
    with open(hosts.config + ".new", "w") as f:
        f.write(text)
    os.replace(hosts.config + ".new", hosts.config)


def test_with_every_host_dead_the_front_answers_every_launcher(cluster):
    hosts, load = cluster
    wait_for(lambda: all(not h.dead() and h.procs for h in hosts.hosts), "every host up")
    default = FALL_THROUGH  # the configuration's default channel, stable
    maintenance = CONFIG.replace("[channels]", '[maintenance]\nenabled = true\n'
                                 'page = "https://setup.test/notice/down"\n\n[channels]')
    other_default = CONFIG.replace('default_channel = "stable"', 'default_channel = "beta"')
    start = len(load.answered), len(load.failed), len(load.bodies)
    for h in hosts.hosts:
        h.kill()
    killed = time.monotonic()
    got = {}
    try:
        time.sleep(3)
        for text, answer in ((maintenance, "GOTO:https://setup.test/notice/down"),
                             (other_default, IN_RULE), (CONFIG, default)):
            edit(hosts, text)
            edited = time.monotonic()
            wait_for(lambda: ask(hosts, query("B" * 40))[2] == answer, answer, seconds=20)
            got[answer] = time.monotonic() - edited
            time.sleep(1)
        down = time.monotonic() - killed
        during = [b for t, b in load.bodies[start[2]:] if t > killed]
        bodies = [b for t, b in load.bodies[start[2]:] if t > killed + 1]
    finally:
        edit(hosts, CONFIG)
        for h in hosts.hosts:
            h.start()
    failed = len(load.failed) - start[1]
    ids = load.ids()
    missing, twice = settle(hosts, ids)
    print("failover f: every host killed for %.1f s: %d launchers answered by the front, %d "
          "without a valid instruction; its answer followed the configuration's edits "
          "within %s; of %d answered ids %d not stored, %d stored twice"
          % (down, len(during), failed, ", ".join("%.1f s" % s for s in got.values()),
             len(ids), len(missing), len(twice)))
    assert failed == 0, load.failed[-5:]
    # Only the configured answers, byte for byte, as they changed.
    assert set(bodies) == {default, "GOTO:https://setup.test/notice/down", IN_RULE}, \
        set(bodies)
    assert (missing, twice) == ([], [])


def test_hosts_refuse_sqlite_and_stop_only_when_nothing_serves(tmp_path):
    config = tmp_path / "service.toml"
    config.write_text(CONFIG)
    with pytest.raises(ValueError, match="SQLite"):
        Hosts(App(tmp_path, config, database=f"sqlite:///{tmp_path}/q.db"), 2)
    hosts = Hosts(App(tmp_path, config, database="postgresql://quillo@db.invalid/quillo"), 3)
    assert [h.listen for h in hosts.hosts] == ["127.0.0.%d:8443" % n for n in (11, 12, 13)]
    assert not hosts.fatal(["host1 gunicorn", "host2 nginx"])
    assert not hosts.every_host_down(["host1 gunicorn", "host2 nginx"])
    # Every host down: the front still answers launchers, and says so.
    every = ["host1 gunicorn", "host2 nginx", "host3 gunicorn"]
    assert not hosts.fatal(every) and hosts.every_host_down(every)
    assert hosts.fatal(["front nginx"]) and not hosts.fatal(["front answer"])
    line = every_host_down_line(["host1", "host2"], "GET:https://setup.test/x.exe")
    assert line.startswith("Every host has died (host1, host2). The front goes on") and \
        "GET:https://setup.test/x.exe" in line and "run scripts/serve again" in line
