"""The publisher's TOML configuration: loading, validation and reloading.

A configuration is read once into an immutable `Config`; requests only ever
look at that object.  `ConfigWatcher` stats the file at most once a second and
swaps in a new `Config` when the file changed.  A broken edit keeps the last
good configuration (and says why in the log); a broken file at start-up is an
error, because there is nothing good to keep.
"""

import functools
import logging
import os
import re
import threading
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

log = logging.getLogger("quillo_service")

# Launcher versions are texts like "0,1,0,220": up to four decimal numbers.
_VERSION_RE = re.compile(r"^[0-9]{1,9}(?:[,.][0-9]{1,9}){0,3}\Z")
# What the launcher can take as an address: printable ASCII without blanks.
_ADDRESS_RE = re.compile(r"^https?://[\x21-\x7e]+\Z")
_NAME_RE = re.compile(r"^[\x20-\x7e]{1,64}\Z")


class ConfigError(Exception):
    """The configuration file cannot be used; the text says where and why."""


def parse_version(text):
    """Version text -> tuple of four ints, or None when it is not well formed."""
    if text is None or not _VERSION_RE.match(text):
        return None
    parts = [int(p) for p in re.split(r"[,.]", text)]
    return tuple(parts + [0] * (4 - len(parts)))


@dataclass(frozen=True)
class Rule:
    name: str
    answer: str  # the full instruction body, "GET:..." or "GOTO:..."
    key: str | None = None
    key_prefix: str | None = None
    below_version: tuple | None = None
    rollout: float | None = None  # percent of machines, 0 to 100
    # A staged, guarded rollout: the shares it climbs through (the last is
    # `rollout`), hours per step, and the guard's margin, minimum and false
    # halts; the live step and state are kept in the store (rollouts.py).
    steps: tuple | None = None
    step_hours: float = 24.0
    guard_extra_failure_points: float = 2.0
    guard_min_requests: int = 500
    # The chance, in percent, that the guard ever halts a release no worse
    # than the margin, however long it watches.
    guard_false_halt_percent: float = 1.0

    @property
    def guarded(self):
        return self.steps is not None


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
    client_secret: str | None = None  # path of the address key's secret (client.py)
    alerts: "Alerts" = None

    price_per_gib: float = 0.0  # what a GiB of installer downloads costs, for the dashboard
    currency: str = "USD"

    @functools.cached_property
    def guarded_rules(self):
        return tuple(r for r in self.rules if r.guarded)


@dataclass(frozen=True)
class Alerts:
    """Where alerts go (alerts.py) and when the detectors raise one."""
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


_TOP_KEYS = {
    "database", "full_installer", "support", "retention_days", "limits",
    "maintenance", "channels", "default_channel", "rules", "admin", "client_secret", "alerts",
    "bandwidth",
}
_ALERT_KEYS = {
    "webhook_url", "webhook_secret", "smtp_host", "smtp_port", "smtp_from", "smtp_to",
    "smtp_starttls", "retry_seconds", "give_up_hours", "campaign_margin_points",
    "campaign_min_requests", "crash_new_min", "crash_double_min",
}
_RULE_KEYS = {"name", "key", "key_prefix", "below_version", "rollout", "channel", "page",
              "steps", "step_hours", "guard_extra_failure_points", "guard_min_requests",
              "guard_false_halt_percent"}
_STAGED_KEYS = ("steps", "step_hours", "guard_extra_failure_points", "guard_min_requests",
                "guard_false_halt_percent")


def _address(value, where, *, page=False):
    if not isinstance(value, str) or not _ADDRESS_RE.match(value):
        raise ConfigError(
            f"{where}: expected an http:// or https:// address of printable ASCII "
            f"without blanks or line ends, got {value!r:.80}")
    if page and ("?" in value or "#" in value):
        # The launcher appends "?key=..." to a page address itself.
        raise ConfigError(f"{where}: a page address must not hold a query or fragment")
    return value


def _text(value, where, limit=200):
    if not isinstance(value, str) or not value or len(value) > limit \
            or not value.isprintable():
        raise ConfigError(f"{where}: expected a printable text of 1 to {limit} characters")
    return value


def _integer(value, where, low, high):
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ConfigError(f"{where}: expected a whole number from {low} to {high}")
    return value


def _unknown(table, allowed, where):
    extra = sorted(set(table) - allowed)
    if extra:
        raise ConfigError(f"{where}: unknown setting {extra[0]!r}")


def _mail(value, where):
    if not isinstance(value, str) or not re.match(r"^[^@\s<>]+@[^@\s<>]+\Z", value):
        raise ConfigError(f"{where}: expected an e-mail address, got {value!r:.80}")
    return value


