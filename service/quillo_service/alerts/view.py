"""The console's Alerts view: what the outbox sent, holds and keeps failing
to send (queue.py reads it), each delivery with its last error and times."""

import json

from ..periods import time_text
from ..tables import Page, Table, by_whom
from . import queue

SHOWN = 200  # deliveries listed, newest first
ABOUT = 160  # characters of what an alert is about, in the table


def _arm(arm):
    requests = arm.get("requests") or 0
    if not requests:
        return "no requests"
    return f"{100 * arm.get('failures', 0) / requests:.1f} % of {requests:,} failed"


# The guard's changes whose kind alone does not say why.
_WHAT = {"rollout_held": "held for a person (not enough traffic to judge)",
         "rollout_would_halt": "would have been halted (guard = \"watch\": it goes on)"}


def about(kind, text):
    """What an alert reports, in a few plain words; what it stored, cut, for
    a kind or a body these words do not know."""
    try:
        data = json.loads(text)
    except ValueError:
        data = None
    if not isinstance(data, dict):
        return text if len(text) <= ABOUT else text[:ABOUT - 1] + "\u2026"
    try:
        if kind.startswith("rollout_") and "rule" in data:
            what = _WHAT.get(kind, kind.removeprefix("rollout_"))
            by = " " + by_whom(data["who"]) if data.get("who") else ""
            # A person's reason; the guard's is its figures, said after it.
            why = f" ({data['why']})" if data.get("why") and data.get("who") != "guard" else ""
            return (f"\u201c{data['rule']}\u201d {what} at step {data['step']} "
                    f"({data['share']:g} %){by}{why}: its machines "
                    f"{_arm(data['rule_arm'])}, the control {_arm(data['control_arm'])}")
        if kind == "failure_reports_silent":
            return (f"no error or crash report in {data['hours']:g} hours while "
                    f"{data['requests']:,} requests came, where at least "
                    f"{data['expected_reports']:,.1f} were expected: error pages may be lost")
        if kind == "campaign_failure_rate":
            return (f"\u201c{data['rule']}\u201d: {data['failure_rate_percent']:g} % of "
                    f"{data['requests']:,} requests failed in the last 24 hours, against "
                    f"{data['baseline_percent']:g} % in the 7 days before")
        if kind == "default_partition_growing":
            return (f"{data['rows_recent']:,} rows of {data['table']} recorded within a day of "
                    "now sit in PostgreSQL's DEFAULT partition: their day's partition was not "
                    "made in time")
        if kind.startswith("crash_group_"):
            where = data.get("module") or "no module"
            if data.get("offset") is not None:
                where += f" at offset 0x{data['offset']:X}"
            code = data.get("exception_code")
            exception = f", exception 0x{code:08x}" if code is not None else ""
            before = (f", against {data['crashes_day_before']:,} the day before"
                      if "crashes_day_before" in data else "")
            return f"{where}{exception}: {data['crashes']:,} crashes in 24 hours{before}"
    except (KeyError, TypeError, ValueError):
        pass
    return text if len(text) <= ABOUT else text[:ABOUT - 1] + "\u2026"


def state(row, now):
    """A delivery's state in plain words."""
    outcome = row["outcome"]
    if outcome == "sent":
        return "sent"
    if outcome == "skipped":
        return "not sent: its channel is not configured"
    if outcome == "dropped":
        return "given up: undelivered for too long"
    if row["attempts"]:
        tries = f"{row['attempts']} attempt{'' if row['attempts'] == 1 else 's'}"
        return f"failing: {tries} so far, the next at {time_text(row['next_at'])} UTC"
    return "waiting for its first attempt" if row["next_at"] > now else "due now"


class AlertsView:
    title = "Alerts"

    @staticmethod
    def build(store, config, period, filters, now):
        rows, counts = queue.deliveries(store, period.start, period.end, SHOWN)

        def n(outcome, failing=None):
            return sum(v for (o, f), v in counts.items()
                       if o == outcome and (failing is None or f == failing))
        table = [(time_text(r["created_at"]), r["kind"], r["channel"], state(r, now),
                  r["attempts"], time_text(r["done_at"]), r["last_error"] or "",
                  about(r["kind"], r["data"]))
                 for r in rows]
        total = sum(counts.values())
        return Page(
            "Alerts: what the service told the publisher, and what it could not deliver yet",
            [],
            [Table("deliveries", f"Deliveries of the alerts made in this period, newest first "
                   f"(at most {SHOWN})",
                   ("made (UTC)", "alert", "channel", "state", "attempts that failed",
                    "ended (UTC)", "last error", "about"), table)],
            [f"{total:,} deliveries of alerts made in this period (one per alert and channel): "
             f"{n('sent'):,} sent, {n('pending', True):,} failing and tried again, "
             f"{n('pending', False):,} waiting for their first attempt, {n('dropped'):,} given "
             f"up, {n('skipped'):,} not sent because their channel is not configured.",
             "\"About\" says what each alert reports, in words; the alerts sent carry "
             "every figure. The key and version filters do not apply to alerts."])
