"""Reading query strings that may hold anything.

Every value is cut to its field's length bound (in UTF-8 bytes) before it is
decoded; bad UTF-8, NUL characters and repeated fields are noted rather than
refused, so the caller can record exactly what was wrong and still answer.
"""

from typing import NamedTuple
from urllib.parse import unquote_to_bytes

# Byte bounds of /getinstaller's fields; the launcher's key is at most 1023
# bytes.  The request path and the reader of nginx's fallback log both parse
# that query, so both take the bounds from here.
INSTRUCTION_LIMITS = {"key": 1023, "version": 64, "id": 64}


class Query(NamedTuple):
    values: dict         # field -> str, only for fields present in the query
    malformed: frozenset  # fields badly encoded, holding NUL, or repeated
    cut: frozenset       # fields longer than their bound, cut to it


def _decode(raw):
    """UTF-8 bytes -> (text, ok)."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("utf-8", "replace").replace("\0", "\ufffd"), False
    if "\0" in text:
        # A NUL cannot be stored in PostgreSQL text and never comes from the launcher.
        return text.replace("\0", "\ufffd"), False
    return text, True


def _cut(raw, limit):
    """Cut to `limit` bytes without leaving half a UTF-8 character at the end."""
    raw = raw[:limit]
    for back in range(1, 4):
        if len(raw) < back:
            break
        b = raw[-back]
        if b < 0x80:
            break
        if b >= 0xC0:  # lead byte: drop it if its character is incomplete
            need = 2 if b < 0xE0 else 3 if b < 0xF0 else 4
            if need > back:
                raw = raw[:-back]
            break
    return raw


def parse_query(query_string, limits):
    """Parse raw query bytes; `limits` maps each wanted field to its byte bound.

    Fields not in `limits` are ignored.  The first of repeated fields counts.
    """
    values, malformed, cut = {}, set(), set()
    if not query_string:
        return Query(values, frozenset(), frozenset())
    for part in query_string.split(b"&"):
        name, _, raw = part.partition(b"=")
        try:
            name = unquote_to_bytes(name.replace(b"+", b" ")).decode("ascii")
        except UnicodeDecodeError:
            continue
        limit = limits.get(name)
        if limit is None:
            continue
        if name in values:
            malformed.add(name)
            continue
        raw = unquote_to_bytes(raw.replace(b"+", b" "))
        if len(raw) > limit:
            raw = _cut(raw, limit)
            cut.add(name)
        text, ok = _decode(raw)
        if not ok:
            malformed.add(name)
        values[name] = text
    return Query(values, frozenset(malformed), frozenset(cut))
