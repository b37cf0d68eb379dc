"""What the console's pages are made of, shared by every feature's views.

A view (dashboard/views.py, funnel/view.py, rollouts/view.py) turns its
feature's counts into a Page of charts and Tables; the console (admin/)
renders the page and writes any table as CSV.  These types, and the few
texts and helpers that several features' views use, live here, apart from
the console's blueprint, so that a feature's view can be imported without
the console and the console imports the features, never the other way.
"""

import math
from typing import NamedTuple

from . import joins

GIB = 1024 ** 3


class Table(NamedTuple):
    name: str      # in the CSV link and file name
    title: str
    columns: tuple
    rows: list
    note: str = ""
    anchors: list = []  # an id for each row that a banner links to, or none


class Page(NamedTuple):
    title: str
    charts: list   # [(caption, Markup svg, legend [(colour, text)])]
    tables: list
    notes: list = []
    cards: object = None  # the Rollouts view's rollouts/cards.Cards, in its own template

    def every_table(self):
        """Every table of the page, those of the cards too: each downloads as CSV."""
        return list(self.tables) + list(self.cards.tables if self.cards else ())


# Cells that read differently on the page and in the CSV: the page shows
# `.text` (with `.title`, if any, as the cell's title), the CSV writes `.csv`.

class Bytes(int):
    """A count of bytes: the table shows it in MiB, or in GiB from 1,000 MiB
    on, with the exact figure as the cell's title; the CSV gets the exact figure."""

    @property
    def text(self):
        mib = self / 2 ** 20
        if mib >= 1000:
            return f"{self / GIB:,.2f} GiB"
        return f"{math.floor(mib * 10) / 10:.1f} MiB"  # never rounded up to 1,000.0

    @property
    def title(self):
        return f"{self:,} bytes"

    @property
    def csv(self):
        return int(self)


class Share(float):
    """A share in percent, 0 to 100: "26.9 %" on the page (and in a text),
    the number 26.92 in the CSV, whose column says "(%)"."""

    @property
    def text(self):
        return f"{self:.1f} %"

    title = ""

    @property
    def csv(self):
        return round(float(self), 2)

    def __str__(self):
        return self.text


class Money(float):
    """An amount of money: two decimals on the page and in the CSV."""

    @property
    def text(self):
        return f"{self:,.2f}"

    title = ""

    @property
    def csv(self):
        return f"{self:.2f}"

    def __str__(self):
        return self.text


OTHER_KEYS = "(other keys)"

_PLACES = {"console": "on the console", "command line": "on the command line"}


def by_whom(who):
    """"by the guard", "by boss on the console": who acted, as recorded
    ("guard", "console: boss", "command line: root")."""
    if not who:
        return ""
    if who == "guard":
        return "by the guard"
    place, _, user = who.partition(": ")
    return f"by {user} {_PLACES[place]}" if user and place in _PLACES else f"by {who}"

# How joins.py lays downloads and failures at requests, as the console says it.
FAILURE_RULE = (
    "A failure belongs to the latest request before it of the same address and key, "
    f"up to {joins.ERROR_WINDOW / 3600:g} hours before an error report (one without a "
    f"key belongs to no request) or {joins.CRASH_WINDOW / 3600:g} hours before a crash "
    "report (same address, any key).")
DOWNLOAD_RULE = (
    "A download belongs to the latest instruction request before it of the same address "
    f"for that installer, placed by when it started, up to "
    f"{joins.DOWNLOAD_WINDOW / 60:g} minutes after the request; one that lasted over "
    f"{joins.LONGEST / 3600:g} hours belongs to no request.")
CLOCK_RULE = (
    f"The hosts' clocks may differ by {joins.CLOCK_SLACK:g} seconds: when no request "
    "qualifies before a failure or download, a request stamped up to that much after it "
    "counts.")


def percent_of(n, total):
    """n's Share of total, or "" when the total is nothing."""
    return Share(100.0 * n / total) if total else ""


def answer_label(answer, config):
    """What an answer was, in the publisher's terms."""
    if answer.startswith("fallback:"):
        return "nginx fallback: " + answer_label(answer[len("fallback:"):], config)
    if answer.startswith("GET:"):
        for name, address in config.channels.items():
            if address == answer[4:]:
                return "channel " + name
        return "installer " + answer[4:]
    if answer.startswith("GOTO:"):
        return "page " + answer[5:]
    return answer


def text_table(columns, rows):
    """A table for the command line: columns padded to their widest cell,
    two spaces apart, numbers right-aligned; the lines, without line ends."""
    cells = [[f"{v:,}" if isinstance(v, int) and not isinstance(v, bool) else
              "" if v is None else str(v) for v in row] for row in rows]
    widths = [max([len(c)] + [len(r[i]) for r in cells]) for i, c in enumerate(columns)]
    right = [bool(rows) and all(isinstance(r[i], (int, float)) and not isinstance(r[i], bool)
                                for r in rows) for i in range(len(columns))]

    def line(values):
        return "  ".join(v.rjust(w) if r else v.ljust(w)
                         for v, w, r in zip(values, widths, right)).rstrip()
    return [line(list(columns))] + [line(r) for r in cells]


class Link(str):
    """A cell that opens the list behind it: its text (what the table and the
    CSV show) and the console address of that list with its own query; the
    console adds the page's period and filters, which the query overrides
    where it names them too (a key's own link names its key)."""

    def __new__(cls, text, path, query=None):
        cell = super().__new__(cls, text)
        cell.path, cell.query = path, dict(query or {})
        return cell

    def href(self, keep):
        """The address, within the page's period and filters `keep` (a dict)."""
        from urllib.parse import urlencode
        query = urlencode({**keep, **self.query})
        return f"{self.path}?{query}" if query else self.path
