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

from werkzeug.security import check_password_hash

from ..clients import request_client_key
from ..reports.records import count_hit, hits, take_back_hit

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
    return "admin " + request_client_key(environ)


def check(environ, admin, store, now):
    """Returns "ok", "missing" (no credentials), "wrong" (counted) or "limited"."""
    client, window = _rate_key(environ), int(now // 60)
    if hits(store, client, window) >= WRONG_PER_MINUTE:
        return "limited"
    if not environ.get("HTTP_AUTHORIZATION"):
        return "missing"
    given = _credentials(environ)
    user, password = given or ("", "")
    digest = None
    if admin is not None and given is not None:
        digest = hashlib.sha256("\0".join((user, password, admin[1])).encode()).digest()
        seen = _accepted.get(digest)
        if seen is not None and now - seen < REMEMBER_SECONDS:
            return "ok"
    # Counted as wrong before the hash is checked, and taken back if it was
    # right: parallel guesses each see the others' counts, so no more than
    # the limit are ever checked.
    if count_hit(store, client, window) > WRONG_PER_MINUTE:
        return "limited"
    if digest is None:
        return "wrong"
    # Both always compared, so a wrong user name takes as long as a wrong
    # password, and the user name's comparison takes the same time however
    # much of it is right.
    good_user = hmac.compare_digest(user.encode(), admin[0].encode())
    good_password = check_password_hash(admin[1], password)
    if good_user & good_password:
        take_back_hit(store, client, window)
        if len(_accepted) > 64:
            _accepted.clear()
        _accepted[digest] = now
        return "ok"
    return "wrong"


# -- forms: a token against cross-site requests ------------------------------------
#
# A browser sends Basic credentials with any request to the site, including a
# form another site makes it post, so every form carries a token that only
# our own pages hold: an HMAC of the user and the time it was made, keyed by
# the configuration's password hash (the same on every host, and changed
# with the password).  The pages need no cookie and no script for it.

TOKEN_SECONDS = 8 * 3600


def user_name(environ):
    given = _credentials(environ)
    return given[0] if given else ""


READ_ONLY = "quillo.read_only"  # set in a request's environ once its user is known


def read_only(environ):
    """Whether this request's user may only look: every form that changes
    something refuses such a user."""
    return bool(environ.get(READ_ONLY))


def _token_mac(admin, user, made):
    key = hashlib.sha256(b"quillo form token\0" + admin[1].encode()).digest()
    return hmac.new(key, f"{user}\0{made}".encode(), hashlib.sha256).hexdigest()


def form_token(admin, user, now):
    made = int(now)
    return f"{made}.{_token_mac(admin, user, made)}"


def form_token_ok(admin, user, token, now):
    # Our tokens are ASCII; str.isdigit and int() also take digits of other
    # scripts ("\u00b2" passes the one and fails the other).
    token = token or ""
    made, _, mac = token.partition(".")
    if admin is None or not token.isascii() or not made.isdigit() or len(made) > 12:
        return False
    if not 0 <= now - int(made) <= TOKEN_SECONDS:
        return False
    return hmac.compare_digest(mac.encode(), _token_mac(admin, user, int(made)).encode())
