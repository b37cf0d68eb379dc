"""GET /getinstaller: tells the launcher what to download or which page to show.

The body is exactly the instruction, ASCII and without a line end, because the
launcher takes everything after "GET:" or "GOTO:" as the address.  Whatever
the query holds, the answer is a valid instruction: a launcher cannot do
anything better with an error.
"""

import logging

from flask import Blueprint, Response, current_app, request

from .client import client_address
from .query import parse_query
from .rules import decide
from .store import StoreError

log = logging.getLogger("quillo_service")

bp = Blueprint("instructions", __name__)

# Byte bounds of the fields; the launcher's key is at most 1023 bytes.
LIMITS = {"key": 1023, "version": 64, "id": 64}


def _answer(body):
    response = Response(body.encode("ascii"), 200, content_type="text/plain")
    response.headers["Cache-Control"] = "no-store"
    return response


@bp.route("/getinstaller", methods=["GET"])
def getinstaller():
    state = current_app.extensions["quillo"]
    config = state.watcher.current()
    try:
        q = parse_query(request.query_string, LIMITS)
        values = q.values
        decision = decide(config, values.get("key"), values.get("version"), values.get("id"),
                          q.malformed | q.cut)
    except Exception:
        log.exception("instruction request failed; giving the default answer")
        return _answer(config.default_answer)
    try:
        state.store.record_request(
            state.clock(), client_address(request.environ), values.get("key"),
            values.get("version"), values.get("id"), decision.answer, decision.rule,
            ",".join(sorted(decision.malformed)), ",".join(sorted(q.cut)))
    except StoreError as e:
        # The launcher still gets its answer; the lost record is logged.
        log.error("instruction request not recorded: %s", e)
    return _answer(decision.answer)
