"""[bandwidth]: what downloads cost, for the dashboard."""

from .checks import ConfigError, section, text


def parse_bandwidth(data, p):
    """(price_per_gib as a float, currency)."""
    bandwidth = section(data.get("bandwidth", {}), "bandwidth", {"price_per_gib", "currency"}, p)
    price = bandwidth.get("price_per_gib", 0)
    if isinstance(price, bool) or not isinstance(price, (int, float)) \
            or not 0 <= price <= 10**6:
        raise ConfigError(f"{p}: bandwidth.price_per_gib: expected a number from 0 to 1000000")
    currency = text(bandwidth.get("currency", "USD"), f"{p}: bandwidth.currency", 8)
    return float(price), currency
