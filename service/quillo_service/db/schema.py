"""The tables, written once for both databases.

Types are spelled in a form each database understands; `{id}` and `{float}`
are filled in per database; a dict holds the steps only one database takes.

No index on the time columns: every index costs each instruction request a
page write.  Rows are added in time order, so retention finds its boundary by
a binary search over the ids instead (see Store.purge).  On PostgreSQL the
tables that grow with traffic are partitioned by day from version 11 on, and
retention drops whole days (partitions.py).
"""

SCHEMA_VERSION = 22

TABLES = [
    """CREATE TABLE IF NOT EXISTS requests (
        id {id},
        recorded_at {float} NOT NULL,
        client TEXT NOT NULL,
        bundle_key TEXT,
        version TEXT,
        machine_id TEXT,
        answer TEXT NOT NULL,
        rule TEXT NOT NULL,
        malformed TEXT NOT NULL,
        cut TEXT NOT NULL
    )""",
    """CREATE TABLE IF NOT EXISTS events (
        id {id},
        recorded_at {float} NOT NULL,
        client TEXT NOT NULL,
        reference TEXT NOT NULL,
        kind TEXT NOT NULL,
        source TEXT,
        code TEXT,
        message TEXT,
        error TEXT,
        version TEXT,
        os TEXT,
        bundle_key TEXT,
        code_number BIGINT,
        hresult BIGINT,
        module TEXT,
        module_base BIGINT,
        address BIGINT,
        module_offset BIGINT,
        exception_code BIGINT,
        malformed TEXT NOT NULL,
        cut TEXT NOT NULL
    )""",
    "CREATE INDEX IF NOT EXISTS events_reference ON events (reference)",
    """CREATE TABLE IF NOT EXISTS rate_counts (
        client TEXT NOT NULL,
        window_start BIGINT NOT NULL,
        hits BIGINT NOT NULL,
        PRIMARY KEY (client, window_start)
    )""",
]

# Version 2: the dashboard's daily counts of requests (see dashboard/queries.py),
# filled from the requests up to `rollup_state.last_id` (`value` from version
# 10 on), never on the hot path.
_ROLLUP = [
    """CREATE TABLE IF NOT EXISTS requests_daily (
        day BIGINT NOT NULL,
        bundle_key TEXT NOT NULL,
        version TEXT NOT NULL,
        answer TEXT NOT NULL,
        malformed TEXT NOT NULL,
        n BIGINT NOT NULL,
        PRIMARY KEY (day, bundle_key, version, answer, malformed)
    )""",
    """CREATE TABLE IF NOT EXISTS rollup_state (
        name TEXT PRIMARY KEY,
        last_id BIGINT NOT NULL
    )""",
]
TABLES += _ROLLUP


def _rebuild(table, create):
    """SQLite cannot change a key column in place: copy the rows to a new table."""
    return [f"ALTER TABLE {table} RENAME TO {table}_v2", create,
            f"INSERT INTO {table} SELECT * FROM {table}_v2", f"DROP TABLE {table}_v2"]


# Version 3: on SQLite, ids that are never reused (AUTOINCREMENT).  The rows are
# kept; the requests' sequence starts past the rollup's position too, in case
# ids were already reused.  PostgreSQL's identity columns never reuse ids.
_NO_REUSE = (_rebuild("requests", TABLES[0]) + _rebuild("events", TABLES[1]) + [
    TABLES[2],
    "DELETE FROM sqlite_sequence WHERE name = 'requests'",
    "INSERT INTO sqlite_sequence (name, seq) SELECT 'requests', MAX("
    "COALESCE((SELECT MAX(id) FROM requests), 0), "
    "COALESCE((SELECT MAX(last_id) FROM rollup_state WHERE name = 'requests'), 0))",
])

