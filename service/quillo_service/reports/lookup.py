"""The reads behind the console's lookups, over the events and requests tables.

Lists go newest first by id, PAGE rows at a time, by keyset: a page is asked
for as the rows below an id (older) or above one (newer), never by an
offset, so a page costs the same however far back it is and a row recorded
meanwhile does not shift the pages.  A list stays inside its period: the
ids that hold it (Store.first_id, LATE either side, as the dashboard reads
a period) and then the recorded time itself.
"""

from typing import NamedTuple

from .. import joins
from ..db.base import LATE
from ..key_rules import filter_sql
from .records import find_event

PAGE = 50          # rows of a list page
NEIGHBOURS = 20    # the other events of a client and key, at most

EVENT_LIST = ("id, recorded_at, reference, kind, code, code_number, message, version, os, "
              "bundle_key")
REQUEST_LIST = "id, recorded_at, client, bundle_key, version, answer, rule, malformed"


class Slice(NamedTuple):
    rows: list          # newest first, dicts
    older: int | None   # ask for the rows below this id for the next older page
    newer: int | None   # ask for the rows above this id for the next newer page


def _equal(column, value, p):
    """A null-safe comparison that both databases read the same way."""
    return (f" AND {column} IS NULL", []) if value is None else (f" AND {column} = {p}", [value])


class Lookup:
    def __init__(self, store):
        self.store = store
        self.p = store.placeholder

    def event(self, reference):
        """The event of a reference (normal_reference's form), or None."""
        return find_event(self.store, reference)

    def request_of(self, event):
        """The request the event belongs to, as joins.failures lays it, or None.
        Reads every request of its client that can qualify (joins.py)."""
        p, at = self.p, event["recorded_at"]
        start, end = at - joins.FAILURE_LOOKBACK, at + joins.CLOCK_SLACK
        lo = self.store.first_id("requests", start - LATE)
        hi = self.store.first_id("requests", end + LATE)
        candidates = self.store.read(
            "SELECT id, recorded_at, client, bundle_key FROM requests "
            f"WHERE id >= {p} AND id < {p} AND client = {p} "
            f"AND recorded_at >= {p} AND recorded_at <= {p}",
            (lo, hi, event["client"], start, end))
        found = joins.failures(candidates, [(event["id"], at, event["client"], event["kind"],
                                             event["bundle_key"])]).get(event["id"])
        if found is None:
            return None
        rows = self.store.rows(f"SELECT * FROM requests WHERE id = {p}", (found,))
        return rows[0] if rows else None

    def neighbours(self, event, limit=NEIGHBOURS):
        """The other events of the event's client and key, newest first, at
        most `limit`; of a crash, whose report carries no key, the client's
        events of any key."""
        key_sql, key_params = ("", []) if event["kind"] == "crash" else \
            _equal("bundle_key", event["bundle_key"], self.p)
        return self.store.rows(
            f"SELECT {EVENT_LIST} FROM events WHERE client = {self.p}{key_sql} "
            f"AND id <> {self.p} ORDER BY id DESC LIMIT {int(limit)}",
            [event["client"], *key_params, event["id"]])

    def events(self, period, filters, code=None, group=None, before=None, after=None):
        """A page of the period's events: of a failure code (error reports),
        of a crash group (crash reports, which carry no key or version, so the
        filters do not apply, as on the Crashes view), or all, each under the
        filters."""
        p, where, params = self.p, "", []
        if group is not None:
            where = " AND kind = 'crash'"
            for column, value in zip(("module", "module_offset", "exception_code"), group):
                sql, more = _equal(column, value, p)
                where += sql
                params += more
            filters = None
        elif code is not None:
            where, params = f" AND kind = 'error' AND code_number = {p}", [code]
        return self._slice("events", EVENT_LIST, period, filters, where, params, before, after)

    def requests(self, period, filters, rule=None, before=None, after=None):
        """A page of the period's requests, of a rule (the one that answered) or all,
        under the filters."""
        where, params = (f" AND rule = {self.p}", [rule]) if rule is not None else ("", [])
        return self._slice("requests", REQUEST_LIST, period, filters, where, params, before,
                           after)

    def _slice(self, table, columns, period, filters, where, params, before, after):
        p = self.p
        lo = self.store.first_id(table, period.start - LATE)
        hi = self.store.first_id(table, period.end + LATE)
        fsql, fparams = filter_sql(self.store, filters)
        base = (f"SELECT {columns} FROM {table} WHERE id >= {p} AND id < {p} "
                f"AND recorded_at >= {p} AND recorded_at < {p}{where}{fsql}")
        args = [lo, hi, period.start, period.end, *params, *fparams]

        def read(side, mark, n):
            if side == "older":
                bound, order = ("" if mark is None else f" AND id < {p}"), "DESC"
            else:
                bound, order = f" AND id > {p}", "ASC"
            return self.store.rows(f"{base}{bound} ORDER BY id {order} LIMIT {int(n)}",
                                   args + ([] if mark is None else [mark]))

        if after is not None:
            rows = read("newer", after, PAGE + 1)
            more_newer = len(rows) > PAGE
            rows = rows[:PAGE][::-1]
            more_older = bool(rows) and bool(read("older", rows[-1]["id"], 1))
        else:
            rows = read("older", before, PAGE + 1)
            more_older = len(rows) > PAGE
            rows = rows[:PAGE]
            more_newer = before is not None and bool(rows) and bool(
                read("newer", rows[0]["id"], 1))
        return Slice(rows, rows[-1]["id"] if more_older else None,
                     rows[0]["id"] if more_newer else None)
