"""[alerts]: where alerts go (alerts/ of the service) and when one is raised."""

from dataclasses import dataclass

from .checks import ConfigError, address, integer, mail, section, text


@dataclass(frozen=True)
class Alerts:
    """Where alerts go (alerts/) and when the detectors raise one."""
    webhook_url: str | None = None
    webhook_secret: str | None = None
    smtp_host: str | None = None
    smtp_port: int = 25
    smtp_from: str | None = None
    smtp_to: tuple = ()
    smtp_starttls: bool = False
    retry_seconds: int = 30        # the first retry; each further one waits twice as long
    give_up_hours: int = 72        # an alert undelivered this long is dropped (and logged)
    campaign_margin_points: float = 5.0  # failure-rate points over the 7-day baseline
    campaign_min_requests: int = 200     # in the last 24 h and in the baseline, to judge
    crash_new_min: int = 3         # crashes in 24 h before a group never seen is news
    crash_double_min: int = 10     # crashes in 24 h before a doubling is news


_WHOLE_NUMBERS = (  # setting, default, lowest, highest; checked in this order
    ("smtp_port", 25, 1, 65535),
    ("retry_seconds", 30, 1, 86400),
    ("give_up_hours", 72, 1, 8760),
    ("campaign_min_requests", 200, 1, 10**9),
    ("crash_new_min", 3, 1, 10**9),
    ("crash_double_min", 10, 1, 10**9),
)
_ALERT_KEYS = {"webhook_url", "webhook_secret", "smtp_from", "smtp_host", "smtp_to",
               "smtp_starttls", "campaign_margin_points"} | {k for k, *_ in _WHOLE_NUMBERS}


def _webhook(a, w):
    url = a.get("webhook_url")
    if url is not None:
        address(url, w + "webhook_url")
        if "webhook_secret" not in a:
            raise ConfigError(f"{w}webhook_secret: needed with webhook_url, to sign each alert")
    secret = a.get("webhook_secret")
    if secret is not None:
        text(secret, w + "webhook_secret", 400)
        if len(secret) < 16:
            raise ConfigError(f"{w}webhook_secret: use at least 16 characters")
    return {"webhook_url": url, "webhook_secret": secret}


def _smtp(a, w):
    """The mail settings but the port."""
    host = a.get("smtp_host")
    if host is not None:
        text(host, w + "smtp_host", 255)
    to = a.get("smtp_to", [])
    to = [to] if isinstance(to, str) else to
    if not isinstance(to, list):
        raise ConfigError(f"{w}smtp_to: expected an address or a list of addresses")
    to = tuple(mail(t, w + "smtp_to") for t in to)
    sender = a.get("smtp_from")
    if sender is not None:
        mail(sender, w + "smtp_from")
    if host is not None and (sender is None or not to):
        raise ConfigError(f"{w}smtp_host: give smtp_from and smtp_to too")
    starttls = a.get("smtp_starttls", False)
    if not isinstance(starttls, bool):
        raise ConfigError(f"{w}smtp_starttls must be true or false")
    return {"smtp_host": host, "smtp_to": to, "smtp_from": sender, "smtp_starttls": starttls}


def parse_alerts(data, p):
    """An `Alerts`; without an [alerts] table, the defaults and no receiver."""
    a = section(data.get("alerts", {}), "alerts", _ALERT_KEYS, p)
    w = f"{p}: alerts."
    settings = _webhook(a, w) | _smtp(a, w)
    margin = a.get("campaign_margin_points", 5.0)
    if isinstance(margin, bool) or not isinstance(margin, (int, float)) \
            or not 0 < margin <= 100:
        raise ConfigError(f"{w}campaign_margin_points: expected a number above 0, at most 100")
    settings["campaign_margin_points"] = float(margin)
    for key, default, low, high in _WHOLE_NUMBERS:
        settings[key] = integer(a.get(key, default), w + key, low, high)
    return Alerts(**settings)
