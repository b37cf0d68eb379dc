"""The dashboard's views: each turns the store's counts into charts and tables."""

import math
from typing import NamedTuple

from ..rollouts import guard
from ..rollouts import queries as rollout_queries
from .. import joins
from ..reports.codes import CODES, GROUPS
from ..funnel.outcomes import COUNTS, UNASKED, installer_path
from ..dashboard import charts
from ..periods import day_text, time_text


class Table(NamedTuple):
    name: str      # in the CSV link and file name
    title: str
    columns: tuple
    rows: list
    note: str = ""


class Page(NamedTuple):
    title: str
    charts: list   # [(caption, Markup svg, legend [(colour, text)])]
    tables: list
    notes: list = []
    forms: list = []  # [(rule name, actions it can take now)] (the Rollouts view)


OTHER_KEYS = "(other keys)"


# How joins.py lays downloads and failures at requests, as the console says it.
FAILURE_RULE = (
    "A failure belongs to the latest request before it of the same address and key, "
    f"up to {joins.ERROR_WINDOW / 3600:g} hours before an error report (one without a "
    f"key belongs to no request) or {joins.CRASH_WINDOW / 3600:g} hours before a crash "
    "report (same address, any key).")
DOWNLOAD_RULE = (
    "A download belongs to the latest instruction request before it of the same address "
    f"for that installer, placed by when it started, up to "
    f"{joins.DOWNLOAD_WINDOW / 60:g} minutes after the request; one that lasted over "
    f"{joins.LONGEST / 3600:g} hours belongs to no request.")
CLOCK_RULE = (
    f"The hosts' clocks may differ by {joins.CLOCK_SLACK:g} seconds: when no request "
    "qualifies before a failure or download, a request stamped up to that much after it "
    "counts.")


def _share(n, total):
    return f"{100.0 * n / total:.1f} %" if total else ""


def _top(totals, keep):
    """The `keep` largest names, the rest folded into "other"."""
    names = sorted(totals, key=lambda k: (-totals[k], str(k)))
    return names[:keep], names[keep:]


def answer_label(answer, config):
    """What an answer was, in the publisher's terms."""
    if answer.startswith("fallback:"):
        return "nginx fallback: " + answer_label(answer[len("fallback:"):], config)
    if answer.startswith("GET:"):
        for name, address in config.channels.items():
            if address == answer[4:]:
                return "channel " + name
        return "installer " + answer[4:]
    if answer.startswith("GOTO:"):
        return "page " + answer[5:]
    return answer


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


class Installs:
    title = "Installs started"

    @staticmethod
    def build(db, config, period, filters, now):
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
        mix = [(label, n, _share(n, grand)) for label, n in
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

    @staticmethod
    def build(db, config, period, filters, now):
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
                            totals[code], _share(totals[code], grand)))
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

    @staticmethod
    def build(db, config, period, filters, now):
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

    @staticmethod
    def build(db, config, period, filters, now):
        by_os = db.failures_by(period, filters, "os")
        by_version = db.failures_by(period, filters, "version")
        requests = {k[0]: n for k, n in db.request_counts(
            period, filters, ("version",), now=now).items()}
        total_os = sum(n for _, n in by_os)
        os_rows = [(os, ("Windows " + _WINDOWS[os]) if os in _WINDOWS else "", n,
                    _share(n, total_os)) for os, n in by_os]
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

    @staticmethod
    def build(db, config, period, filters, now):
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

    @staticmethod
    def build(db, config, period, filters, now):
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


def _rate(arm):
    if not arm.requests:
        return "no requests"
    low, high = arm.interval
    return f"{100 * arm.rate:.2f} % [{100 * low:.2f}, {100 * high:.2f}]"


def _points(interval):
    low, high = interval
    return f"[{100 * low:+.2f}, {100 * high:+.2f}]"


def _step_rows(rule, strata):
    """Per step the rule was counted at: each arm's rate with its interval,
    the difference at that step, and the guard's evidence through it."""
    out = []
    for step in sorted({s.step for s in strata}):
        arm, control = guard.arms_at(strata, step)
        share = "(not recorded)" if step < 0 else \
            f"{guard.share(rule.steps, step, 'running'):g} %"
        if guard.no_control(guard.share(rule.steps, step, "running")) and step >= 0:
            difference, judged = "no control", "not judged: no control at 100 %"
        else:
            difference = (_points(guard.difference_interval(arm, control))
                          if arm.requests and control.requests else "")
            e = guard.evidence([s for s in strata if s.step <= step],
                               rule.guard_extra_failure_points, rule.guard_false_halt_percent)
            judged = e.describe()
        out.append((rule.name, "before steps were counted" if step < 0 else step + 1, share,
                    arm.requests, arm.failures, _rate(arm), control.requests,
                    control.failures, _rate(control), difference, judged))
    return out


def _state_text(rule, row):
    if row is None:
        return 0, "running", "not started yet"
    return row["step"], row["state"], row["why"]


