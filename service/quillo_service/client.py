"""The address of the client a request came from."""

import ipaddress

_LOCAL_PEERS = frozenset({"", "127.0.0.1", "::1", "::ffff:127.0.0.1"})


def client_address(environ):
    """The client's address, for recording and rate limiting.

    Behind nginx the peer is the local proxy, which passes the real client in
    X-Real-IP (overwriting whatever the client sent).  The header is believed
    only when the peer is local (loopback, or a unix socket, where the peer
    address is empty); a client talking to the service directly cannot choose
    its own address.
    """
    peer = environ.get("REMOTE_ADDR") or ""
    if peer in _LOCAL_PEERS or peer.startswith("127."):
        real = environ.get("HTTP_X_REAL_IP")
        if real:
            try:
                return str(ipaddress.ip_address(real.strip()))
            except ValueError:
                pass
    return peer[:64] or "local"
