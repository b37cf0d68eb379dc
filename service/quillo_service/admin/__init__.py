"""The publisher's dashboard at /admin/: how the installs go.

Every path under /admin/ needs the credentials of a console user: the
configuration's [admin] table, or a user of the store (HTTP Basic; nginx
provides the TLS; auth.py).  A read-only user sees every page and changes
nothing: each form that changes something refuses such a user.  Each view
covers a period (last 24 h, 7 or 30 days, or given UTC dates) and can be
narrowed to a key, a key prefix and a launcher version.  Every table also
downloads as CSV.  All that the store holds is shown through Jinja's
autoescaping, and the charts escape their texts themselves (charts.py).
"""

import csv
import io
import logging
import re
import shlex
from contextlib import contextmanager

from flask import Blueprint, Response, current_app, redirect, render_template, request, url_for
from markupsafe import escape

from ..banners.queries import acknowledge
from ..rollouts import changes as rollouts
from ..dashboard.queries import Dashboard
from ..rollouts.queries import RolloutQueries
from ..db import StoreError
from ..funnel.queries import FunnelCounts
from ..shorten import CELL_CHARS, middle
from . import auth, views
from .users import Users
from ..periods import parse_filters, parse_period, period_query, shown_dates, time_text

log = logging.getLogger("quillo_service")

bp = Blueprint("admin", __name__, url_prefix="/admin")
bp.add_app_template_filter(middle, "middle_cut")  # long keys in the tables
bp.add_app_template_global(CELL_CHARS, "cell_chars")

_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; style-src 'unsafe-inline'; "
                               "img-src 'self' data:; form-action 'self'; base-uri 'none'; "
                               "frame-ancestors 'none'",
    "Referrer-Policy": "no-referrer",
    "X-Content-Type-Options": "nosniff",
    "Cache-Control": "no-store",
}


def _refuse(status, text):
    headers = dict(_HEADERS)
    if status == 401:
        headers["WWW-Authenticate"] = 'Basic realm="Quillo dashboard", charset="UTF-8"'
    if status == 429:
        headers["Retry-After"] = "60"
    return Response(f"<!doctype html><title>{status}</title><p>{escape(text)}</p>", status,
                    headers=headers, content_type="text/html; charset=utf-8")


@bp.before_request
def require_credentials():
    state = current_app.extensions["quillo"]
    config = state.watcher.current()
    try:
        verdict = auth.check(request.environ, config.admin, state.store, state.clock())
    except StoreError as e:
        log.error("dashboard: cannot check credentials: %s", e)
        return _refuse(503, "The dashboard's store is not available.")
    if verdict == "ok":
        return None
    if verdict == "limited":
        log.warning("dashboard: too many wrong passwords from %s",
                    auth.request_client_key(request.environ))
        return _refuse(429, "Too many wrong passwords; wait a minute.")
    try:
        nobody = config.admin is None and not Users(state.store).any()
    except StoreError as e:
        log.error("dashboard: cannot read its users: %s", e)
        return _refuse(503, "The dashboard's store is not available.")
    if nobody:
        return _refuse(401, "No one can open the console yet: make a user with scripts/quillo "
                            f"users {shlex.quote(state.watcher.path)} add NAME")
    return _refuse(401, "This page needs the name and password of a console user. A publisher "
                        "adds one with scripts/quillo users FILE add NAME (FILE: the service's "
                        "configuration), or --read-only for one who may only look.")


def safe_cell(value):
    """A CSV cell that a spreadsheet will not take for a formula."""
    if value is None:
        return ""
    if hasattr(value, "csv"):  # a cell that reads differently on the page (tables.py)
        return value.csv
    if isinstance(value, str) and value[:1] in ("=", "+", "-", "@", "\t", "\r"):
        return "'" + value
    return value


def csv_response(view, table, period):
    """The table as a CSV file, named after the view, the table and the
    days of the period (quillo-rates-campaigns-2026-12-02-to-2026-12-08.csv)."""
    out = io.StringIO()
    w = csv.writer(out, lineterminator="\r\n")
    w.writerow(table.columns)
    for row in table.rows:
        w.writerow([safe_cell(v) for v in row])
    first, last = shown_dates(period)
    name = f"quillo-{view}-{table.name}-{first}-to-{last}.csv"
    return Response(out.getvalue(), 200, headers={
        **_HEADERS, "Content-Disposition": f'attachment; filename="{name}"'},
        content_type="text/csv; charset=utf-8")


@contextmanager
def _reading(store):
    """A page's reads: the dashboard's and the funnel's rollups caught up
    first, then one snapshot."""
    Dashboard(store).catch_up()
    FunnelCounts(store).catch_up()
    with store.snapshot():
        yield


@bp.route("/")
def overview():
    return show("installs")


@bp.route("/<view>")
def show(view):
    return _render(view)


def _render(view, status=200, **extra):
    """The page of `view` for this request, with `extra` for its template
    (the Rollouts page's confirmation or refusal), answered with `status`."""
    if view not in views.VIEWS:
        return _refuse(404, "There is no such view.")
    state = current_app.extensions["quillo"]
    config = state.watcher.current()
    now = state.clock()
    period, problem = parse_period(request.args, now)
    filters = parse_filters(request.args)
    try:
        with _reading(state.store):
            page = views.VIEWS[view].build(state.store, config, period, filters, now)
            banners = views.banners.read(state.store, config, state.watcher.live())
    except StoreError as e:
        log.error("dashboard: %s", e)
        return _refuse(503, "The dashboard's store is not available.")
    wanted = request.args.get("csv")
    if wanted is not None:
        for table in page.every_table():
            if table.name == wanted:
                return csv_response(view, table, period)
        return _refuse(404, "There is no such table.")
    # The query without csv=, for the CSV links and the navigation: the
    # period shown (typed dates make it custom) and the filters.
    keep = {**{k: v for k, v in request.args.items() if k in ("key", "match", "version")},
            **period_query(period)}
    html = render_template("admin/view.html", page=page, view=view, period=period,
                           filters=filters, problem=problem, args=request.args,
                           shown=shown_dates(period),
                           done=request.args.get("done", "")[:200],
                           **around(now, banners, keep, None if request.method == "GET"
                                    else url_for("admin.show", view=view)),
                           **extra)
    return html_response(html, status)


