"""The Quillo setup service: instructions for the launcher, error and crash pages.

    cd service && /usr/bin/python3 -m gunicorn 'quillo_service:create_app()'

reads the configuration named by QUILLO_SERVICE_CONFIG; QUILLO_SERVICE_DATABASE,
when set, replaces the configuration's `database`; QUILLO_SERVICE_PROXIES and
QUILLO_SERVICE_FALLBACK describe the nginx in front (see create_app).
"""

import logging
import os
import sys
import time

from flask import Flask

from .client import parse_proxies
from .config import ConfigError, ConfigWatcher
from .rollouts import Live
from .store import StoreError, open_store

__all__ = ["create_app", "ConfigError", "StoreError"]

log = logging.getLogger("quillo_service")


class ServiceState:
    """What the views share: the configuration watcher, the store, the clock.

    Nothing here changes per request; the service keeps no other state, so any
    number of workers and hosts can serve the same clients.
    """

    def __init__(self, watcher, store, clock=time.time, proxies=()):
        self.watcher = watcher
        self.store = store
        self.clock = clock
        self.proxies = proxies  # networks whose X-Real-IP is believed (see client.py)
        self.live = Live(store)  # each staged rollout's share, read once a second
        self.fallback = None    # fallback.Keeper: the worker's background thread


def _setup_logging():
    if not log.handlers and not logging.getLogger().handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        log.addHandler(handler)
    if log.level == logging.NOTSET:
        log.setLevel(logging.INFO)


def create_app(config_path=None, database=None, proxies=None, fallback=None):
    """Build the application.  Raises ConfigError or StoreError with a clear
    message when the configuration or the database cannot be used.

    proxies (QUILLO_SERVICE_PROXIES): addresses or networks, besides the unix
    socket, whose X-Real-IP header is believed.  fallback
    (QUILLO_SERVICE_FALLBACK): the folder where nginx finds the answer it
    gives when the service cannot, and logs each time it does (fallback.py).
    """
    _setup_logging()
    config_path = config_path or os.environ.get("QUILLO_SERVICE_CONFIG")
    if not config_path:
        raise ConfigError("no configuration file: set QUILLO_SERVICE_CONFIG "
                          "(for example to service/example.toml)")
    watcher = ConfigWatcher(config_path)
    config = watcher.current()
    database = database or os.environ.get("QUILLO_SERVICE_DATABASE") or config.database
    store = open_store(database, base_dir=os.path.dirname(watcher.path))
    # Create or check the schema now, so a bad database stops the start-up;
    # each worker then opens its own connection on its first request.
    store.check()
    try:  # requests spooled before a restart
        store.replay_spool()
    except (StoreError, OSError) as e:
        log.warning("spooled requests not written yet: %s", e)
    store.close()
    log.info("serving with %s and configuration %s", store.describe(), watcher.path)

    app = Flask(__name__)
    app.config["MAX_CONTENT_LENGTH"] = 4096  # nothing here takes a request body
    proxies = parse_proxies(os.environ.get("QUILLO_SERVICE_PROXIES", "")
                            if proxies is None else proxies)
    state = app.extensions["quillo"] = ServiceState(watcher, store, proxies=proxies)
    fallback = fallback or os.environ.get("QUILLO_SERVICE_FALLBACK")
    from .fallback import Keeper
    try:
        # Without a fallback folder the thread only runs the rollouts' guard.
        state.fallback = Keeper(os.path.abspath(fallback) if fallback else None,
                                watcher, store).start()
    except OSError as e:
        raise ConfigError(f"QUILLO_SERVICE_FALLBACK: cannot write the fallback answer in "
                          f"{fallback}: {e.strerror}") from None

    from . import admin, instructions, pages
    app.register_blueprint(instructions.bp)
    app.register_blueprint(pages.bp)
    app.register_blueprint(admin.bp)
    pages.register_error_handlers(app)
    app.wsgi_app = instructions.FastPath(app.wsgi_app, state)
    return app