class Rollouts:
    title = "Rollouts"

    @staticmethod
    def build(db, config, period, filters, now):
        store = db.store
        r = rollout_queries.RolloutQueries(store)
        states = r.states()
        charts_, rows, forms, step_rows = [], [], [], []
        for rule in config.guarded_rules:
            row = states.get(rule.name)
            step, state, why = _state_text(rule, row)
            counted = row["from_hour"] if row else int(now // 3600)
            h = r.health(rule.name, counted)
            arm, control = (guard.Arm(*h.get(a, (0, 0))) for a in ("rule", "control"))
            strata = [guard.Stratum(*x) for x in r.strata(rule.name, counted)]
            share = guard.share(rule.steps, step, "running")
            verdict = guard.judge(strata, share, rule.guard_extra_failure_points,
                                  rule.guard_min_requests, rule.guard_false_halt_percent)
            guard_text = verdict.why if verdict.evidence is None else \
                verdict.evidence.describe()
            rows.append((rule.name, f"{step + 1} of {len(rule.steps)}", f"{share:g} %", state,
                         time_text(row["since"]) if row else "", arm.requests, arm.failures,
                         _rate(arm), control.requests, control.failures, _rate(control),
                         time_text(counted * 3600), guard_text, why))
            step_rows += _step_rows(rule, strata)
            forms.append((rule.name, {"running": ("halt", "advance"), "halted": ("resume",),
                                      "done": ("halt",)}[state]))
            per_day = {}
            for day, which, n, f in r.per_day(rule.name, period.start, period.end):
                per_day.setdefault(day, {})[which] = 100.0 * f / n if n else None
            days = [(day_text(d), {"rule": per_day.get(d, {}).get("rule"),
                                   "control": per_day.get(d, {}).get("control")})
                    for d in period.days]
            series = [("rule", charts.colour(3)), ("control", charts.colour(0))]
            charts_.append((f"{rule.name}: failed requests per day, percent",
                            charts.grouped_bars(days, series, f"{rule.name}: failure rate "
                                                "per day"),
                            [(c, n) for n, c in series]))
        history = [(time_text(t), rule, who, action, old, new, why)
                   for t, rule, who, action, old, new, why in r.audit()]
        return Page(
            "Staged rollouts: share, health per arm, state and history",
            charts_,
            [Table("rollouts", "Guarded rules",
                   ("rule", "step", "share", "state", "step since (UTC)", "rule requests",
                    "rule failures", "rule failure rate [95%]", "control requests",
                    "control failures", "control failure rate [95%]",
                    "counted from (UTC)", "guard", "why"), rows,
                   "Totals over every hour since the guard began counting, to describe; the "
                   "guard itself compares the arms hour by hour at one step."),
             Table("steps", "Per step: each arm, the difference, and the guard's evidence",
                   ("rule", "step", "share", "rule requests", "rule failures",
                    "rule failure rate [95%]", "control requests", "control failures",
                    "control failure rate [95%]", "difference, points [95%]",
                    "guard's evidence through this step (halts at the threshold)"),
                   step_rows),
             Table("history", "History: every action, by whom and why",
                   ("time (UTC)", "rule", "who", "action", "before", "after", "why"), history,
                   "The 200 latest, newest first.")],
            ["The rule arm is the machines the rule answered; the control is the machines "
             "that reached the rule and met its conditions but fell outside its share. "
             "A failed request is one that a failure belongs to. " + FAILURE_RULE + " "
             + CLOCK_RULE,
             "The guard compares the arms only within one hour at one step, where both saw "
             "the same conditions and the same split, and weighs the differences together. "
             "Its evidence is a likelihood ratio for \"worse than the control by more than "
             "the rule's margin\" that it may look at as often as it likes: it halts the "
             "rule when the evidence reaches its threshold, 100 divided by "
             "guard_false_halt_percent (the chance of ever halting a release no worse than "
             "the margin). At a 100 % step no machine is left for a control, and the guard "
             "does not judge."],
            forms)


def banners(store, config):
    """[(rule, time text, why)] of the halted guarded rules, for every page."""
    states = rollout_queries.RolloutQueries(store).states()
    return [(r.name, time_text(states[r.name]["changed_at"]), states[r.name]["why"])
            for r in config.guarded_rules
            if r.name in states and states[r.name]["state"] == "halted"]


GIB = 1024 ** 3
STAGES = ("asked", "sent to download", "download started", "download completed",
          "resumed", "failure reported", "no news")


def download_label(answer, config):
    """The channel (or file) that bytes went to, in the publisher's terms."""
    if answer.startswith(UNASKED):
        path = answer[len(UNASKED):]
        for name, address in config.channels.items():
            if installer_path("GET:" + address) == path:
                return f"channel {name} (no instruction request)"
        return f"file {path} (no instruction request)"
    return answer_label(answer, config)


def _sum(rows):
    total = [0] * len(COUNTS)
    for counts in rows:
        for j, n in enumerate(counts):
            total[j] += n
    return total


def _cost(nbytes, config):
    return round(nbytes / GIB * config.price_per_gib, 2)


class Bytes(int):
    """A count of bytes: the table shows it in MiB, or in GiB from 1,000 MiB
    on, with the exact figure as the cell's title; the CSV, which writes it
    as an int, gets the exact figure."""

    @property
    def text(self):
        mib = self / 2 ** 20
        if mib >= 1000:
            return f"{self / GIB:,.2f} GiB"
        return f"{math.floor(mib * 10) / 10:.1f} MiB"  # never rounded up to 1,000.0


class Funnel:
    title = "Download funnel"

    @staticmethod
    def build(db, config, period, filters, now):
        rows = db.funnel_counts(period, filters, now=now)
        asked = {k: v for k, v in rows.items() if not k[4].startswith(UNASKED)}
        total = _sum(asked.values())
        stages = list(zip(STAGES, total[:7]))
        svg = charts.funnel(stages, "Download funnel")
        by_campaign, by_day, by_bytes = {}, {}, {}
        for (day, key, version, rule, answer), counts in rows.items():
            if not answer.startswith(UNASKED):
                c = by_campaign.setdefault((key, rule, answer_label(answer, config)),
                                           [0] * len(COUNTS))
                d = by_day.setdefault(day, [0] * len(COUNTS))
                for j, n in enumerate(counts):
                    c[j] += n
                    d[j] += n
            if counts[7]:
                b = by_bytes.setdefault((day, download_label(answer, config)), [0, 0])
                b[0] += counts[7]
                b[1] += counts[8]
        price = config.price_per_gib

        def money(nbytes):
            return (_cost(nbytes, config),) if price else ()
        campaign_rows = [
            (key or OTHER_KEYS, rule, channel, *c[:7], _share(c[3], c[2]), Bytes(c[7]),
             _share(c[8], c[7])) + money(c[7])
            for (key, rule, channel), c in sorted(
                by_campaign.items(), key=lambda kv: (-kv[1][0], kv[0]))[:500]]
        day_rows = [(day_text(d), *by_day.get(d, [0] * len(COUNTS))[:7]) for d in period.days]
        bandwidth = [(day_text(d), channel, Bytes(sent), round(sent / GIB, 3), Bytes(wasted),
                      _share(wasted, sent)) + money(sent)
                     for (d, channel), (sent, wasted) in sorted(by_bytes.items())]
        speed = {}
        for (day, key, version, rule, answer), counts in asked.items():
            s = speed.setdefault(answer_label(answer, config), [0, 0, 0.0])
            s[0] += counts[3]
            s[1] += counts[9]
            s[2] += counts[10]
        speed_rows = [(channel, n, f"{secs / n:.1f}" if n else "",
                       f"{size / secs / 2 ** 20:.2f}" if secs else "")
                      for channel, (n, size, secs) in sorted(speed.items()) if n]
        sent, wasted = sum(c[7] for c in rows.values()), sum(c[8] for c in rows.values())
        notes = [
            "\"No news\" is an upper estimate of the installs that succeeded: the "
            "launcher reports only failures, so a completed download without a failure "
            "report may still have failed silently (silent runs never report).",
            f"{DOWNLOAD_RULE} {FAILURE_RULE} {CLOCK_RULE} Rows are by the day of the "
            "instruction request; a period that starts within an hour counts that whole hour.",
            f"{sent:,} bytes ({sent / GIB:,.2f} GiB) of installers sent in the period; "
            f"{_share(wasted, sent) or '0.0 %'} of them sent more than once (overlapping "
            "ranges)." + (f" Egress cost at {price:g} {config.currency} per GiB: "
                          f"{_cost(sent, config):,.2f} {config.currency}." if price else
                          " Set [bandwidth] price_per_gib to see the egress cost.")]
        cost_col = (f"cost ({config.currency})",) if price else ()
        return Page(
            "Download funnel: from instruction request to installer on disk",
            [("Instruction requests and what became of them", svg, [])],
            [Table("funnel", "Funnel and bytes sent per campaign key, rule and channel",
                   ("key", "rule", "answer") + STAGES
                   + ("completed of started", "bytes sent", "wasted share") + cost_col,
                   campaign_rows, "Up to 500 rows, most requests first."),
             Table("per-day", "Funnel per day", ("day (UTC)",) + STAGES, day_rows),
             Table("bandwidth", "Bytes sent per day and channel",
                   ("day (UTC)", "channel", "bytes sent", "GiB", "bytes sent twice",
                    "wasted share") + cost_col, bandwidth),
             Table("speed", "Completed downloads: average time and speed",
                   ("channel", "completed downloads", "average seconds",
                    "average MiB/s"), speed_rows,
                   "From the first byte asked for to the last byte sent, pauses included.")],
            notes)


VIEWS = {"installs": Installs, "failures": Failures, "rates": Rates, "systems": Systems,
         "crashes": Crashes, "malformed": Malformed, "funnel": Funnel, "rollouts": Rollouts}
