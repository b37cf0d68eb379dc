"""A real Prometheus scraping a real host (nginx and gunicorn, two workers)
through the front, with a console user's login, and the example alerting
rules checked by promtool and loaded by that server."""

import http.client
import json
import os
import shutil
import ssl
import subprocess
import urllib.parse
import urllib.request

import pytest

from conftest import ADMIN, GOOD, GUARDED, KEY, PASSWORD, SECRET, SERVICE, empty_postgres, \
    wait_for
from stack import App, Hosts, free_port

PROMETHEUS = shutil.which("prometheus")
PROMTOOL = shutil.which("promtool")
RULES = os.path.join(SERVICE, "deploy", "prometheus-rules.yml")
CONFIG = 'client_secret = "client.secret"\n' + GUARDED.format(steps="10, 100") + ADMIN
ASKED = 7

SCRAPE = """\
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: [{rules}]
scrape_configs:
  - job_name: quillo
    scheme: https
    tls_config:
      ca_file: {ca}
      server_name: localhost
    basic_auth:
      username: boss
      password: {password}
    static_configs:
      - targets: ["127.0.0.1:{port}"]
"""


# What the rules make of some series: a halt alerts at once, a split check
# alerts only once it is made, error pages silent only while requests come
# and reports stopped for the whole window.
RULE_CASES = """\
rule_files: [{rules}]
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'quillo_guard_state{{rule="a",state="halted"}}'
        values: '0 1x60'
      - series: 'quillo_guard_split_check{{rule="a",state="unknown"}}'
        values: '0x60'
      - series: 'quillo_guard_split_check{{rule="b",state="checked"}}'
        values: '0x5 1x60'
      - series: 'quillo_requests_total'
        values: '0+100x300'
      - series: 'quillo_reports_total'
        values: '0+1x60 60x240'
    promql_expr_test:
      - expr: count by (alertname, rule) (ALERTS{{alertstate="firing"}})
        eval_time: 2m
        exp_samples:
          - labels: '{{alertname="QuilloGuardHalted", rule="a"}}'
            value: 1
      - expr: count by (alertname, rule) (ALERTS{{alertstate="firing"}})
        eval_time: 50m
        exp_samples:
          - labels: '{{alertname="QuilloGuardHalted", rule="a"}}'
            value: 1
          - labels: '{{alertname="QuilloSplitMismatch", rule="b"}}'
            value: 1
      - expr: count by (alertname) (ALERTS{{alertname="QuilloErrorPagesSilent"}})
        eval_time: 2h
        exp_samples: []
      - expr: count by (alertstate) (ALERTS{{alertname="QuilloErrorPagesSilent"}})
        eval_time: 4h40m
        exp_samples:
          - labels: '{{alertstate="firing"}}'
            value: 1
"""


@pytest.mark.skipif(PROMTOOL is None, reason="promtool is not installed (scripts/setup "
                    "installs the prometheus package)")
def test_the_example_rules_pass_promtool_and_alert_on_what_they_name(tmp_path):
    done = subprocess.run([PROMTOOL, "check", "rules", RULES], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    cases = tmp_path / "cases.yml"
    cases.write_text(RULE_CASES.format(rules=json.dumps(RULES)))
    done = subprocess.run([PROMTOOL, "test", "rules", str(cases)], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture
def host(tmp_path, postgres):
    (tmp_path / "service.toml").write_text(CONFIG)
    (tmp_path / "client.secret").write_bytes(SECRET)
    (tmp_path / "client.secret").chmod(0o600)
    hosts = Hosts(App(tmp_path / "state", tmp_path / "service.toml",
                      database=empty_postgres(postgres), workers=2, threads=2), 1,
                  port=free_port())
    with hosts:
        yield hosts


def through_front(hosts, path, headers=None):
    ctx = ssl.create_default_context(cafile=hosts.front.ca)
    conn = http.client.HTTPSConnection("localhost", hosts.front.port, context=ctx, timeout=30)
    try:
        conn.request("GET", path, headers=headers or {})
        r = conn.getresponse()
        return r.status, r.read().decode("latin-1")
    finally:
        conn.close()


@pytest.mark.skipif(PROMETHEUS is None, reason="prometheus is not installed (scripts/setup "
                    "installs it)")
def test_prometheus_scrapes_the_service_through_the_front(host, tmp_path):
    for i in range(ASKED):
        status, body = through_front(
            host, f"/getinstaller?key={KEY}&version=0%2C1%2C0%2C220&id={i:040X}")
        assert status == 200 and body.startswith("GET:"), body
    # The front passes /metrics on only to be refused without a login.
    for headers in ({}, {"Authorization": "Basic Ym9zczp3cm9uZw=="}):
        status, body = through_front(host, "/metrics", headers)
        assert status == 401 and "quillo_requests" not in body
    # Each connection may meet another worker: every one reads the same store.
    for _ in range(6):
        status, body = through_front(host, "/metrics", GOOD)
        assert status == 200 and f"quillo_requests_total {ASKED:.1f}" in body

    port = free_port()
    (tmp_path / "prometheus.yml").write_text(SCRAPE.format(
        rules=json.dumps(RULES), ca=json.dumps(host.front.ca), password=json.dumps(PASSWORD),
        port=host.front.port))
    log = open(tmp_path / "prometheus.log", "wb")
    server = subprocess.Popen(
        [PROMETHEUS, f"--config.file={tmp_path / 'prometheus.yml'}",
         f"--storage.tsdb.path={tmp_path / 'tsdb'}", f"--web.listen-address=127.0.0.1:{port}"],
        stdout=log, stderr=subprocess.STDOUT)
    api = f"http://127.0.0.1:{port}/api/v1/"

    def get(what):
        with urllib.request.urlopen(api + what, timeout=10) as r:
            return json.load(r)["data"]

    def value(query):
        try:
            result = get("query?query=" + urllib.parse.quote(query))["result"]
        except OSError:
            assert server.poll() is None, (tmp_path / "prometheus.log").read_text()
            return None
        return result[0]["value"][1] if result else None
    try:
        wait_for(lambda: value('quillo_requests_total{job="quillo"}') == str(ASKED),
                 "Prometheus to read the requests back")
        assert value('up{job="quillo"}') == "1"
        assert value('quillo_guard_share_percent{rule="new release"}') == "10"
        names = {r["name"] for g in get("rules")["groups"] for r in g["rules"]}
        assert {"QuilloGuardHalted", "QuilloSplitMismatch", "QuilloHostSilent"} <= names
    finally:
        server.terminate()
        server.wait(30)
        log.close()
    # With every host down the front has no figures to give, with a login or not.
    host.hosts[0].stop()
    for headers in ({}, GOOD):
        status, body = through_front(host, "/metrics", headers)
        assert status != 200 and "quillo_" not in body
