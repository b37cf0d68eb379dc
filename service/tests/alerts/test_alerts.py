"""Alerts through real receivers, their detectors, and the housekeeping lease."""

import hashlib
import hmac
import http.server
import json
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
import tomllib

import pytest
from aiosmtpd.controller import Controller

from conftest import CONFIG, SECRET, SERVICE, empty_postgres, wait_for
from quillo_service.alerts import outbox as alerts, queue, silence
from quillo_service.alerts.detectors import detect
from quillo_service.alerts.sender import Sender
from quillo_service.alerts.view import about
from quillo_service.config import ConfigError, parse_config
from quillo_service.background import HOST, LEASE, Scheduler
from quillo_service.dashboard.queries import Dashboard
from quillo_service.db import open_store
from quillo_service.reports.records import record_event
from stack import free_port, make_local_ca

DAY = 86400
HOOK_SECRET = "a webhook secret, long enough"


def config_with(alert_table):
    return parse_config(tomllib.loads(CONFIG + "\n[alerts]\n" + alert_table))


class Receiver(http.server.ThreadingHTTPServer):
    """A webhook receiver that refuses the first `fail` posts of each alert
    (by its Idempotency-Key) with 500."""

    def __init__(self, fail=0):
        self.fail, self.posts, self.accepted = fail, [], []
        super().__init__(("127.0.0.1", free_port()), _Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}/hook"


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        server = self.server
        server.posts.append((dict(self.headers), body))
        key = self.headers["Idempotency-Key"]
        if sum(h["Idempotency-Key"] == key for h, _ in server.posts) <= server.fail:
            self.send_response(500)
        else:
            server.accepted.append((dict(self.headers), body))
            self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def signed_correctly(headers, body):
    mac = hmac.new(HOOK_SECRET.encode(), headers["X-Quillo-Timestamp"].encode() + b"." + body,
                   hashlib.sha256).hexdigest()
    return hmac.compare_digest(headers["X-Quillo-Signature"], "sha256=" + mac)


SEND_ONCE = """
import sys
from quillo_service.alerts.sender import Sender
from quillo_service.config import load_config
from quillo_service.db import open_store
config = load_config(sys.argv[1])
print(Sender(open_store(sys.argv[2]), lambda: config).send_due(float(sys.argv[3])))
"""


def test_webhook_gets_one_signed_alert_per_event_through_failures_and_a_restart(database,
                                                                                tmp_path):
    hook = Receiver(fail=2)
    table = f'webhook_url = "{hook.url}"\nwebhook_secret = "{HOOK_SECRET}"\nretry_seconds = 30\n'
    config = config_with(table)
    (tmp_path / "alerts.toml").write_text(CONFIG + "\n[alerts]\n" + table)
    store = open_store(database, client_secret=SECRET)
    halted = {"rule": "beta rollout", "rule_rate": 15.2, "control_rate": 3.1}
    assert alerts.notify(store, "rollout_halted", halted)
    assert not alerts.notify(store, "rollout_halted", dict(halted))  # the same event again
    assert alerts.notify(store, "rollout_advanced", {"rule": "beta rollout", "step": 25})
    t = store.now()
    # A service process sends, is refused, leaves the receiver alone for the
    # rest of the pass, and ends; another one goes on.
    first = subprocess.run([sys.executable, "-c", SEND_ONCE, str(tmp_path / "alerts.toml"),
                            database, repr(t)], capture_output=True, text=True, check=True,
                           cwd=SERVICE)
    assert first.stdout.strip() == "0" and len(hook.posts) == 1
    sender = Sender(store, lambda: config)
    assert sender.send_due(t + 1) == 0 and len(hook.posts) == 2  # the other one, refused
    assert sender.send_due(t + 29) == 0 and len(hook.posts) == 2  # backing off
    assert sender.send_due(t + 31) == 0 and sender.send_due(t + 32) == 0  # refused again
    assert sender.send_due(t + 89) == 0 and len(hook.posts) == 4  # waiting twice as long
    assert sender.send_due(t + 100) == 2
    for later in (t + 200, t + 10_000):
        assert sender.send_due(later) == 0
    assert len(hook.posts) == 6
    kinds = {}
    for headers, body in hook.accepted:
        assert signed_correctly(headers, body)
        sent = json.loads(body)
        assert headers["Idempotency-Key"] == sent["key"]
        kinds[sent["kind"]] = sent["data"]
    assert kinds == {"rollout_halted": halted,
                     "rollout_advanced": {"rule": "beta rollout", "step": 25}}
    # The refused attempts carried the same key as the accepted one.
    assert {h["Idempotency-Key"] for h, _ in hook.posts} == \
        {h["Idempotency-Key"] for h, _ in hook.accepted}
    assert not signed_correctly({**hook.accepted[0][0], "X-Quillo-Timestamp": "1"},
                                hook.accepted[0][1])
    rows = queue.latest(store)
    assert sorted((r["channel"], r["outcome"]) for r in rows) == [
        ("email", "skipped"), ("email", "skipped"), ("webhook", "sent"), ("webhook", "sent")]
    hook.shutdown()
    store.close()


