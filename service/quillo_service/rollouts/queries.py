"""The SQL of staged rollouts: live state, audit, and the counts per arm.

The live state of a guarded rule is one row of `rollout_state`.  Every change
is a conditional UPDATE on the row's `version`, in one transaction with its
audit row, so when several workers or hosts decide the same halt or advance
at once exactly one of them makes it (and only that one sends the alert).

The counts are kept incrementally, like the dashboard's rollup: the pass
that takes new requests in by id for every user of the links (linking.py)
counts their arms in `rollout_counts` and keeps each request that fell in
an arm in `rollout_arms` (the arms its row recorded as it was answered) for
the few hours in which a failure may still follow it; as a failure report
is linked to its request (joins.py says which), the same transaction marks
that request failed once (a request failed or not, however many errors
follow it) and adds one to the failures of its hour and step, and a late
request that takes the failure over moves it between the arms.
"""

import bisect
import json

from ..batches import insert_rows
from ..db import retention
from ..launcher.arms import decode as decode_arms

HOUR = 3600
retention.register("rollout_counts", "hour", HOUR)  # hourly counts, as the requests they count
REQUESTS = "rollout requests"  # rollup_state rows: the last id counted
EVENTS = "rollout events"

SEEN = "rules seen"    # rollup_state: since when rules_seen names every rule served with
_STATE_COLUMNS = ("rule", "step", "since", "from_hour", "state", "why", "changed_at", "version",
                  "answer", "halt_arms")


