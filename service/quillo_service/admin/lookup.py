"""The console's lookups: from a support reference to its event, and from a
table's cell to the events or requests it counts (reports/lookup.py reads the
rows, lookup_words.py says them in plain words).

    GET /admin/find?reference=REF   303 to /admin/event/REF (the search box)
    GET /admin/event/REF            the event, the request it belongs to, and
                                    the other events of its client and key
    GET /admin/events               the period's events: ?code=N, ?group=G, the
                                    filters (key, match, version); 50 a page,
                                    newest first, ?before=ID / ?after=ID
    GET /admin/requests             the period's requests: ?rule=NAME, the
                                    filters; paged the same way
"""

import re

from flask import current_app, redirect, render_template, request, url_for

from ..db import StoreError
from ..dashboard.views import EXCEPTIONS, code_meaning
from .. import links
from ..reports.lookup import PAGE, Lookup
from ..periods import parse_filters, parse_period
from ..reports.events import normal_reference
from . import _refuse, around, bp, html_response, log, query_of, views
from . import lookup_words as words

_NO_STORE = "The dashboard's store is not available."


def _state():
    state = current_app.extensions["quillo"]
    return state, state.watcher.current(), state.clock()


def _banners(state, config):
    return views.banners.read(state.store, config, state.watcher.live())


def _not_found(typed, status, now, banners):
    """The page of a reference that is no event's, or no reference at all."""
    reference = normal_reference(typed)
    html = render_template("admin/missing.html", typed=typed[:64], reference=reference,
                           **around(now, banners, query_of(request.args)))
    return html_response(html, status)


@bp.route("/find")
def find():
    typed = request.args.get("reference", "")
    reference = normal_reference(typed)
    if reference is None:
        state, config, now = _state()
        try:
            banners = _banners(state, config)
        except StoreError as e:
            log.error("dashboard: %s", e)
            return _refuse(503, _NO_STORE)
        return _not_found(typed, 400, now, banners)
    return redirect(url_for("admin.event", reference=reference), 303)


@bp.route("/event/<reference>")
def event(reference):
    normal = normal_reference(reference)
    if normal is not None and normal != reference:
        return redirect(url_for("admin.event", reference=normal), 303)
    state, config, now = _state()
    found = belongs = None
    others = []
    try:
        with state.store.snapshot():
            banners = _banners(state, config)
            if normal is not None:
                look = Lookup(state.store)
                found = look.event(normal)
                if found is not None:
                    belongs = look.request_of(found)
                    others = look.neighbours(found)
    except StoreError as e:
        log.error("dashboard: %s", e)
        return _refuse(503, _NO_STORE)
    if found is None:
        return _not_found(reference, 404 if normal else 400, now, banners)
    html = render_template(
        "admin/event.html", event=found, facts=words.event_facts(found),
        request_facts=belongs and words.request_facts(found, belongs, config),
        no_request=None if belongs else words.no_request(found), join_rule=words.JOIN_RULE,
        others=[words.event_row(e) for e in others], columns=words.EVENT_COLUMNS,
        limit=len(others), reference=normal, **around(now, banners, query_of(request.args)))
    return html_response(html)


def _cursor(name):
    """?before= or ?after=: an id, or None; ValueError when it is not one."""
    text = request.args.get(name)
    if text is None:
        return None
    if not (text.isascii() and text.isdigit() and len(text) <= 18):
        raise ValueError(f"{name} must be a record's id")
    return int(text)


def _list(kind, title, note, **criteria):
    """A list page of events or requests (kind "event" or "request") that
    meet `criteria` (Lookup.events' or .requests'), in the query's period."""
    state, config, now = _state()
    period, problem = parse_period(request.args, now)
    filters = parse_filters(request.args)
    try:
        before, after = _cursor("before"), _cursor("after")
    except ValueError as e:
        return _refuse(400, str(e))
    try:
        with state.store.snapshot():
            banners = _banners(state, config)
            read = getattr(Lookup(state.store), kind + "s")
            found = read(period, filters, before=before, after=after, **criteria)
    except StoreError as e:
        log.error("dashboard: %s", e)
        return _refuse(503, _NO_STORE)
    here = {k: v for k, v in request.args.items() if k not in ("before", "after")}

    def page(**cursor):
        return url_for(f"admin.{kind}_list", **here, **cursor)
    rows = ([words.event_row(e) for e in found.rows] if kind == "event" else
            [words.request_row(r, config) for r in found.rows])
    html = render_template(
        "admin/list.html", title=title, note=note, period=period, problem=problem,
        filters=filters, columns=words.EVENT_COLUMNS if kind == "event" else
        words.REQUEST_COLUMNS, rows=rows, size=PAGE, first=before is None and after is None,
        older=found.older and page(before=found.older),
        newer=found.newer and page(after=found.newer),
        **around(now, banners, query_of(request.args)))
    return html_response(html)


_CODE_RE = re.compile(r"-?[0-9]{1,10}\Z")


@bp.route("/events")
def event_list():
    code, group = request.args.get("code"), request.args.get("group")
    if group is not None:
        parsed = links.parse_group(group)
        if parsed is None:
            return _refuse(400, "That is not a crash group.")
        exception = EXCEPTIONS.get(parsed.exception, "")
        title = (f"Crash reports of the group {links.module_text(parsed.module)}"
                 + ("" if parsed.offset is None else f" + 0x{parsed.offset:X}")
                 + ("" if parsed.exception is None else f", exception 0x{parsed.exception:08X}")
                 + (f" ({exception})" if exception else ""))
        note = "A crash report carries no key and no version, so those filters do not apply."
        return _list("event", title, note, group=parsed)
    if code is not None:
        if not _CODE_RE.match(code) or not -2 ** 31 <= int(code) < 2 ** 31:
            return _refuse(400, "That is not a failure code.")
        n = int(code)
        return _list("event", f"Error reports of code {n}: {code_meaning(n)[0]}", "", code=n)
    return _list("event", "Error and crash reports", "")


@bp.route("/requests")
def request_list():
    rule = request.args.get("rule")
    if rule is not None and not 0 < len(rule) <= 200:
        return _refuse(400, "That is not a rule's name.")
    title = f"Instruction requests answered by the rule {rule}" if rule else \
        "Instruction requests"
    return _list("request", title, "", rule=rule)
