"""The dashboard's views: each turns the dashboard's counts (queries.py)
into charts and tables, for the console to show (admin/views.py lists them)."""

from .. import charts
from ..reports.codes import CODES, GROUPS
from ..periods import day_text, time_text
from ..tables import OTHER_KEYS, Page, Table, answer_label, percent_of
from .queries import Dashboard


def _top(totals, keep):
    """The `keep` largest names, the rest folded into "other"."""
    names = sorted(totals, key=lambda k: (-totals[k], str(k)))
    return names[:keep], names[keep:]


def code_meaning(code):
    c = CODES.get(code)
    if c is None:
        return "(not a known code)", "unknown"
    return c.words, c.group


_WINDOWS = {"5.0": "2000", "5.1": "XP", "5.2": "XP x64 / Server 2003", "6.0": "Vista",
            "6.1": "7", "6.2": "8", "6.3": "8.1", "10.0": "10 or 11"}

_EXCEPTIONS = {0xC0000005: "access violation", 0xC00000FD: "stack overflow",
               0xC0000094: "integer divide by zero", 0xC000001D: "illegal instruction",
               0xC0000409: "stack buffer overrun", 0x80000003: "breakpoint",
               0xC0000374: "heap corruption", 0xC0000006: "in-page error",
               0xE06D7363: "C++ exception"}


def _stacked(period, per_day, names, rest, label):
    """Chart data: [(day text, {series: n})] and the series with colours."""
    series = [(label(n), charts.colour(i)) for i, n in enumerate(names)]
    if rest:
        series.append(("other", charts.OTHER_COLOUR))
    days = []
    for d in period.days:
        counts = {}
        for name, n in per_day.get(d, {}).items():
            key = label(name) if name in names else "other"
            counts[key] = counts.get(key, 0) + n
        days.append((day_text(d), counts))
    return days, series


def _hosts_note(db):
    """A notice naming each host not seen for a lease: what it had not
    brought in (its spool, its nginx logs) is missing from the counts until
    it is back, and its nginx may have logged more answers meanwhile."""
    notes = []
    for h in db.silent_hosts():
        pending = []
        if h["spooled"]:
            pending.append(f"{h['spooled']:,} requests in its spool")
        if h["unread_bytes"]:
            pending.append(f"{h['unread_bytes']:,} bytes of its nginx logs not read")
        said = f" (it then had {' and '.join(pending)})" if pending else ""
        notes.append(f"Host {h['name']} was last seen at {time_text(h['seen_at'])} UTC{said}: "
                     "its spool and nginx logs are read in when it is back, and the counts "
                     "here may lack them until then. (A host taken out for good: "
                     f"scripts/quillo hosts FILE forget {h['name']})")
    return notes


def _noting_hosts(build):
    """A view's build whose page opens with the notice of silent hosts."""
    def with_hosts(store, config, period, filters, now):
        page = build(store, config, period, filters, now)
        return page._replace(notes=_hosts_note(Dashboard(store)) + list(page.notes))
    return staticmethod(with_hosts)


class Installs:
    title = "Installs started"

    @_noting_hosts
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        counts = db.request_counts(period, filters, ("day", "answer"), now=now)
        per_day, totals = {}, {}
        for (day, answer), n in counts.items():
            label = answer_label(answer, config)
            per_day.setdefault(day, {})
            per_day[day][label] = per_day[day].get(label, 0) + n
            totals[label] = totals.get(label, 0) + n
        names, rest = _top(totals, 7)
        days, series = _stacked(period, per_day, names, rest, str)
        svg = charts.stacked_bars(days, series, "Instruction requests per day by answer")
        cols = ("day (UTC)", "requests") + tuple(s for s, _ in series)
        rows = [(label, sum(c.values())) + tuple(c.get(s, 0) for s, _ in series)
                for label, c in days]
        grand = sum(totals.values())
        mix = [(label, n, percent_of(n, grand)) for label, n in
               sorted(totals.items(), key=lambda kv: (-kv[1], kv[0]))]
        return Page(
            "Installs started: instruction requests per day and the answers given",
            [("Instruction requests per day, by answer", svg, [(c, s) for s, c in series])],
            [Table("per-day", "Requests per day", cols, rows),
             Table("answers", "Answer mix", ("answer", "requests", "share"), mix)],
            [f"{grand:,} instruction requests in the period. Each launcher run asks once."]
            + _lost_note(db))