def query_of(args):
    """The period and filters of the query as given, for the links and the
    menu of a page without the period form (an event, a list)."""
    return {k: v for k, v in args.items()
            if k in ("period", "from", "to", "key", "match", "version")}


def around(now, banners, keep, back=None):
    """What every console page shows around its own content: the menu, the
    banners with their forms, and the search box (the header's partials).
    `back` is where a banner's form returns to: the page itself, unless it
    answers a form (then the view's plain address)."""
    return dict(views=views.VIEWS, banners=banners, anchor=views.rule_anchor, keep=keep,
                generated=time_text(now), can_ack=not auth.read_only(request.environ),
                back=back or request.full_path.rstrip("?"),
                token=auth.form_token(request.environ, now),
                user=auth.user_name(request.environ),
                read_only=auth.read_only(request.environ))


def html_response(html, status=200):
    return Response(html, status, headers=_HEADERS, content_type="text/html; charset=utf-8")


@bp.route("/rollouts/act", methods=["POST"])
def rollout_action():
    """Halt, resume, advance or forget a rollout from the Rollouts page's
    cards.  An action that widens a release (changes.widening says which)
    first comes back as the page with a confirmation of what it changes; a
    refused one as the page with the reason on the rule's card."""
    state = current_app.extensions["quillo"]
    config = state.watcher.current()
    now = state.clock()
    user = auth.user_name(request.environ)
    form = request.form
    name, action = form.get("rule", "")[:64], form.get("action", "")[:16]
    why = form.get("why", "")[:500]

    def refused(status, text):
        return _render("rollouts", status, refused={"rule": name, "text": text[:500]})
    try:
        if auth.read_only(request.environ):
            log.warning("rollouts: a %s of %r by the read-only user %s was refused", action,
                        name, user)
            RolloutQueries(state.store).refused(now, name, f"console: {user}", f"{action} refused",
                                                "the user is read-only")
            return refused(403, f"Your user, {user}, is read-only: it may look at everything "
                                "but change nothing.")
        if not auth.form_token_ok(request.environ, form.get("token"), now):
            log.warning("rollouts: a %s of %r by %s without a valid form token was refused",
                        action, name, user)
            RolloutQueries(state.store).refused(now, name, f"console: {user}", f"{action} refused",
                                                "the form's token was missing, wrong or expired")
            return refused(403, "The form's token was missing, wrong or expired: nothing was "
                                "changed. Use the form on this page again.")
        if not why.strip():
            log.info("rollouts: a %s of %r by %s without a why changed nothing", action, name,
                     user)
            return refused(400, f"Say why you {action} {name}: the reason goes into the "
                                "history. Nothing was changed.")
        version = form.get("version", "")
        confirmed = form.get("confirm") == "yes" and version.isascii() and version.isdigit() \
            and len(version) <= 18
        if not confirmed:
            text, version = rollouts.preview(state.store, config, name, action, now)
            if text is not None:
                return _render("rollouts", 200, pending={
                    "rule": name, "action": action, "text": text, "why": why,
                    "version": version})
        rollouts.act(state.store, config, name, action, f"console: {user}", why,
                     version=int(version) if confirmed else None)
    except rollouts.ActionError as e:
        return refused(409, f"{e}. Nothing was changed.")
    except StoreError as e:
        log.error("rollouts: %s", e)
        return _refuse(503, "The store is not available; nothing was changed.")
    state.live.refresh_soon()
    return redirect(url_for("admin.show", view="rollouts", done=f"{action}: {name}",
                            _anchor=views.rule_anchor(name)), 303)


@bp.route("/banners/ack", methods=["POST"])
def acknowledge_banner():
    """A halt's banner acknowledged: it shrinks to one line on every page
    until the rule's state changes."""
    state = current_app.extensions["quillo"]
    now = state.clock()
    user = auth.user_name(request.environ)
    form = request.form
    # Back to the page the button was on: a path of the console, nothing else.
    back = form.get("back", "")[:2000]
    if not re.fullmatch(r"/admin/[\x21-\x7e]*", back):
        back = url_for("admin.overview")
    if auth.read_only(request.environ):
        return _refuse(403, "This user may only look; acknowledging a banner is for the "
                            "others.")
    if not auth.form_token_ok(request.environ, form.get("token"), now):
        return _refuse(403, "The form's token was missing, wrong or expired: open the page "
                            "again and use its button.")
    rule, version = form.get("rule", "")[:64], form.get("version", "")
    if not rule or not version.isascii() or not version.isdigit() or len(version) > 18:
        return _refuse(400, "Which banner was acknowledged is missing.")
    try:
        acknowledge(state.store, rule, int(version), user, now)
    except StoreError as e:
        log.error("banners: %s", e)
        return _refuse(503, "The store is not available; nothing was changed.")
    return redirect(back, 303)


@bp.route("/<path:rest>")
def elsewhere(rest):
    # Reached only with good credentials: everything under /admin/ is behind them.
    return _refuse(404, "There is no such page.")


from . import lookup  # noqa: E402,F401  (its pages: the search box's event and the lists)