class Mailbox:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope)
        return "250 OK"


def test_email_goes_out_once_when_the_smtp_server_comes_up_late(store):
    port = free_port()
    config = config_with(f'smtp_host = "127.0.0.1"\nsmtp_port = {port}\n'
                         'smtp_from = "alerts@quillo.test"\nsmtp_to = ["ops@quillo.test"]\n')
    alerts.notify(store, "crash_group_new", {"module": "Quillo.exe", "crashes": 3})
    sender = Sender(store, lambda: config)
    t = store.now()
    assert sender.send_due(t) == 0  # nobody listens yet
    box = Mailbox()
    controller = Controller(box, hostname="127.0.0.1", port=port)
    controller.start()
    try:
        assert sender.send_due(t + 10) == 0  # not yet due again
        assert sender.send_due(t + 31) == 1
        assert sender.send_due(t + 5000) == 0
    finally:
        controller.stop()
    [mail] = box.messages
    assert mail.mail_from == "alerts@quillo.test" and mail.rcpt_tos == ["ops@quillo.test"]
    text = mail.content.decode()
    assert "Subject: Quillo alert: crash_group_new" in text and "Quillo.exe" in text


def test_an_alert_undelivered_too_long_is_dropped(store):
    config = config_with('webhook_url = "http://127.0.0.1:1/"\n'
                         f'webhook_secret = "{HOOK_SECRET}"\ngive_up_hours = 1\n')
    alerts.notify(store, "rollout_halted", {"rule": "x"})
    sender = Sender(store, lambda: config)
    t = store.now()
    sender.send_due(t)
    created = queue.latest(store)[0]["created_at"]
    sender.send_due(created + 3599)  # a second short of the hour: tried once more
    assert {r["channel"]: r["outcome"] for r in queue.latest(store)}["webhook"] == "pending"
    sender.send_due(created + 3599 + 60)  # due again after twice retry_seconds
    assert {r["channel"]: r["outcome"] for r in queue.latest(store)} == \
        {"webhook": "dropped", "email": "skipped"}
    # Given up, it still says why its attempts failed (the Alerts page shows it).
    error = {r["channel"]: r["last_error"] for r in queue.latest(store)}["webhook"]
    assert error.startswith("too late; the last attempt: ") and "refused" in error.lower()


class RawReceiver:
    """A webhook receiver on a bare socket, for answers no HTTP server gives:
    each connection's request is read, then `how` says what comes back."""

    def __init__(self, how):
        self.how, self.posts = how, 0
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.sock.getsockname()[1]}/hook"
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, conn):
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                data += conn.recv(65536)
            head, body = data.split(b"\r\n\r\n", 1)
            length = int(head.lower().split(b"content-length: ")[1].split(b"\r\n")[0])
            while len(body) < length:
                body += conn.recv(65536)
            self.posts += 1
            how = self.how
            if how == "malformed":
                conn.sendall(b"HTTP/1.1 2OO OK\r\nContent-Length: 0\r\n\r\n")
            elif how == "reset":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            elif how == "trickle":  # each byte well within a socket timeout
                try:
                    for byte in b"HTTP/1.1 204 No Content\r\n\r\n":
                        time.sleep(0.5)
                        conn.sendall(bytes([byte]))
                except OSError:
                    pass  # the sender gave up, as it should
            else:
                conn.sendall(b"HTTP/1.1 204 No Content\r\n\r\n")


