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


class Bytes(int):
    """A count of bytes: the table shows it in MiB, or in GiB from 1,000 MiB
    on, with the exact figure as the cell's title; the CSV, which writes it
    as an int, gets the exact figure."""

    @property
    def text(self):
        mib = self / 2 ** 20
        if mib >= 1000:
            return f"{self / GIB:,.2f} GiB"
        return f"{math.floor(mib * 10) / 10:.1f} MiB"  # never rounded up to 1,000.0


OTHER_KEYS = "(other keys)"

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
    return f"{100.0 * n / total:.1f} %" if total else ""


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
