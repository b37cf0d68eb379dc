"""How long rows are kept: each feature registers its own tables here when its
module is imported, and Store.purge deletes what is older than the retention
from the tables registered, so that the data core need not know the features.

Two kinds of table:
- records (register_records): rows in time order by id, with `recorded_at`;
  deleted in batches of ids below the first one recorded at the cutoff (the
  time-to-id search, Store.first_id), and counted in what purge returns.
- rollups and queues (register): rows keyed by a time column in some unit
  (minutes, hours, days, or seconds when `unit` is None); deleted below the
  cutoff in that unit, all in one transaction.
"""

RECORDS = []  # table names, in registration order
KEPT_BY = []  # (table, column, unit)


def register_records(table):
    """Purge `table`'s rows recorded before the cutoff, by id, in batches."""
    if table not in RECORDS:
        RECORDS.append(table)


def register(table, column, unit=None):
    """Purge `table`'s rows whose `column` is below the cutoff: in whole
    units of `unit` seconds since 1970 (60, 3600, 86400), or in seconds
    when `unit` is None."""
    entry = (table, column, unit)
    if entry not in KEPT_BY:
        KEPT_BY.append(entry)


def bound(cutoff, unit):
    """The value of a column in `unit` below which a row is older than `cutoff`."""
    return cutoff if unit is None else int(cutoff // unit)
