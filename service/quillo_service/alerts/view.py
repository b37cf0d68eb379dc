"""The console's Alerts view: what the outbox sent, holds and keeps failing
to send (queue.py reads it), each delivery with its last error and times."""

from ..periods import time_text
from ..tables import Page, Table
from . import queue

SHOWN = 200  # deliveries listed, newest first
ABOUT = 160  # characters of what an alert is about, in the table


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
                  r["data"] if len(r["data"]) <= ABOUT else r["data"][:ABOUT - 1] + "\u2026")
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
             f"\"About\" shows the first {ABOUT} characters of what the alert reports. "
             "The key and version filters do not apply to alerts."])
