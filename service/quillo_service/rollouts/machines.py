"""The machines of each arm at each step, for the split check (split.py).

Hourly counts of requests cannot say how many distinct machines asked, so
`rollout_machines` keeps each machine's first request at each step of a
rule in each arm: one row, written insert-or-ignore by the pass that
counts the arms (linking.py), in SQL from the arm rows that pass has just
written, so no request comes back to Python for it.  A row's hour is when
the machine was first seen there; the machines first seen each hour are
what the check, and a replay of it, add up.

A machine is counted once at a step, at its first hour there, in the rule's
arm if it was in it at all: the share only grows within a step, and a
machine seen in the control and then in the rule is one a worker still
answered at the step before (its share read a moment late).  After a
resume the guard counts from a whole hour (from_hour); the check then
counts only machines first seen at the step from that hour on.  While the
rule was halted every machine that asked fell in the control, so the
machines seen before are left out in both arms alike.
"""

from ..db import retention
from ..launcher.arms import RULE
from .queries import HOUR

retention.register("rollout_machines", "hour", HOUR)


def record(conn, p, first_id, last_id):
    """Keep the first request of each machine at each rule, step and arm
    among the requests with ids in (first_id, last_id], inside the open
    transaction of the pass that wrote their arm rows."""
    conn.execute(
        "INSERT INTO rollout_machines (rule, step, arm, machine, hour) "
        "SELECT a.rule, a.step, a.arm, UPPER(r.machine_id), MIN(a.hour) "
        "FROM requests r JOIN rollout_arms a ON a.request_id = r.id "
        f"WHERE r.id > {p} AND r.id <= {p} AND r.arms IS NOT NULL "
        "AND r.machine_id IS NOT NULL "
        "GROUP BY a.rule, a.step, a.arm, UPPER(r.machine_id) ON CONFLICT DO NOTHING",
        (first_id, last_id))


def first_seen(store, rule, step, from_hour=0):
    """[(hour, rule machines, control machines)] first seen in that hour at
    the rule's step, from hour `from_hour` on (see the module's docstring),
    oldest first: what split.by_hour and split.check add up."""
    p = store.placeholder
    out = {}
    for hour, in_rule, n in store.read(
            "SELECT first_hour, in_rule, COUNT(*) FROM (SELECT machine, MIN(hour) AS "
            f"first_hour, MAX(CASE WHEN arm = {p} THEN 1 ELSE 0 END) AS in_rule "
            f"FROM rollout_machines WHERE rule = {p} AND step = {p} GROUP BY machine) m "
            f"WHERE first_hour >= {p} GROUP BY first_hour, in_rule",
            (RULE, rule, step, from_hour)):
        counts = out.setdefault(int(hour), [0, 0])
        counts[0 if in_rule else 1] += int(n)
    return [(hour, r, c) for hour, (r, c) in sorted(out.items())]


def totals(store, rule, step, from_hour=0):
    """(rule machines, control machines) at the rule's step from `from_hour`."""
    rows = first_seen(store, rule, step, from_hour)
    return sum(r for _, r, _ in rows), sum(c for _, _, c in rows)
