"""The console's addresses of the lists behind a table's cells, and the
cells that link to them (tables.Link), for every feature's views."""

from typing import NamedTuple

from .tables import Link


class Group(NamedTuple):
    """A crash group as the Crashes view counts it; None where the report had none."""
    module: str | None
    offset: int | None
    exception: int | None


EVENT_PAGE = "/admin/event/"
EVENTS = "/admin/events"
REQUESTS = "/admin/requests"


# -- a crash group in one query value: offset:code:module ------------------------
# Offset and exception code in hex, empty when the report had none; the
# module last, since only it may hold a colon; "*" for a report that named
# none (no file name can hold a "*"), empty for an address in no module.

def group_text(group):
    offset, code = ("" if v is None else f"0x{v:X}" for v in group[1:])
    return f"{offset}:{code}:{'*' if group.module is None else group.module}"


def parse_group(text):
    """The Group of group_text's form, or None."""
    parts = (text or "").split(":", 2)
    if len(parts) != 3:
        return None
    offset, code, module = parts
    try:
        numbers = [None if v == "" else int(v, 16) for v in (offset, code)]
    except ValueError:
        return None
    if any(v is not None and not 0 <= v < 2 ** 63 for v in numbers):
        return None
    return Group(None if module == "*" else module, *numbers)


def module_text(module):
    return "(no module)" if module == "" else "(unknown)" if module is None else module


def group_link(module, offset, code):
    """The crash group's module cell, linking to its crashes."""
    return Link(module_text(module), EVENTS, {"group": group_text(Group(module, offset, code))})


def code_link(code):
    return Link(str(code), EVENTS, {"code": str(code)})


def key_events_link(key):
    """A key's cell, linking to its failure reports (exactly that key)."""
    return Link(key, EVENTS, {"key": key, "match": "exact"})


def requests_link(text, key=None, rule=None):
    query = {"match": "exact"} if key is not None else {}
    query.update({k: v for k, v in (("key", key), ("rule", rule)) if v is not None})
    return Link(text, REQUESTS, query)