# Version 4: how far each log of answers given without the service (nginx's
# fallback log, see ingest/fallback.py) has been read into `requests`: the file's
# identity, the byte position after the last line taken, and the lines that
# could not be read.  It moves in the same transaction as the rows it adds.
_INGEST = [
    """CREATE TABLE IF NOT EXISTS ingest_state (
        name TEXT PRIMARY KEY,
        file TEXT NOT NULL,
        position BIGINT NOT NULL,
        skipped BIGINT NOT NULL
    )""",
]
TABLES += _INGEST

# Version 5: the id nginx gave each request it passed on (X-Request-Id), so
# that an answer nginx gave in the service's place after the service had
# already recorded the request (a worker killed before it answered) is not
# counted twice; see ingest/fallback.py.  Added to the table as it stands, so the
# rebuild of version 3 above keeps its column list.
_REQUEST_IDS = ["ALTER TABLE requests ADD COLUMN request_id TEXT"]
TABLES += _REQUEST_IDS

# Version 6: alerts waiting to be delivered, one row per alert and channel
# (see alerts/; the unique key is what makes an alert happen once), and the
# leases that let one host at a time run the periodic jobs (background.py).
_ALERTS = [
    """CREATE TABLE IF NOT EXISTS alert_outbox (
        id {id},
        created_at {float} NOT NULL,
        alert_key TEXT NOT NULL,
        channel TEXT NOT NULL,
        kind TEXT NOT NULL,
        data TEXT NOT NULL,
        attempts BIGINT NOT NULL,
        next_at {float} NOT NULL,
        done_at {float},
        outcome TEXT NOT NULL,
        last_error TEXT NOT NULL,
        UNIQUE (alert_key, channel)
    )""",
    "CREATE INDEX IF NOT EXISTS alert_outbox_due ON alert_outbox (outcome, next_at)",
    """CREATE TABLE IF NOT EXISTS leases (
        name TEXT PRIMARY KEY,
        holder TEXT NOT NULL,
        expires_at {float} NOT NULL
    )""",
]
TABLES += _ALERTS


def _hash_addresses(store, conn):
    """Version 6 keeps no client address, only its keyed hash: convert the
    rows that older versions stored (see Store.hash_stored_addresses)."""
    store.hash_stored_addresses(conn)


# Version 7: staged rollouts (see rollouts/).  `rollout_state` is the live
# state of each guarded rule, shared by every host and changed only by
# conditional updates on `version`; `rollout_audit` records every change and
# every refused attempt; `rollout_counts` holds requests and failed requests
# per rule, hour and arm, counted once from the requests and events after the
# positions kept in rollup_state.  For the last hours only, `rollout_recent`
# holds every request's client and key (indexed, which `requests` is not:
# an index there would cost every instruction request), so that a failure
# finds the request before it at once, and `rollout_arms` which arm each
# request fell in, so that the failure is laid at that request once.
_ROLLOUTS = [
    """CREATE TABLE IF NOT EXISTS rollout_state (
        rule TEXT PRIMARY KEY,
        step INTEGER NOT NULL,
        since {float} NOT NULL,
        from_hour BIGINT NOT NULL,
        state TEXT NOT NULL,
        why TEXT NOT NULL,
        changed_at {float} NOT NULL,
        version BIGINT NOT NULL
    )""",
    """CREATE TABLE IF NOT EXISTS rollout_audit (
        id {id},
        recorded_at {float} NOT NULL,
        rule TEXT NOT NULL,
        who TEXT NOT NULL,
        action TEXT NOT NULL,
        old_state TEXT NOT NULL,
        new_state TEXT NOT NULL,
        why TEXT NOT NULL
    )""",
    """CREATE TABLE IF NOT EXISTS rollout_counts (
        rule TEXT NOT NULL,
        hour BIGINT NOT NULL,
        arm TEXT NOT NULL,
        requests BIGINT NOT NULL,
        failures BIGINT NOT NULL,
        PRIMARY KEY (rule, hour, arm)
    )""",
    """CREATE TABLE IF NOT EXISTS rollout_arms (
        request_id BIGINT NOT NULL,
        rule TEXT NOT NULL,
        arm TEXT NOT NULL,
        hour BIGINT NOT NULL,
        failed INTEGER NOT NULL,
        PRIMARY KEY (request_id, rule)
    )""",
    """CREATE TABLE IF NOT EXISTS rollout_recent (
        request_id BIGINT PRIMARY KEY,
        recorded_at {float} NOT NULL,
        client TEXT NOT NULL,
        bundle_key TEXT
    )""",
    "CREATE INDEX IF NOT EXISTS rollout_recent_client ON rollout_recent (client, recorded_at)",
]
TABLES += _ROLLOUTS

