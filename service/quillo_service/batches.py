"""Many rows in few statements, for the rollups that write thousands of rows
at a time (the funnel's outcomes, the rollouts' arms).

One INSERT a row costs a round trip to the database each, which took more
time than working the rows out; one INSERT of many VALUES rows costs one.
"""

BATCH = 500  # rows a statement; 500 rows of 16 values stay far below SQLite's 32766


def insert_rows(conn, placeholder, table, columns, rows, tail=""):
    """INSERT `rows` (tuples in `columns` order) into `table`, BATCH rows a
    statement, each statement ending with `tail` (an ON CONFLICT clause).
    Within one statement no two rows may meet the same conflict target."""
    one = "(" + ", ".join([placeholder] * len(columns)) + ")"
    rows = list(rows)
    for i in range(0, len(rows), BATCH):
        part = rows[i:i + BATCH]
        conn.execute(f"INSERT INTO {table} ({', '.join(columns)}) "
                     f"VALUES {', '.join([one] * len(part))} {tail}",
                     [v for row in part for v in row])
