"""Where requests and error events are recorded.

`open_store(url)` gives a `SqliteStore` for "sqlite:///abs/path.db", "sqlite:rel.db"
or a plain path, and a `PostgresStore` for "postgresql://...".  Both hold the
same tables (see schema.py), create them on first connect and refuse a
database whose schema is newer than this code.
"""

import os

from .. import settings
from .base import SchemaError, Store, StoreError

__all__ = ["open_store", "open_configured", "Store", "StoreError", "SchemaError"]


def open_store(url, base_dir=None, client_secret=None):
    """Open the store named by a `database` setting; relative paths are taken
    relative to `base_dir` (the configuration file's folder).  `client_secret`
    (client.py) is needed where addresses stored by an older version are to
    be converted to their keys."""
    store = _open(url, base_dir)
    store.client_secret = client_secret
    return store


def open_configured(config, database=None, create_secret=False):
    """The store of a configuration (QUILLO_SERVICE_DATABASE, when set, or
    `database` overriding its database), with the client secret.  Only the
    service makes a missing secret (create_secret): one made by a command
    run as another user could not be read by the service.  Raises
    ConfigError when the secret cannot be used."""
    from ..clients import load_secret
    database = settings.database(config, database)
    path = settings.secret_path(config, database)
    secret = load_secret(path) if create_secret or os.path.exists(path) else None
    return open_store(database, settings.config_folder(config), secret)


def _open(url, base_dir):
    path = settings.sqlite_path(url, base_dir)
    if path is None:
        from .postgres import PostgresStore
        from .spool import Spool
        # The spool of requests the database could not take in time lives in
        # the service's state folder (systemd's StateDirectory), else beside
        # the configuration.
        folder = settings.spool_folder(base_dir)
        return PostgresStore(url, Spool(os.path.join(folder, "quillo-postgresql.spool"))
                             if folder else None)
    from .sqlite import SqliteStore
    return SqliteStore(path)