# Version 8: the installer downloads nginx logged (see ingest/downloads.py), one row
# per request under /installers/: when it ended, the client, the file, the
# status, the first byte sent and how many, the file's whole size, the seconds
# it took, whether nginx sent all it meant to, and the Range asked.  Like
# requests, no index but the id: rows come in (nearly) time order, so a time
# range is found by a binary search over the ids.  The funnel's counts per
# day and per hour (store/funnel.py) are rolled up from requests, downloads
# and events up to `rollup_state` "funnel", a time in seconds; funnel_recent
# holds those of the requests since, as far as they are known, replaced whole
# about once a minute.
_DOWNLOADS = [
    """CREATE TABLE IF NOT EXISTS downloads (
        id {id},
        recorded_at {float} NOT NULL,
        client TEXT NOT NULL,
        path TEXT NOT NULL,
        status INTEGER NOT NULL,
        first_byte BIGINT NOT NULL,
        sent BIGINT NOT NULL,
        size BIGINT,
        seconds {float} NOT NULL,
        complete INTEGER NOT NULL,
        range_asked TEXT
    )""",
] + [f"""CREATE TABLE IF NOT EXISTS {table} (
        {unit} BIGINT NOT NULL,
        bundle_key TEXT NOT NULL,
        version TEXT NOT NULL,
        rule TEXT NOT NULL,
        answer TEXT NOT NULL,
        asked BIGINT NOT NULL,
        sent_to_download BIGINT NOT NULL,
        started BIGINT NOT NULL,
        completed BIGINT NOT NULL,
        resumed BIGINT NOT NULL,
        failed BIGINT NOT NULL,
        no_news BIGINT NOT NULL,
        bytes_sent BIGINT NOT NULL,
        bytes_wasted BIGINT NOT NULL,
        completed_bytes BIGINT NOT NULL,
        completed_seconds {{float}} NOT NULL,
        PRIMARY KEY ({unit}, bundle_key, version, rule, answer)
    )""" for table, unit in (("funnel_daily", "day"), ("funnel_hourly", "hour"),
                             ("funnel_recent", "hour"))]
TABLES += _DOWNLOADS

# Version 9: the rollouts' counts per step too, so that the guard compares
# the arms within one hour at one step (an advance within an hour changes
# how the machines split between the arms), and each recent request's arm
# row the step its failure is counted at.  Rows counted before, and rows
# written without a step, have step -1.
# Both tables are copied to new ones with the step in their key: SQLite
# cannot change a key in place.
def _with_step(table, columns, key):
    old = ", ".join(c.split()[0] for c in columns)
    new = f"{table}_v9"
    return [f"CREATE TABLE {new} ({', '.join(columns)}, step INTEGER NOT NULL DEFAULT -1, "
            f"PRIMARY KEY ({key}))",
            f"INSERT INTO {new} ({old}, step) SELECT {old}, -1 FROM {table}",
            f"DROP TABLE {table}", f"ALTER TABLE {new} RENAME TO {table}"]


_ROLLOUT_STEPS = (
    _with_step("rollout_counts", ("rule TEXT NOT NULL", "hour BIGINT NOT NULL",
                                  "arm TEXT NOT NULL", "requests BIGINT NOT NULL",
                                  "failures BIGINT NOT NULL"), "rule, hour, step, arm")
    + _with_step("rollout_arms", ("request_id BIGINT NOT NULL", "rule TEXT NOT NULL",
                                  "arm TEXT NOT NULL", "hour BIGINT NOT NULL",
                                  "failed INTEGER NOT NULL"), "request_id, rule"))
