"""The rules over campaign keys that the dashboard and the download funnel share.

Both count requests by key and both narrow them to the console's key, key
prefix and launcher version, and they must say the same of the same request,
so these rules are written once, here, as SQL over either database (the
store's placeholder and its `find_sql`):

- a key that cannot be a launcher's (missing, cut, badly encoded, not
  printable: "key" in the malformed fields) counts as the empty key, which
  the views call "other keys" (`folded`);
- a rollup keeps at most KEYS_PER_DAY keys of its own per day, those with
  the most requests so far, and folds the rest into the empty key too
  (`fold_keys`), so that a flood of made-up keys cannot grow it without bound;
- the filters pick the rows of a key, or of keys starting with a prefix,
  and of a version (`filter_sql`).
"""

KEYS_PER_DAY = 1000  # keys of their own per day in a rollup


def leaders(source, column, weight, keep, where="1 = 1"):
    """SQL of the `keep` values of `column` in `source` (rows `where`) with
    the largest SUM(weight), ties by value: the keys that keep a row of their
    own.  The empty value, where the others are folded, is never one."""
    return (f"SELECT {column} FROM {source} WHERE {where} AND {column} <> '' "
            f"GROUP BY {column} ORDER BY SUM({weight}) DESC, {column} LIMIT {int(keep)}")


def folded(store, column, field):
    """`column`, or the empty text when `field` is among the malformed ones."""
    found = store.find_sql.format(text="',' || malformed || ','",
                                  part=f"',{field},'")
    return f"CASE WHEN {found} THEN '' ELSE COALESCE({column}, '') END"


def filter_sql(store, filters, key_col="bundle_key"):
    """A WHERE fragment (starting with " AND") and its parameters, from the
    dashboard's key, key prefix and version filters."""
    p, parts, params = store.placeholder, [], []
    if filters is not None and filters.key:
        if filters.key_prefix:
            # substr counts characters in both databases; the length is
            # a number we computed, never text from the query.
            parts.append(f"substr({key_col}, 1, {len(filters.key)}) = {p}")
        else:
            parts.append(f"{key_col} = {p}")
        params.append(filters.key)
    if filters is not None and filters.version:
        parts.append(f"version = {p}")
        params.append(filters.version)
    return "".join(" AND " + part for part in parts), params


def merged(table, column, how):
    """SQL for ON CONFLICT of `table`'s `column` that keeps the least
    ("MIN") or the greatest ("MAX") of the row's value and the excluded
    one, NULL counting as none (as MIN and MAX over rows count it)."""
    cmp = {"MIN": "<", "MAX": ">"}[how]
    return (f"CASE WHEN {table}.{column} IS NULL OR excluded.{column} {cmp} {table}.{column} "
            f"THEN excluded.{column} ELSE {table}.{column} END")


def fold_keys(conn, table, keys, counts, weight, where, params, extremes=()):
    """Fold the keys of `table`'s rows `where` (a fragment with `params`)
    past the KEYS_PER_DAY with the most `weight` into the empty key,
    inside the open transaction.  keys: the table's key columns,
    bundle_key among them; counts: its columns that add up; extremes:
    (column, "MIN" or "MAX") of those that keep the least or greatest."""
    cap = int(KEYS_PER_DAY)
    if conn.execute(f"SELECT COUNT(DISTINCT bundle_key) FROM {table} WHERE {where} "
                    "AND bundle_key <> ''", params).fetchone()[0] <= cap:
        return
    others = (f"{where} AND bundle_key <> '' AND bundle_key NOT IN "
              f"({leaders(table, 'bundle_key', weight, cap, where)})")
    select = ", ".join("''" if k == "bundle_key" else k for k in keys)
    sums = ", ".join([f"SUM({c})" for c in counts] + [f"{how}({c})" for c, how in extremes])
    update = ", ".join([f"{c} = {table}.{c} + excluded.{c}" for c in counts]
                       + [f"{c} = {merged(table, c, how)}" for c, how in extremes])
    columns = tuple(keys) + tuple(counts) + tuple(c for c, _ in extremes)
    conn.execute(
        f"INSERT INTO {table} ({', '.join(columns)}) SELECT {select}, {sums} "
        f"FROM {table} WHERE {others} GROUP BY "
        f"{', '.join(k for k in keys if k != 'bundle_key')} "
        f"ON CONFLICT ({', '.join(keys)}) DO UPDATE SET {update}", (*params, *params))
    conn.execute(f"DELETE FROM {table} WHERE {others}", (*params, *params))