def _parse_alerts(a, p):
    if not isinstance(a, dict):
        raise ConfigError(f"{p}: [alerts] must be a table")
    _unknown(a, _ALERT_KEYS, f"{p}: [alerts]")
    w = f"{p}: alerts."
    url = a.get("webhook_url")
    if url is not None:
        _address(url, w + "webhook_url")
        if "webhook_secret" not in a:
            raise ConfigError(f"{w}webhook_secret: needed with webhook_url, to sign each alert")
    secret = a.get("webhook_secret")
    if secret is not None:
        _text(secret, w + "webhook_secret", 400)
        if len(secret) < 16:
            raise ConfigError(f"{w}webhook_secret: use at least 16 characters")
    host = a.get("smtp_host")
    if host is not None:
        _text(host, w + "smtp_host", 255)
    to = a.get("smtp_to", [])
    to = [to] if isinstance(to, str) else to
    if not isinstance(to, list):
        raise ConfigError(f"{w}smtp_to: expected an address or a list of addresses")
    to = tuple(_mail(t, w + "smtp_to") for t in to)
    sender = a.get("smtp_from")
    if sender is not None:
        _mail(sender, w + "smtp_from")
    if host is not None and (sender is None or not to):
        raise ConfigError(f"{w}smtp_host: give smtp_from and smtp_to too")
    starttls = a.get("smtp_starttls", False)
    if not isinstance(starttls, bool):
        raise ConfigError(f"{w}smtp_starttls must be true or false")
    margin = a.get("campaign_margin_points", 5.0)
    if isinstance(margin, bool) or not isinstance(margin, (int, float)) \
            or not 0 < margin <= 100:
        raise ConfigError(f"{w}campaign_margin_points: expected a number above 0, at most 100")
    return Alerts(
        webhook_url=url, webhook_secret=secret, smtp_host=host,
        smtp_port=_integer(a.get("smtp_port", 25), w + "smtp_port", 1, 65535),
        smtp_from=sender, smtp_to=to, smtp_starttls=starttls,
        retry_seconds=_integer(a.get("retry_seconds", 30), w + "retry_seconds", 1, 86400),
        give_up_hours=_integer(a.get("give_up_hours", 72), w + "give_up_hours", 1, 8760),
        campaign_margin_points=float(margin),
        campaign_min_requests=_integer(a.get("campaign_min_requests", 200),
                                       w + "campaign_min_requests", 1, 10**9),
        crash_new_min=_integer(a.get("crash_new_min", 3), w + "crash_new_min", 1, 10**9),
        crash_double_min=_integer(a.get("crash_double_min", 10), w + "crash_double_min",
                                  1, 10**9))