TABLES += _ROLLOUT_STEPS

# Version 10: rollup_state keeps more than ids (times, counts, a hash of the
# secret), so its column says only that it holds the value kept under a name.
_POSITION_VALUE = ["ALTER TABLE rollup_state RENAME COLUMN last_id TO value"]
TABLES += _POSITION_VALUE



# Version 11: on PostgreSQL, requests, events and downloads partitioned by
# day, so that retention drops whole days (see partitions.py); the rows keep
# their ids.  A new database is made in the old layout above and converted
# here while still empty, so that there is one way to the layout.  SQLite
# keeps its tables.
def _partition_by_day(store, conn):
    store.partition_tables(conn)


_PARTITIONS = [{"sqlite": [], "postgresql": [_partition_by_day]}]
TABLES += _PARTITIONS

# Version 12: several hosts behind one front, sharing this database.
# `request_ids` holds the id of every request recorded in the last
# REQUEST_ID_WINDOW seconds (db/base.py), claimed in the same transaction as
# the request's row: a request that the front passed to a second host after
# the first recorded it and died, or that comes again from a spool or from
# nginx's fallback log, finds its id there and is not recorded again.  A
# small table of its own, pruned by housekeeping, instead of an index on
# `requests`, which every request would pay for in a page write for as long
# as it is kept.  `hosts` holds each host's heartbeat (background.py):
# when it was last seen, and how many of its records were not in yet, in its
# spool and in its nginx logs.
_HOSTS = [
    """CREATE TABLE IF NOT EXISTS request_ids (
        request_id TEXT PRIMARY KEY,
        seen_at {float} NOT NULL
    )""",
    """CREATE TABLE IF NOT EXISTS hosts (
        name TEXT PRIMARY KEY,
        seen_at {float} NOT NULL,
        spooled BIGINT NOT NULL,
        unread_bytes BIGINT NOT NULL
    )""",
]
TABLES += _HOSTS


def _seed_request_ids(store, conn):
    """The ids of the requests recorded within the window before the
    upgrade, so that a retry or a fallback answer of one of them is not
    counted again after it."""
    store.seed_request_ids(conn)


# Version 13: a halt stays with what it stopped.  `rollout_state.answer` is
# the instruction a rule gave when it was halted, so that a rule new to the
# service that gives the same one (a halted rule renamed, its channel
# renamed) starts halted too; `halt_arms` the two arms at the halting step,
# as counted then (JSON), so that every place that shows them shows the same
# figures.  `rules_seen` names every rule the service has served with, so
# that a rule new to it can be told from one that already served the same
# installer (which goes on).  Halts made before this version get their
# answer from the configuration when it is next read (rollouts/halts.py).
def _add_columns(table, *columns):
    """A step adding each of `columns` ("name TYPE ...") to `table` unless
    it has it (the two databases take no ADD COLUMN IF NOT EXISTS in the
    same words).  The table's columns are read once: PostgreSQL would not
    run a prepared read of them again after the table changed."""
    def step(store, conn):
        have = {d[0] for d in conn.execute(f"SELECT * FROM {table} LIMIT 0").description}
        for column in columns:
            if column.split()[0] not in have:
                conn.execute(f"ALTER TABLE {table} ADD COLUMN "
                             + column.format(id=store.id_type, float=store.float_type))
    return step


_HALTS = [
    _add_columns("rollout_state", "answer TEXT NOT NULL DEFAULT ''",
                 "halt_arms TEXT NOT NULL DEFAULT ''"),
    """CREATE TABLE IF NOT EXISTS rules_seen (
        name TEXT PRIMARY KEY,
        first_seen {float} NOT NULL
    )""",
]
TABLES += _HALTS


