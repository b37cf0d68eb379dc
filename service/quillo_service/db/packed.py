"""PostgreSQL's requests and downloads in rows that cost what they hold.

Most of a request row was text repeated from row to row (the answer's whole
address, the rule's name, the launcher's version) and hex spelled out (the
client key, the machine id, nginx's request id).  On PostgreSQL the rows
are kept in `requests_packed` and `downloads_packed`:

- each answer, rule, version and download path is a number into `texts`
  (id, text), where each text is once; the inserting process keeps the
  text-to-number map it has learned (a number, once given, never changes);
- the client key (32 lower-case hex), the machine id (40 upper-case hex, as
  launchers send it) and the request id (32 lower-case hex) are kept as
  their bytes; a value of any other form (an address kept by an old
  version, a machine id in lower case, a text that is no hex at all) goes
  whole into the column `..._text` beside it, NULL otherwise, so that
  every value reads back as it came;
- the 8-byte columns come first, then the 4-byte ones, then those of
  variable length, so that PostgreSQL pads nothing between them.

A view with the old name and the old columns (`requests`, `downloads`)
decodes them, so that every reader, and a publisher's own queries, read
what they read before; the planner sees through it (the joins to `texts`
go away where none of its columns is read), so `WHERE id > x` and the
time-to-id search use the packed tables' id indexes.  The store writes the
packed tables itself (PostgresStore); anyone else inserting into a view
(or deleting from it) is served by an INSTEAD OF trigger that packs the
same way.  Partitions by day (partitions.py) and retention belong to the
packed tables: `stored(conn, table)` names the table that holds the rows.

SQLite keeps its plain tables: it serves one host, and tools read the file
as it is.
"""

import re
import time

import psycopg

from . import partitions

TEXTS = "texts"
PACKED = {"requests": "requests_packed", "downloads": "downloads_packed"}

# Which values are kept as bytes: the form the service itself writes.
HEX_FORMS = {"client": re.compile(r"[0-9a-f]{32}"),
             "machine_id": re.compile(r"[0-9A-F]{40}"),
             "request_id": re.compile(r"[0-9a-f]{32}")}
_SQL_FORMS = {"client": "^[0-9a-f]{32}$", "machine_id": "^[0-9A-F]{40}$",
              "request_id": "^[0-9a-f]{32}$"}
_UPPER = {"machine_id"}

# Per logical table: the physical columns in storage order (8-byte, 4-byte,
# then variable length), and how each logical column is kept: "plain",
# "text" (a number into TEXTS) or "hex" (bytes, and the text beside).
_LAYOUT = {
    "requests": {
        "columns": [("id", "BIGINT GENERATED ALWAYS AS IDENTITY"),
                    ("recorded_at", "DOUBLE PRECISION NOT NULL"),
                    ("answer", "INTEGER NOT NULL"), ("rule", "INTEGER NOT NULL"),
                    ("version", "INTEGER"),
                    ("client", "BYTEA"), ("machine_id", "BYTEA"), ("request_id", "BYTEA"),
                    ("bundle_key", "TEXT"), ("malformed", "TEXT NOT NULL"),
                    ("cut", "TEXT NOT NULL"), ("arms", "TEXT"), ("client_text", "TEXT"),
                    ("machine_id_text", "TEXT"), ("request_id_text", "TEXT")],
        "logical": [("id", "plain"), ("recorded_at", "plain"), ("client", "hex"),
                    ("bundle_key", "plain"), ("version", "text"), ("machine_id", "hex"),
                    ("answer", "text"), ("rule", "text"), ("malformed", "plain"),
                    ("cut", "plain"), ("request_id", "hex"), ("arms", "plain")],
    },
    "downloads": {
        "columns": [("id", "BIGINT GENERATED ALWAYS AS IDENTITY"),
                    ("recorded_at", "DOUBLE PRECISION NOT NULL"),
                    ("first_byte", "BIGINT NOT NULL"), ("sent", "BIGINT NOT NULL"),
                    ("size", "BIGINT"), ("seconds", "DOUBLE PRECISION NOT NULL"),
                    ("status", "INTEGER NOT NULL"), ("path", "INTEGER NOT NULL"),
                    ("complete", "INTEGER NOT NULL"), ("client", "BYTEA"),
                    ("range_asked", "TEXT"), ("client_text", "TEXT")],
        "logical": [("id", "plain"), ("recorded_at", "plain"), ("client", "hex"),
                    ("path", "text"), ("status", "plain"), ("first_byte", "plain"),
                    ("sent", "plain"), ("size", "plain"), ("seconds", "plain"),
                    ("complete", "plain"), ("range_asked", "plain")],
    },
}


