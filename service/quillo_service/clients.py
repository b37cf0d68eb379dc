"""The address of the client a request came from, and the only form in which
it is kept: a keyed hash (client_key) under the service's secret (load_secret;
where the file lives is settings.secret_path)."""

import hashlib
import hmac
import ipaddress
import os
import re
import secrets

from .config import ConfigError
from .settings import SECRET_FILE  # noqa: F401  (where demo data finds the file name)

# Where FastPath leaves the address it worked out, for every view to use.
ENVIRON_KEY = "quillo.client"


def parse_proxies(text):
    """The proxy addresses or networks to believe X-Real-IP from, given as a
    text of addresses separated by commas or blanks ("" for none)."""
    nets = []
    for item in (text or "").replace(",", " ").split():
        try:
            nets.append(ipaddress.ip_network(item, strict=False))
        except ValueError:
            raise ConfigError(f"QUILLO_SERVICE_PROXIES: {item!r:.80} is not an address "
                              "or a network") from None
    return tuple(nets)


def _trusted(peer, proxies):
    if peer == "":  # a unix socket: only the local nginx can reach it
        return True
    try:
        address = ipaddress.ip_address(peer)
    except ValueError:
        return False
    if address.version == 6 and address.ipv4_mapped:
        address = address.ipv4_mapped
    return any(address in net for net in proxies)


def resolve_client(environ, proxies=()):
    """The client's address, which FastPath turns into its key (client_key)
    at once for recording and rate limiting.

    Behind nginx the peer is the proxy, which passes the real client in
    X-Real-IP (overwriting whatever the client sent).  The header is believed
    only from a unix socket, where the peer address is empty, or from a proxy
    address that the deployment names (QUILLO_SERVICE_PROXIES).  Loopback is
    not trusted by itself: any local process could otherwise choose the
    address it is recorded and limited under.
    """
    peer = environ.get("REMOTE_ADDR") or ""
    if _trusted(peer, proxies):
        real = environ.get("HTTP_X_REAL_IP")
        if real:
            try:
                return str(ipaddress.ip_address(real.strip()))
            except ValueError:
                pass
    return peer[:64] or "local"


def request_client_key(environ):
    """The key of this request's client, as FastPath worked it out (see
    resolve_client and client_key); never the address itself."""
    return environ.get(ENVIRON_KEY) or "unknown"


# nginx's request id: 32 lower-case hex digits ($request_id), the only form
# kept, on the request path as in a spool line.
REQUEST_ID_FORM = re.compile(r"[0-9a-f]{32}")


def request_id(environ):
    """nginx's id for this request (X-Request-Id), kept so that a request or
    report that the front retried on another host, or that comes again from
    a spool or nginx's fallback log (see ingest/fallback.py), is recorded
    once; None when absent or not nginx's 32 lower-case hex digits.  Only
    nginx sets it: it passes a front's id on, and its own otherwise."""
    value = environ.get("HTTP_X_REQUEST_ID")
    return value if value and REQUEST_ID_FORM.fullmatch(value) else None


# -- the stored form of an address ---------------------------------------------

_KEY_HEX = 32  # characters kept of the HMAC: 128 bits, ample against collisions
_KEY_RE = re.compile(r"^[0-9a-f]{%d}\Z" % _KEY_HEX)


def client_key(address, secret):
    """The form in which a client address is stored and compared: the first
    128 bits of HMAC-SHA256 under the service's secret, as lower-case hex.

    The same address always gives the same key, so the rate limits and the
    joins between a client's requests and its failures still work, but the
    address cannot be read back without the secret (a plain hash would not
    do: the whole IPv4 space is hashed in minutes).  Addresses are taken in
    their canonical text first, so that nginx's spelling and Python's meet.
    """
    text = str(address)
    try:
        text = str(ipaddress.ip_address(text.strip()))
    except ValueError:
        pass
    if isinstance(secret, str):
        secret = secret.encode()
    return hmac.new(secret, text.encode("utf-8", "replace"), hashlib.sha256).hexdigest()[:_KEY_HEX]


def is_client_key(text):
    """True for a stored key, False for an address kept by an older version."""
    return isinstance(text, str) and bool(_KEY_RE.match(text))


def load_secret(path, create=True):
    """The secret in `path` (bytes), made there first when missing.

    It is made as a whole file under a temporary name and linked into place,
    so workers starting together all end up with the one that won, never
    with half of one.  A file that others may read is refused: the secret is
    all that stands between the stored keys and the addresses.
    """
    try:
        return _read_secret(path)
    except FileNotFoundError:
        if not create:
            raise ConfigError(f"client secret {path}: missing") from None
    folder = os.path.dirname(path) or "."
    temp = f"{path}.{os.getpid()}.{secrets.token_hex(4)}.tmp"
    try:
        os.makedirs(folder, exist_ok=True)
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(secrets.token_hex(32) + "\n")
            f.flush()
            os.fsync(f.fileno())
        try:
            os.link(temp, path)
        except FileExistsError:
            pass  # another worker made it first: use that one
        finally:
            os.unlink(temp)
    except OSError as e:
        raise ConfigError(f"client secret {path}: cannot create it: {e.strerror}") from None
    return _read_secret(path)


def _read_secret(path):
    try:
        with open(path, "rb") as f:
            mode = os.fstat(f.fileno()).st_mode
            text = f.read(4096).strip()
    except FileNotFoundError:
        raise
    except OSError as e:
        raise ConfigError(f"client secret {path}: cannot read it: {e.strerror}") from None
    if mode & 0o077:
        raise ConfigError(f"client secret {path}: others may read it (mode {mode & 0o777:o}); "
                          f"run chmod 600 {path}")
    if len(text) < 32:
        raise ConfigError(f"client secret {path}: shorter than 32 characters; delete the file "
                          "only if no database holds keys made with it")
    return text