# Version 14: what every page of the console must say, and who may say it.
# `users` holds the console's named users (a salted hash, never a
# password), so that every host knows them and none is written into the
# publisher's file; a read-only user sees everything and changes nothing.
# `hosts` carries with each heartbeat what the host serves from: a
# fingerprint of its live configuration, the file, since when that
# configuration is in use, and the error of the last edit that did not
# load (empty when none) with its line (0 when none is known), so that a
# host left on other rules, or on an old configuration, is named on every
# page.  `banner_acks` records who acknowledged a halt's banner, for the
# state the rule was in then (its `version`): a new state shows it again.
_BANNERS = [
    """CREATE TABLE IF NOT EXISTS users (
        name TEXT PRIMARY KEY,
        password_hash TEXT NOT NULL,
        read_only INTEGER NOT NULL,
        created_at {float} NOT NULL
    )""",
    _add_columns("hosts", "config_fingerprint TEXT NOT NULL DEFAULT ''",
                 "config_file TEXT NOT NULL DEFAULT ''", "config_since {float}",
                 "config_error TEXT NOT NULL DEFAULT ''",
                 "config_error_line BIGINT NOT NULL DEFAULT 0"),
    """CREATE TABLE IF NOT EXISTS banner_acks (
        rule TEXT NOT NULL,
        version BIGINT NOT NULL,
        who TEXT NOT NULL,
        acked_at {float} NOT NULL,
        PRIMARY KEY (rule, version)
    )""",
]
TABLES += _BANNERS

# Version 15: each error or crash report once.  `event_ids` holds nginx's
# id of every report stored in the last REQUEST_ID_WINDOW seconds
# (db/base.py), claimed in the same transaction as its row in `events` (see
# events.py here): a report that the front passed to a second host after
# the first had stored it, or that comes again from a spool, finds its id
# there and is not stored again.  Apart from `events`, which is
# partitioned by day on PostgreSQL: a unique key there would have to hold
# the day, and a retry is stamped by another host's clock.
_EVENT_IDS = [{
    # On SQLite without a rowid: the key is the table, so a claim writes
    # one b-tree, not a table and its index.
    "sqlite": ["""CREATE TABLE IF NOT EXISTS event_ids (
        request_id TEXT PRIMARY KEY,
        seen_at {float} NOT NULL
    ) WITHOUT ROWID"""],
    "postgresql": ["""CREATE TABLE IF NOT EXISTS event_ids (
        request_id TEXT PRIMARY KEY,
        seen_at {float} NOT NULL
    )"""],
}]
TABLES += _EVENT_IDS


# Version 16: each request keeps the staged rollouts' arms it was answered
# in (launcher/arms.py), decided as it was answered and written in its own
# INSERT, so that the guard counts them as they were, whatever the
# configuration says later.  NULL: in no arm (no guarded rule reached,
# nginx's answer, or recorded before this version).  On PostgreSQL the
# column goes to the parent and so to every day's partition.
_ARMS = [_add_columns("requests", "arms TEXT")]
TABLES += _ARMS


# Version 17: each error or crash report and each download line linked once
# to the request it belongs to, as it arrives (linking.py).  `rollout_recent`
# keeps, besides a recent request's client and key, the installer path its
# answer named and its row of the funnel (key as folded, version, rule,
# answer), so that the linking finds every candidate and the row its counts
# go to there; it is emptied, to be filled again from the linking's own
# beginning.  `request_outcomes` holds one row per record linked: which
# record, the request it belongs to (NULL: none), the client, the record's
# time (a download's start) and, of a download, what the funnel counts of
# it.  Rows are only ever inserted, and deleted when a late request takes
# a record over (a big table updated in place would bloat); on both
# databases one table with indexes, purged by id with the records.  The
# funnel's counts are kept from the links, so funnel_recent goes.
_LINKS = [
    _add_columns("rollout_recent", "path TEXT", "funnel_key TEXT", "version TEXT", "rule TEXT",
                 "answer TEXT"),
    "DELETE FROM rollout_recent",
    """CREATE TABLE IF NOT EXISTS request_outcomes (
        id {id},
        source TEXT NOT NULL,
        record_id BIGINT NOT NULL,
        request_id BIGINT,
        client TEXT NOT NULL,
        recorded_at {float} NOT NULL,
        ended_at {float},
        first_byte BIGINT,
        sent BIGINT,
        size BIGINT,
        complete INTEGER
    )""",
    "CREATE INDEX IF NOT EXISTS request_outcomes_request ON request_outcomes (request_id)",
    "CREATE INDEX IF NOT EXISTS request_outcomes_client ON request_outcomes "
    "(client, recorded_at)",
    "DROP TABLE IF EXISTS funnel_recent",
]
TABLES += _LINKS


