"""Turning an error or crash query into an event record.

The launcher opens the error page with
    ?source=gatherkit&code=%d&message=%ws&error=0x%08x&version=%ws&os=%ws&key=%ws
after an interactive failure, and its crash reporter with
    ?source=Gatherkit&code=0&message=0x%p:0x%p:%08x:%ws&error=0x0000023e&version=0&os=0&key=0
Every value may be anything; what does not look like the launcher's is kept
as text and marked malformed.
"""

import base64
import hashlib
import hmac
import re
import secrets

from ..config import parse_version
from ..launcher.query import parse_query

LIMITS = {"source": 32, "code": 16, "message": 2048, "error": 16,
          "version": 64, "os": 32, "key": 1023}
FIELDS = ("source", "code", "message", "error", "version", "os", "key")

ERROR_SOURCE = "gatherkit"
CRASH_SOURCES = ("Gatherkit", "crash")  # "crash" only before the launcher names itself

_CODE_RE = re.compile(r"^-?[0-9]{1,10}\Z")
_HR_RE = re.compile(r"^0x([0-9A-Fa-f]{8})\Z")
_OS_RE = re.compile(r"^[0-9]{1,5}\.[0-9]{1,5}\Z")
_CRASH_RE = re.compile(r"^0x([0-9A-Fa-f]{1,16}):0x([0-9A-Fa-f]{1,16}):([0-9A-Fa-f]{8}):(.*)\Z",
                       re.S)
_INT64_MAX = 2**63 - 1


def new_reference(request_id=None, secret=None):
    """A short reference for support: eight letters and digits.  A report
    with nginx's request id gets the same one on every host that makes it
    (a retry on another host, a spooled copy), a keyed hash of the id under
    the service's secret, so that its page shows the reference its row is
    stored under whichever copy is stored; a report without one, a random
    reference."""
    if request_id is not None and secret is not None:
        raw = hmac.new(secret, b"report reference " + request_id.encode(),
                       hashlib.sha256).digest()[:5]
    else:
        raw = secrets.token_bytes(5)
    text = base64.b32encode(raw).decode()
    return f"{text[:4]}-{text[4:]}"


_REFERENCE_RE = re.compile(r"([A-Z2-7]{4})-?([A-Z2-7]{4})\Z")


def normal_reference(text):
    """A reference as support may type it (any case, spaces anywhere, the
    dash left out) in the form new_reference gives, or None when it cannot
    be one."""
    text = (text or "")[:64]
    if not text.isascii():  # upper() would make "ﬀ" into "FF"
        return None
    m = _REFERENCE_RE.match("".join(text.split()).upper())
    return f"{m.group(1)}-{m.group(2)}" if m else None


def parse_crash(message):
    """Crash text -> (module base, address, exception code, module name) or None.

    A null module name ("(null)") gives None; a region that belongs to no
    module gives an empty name.
    """
    m = _CRASH_RE.match(message or "")
    if not m:
        return None
    base, address, code = (int(g, 16) for g in m.group(1, 2, 3))
    if base > _INT64_MAX or address > _INT64_MAX:
        return None
    name = m.group(4)
    if not name.isprintable():
        return None
    return base, address, code, (None if name == "(null)" else name)


def build_event(query_string, client, recorded_at, request_id=None, secret=None):
    """Raw query bytes -> dict with the columns of the events table, and
    under "request_id" nginx's id of the report (None without one), which
    its row claims (db/events.py) and its reference is made from, with the
    client secret."""
    q = parse_query(query_string, LIMITS)
    v = q.values
    malformed = set(q.malformed) | set(q.cut)
    malformed.update(f for f in FIELDS if f not in v)

    source = v.get("source")
    crash = source in CRASH_SOURCES
    if source != ERROR_SOURCE and not crash:
        malformed.add("source")

    code_number = None
    code = v.get("code")
    if code is not None and _CODE_RE.match(code) and -2**31 <= int(code) < 2**31:
        code_number = int(code)
    else:
        malformed.add("code")

    hresult = None
    m = _HR_RE.match(v.get("error") or "")
    if m:
        hresult = int(m.group(1), 16)
    else:
        malformed.add("error")

    version = v.get("version")
    if version is None or not (version == "" or parse_version(version)):
        malformed.add("version")
    os_text = v.get("os")
    if os_text is None or not (os_text == "0" or _OS_RE.match(os_text)):
        malformed.add("os")
    key = v.get("key")
    if key is None or not (key == "" or key.isprintable()):
        malformed.add("key")

    module = base = address = offset = exception_code = None
    if crash:
        parsed = parse_crash(v.get("message"))
        if parsed is None:
            malformed.add("message")
        else:
            base, address, exception_code, module = parsed
            if base and address >= base:
                offset = address - base

    return {
        "recorded_at": recorded_at, "client": client,
        "reference": new_reference(request_id, secret), "request_id": request_id,
        "kind": "crash" if crash else "error",
        "source": source, "code": code, "message": v.get("message"), "error": v.get("error"),
        "version": version, "os": os_text, "bundle_key": key,
        "code_number": code_number, "hresult": hresult, "module": module,
        "module_base": base, "address": address, "module_offset": offset,
        "exception_code": exception_code,
        "malformed": ",".join(sorted(malformed)), "cut": ",".join(sorted(q.cut)),
    }
