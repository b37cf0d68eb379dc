"""How a rollout's figures and actors read, the same on its card and in
its banner: a share of failed requests, and who acted."""

_PLACES = {"console": "on the console", "command line": "on the command line"}


def percent(failed, requests):
    """26 %, 8.4 %: one decimal where it says something."""
    return f"{100 * min(failed, requests) / requests:.1f}".removesuffix(".0") + "\u00a0%"


def by_whom(who):
    """"by the guard", "by boss on the console": who halted, as recorded."""
    if not who:
        return ""
    if who == "guard":
        return "by the guard"
    place, _, user = who.partition(": ")
    return f"by {user} {_PLACES[place]}" if user and place in _PLACES else f"by {who}"