# Version 18: the dashboard's counts by the hour, kept by its rollup of
# requests (dashboard/queries.py, ROLLUP), and a rollup of the error and
# crash reports by hour and by day, kept by its own position in
# rollup_state ("reports"), so that no view reads a month of raw rows.
# Columns that may be NULL in `events` are kept as 0 or '' in the key, with
# a bit each in `nulls` (see REPORT_NULLS there): a key column holds no NULL,
# or ON CONFLICT would never find the row again.  The requests rolled up
# before this version are counted by the hour here too, from the rows still
# kept; the reports are rolled up from the first one kept.
_HOURLY = [
    """CREATE TABLE IF NOT EXISTS requests_hourly (
        hour BIGINT NOT NULL,
        bundle_key TEXT NOT NULL,
        version TEXT NOT NULL,
        rule TEXT NOT NULL,
        answer TEXT NOT NULL,
        malformed TEXT NOT NULL,
        n BIGINT NOT NULL,
        PRIMARY KEY (hour, bundle_key, version, rule, answer, malformed)
    )""",
] + [f"""CREATE TABLE IF NOT EXISTS {table} (
        {unit} BIGINT NOT NULL,
        bundle_key TEXT NOT NULL,
        version TEXT NOT NULL,
        kind TEXT NOT NULL,
        code_number BIGINT NOT NULL,
        module TEXT NOT NULL,
        module_offset BIGINT NOT NULL,
        exception_code BIGINT NOT NULL,
        nulls INTEGER NOT NULL,
        os TEXT NOT NULL,
        malformed TEXT NOT NULL,
        n BIGINT NOT NULL,
        first_at {{float}} NOT NULL,
        last_at {{float}} NOT NULL,
        message TEXT,
        PRIMARY KEY ({unit}, bundle_key, version, kind, code_number, module, module_offset,
                     exception_code, nulls, os, malformed)
    )""" for table, unit in (("reports_hourly", "hour"), ("reports_daily", "day"))] + [
    # A crash group's first crash ever, looked up for the groups a page shows.
    "CREATE INDEX IF NOT EXISTS reports_daily_groups ON reports_daily "
    "(kind, module, module_offset, exception_code)",
]


def _fill_requests_hourly(store, conn):
    """The requests already in requests_daily, counted by the hour too."""
    from ..dashboard.queries import fill_requests_hourly
    fill_requests_hourly(store, conn)


TABLES += _HOURLY


# Version 19: totals that only grow, for the monitoring's counters
# (metrics/): requests by rule and kind of answer, reports by kind and
# code, added by the dashboard's rollup in the same transaction as its
# hours (dashboard/queries.py, TOTALS) and never purged, so that a counter
# read from them never goes back when old hours are deleted.  The label
# values are folded as they are added (a code the service does not know is
# "other"), so the table stays a few hundred rows.  Seeded from the hours
# and days still kept.
_TOTALS = [
    """CREATE TABLE IF NOT EXISTS metric_totals (
        family TEXT NOT NULL,
        a TEXT NOT NULL,
        b TEXT NOT NULL,
        n BIGINT NOT NULL,
        PRIMARY KEY (family, a, b)
    )""",
]


def _seed_metric_totals(store, conn):
    """The totals of what the rollups still hold."""
    from ..dashboard.queries import seed_metric_totals
    seed_metric_totals(store, conn)


TABLES += _TOTALS


