"""How a rollout's figures read, the same on its card and in its banner:
a share of failed requests.  Who acted reads as tables.by_whom says."""

from ..tables import by_whom  # noqa: F401  (the cards and banners take it from here)


def percent(failed, requests):
    """26 %, 8.4 %: one decimal where it says something."""
    return f"{100 * min(failed, requests) / requests:.1f}".removesuffix(".0") + "\u00a0%"
