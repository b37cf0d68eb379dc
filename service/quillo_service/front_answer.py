"""The answer the front gives /getinstaller itself when no host can.

The front's nginx serves the file answer.txt of its own folder, the same
file a host's nginx serves when its gunicorn cannot answer, written by the
same code (ingest/fallback.py: the default answer, or the maintenance
answer while maintenance is on; exactly the instruction, no line end, a new
file renamed over the old).  `keep` runs beside the front's nginx, on the
front's machine, and follows the configuration file itself, as every host
does: the front's answer then changes with the configuration even while
every host is down, which is when turning maintenance on matters most, and
nginx needs no reload for it.
"""

import json
import sys
import time

from .config import ConfigWatcher
from .ingest.fallback import ANSWER, fallback_answer, write_answer
from .periods import iso_time


def keep(path, folder, stop, interval=1.0, once=False, json_out=False, out=sys.stdout):
    """Write the answer for the configuration at `path` into `folder`, and
    again whenever the answer changes, until the event `stop` is set (once:
    write it and return).  A file that does not load at the start raises
    ConfigError; a later broken edit keeps the last good answer (the
    watcher logs why)."""
    watcher = ConfigWatcher(path, interval=interval)
    written = None
    while True:
        config = watcher.current()
        answer = fallback_answer(config)
        if answer != written:
            write_answer(folder, config)
            written = answer
            _tell(out, json_out, answer, folder, watcher.path)
        if once or stop.wait(interval):
            return


def _tell(out, json_out, answer, folder, path):
    now = time.time()
    if json_out:
        line = json.dumps({"time": iso_time(now), "answer": answer,
                           "file": "%s/%s" % (folder.rstrip("/"), ANSWER), "config": path})
    else:
        line = "%s front answer %s written to %s/%s (from %s)" % (
            iso_time(now), answer, folder.rstrip("/"), ANSWER, path)
    print(line, file=out, flush=True)