# Version 20: each machine's first request at each step of a guarded rule,
# in each arm, so that the split check (rollouts/split.py) counts machines,
# not requests (a machine that asks again is one machine).  Written
# insert-or-ignore in the pass that counts the arms; `hour` is when it was
# first seen there, so the counts of any hour can be made again from it.
_MACHINES = [
    """CREATE TABLE IF NOT EXISTS rollout_machines (
        rule TEXT NOT NULL,
        step INTEGER NOT NULL,
        arm TEXT NOT NULL,
        machine TEXT NOT NULL,
        hour BIGINT NOT NULL,
        PRIMARY KEY (rule, step, arm, machine)
    )""",
]
TABLES += _MACHINES


# Version 21: the guard's evidence by the hour (rollouts/history.py): per
# guarded rule and hour, what its last look in that hour found (the
# evidence, the threshold, the weighted difference and its standard error,
# NULL when it did not judge), the margin it judged at, the step, both arms'
# requests and failed requests counted in that hour, and the check of how
# the machines split between the arms (NULL until it is made).  The current
# hour's row is rewritten as the guard looks; an earlier one never changes.
_EVIDENCE = [
    """CREATE TABLE IF NOT EXISTS rollout_evidence (
        rule TEXT NOT NULL,
        hour BIGINT NOT NULL,
        step INTEGER NOT NULL,
        evidence {float},
        threshold {float} NOT NULL,
        difference {float},
        sd {float},
        margin {float} NOT NULL,
        halted INTEGER NOT NULL,
        rule_requests BIGINT NOT NULL,
        rule_failures BIGINT NOT NULL,
        control_requests BIGINT NOT NULL,
        control_failures BIGINT NOT NULL,
        split_expected {float},
        split_observed {float},
        split_mismatch {float},
        looked_at {float} NOT NULL,
        PRIMARY KEY (rule, hour)
    )""",
]
TABLES += _EVIDENCE


# Version 22: on PostgreSQL, requests and downloads in rows that cost what
# they hold (see packed.py): the answers, rules, versions and download
# paths numbered once in `texts`, the client keys, machine ids and request
# ids as their bytes, the columns in an order that wastes no padding.  The
# tables go under new names (requests_packed, downloads_packed, with their
# days), and views with the old names and columns read them, so that every
# reader reads what it did.  The rows keep their ids; a big store is
# converted partition by partition, each day told to store.progress.
# SQLite keeps its tables.
def _pack_rows(store, conn):
    store.pack_tables(conn)


_PACKED = [{"sqlite": [], "postgresql": [_pack_rows]}]
TABLES += _PACKED


# Statements that bring a database from version N to N + 1, by N; a dict holds
# them per database, and a callable step is given (store, connection); long
# work tells store.progress how far it is.  A new version adds its entry here
# and raises SCHEMA_VERSION.
MIGRATIONS = {1: _ROLLUP, 2: {"sqlite": _NO_REUSE, "postgresql": []}, 3: _INGEST,
              4: _REQUEST_IDS, 5: _ALERTS + [_hash_addresses], 6: _ROLLOUTS, 7: _DOWNLOADS,
              8: _ROLLOUT_STEPS, 9: _POSITION_VALUE, 10: _PARTITIONS,
              11: _HOSTS + [_seed_request_ids], 12: _HALTS, 13: _BANNERS,
              14: _EVENT_IDS, 15: _ARMS, 16: _LINKS,
              17: _HOURLY + [_fill_requests_hourly],
              18: _TOTALS + [_seed_metric_totals], 19: _MACHINES, 20: _EVIDENCE, 21: _PACKED}

REQUEST_COLUMNS = ("recorded_at", "client", "bundle_key", "version", "machine_id",
                   "answer", "rule", "malformed", "cut", "request_id", "arms")

EVENT_COLUMNS = ("recorded_at", "client", "reference", "kind", "source", "code", "message",
                 "error", "version", "os", "bundle_key", "code_number", "hresult", "module",
                 "module_base", "address", "module_offset", "exception_code",
                 "malformed", "cut")

DOWNLOAD_COLUMNS = ("recorded_at", "client", "path", "status", "first_byte", "sent", "size",
                    "seconds", "complete", "range_asked")