def _lost_note(db):
    lost = db.lost_requests()
    if not lost:
        return []
    return [f"{lost:,} instruction requests were answered but could not be recorded, in "
            "the database or in its spool file, and are missing from these counts "
            "(since the database was created)."]


class Failures:
    title = "Failures by code"

    @_noting_hosts
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        per_day, totals = {}, {}
        for day, code, n in db.failures_by_day_and_code(period, filters):
            per_day.setdefault(day, {})
            per_day[day][code] = per_day[day].get(code, 0) + n
            totals[code] = totals.get(code, 0) + n
        names, rest = _top(totals, 8)

        def label(code):
            return "code ?" if code is None else f"code {code}"
        days, series = _stacked(period, per_day, names, rest, label)
        svg = charts.stacked_bars(days, series, "Failures per day by code")
        legend = [(c, s + (": " + code_meaning(n)[0] if n is not None else ": no code"))
                  for (s, c), n in zip(series, names)]
        if rest:
            legend.append((charts.OTHER_COLOUR, "other codes"))
        grand = sum(totals.values())
        by_code = []
        for code in sorted(totals, key=lambda k: (-totals[k], k if k is not None else -1)):
            words, group = code_meaning(code)
            by_code.append(("" if code is None else code, words, GROUPS[group].title,
                            totals[code], percent_of(totals[code], grand)))
        cols = ("day (UTC)", "failures") + tuple(s for s, _ in series)
        rows = [(label_, sum(c.values())) + tuple(c.get(s, 0) for s, _ in series)
                for label_, c in days]
        return Page(
            "Failures per day by code",
            [("Reported failures per day, stacked by code", svg, legend)],
            [Table("codes", "Failures by code", ("code", "meaning", "kind of trouble",
                                                  "failures", "share"), by_code),
             Table("per-day", "Failures per day", cols, rows)],
            [f"{grand:,} failures reported in the period (interactive runs only; "
             "crashes are under Crashes)."])


class Rates:
    title = "Failure rate per campaign"

    @_noting_hosts
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        requests = {k[0]: n for k, n in db.request_counts(
            period, filters, ("bundle_key",), now=now).items()}
        failures = dict(db.failures_by(period, filters, "bundle_key"))
        keys = sorted(set(requests) | set(failures),
                      key=lambda k: (-requests.get(k, 0), -failures.get(k, 0), k))[:500]
        rows = []
        for k in keys:
            r, f = requests.get(k, 0), failures.get(k, 0)
            rows.append((k or OTHER_KEYS, r, f, f"{100.0 * f / r:.2f} %" if r else "no requests"))
        top = [(k or OTHER_KEYS, requests.get(k, 0)) for k in keys[:15] if requests.get(k)]
        chart_rows = [(label, round(1000 * failures.get(k, 0) / n) / 10)
                      for (label, n), k in zip(top, [k for k in keys[:15] if requests.get(k)])]
        svg = charts.horizontal_bars(chart_rows, "Estimated failure rate, percent",
                                     unit=" %")
        return Page(
            "Failure rate per campaign key (an estimate)",
            [("Estimated failure rate of the 15 keys with the most requests, in percent",
              svg, [])],
            [Table("campaigns", "Failures against requests per key",
                   ("key", "requests", "failures reported", "failure rate (estimate)"), rows)],
            ["This is an estimate and a lower bound: only interactive runs report "
             "failures to the service; silent runs that fail report nothing.",
             "Up to 500 keys, most requests first; the rest, and keys that a launcher "
             "cannot have sent, are summed as \"other keys\"."])


