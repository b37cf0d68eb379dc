"""The address of the client a request came from."""

import ipaddress

from .config import ConfigError

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
    """The client's address, for recording and rate limiting.

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


def client_address(environ):
    """The address FastPath worked out for this request (see resolve_client)."""
    address = environ.get(ENVIRON_KEY)
    return address if address is not None else resolve_client(environ)
