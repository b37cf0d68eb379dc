"""The instruction nginx gives when the service cannot, and the record of each one.

Whenever gunicorn is down, restarting, too slow, or the client is over nginx's
per-address limit, nginx answers /getinstaller itself with the file
`answer.txt` of the fallback folder: the default answer, or the maintenance
answer while maintenance is on.  The service writes that file at start and
after every configuration load, atomically (a new file renamed over the old),
so nginx never serves half an answer.

nginx logs each such answer to `fallback.log` in the same folder, one line
per answer:

    1765200000.123 203.0.113.7 5f0c...e1 502 GET /getinstaller?key=...&id=... HTTP/1.1

(nginx's $msec, $remote_addr, $request_id, $upstream_status and $request;
bytes that are not printable ASCII, and the quote and backslash, come escaped
as \\xHH; lines written before the id and status were logged lack both).  The
service reads the log into `requests` with the rule "fallback", the address
turned into its key (clients.py) on the way, so that the store never holds it:
each worker does so at start and
every few seconds (background.py), and a position kept in the store (the file's identity and
the byte after the last line taken, moved in the same transaction as the rows)
makes every line count exactly once, across workers, restarts and log
rotation.  A line that cannot be read is counted in the store and skipped.
The answer recorded is the fallback answer when the line is read, which is
the one nginx gave unless the configuration changed in between.

A request that reached gunicorn may already be recorded: a worker killed, or
failing, after its insert, here or on another host the front tried first.
nginx passes its request id (or the front's) to the service in X-Request-Id,
the service keeps it with the request, and a logged answer is recorded under
the rule every request is (Store.fresh_requests): not when its id was
recorded within the window, by any host.
"""

import os
import re
import threading

from . import logs
from .positions import take_rows
from ..clients import client_key
from ..launcher.query import INSTRUCTION_LIMITS, parse_query
from ..launcher.rules import decide

ANSWER = "answer.txt"
LOG = "fallback.log"
RULE = "fallback"

_LINE = re.compile(rb"(\d{1,12}(?:\.\d{1,6})?) (\S{1,64}) (?:([0-9a-f]{32}) (\S{1,64}) )?"
                   rb"(?:GET|HEAD) /getinstaller"
                   rb"(?:\?(.*?))?(?: HTTP/\d\.\d)?")
_ESCAPE = re.compile(rb"\\x([0-9A-Fa-f]{2})")


def fallback_answer(config):
    """What a launcher gets when the service cannot decide for it."""
    return config.maintenance_answer if config.maintenance else config.default_answer


def write_answer(folder, config):
    """Write the fallback answer for nginx: exactly the instruction, ASCII,
    no line end; a reader sees the old file or the new one, never a part."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, ANSWER)
    temp = "%s.%d.%d.tmp" % (path, os.getpid(), threading.get_ident())
    with open(temp, "wb") as f:
        f.write(fallback_answer(config).encode("ascii"))
    os.chmod(temp, 0o644)  # nginx's workers run as another user
    os.replace(temp, path)


def parse_line(line):
    """(time, client, query bytes, request id, upstream status) from one log
    line (without its line end), or None when the line is not one of ours.
    Id and status are None in lines of the older format; the status is "-"
    when nginx answered without asking gunicorn (the per-address limit)."""
    m = _LINE.fullmatch(line)
    if m is None:
        return None
    query = _ESCAPE.sub(lambda e: bytes([int(e.group(1), 16)]), m.group(5) or b"")
    request_id, upstream = (None if g is None else g.decode("ascii") for g in m.group(3, 4))
    return float(m.group(1)), m.group(2).decode("ascii", "replace"), query, request_id, upstream


def position_name(log_path):
    """The name under which the store keeps how far this log was read."""
    return logs.position_name("fallback", log_path)


class Ingester(logs.Ingester):
    """Takes the lines of one fallback log into `requests`."""

    kind = "fallback"

    def __init__(self, store, log_path, config, secret=None, **kwargs):
        super().__init__(store, log_path, **kwargs)
        # nginx logs the address; only its key (client_key) is stored.
        self.secret = store.client_secret if secret is None else secret
        self.config = config  # a callable giving the current configuration

    def rows(self, lines):
        rows, bad = [], 0
        config = self.config()
        for line in lines:
            parsed = parse_line(line)
            if parsed is None:
                bad += 1
                continue
            rows.append(self._row(config, *parsed[:4]))
        return rows, bad

    def _row(self, config, at, client, query, request_id):
        q = parse_query(query, INSTRUCTION_LIMITS)
        v = q.values
        d = decide(config, v.get("key"), v.get("version"), v.get("id"), q.malformed | q.cut)
        return (at, client_key(client, self.secret), v.get("key"), v.get("version"), v.get("id"),
                fallback_answer(config), RULE, ",".join(sorted(d.malformed)),
                ",".join(sorted(q.cut)), request_id, None)  # nginx's answer: in no arm

    def write(self, expected, new, rows, skipped):
        return take_rows(self.store, self.name, expected, new, "requests", rows, skipped)
