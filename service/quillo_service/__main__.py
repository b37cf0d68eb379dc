"""The service's command line, for publishers and support: scripts/quillo
COMMAND FILE ... (or, from service/, /usr/bin/python3 -m quillo_service).

FILE is the service's configuration; QUILLO_SERVICE_DATABASE overrides its
database.  Only `migrate` makes a database; every other command refuses one
that does not exist, naming it.  `requests`, `events` and `event` print JSON
lines, which other tools read; the rest print tables for people, or JSON
with --json.  Misuse exits 2 with the usage and the reason, a failure 1
with one line saying what failed.
"""

import argparse
import json
import shlex
import sys
import time

from . import load_features
from .config import ConfigError, load_config
from .config.top_level import RETENTION_DAYS_MAX
from .db import StoreError, open_configured
from .periods import iso_time, parse_moment
from .tables import text_table

PROG = "scripts/quillo"
MOST_ROWS = 1_000_000   # rows `requests` and `events` print at most


def _count(text):
    """A count of rows: a whole number from 1 to MOST_ROWS."""
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r:.40} is not a whole number") from None
    if not 1 <= n <= MOST_ROWS:
        raise argparse.ArgumentTypeError(f"give 1 to {MOST_ROWS:,} rows, not {n}")
    return n


def _days(text):
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r:.40} is not a whole number of days") from None
    if not 1 <= n <= RETENTION_DAYS_MAX:
        raise argparse.ArgumentTypeError(f"give 1 to {RETENTION_DAYS_MAX} days, not {n}")
    return n


def _moment(text):
    """A day (YYYY-MM-DD) or an ISO 8601 time, UTC: (seconds, whether a whole day)."""
    found = parse_moment(text)
    if found is None:
        raise argparse.ArgumentTypeError(f"{text!r:.40} is neither a day (YYYY-MM-DD) nor an "
                                         "ISO time (2026-12-09T14:00Z) from 1970 on")
    return found


def _points(text):
    """A margin in percentage points, 0 to 100, as guard_extra_failure_points."""
    try:
        x = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r:.40} is not a number of points") from None
    if not 0 <= x <= 100:  # NaN fails this too
        raise argparse.ArgumentTypeError(f"give 0 to 100 points, not {text:.40}")
    return x