class RolloutQueries:
    """The rollout questions and changes, over one store."""

    def __init__(self, store):
        self.store = store
        self.p = store.placeholder

    # -- live state and audit ------------------------------------------------------

    def states(self):
        """{rule name: state row as a dict}."""
        rows = self.store.read(f"SELECT {', '.join(_STATE_COLUMNS)} FROM rollout_state")
        return {r[0]: dict(zip(_STATE_COLUMNS, r)) for r in rows}

    def _audit(self, conn, now, rule, who, action, old, new, why):
        p = self.p
        conn.execute("INSERT INTO rollout_audit (recorded_at, rule, who, action, old_state, "
                     f"new_state, why) VALUES ({p}, {p}, {p}, {p}, {p}, {p}, {p})",
                     (now, rule, who[:200], action, old, new, why[:2000]))

    def start(self, rule, now, who, why):
        """Create the rule's state at its first step unless it exists; True if made."""
        p = self.p
        with self.store.transaction() as conn:
            made = conn.execute(
                f"INSERT INTO rollout_state ({', '.join(_STATE_COLUMNS)}) "
                f"VALUES ({p}, 0, {p}, {p}, 'running', '', {p}, 1, '', '') "
                "ON CONFLICT (rule) DO NOTHING", (rule, now, int(now // HOUR), now)).rowcount
            if made == 1:
                self._audit(conn, now, rule, who, "start", "", describe_state(0, "running"), why)
            return made == 1

    def change(self, row, now, who, action, why, then=None, **new):
        """Apply `new` (step, since, from_hour, state) to the state `row` was
        read as; False, with nothing written, when someone changed it since.
        `then(conn)`, if given, runs inside the same transaction (the alert
        that reports the change): the change commits only with it."""
        p = self.p
        after = dict(row, **new)
        sets = ", ".join(f"{k} = {p}" for k in new)
        with self.store.transaction() as conn:
            moved = conn.execute(
                f"UPDATE rollout_state SET {sets}, why = {p}, changed_at = {p}, "
                f"version = version + 1 WHERE rule = {p} AND version = {p}",
                (*new.values(), why[:2000], now, row["rule"], row["version"])).rowcount
            if moved != 1:
                return False
            self._audit(conn, now, row["rule"], who, action,
                        describe_state(row["step"], row["state"]),
                        describe_state(after["step"], after["state"]), why)
            if then is not None:
                then(conn)
            return True

    def forget_rule(self, row, now, who, why):
        """Delete the state `row` was read as (a rule gone from the
        configuration), with its audit row; False when someone changed it since."""
        p = self.p
        with self.store.transaction() as conn:
            gone = conn.execute(f"DELETE FROM rollout_state WHERE rule = {p} AND version = {p}",
                                (row["rule"], row["version"])).rowcount
            if gone != 1:
                return False
            self._audit(conn, now, row["rule"], who, "forget",
                        describe_state(row["step"], row["state"]), "", why)
            return True

    # -- the rules the service has served with (halts.py) ------------------------------

    def seen(self):
        """The names of every rule the service has served with, or None
        before it first recorded them."""
        if self.store.position(SEEN) is None:
            return None
        return {r[0] for r in self.store.read("SELECT name FROM rules_seen")}

    def record_rules(self, names, now, starts=(), answers=()):
        """Record `names` as served with, start each of `starts` [(new rule,
        halted rule, its instruction)] halted as that rule, and give the
        halted rules in `answers` {rule: instruction} that know none their
        instruction, in one transaction.  The first call records the names
        only: what the service served before it kept them all served.
        Returns the rules that were started halted."""
        p, made = self.p, []
        with self.store.transaction() as conn:
            first = self.store.position(SEEN, conn) is None
            if first:
                self.store.start_position(conn, SEEN, int(now))
            conn.cursor().executemany(
                f"INSERT INTO rules_seen (name, first_seen) VALUES ({p}, {p}) "
                "ON CONFLICT (name) DO NOTHING", [(n, now) for n in names])
            for name, old, answer in ([] if first else starts):
                was = conn.execute(f"SELECT step, halt_arms FROM rollout_state WHERE rule = {p} "
                                   "AND state = 'halted'", (old,)).fetchall()
                if not was:
                    continue  # resumed or forgotten meanwhile
                why = f"halted as {old}, whose installer it gives"
                # The halt's figures go with it, and the rule it is taken for.
                kept = dict(json.loads(was[0][1]) if was[0][1] else {}, halted_as=old)
                if conn.execute(
                        f"INSERT INTO rollout_state ({', '.join(_STATE_COLUMNS)}) "
                        f"VALUES ({p}, {p}, {p}, {p}, 'halted', {p}, {p}, 1, {p}, {p}) "
                        "ON CONFLICT (rule) DO NOTHING",
                        (name, was[0][0], now, int(now // HOUR) + 1, why, now, answer,
                         json.dumps(kept))).rowcount == 1:
                    self._audit(conn, now, name, "service", "halt", "",
                                describe_state(was[0][0], "halted"), why)
                    made.append(name)
            for name, answer in dict(answers).items():
                conn.execute(f"UPDATE rollout_state SET answer = {p} WHERE rule = {p} "
                             "AND state = 'halted' AND answer = ''", (answer, name))
        return made

    def refused(self, now, rule, who, action, why):
        """Record an attempt that was turned away (no state changes)."""
        with self.store.transaction() as conn:
            self._audit(conn, now, rule, who, action, "", "", why)

    def audit(self, rule=None, limit=200):
        """The latest audit rows, newest first, of one rule or of all."""
        p = self.p
        where, params = (f" WHERE rule = {p}", (rule,)) if rule is not None else ("", ())
        rows = self.store.read("SELECT recorded_at, rule, who, action, old_state, new_state, why "
                         f"FROM rollout_audit{where} ORDER BY id DESC LIMIT {int(limit)}",
                         params)
        return [tuple(r) for r in rows]

    # -- counts ----------------------------------------------------------------------

    def health(self, rule, from_hour):
        """{arm: (requests, failures)} counted from hour `from_hour` on."""
        p = self.p
        rows = self.store.read("SELECT arm, SUM(requests), SUM(failures) FROM rollout_counts "
                         f"WHERE rule = {p} AND hour >= {p} GROUP BY arm", (rule, from_hour))
        return {arm: (int(n), int(f)) for arm, n, f in rows}

    def strata(self, rule, from_hour):
        """[(step, hour, rule requests, rule failures, control requests,
        control failures)] from hour `from_hour` on, oldest first."""
        p = self.p
        out = {}
        for hour, step, arm, n, f in self.store.read(
                "SELECT hour, step, arm, requests, failures FROM rollout_counts "
                f"WHERE rule = {p} AND hour >= {p}", (rule, from_hour)):
            counts = out.setdefault((int(hour), int(step)), [0, 0, 0, 0])
            at = 0 if arm == "rule" else 2
            counts[at] += int(n)
            counts[at + 1] += int(f)
        return [(step, hour, *c) for (hour, step), c in sorted(out.items())]

    def advances(self):
        """{rule: [times of its advances, oldest first]}: the step a rule was
        at, at a given time, is how many of them came before."""
        out = {}
        for rule, at in self.store.read("SELECT rule, recorded_at FROM rollout_audit "
                                  "WHERE action = 'advance' ORDER BY id"):
            out.setdefault(rule, []).append(at)
        return out

    def resumes(self, rule):
        """The times of the rule's resumes, oldest first: each started the
        guard's count afresh from the next whole hour."""
        return [at for (at,) in self.store.read(
            f"SELECT recorded_at FROM rollout_audit WHERE rule = {self.p} "
            "AND action = 'resume' ORDER BY id", (rule,))]

    def per_day(self, rule, start, end):
        """[(day, arm, requests, failures)] of the hours in [start, end)."""
        p = self.p
        # PostgreSQL's SUM of BIGINT is NUMERIC (a Decimal): made int here.
        return [(int(d), arm, int(n), int(f)) for d, arm, n, f in self.store.read(
            "SELECT CAST(hour / 24 AS BIGINT) AS d, arm, SUM(requests), SUM(failures) "
            f"FROM rollout_counts WHERE rule = {p} AND hour >= {p} AND hour < {p} "
            "GROUP BY 1, 2 ORDER BY 1, 2", (rule, int(start // HOUR), int(end // HOUR) + 1))]

    def begin_positions(self, request_id, event_id):
        """Start counting after these ids, unless counting started before."""
        with self.store.transaction() as conn:
            for name, last in ((REQUESTS, request_id), (EVENTS, event_id)):
                self.store.start_position(conn, name, last)

    def last_ids(self):
        """(highest request id, highest event id), 0 for an empty table."""
        return tuple(self.store.last_id(t) or 0 for t in ("requests", "events"))

    def count_arms(self, conn, rows, advances):
        """Count the arms of requests [(id, recorded_at, arms as recorded)]
        inside the open transaction of the pass that takes them in
        (linking.py), each at the hour it came and the step its rule was at
        then; `advances` as `advances()` gives them."""
        p = self.p
        arms, counts = [], {}
        for i, at, kept in rows:
            for rule, arm in decode_arms(kept):
                step = step_at(advances.get(rule, ()), at)
                arms.append((i, rule, arm, int(at // HOUR), step, 0))
                k = (rule, int(at // HOUR), step, arm)
                counts[k] = counts.get(k, 0) + 1
        insert_rows(conn, p, "rollout_arms", ("request_id", "rule", "arm", "hour", "step",
                                              "failed"), arms, "ON CONFLICT DO NOTHING")
        conn.cursor().executemany(
            "INSERT INTO rollout_counts (rule, hour, step, arm, requests, failures) "
            f"VALUES ({p}, {p}, {p}, {p}, {p}, 0) ON CONFLICT (rule, hour, step, arm) "
            "DO UPDATE SET requests = rollout_counts.requests + excluded.requests",
            [(*k, n) for k, n in counts.items()])

    def mark_failed(self, conn, request_ids, failed):
        """Mark the arm rows of these requests failed (failed=True) or no
        longer failed (a relink took their only failure away), each once,
        and count the change, inside the open transaction."""
        p, ids = self.p, sorted(set(request_ids))
        counts = {}
        for i in range(0, len(ids), 500):
            part = ids[i:i + 500]
            for k in conn.execute(
                    f"UPDATE rollout_arms SET failed = {p} WHERE failed = {p} AND request_id "
                    f"IN ({', '.join([p] * len(part))}) RETURNING rule, hour, step, arm",
                    (int(failed), int(not failed), *part)).fetchall():
                counts[tuple(k)] = counts.get(tuple(k), 0) + 1
        sign = 1 if failed else -1
        conn.cursor().executemany(
            f"UPDATE rollout_counts SET failures = failures + {p} "
            f"WHERE rule = {p} AND hour = {p} AND step = {p} AND arm = {p}",
            [(sign * n, *k) for k, n in counts.items()])

    def forget(self, conn, before):
        """Drop what is kept of the requests with ids below `before`, inside
        the open transaction: no record can be laid at them any more."""
        for table in ("rollout_recent", "rollout_arms"):
            conn.execute(f"DELETE FROM {table} WHERE request_id < {self.p}", (before,))


def step_at(advances, at):
    """The step (from 0) a rule was at, at time `at`, given the times of its
    advances in order."""
    return bisect.bisect_right(advances, at)


def describe_state(step, state):
    """The state as the audit log shows it: "step 2 running" (steps from 1)."""
    return f"step {step + 1} {state}"
