"""What a record's time may be, checked at every door a time comes in by.

A time is seconds since 1970 as a finite number.  One far off (a broken
clock, past base.LAST_TIME) is still kept, and counted nowhere; NaN and the
infinities are refused: they fall in no period, break any arithmetic on
days and hours, and in PostgreSQL sit in the DEFAULT partition past every
day's range.
"""

import math

# The values a float column can hold that are not times, for finding rows an
# older version let in (SQLite stores NaN as NULL, so there only the infinities).
NOT_TIMES = [float("nan"), float("inf"), float("-inf")]


def is_time(value):
    """Whether `value` can be a record's time: a finite number (not a bool)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    try:
        return math.isfinite(value)
    except OverflowError:  # an int too large for a float
        return False


class BadTime(ValueError):
    """A record's time that is no time (is_time)."""


def check_time(value):
    """`value` if it is a time, else raises BadTime."""
    if not is_time(value):
        raise BadTime(f"{value!r:.40} is not a time in seconds")
    return value
