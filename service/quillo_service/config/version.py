"""Launcher versions, as rules and reports give them."""

import re

# Launcher versions are texts like "0,1,0,220": up to four decimal numbers.
_VERSION_RE = re.compile(r"^[0-9]{1,9}(?:[,.][0-9]{1,9}){0,3}\Z")


def parse_version(text):
    """Version text -> tuple of four ints, or None when it is not well formed."""
    if text is None or not _VERSION_RE.match(text):
        return None
    parts = [int(p) for p in re.split(r"[,.]", text)]
    return tuple(parts + [0] * (4 - len(parts)))
