"""The Quillo setup service: instructions for the launcher, error and crash pages.

    cd service && /usr/bin/python3 -m gunicorn 'quillo_service:create_app()'

reads the configuration named by QUILLO_SERVICE_CONFIG; QUILLO_SERVICE_DATABASE,
when set, replaces the configuration's `database`; QUILLO_SERVICE_PROXIES and
QUILLO_SERVICE_FALLBACK describe the nginx in front (see create_app);
QUILLO_SERVICE_HOUSEKEEPING=off keeps this process out of the shared periodic
jobs (background.py), QUILLO_SERVICE_LEASE_SECONDS sets how soon another host takes
them over from a dead one, and QUILLO_SERVICE_HOST names the host among those
that share a database (settings.py).
"""

import importlib
import logging
import os
import sys
import time

from flask import Flask

from . import settings
from .clients import parse_proxies
from .config import ConfigError, ConfigWatcher
from .db import StoreError, open_configured

__all__ = ["create_app", "load_features", "ConfigError", "StoreError"]

log = logging.getLogger("quillo_service")

# The features that keep tables: each registers, when imported, how long its
# rows are kept (db/retention.py), so everything that purges loads them all.
FEATURES_WITH_TABLES = ("reports.records", "ingest.positions", "dashboard.queries",
                        "funnel.queries", "rollouts.queries", "rollouts.history",
                        "alerts.queue")


def load_features():
    """Import the features that keep tables, so that purge knows every one."""
    for name in FEATURES_WITH_TABLES:
        importlib.import_module(f".{name}", __name__)


class ServiceState:
    """What the views share: the configuration watcher, the store, the clock.

    Nothing here changes per request; the service keeps no other state, so any
    number of workers and hosts can serve the same clients.
    """

    def __init__(self, watcher, store, clock=time.time, proxies=(), live=None):
        # The features are imported when the application is built, not with
        # the package, so that importing one feature loads no other.
        self.watcher = watcher
        self.store = store
        self.secret = store.client_secret  # what client addresses are hashed with
        self.clock = clock
        self.proxies = proxies  # networks whose X-Real-IP is believed (see clients.py)
        from .rollouts.live import Live
        self.live = live or Live(store)  # each staged rollout's share, read once a second
        self.scheduler = None  # background.Scheduler: the host's jobs and the shared work


def _setup_logging():
    if not log.handlers and not logging.getLogger().handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        log.addHandler(handler)
    if log.level == logging.NOTSET:
        log.setLevel(logging.INFO)


def create_app(config_path=None, database=None, proxies=None, fallback=None,
               housekeeping=None):
    """Build the application.  Raises ConfigError or StoreError with a clear
    message when the configuration or the database cannot be used.

    proxies (QUILLO_SERVICE_PROXIES): addresses or networks, besides the unix
    socket, whose X-Real-IP header is believed.  fallback
    (QUILLO_SERVICE_FALLBACK): the folder where nginx finds the answer it
    gives when the service cannot, and logs each time it does (ingest/fallback.py).
    housekeeping (QUILLO_SERVICE_HOUSEKEEPING, default on): whether this
    process takes its turn at the shared periodic jobs (background.py).
    """
    _setup_logging()
    load_features()
    config_path = settings.config_path(config_path)
    if not config_path:
        raise ConfigError("no configuration file: set QUILLO_SERVICE_CONFIG "
                          "(for example to service/example.toml)")
    try:  # read again where used: a bad value stops the start-up here
        settings.lease_seconds()
    except ValueError as e:
        raise ConfigError(str(e)) from None
    watcher = ConfigWatcher(config_path)
    config = watcher.current()
    store = open_configured(config, database, create_secret=True)
    # Create or check the schema now, so a bad database stops the start-up;
    # each worker then opens its own connection on its first request.
    store.check()
    try:  # requests spooled before a restart
        store.replay_spool()
    except (StoreError, OSError) as e:
        log.warning("spooled requests not written yet: %s", e)
    from .rollouts import changes
    # The halts settled and read before the first request: a rule new to
    # the service may start halted, and one without steps may be halted.
    changes.log_reload(store, config)
    from .rollouts.live import Live
    live = Live(store)
    try:
        live.read()
    except StoreError as e:
        log.warning("rollouts: their state is read at the first request: %s", e)
    store.close()
    log.info("serving with %s and configuration %s", store.describe(), watcher.path)

    app = Flask(__name__)
    app.config["MAX_CONTENT_LENGTH"] = 4096  # nothing here takes a request body
    proxies = parse_proxies(settings.proxies_text(proxies))
    state = app.extensions["quillo"] = ServiceState(watcher, store, proxies=proxies, live=live)
    watcher.on_reload = lambda new: changes.log_reload(store, new)
    fallback = settings.fallback_folder(fallback)
    from .background import Scheduler
    shared = settings.housekeeping(housekeeping)
    scheduler = Scheduler(store, watcher.current, shared=shared)
    try:
        # Without a fallback folder this process is no host of the deployment.
        scheduler.add_host_jobs(os.path.abspath(fallback) if fallback else None, watcher,
                                secret=state.secret)
    except OSError as e:
        raise ConfigError(f"QUILLO_SERVICE_FALLBACK: cannot write the fallback answer in "
                          f"{fallback}: {e.strerror}") from None
    if shared:
        scheduler.add_housekeeping()
    state.scheduler = scheduler.start()

    from . import admin, health
    from .launcher import instructions
    from .metrics import view as metrics
    from .reports import pages
    app.register_blueprint(instructions.bp)
    app.register_blueprint(health.bp)
    app.register_blueprint(pages.bp)
    app.register_blueprint(admin.bp)
    app.register_blueprint(metrics.bp)
    pages.register_error_handlers(app)
    app.wsgi_app = instructions.FastPath(app.wsgi_app, state)
    return app
