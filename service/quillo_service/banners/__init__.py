"""The banners at the top of every console page: a configuration that
does not load on some host, hosts that serve with different
configurations, maintenance mode, every halted rule, a default that gives a
halted rule's instruction, and hosts not seen for a lease.

`read` gathers what they say from the store and this process's own
configuration watcher in a few small queries (the hosts' heartbeats, the
rollout states, the acknowledgements of the halted ones, maintenance's
start); words.py says it.  Every page shows them, so nothing here scans
the records.
"""

from .. import settings
from ..dashboard.queries import Dashboard
from ..rollouts import halts
from ..rollouts.queries import RolloutQueries
from . import queries
from .words import Banner, Facts, compose

__all__ = ["Banner", "read"]


def read(store, config, live):
    """[Banner] for a page: `config` and `live` (ConfigWatcher.live) are this
    process's; raises StoreError."""
    seen_hosts, silent = Dashboard(store).hosts()
    r = RolloutQueries(store)
    seen = r.seen()  # before the states, as Live reads them
    states = r.states()
    halted = [n for n, row in states.items() if row["state"] == "halted"]
    return compose(Facts(
        config=config, here=settings.host_name(), live=live, hosts=seen_hosts, silent=silent,
        maintenance_since=queries.maintenance_since(store) if config.maintenance else None,
        states=states, plan=halts.plan(config, states, seen),
        shares=halts.shares(config, states, seen), acks=queries.acknowledged(store, halted)))
