"""[maintenance]: every launcher sent to one page while the publisher works."""

from .checks import ConfigError, address, section


def parse_maintenance(data, p):
    """(enabled, the answer "GOTO:page" or None)."""
    maint = section(data.get("maintenance", {}), "maintenance", {"enabled", "page"}, p)
    enabled = maint.get("enabled", False)
    if not isinstance(enabled, bool):
        raise ConfigError(f"{p}: maintenance.enabled must be true or false")
    answer = None
    if "page" in maint:
        answer = "GOTO:" + address(maint["page"], f"{p}: maintenance.page", page=True)
    if enabled and answer is None:
        raise ConfigError(f"{p}: maintenance is enabled but maintenance.page is missing")
    return enabled, answer