class Systems:
    title = "By system and version"

    @_noting_hosts
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        by_os = db.failures_by(period, filters, "os")
        by_version = db.failures_by(period, filters, "version")
        requests = {k[0]: n for k, n in db.request_counts(
            period, filters, ("version",), now=now).items()}
        total_os = sum(n for _, n in by_os)
        os_rows = [(os, ("Windows " + _WINDOWS[os]) if os in _WINDOWS else "", n,
                    percent_of(n, total_os)) for os, n in by_os]
        ver_rows = []
        for v in sorted(set(requests) | {v for v, _ in by_version},
                        key=lambda v: (-dict(by_version).get(v, 0), -requests.get(v, 0), v)):
            f, r = dict(by_version).get(v, 0), requests.get(v, 0)
            ver_rows.append((v, r, f, f"{100.0 * f / r:.2f} %" if r else ""))
        return Page(
            "Failures by Windows version and by launcher version",
            [("Failures by Windows version",
              charts.horizontal_bars([(f"{os} {w}".strip(), n) for os, w, n, _ in os_rows[:15]],
                                     "Failures by Windows version"), []),
             ("Failures by launcher version",
              charts.horizontal_bars([(v, f) for v, _, f, _ in ver_rows[:15] if f],
                                     "Failures by launcher version"), [])],
            [Table("os", "Failures by Windows version",
                   ("Windows version", "name", "failures", "share"), os_rows),
             Table("versions", "Requests and failures by launcher version",
                   ("launcher version", "requests", "failures reported",
                    "failure rate (estimate)"), ver_rows)])


class Crashes:
    title = "Crashes"

    @_noting_hosts
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        rows = []
        for module, offset, code, n, first, last, sample in db.crash_groups(period):
            rows.append((
                "(no module)" if module == "" else "(unknown)" if module is None else module,
                "" if offset is None else f"0x{offset:X}",
                "" if code is None else f"0x{code:08X}",
                _EXCEPTIONS.get(code, ""), n, time_text(first), time_text(last), sample or ""))
        svg = charts.horizontal_bars(
            [(f"{m} +{o} {c}", n) for m, o, c, _, n, _, _, _ in rows[:10]],
            "Crashes by module, offset and exception")
        notes = ["A crash report carries no key and no version, so the key and version "
                 "filters do not apply here.",
                 "First and last seen are UTC. Up to 200 groups, most crashes first."]
        return Page(
            "Crash groups: module, offset within the module, exception code",
            [("The 10 largest crash groups", svg, [])],
            [Table("groups", "Crash groups",
                   ("module", "offset", "exception code", "exception", "crashes",
                    "first seen (UTC)", "last seen (UTC)", "sample message"), rows)], notes)


class Malformed:
    title = "Malformed requests"

    @_noting_hosts
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        counts = db.request_counts(period, filters, ("day", "malformed"),
                                   where=" AND malformed <> ''", now=now)
        per_day, totals = {}, {}
        for (day, fields), n in counts.items():
            per_day.setdefault(day, {})
            per_day[day][fields] = per_day[day].get(fields, 0) + n
            totals[fields] = totals.get(fields, 0) + n
        names, rest = _top(totals, 6)
        days, series = _stacked(period, per_day, names, rest, lambda f: f)
        svg = charts.stacked_bars(days, series, "Malformed requests per day")
        kinds = [(f, n) for f, n in sorted(totals.items(), key=lambda kv: (-kv[1], kv[0]))]
        samples = [(time_text(t), c, k, v, i, a, m, cut)
                   for t, c, k, v, i, a, m, cut in db.malformed_request_samples(period, filters)]
        ev_counts = db.malformed_event_counts(period, filters)
        ev_samples = [(time_text(r[0]),) + tuple(r[1:]) for r in
                      db.malformed_events(period, filters)]
        return Page(
            "Malformed requests and events: what was wrong with them",
            [("Malformed instruction requests per day, by the fields that were wrong", svg,
              [(c, s) for s, c in series])],
            [Table("request-fields", "Instruction requests by malformed fields",
                   ("malformed fields", "requests"), kinds),
             Table("requests", "The latest malformed instruction requests",
                   ("time (UTC)", "client key", "key", "version", "machine id", "answer given",
                    "malformed", "cut to length"), samples,
                   "The 100 latest, among the period's last million requests."),
             Table("event-fields", "Error and crash events by malformed fields",
                   ("malformed fields", "events"), [tuple(r) for r in ev_counts]),
             Table("events", "The latest malformed events",
                   ("time (UTC)", "client key", "kind", "source", "code", "message", "version",
                    "os", "key", "malformed", "cut to length"), ev_samples,
                   "The 100 latest.")],
            ["A field is malformed when it is missing, repeated, badly encoded or not in "
             "the launcher's form; \"cut\" fields were longer than their bound."])
