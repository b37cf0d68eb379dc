"""Which line of the file a load error is about, for the console's banner.

TOML's own errors say where they are ("at line 3, column 5").  A
validation error names a setting instead ("[maintenance]: unknown setting
'enabeld'", "rule 'beta': steps must rise", "maintenance.enabled must be
true or false"), so its line is found by looking for that setting in the
file, within the table the error names.  0 when it cannot be told.
"""

import re

_TOML_AT = re.compile(r"\(at line (\d+), column \d+\)")
_KEY = re.compile(r"[A-Za-z0-9_-]+(?:\.[A-Za-z0-9_-]+)*")


def _header(line):
    """The table a header line opens ("rules" for [[rules]]), or None."""
    m = re.match(r"\s*\[\[?\s*([^\]]+?)\s*\]\]?\s*(#.*)?$", line)
    return m.group(1).strip("\"'") if m else None


def _scope(lines, part):
    """The index of the line that opens the table `part` of a message
    names ("[maintenance]", "rule 3", "rule 'beta'"), or None."""
    table = re.match(r"\[([^\]]+)\]", part)
    if table:
        return next((i for i, line in enumerate(lines) if _header(line) == table.group(1)),
                    None)
    number = re.fullmatch(r"rule (\d+)", part)
    if number:
        rules = [i for i, line in enumerate(lines) if _header(line) == "rules"]
        n = int(number.group(1))
        return rules[n - 1] if 0 < n <= len(rules) else None
    named = re.fullmatch(r"rule '(.*)'", part)
    if named:
        pattern = re.compile(r"\s*name\s*=\s*[\"']" + re.escape(named.group(1)) + "[\"']")
        for i, line in enumerate(lines):
            if pattern.match(line):  # the rule's header is the nearest above its name
                return next((j for j in range(i, -1, -1) if _header(lines[j])), None)
    return None


def _find(lines, start, key):
    """The 1-based line that sets `key` in the table opened at index
    `start`, or before the first table (start None), where a table of that
    name counts too (a misspelt [maintenance]); 0 when none does."""
    setting = re.compile(r"\s*[\"']?" + re.escape(key) + r"[\"']?\s*=")
    if start is None:
        for i, line in enumerate(lines):
            table = _header(line)
            if table == key:
                return i + 1
            if table is not None:
                start = start if start is not None else i
            elif start is None and setting.match(line):
                return i + 1
        return 0
    for i in range(start + 1, len(lines)):
        if _header(lines[i]) is not None:
            break
        if setting.match(lines[i]):
            return i + 1
    return 0


def error_line(source, message):
    """The 1-based line of `source` (the file's text) that the load error
    `message` (without the file's name in front) is about, or 0."""
    at = _TOML_AT.search(message)
    if at:
        return int(at.group(1))
    if "(at end of document)" in message:
        return source.count("\n") + 1
    lines = source.splitlines()
    parts = message.split(": ")
    start = None
    for part in parts:
        found = _scope(lines, part)
        start = found if found is not None else start
    unknown = re.match(r"unknown setting '([^']*)'", parts[-1])
    # The setting a message is about leads one of its parts, the last
    # most often ("retention_days: expected ...", "steps must rise").
    keys = [unknown.group(1)] if unknown else \
        [m.group(0) for m in (_KEY.match(part) for part in reversed(parts)) if m]
    for key in keys:
        found = _find(lines, start, key)
        if not found and start is None and "." in key:  # maintenance.enabled
            table, _, rest = key.partition(".")
            within = _scope(lines, f"[{table}]")
            if within is not None:
                found = _find(lines, within, rest) or within + 1
        if found:
            return found
    return 0 if start is None else start + 1
