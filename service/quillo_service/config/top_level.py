"""The settings at the top of the file, before its first table."""

from .checks import address, integer, text

# The longest retention a configuration may set, and `purge --days` may ask for.
RETENTION_DAYS_MAX = 36500


def parse_top_level(data, p):
    """database, full_installer, support, retention_days and client_secret."""
    database = text(data.get("database", "quillo.db"), f"{p}: database", 1000)
    full_installer = data.get("full_installer")
    if full_installer is not None:
        address(full_installer, f"{p}: full_installer")
    support = data.get("support")
    if support is not None:
        text(support, f"{p}: support")
    retention_days = integer(data.get("retention_days", 90), f"{p}: retention_days", 1,
                             RETENTION_DAYS_MAX)
    client_secret = data.get("client_secret")
    if client_secret is not None:
        text(client_secret, f"{p}: client_secret", 1000)
    return {"database": database, "full_installer": full_installer, "support": support,
            "retention_days": retention_days, "client_secret": client_secret}