def parser():
    p = argparse.ArgumentParser(
        prog=PROG, description="The Quillo service's command line.",
        epilog="FILE is the service's configuration; QUILLO_SERVICE_DATABASE overrides its "
               "database. Each command has its own --help.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    p.commands = {}

    def command(name, help, file=True, json_out=True):
        c = p.commands[name] = sub.add_parser(name, help=help,
                                              description=help[0].upper() + help[1:] + ".")
        if file:
            c.add_argument("file", metavar="FILE", help="the service's configuration")
        if json_out:
            c.add_argument("--json", action="store_true", help="print JSON, for machines")
        return c

    command("check", "check a configuration file, and its halts where its database exists")
    for name, what in (("requests", "recorded requests"), ("events", "error and crash events")):
        c = command(name, f"the latest {what}, newest first, as JSON lines", json_out=False)
        c.add_argument("n", metavar="N", type=_count, nargs="?", default=10,
                       help=f"how many (default 10, at most {MOST_ROWS:,})")
    c = command("event", "one event by its support reference, as a JSON line", json_out=False)
    c.add_argument("reference", metavar="REFERENCE", help="the reference, e.g. DGNT-KNZ3")
    c = command("purge", "delete records older than retention_days")
    c.add_argument("--days", type=_days, help="keep this many days this once, instead of "
                   "retention_days")
    command("hash-password", "read a password and print the [admin] table for the console",
            file=False, json_out=False)
    command("rollup", "bring the console's daily counts up to date")
    command("migrate", "create or upgrade the tables now (run it as the service's user: it "
            "may make the client secret)")
    command("new-secret", "after the client secret was lost: let the service start with a "
            "new one")
    c = command("rollouts", "the staged rollouts, or halt, resume, advance or forget one, "
                "or replay its stored counts through the guard")
    c.add_argument("action", metavar="ACTION", nargs="?",
                   choices=("halt", "resume", "advance", "forget", "replay"),
                   help="halt, resume, advance, forget (a rule gone from the configuration), "
                   "or replay --from DATE --to DATE: when the guard would have halted the "
                   "rule over those days, hour by hour (changes nothing)")
    c.add_argument("name", metavar="NAME", nargs="?", help="the rule's name")
    c.add_argument("why", metavar="WHY", nargs="*", help="why, recorded with the action")
    c.add_argument("--yes", action="store_true", help="do not ask before an action that "
                   "widens a release (advance, resume, forget)")
    c.add_argument("--from", dest="start", type=_moment, metavar="DATE",
                   help="replay: the first day (YYYY-MM-DD) or hour (ISO time) counted, UTC")
    c.add_argument("--to", dest="end", type=_moment, metavar="DATE",
                   help="replay: the last day or hour counted, UTC (a day: all of it)")
    c.add_argument("--margin", type=_points, metavar="POINTS",
                   help="replay: judge at this guard_extra_failure_points instead of the "
                   "configured one")
    c = command("users", "the console's users: add one, list them or remove one")
    c.add_argument("action", metavar="ACTION", choices=("add", "list", "remove"),
                   help="add NAME (asks for the password), list, or remove NAME")
    c.add_argument("name", metavar="NAME", nargs="?", help="the user's name: 1 to 64 "
                   "printable characters, no \":\"")
    c.add_argument("--read-only", action="store_true", help="add a user who may look at "
                   "everything but change nothing")
    c = command("front-answer", "keep the front's own answer to /getinstaller (for when no "
                "host can answer) in FOLDER/answer.txt, following FILE's edits until stopped")
    c.add_argument("folder", metavar="FOLDER", help="the folder the front's nginx serves the "
                   "answer from (front-conf --answer)")
    c.add_argument("--once", action="store_true", help="write the answer once and stop")
    c = command("hosts", "each host's last heartbeat, or forget a host taken out for good")
    c.add_argument("action", metavar="forget", nargs="?", choices=("forget",),
                   help="forget the host NAME: the console no longer waits for it")
    c.add_argument("name", metavar="NAME", nargs="?", help="the host's name")
    return p


def main(argv=None):
    p = parser()
    args, extra = p.parse_known_args(argv)
    c = p.commands[args.command]  # misuse is told with the command's own usage
    if extra:
        hint = " (to keep N days this once: purge FILE --days N)" if c is p.commands["purge"] \
            else ""
        c.error(f"this command takes no {' '.join(extra)!r:.80}{hint}")
    if args.command in ("rollouts", "hosts") and args.action and not args.name:
        c.error(f"{args.action} needs the NAME of a {'host' if args.command == 'hosts' else 'rule'}")
    if args.command == "rollouts":
        _replay_arguments(c, args)
    if args.command == "users":
        if args.action != "list" and args.name is None:
            c.error(f"{args.action} needs the NAME of a user")
        if args.action == "list" and args.name is not None:
            c.error(f"list takes no NAME ({args.name!r:.40})")
        if args.read_only and args.action != "add":
            c.error("--read-only is for add")
    try:
        return COMMANDS[args.command](args)
    except (ConfigError, StoreError, OSError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("stopped; nothing more was done", file=sys.stderr)
        return 130
    except Exception as e:  # a fault of ours: one line, not a traceback
        print(f"error: unexpected {type(e).__name__}: {e}", file=sys.stderr)
        return 1


def _replay_arguments(c, args):
    """Misuse of replay's arguments, told with the command's usage (exit 2)."""
    given = [o for o, v in (("--from", args.start), ("--to", args.end),
                            ("--margin", args.margin)) if v is not None]
    if args.action != "replay":
        if given:
            c.error(f"{' and '.join(given)} are for replay")
        return
    if args.start is None or args.end is None:
        c.error("replay needs --from DATE and --to DATE")
    if args.why:
        c.error(f"replay takes no WHY ({' '.join(args.why)!r:.60})")
    end = args.end[0] + (86400 - 1 if args.end[1] else 0)
    if args.start[0] > end:
        c.error("--from is after --to")


def _store(args, create=False):
    config = load_config(args.file)
    return config, open_configured(config, create_secret=False, create=create)


def _show(args, data, columns, rows, empty=None):
    """Print `data` as JSON with --json, else the table (or `empty` without rows)."""
    if args.json:
        print(json.dumps(data, ensure_ascii=False, indent=1))
    elif not rows and empty:
        print(empty)
    else:
        print("\n".join(text_table(columns, rows)))
    return 0


def check(args):
    from .rollouts import changes
    from .db import open_store
    from . import settings
    config = load_config(args.file)
    database = settings.database(config)
    from .admin.users import Users
    warnings, against, has_users = [], None, False
    store = open_store(database, settings.config_folder(config))
    try:
        if store.exists():
            warnings = changes.warnings(config, changes.plan(store, config))
            has_users = Users(store).any()
            against = store.describe()
    except StoreError as e:
        warnings = [f"the database could not be read, so the file alone was checked: {e}"]
        has_users = None  # not known: no word on them
    finally:
        store.close()
    if config.admin is None and has_users is False:
        warnings.append("no user can open the console: scripts/quillo users "
                        f"{shlex.quote(args.file)} add NAME")
    summary = {"ok": True, "channels": len(config.channels), "rules": len(config.rules),
               "default": config.default_channel, "maintenance": config.maintenance,
               "database": against, "warnings": warnings}
    if args.json:
        print(json.dumps(summary, indent=1))
        return 0
    print(f"ok: {len(config.channels)} channels, {len(config.rules)} rules, "
          f"default {config.default_channel}" + (", maintenance ON" if config.maintenance else ""))
    print(f"checked against {against}" if against else
          f"{store.describe()} does not exist yet, so the file alone was checked")
    for text in warnings:
        print(f"warning: {text}")
    return 0


def _lines(rows):
    """JSON lines, each row with its time in ISO 8601 beside the epoch."""
    for row in rows:
        if "recorded_at" in row:
            row = {**row, "recorded_at_utc": iso_time(row["recorded_at"])}
        print(json.dumps(row, ensure_ascii=False))


def _latest(args):
    """requests or events: the latest N, as JSON lines."""
    from .reports.records import recent_events
    _, store = _store(args)
    what = args.command
    rows = (store.recent_requests if what == "requests" else
            lambda n: recent_events(store, n))(args.n)
    _lines(rows)
    if not rows:
        print(f"no {what} are recorded in {store.describe()}", file=sys.stderr)
    return 0


def event(args):
    from .reports.events import normal_reference
    from .reports.records import find_event
    _, store = _store(args)
    reference = normal_reference(args.reference) or args.reference.strip().upper()
    row = find_event(store, reference)
    if row is None:
        print(f"no event has the reference {reference!r:.40}", file=sys.stderr)
        return 1
    _lines([row])
    return 0


def purge(args):
    config, store = _store(args)
    load_features()  # every feature's tables, as the service purges them
    days = args.days or config.retention_days
    deleted = store.purge(days)
    if args.json:
        print(json.dumps({"deleted": deleted, "days": days}))
    else:
        print(f"deleted {deleted:,} records older than {days} days")
    return 0


def hash_password(args):
    from .admin.cli import hash_password
    return hash_password()


def rollup(args):
    from .admin.cli import rollup
    _, store = _store(args)
    last, funnel, seconds = rollup(store)
    if args.json:
        print(json.dumps({"daily_counts_up_to_request": last, "funnel_up_to": iso_time(funnel),
                          "seconds": round(seconds, 3)}))
    else:
        print(f"daily counts up to request {last:,}, download funnel up to "
              f"{iso_time(funnel) or 'nothing yet'} ({seconds:.1f} s)")
    return 0


def migrate(args):
    began = time.monotonic()
    config = load_config(args.file)
    store = open_configured(config, create_secret=True)
    if not args.json:
        store.progress = lambda text: print(text, flush=True)  # a conversion, day by day
    store.check()
    version, seconds = store.schema_version(), time.monotonic() - began
    if args.json:
        print(json.dumps({"schema_version": version, "seconds": round(seconds, 3)}))
    else:
        print(f"schema version {version} ({seconds:.1f} s)")
    return 0


def new_secret(args):
    _, store = _store(args)
    store.forget_client_secret()
    text = ("the next start records the secret it finds (or makes); stored keys no longer "
            "match new ones")
    print(json.dumps({"forgotten": True}) if args.json else text)
    return 0


def rollouts(args):
    from .rollouts.cli import rollouts_command
    config, store = _store(args)
    return rollouts_command(store, config, args)


def users(args):
    from .admin.cli import users_command
    config, store = _store(args)
    return users_command(store, config, args)


def hosts(args):
    _, store = _store(args)
    if args.action:
        if not store.forget_host(args.name):
            print(f"error: no host is named {args.name!r:.80}", file=sys.stderr)
            return 1
        print(f"forgot {args.name}; a heartbeat from it would bring it back")
        return 0
    found = store.hosts()
    data = [{"name": h["name"], "last_seen": iso_time(h["seen_at"]),
             "seconds_ago": round(h["age"], 1), "spooled": h["spooled"],
             "unread_bytes": h["unread_bytes"]} for h in found]
    return _show(args, data, ("host", "last seen (UTC)", "seconds ago", "requests spooled",
                              "bytes of nginx logs unread"),
                 [(d["name"], d["last_seen"], round(d["seconds_ago"]), d["spooled"],
                   d["unread_bytes"]) for d in data],
                 f"no host has sent a heartbeat to {store.describe()} (hosts send one only "
                 "when they run behind nginx)")


def front_answer(args):
    import os
    import signal
    import threading
    from .front_answer import keep
    stop = threading.Event()
    # systemd's stop and Ctrl-C end the loop between two looks at the file.
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    keep(args.file, os.path.abspath(args.folder), stop, once=args.once, json_out=args.json)
    return 0


COMMANDS = {"check": check, "requests": _latest, "events": _latest, "event": event,
            "purge": purge, "hash-password": hash_password, "rollup": rollup,
            "migrate": migrate, "new-secret": new_secret, "rollouts": rollouts, "users": users,
            "hosts": hosts, "front-answer": front_answer}


if __name__ == "__main__":
    sys.exit(main())
