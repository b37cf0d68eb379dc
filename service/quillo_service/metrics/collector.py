"""A Prometheus collector that reads the store at every scrape.

Nothing is counted on the request path and nothing lives in a worker: the
counters are the totals the dashboard's rollup keeps (dashboard/queries.py,
TOTALS) with the rows past its position, at most TAIL_ROWS of them, so
every worker of every host answers the same and a restart resets nothing.
The rest are gauges of what the store already holds: the hosts'
heartbeats, how far each count is behind, the alert outbox, the guard's
figures per rule (rollouts/gauges.py).

Every family is listed with its HELP and TYPE whatever the store holds,
and each unlabelled total is always there (0 before any traffic); when the
store cannot be read, quillo_store_up is 0 and the other families have no
samples.  Label values are bounded: the rules and hosts are the
configuration's, the answers, kinds and codes folded (an unknown code is
"other").
"""

import logging

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

from .. import settings
from ..alerts import queue
from ..dashboard.queries import REPORTS, ROLLUP, TOTAL_REPORTS, TOTAL_REQUESTS, Dashboard
from ..db import StoreError
from ..linking import LINKED, TAKEN
from ..rollouts import gauges

log = logging.getLogger("quillo_service")
PREFIX = "quillo_"

# The counts kept by moving a position over a table's ids: (label, table,
# position).  The links feed the guard and the download funnel.
COUNTS = (("dashboard_requests", "requests", ROLLUP),
          ("dashboard_reports", "events", REPORTS),
          ("links_requests", "requests", TAKEN),
          ("links_reports", "events", LINKED["event"]),
          ("links_downloads", "downloads", LINKED["download"]))


def _families():
    """{name: family} of every family, empty, in the order they are listed."""
    c, g = CounterMetricFamily, GaugeMetricFamily
    out = [
        g(PREFIX + "store_up", "1 when this scrape could read the store, else 0."),
        c(PREFIX + "requests", "Instruction requests recorded, all of them."),
        c(PREFIX + "requests_by_rule", "Instruction requests recorded, by the rule that "
          "answered (default, maintenance, fallback: nginx's own answer) and the answer's "
          "kind (GET, GOTO).", labels=("rule", "answer")),
        c(PREFIX + "reports", "Error and crash reports recorded, all of them."),
        c(PREFIX + "reports_by_code", "Error and crash reports recorded, by kind and the "
          "launcher's code (codes the service does not know: other).",
          labels=("kind", "code")),
        c(PREFIX + "requests_lost", "Requests answered but neither recorded nor spooled: "
          "the store failed and so did the spool."),
        g(PREFIX + "count_behind_seconds", "Age of the oldest row a count has not taken in "
          "(0: caught up).", labels=("count",)),
        g(PREFIX + "count_behind_rows", "Ids a count has not taken in yet.",
          labels=("count",)),
        g(PREFIX + "hosts", "Hosts by whether their heartbeat came within the lease "
          "(seen) or not (silent).", labels=("state",)),
        g(PREFIX + "host_heartbeat_age_seconds", "Seconds since the host's last heartbeat.",
          labels=("host",)),
        g(PREFIX + "host_spooled_requests", "Requests the host holds in its spool, not in "
          "the store yet (as of its heartbeat).", labels=("host",)),
        g(PREFIX + "host_unread_log_bytes", "Bytes of the host's nginx logs not read into "
          "the store yet (as of its heartbeat).", labels=("host",)),
        g(PREFIX + "alert_outbox", "Alert deliveries not done: waiting for their first "
          "attempt, or failing and tried again.", labels=("state",)),
    ]
    for name, text in gauges.FAMILIES.items():
        labels = {"guard_state": ("rule", "state"),
                  "guard_split_check": ("rule", "state")}.get(name, ("rule",))
        out.append(g(PREFIX + name, text, labels=labels))
    return {f.name: f for f in out}


def fill(families, store, config, now):
    """Add the store's figures to `families` (from _families), read in one
    snapshot."""
    def f(name):
        return families[PREFIX + name]
    dash = Dashboard(store)
    with store.snapshot():
        totals = dash.totals()
        behind = [(label, store.behind(table, name)) for label, table, name in COUNTS]
        seen, silent = dash.hosts(settings.lease_seconds())
        waiting, failing = queue.waiting(store)
        lost = store.lost_requests()
        rules = gauges.every_rule(store, config, now)
    requests, reports = totals[TOTAL_REQUESTS], totals[TOTAL_REPORTS]
    f("requests").add_metric([], sum(requests.values()))
    for (rule, answer), n in sorted(requests.items()):
        f("requests_by_rule").add_metric([rule, answer], n)
    f("reports").add_metric([], sum(reports.values()))
    for (kind, code), n in sorted(reports.items()):
        f("reports_by_code").add_metric([kind, code], n)
    f("requests_lost").add_metric([], lost)
    for label, (rows, seconds) in behind:
        f("count_behind_seconds").add_metric([label], seconds)
        f("count_behind_rows").add_metric([label], rows)
    f("hosts").add_metric(["seen"], len(seen))
    f("hosts").add_metric(["silent"], len(silent))
    for h in seen + silent:
        f("host_heartbeat_age_seconds").add_metric([h["name"]], max(float(h["age"]), 0.0))
        f("host_spooled_requests").add_metric([h["name"]], h["spooled"])
        f("host_unread_log_bytes").add_metric([h["name"]], h["unread_bytes"])
    f("alert_outbox").add_metric(["waiting"], waiting)
    f("alert_outbox").add_metric(["failing"], failing)
    for rule, samples in rules.items():
        for s in samples:
            f(s.family).add_metric([rule, *s.labels.values()], s.value)


class StoreCollector:
    """What a scrape reads: `state` is the service's ServiceState."""

    def __init__(self, state):
        self.state = state

    def collect(self):
        families = _families()
        up = families[PREFIX + "store_up"]
        try:
            fill(families, self.state.store, self.state.watcher.current(), self.state.clock())
            up.add_metric([], 1)
        except StoreError as e:
            log.error("metrics: cannot read the store: %s", e)
            families = _families()
            families[PREFIX + "store_up"].add_metric([], 0)
        return list(families.values())
