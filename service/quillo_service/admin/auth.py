"""HTTP Basic for the console: the configuration's [admin] user, or any user
of the store's `users` table (users.py).

Only salted PBKDF2 hashes are kept (werkzeug.security), never a password.
A check costs about a tenth of a second on purpose, so a worker remembers
the credentials it has already accepted for a few minutes, as a digest of
the name, the password and the stored hash, never the password.  The
stored hash is read for every request (one lookup by primary key in a
small table), and the digest is keyed by it: a user removed, or given
another password, is refused from the next request on, remembered or not;
an [admin] table edited is, once the configuration is read again (within
a second or two).

Wrong passwords are counted per client address and minute in the store's
rate_counts table, like the error events, so the limit holds across
workers and hosts; once over it, an address gets 429 without its password
being checked at all.
"""

import base64
import hashlib
import hmac

from werkzeug.security import DEFAULT_PBKDF2_ITERATIONS, check_password_hash, \
    generate_password_hash

from ..clients import request_client_key
from ..reports.records import count_hit, hits, take_back_hit
from .users import Users

WRONG_PER_MINUTE = 5
REMEMBER_SECONDS = 300
_accepted = {}  # digest of (user, password, stored hash) -> time accepted

METHOD = "pbkdf2:sha256"
# What a password is checked against when the name is nobody's, so that a
# wrong name costs as long as a wrong password.  No password matches it,
# and a name that is nobody's is refused whatever the check says.
_STAND_IN = f"{METHOD}:{DEFAULT_PBKDF2_ITERATIONS}$stand-in${'0' * 64}"

READ_ONLY = "quillo.read_only"  # set in a request's environ once its user is known
LOGIN = "quillo.login"          # (user name, stored hash), with it


def make_hash(password):
    """The stored form of a password: salted PBKDF2, as [admin] holds it."""
    return generate_password_hash(password, method=METHOD)


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


def _login(admin, store, user):
    """(stored hash, read only) of the user named `user`, or None.  The
    [admin] table's user comes first: a user of the store with the same
    name is not used while the configuration names it."""
    # The store is asked either way, so that the [admin] user's name is
    # not told apart by a missing lookup; its comparison takes the same
    # time however much of it is right.
    stored = Users(store).find(user)
    if admin is not None and hmac.compare_digest(user.encode(), admin[0].encode()):
        return (admin[1], False)
    return stored


def _accept(environ, user, login):
    environ[LOGIN] = (user, login[0])
    environ[READ_ONLY] = login[1]
    return "ok"


def check(environ, admin, store, now):
    """Returns "ok" (the user then noted in `environ`: LOGIN, READ_ONLY),
    "missing" (no credentials), "wrong" (counted) or "limited"."""
    client, window = _rate_key(environ), int(now // 60)
    if hits(store, client, window) >= WRONG_PER_MINUTE:
        return "limited"
    if not environ.get("HTTP_AUTHORIZATION"):
        return "missing"
    given = _credentials(environ)
    user, password = given or ("", "")
    login = _login(admin, store, user) if given is not None else None
    digest = None
    if login is not None:
        digest = hashlib.sha256("\0".join((user, password, login[0])).encode()).digest()
        seen = _accepted.get(digest)
        if seen is not None and now - seen < REMEMBER_SECONDS:
            return _accept(environ, user, login)
    # Counted as wrong before the hash is checked, and taken back if it was
    # right: parallel guesses each see the others' counts, so no more than
    # the limit are ever checked.
    if count_hit(store, client, window) > WRONG_PER_MINUTE:
        return "limited"
    if given is None:
        return "wrong"
    # One hash checked whether or not the name is anyone's: a wrong name
    # takes as long as a wrong password.
    good = check_password_hash(login[0] if login else admin[1] if admin else _STAND_IN,
                               password)
    if login is not None and good:
        take_back_hit(store, client, window)
        if len(_accepted) > 64:
            _accepted.clear()
        _accepted[digest] = now
        return _accept(environ, user, login)
    return "wrong"


def user_name(environ):
    """The name of the request's user, once check() accepted it."""
    login = environ.get(LOGIN)
    return login[0] if login else ""


def read_only(environ):
    """Whether this request's user may only look: every form that changes
    something refuses such a user."""
    return bool(environ.get(READ_ONLY))


# -- forms: a token against cross-site requests ------------------------------------
#
# A browser sends Basic credentials with any request to the site, including a
# form another site makes it post, so every form carries a token that only
# our own pages hold: an HMAC of the user and the time it was made, keyed by
# the stored hash of the user who is logged in (the same on every host, and
# changed with the password), so that a token made for one user is no good
# to another.  The pages need no cookie and no script for it.

TOKEN_SECONDS = 8 * 3600


def _token_mac(password_hash, user, made):
    key = hashlib.sha256(b"quillo form token\0" + password_hash.encode()).digest()
    return hmac.new(key, f"{user}\0{made}".encode(), hashlib.sha256).hexdigest()


def form_token(environ, now):
    """A token for the forms of the page made for this request's user."""
    user, password_hash = environ[LOGIN]
    made = int(now)
    return f"{made}.{_token_mac(password_hash, user, made)}"


def form_token_ok(environ, token, now):
    """Whether `token` was made, within TOKEN_SECONDS, for this request's user."""
    # Our tokens are ASCII; str.isdigit and int() also take digits of other
    # scripts ("\u00b2" passes the one and fails the other).
    login = environ.get(LOGIN)
    token = token or ""
    made, _, mac = token.partition(".")
    if login is None or not token.isascii() or not made.isdigit() or len(made) > 12:
        return False
    if not 0 <= now - int(made) <= TOKEN_SECONDS:
        return False
    user, password_hash = login
    return hmac.compare_digest(mac.encode(), _token_mac(password_hash, user, int(made)).encode())
