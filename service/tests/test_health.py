"""/healthz and /readyz: a host answers them at once, unrecorded, and a
store that is down never makes a host unready (the host still answers and
spools); only a process without a configuration to answer with is."""

from conftest import CONFIG, hold_write_lock, wait_for
from quillo_service import create_app
from quillo_service.config import parse_config
from quillo_service.health import BEAT_PATIENCE, readiness, store_state
import tomllib


def test_a_host_is_ready_while_its_store_is_down_and_says_so(database, write_config, tmp_path,
                                                              monkeypatch):
    # A heartbeat a second (a third of the lease), so the store's state shows soon.
    monkeypatch.setenv("QUILLO_SERVICE_LEASE_SECONDS", "3")
    app = create_app(write_config(), database=database, proxies="127.0.0.1",
                     fallback=str(tmp_path / "fallback"), housekeeping=False)
    store = app.extensions["quillo"].store
    client = app.test_client()
    try:
        r = client.get("/healthz")
        assert (r.status_code, r.data, r.headers["Cache-Control"]) == (200, b"ok\n", "no-store")

        def ready():
            r = client.get("/readyz")
            assert r.status_code == 200
            return r.data.decode()
        wait_for(lambda: "store: up\n" in ready(), "the store up")
        assert ready().startswith("ready: instructions are given "
                                  "(GET:https://setup.test/installers/stable.exe by default)\n")
        held = hold_write_lock(database, "hosts")
        try:
            wait_for(lambda: "store: down, requests are spooled" in ready(), "the store down")
            # Requests that go to the spool meanwhile are named too.
            held.execute("ROLLBACK")
            held.close()
            held = hold_write_lock(database, "requests")
            client.get("/getinstaller?key=a&version=1%2C0%2C0%2C0&id=" + "A" * 40)
            assert "1 requests or reports in this host's spool" in ready()
        finally:
            held.execute("ROLLBACK")
            held.close()
        wait_for(lambda: ready().endswith("store: up\n"), "the store back, the spool written")
        # Neither is recorded: the one request above is all there is.
        assert len(store.recent_requests(10)) == 1
    finally:
        store.close()


def test_readiness_needs_a_configuration_and_the_store_state_its_heartbeat():
    config = parse_config(tomllib.loads(CONFIG))
    assert readiness(config, "up")[0] == 200
    status, lines = readiness(None, "up")
    assert status == 503 and lines[0].startswith("not ready")
    maintenance = parse_config(tomllib.loads(CONFIG.replace("enabled = false", "enabled = true")))
    assert readiness(maintenance, "up")[1][0] == (
        "ready: instructions are given (GOTO:https://setup.test/notice/maintenance to every "
        "launcher: maintenance)")
    # A heartbeat waiting on the store: up to its patience, then down.
    assert store_state((True, 0.0), 10.0, 0, 10.0 + BEAT_PATIENCE) == "up"
    assert store_state((True, 0.0), 10.0, 0, 10.01 + BEAT_PATIENCE).startswith("down")
    assert store_state((False, 5.0), None, 0, 6.0).startswith("down")
    assert store_state(None, None, 0, 1.0) == "not known yet"
    assert store_state(None, None, 2, 1.0).startswith("down, requests are spooled (2 ")
