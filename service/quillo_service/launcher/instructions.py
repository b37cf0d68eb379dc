"""GET /getinstaller: tells the launcher what to download or which page to show.

The body is exactly the instruction, ASCII and without a line end, because the
launcher takes everything after "GET:" or "GOTO:" as the address.  Whatever
the query holds, the answer is a valid instruction: a launcher cannot do
anything better with an error.

Every launcher run asks once, so this is the service's busiest path.  Plain
GET requests are answered by `FastPath`, a thin WSGI layer in front of Flask
that skips Flask's request context (most of the cost of a request); the
blueprint serves what it lets through (HEAD).  Both answer through `instruct`.
"""

import logging

from flask import Blueprint, Response, current_app, request

from ..clients import (ENVIRON_KEY, request_client_key, client_key, request_id,
                       resolve_client)
from . import arms
from .query import INSTRUCTION_LIMITS, parse_query
from .rules import decide
from ..db import StoreError
from ..throttle import LogThrottle

log = logging.getLogger("quillo_service")

bp = Blueprint("instructions", __name__)

PATH = "/getinstaller"

HEADERS = (("Content-Type", "text/plain"), ("Cache-Control", "no-store"))

_store_errors = LogThrottle(interval=10.0)


def instruct(state, query_string, environ):
    """Decide, record (with the rollouts' arms it was answered in), and
    return the response body (ASCII bytes)."""
    config = state.watcher.current()
    try:
        q = parse_query(query_string, INSTRUCTION_LIMITS)
        values = q.values
        decision = decide(config, values.get("key"), values.get("version"), values.get("id"),
                          q.malformed | q.cut, state.live.shares(config))
    except Exception:
        log.exception("instruction request failed; giving the default answer")
        return config.default_answer.encode("ascii")
    try:
        # None: the database's clock stamps the record, the one clock that
        # every host sharing the database agrees on.
        state.store.record_request(
            None, request_client_key(environ), values.get("key"),
            values.get("version"), values.get("id"), decision.answer, decision.rule,
            ",".join(sorted(decision.malformed)), ",".join(sorted(q.cut)),
            request_id(environ), arms.encode(decision.arms))
    except StoreError as e:
        # The launcher still gets its answer; the lost record is logged.
        held = _store_errors.allow()
        if held is not None:
            log.error("instruction request not recorded (%d more since the last report): %s",
                      held, e)
    return decision.answer.encode("ascii")


@bp.route(PATH, methods=["GET"])
def getinstaller():
    body = instruct(current_app.extensions["quillo"], request.query_string, request.environ)
    return Response(body, 200, headers=list(HEADERS))


class FastPath:
    """WSGI middleware answering GET /getinstaller without Flask's machinery.

    It sits in front of every request, so it is also where the client's
    address is worked out, and turned into the key it is stored and limited
    under, once for all views: nothing after this sees the address."""

    def __init__(self, app, state):
        self.app = app
        self.state = state

    def __call__(self, environ, start_response):
        environ[ENVIRON_KEY] = client_key(resolve_client(environ, self.state.proxies),
                                          self.state.secret)
        if environ.get("PATH_INFO") != PATH or environ.get("REQUEST_METHOD") != "GET":
            return self.app(environ, start_response)
        # WSGI hands the query over as latin-1 text: this gives back its bytes.
        query = environ.get("QUERY_STRING", "").encode("latin-1", "replace")
        try:
            body = instruct(self.state, query, environ)
        except Exception:
            log.exception("instruction request failed; giving the default answer")
            body = self.state.watcher.current().default_answer.encode("ascii")
        start_response("200 OK", [*HEADERS, ("Content-Length", str(len(body)))])
        return [body]