@pytest.mark.parametrize("how", ["malformed", "reset", "trickle"])
def test_a_failing_receiver_holds_up_neither_the_pass_nor_the_alerts_behind_it(tmp_path, how):
    hook, box = RawReceiver(how), Mailbox()
    controller = Controller(box, hostname="127.0.0.1", port=free_port())
    controller.start()
    config = config_with(f'webhook_url = "{hook.url}"\nwebhook_secret = "{HOOK_SECRET}"\n'
                         f'smtp_host = "127.0.0.1"\nsmtp_port = {controller.port}\n'
                         'smtp_from = "alerts@quillo.test"\nsmtp_to = ["ops@quillo.test"]\n')
    store = open_store(f"sqlite://{tmp_path}/quillo.db", client_secret=SECRET)
    try:
        for step in (25, 50):
            alerts.notify(store, "rollout_advanced", {"rule": "beta rollout", "step": step})
        sender = Sender(store, lambda: config, delivery_seconds=1.5)
        t = store.now()
        began = time.monotonic()
        assert sender.send_due(t) == 2  # both e-mails, in the pass the webhook failed
        assert time.monotonic() - began < 1.5 + 2.0  # the slow receiver cut off at 1.5 s
        assert (hook.posts, len(box.messages)) == (1, 2)
        hook.how = "well"
        assert sender.send_due(t + 29) == 1  # the other webhook; the failed one waits
        assert sender.send_due(t + 30) == 1
        assert {r["outcome"] for r in queue.latest(store)} == {"sent"}
    finally:
        controller.stop()
        hook.sock.close()
        store.close()


def test_webhook_over_https_and_mail_over_starttls(tmp_path, monkeypatch):
    certs = make_local_ca(str(tmp_path / "certs"))
    monkeypatch.setenv("SSL_CERT_FILE", os.path.join(certs, "ca.crt"))  # trusted as a CA
    served = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    served.load_cert_chain(os.path.join(certs, "server.crt"), os.path.join(certs, "server.key"))
    hook, box = Receiver(), Mailbox()
    hook.socket = served.wrap_socket(hook.socket, server_side=True)
    controller = Controller(box, hostname="127.0.0.1", port=free_port(), tls_context=served,
                            require_starttls=True)
    controller.start()
    config = config_with(f'webhook_url = "https://localhost:{hook.server_address[1]}/hook"\n'
                         f'webhook_secret = "{HOOK_SECRET}"\nsmtp_host = "localhost"\n'
                         f'smtp_port = {controller.port}\nsmtp_starttls = true\n'
                         'smtp_from = "alerts@quillo.test"\nsmtp_to = ["ops@quillo.test"]\n')
    store = open_store(f"sqlite://{tmp_path}/quillo.db", client_secret=SECRET)
    try:
        alerts.notify(store, "rollout_halted", {"rule": "beta rollout"})
        assert Sender(store, lambda: config).send_due() == 2
        assert (len(hook.accepted), len(box.messages)) == (1, 1)
    finally:
        controller.stop()
        hook.shutdown()
        store.close()


# -- detectors ---------------------------------------------------------------------------

def _traffic(store, start, end, key, requests, failures):
    """Requests recorded now; their failures returned, to be recorded in
    time order with the rest (the store finds times by id)."""
    step = (end - start) / requests
    for i in range(requests):
        store.record_request(start + i * step, "c", key, "0,1,0,220", None, "GET:x", "acme", "", "")
    return [_event(start + i * step + 1, "error", bundle_key=key) for i in range(failures)]


