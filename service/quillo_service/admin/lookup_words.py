"""The console's lookups in plain words: an event, its request, and the rows
of the lists (reports/lookup.py reads them; lookup.py serves the pages).
Pure: rows in, texts out."""

from ..dashboard.views import EXCEPTIONS, WINDOWS
from ..periods import time_text
from ..reports.codes import explain
from ..tables import CLOCK_RULE, FAILURE_RULE, Link, answer_label
from ..links import EVENT_PAGE, module_text

# -- an event ---------------------------------------------------------------------

def _hex(v, width=8):
    return "" if v is None else f"0x{v:0{width}X}"


def event_facts(e):
    """[(what, text)] of an event, as support reads it."""
    crash = e["kind"] == "crash"
    x = explain(e["code_number"], crash=crash)
    facts = [("Reference", e["reference"]), ("When (UTC)", time_text(e["recorded_at"]))]
    if crash:
        name = EXCEPTIONS.get(e["exception_code"], "")
        facts += [("Kind", "crash report: setup stopped unexpectedly"),
                  ("Exception", f"{_hex(e['exception_code'])} {name}".strip()
                   or "(not readable from the report)"),
                  ("Where", f"{module_text(e['module'])} + {_hex(e['module_offset'], 1)}"
                   if e["module_offset"] is not None else module_text(e["module"])),
                  ("Meaning", x.title)]
    else:
        code = e["code"] if e["code_number"] is None else e["code_number"]
        facts += [("Kind", "error report: an interactive run of setup failed"),
                  ("Code", "(none)" if code is None else f"{code}"),
                  ("Meaning", f"{x.words} ({x.title})" if x.words else x.title),
                  ("What the person was told to do", x.advice),
                  ("Windows error", e["error"] or "(none)")]
    os_text = e["os"] or ""
    facts += [("Message", e["message"] if e["message"] is not None else "(none)"),
              ("Launcher version", "(crash reports carry none)" if crash else
               e["version"] or "(none)"),
              ("Windows version", "(crash reports carry none)" if crash else
               f"{os_text} (Windows {WINDOWS[os_text]})" if os_text in WINDOWS else
               os_text or "(none)"),
              ("Key", "(crash reports carry none)" if crash else e["bundle_key"] or "(no key)"),
              ("Client", f"{e['client']} (a keyed hash of the address it came from)")]
    if e["malformed"]:
        facts.append(("Malformed fields", e["malformed"].replace(",", ", ")))
    if e["cut"]:
        facts.append(("Cut to their length bound", e["cut"].replace(",", ", ")))
    return facts


def _ago(seconds):
    s = int(round(abs(seconds)))
    text = f"{s // 3600} h {s % 3600 // 60} min" if s >= 3600 else \
        f"{s // 60} min {s % 60} s" if s >= 60 else f"{s} s"
    return f"{text} {'before' if seconds >= 0 else 'after'} the report"


def request_facts(event, r, config):
    """[(what, text)] of the request an event belongs to."""
    rule = r["rule"]
    return [("When (UTC)", f"{time_text(r['recorded_at'])}, "
                           f"{_ago(event['recorded_at'] - r['recorded_at'])}"),
            ("Key", r["bundle_key"] or "(no key)"),
            ("Launcher version", r["version"] or "(none)"),
            ("Answer it got", answer_label(r["answer"], config)),
            ("Rule that gave it", "nginx, without the service (fallback)" if rule == "fallback"
             else rule or "(none)"),
            ("Malformed fields", r["malformed"].replace(",", ", ") or "(none)")]


def no_request(event):
    """Why an event belongs to no request, in one sentence."""
    if event["kind"] != "crash" and not event["bundle_key"]:
        return ("This report belongs to no request: it carries no key, so nothing says "
                "which launcher sent it.")
    return ("This report belongs to no request: no request of the same client"
            + ("" if event["kind"] == "crash" else " and key")
            + " came before it within the window.")


JOIN_RULE = f"{FAILURE_RULE} {CLOCK_RULE}"


def event_row(e):
    """A row of an event list: (time, reference link, kind, code, message, version, os, key)."""
    code = "" if e["kind"] == "crash" else (e["code"] if e["code_number"] is None
                                            else e["code_number"])
    return (time_text(e["recorded_at"]), Link(e["reference"], EVENT_PAGE + e["reference"]),
            e["kind"], "" if code is None else str(code), e["message"] or "", e["version"] or "",
            e["os"] or "", e["bundle_key"] or "")


EVENT_COLUMNS = ("time (UTC)", "reference", "kind", "code", "message", "launcher version",
                 "Windows version", "key")


def request_row(r, config):
    return (time_text(r["recorded_at"]), r["client"], r["bundle_key"] or "", r["version"] or "",
            answer_label(r["answer"], config), r["rule"], r["malformed"])


REQUEST_COLUMNS = ("time (UTC)", "client", "key", "launcher version", "answer", "rule",
                   "malformed fields")
