"""The alert detectors: alerts raised from the records, by the housekeeping.

`detect` raises alerts for a campaign failing more than its own recent
past, for crash groups that are new or doubling, for a service that no
longer receives failure reports while requests keep coming (silence.py), and
for PostgreSQL's DEFAULT partition filling with the rows of a day that has no
partition.  It reads the records through the dashboard's queries, which the
caller passes in (background.py
wires them), so that each count is defined once, in the dashboard, and
importing the alerts loads neither the dashboard nor the console.
"""

import json

from ..periods import Filters, Period
from . import silence
from .outbox import alert_key, notify

HOUR = 3600
DAY = 86400
HISTORY_DAYS = 30      # a crash group unseen this long before the last day is new
CRASH_GROUPS_PER_PASS = 20
# Rows recorded within a day of now in a DEFAULT partition (db/partitions.py)
# that mean a day was not made in time; a few strays of fast clocks are fewer.
DEFAULT_ROWS_ALERT = 1000


def detect(store, dashboard, config, now=None):
    """Raise the alerts that the records call for now; returns how many are
    new.  Each alert's key names the event and, where it can go on, the
    day: a campaign failing all day long is reported once that day.
    `dashboard` is the dashboard's queries over `store` (its `reading()`,
    `request_counts`, `failures_by_day_and_code`, `crash_group_counts`)."""
    now = store.now() if now is None else now
    with dashboard.reading() as db:  # read in one snapshot, then write
        found = (_campaigns(db, config, now) + _crash_groups(db, config.alerts, now)
                 + _silence(db, config, now))
    found += _default_partitions(store, now)
    return sum(notify(store, kind, data, key=key) for kind, data, key in found)


def _rate(db, period, filters, now):
    requests = sum(db.request_counts(period, filters, (), now=now).values())
    failures = sum(n for _, _, n in db.failures_by_day_and_code(period, filters))
    return requests, failures


def _silence(db, config, now):
    """The whole service without one error or crash report in the hour so
    far and the guard_silent_hours whole hours before, while it answered so
    many requests that, at its rate over the days before, that silence is
    very unlikely by chance.  Once per UTC day while it lasts."""
    hours = config.guard_silent_hours
    start = (int(now // HOUR) - hours) * HOUR  # counts are kept by the hour
    window = Period("custom", start, now, f"the last {hours} hours")
    before = Period("custom", start - silence.BASELINE_DAYS * DAY, start, "the days before")
    n1, f1 = _reports(db, window, now)
    if f1:
        return []
    n0, f0 = _reports(db, before, now)
    expected = silence.silent(n1, f1, n0, f0)
    if expected is None:
        return []
    return [("failure_reports_silent", {
        "hours": hours, "requests": n1, "baseline_requests": n0, "baseline_reports": f0,
        "expected_reports": round(expected, 1), "text": silence.describe(hours, n1, n0, f0,
                                                                         expected),
    }, alert_key("failure_reports_silent", str(int(now // DAY))))]


def _reports(db, period, now):
    """(requests, error and crash reports) of the whole service in the period."""
    requests = sum(db.request_counts(period, None, (), now=now).values())
    errors = sum(n for _, _, n in db.failures_by_day_and_code(period, None))
    crashes = sum(db.crash_group_counts(period.start, period.end).values())
    return requests, errors + crashes


def _campaigns(db, config, now):
    """A campaign (a rule with a key or key prefix) whose failure rate over
    the last 24 hours is above its rate over the 7 days before by more than
    campaign_margin_points, with enough requests in both to tell."""
    settings, found = config.alerts, []
    recent = Period("24h", now - DAY, now, "the last 24 hours")
    before = Period("custom", now - 8 * DAY, now - DAY, "the 7 days before")
    for rule in config.rules:
        if not (rule.key or rule.key_prefix):
            continue
        filters = Filters(rule.key or rule.key_prefix, rule.key is None, "")
        r1, f1 = _rate(db, recent, filters, now)
        r0, f0 = _rate(db, before, filters, now)
        if min(r1, r0) < settings.campaign_min_requests:
            continue
        rate, baseline = 100.0 * f1 / r1, 100.0 * f0 / r0
        if rate - baseline <= settings.campaign_margin_points:
            continue
        day = int(now // DAY)
        found.append(("campaign_failure_rate", {
            "rule": rule.name, "key": rule.key, "key_prefix": rule.key_prefix,
            "failure_rate_percent": round(rate, 2), "requests": r1, "failures": f1,
            "baseline_percent": round(baseline, 2), "baseline_requests": r0,
            "baseline_failures": f0, "margin_points": settings.campaign_margin_points,
        }, alert_key("campaign_failure_rate", f"{rule.name}\0{day}")))
    return found


def _crash_groups(db, settings, now):
    """Crash groups (module, offset, exception code, as the Crashes view
    groups them) of the last 24 hours: one unseen in the HISTORY_DAYS before
    is new, once it has crash_new_min crashes; one with crash_double_min
    crashes and at least twice as many as in the 24 hours before doubled."""
    # The day's largest groups only, so that a flood of made-up crash
    # reports cannot become a flood of alerts; a group too small to be
    # among them is not worth one.
    recent = db.crash_group_counts(now - DAY, now, limit=CRASH_GROUPS_PER_PASS)
    day_before = db.crash_group_counts(now - 2 * DAY, now - DAY)
    history = db.crash_group_counts(now - (HISTORY_DAYS + 1) * DAY, now - DAY)
    found, day = [], int(now // DAY)
    for group, n in recent.items():
        module, offset, code = group
        data = {"module": module, "offset": offset, "exception_code": code, "crashes": n}
        identity = json.dumps(group)
        if group not in history:
            if n >= settings.crash_new_min:
                found.append(("crash_group_new", data, alert_key("crash_group_new", identity)))
        elif n >= max(settings.crash_double_min, 2 * day_before.get(group, 0)):
            data["crashes_day_before"] = day_before.get(group, 0)
            found.append(("crash_group_doubled", data,
                          alert_key("crash_group_doubled", f"{identity}\0{day}")))
    return found


def _default_partitions(store, now):
    """A table partitioned by day whose DEFAULT partition holds more than
    DEFAULT_ROWS_ALERT rows recorded within a day of now: rows of a day
    with no partition, landing there as they come.  Once a day per table."""
    found, day = [], int(now // DAY)
    for table, rows, recent in store.default_partition_rows(now):
        if recent <= DEFAULT_ROWS_ALERT:
            continue
        found.append(("default_partition_growing", {
            "table": table, "rows_recent": recent, "rows": rows,
            "message": default_partition_text(table, recent, rows)},
            alert_key("default_partition_growing", f"{table}\0{day}")))
    return found


def default_partition_text(table, recent, rows):
    """The alert's plain words: what happened, what it means, what to do."""
    return (f"{recent:,} rows of {table} recorded within a day of now sit in PostgreSQL's "
            f"DEFAULT partition of {table} ({rows:,} rows in it in all): the day they "
            "belong to has no partition of its own, made in time. Nothing is lost and they "
            "are counted, but every read of the table scans them, and they leave only with "
            "the retention. Check that housekeeping runs (the service log's lines about the "
            f"partitions job and days \u201cnot made\u201d, e.g. a lock held by a long "
            "query); the days ahead are then made, and the rows of a small day are moved "
            "out on the next run.")