def _event(at, kind, **fields):
    from quillo_service.db.schema import EVENT_COLUMNS
    e = dict.fromkeys(EVENT_COLUMNS)
    e.update(recorded_at=at, client="c", reference="R", kind=kind, malformed="", cut="")
    e.update(fields)
    return e


def _crashes(start, n, offset):
    return [_event(start + i, "crash", module="Quillo.exe", module_offset=offset,
                   exception_code=0xC0000005) for i in range(n)]


def test_detectors_raise_each_event_once(store):
    config = config_with("campaign_min_requests = 50\ncampaign_margin_points = 5.0\n"
                         "crash_new_min = 3\ncrash_double_min = 4\n")
    now = 1_800_000_000.0
    # The acme campaign: 2 % failures for a week, then 10 % in the last day.
    events = _traffic(store, now - 8 * DAY, now - DAY, "acme7", 700, 14)
    events += _traffic(store, now - DAY + 60, now - 60, "acme7", 100, 10)
    # An old crash group that doubled (2 -> 4), and two new ones, one too small.
    events += (_crashes(now - 5 * DAY, 1, 0x10) + _crashes(now - 2 * DAY + 100, 2, 0x10)
               + _crashes(now - DAY + 100, 4, 0x10) + _crashes(now - 3600, 3, 0x20)
               + _crashes(now - 3600, 2, 0x30))
    for e in sorted(events, key=lambda e: e["recorded_at"]):
        record_event(store, e, 10**6)
    # 10 % against 2 % is 8 points: at a margin of 8 only the crash groups count.
    at_margin = config_with("campaign_min_requests = 50\ncampaign_margin_points = 8.0\n"
                            "crash_new_min = 3\ncrash_double_min = 4\n")
    assert detect(store, Dashboard(store), at_margin, now) == 2
    # 100 requests in the last day are too few to judge at a minimum of 101.
    assert detect(store, Dashboard(store), config_with("campaign_min_requests = 101\n"), now) == 0
    assert detect(store, Dashboard(store), config, now) == 1
    assert detect(store, Dashboard(store), config, now + 300) == 0  # the next tick: nothing new
    raised = {r["kind"]: json.loads(r["data"]) for r in queue.latest(store)
              if r["channel"] == "webhook"}
    assert raised["campaign_failure_rate"]["rule"] == "acme"
    assert (raised["campaign_failure_rate"]["failure_rate_percent"],
            raised["campaign_failure_rate"]["baseline_percent"]) == (10.0, 2.0)
    assert raised["crash_group_new"]["offset"] == 0x20
    assert raised["crash_group_doubled"]["crashes_day_before"] == 2


def test_no_verdict_without_a_baseline_and_four_to_five_is_no_doubling(store):
    config = config_with("campaign_min_requests = 50\ncrash_double_min = 4\n")
    now = 1_800_000_000.0
    # A campaign that began today: half its requests fail, but there is no
    # week before to measure that against.
    events = _traffic(store, now - DAY + 60, now - 60, "acme7", 100, 50)
    events += _crashes(now - 2 * DAY + 100, 4, 0x10) + _crashes(now - DAY + 100, 5, 0x10)
    for e in sorted(events, key=lambda e: e["recorded_at"]):
        record_event(store, e, 10**6)
    assert detect(store, Dashboard(store), config, now) == 0


def test_the_silence_bound_is_one_in_a_million_at_the_rate_taken_low():
    # 100 reports in 70,000 requests, taken 3 standard deviations low:
    # (100 - 30) / 70,000 = 1 in 1,000, so 13,815 requests expect 13.815
    # (exp(-13.815) = 1.0005e-6: no alert) and 13,816 expect 13.816 (alert).
    assert silence.silent(13_815, 0, 70_000, 100) is None
    assert silence.silent(13_816, 0, 70_000, 100) == pytest.approx(13.816)
    assert silence.silent(10**6, 1, 70_000, 100) is None  # one report is no silence
    assert silence.silent(10**6, 0, 70_000, 9) is None    # 9 - 3 * 3: no rate known
    assert silence.silent(10**6, 0, 0, 0) is None


