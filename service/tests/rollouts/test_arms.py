"""A request is counted in the arm it was answered in: whatever the
configuration says later, wherever the request waited before it was
stored, and within the counts' bound of the traffic."""

import os
import random
import time

import pytest
from conftest import GUARDED, KEY, RULE, hold_write_lock
from test_rollouts import BETA, STABLE, guarded_app, machine  # noqa: F401 (a fixture)

from quillo_service.background import Scheduler
from quillo_service.config import load_config
from quillo_service.ingest import fallback
from quillo_service.ingest.positions import ingest_rows
from quillo_service.launcher.rules import in_rollout
from quillo_service.rollouts import changes, counting
from quillo_service.rollouts.queries import RolloutQueries

# After the guarded rule, a rule that answers its control.
LATER = '''
[[rules]]
name = "the rest"
key_prefix = "0123"
channel = "stable"
'''
RENAMED = "renamed release"
EDITS = {
    "renamed": lambda text: text.replace(f'name = "{RULE}"', f'name = "{RENAMED}"'),
    # The rule that answered the control now comes first.
    "reordered": lambda text: text.replace(LATER, "").replace(
        '[[rules]]\nname = "vip"', LATER.strip() + '\n\n[[rules]]\nname = "vip"'),
    "its share and conditions edited": lambda text: text.replace(
        "steps = [50, 100]", "steps = [5, 100]").replace('key_prefix = "0123"\nrollout',
                                                         'key_prefix = "9"\nrollout'),
}


def in_and_out():
    """A machine in the rule's share at 50 % and one outside it."""
    rng = random.Random(11)
    found = {}
    while len(found) < 2:
        mid, ip = machine(rng)
        found.setdefault(in_rollout(RULE, mid, 50), (mid, ip))
    return found[True], found[False]


def ask(client, mid, ip):
    return client.get(f"/getinstaller?key={KEY}&version=0,1,0,220&id={mid}",
                      headers={"X-Real-IP": ip}).data


def edited(write_config, edit):
    text = edit(GUARDED.format(steps="50, 100") + LATER)
    assert text != GUARDED.format(steps="50, 100") + LATER
    return load_config(write_config(text, name="edited.toml"))


@pytest.mark.parametrize("edit", EDITS, ids=list(EDITS))
def test_a_request_stays_in_the_arm_it_was_answered_in(guarded_app, write_config, edit):
    app = guarded_app("50, 100", extra=LATER)
    store, client = app.extensions["quillo"].store, app.test_client()
    inside, outside = in_and_out()
    assert ask(client, *inside) == BETA and ask(client, *outside) == STABLE
    # A request without a machine id reached the rule but is in no arm.
    assert client.get(f"/getinstaller?key={KEY}&version=0,1,0,220").data == STABLE
    changes.tick(store, edited(write_config, EDITS[edit]), now=time.time() + 10)
    assert RolloutQueries(store).health(RULE, 0) == {"rule": (1, 0), "control": (1, 0)}
    assert RolloutQueries(store).health(RENAMED, 0) == {}


def test_a_spooled_request_keeps_its_arm(guarded_app, write_config, database):
    app = guarded_app("50, 100", extra=LATER)
    store, client = app.extensions["quillo"].store, app.test_client()
    inside, outside = in_and_out()
    writer = hold_write_lock(database)  # the database cannot take the requests in time
    try:
        assert ask(client, *inside) == BETA and ask(client, *outside) == STABLE
    finally:
        writer.execute("ROLLBACK")
        writer.close()
    store.replay_spool()
    assert sorted(r["arms"] for r in store.recent_requests(10)) == ["+" + RULE, "-" + RULE]
    changes.tick(store, edited(write_config, EDITS["renamed"]), now=time.time() + 10)
    assert RolloutQueries(store).health(RULE, 0) == {"rule": (1, 0), "control": (1, 0)}


def test_an_answer_nginx_gave_is_in_no_arm(guarded_app, tmp_path):
    app = guarded_app("50, 100")
    state = app.extensions["quillo"]
    inside, outside = in_and_out()
    log = tmp_path / "fallback.log"
    log.write_bytes(b"".join(
        b"%.3f 203.0.113.7 GET /getinstaller?key=%s&version=0,1,0,220&id=%s HTTP/1.1\n"
        % (time.time() - 20, KEY.encode(), mid.encode()) for mid, _ in (inside, outside)))
    assert fallback.Ingester(state.store, str(log), state.watcher.current).ingest() == (2, 0)
    assert [r["arms"] for r in state.store.recent_requests(10)] == [None, None]
    changes.tick(state.store, state.watcher.current(), now=time.time() + 10)
    assert RolloutQueries(state.store).health(RULE, 0) == {}


def test_the_counts_keep_up_within_their_bound_while_a_log_is_read(guarded_app, tmp_path):
    app = guarded_app("50, 100")
    state = app.extensions["quillo"]
    folder = tmp_path / "front"
    folder.mkdir()
    # A log read before, whose disk no longer answers: its reader waits in open().
    log = folder / fallback.LOG
    os.mkfifo(log)
    st = os.stat(log)
    assert ingest_rows(state.store, fallback.position_name(str(log)), ("", 0),
                       (f"{st.st_dev}:{st.st_ino}", 0), "requests", [])
    # This host's logs and the shared work, on their own lanes: the guard's
    # keeps counting while the logs' lane waits.
    loop = Scheduler(state.store, state.watcher.current).add_host_jobs(
        str(folder), state.watcher).add_housekeeping().start()
    try:
        inside, outside = in_and_out()
        client = app.test_client()
        ask(client, *inside)
        ask(client, *outside)
        answered = time.monotonic()
        while RolloutQueries(state.store).health(RULE, 0) != {"rule": (1, 0),
                                                               "control": (1, 0)}:
            assert time.monotonic() - answered <= counting.BEHIND
            time.sleep(0.2)
        # Nor does the heartbeat wait for the log.
        assert loop.host in {h["name"] for h in state.store.hosts()}
    finally:
        loop.stop()
        try:  # the reader goes on, to a plain file, and ends
            fd = os.open(log, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            fd = None
        os.unlink(log)
        log.write_bytes(b"")
        if fd is not None:
            os.close(fd)