def stored(conn, table):
    """The table that holds the rows of `table`: its packed one where the
    database has it, else `table` itself."""
    packed = PACKED.get(table)
    if packed and conn.execute("SELECT to_regclass(%s)", (packed,)).fetchone()[0] is not None:
        return packed
    return table


# -- packing rows in Python (the store's inserts) --------------------------------------

def kinds(table):
    return dict(_LAYOUT[table]["logical"])


def packed_columns(table, columns):
    """The physical columns that rows of `columns` (logical names) fill."""
    k = kinds(table)
    out = []
    for c in columns:
        out.append(c)
        if k[c] == "hex":
            out.append(f"{c}_text")
    return tuple(out)


def hex_value(column, value):
    """(bytes, None) for a value of the column's hex form, (None, value) otherwise."""
    if value is None:
        return None, None
    if isinstance(value, str) and HEX_FORMS[column].fullmatch(value):
        return bytes.fromhex(value), None
    return None, value


def pack_row(table, columns, row, ids):
    """A row of logical `columns` as values of packed_columns; `ids` maps
    each text (answers, rules, versions, paths) to its number."""
    k = kinds(table)
    out = []
    for c, v in zip(columns, row):
        kind = k[c]
        if kind == "text":
            out.append(None if v is None else ids[v])
        elif kind == "hex":
            out.extend(hex_value(c, v))
        else:
            out.append(v)
    return out


def texts_of(table, columns, rows):
    k = kinds(table)
    at = [i for i, c in enumerate(columns) if k[c] == "text"]
    return {row[i] for row in rows for i in at if row[i] is not None}


def text_ids(conn, texts):
    """{text: id} of `texts`, each added to TEXTS if it is not there yet.
    Race-free between hosts: the insert does nothing where another host's
    came first (it waits for that one to commit), and the ids are then read.
    `conn` must commit at once (autocommit, no open transaction), so that
    the ids given are never rolled back after a process has learned them."""
    texts = sorted(texts)
    if not texts:
        return {}
    conn.execute(f"INSERT INTO {TEXTS} (text) SELECT t FROM unnest(%s::text[]) AS t "
                 "ON CONFLICT DO NOTHING", (texts,))
    found = dict(conn.execute(
        f"SELECT text, id FROM {TEXTS} WHERE quillo_text_hash(text) = ANY(ARRAY("
        "SELECT quillo_text_hash(t) FROM unnest(%s::text[]) AS t))", (texts,)).fetchall())
    missing = [t for t in texts if t not in found]
    if missing:
        raise psycopg.DataError(f"{TEXTS}: no id for {missing[0]!r:.60}")
    return found


# -- the SQL -----------------------------------------------------------------------------

def _decoded(table, alias="r"):
    """The view's select list: the logical columns, decoded."""
    out, joins = [], []
    for c, kind in _LAYOUT[table]["logical"]:
        if kind == "text":
            joins.append(f"LEFT JOIN {TEXTS} t_{c} ON t_{c}.id = {alias}.{c}")
            out.append(f"t_{c}.text AS {c}")
        elif kind == "hex":
            hexed = f"encode({alias}.{c}, 'hex')"
            if c in _UPPER:
                hexed = f"upper({hexed})"
            out.append(f"COALESCE({alias}.{c}_text, {hexed}) AS {c}")
        else:
            out.append(f"{alias}.{c}")
    return ", ".join(out), " ".join(joins)