def test_a_silent_service_is_alerted_once_a_quiet_campaign_is_not(store):
    config = parse_config(tomllib.loads("guard_silent_hours = 3\n" + CONFIG))
    hour = 500_000  # the hour `now` is in, half way through
    now = hour * 3600 + 1800.0
    records = []
    # A week of 7,000 requests, one in ten reported failing (700 reports).
    for i in range(7000):
        at = (hour - 3) * 3600 - 7 * DAY + i * 86.4
        records.append((at, "request", "acme7"))
        if i % 10 == 0:
            records.append((at + 1, "error", "acme7"))
    # Then a request every 25 s of a campaign whose machines never fail, and
    # one error report of another key, in the window's first whole hour.
    records += [((hour - 4) * 3600 + i * 25.0, "request", "quiet") for i in range(800)]
    records.append(((hour - 3) * 3600 + 10.0, "error", "other"))
    for at, kind, key in sorted(records):
        if kind == "request":
            store.record_request(at, "c", key, "0,1,0,220", None, "GET:x", "acme", "", "")
        else:
            record_event(store, _event(at, "error", bundle_key=key), 10**6)
    def silences(at):  # on PostgreSQL these far-off days also fill DEFAULT, alerted apart
        detect(store, Dashboard(store), config, at)
        return sum(r["kind"] == "failure_reports_silent" for r in queue.latest(store))

    # The report on the window's bound: no silence (a quiet campaign alone is none).
    assert silences(now) == 0
    assert parse_config(tomllib.loads(CONFIG)).guard_silent_hours == 6
    # An hour later it is one past the bound: 3 whole hours and this one
    # without a report, where some 45 were expected (504 requests at 620.6 in 7,000).
    webhooks = silences(now + 3600)
    assert webhooks >= 1
    assert silences(now + 3900) == webhooks  # once a day
    [raised] = [json.loads(r["data"]) for r in queue.latest(store)
                if r["channel"] == "webhook" and r["kind"] == "failure_reports_silent"]
    # (the week before the window, an hour on: its first hour's 5 reports out, "other" in)
    assert (raised["hours"], raised["baseline_reports"]) == (3, 700 - 5 + 1)
    assert raised["text"].startswith("No error or crash report reached the service in the "
                                     "last 3 hours, while it answered ")
    assert "Error pages may not be reaching the service" in raised["text"]
    [row] = [r for r in queue.latest(store)
             if r["channel"] == "webhook" and r["kind"] == "failure_reports_silent"]
    assert about(row["kind"], row["data"]).startswith(
        f"no error or crash report in 3 hours while {raised['requests']:,} requests came")
    for hours, ok in ((0, False), (1, True), (168, True), (169, False)):
        text = f"guard_silent_hours = {hours}\n" + CONFIG
        if ok:
            assert parse_config(tomllib.loads(text)).guard_silent_hours == hours
        else:
            with pytest.raises(ConfigError, match="guard_silent_hours"):
                parse_config(tomllib.loads(text))


# -- the lease ---------------------------------------------------------------------------

def test_one_runner_at_a_time_and_a_dead_ones_lease_is_taken_over(postgres):
    config = config_with("")
    runs = []
    stores = [open_store(postgres.url, client_secret=SECRET) for _ in range(2)]
    runners = [Scheduler(s, lambda: config, lease_seconds=1.0).add_job(
        "count", 0, lambda s, c, now, i=i: runs.append(i)) for i, s in enumerate(stores)]
    for _ in range(3):
        assert [r.run_once() for r in runners] == [True, False]
    assert runs == [0, 0, 0]
    stores[0].close()  # runner 0 dies without a word; its lease runs out
    assert not runners[1].run_once()
    time.sleep(1.2)
    assert runners[1].run_once() and runs[-1] == 1
    assert stores[1].lease_holder(LEASE)[0] == runners[1].holder
    runners[1].stop()  # a clean stop hands the lease on at once
    assert runners[0].run_once() and runs[-1] == 0
    stores[0].close()
    stores[1].close()


