"""Dashboard commands of `python3 -m quillo_service`.

    hash-password            reads a password (twice, not echoed) and prints the
                             [admin] password_hash for the configuration
    rollup FILE              brings the dashboard's daily counts up to date
                             (each view also does this itself)
"""

import getpass
import sys
import time

from werkzeug.security import generate_password_hash


def hash_password(argv):
    if sys.stdin.isatty():
        first = getpass.getpass("Password: ")
        if first != getpass.getpass("Again: "):
            print("the two passwords differ", file=sys.stderr)
            return 1
    else:
        first = sys.stdin.readline().rstrip("\r\n")
    if len(first) < 10:
        print("use at least 10 characters", file=sys.stderr)
        return 1
    print("[admin]")
    print('user = "admin"')
    print(f'password_hash = "{generate_password_hash(first)}"')
    return 0


def rollup(argv):
    from ..config import ConfigError, load_config
    from ..dashboard.queries import Dashboard
    from ..db import StoreError, open_configured
    from ..funnel.queries import FunnelCounts
    from ..periods import time_text
    try:
        config = load_config(argv[0])
        store = open_configured(config)
        began = time.monotonic()
        last = Dashboard(store).catch_up(budget=float("inf"))
        funnel = FunnelCounts(store).catch_up(budget=float("inf"))
    except (ConfigError, StoreError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    print(f"daily counts up to request {last}, download funnel up to "
          f"{time_text(funnel) if funnel else 'nothing yet'} UTC "
          f"({time.monotonic() - began:.1f} s)")
    return 0


def main(argv):
    if argv[0] == "hash-password":
        return hash_password(argv[1:])
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return rollup(argv[1:])
