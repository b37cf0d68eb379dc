"""The staged rollouts on the command line, for the publisher's people:

    scripts/quillo rollouts FILE             each staged rollout, and each halted
                                             rule no longer staged or gone
    scripts/quillo rollouts FILE halt|resume|advance|forget NAME [WHY...]

(__main__.py parses the arguments, reads FILE and opens the store, then
hands over here).  An action is recorded in the audit as the command
line's, with the user's name.  One that widens a release (advance, resume,
forget) asks first when a person is at a terminal, unless --yes.
"""

import getpass
import json
import os
import sys

from ..periods import iso_time
from ..tables import text_table
from .changes import ActionError, act, statuses, widening

COLUMNS = ("rule", "step", "share", "step since (UTC)", "configuration", "state")
_WHERE = {"": "staged", "unstaged": "no steps any more", "gone": "gone"}


def _user():
    try:
        return getpass.getuser()
    except (KeyError, OSError):
        return f"uid {os.getuid()}"


def _confirmed(question, yes):
    """Whether to go ahead: asked only of a person at a terminal."""
    if yes or not (sys.stdin.isatty() and sys.stdout.isatty()):
        return True
    try:
        return input(f"{question[0].upper() + question[1:]}? [y/N] ").strip().lower() in (
            "y", "yes")
    except EOFError:
        return False


def _print(found, as_json):
    if as_json:
        print(json.dumps([{"rule": s.name, "step": s.step + 1, "steps": s.steps,
                           "share": s.share, "state": s.state, "since": iso_time(s.since),
                           "changed_at": iso_time(s.changed_at),
                           "configuration": _WHERE[s.where], "why": s.row["why"]}
                          for s in found], ensure_ascii=False, indent=1))
        return
    rows = [(s.name, f"{s.step + 1} of {s.steps}" if s.steps else f"{s.step + 1}",
             f"{s.share:g}%", iso_time(s.since) or "", _WHERE[s.where], s.state) for s in found]
    print("\n".join(text_table(COLUMNS, rows)))


def rollouts_command(store, config, args):
    """List the rollouts, or act on one; the exit code."""
    found = statuses(store, config)
    if not args.action:
        if not found and not args.json:
            print(f"no staged rollout in {config.path}, and no halted rule")
            return 0
        _print(found, args.json)
        return 0
    status = next((s for s in found if s.name == args.name), None)
    question = widening(status, args.action, config) if status else None
    if question and not _confirmed(question, args.yes):
        print("nothing was changed", file=sys.stderr)
        return 1
    try:
        act(store, config, args.name, args.action, f"command line: {_user()}",
            " ".join(args.why))
    except ActionError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    if args.action == "forget":
        print(f"forgot {args.name}")
        return 0
    _print([s for s in statuses(store, config) if s.name == args.name], args.json)
    return 0
