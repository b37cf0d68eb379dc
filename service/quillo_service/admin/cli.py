"""The console's commands of the command line (__main__.py parses them):

    hash-password   reads a password (twice, not echoed) and prints the [admin]
                    table with its password_hash for the configuration
    users FILE add NAME [--read-only] | list | remove NAME
                    the console's users, kept in the store (users.py)
    rollup FILE     brings the console's daily counts up to date (each page
                    also does this itself)
"""

import getpass
import json
import shlex
import sys
import time

from ..periods import iso_time
from ..tables import text_table
from .auth import make_hash
from .users import Users, name_problem

MIN_PASSWORD = 10


def read_password():
    """A new password: asked twice, not echoed, of a person at a terminal;
    one line of standard input otherwise.  None (said why) when it will not do."""
    if sys.stdin.isatty():
        first = getpass.getpass("Password: ")
        if first != getpass.getpass("Again: "):
            print("error: the two passwords differ", file=sys.stderr)
            return None
    else:
        first = sys.stdin.readline().rstrip("\r\n")
    if len(first) < MIN_PASSWORD:
        print(f"error: use at least {MIN_PASSWORD} characters", file=sys.stderr)
        return None
    return first


def hash_password():
    """Print the [admin] lines; 1 when the password will not do."""
    password = read_password()
    if password is None:
        return 1
    print("[admin]")
    print('user = "admin"')
    print(f'password_hash = "{make_hash(password)}"')
    return 0


def _fail(text):
    print(f"error: {text}", file=sys.stderr)
    return 1


def users_command(store, config, args):
    """add, list or remove the console's users; the exit code."""
    users, file = Users(store), shlex.quote(config.path)
    admin = config.admin[0] if config.admin else None
    if args.action == "list":
        found = users.listing()
        if args.json:
            print(json.dumps([dict(u, created_at=iso_time(u["created_at"])) for u in found],
                             ensure_ascii=False, indent=1))
            return 0
        if found:
            print("\n".join(text_table(("user", "read-only", "created (UTC)"), [
                (u["name"], "yes" if u["read_only"] else "no", iso_time(u["created_at"]))
                for u in found])))
        else:
            print(f"no user is kept in {store.describe()}; add one with scripts/quillo users "
                  f"{file} add NAME")
        if admin is not None:
            print(f"and the [admin] table of {config.path} has the user {admin}, "
                  "who may change everything")
        return 0
    name = args.name
    if args.action == "remove":
        if name == admin:
            return _fail(f"{name} is the [admin] user of {config.path}: take the table out of "
                         "the configuration instead")
        if not users.remove(name):
            return _fail(f"no user is named {name!r:.80}")
        print(json.dumps({"removed": name}, ensure_ascii=False) if args.json else
              f"removed {name}; the console refuses it from its next request on")
        return 0
    problem = name_problem(name)
    if problem:
        return _fail(f"{problem}: {name!r:.80}")
    if name == admin or users.find(name) is not None:
        return _fail(f"a user is named {name} already"
                     + (f" (the [admin] table of {config.path})" if name == admin else ""))
    password = read_password()
    if password is None:
        return 1
    if not users.add(name, make_hash(password), args.read_only):
        return _fail(f"a user is named {name} already")
    if args.json:
        print(json.dumps({"added": name, "read_only": args.read_only}, ensure_ascii=False))
    else:
        print(f"added {name}" + (", who may only look" if args.read_only else
                                 ", who may change everything"))
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
