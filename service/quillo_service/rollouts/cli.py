"""The staged rollouts on the command line, for the publisher's people:

    python3 -m quillo_service rollouts FILE         each staged rollout: name, share, state
    python3 -m quillo_service rollouts FILE halt|resume|advance NAME [WHY...]

(__main__.py reads FILE and opens the store, then hands over here).  An
action is recorded in the audit as the command line's, with the user's name.
"""

import getpass
import os
import sys

from .changes import ACTIONS, ActionError, act, status_lines


def rollouts_command(store, config, args):
    """List the staged rollouts, or halt, resume or advance one of them."""
    if not args:
        for line in status_lines(store, config):
            print(line)
        return 0
    if args[0] not in ACTIONS or len(args) < 2:
        print("rollouts FILE halt|resume|advance NAME [WHY...]", file=sys.stderr)
        return 2
    try:
        user = getpass.getuser()
    except (KeyError, OSError):
        user = f"uid {os.getuid()}"
    try:
        act(store, config, args[1], args[0], f"command line: {user}", " ".join(args[2:]))
    except ActionError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    for line in status_lines(store, config):
        if line.startswith(args[1] + " "):
            print(line)
    return 0
