"""[limits]: how much one client may send."""

from .checks import integer, section


def parse_limits(data, p):
    """events_per_minute."""
    limits = section(data.get("limits", {}), "limits", {"events_per_minute"}, p)
    return integer(limits.get("events_per_minute", 20),
                   f"{p}: limits.events_per_minute", 1, 10**9)