def _number(value, where, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not low <= value <= high:
        raise ConfigError(f"{where}: expected a number from {low:g} to {high:g}")
    return float(value)


def _staged(r, rollout, where):
    """The staged-rollout settings of rule table r, checked."""
    if not any(k in r for k in _STAGED_KEYS):
        return {}
    if "steps" not in r or rollout is None:
        raise ConfigError(f"{where}: step_hours and the guard settings need rollout and steps")
    steps = r["steps"]
    if not isinstance(steps, list) or not 1 <= len(steps) <= 20:
        raise ConfigError(f"{where}: steps must be a list of 1 to 20 percentages")
    steps = tuple(_number(s, f"{where}: steps", 0.01, 100) for s in steps)
    if any(a >= b for a, b in zip(steps, steps[1:])):
        raise ConfigError(f"{where}: steps must rise")
    if steps[-1] != rollout:
        raise ConfigError(f"{where}: the last step must equal rollout ({rollout:g}), "
                          "the share the rollout ends at")
    return {"steps": steps,
            "step_hours": _number(r.get("step_hours", 24), f"{where}: step_hours", 0, 8760),
            "guard_extra_failure_points": _number(r.get("guard_extra_failure_points", 2.0),
                                                  f"{where}: guard_extra_failure_points",
                                                  0, 100),
            "guard_min_requests": _integer(r.get("guard_min_requests", 500),
                                           f"{where}: guard_min_requests", 1, 10**9),
            "guard_false_halt_percent": _number(r.get("guard_false_halt_percent", 1.0),
                                                f"{where}: guard_false_halt_percent",
                                                0.01, 10)}


def parse_config(data, path="<config>"):
    """Validate parsed TOML `data` and build a `Config`."""
    p = str(path)
    _unknown(data, _TOP_KEYS, p)

    database = data.get("database", "quillo.db")
    _text(database, f"{p}: database", 1000)

    full_installer = data.get("full_installer")
    if full_installer is not None:
        _address(full_installer, f"{p}: full_installer")
    support = data.get("support")
    if support is not None:
        _text(support, f"{p}: support")
    retention_days = _integer(data.get("retention_days", 90), f"{p}: retention_days", 1, 36500)
    client_secret = data.get("client_secret")
    if client_secret is not None:
        _text(client_secret, f"{p}: client_secret", 1000)
    alerts = _parse_alerts(data.get("alerts", {}), p)

    limits = data.get("limits", {})
    if not isinstance(limits, dict):
        raise ConfigError(f"{p}: [limits] must be a table")
    _unknown(limits, {"events_per_minute"}, f"{p}: [limits]")
    events_per_minute = _integer(limits.get("events_per_minute", 20),
                                 f"{p}: limits.events_per_minute", 1, 10**9)

    bandwidth = data.get("bandwidth", {})
    if not isinstance(bandwidth, dict):
        raise ConfigError(f"{p}: [bandwidth] must be a table")
    _unknown(bandwidth, {"price_per_gib", "currency"}, f"{p}: [bandwidth]")
    price = bandwidth.get("price_per_gib", 0)
    if isinstance(price, bool) or not isinstance(price, (int, float)) \
            or not 0 <= price <= 10**6:
        raise ConfigError(f"{p}: bandwidth.price_per_gib: expected a number from 0 to 1000000")
    currency = _text(bandwidth.get("currency", "USD"), f"{p}: bandwidth.currency", 8)

    maint = data.get("maintenance", {})
    if not isinstance(maint, dict):
        raise ConfigError(f"{p}: [maintenance] must be a table")
    _unknown(maint, {"enabled", "page"}, f"{p}: [maintenance]")
    enabled = maint.get("enabled", False)
    if not isinstance(enabled, bool):
        raise ConfigError(f"{p}: maintenance.enabled must be true or false")
    maintenance_answer = None
    if "page" in maint:
        maintenance_answer = "GOTO:" + _address(maint["page"], f"{p}: maintenance.page", page=True)
    if enabled and maintenance_answer is None:
        raise ConfigError(f"{p}: maintenance is enabled but maintenance.page is missing")

    channels = data.get("channels")
    if not isinstance(channels, dict) or not channels:
        raise ConfigError(f"{p}: [channels] must name at least one channel")
    for name, address in channels.items():
        if not _NAME_RE.match(name):
            raise ConfigError(f"{p}: channel name {name!r:.80} is not printable ASCII")
        _address(address, f"{p}: channels.{name}")

    default_channel = data.get("default_channel")
    if default_channel is None:
        raise ConfigError(f"{p}: default_channel is missing (put it before the first table)")
    if default_channel not in channels:
        raise ConfigError(f"{p}: default_channel {default_channel!r:.80} is not a channel")

    admin = data.get("admin")
    if admin is not None:
        if not isinstance(admin, dict):
            raise ConfigError(f"{p}: [admin] must be a table")
        _unknown(admin, {"user", "password_hash"}, f"{p}: [admin]")
        user = _text(admin.get("user"), f"{p}: admin.user", 64)
        password_hash = _text(admin.get("password_hash"), f"{p}: admin.password_hash", 400)
        if not password_hash.startswith("pbkdf2:") or password_hash.count("$") != 2:
            raise ConfigError(f"{p}: admin.password_hash is not a password hash; make one with "
                              "python3 -m quillo_service hash-password")
        admin = (user, password_hash)

    rules_data = data.get("rules", [])
    if not isinstance(rules_data, list):
        raise ConfigError(f"{p}: rules must be written as [[rules]] tables")
    rules, names = [], set()
    for i, r in enumerate(rules_data, 1):
        where = f"{p}: rule {i}"
        if not isinstance(r, dict):
            raise ConfigError(f"{where}: must be a table")
        _unknown(r, _RULE_KEYS, where)
        name = r.get("name")
        if not isinstance(name, str) or not _NAME_RE.match(name):
            raise ConfigError(f"{where}: needs a name of 1 to 64 printable ASCII characters")
        # "fallback" is what the requests nginx answered alone are recorded
        # under (fallback.py): a rule of that name would be counted with them.
        if name in names or name in ("default", "maintenance", "fallback"):
            raise ConfigError(f"{where}: the name {name!r} is already taken")
        names.add(name)
        where = f"{p}: rule {name!r}"
        if "key" in r and "key_prefix" in r:
            raise ConfigError(f"{where}: give key or key_prefix, not both")
        key = r.get("key")
        if key is not None:
            _text(key, f"{where}: key", 1023)
        key_prefix = r.get("key_prefix")
        if key_prefix is not None:
            _text(key_prefix, f"{where}: key_prefix", 1023)
        below = None
        if "below_version" in r:
            below = parse_version(r["below_version"] if isinstance(r["below_version"], str) else None)
            if below is None:
                raise ConfigError(f"{where}: below_version must look like \"0,1,0,200\"")
        rollout = r.get("rollout")
        if rollout is not None:
            if isinstance(rollout, bool) or not isinstance(rollout, (int, float)) \
                    or not 0 <= rollout <= 100:
                raise ConfigError(f"{where}: rollout must be a percentage from 0 to 100")
            rollout = float(rollout)
        staged = _staged(r, rollout, where)
        if ("channel" in r) == ("page" in r):
            raise ConfigError(f"{where}: needs exactly one of channel or page")
        if "channel" in r:
            if r["channel"] not in channels:
                raise ConfigError(f"{where}: channel {r['channel']!r:.80} is not defined")
            answer = "GET:" + channels[r["channel"]]
        else:
            answer = "GOTO:" + _address(r["page"], f"{where}: page", page=True)
        rules.append(Rule(name=name, answer=answer, key=key, key_prefix=key_prefix,
                          below_version=below, rollout=rollout, **staged))

    return Config(
        path=p, database=database, full_installer=full_installer, support=support,
        retention_days=retention_days, events_per_minute=events_per_minute,
        maintenance=enabled, maintenance_answer=maintenance_answer,
        channels=dict(channels), default_channel=default_channel,
        default_answer="GET:" + channels[default_channel], rules=tuple(rules),
        admin=admin, client_secret=client_secret, alerts=alerts,
        price_per_gib=float(price), currency=currency)


def _signature(st):
    return (st.st_ino, st.st_size, st.st_mtime_ns)


def _load(path):
    """(Config, signature of the file that was read); raises ConfigError.

    The signature is taken before the read and compared after the parse, so
    a file changed meanwhile is never the one returned."""
    try:
        with open(path, "rb") as f:
            before = os.fstat(f.fileno())
            data = f.read()
    except OSError as e:
        raise ConfigError(f"{path}: cannot read the file: {e.strerror}") from None
    try:
        config = parse_config(tomllib.loads(data.decode("utf-8")), path)
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise ConfigError(f"{path}: not valid TOML: {e}") from None
    finally:
        try:
            after = _signature(os.stat(path))
        except OSError:
            after = None
    if _signature(before) != after:
        raise _Changing()
    return config, after


class _Changing(Exception):
    """The file changed while it was read."""


def load_config(path):
    """Read and validate the TOML file at `path`; raises ConfigError."""
    for _ in range(10):
        try:
            return _load(path)[0]
        except _Changing:
            time.sleep(0.05)
    raise ConfigError(f"{path}: the file keeps changing while it is read")


class ConfigWatcher:
    """Holds the current configuration and picks up edits to its file.

    `current()` is called on every request; it stats the file at most once per
    `interval` seconds and parses it only when inode, size or mtime changed.
    A file rewritten in place passes through half-written states that may
    well be valid TOML (say, without its rules), so an edit is swapped in only
    once the file has been left alone for `settle` seconds and did not change
    while it was read and parsed.  Replacing the file by a rename is atomic
    and needs no such wait, but the wait costs little.
    """

    def __init__(self, path, interval=1.0, clock=time.monotonic, settle=0.5):
        self.path = str(Path(path).resolve())
        self.interval = interval
        self.settle = settle
        self._clock = clock
        self._lock = threading.Lock()
        self._config = load_config(self.path)
        self._signature = _signature(os.stat(self.path))
        self._checked_at = clock()

    def current(self):
        if self._clock() - self._checked_at >= self.interval:
            self._check()
        return self._config

    def _check(self):
        with self._lock:
            now = self._clock()
            if now - self._checked_at < self.interval:
                return
            self._checked_at = now
            try:
                st = os.stat(self.path)
            except OSError as e:
                if self._signature is not None:
                    log.error("configuration %s cannot be read (%s); keeping the last good one",
                              self.path, e.strerror)
                    self._signature = None
                return
            sig = _signature(st)
            if sig == self._signature:
                return
            if 0 <= time.time() - st.st_mtime < self.settle:
                return  # still being written, perhaps: look again next time
            try:
                config, sig = _load(self.path)
            except _Changing:
                return
            except ConfigError as e:
                # Remembered, so that a broken edit is reported once, not every second.
                self._signature = sig
                log.error("configuration not reloaded, keeping the last good one: %s", e)
                return
            self._signature = sig
            if config.database != self._config.database:
                log.warning("configuration: a changed database takes effect only after a restart")
            self._config = config
            log.info("configuration reloaded from %s", self.path)

