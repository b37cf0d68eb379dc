"""The dashboard's views: each turns the dashboard's counts (queries.py)
into charts and tables, for the console to show (admin/views.py lists them)."""

from .. import charts, joins
from ..funnel.outcomes import ASKED, FAILED, HOUR, UNLAID, of_requests
from ..funnel.queries import DIMS, FunnelCounts
from ..links import code_link, group_link, key_events_link
from ..reports.codes import CODES, GROUPS
from ..shorten import middle
from ..periods import bucket_unit, buckets, time_text
from ..tables import CLOCK_RULE, FAILURE_RULE, OTHER_KEYS, Page, Table, answer_label, percent_of
from .queries import Dashboard


def _top(totals, keep):
    """The `keep` largest names, the rest folded into "other"."""
    names = sorted(totals, key=lambda k: (-totals[k], str(k)))
    return names[:keep], names[keep:]


# A launcher version or Windows version that a report or request lacked, or
# that was folded away (the queries keep it as "").
UNKNOWN = "unknown"


def code_meaning(code):
    c = CODES.get(code)
    if c is None:
        return "(not a known code)", "unknown"
    return c.words, c.group


WINDOWS = {"5.0": "2000", "5.1": "XP", "5.2": "XP x64 / Server 2003", "6.0": "Vista",
           "6.1": "7", "6.2": "8", "6.3": "8.1", "10.0": "10 or 11"}

EXCEPTIONS = {0xC0000005: "access violation", 0xC00000FD: "stack overflow",
              0xC0000094: "integer divide by zero", 0xC000001D: "illegal instruction",
              0xC0000409: "stack buffer overrun", 0x80000003: "breakpoint",
              0xC0000374: "heap corruption", 0xC0000006: "in-page error",
              0xE06D7363: "C++ exception"}


def _stacked(period, per_day, names, rest, label):
    """Chart data: [(day or hour text, {series: n})] (periods.buckets) and
    the series with colours; per_day is by day or hour number, as the
    period's bucket_unit."""
    series = [(label(n), charts.colour(i)) for i, n in enumerate(names)]
    if rest:
        series.append(("other", charts.OTHER_COLOUR))
    days = []
    for d, text in buckets(period):
        counts = {}
        for name, n in per_day.get(d, {}).items():
            key = label(name) if name in names else "other"
            counts[key] = counts.get(key, 0) + n
        days.append((text, counts))
    return days, series


