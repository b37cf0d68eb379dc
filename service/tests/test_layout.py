"""Importing a feature loads no other feature and not the console, so that
each can be read, tested and changed on its own."""

import subprocess

import pytest
from conftest import SERVICE

FEATURES = ("launcher", "reports", "ingest", "dashboard", "funnel", "rollouts", "alerts",
            "banners")
SHARED = {"db", "config", "settings", "clients", "joins", "periods", "throttle", "key_rules",
          "batches", "charts", "tables", "links", "shorten", "linking"}
# The links keep, in the transaction that links a record, what follows from it
# for the funnel and for the guard: whoever loads them loads the funnel's pure
# outcomes and the guard's queries and machines, and nothing more of either.
LINKING = {"funnel", "funnel.outcomes", "rollouts", "rollouts.queries", "rollouts.machines"}
ALSO = {
    # Which rule answers a request (and in which rollout arm), and how its
    # query is read: the request path, the reader of nginx's fallback log,
    # the guard and the error pages all follow these.
    "*": {"launcher", "launcher.query", "launcher.rules", "launcher.arms"},
    # A halt or an advance writes its alert in its own transaction.
    "rollouts": {"alerts", "alerts.outbox", "alerts.queue"},
    # The Failures view names each failure code with its meaning; the
    # failure rates are failed requests over requests, as the funnel counts
    # them, so that they agree with the funnel and the guard.
    "dashboard": {"reports", "reports.codes", "funnel", "funnel.outcomes", "funnel.queries"},
    # The banners say what the hosts' heartbeats (read as the dashboard
    # bounds them by the lease) and the halts mean; the dashboard's queries
    # fold the report codes of its totals by the codes the service knows.
    "banners": {"dashboard", "dashboard.queries", "reports", "reports.codes",
                "rollouts", "rollouts.guard",
                "rollouts.halts", "rollouts.queries", "rollouts.words"},
}
# Every module of the package, then what that loaded under quillo_service.
LOADED = """
import importlib, pkgutil, sys
sys.path.insert(0, {path!r})
package = importlib.import_module("quillo_service." + {feature!r})
for module in pkgutil.iter_modules(package.__path__):
    importlib.import_module(package.__name__ + "." + module.name)
print(" ".join(m.partition(".")[2] for m in sys.modules if m.startswith("quillo_service.")))
"""


@pytest.mark.parametrize("feature", FEATURES)
def test_a_feature_loads_no_other_feature_nor_the_console(feature):
    r = subprocess.run(["/usr/bin/python3", "-c", LOADED.format(path=SERVICE,
                                                                feature=feature)],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    allowed = ALSO["*"] | ALSO.get(feature, set())
    if "linking" in r.stdout.split():
        allowed |= LINKING
    stray = sorted(m for m in r.stdout.split()
                   if m.partition(".")[0] not in SHARED | {feature} and m not in allowed)
    assert stray == []


REGISTERED = """
import importlib, pkgutil, sys
sys.path.insert(0, {path!r})
import quillo_service
from quillo_service.db import retention
if {everything!r}:
    for module in pkgutil.walk_packages(quillo_service.__path__, "quillo_service."):
        importlib.import_module(module.name)
else:
    quillo_service.load_features()
print(" ".join(sorted(set(retention.RECORDS) | {{t for t, _, _ in retention.KEPT_BY}})))
"""


def test_purge_knows_every_table_a_feature_keeps():
    """load_features, which every purge runs first, registers the tables of
    every module that registers one."""
    def registered(everything):
        r = subprocess.run(["/usr/bin/python3", "-c", REGISTERED.format(
            path=SERVICE, everything=everything)], capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        return r.stdout.split()
    assert registered(False) == registered(True)
    assert "funnel_daily" in registered(False)
