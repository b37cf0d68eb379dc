"""The pages people see: the error and crash page, notices, and error pages.

Everything taken from a query is shown only through Jinja's autoescaping.
"""

import logging

from flask import Blueprint, current_app, render_template, request
from werkzeug.exceptions import HTTPException

from ..clients import request_client_key, request_id
from .codes import explain
from .events import build_event
from .records import record_event
from ..db import StoreError
from ..throttle import LogThrottle

log = logging.getLogger("quillo_service")

bp = Blueprint("pages", __name__)

_over_limit = LogThrottle(interval=60.0)
_store_errors = LogThrottle(interval=10.0)

# Pages hold the bundle key in their address: keep it out of referrers, and
# allow nothing but the page's own inline style.
_PAGE_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; style-src 'unsafe-inline'; "
                               "base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
    "Referrer-Policy": "no-referrer",
    "X-Content-Type-Options": "nosniff",
    "Cache-Control": "no-store",
}


def _page(html, status=200):
    return html, status, {"Content-Type": "text/html; charset=utf-8", **_PAGE_HEADERS}


def _common(config):
    support = config.support
    support_link = None
    if support and "@" in support and ":" not in support and " " not in support:
        support_link = "mailto:" + support
    elif support and support.startswith(("https://", "http://")):
        support_link = support
    return {"full_installer": config.full_installer, "support": support,
            "support_link": support_link}


@bp.route("/error/", methods=["GET"])
def error_page():
    state = current_app.extensions["quillo"]
    config = state.watcher.current()
    event = build_event(request.query_string, request_client_key(request.environ),
                        state.clock(), request_id(request.environ), state.secret)
    recorded = False
    try:
        recorded = record_event(state.store, event, config.events_per_minute)
        if not recorded and _over_limit.allow(event["client"]) is not None:
            log.warning("error events from %s over %d a minute are not recorded",
                        event["client"], config.events_per_minute)
    except StoreError as e:
        held = _store_errors.allow()
        if held is not None:
            log.error("error event not recorded (%d more since the last report): %s", held, e)
    crash = event["kind"] == "crash"
    explanation = explain(event["code_number"], crash=crash)
    return _page(render_template(
        "error.html", event=event, crash=crash, explanation=explanation, recorded=recorded,
        **_common(config)))


NOTICES = {
    "maintenance": ("Setup is paused for maintenance",
                    "Our servers are being updated. Please run setup again in a little while."),
    "update": ("This setup program is out of date",
               "Please download the current setup program and run it instead."),
}


@bp.route("/notice/<name>", methods=["GET"])
def notice(name):
    # Only the fixed notices exist; the name picks one, nothing from it is shown.
    if name not in NOTICES:
        return problem_page(404)
    config = current_app.extensions["quillo"].watcher.current()
    title, text = NOTICES[name]
    return _page(render_template("notice.html", title=title, text=text, **_common(config)))


_PROBLEMS = {
    400: "The request was not understood.",
    404: "There is no page at this address.",
    405: "This address does not take that kind of request.",
    413: "The request was too large.",
    500: "Something went wrong on our side. Please try again later.",
}


def problem_page(status):
    status = status if status in _PROBLEMS else 500
    return _page(render_template("problem.html", status=status, text=_PROBLEMS[status]), status)


def register_error_handlers(app):
    """Short pages for every failure; no trace or setting ever reaches a client."""

    @app.errorhandler(HTTPException)
    def http_problem(e):
        return problem_page(e.code if e.code in _PROBLEMS else 400 if e.code < 500 else 500)

    @app.errorhandler(Exception)
    def unexpected(e):
        log.exception("unexpected failure on %s", request.path[:200])
        return problem_page(500)
