"""ConfigError, and the checks of single values that every section uses.

Each check returns the value it was given, so a parser can check and keep a
setting in one expression; `where` says which file and setting, for the error.
"""

import re

# What the launcher can take as an address: printable ASCII without blanks.
_ADDRESS_RE = re.compile(r"^https?://[\x21-\x7e]+\Z")
# Channel and rule names.
NAME_RE = re.compile(r"^[\x20-\x7e]{1,64}\Z")


class ConfigError(Exception):
    """The configuration file cannot be used; the text says where and why."""


def address(value, where, *, page=False):
    if not isinstance(value, str) or not _ADDRESS_RE.match(value):
        raise ConfigError(
            f"{where}: expected an http:// or https:// address of printable ASCII "
            f"without blanks or line ends, got {value!r:.80}")
    if page and ("?" in value or "#" in value):
        # The launcher appends "?key=..." to a page address itself.
        raise ConfigError(f"{where}: a page address must not hold a query or fragment")
    return value


def text(value, where, limit=200):
    if not isinstance(value, str) or not value or len(value) > limit \
            or not value.isprintable():
        raise ConfigError(f"{where}: expected a printable text of 1 to {limit} characters")
    return value


def integer(value, where, low, high):
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ConfigError(f"{where}: expected a whole number from {low} to {high}")
    return value


def number(value, where, low, high):
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not low <= value <= high:
        raise ConfigError(f"{where}: expected a number from {low:g} to {high:g}")
    return float(value)


def mail(value, where):
    if not isinstance(value, str) or not re.match(r"^[^@\s<>]+@[^@\s<>]+\Z", value):
        raise ConfigError(f"{where}: expected an e-mail address, got {value!r:.80}")
    return value


def unknown(table, allowed, where):
    extra = sorted(set(table) - allowed)
    if extra:
        raise ConfigError(f"{where}: unknown setting {extra[0]!r}")


def section(value, name, allowed, path):
    """The table [name], checked to be one and to hold only `allowed` keys."""
    if not isinstance(value, dict):
        raise ConfigError(f"{path}: [{name}] must be a table")
    unknown(value, allowed, f"{path}: [{name}]")
    return value