def test_a_short_lease_is_renewed_in_time_while_its_jobs_take_a_while(postgres):
    config = config_with("")
    store = open_store(empty_postgres(postgres), client_secret=SECRET)
    # A 6 s lease, and each tick's work takes 1.5 s (a rollup with some to
    # do): asked again a third of a lease after its work, it never runs out.
    # The jobs' clock jumps a minute at each look, so the work is due at every tick.
    looks = iter(range(0, 10**9, 60))
    holder = Scheduler(store, lambda: config, lease_seconds=6, clock=lambda: next(looks))
    holder.add_job("slow", 60, lambda *a: time.sleep(1.5))
    other = Scheduler(store, lambda: config, lease_seconds=6)
    holder._threads()  # start() would also start it again in every forked child
    try:
        wait_for(lambda: store.lease_holder(LEASE), "the first holder")
        end = time.monotonic() + 8
        while time.monotonic() < end:
            assert not other.run_once(), "the lease ran out while its holder lived"
            time.sleep(0.25)
        assert store.lease_holder(LEASE)[0] == holder.holder
    finally:
        holder.stop()
        lanes = {"quillo-host", "quillo-shared"}
        wait_for(lambda: not lanes & {t.name for t in threading.enumerate()},
                 "the scheduler's end")
        store.close()


def test_the_housekeeping_jobs_purge_roll_up_and_send(store):
    hook = Receiver()
    config = config_with(f'webhook_url = "{hook.url}"\nwebhook_secret = "{HOOK_SECRET}"\n')
    now = store.now()
    for ago in (91 * DAY, 89 * DAY, 1200):  # retention_days is 90; the last is past LAG + LATE
        store.record_request(now - ago, "c", "k", "v", None, "GET:x", "default", "", "")
    alerts.notify(store, "rollout_advanced", {"rule": "beta rollout", "step": 50})
    assert Scheduler(store, lambda: config).add_housekeeping().run_once()
    assert store.count("requests") == 2
    assert Dashboard(store).rolled_up_to() == store.recent_requests(1)[0]["id"]
    assert len(hook.accepted) == 1
    hook.shutdown()


def test_a_job_runs_again_once_its_interval_has_passed(store):
    clock = [1000.0]
    runs = []
    runner = Scheduler(store, lambda: config_with(""), clock=lambda: clock[0])
    runner.add_job("each minute", 60, lambda *a: runs.append(clock[0]))
    for clock[0] in (1000.0, 1001.0, 1059.9, 1060.0, 1061.0):
        assert runner.run_once()
    assert runs == [1000.0, 1060.0]


def test_a_failing_job_stops_neither_its_lane_nor_the_others(store):
    runner = Scheduler(store, lambda: config_with(""))
    done = []

    def broken(*args):
        raise RuntimeError("broken job")
    runner.add_job("broken", 0, broken).add_job("fine", 0, lambda *a: done.append(1))
    runner.add_job("broken host job", 0, broken, lane=HOST)
    runner.add_job("host job", 0, lambda *a: done.append(2), lane=HOST)
    assert runner.run_once() and runner.run_once()
    assert sorted(done) == [1, 1, 2, 2]


@pytest.mark.parametrize("table, problem", [
    ('webhook_url = "https://hooks.test/x"\n', "webhook_secret: needed"),
    ('webhook_url = "https://hooks.test/x"\nwebhook_secret = "short"\n', "at least 16"),
    ('smtp_host = "mail.test"\nsmtp_from = "a@quillo.test"\n', "give smtp_from and smtp_to"),
    ('smtp_to = ["not an address"]\n', "e-mail address"),
    ("campaign_margin_points = 0\n", "above 0"),
    ("nonsense = 1\n", "unknown setting"),
])
def test_bad_alert_settings_are_refused(table, problem):
    from quillo_service.config import ConfigError
    with pytest.raises(ConfigError, match=problem):
        config_with(table)
