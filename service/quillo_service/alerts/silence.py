"""Whether the service has gone silent of failure reports, on plain numbers
(no database, no clock).

Launchers report a failed setup through an error or crash page.  When
those pages stop reaching the service (an nginx location lost, a front that
eats them) the staged rollouts' guard sees every release as flawless and
the dashboard shows no failures, while launchers keep asking for
instructions.  Nothing else would say so.

A quiet hour is not silence by itself: a small service may see no report
for hours by chance.  So the window (guard_silent_hours, config/top_level.py)
only says how long to look; whether its silence means anything is judged
from the service's own rate over the days before.  Reports arrive roughly
as a Poisson process in the requests: with a rate p of reports per request
and n requests in the window, none at all has the chance exp(-p n).  The
alert comes when that chance is below UNLIKELY.  The rate is taken three
standard deviations below what the days before counted (a count F of
reports has a standard deviation of about sqrt(F)), so that a rate read
high by chance, from few reports, cannot raise the alert.

The whole service is counted, never one rule's arm: a release whose
machines fail less than the rest is no sign that reports are lost.
"""

import math

UNLIKELY = 1e-6     # the chance of no report in the window, by chance, below which it alerts
BASELINE_DAYS = 7   # the days before the window whose rate says what to expect


def expected(baseline_requests, baseline_reports, window_requests):
    """How many reports the window's requests should at least have brought,
    at the rate of the days before taken three standard deviations low."""
    if baseline_requests <= 0 or window_requests <= 0:
        return 0.0
    low = max(baseline_reports - 3 * math.sqrt(baseline_reports), 0.0)
    return window_requests * low / baseline_requests


def chance_of_none(expected_reports):
    """The chance that a Poisson count with this mean is zero."""
    return math.exp(-expected_reports)


def silent(window_requests, window_reports, baseline_requests, baseline_reports):
    """The expected reports when the window's silence is very unlikely by
    chance (an alert), else None."""
    if window_reports > 0:
        return None
    e = expected(baseline_requests, baseline_reports, window_requests)
    return e if chance_of_none(e) < UNLIKELY else None


def describe(hours, window_requests, baseline_requests, baseline_reports, expected_reports):
    """The alert's text: what happened, what launchers get, what to do."""
    return (f"No error or crash report reached the service in the last {hours:g} hours, "
            f"while it answered {window_requests:,} requests. At its rate over the "
            f"{BASELINE_DAYS} days before ({baseline_reports:,} reports in "
            f"{baseline_requests:,} requests) at least {expected_reports:,.1f} were expected; "
            f"none by chance is less likely than 1 in {1 / UNLIKELY:,.0f}. Error pages may "
            "not be reaching the service. Launchers still get their instructions, but "
            "failures are not counted: the rollouts' guard sees none and halts nothing. "
            "Check that nginx passes /error/ to the service and look at its logs.")
