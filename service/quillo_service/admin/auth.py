"""HTTP Basic for the dashboard, against the password hash in the configuration.

The configuration holds only a salted PBKDF2 hash (werkzeug.security).  A
check costs about a tenth of a second on purpose, so a worker remembers the
credentials it has already accepted (as a digest, never the password) for a
few minutes.  Wrong passwords are counted per client address and minute in
the store's rate_counts table, like the error events, so the limit holds
across workers and hosts; once over it, an address gets 429 without its
password being checked at all.
"""

import base64
import hashlib
import hmac
import time

from werkzeug.security import check_password_hash

from ..client import client_address

WRONG_PER_MINUTE = 5
REMEMBER_SECONDS = 300
_accepted = {}  # digest of (user, password, hash) -> time accepted


def _credentials(environ):
    header = environ.get("HTTP_AUTHORIZATION", "")
    scheme, _, value = header.partition(" ")
    if scheme.lower() != "basic" or not value or len(value) > 1024:
        return None
    try:
        text = base64.b64decode(value.strip(), validate=True).decode("utf-8")
    except (ValueError, UnicodeDecodeError):
        return None
    user, sep, password = text.partition(":")
    return (user, password) if sep else None


def _rate_key(environ):
    return "admin " + client_address(environ)


def _wrong_so_far(store, client, window):
    p = store.placeholder
    rows = store._rows(f"SELECT hits FROM rate_counts WHERE client = {p} AND window_start = {p}",
                       (client, window))
    return rows[0]["hits"] if rows else 0


def _count_wrong(store, client, window):
    try:
        with store._transaction() as conn:
            conn.execute(store._count_hit, (client, window)).fetchall()
    except store.errors as e:
        store._drop()
        from ..store import StoreError
        raise StoreError(str(e)) from e


def check(environ, admin, store, now):
    """Returns "ok", "missing" (no credentials), "wrong" (counted) or "limited"."""
    client, window = _rate_key(environ), int(now // 60)
    if _wrong_so_far(store, client, window) >= WRONG_PER_MINUTE:
        return "limited"
    if not environ.get("HTTP_AUTHORIZATION"):
        return "missing"
    given = _credentials(environ)
    user, password = given or ("", "")
    if admin is not None and given is not None:
        digest = hashlib.sha256("\0".join((user, password, admin[1])).encode()).digest()
        seen = _accepted.get(digest)
        if seen is not None and now - seen < REMEMBER_SECONDS:
            return "ok"
        # Always pay for the hash, so a wrong user name takes as long as a
        # wrong password.
        good = check_password_hash(admin[1], password)
        if good and hmac.compare_digest(user.encode(), admin[0].encode()):
            if len(_accepted) > 64:
                _accepted.clear()
            _accepted[digest] = now
            return "ok"
    _count_wrong(store, client, window)
    return "wrong"
