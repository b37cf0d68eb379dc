"""GET /healthz and GET /readyz: what a balancer or a monitor asks a host.

/healthz: the process answers (200, "ok").  /readyz: this process has a
configuration and can give instructions with it (200), or not (503).  Its
body also names the store's state and the configuration's, for people, but
neither makes it fail: a host whose store is down still answers every
launcher and spools the requests, and a readiness tied to the one shared
store would take every host out of the balancer at the same moment.

Both are cheap and never wait on the store: the store's state is what this
process's heartbeat (background.py) last learnt, and the spool's size.
Neither is recorded.
"""

import time

from flask import Blueprint, Response, current_app

from .ingest.fallback import fallback_answer
from .launcher.rules import decide

bp = Blueprint("health", __name__)

# A heartbeat waiting longer than this on the store counts as the store
# not answering (the heartbeat itself waits at most the store's own bounds).
BEAT_PATIENCE = 3.0

HEADERS = (("Content-Type", "text/plain"), ("Cache-Control", "no-store"))


def store_state(last_beat, waiting_since, spooled, now):
    """The store's state as this process knows it, in words: "up", "down,
    requests are spooled" or "not known yet".  last_beat: (ok, when) of the
    last heartbeat or None; waiting_since: since when a heartbeat has been
    waiting, or None; spooled: the requests in this host's spool; now and
    the times: time.monotonic()."""
    if waiting_since is not None and now - waiting_since > BEAT_PATIENCE:
        state = "down, requests are spooled"
    elif last_beat is None:
        state = "not known yet" if not spooled else "down, requests are spooled"
    elif not last_beat[0]:
        state = "down, requests are spooled"
    else:
        state = "up"
    if spooled:
        state += " (%d requests or reports in this host's spool, written in once it takes them)" \
            % spooled
    return state


def readiness(config, store, live=None):
    """(status, body lines) of /readyz: 200 when an instruction can be given
    with `config` (the default or maintenance answer, and a decision through
    the rules), else 503.  store: store_state's words; live: the watcher's
    Live, whose error names an edit that did not load (the last good
    configuration is still served)."""
    try:
        answer = fallback_answer(config)
        decided = decide(config, None, None, None).answer
        ok = all(a.startswith(("GET:", "GOTO:")) and a.isascii() for a in (answer, decided))
    except Exception:
        ok, answer = False, None
    given = ("%s to every launcher: maintenance" if config is not None and config.maintenance
             else "%s by default") % answer
    lines = ["ready: instructions are given (%s)" % given if ok
             else "not ready: no configuration to give instructions with",
             "store: %s" % store]
    if live is not None and live.error:
        lines.append("configuration: the last edit did not load (%s); the last good one is "
                     "served" % live.error)
    return (200 if ok else 503), lines


def _answer(status, lines):
    return Response("\n".join(lines) + "\n", status, headers=list(HEADERS))


@bp.route("/healthz", methods=["GET"])
def healthz():
    return _answer(200, ["ok"])


@bp.route("/readyz", methods=["GET"])
def readyz():
    state = current_app.extensions["quillo"]
    try:
        config, live = state.watcher.current(), state.watcher.live()
    except Exception:
        config, live = None, None
    scheduler = state.scheduler
    try:
        spooled = state.store.spooled()
    except OSError:
        spooled = 0
    if scheduler is None or not scheduler.folder:
        words = "not watched by this process (it keeps no heartbeat: no fallback folder)"
    else:
        words = store_state(scheduler.last_beat, scheduler.beat_waiting_since, spooled,
                            time.monotonic())
    return _answer(*readiness(config, words, live))