def _encoded(table, source, joined=False):
    """The packed columns (but id) computed from logical values
    `source.column`; joined: the numbers of texts known are looked up
    first (quillo_text_id takes a lock only for a new one)."""
    out = []
    for c, kind in _LAYOUT[table]["logical"]:
        v = f"{source}.{c}"
        if c == "id":
            continue
        if kind == "text":
            # Looked up row by row, not joined: a join may reorder the rows
            # of an INSERT ... SELECT, and their ids must follow its order
            # (rows come in time order; first_id searches by it).
            out.append(f"COALESCE((SELECT t.id FROM {TEXTS} t WHERE quillo_text_hash(t.text) "
                       f"= quillo_text_hash({v})), quillo_text_id({v}))" if joined
                       else f"quillo_text_id({v})")
        elif kind == "hex":
            form = _SQL_FORMS[c]
            out.append(f"CASE WHEN {v} ~ '{form}' THEN decode({v}, 'hex') END")
            out.append(f"CASE WHEN {v} !~ '{form}' THEN {v} END")
        else:
            out.append(v)
    return out


def _physical_names(table):
    return [c for c, _ in _LAYOUT[table]["logical"] if c != "id"]


FUNCTIONS = [
    # The hash the texts are unique by: a text may be longer than an index
    # entry can be.  The database's encoding never changes, so the hash of
    # a text never does.
    "CREATE OR REPLACE FUNCTION quillo_text_hash(t TEXT) RETURNS BYTEA "
    "LANGUAGE sql IMMUTABLE STRICT PARALLEL SAFE AS $$ SELECT sha256(convert_to(t, 'UTF8')) $$",
    f"""CREATE TABLE IF NOT EXISTS {TEXTS} (
        id INTEGER GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        text TEXT NOT NULL
    )""",
    f"CREATE UNIQUE INDEX IF NOT EXISTS {TEXTS}_hash ON {TEXTS} (quillo_text_hash(text))",
    # For the views' triggers: the number of a text, added if new.
    f"""CREATE OR REPLACE FUNCTION quillo_text_id(t TEXT) RETURNS INTEGER
        LANGUAGE plpgsql AS $$
        DECLARE found INTEGER;
        BEGIN
            IF t IS NULL THEN RETURN NULL; END IF;
            SELECT id INTO found FROM {TEXTS} WHERE quillo_text_hash(text) = quillo_text_hash(t);
            IF found IS NULL THEN
                INSERT INTO {TEXTS} (text) VALUES (t) ON CONFLICT DO NOTHING;
                SELECT id INTO found FROM {TEXTS}
                WHERE quillo_text_hash(text) = quillo_text_hash(t);
            END IF;
            RETURN found;
        END $$""",
]


def _view_sql(table):
    cols, joins = _decoded(table)
    packed = PACKED[table]
    physical = ", ".join(packed_columns(table, _physical_names(table)))
    return [
        f"CREATE VIEW {table} AS SELECT {cols} FROM {packed} r {joins}",
        f"""CREATE OR REPLACE FUNCTION {packed}_insert() RETURNS trigger LANGUAGE plpgsql AS $$
        BEGIN
            INSERT INTO {packed} ({physical}) VALUES ({', '.join(_encoded(table, 'NEW'))})
            RETURNING id INTO NEW.id;
            RETURN NEW;
        END $$""",
        f"""CREATE OR REPLACE FUNCTION {packed}_delete() RETURNS trigger LANGUAGE plpgsql AS $$
        BEGIN
            DELETE FROM {packed} WHERE id = OLD.id;
            RETURN OLD;
        END $$""",
        # An INSERT statement is rewritten into one of the packed table, set
        # at a time (a trigger per row takes some twenty times as long), in
        # the order of its rows; each value is computed once (OFFSET 0 keeps
        # the subquery whole).
        # COPY has the trigger.
        f"CREATE RULE {table}_insert AS ON INSERT TO {table} DO INSTEAD "
        f"INSERT INTO {packed} ({physical}) SELECT {', '.join(_encoded(table, 'n', True))} "
        f"FROM (SELECT {', '.join(f'NEW.{c} AS {c}' for c in _physical_names(table))} "
        "OFFSET 0) AS n",
        f"CREATE TRIGGER {table}_insert INSTEAD OF INSERT ON {table} "
        f"FOR EACH ROW EXECUTE FUNCTION {packed}_insert()",
        f"CREATE TRIGGER {table}_delete INSTEAD OF DELETE ON {table} "
        f"FOR EACH ROW EXECUTE FUNCTION {packed}_delete()",
    ]


