"""The publisher's TOML configuration: loading, validation and reloading.

A configuration is read once into an immutable `Config`; requests only ever
look at that object.  `ConfigWatcher` stats the file at most once a second and
swaps in a new `Config` when the file changed.  A broken edit keeps the last
good configuration (and says why in the log); a broken file at start-up is an
error, because there is nothing good to keep.

Each table of the file has its parser in the module named after it;
`parse_config` checks them in the file's usual order, so that of two faults
the one nearer the top is reported.
"""

import functools
from dataclasses import dataclass

from .admin import parse_admin
from .alerts import Alerts, parse_alerts
from .bandwidth import parse_bandwidth
from .channels import parse_channels
from .checks import ConfigError, unknown
from .limits import parse_limits
from .maintenance import parse_maintenance
from .rules import Rule, parse_rules
from .top_level import GUARD_SILENT_HOURS, parse_top_level
from .version import parse_version
from .watcher import ConfigWatcher, load_config

__all__ = ["Alerts", "Config", "ConfigError", "ConfigWatcher", "Rule", "load_config",
           "parse_config", "parse_version"]


@dataclass(frozen=True)
class Config:
    path: str
    database: str
    full_installer: str | None
    support: str | None
    retention_days: int
    events_per_minute: int
    maintenance: bool
    maintenance_answer: str | None
    channels: dict
    default_channel: str
    default_answer: str
    rules: tuple
    admin: tuple | None = None  # (user, password hash) for /admin/, or None: no access
    client_secret: str | None = None  # path of the address key's secret (clients.py)
    alerts: Alerts = None

    guard_silent_hours: int = GUARD_SILENT_HOURS  # hours looked at for no failure report
    price_per_gib: float = 0.0  # what a GiB of installer downloads costs, for the dashboard
    currency: str = "USD"

    @functools.cached_property
    def guarded_rules(self):
        return tuple(r for r in self.rules if r.guarded)


_TOP_KEYS = {
    "database", "full_installer", "support", "retention_days", "limits",
    "maintenance", "channels", "default_channel", "rules", "admin", "client_secret", "alerts",
    "bandwidth", "guard_silent_hours",
}


def parse_config(data, path="<config>"):
    """Validate parsed TOML `data` and build a `Config`."""
    p = str(path)
    unknown(data, _TOP_KEYS, p)
    settings = parse_top_level(data, p)
    alerts = parse_alerts(data, p)
    events_per_minute = parse_limits(data, p)
    price_per_gib, currency = parse_bandwidth(data, p)
    maintenance, maintenance_answer = parse_maintenance(data, p)
    channels, default_channel = parse_channels(data, p)
    admin = parse_admin(data, p)
    rules = parse_rules(data, channels, p)
    return Config(
        path=p, **settings, alerts=alerts, events_per_minute=events_per_minute,
        price_per_gib=price_per_gib, currency=currency,
        maintenance=maintenance, maintenance_answer=maintenance_answer,
        channels=channels, default_channel=default_channel,
        default_answer="GET:" + channels[default_channel], admin=admin, rules=rules)
