"""Small command line for publishers and support.

    python3 -m quillo_service check FILE            check a configuration file
    python3 -m quillo_service requests FILE [N]     the last N recorded requests
    python3 -m quillo_service events FILE [N]       the last N error and crash events
    python3 -m quillo_service event FILE REFERENCE  one event by its support reference
    python3 -m quillo_service purge FILE            delete records older than retention_days
    python3 -m quillo_service hash-password         make the [admin] table for the dashboard
    python3 -m quillo_service rollup FILE           bring the dashboard's daily counts up to date
    python3 -m quillo_service migrate FILE          create or upgrade the tables now (run it as
                                                    the service's user: it may make the secret)
    python3 -m quillo_service new-secret FILE       after the client secret was lost: let the
                                                    service start with a new one
    python3 -m quillo_service rollouts FILE         each staged rollout: name, share, state
    python3 -m quillo_service rollouts FILE halt|resume|advance NAME [WHY...]
    python3 -m quillo_service hosts FILE            each host: last seen, spooled, logs unread
    python3 -m quillo_service hosts FILE forget NAME  a host taken out for good: the
                                                    dashboard no longer waits for it

FILE is the service's configuration; QUILLO_SERVICE_DATABASE overrides its database.
"""

import json
import sys
import time

from . import load_features
from .config import ConfigError, load_config
from .db import StoreError, open_configured
from .reports.records import find_event, recent_events


def main(argv):
    if argv and argv[0] in ("hash-password", "rollup"):
        from .admin.cli import main as admin_main
        return admin_main(argv)
    if len(argv) < 2 or argv[0] not in ("check", "requests", "events", "event", "purge",
                                        "migrate", "new-secret", "rollouts", "hosts"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    command, path = argv[0], argv[1]
    try:
        config = load_config(path)
        if command == "check":
            print(f"ok: {len(config.channels)} channels, {len(config.rules)} rules, "
                  f"default {config.default_channel}"
                  + (", maintenance ON" if config.maintenance else ""))
            return 0
        if command == "migrate":
            began = time.monotonic()
            store = open_configured(config, create_secret=True)
            store.progress = lambda text: print(text, flush=True)  # a conversion, day by day
            store.check()
            print(f"schema version {store.schema_version()} ({time.monotonic() - began:.1f} s)")
            return 0
        store = open_configured(config)
        if command == "new-secret":
            store.forget_client_secret()
            print("the next start records the secret it finds (or makes); stored keys no "
                  "longer match new ones")
            return 0
        if command == "rollouts":
            from .rollouts.cli import rollouts_command
            return rollouts_command(store, config, argv[2:])
        if command == "hosts":
            return hosts_command(store, argv[2:])
        if command == "purge":
            load_features()  # every feature's tables, as the service purges them
            print(f"deleted {store.purge(config.retention_days)} records older than "
                  f"{config.retention_days} days")
            return 0
        if command == "event":
            if len(argv) < 3:
                print("event needs a reference", file=sys.stderr)
                return 2
            row = find_event(store, argv[2].strip().upper())
            rows = [row] if row else []
        else:
            n = int(argv[2]) if len(argv) > 2 else 10
            rows = store.recent_requests(n) if command == "requests" else recent_events(store, n)
        for row in rows:
            print(json.dumps(row, ensure_ascii=False))
        return 0 if rows or command != "event" else 1
    except (ConfigError, StoreError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1


def hosts_command(store, args):
    if args and (args[0] != "forget" or len(args) != 2):
        print("hosts FILE [forget NAME]", file=sys.stderr)
        return 2
    if args:
        if not store.forget_host(args[1]):
            print(f"no host is named {args[1]!r:.80}", file=sys.stderr)
            return 1
        print(f"forgot {args[1]}; a heartbeat from it would bring it back")
        return 0
    for h in store.hosts():
        print(f"{h['name']}: last seen {h['age']:.0f} s ago, {h['spooled']} requests spooled, "
              f"{h['unread_bytes']} bytes of nginx logs unread")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
