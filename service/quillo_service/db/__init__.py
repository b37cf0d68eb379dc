"""The data core: where requests are recorded, and what every feature builds
its own SQL on.

`open_store(url)` gives a `SqliteStore` for "sqlite:///abs/path.db", "sqlite:rel.db"
or a plain path, and a `PostgresStore` for "postgresql://...".  Both hold the
same tables (schema.py, the one ordered list of schema steps), create them on
first connect and refuse a database whose schema is newer than this code.
Every difference between the two databases is in sqlite.py and postgres.py.

What the features use (a feature's SQL lives with the feature, never here):
- transactions: `transaction(patient=False)` writes and commits, or rolls
  back; `writer(patient=False)` around it queues a writer where the database
  has one writer at a time; `store_errors()` turns database errors into
  StoreError; `insert_many`, `lock_rollup`.
- reads and read snapshots: `read(sql, params)` (tuples), `rows(sql,
  params)` (dicts), `snapshot()` for reads that must agree with each other.
- the dialect: `placeholder`, `now_sql`, `day_sql`, `find_sql`, `now()`.
- the time-to-id search: `first_id(table, ts)`, `last_id(table, below)`
  (never MAX(id) over `requests` or `downloads` yourself: on PostgreSQL
  they are views of packed rows, packed.py, and the aggregate would read
  every row), and LAG (base.py), how far behind the newest id a reader of
  ids stops.
- positions: `position`, `start_position`, `move_position`, `set_position`,
  `drop_position`, values kept under a name (rollup_state).
- retention by registration: a feature registers its tables in retention.py
  when imported; `purge(days)` deletes their old rows and returns how many
  records (register_records) went.  On PostgreSQL requests, events and
  downloads are partitioned by UTC day (partitions.py): purge drops whole
  days, each once all of it is older than the cutoff (a day with statistics
  is counted from them, close but not exact), and `prepare_days(now)`
  (housekeeping, and at schema creation) makes the days ahead; both do
  nothing on SQLite and on an unpartitioned table.
- packed rows (packed.py): on PostgreSQL requests and downloads are kept
  in requests_packed and downloads_packed (texts numbered in `texts`, hex
  as bytes), read through views named `requests` and `downloads` with the
  old columns; the days and the retention are the packed tables'.  Write
  them through record_request and insert_many, which pack in Python.
- the spool: `record_request` writes a request, or spools it when the
  database cannot take it in time; `replay_spool`, `lost_requests`.
- leases: `take_lease`, `drop_lease`, `lease_holder`: one holder at a time
  across hosts (background.py).
- request ids (request_ids): `record_request` and `replay_spool` record a
  request whose id was recorded within REQUEST_ID_WINDOW (base.py) by no
  host; `fresh_requests` applies the same rule to rows added in bulk
  (nginx's logs), `prune_request_ids` forgets the older ids, the
  reports' (event_ids) too.
- reports (events.py): `write_event` stores one in an open transaction
  unless a report of its request id was stored already; `spool_event`
  spools one the database could not take, for `replay_spool`.
- hosts: `beat` writes a host's heartbeat (with the configuration it serves
  with), `hosts` reads them all,
  `forget_host` drops one, `spooled` counts this host's spool.
"""
import os

from .. import settings
from .base import SchemaError, Store, StoreError

__all__ = ["open_store", "open_configured", "Store", "StoreError", "SchemaError"]


def open_store(url, base_dir=None, client_secret=None, partitioned=True):
    """Open the store named by a `database` setting; relative paths are taken
    relative to `base_dir` (the configuration file's folder).  `client_secret`
    (clients.py) is needed where addresses stored by an older version are to
    be converted to their keys.  partitioned=False is for benchmarks only: a
    PostgreSQL database it makes (or upgrades) keeps the unpartitioned tables
    of version 10, to compare with; SQLite ignores it."""
    store = _open(url, base_dir, partitioned)
    store.client_secret = client_secret
    return store


def open_configured(config, database=None, create_secret=False, create=True):
    """The store of a configuration (QUILLO_SERVICE_DATABASE, when set, or
    `database` overriding its database), with the client secret.  Only the
    service makes a missing secret (create_secret): one made by a command
    run as another user could not be read by the service.  create=False (a
    command that only reads or changes what is there) raises StoreError,
    naming the database, where it does not exist yet, instead of making an
    empty one.  Raises ConfigError when the secret cannot be used."""
    from ..clients import load_secret
    database = settings.database(config, database)
    if not create:
        store = open_store(database, settings.config_folder(config))
        if not store.exists():
            raise StoreError(f"{store.describe()} does not exist: the service makes it at its "
                             f"first start. Is {config.path} the configuration it serves? "
                             "(QUILLO_SERVICE_DATABASE overrides its database)")
    path = settings.secret_path(config, database)
    secret = load_secret(path) if create_secret or os.path.exists(path) else None
    return open_store(database, settings.config_folder(config), secret)


def _open(url, base_dir, partitioned=True):
    path = settings.sqlite_path(url, base_dir)
    if path is None:
        from .postgres import PostgresStore
        from .spool import Spool
        # The spool of requests the database could not take in time lives in
        # the service's state folder (systemd's StateDirectory), else beside
        # the configuration.
        folder = settings.spool_folder(base_dir)
        return PostgresStore(url, Spool(os.path.join(folder, "quillo-postgresql.spool"))
                             if folder else None, partitioned=partitioned)
    from .sqlite import SqliteStore
    return SqliteStore(path)
