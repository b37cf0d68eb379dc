"""The console's commands of the command line (__main__.py parses them):

    hash-password   reads a password (twice, not echoed) and prints the [admin]
                    table with its password_hash for the configuration
    rollup FILE     brings the console's daily counts up to date (each page
                    also does this itself)
"""

import getpass
import sys
import time

from werkzeug.security import generate_password_hash


def hash_password():
    """Print the [admin] lines; 1 when the password will not do."""
    if sys.stdin.isatty():
        first = getpass.getpass("Password: ")
        if first != getpass.getpass("Again: "):
            print("error: the two passwords differ", file=sys.stderr)
            return 1
    else:
        first = sys.stdin.readline().rstrip("\r\n")
    if len(first) < 10:
        print("error: use at least 10 characters", file=sys.stderr)
        return 1
    print("[admin]")
    print('user = "admin"')
    print(f'password_hash = "{generate_password_hash(first)}"')
    return 0


def rollup(store):
    """Bring the dashboard's and the funnel's rollups up to date, without a
    time budget; (last request id rolled up, funnel's time, seconds taken)."""
    from ..dashboard.queries import Dashboard
    from ..funnel.queries import FunnelCounts
    began = time.monotonic()
    last = Dashboard(store).catch_up(budget=float("inf"))
    funnel = FunnelCounts(store).catch_up(budget=float("inf"))
    return last, funnel, time.monotonic() - began
