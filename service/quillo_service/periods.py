"""The dashboard's periods and filters, as the query gives them.

The counting itself lives in the store (store/dashboard.py), with the SQL of
both databases and the rules that keep the counts true.  All times are UTC; a
day is the number of whole days since 1970-01-01 UTC.
"""

import datetime
from typing import NamedTuple


DAY = 86400
HOUR = 3600
MAX_DAYS = 400          # longest custom period
KEY_LIMIT = 1023        # the launcher's key bound
VERSION_LIMIT = 64


class Period(NamedTuple):
    name: str     # "24h", "7d", "30d" or "custom"
    start: float  # UTC seconds, inclusive
    end: float    # UTC seconds, exclusive
    label: str

    @property
    def days(self):
        """Every day the period touches, oldest first."""
        return list(range(int(self.start // DAY), int((self.end - 1e-6) // DAY) + 1))


class Filters(NamedTuple):
    key: str = ""          # "" = any key
    key_prefix: bool = False
    version: str = ""      # "" = any version

    def describe(self):
        out = []
        if self.key:
            out.append(("key starting with " if self.key_prefix else "key ") + repr(self.key))
        if self.version:
            out.append("version " + repr(self.version))
        return ", ".join(out) or "all keys and versions"


def bucket_unit(period):
    """What a chart or table over time counts by: "hour" for the last 24
    hours, "day" for longer."""
    return "hour" if period.name == "24h" else "day"


def hours(period):
    """(first, end): the hours whose counts make up the period, the first
    one in and the one after the last, as whole hours since 1970.  Counts
    are kept by the hour, so a period that starts or ends within an hour
    takes that whole hour."""
    return int(period.start // HOUR), int(-(-period.end // HOUR))


def buckets(period):
    """[(hour or day number, its text)] of the period, oldest first, by bucket_unit."""
    if bucket_unit(period) == "hour":
        # To the hour that holds the end, begun or not: always 24 bars.
        first, last = int(period.start // HOUR), int(period.end // HOUR)
        return [(h, hour_text(h)) for h in range(first, last + 1)]
    return [(d, day_text(d)) for d in period.days]


def hour_text(hour):
    return datetime.datetime.fromtimestamp(hour * HOUR, datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:00")


def day_text(day):
    return datetime.datetime.fromtimestamp(day * DAY, datetime.timezone.utc).strftime("%Y-%m-%d")


def time_text(ts):
    if ts is None:
        return ""
    return datetime.datetime.fromtimestamp(ts, datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M:%S")


def iso_time(ts):
    """ISO 8601 in UTC, "2026-12-09T10:04:05Z", for machines and the command line."""
    if ts is None:
        return None
    return datetime.datetime.fromtimestamp(ts, datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%SZ")


def parse_moment(text):
    """(UTC seconds, whether it names a whole day) of "YYYY-MM-DD" or an ISO
    8601 time ("2026-12-09T14:30", "...Z", "...+01:00"; UTC when it gives
    no offset), or None when it is neither or outside 1970 to 9999."""
    text = (text or "").strip()
    day = _parse_day(text)
    if day is not None and len(text) == 10:
        return day * DAY, True
    try:
        t = datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    if "T" not in text.upper() and " " not in text:
        return None
    if t.tzinfo is None:
        t = t.replace(tzinfo=datetime.timezone.utc)
    try:
        ts = t.timestamp()
    except (OverflowError, ValueError):
        return None
    # Nothing is counted before 1970, and a time past 9999 has no ISO text.
    return (ts, False) if 0 <= ts < 253402214400 else None


def _parse_day(text):
    try:
        d = datetime.datetime.strptime(text or "", "%Y-%m-%d")
    except ValueError:
        return None
    return int(d.replace(tzinfo=datetime.timezone.utc).timestamp() // DAY)


def shown_dates(period):
    """The first and last day (YYYY-MM-DD) the period touches: what the
    console's form shows in its from and to fields, and carries hidden as
    shown_from and shown_to, so that dates typed there can be told apart."""
    days = period.days
    return day_text(days[0]), day_text(days[-1])


def period_query(period):
    """The address's arguments that name `period` again, for the links of a page."""
    if period.name == "custom":
        first, last = shown_dates(period)
        return {"period": "custom", "from": first, "to": last}
    return {"period": period.name}


def parse_period(args, now):
    """(Period, problem text or None) from the query's period, from and to.

    From the console's form (it sends shown_from and shown_to, the dates of
    the period it showed): dates typed into from or to make a custom period,
    whatever the Period select says; unchanged dates leave the choice to it.
    Without them (an address): from and to count only with period=custom."""
    name = args.get("period", "7d")
    shown = args.get("shown_from"), args.get("shown_to")
    if None not in shown and (args.get("from", ""), args.get("to", "")) != shown:
        name = "custom"
    today = int(now // DAY)
    if name == "24h":
        # Whole hours, as its charts and tables count them: 24 bars.
        return Period("24h", (now // HOUR - 23) * HOUR, now,
                      "the last 24 hours (this hour and the 23 before)"), None
    if name == "custom":
        first, last = _parse_day(args.get("from")), _parse_day(args.get("to"))
        problem = None
        if first is None or last is None:
            problem = "Give both dates as YYYY-MM-DD."
        elif last < first:
            problem = "The end date is before the start date."
        elif last - first + 1 > MAX_DAYS:
            problem = f"A period may cover at most {MAX_DAYS} days."
        elif first > today:
            problem = "The period starts in the future."
        if problem is None:
            end = min((last + 1) * DAY, now)
            return Period("custom", first * DAY, end,
                          f"{day_text(first)} to {day_text(last)}"), None
        name = "7d"
    else:
        problem = None
    days = 30 if name == "30d" else 7
    return Period(f"{days}d", (today - days + 1) * DAY, now,
                  f"the last {days} days (today and {days - 1} days before)"), problem


def parse_filters(args):
    key = (args.get("key") or "")[:KEY_LIMIT]
    version = (args.get("version") or "")[:VERSION_LIMIT]
    return Filters(key, args.get("match") == "prefix" and bool(key), version)
