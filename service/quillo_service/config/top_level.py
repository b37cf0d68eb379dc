"""The settings at the top of the file, before its first table."""

from .checks import address, integer, text

# The longest retention a configuration may set, and `purge --days` may ask for.
RETENTION_DAYS_MAX = 36500
# How many hours without any failure report (while requests come) the alert
# detectors look at before they judge whether the silence means the error
# pages are lost (alerts/silence.py).  The window does not make the alert
# trustworthy, the service's own rate does: the chance of no report in h
# hours at p reports per request and r requests an hour is exp(-p r h), and
# it alerts only below 1e-6, when p r h > 13.8 (at the rate taken low).  A
# publisher answering 20,000 requests a day with 3 % failing sees some 25
# reports an hour, so one silent hour would already do; 6 hours serves any
# service with about 2.3 reports an hour or more (55 a day: 1,800 requests
# a day at 3 %) and is short enough that pages lost in the morning are
# noticed the same day.  A smaller service is never alerted on by chance:
# its expected count stays under the bound, and it may set more hours.
GUARD_SILENT_HOURS = 6


def parse_top_level(data, p):
    """database, full_installer, support, retention_days, client_secret and
    guard_silent_hours."""
    database = text(data.get("database", "quillo.db"), f"{p}: database", 1000)
    full_installer = data.get("full_installer")
    if full_installer is not None:
        address(full_installer, f"{p}: full_installer")
    support = data.get("support")
    if support is not None:
        text(support, f"{p}: support")
    retention_days = integer(data.get("retention_days", 90), f"{p}: retention_days", 1,
                             RETENTION_DAYS_MAX)
    client_secret = data.get("client_secret")
    if client_secret is not None:
        text(client_secret, f"{p}: client_secret", 1000)
    silent_hours = integer(data.get("guard_silent_hours", GUARD_SILENT_HOURS),
                           f"{p}: guard_silent_hours", 1, 24 * 7)
    return {"database": database, "full_installer": full_installer, "support": support,
            "retention_days": retention_days, "client_secret": client_secret,
            "guard_silent_hours": silent_hours}