class Installs:
    title = "Installs started"

    @staticmethod
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        unit = bucket_unit(period)
        counts = db.request_counts(period, filters, (unit, "answer"), now=now)
        per_day, totals = {}, {}
        for (day, answer), n in counts.items():
            label = answer_label(answer, config)
            per_day.setdefault(day, {})
            per_day[day][label] = per_day[day].get(label, 0) + n
            totals[label] = totals.get(label, 0) + n
        names, rest = _top(totals, 7)
        days, series = _stacked(period, per_day, names, rest, str)
        svg = charts.stacked_bars(days, series, f"Instruction requests per {unit} by answer",
                                  unit=unit)
        cols = (f"{unit} (UTC)", "requests") + tuple(s for s, _ in series)
        rows = [(label, sum(c.values())) + tuple(c.get(s, 0) for s, _ in series)
                for label, c in days]
        grand = sum(totals.values())
        mix = [(label, n, percent_of(n, grand)) for label, n in
               sorted(totals.items(), key=lambda kv: (-kv[1], kv[0]))]
        return Page(
            f"Installs started: instruction requests per {unit} and the answers given",
            [(f"Instruction requests per {unit}, by answer", svg,
              [(c, s) for s, c in series])],
            [Table("per-day", f"Requests per {unit}", cols, rows),
             Table("answers", "Answer mix", ("answer", "requests", "share (%)"), mix)],
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

    @staticmethod
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        unit = bucket_unit(period)
        per_day, totals = {}, {}
        for day, code, n in db.failures_by_day_and_code(period, filters, unit):
            per_day.setdefault(day, {})
            per_day[day][code] = per_day[day].get(code, 0) + n
            totals[code] = totals.get(code, 0) + n
        names, rest = _top(totals, 8)

        def label(code):
            return "code ?" if code is None else f"code {code}"
        days, series = _stacked(period, per_day, names, rest, label)
        svg = charts.stacked_bars(days, series, f"Failures per {unit} by code", unit=unit)
        legend = [(c, s + (": " + code_meaning(n)[0] if n is not None else ": no code"))
                  for (s, c), n in zip(series, names)]
        if rest:
            legend.append((charts.OTHER_COLOUR, "other codes"))
        grand = sum(totals.values())
        by_code = []
        for code in sorted(totals, key=lambda k: (-totals[k], k if k is not None else -1)):
            words, group = code_meaning(code)
            by_code.append(("" if code is None else code_link(code), words, GROUPS[group].title,
                            totals[code], percent_of(totals[code], grand)))
        cols = (f"{unit} (UTC)", "failures") + tuple(s for s, _ in series)
        rows = [(label_, sum(c.values())) + tuple(c.get(s, 0) for s, _ in series)
                for label_, c in days]
        return Page(
            f"Failures per {unit} by code",
            [(f"Reported failures per {unit}, stacked by code", svg, legend)],
            [Table("codes", "Failures by code", ("code", "meaning", "kind of trouble",
                                                  "failures", "share (%)"), by_code),
             Table("per-day", f"Failures per {unit}", cols, rows)],
            [f"{grand:,} failures reported in the period (interactive runs only; "
             "crashes are under Crashes)."])


def _failed_requests(store, period, filters, now, dim):
    """({value of `dim`: [requests, failed requests]}, {kind: failure
    reports that belong to no request}) in the period, as the download
    funnel counts them: a request failed when at least one error or crash
    report belongs to it (joins.py), as the rollouts' guard counts it too.
    Requests and their failures come from the same rows, so that a rate of
    them can never pass 100 %; the reports of no request are in none."""
    rows = FunnelCounts(store).grouped(period, filters, ((dim, "answer"),), now)[0]
    at = DIMS.index(dim)
    counted, unlaid = {}, {}
    for k, counts in rows.items():
        if of_requests(k[4]):
            c = counted.setdefault(k[at], [0, 0])
            c[0] += counts[ASKED]
            c[1] += counts[FAILED]
        elif k[4].startswith(UNLAID):
            kind = k[4][len(UNLAID):]
            unlaid[kind] = unlaid.get(kind, 0) + counts[FAILED]
    return counted, unlaid


def _rate(failed, requests):
    return f"{100.0 * failed / requests:.2f} %" if requests else ""


FAILED_REQUEST = (
    "A request failed when at least one error or crash report belongs to it (several "
    "reports of one run count once), as the rollouts' guard and the download funnel count "
    f"it. {FAILURE_RULE} {CLOCK_RULE}")


def _funnel_notes(store, period, unlaid):
    """The line of the failure reports that belong to no request, and what
    the funnel's counts span: whole hours, from when it began counting."""
    began, unlaid_from = FunnelCounts(store).began()
    first = period.start // HOUR * HOUR
    n = sum(unlaid.values())
    kinds = ", ".join(f"{unlaid.get(k, 0):,} {k}" for k in ("error", "crash"))
    one = n == 1
    line = (f"{n:,} failure report{'' if one else 's'} in this period ({kinds}) "
            f"belong{'s' if one else ''} to no request: no request that "
            f"{'it' if one else 'they'} could belong to came before {'it' if one else 'them'} "
            "within those windows. Counted here, and in no rate.") if n else \
        "Every failure report in this period belongs to a request."
    if unlaid_from is not None and unlaid_from > max(first, began or 0):
        line += f" Reports that belong to no request are counted from {time_text(unlaid_from)} UTC on."
    notes = [line]
    if began is not None and began > first:
        notes.append(f"The download funnel counts requests from {time_text(began)} UTC on, "
                     "when it began counting: the requests of this period before then are in "
                     "no count on this page.")
    elif period.start > first:
        notes.append("Requests are counted by the hour: this period's from "
                     f"{time_text(first)} UTC, the start of its first hour.")
    notes.append(f"A failure report may come up to {joins.ERROR_WINDOW / 3600:g} hours after "
                 "its request, so the rates of the last hours may still rise.")
    return notes


class Rates:
    title = "Failure rate per campaign"

    @staticmethod
    def build(store, config, period, filters, now):
        counted, unlaid = _failed_requests(store, period, filters, now, "bundle_key")
        # Up to TOP_KEYS keys of their own, most requests first; the rest
        # are summed with the keys that a launcher cannot have sent.
        leaders = set(sorted((k for k in counted if k),
                             key=lambda k: (-counted[k][0], k))[:Dashboard.TOP_KEYS])
        by_key = {}
        for k, (r, f) in counted.items():
            c = by_key.setdefault(k if k in leaders else "", [0, 0])
            c[0] += r
            c[1] += f
        keys = sorted(by_key, key=lambda k: (-by_key[k][0], -by_key[k][1], k))
        rows = [(key_events_link(k) if k else OTHER_KEYS, r, f, _rate(f, r))
                for k in keys for r, f in [by_key[k]]]
        chart_rows = [(label, round(1000 * f / r) / 10) for label, r, f, _ in rows[:15] if r]
        svg = charts.horizontal_bars(chart_rows, "Estimated failure rate, percent",
                                     unit=" %")
        return Page(
            "Failure rate per campaign key (an estimate): failed requests over requests",
            [("Estimated failure rate of the 15 keys with the most requests in this period, "
              "in percent", svg, [])],
            [Table("campaigns", "Failed requests against requests per key, in this period",
                   ("key", "requests in this period", "failed requests in this period",
                    "failure rate (estimate)"), rows)],
            ["The failure rate of a key is its failed requests over its requests in this "
             "period. " + FAILED_REQUEST,
             "This is an estimate and a lower bound: only interactive runs report "
             "failures to the service; silent runs that fail report nothing."]
            + _funnel_notes(store, period, unlaid)
            + ["Up to 500 keys, most requests first; the rest, and keys that a launcher "
               "cannot have sent, are summed as \"other keys\"."])


class Systems:
    title = "By system and version"

    @staticmethod
    def build(store, config, period, filters, now):
        by_os = Dashboard(store).failures_by(period, filters, "os")
        counted, unlaid = _failed_requests(store, period, filters, now, "version")
        total_os = sum(n for _, n in by_os)
        os_rows = [(os or UNKNOWN, ("Windows " + WINDOWS[os]) if os in WINDOWS else "", n,
                    percent_of(n, total_os)) for os, n in by_os]
        ver_rows = [(v or UNKNOWN, r, f, _rate(f, r)) for v, (r, f) in sorted(
            counted.items(), key=lambda kv: (-kv[1][1], -kv[1][0], kv[0]))]
        return Page(
            "Failure reports by Windows version, failed requests by launcher version",
            [("Failure reports by Windows version, in this period",
              charts.horizontal_bars([(f"{os} {w}".strip(), n) for os, w, n, _ in os_rows[:15]],
                                     "Failure reports by Windows version"), []),
             ("Failed requests by launcher version, in this period",
              charts.horizontal_bars([(v, f) for v, _, f, _ in ver_rows[:15] if f],
                                     "Failed requests by launcher version"), [])],
            [Table("os", "Failure reports by Windows version, in this period",
                   ("Windows version", "name", "failure reports in this period",
                    "share of failure reports (%)"), os_rows,
                   "Requests carry no Windows version, so this is each version's share of "
                   "the failure reports, not a rate. Crash reports carry none either: these "
                   "are the error reports."),
             Table("versions", "Failed requests against requests by launcher version, "
                   "in this period",
                   ("launcher version", "requests in this period",
                    "failed requests in this period", "failure rate (estimate)"), ver_rows)],
            ["The failure rate of a launcher version is its failed requests over its "
             "requests in this period. " + FAILED_REQUEST]
            + _funnel_notes(store, period, unlaid))


class Crashes:
    title = "Crashes"

    @staticmethod
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        rows = []
        for module, offset, code, n, first, last, sample in db.crash_groups(period):
            rows.append((
                group_link(module, offset, code),
                "" if offset is None else f"0x{offset:X}",
                "" if code is None else f"0x{code:08X}",
                EXCEPTIONS.get(code, ""), n, time_text(first), time_text(last), sample or ""))
        # The offset and code tell a module's groups apart: only the module
        # name gives way to the chart's width.
        svg = charts.horizontal_bars(
            [(middle(m, charts.LABEL_CHARS - len(f" +{o} {c}")) + f" +{o} {c}", n, f"{m} +{o} {c}")
             for m, o, c, _, n, _, _, _ in rows[:10]],
            "Crashes by module, offset and exception")
        notes = ["A crash report carries no key and no version, so the key and version "
                 "filters do not apply here.",
                 "First seen is the group's first crash ever recorded (of the records "
                 "kept), last seen its last in this period, both UTC. Up to 200 groups, "
                 "most crashes in this period first."]
        return Page(
            "Crash groups: module, offset within the module, exception code",
            [("The 10 largest crash groups", svg, [])],
            [Table("groups", "Crash groups",
                   ("module", "offset", "exception code", "exception", "crashes in this period",
                    "first seen ever (UTC)", "last seen (UTC)", "sample message"), rows)],
            notes)


class Malformed:
    title = "Malformed requests"

    @staticmethod
    def build(store, config, period, filters, now):
        db = Dashboard(store)
        unit = bucket_unit(period)
        counts = db.request_counts(period, filters, (unit, "malformed"),
                                   where=" AND malformed <> ''", now=now)
        per_day, totals = {}, {}
        for (day, fields), n in counts.items():
            per_day.setdefault(day, {})
            per_day[day][fields] = per_day[day].get(fields, 0) + n
            totals[fields] = totals.get(fields, 0) + n
        names, rest = _top(totals, 6)
        days, series = _stacked(period, per_day, names, rest, lambda f: f)
        svg = charts.stacked_bars(days, series, f"Malformed requests per {unit}", unit=unit)
        kinds = [(f, n) for f, n in sorted(totals.items(), key=lambda kv: (-kv[1], kv[0]))]
        samples = [(time_text(t), c, k, v, i, a, m, cut)
                   for t, c, k, v, i, a, m, cut in db.malformed_request_samples(period, filters)]
        ev_counts = db.malformed_event_counts(period, filters)
        ev_samples = [(time_text(r[0]),) + tuple(r[1:]) for r in
                      db.malformed_events(period, filters)]
        return Page(
            "Malformed requests and events: what was wrong with them",
            [(f"Malformed instruction requests per {unit}, by the fields that were wrong", svg,
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