# -- converting a store ----------------------------------------------------------------

def convert(conn, table, now, progress):
    """Replace the plain `table` by its packed table and a view of its old
    name, inside the caller's transaction (a failure leaves it whole): the
    same rows, with the same ids, copied day by day (partition by
    partition) where it is split by day, as the packed table then is too
    (with the same days, and those ahead of `now`); the identity goes on
    past the highest id ever given.  `progress(text)` hears of each day."""
    packed = PACKED[table]
    for sql in FUNCTIONS:
        conn.execute(sql)
    names = _physical_names(table)
    parted = partitions.is_partitioned(conn, table)
    columns = ", ".join(f"{c} {t}" for c, t in _LAYOUT[table]["columns"])
    conn.execute(f"CREATE TABLE {packed} ({columns})"
                 + (" PARTITION BY RANGE (recorded_at)" if parted else ""))
    sources = [table]
    if parted:
        conn.execute(f"CREATE TABLE {partitions.default_name(packed)} PARTITION OF {packed} "
                     "DEFAULT")
        found = partitions.day_tables(conn, table)
        days = set(partitions.days_ahead(now)) | {day for _, day, attached in found if attached}
        # Day by day; a day left detached by a purge that stopped goes to
        # the DEFAULT partition, for the next purge to delete.
        sources = [name for name, _, _ in found] + [partitions.default_name(table)]
        for day in sorted(days):
            conn.execute(f"CREATE TABLE {partitions.partition_name(packed, day)} PARTITION OF "
                         f"{packed} FOR VALUES FROM ({int(day) * partitions.DAY}) "
                         f"TO ({(int(day) + 1) * partitions.DAY})")
    # Every text once, then each row joined to its numbers.
    text_columns = [c for c, kind in _LAYOUT[table]["logical"] if kind == "text"]
    conn.execute(f"INSERT INTO {TEXTS} (text) SELECT DISTINCT t FROM ("
                 + " UNION ".join(f"SELECT {c} AS t FROM {table}" for c in text_columns)
                 + ") AS x WHERE t IS NOT NULL ON CONFLICT DO NOTHING")
    joins = " ".join(f"LEFT JOIN {TEXTS} t_{c} ON t_{c}.text = r.{c}" for c in text_columns)
    values = []
    for c, kind in _LAYOUT[table]["logical"]:
        if c == "id":
            continue
        if kind == "text":
            values.append(f"t_{c}.id")
        elif kind == "hex":
            form = _SQL_FORMS[c]
            values.append(f"CASE WHEN r.{c} ~ '{form}' THEN decode(r.{c}, 'hex') END")
            values.append(f"CASE WHEN r.{c} !~ '{form}' THEN r.{c} END")
        else:
            values.append(f"r.{c}")
    physical = ", ".join(packed_columns(table, names))
    began, total = time.monotonic(), 0
    for source in sources:
        t = time.monotonic()
        n = conn.execute(f"SELECT COUNT(*) FROM ONLY {source}").fetchone()[0]
        got = conn.execute(
            f"INSERT INTO {packed} (id, {physical}) OVERRIDING SYSTEM VALUE "
            f"SELECT r.id, {', '.join(values)} FROM ONLY {source} r {joins}").rowcount
        if got != n:
            raise psycopg.DataError(f"{source}: {got} rows packed, not {n}")
        total += n
        if n:
            progress(f"{source}: {n} rows packed, {n / max(time.monotonic() - t, 1e-6):.0f} "
                     "rows/s")
    conn.execute(f"ALTER TABLE {packed} ALTER COLUMN id RESTART WITH "
                 f"{partitions.next_id(conn, table)}")
    for name in sources:
        if name != table:
            conn.execute(f"DROP TABLE IF EXISTS {name}")
    conn.execute(f"DROP TABLE {table}")
    conn.execute(f"CREATE INDEX {packed}_id ON {packed} (id)")
    for sql in _view_sql(table):
        conn.execute(sql)
    if total:
        elapsed = time.monotonic() - began
        progress(f"{table}: {total} rows packed in {elapsed:.1f} s "
                 f"({total / max(elapsed, 1e-6):.0f} rows/s)")
    return total
