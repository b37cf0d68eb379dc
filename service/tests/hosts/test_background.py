"""The scheduler: which jobs run where, and that one job's trouble stays its own."""

import tomllib

from conftest import CONFIG, SECRET, empty_postgres

from quillo_service.background import GUARD, HOST, LOGS, Scheduler, run_shared_until_caught_up
from quillo_service.config import parse_config
from quillo_service.db import open_store

CONFIGURATION = parse_config(tomllib.loads(CONFIG))


def test_every_host_runs_its_own_jobs_and_only_the_lease_holder_the_shared_work(postgres):
    url = empty_postgres(postgres)
    runs = []
    stores = [open_store(url, client_secret=SECRET) for _ in range(3)]
    clock = [0.0]
    hosts = [Scheduler(s, lambda: CONFIGURATION, shared=i < 2, clock=lambda: clock[0])
             for i, s in enumerate(stores)]
    for i, h in enumerate(hosts):
        h.add_job("own", 0, lambda s, c, now, i=i: runs.append(("own", i)), lane=HOST)
        h.add_job("logs", 0, lambda s, c, now, i=i: runs.append(("logs", i)), lane=LOGS)
        h.add_job("shared", 0, lambda s, c, now, i=i: runs.append(("shared", i)))
        h.add_job("guard", 0, lambda s, c, now, i=i: runs.append(("guard", i)), lane=GUARD)
    try:
        for _ in range(2):
            assert [h.run_once() for h in hosts] == [True, False, False]
        assert sorted(runs) == sorted(2 * [(kind, i) for kind in ("own", "logs")
                                           for i in range(3)]
                                      + 2 * [("shared", 0), ("guard", 0)])
        # Not holding it is no backlog: the others ask again at their next tick.
        assert not hosts[1]._run_lane(HOST)
        hosts[0].stop()  # the third, with housekeeping off, never takes it over
        runs.clear()
        clock[0] += hosts[1].tick  # its next look
        assert [h.run_once() for h in hosts[1:]] == [True, False]
        assert ("shared", 1) in runs and ("shared", 2) not in runs
    finally:
        for h, s in zip(hosts, stores):
            h.stop()
            s.close()


def test_the_shared_work_runs_until_caught_up_and_no_host_job_with_it(store):
    backlog = [3]
    runs = []

    def count(s, c, now):
        backlog[0] -= 1
        return backlog[0] == 0
    sched = Scheduler(store, lambda: CONFIGURATION, shared=False)
    sched.add_job("own", 60, lambda *a: runs.append("own"), lane=HOST)
    sched.add_job("count", 60, count).add_job("once", 3600, lambda *a: runs.append("once"))
    spent = run_shared_until_caught_up(store, CONFIGURATION, scheduler=sched)
    assert backlog == [0] and runs == ["once"] and set(spent) == {"count", "once"}
