"""Counting the staged rollouts' two arms, hour by hour.

The guard compares two arms over the same hours:
- the rule: requests the rule answered;
- the control: requests that reached the rule (no earlier rule took them),
  met its conditions and had a machine id, but fell outside its share and
  were answered by a later rule or the default.
Machines fall in or out of the share by a hash of their id alone, so the two
arms are the same population split at random: the same campaigns, launcher
versions and Windows versions in the same proportions, over the same hours.
The default channel's requests as a whole would mix in other campaigns with
failure rates of their own.

Which arm a request is in was decided as it was answered and kept in its
row (launcher/arms.py); counting only reads it, so no configuration enters
the counts: a rule renamed, reordered or given another share afterwards
moves no request between the arms.  Requests that nginx answered in the
service's place carry no arm and are counted in neither.

A failure is laid at the request it belongs to, since error and crash
queries carry no machine id: joins.py says which (an error at the latest
request of the same client and key within its window, a crash at the latest
of the client), the same rule the download funnel follows.  Both read it
from the links (linking.py): the pass that takes new requests in counts
their arms in per-hour counts (queries.py), and the link of a failure marks
its request failed there, once; a late request that takes a failure over
moves it between the arms.  The guard judges from those counts
(changes.py): the cost of a judgement does not grow with the requests.
Each request is counted at the hour it came and at the step its rule was
at then (the rule's advances in the audit), since the guard compares the
arms only within one hour at one step (guard.py).
Several workers and hosts may count at once; every count is a
compare-and-set in the store, so each happens once.

The counts hold every request answered more than BEHIND seconds ago: a
request's id settles within LAG (db/base.py), the housekeeping lease's
holder counts every TICK_SECONDS on a thread of its own (background.py),
for at most BUDGET seconds, and at once again while a backlog is left.
While it is not caught up, it says so in the log.
"""

from ..db.base import LAG
from ..linking import TAKEN, Links
from .queries import REQUESTS, RolloutQueries

BUDGET = 2.0          # seconds one count may take before the worker judges
BEHIND = 30.0         # seconds: the counts hold every request answered longer ago
TICK_SECONDS = 3.0    # how often the guard counts and judges (background.py)
# A request settles within LAG, waits at most a tick, and is counted within
# a budget; the rest of the bound is for a late tick.
assert LAG + TICK_SECONDS + BUDGET <= BEHIND / 2


def count(store, now, budget=BUDGET):
    """Take in the requests and link the failure reports recorded since the
    last count (linking.py); returns (requests, reports) taken and whether
    it caught up (False: stopped after `budget` seconds with more to count).

    Requests and reports go forward together, a batch of requests and then
    the reports up to the last of them, so that what is kept of the recent
    requests stays a few hours long even when a backlog is caught up."""
    r = RolloutQueries(store)
    if store.position(REQUESTS) is None:
        # Counting starts now: the history before the first guarded rule
        # belongs to no arm (nor what the links took in before).
        r.begin_positions(max(store.first_id("requests", now - LAG) - 1,
                              store.position(TAKEN) or 0), r.last_ids()[1])
    return Links(store).run(now, budget, sources=("event",))
