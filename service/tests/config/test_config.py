"""Picking up edits of the configuration file, and surviving broken ones."""

import logging
import os
import time

import pytest

from conftest import CONFIG
from quillo_service import create_app  # noqa: E402
from quillo_service.config import ConfigError, ConfigWatcher


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


def rewrite(path, text):
    with open(path, "w") as f:
        f.write(text)
    st = os.stat(path)  # make sure the change shows even within one clock tick
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000))


def test_edits_are_picked_up_at_most_once_a_second(write_config, caplog):
    path = write_config()
    clock = Clock()
    w = ConfigWatcher(path, clock=clock, settle=0)
    assert w.current().maintenance is False

    rewrite(path, CONFIG.replace("enabled = false", "enabled = true"))
    clock.now += 0.5
    assert w.current().maintenance is False  # not looked at yet
    clock.now += 0.6
    assert w.current().maintenance is True

    # A broken edit keeps the last good configuration and says why, once.
    caplog.set_level(logging.ERROR, logger="quillo_service")
    rewrite(path, CONFIG.replace('default_channel = "stable"', 'default_channel = "gone"'))
    for _ in range(3):
        clock.now += 1.1
        assert w.current().maintenance is True
    assert len([r for r in caplog.records if "not reloaded" in r.message]) == 1
    assert "gone" in caplog.text

    # A removed file too; a fixed file is taken again.
    os.remove(path)
    clock.now += 1.1
    assert w.current().maintenance is True
    rewrite(path, CONFIG)
    clock.now += 1.1
    assert w.current().maintenance is False


def test_a_file_rewritten_in_place_is_taken_only_when_whole(write_config, monkeypatch):
    path = write_config()
    clock = Clock()
    w = ConfigWatcher(path, clock=clock)

    def check(age=None):
        if age is not None:  # the file was last written `age` seconds ago
            os.utime(path, (time.time() - age, time.time() - age))
        clock.now += 1.1
        return w.current()

    head = CONFIG[:CONFIG.index("[[rules]]")]  # valid TOML, without its rules
    with open(path, "w") as f:
        f.write(head)
    assert len(check().rules) == 4  # just written: may be half of the file
    with open(path, "a") as f:
        f.write(CONFIG[len(head):])
    assert len(check(age=5).rules) == 4

    # Rewritten while it is parsed: what was parsed is not taken.
    from quillo_service import config as config_module
    parse = config_module.parse_config

    def racing(data, where):
        rewrite(path, head)
        os.utime(path, (time.time() - 4, time.time() - 4))
        return parse(data, where)

    rewrite(path, CONFIG.replace("enabled = false", "enabled = true"))
    monkeypatch.setattr(config_module, "parse_config", racing)
    assert check(age=5).maintenance is False
    monkeypatch.undo()
    rewrite(path, CONFIG.replace("enabled = false", "enabled = true"))
    assert check(age=3).maintenance is True and len(w.current().rules) == 4


def test_a_broken_file_stops_the_start(write_config, tmp_path, monkeypatch):
    monkeypatch.delenv("QUILLO_SERVICE_CONFIG", raising=False)
    path = write_config(CONFIG.replace("[channels]", "[channels]\nnightly = 'not an address'"))
    with pytest.raises(ConfigError, match="channels.nightly"):
        create_app(path, database=str(tmp_path / "q.db"))
    with pytest.raises(ConfigError, match="QUILLO_SERVICE_CONFIG"):
        create_app(None, database=str(tmp_path / "q.db"))


def test_an_unwritable_fallback_folder_stops_the_start(tmp_path, write_config):
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(ConfigError, match="QUILLO_SERVICE_FALLBACK"):
        create_app(write_config(), database=str(tmp_path / "q.db"),
                   fallback=str(blocker / "fallback"))


def test_the_client_secret_is_made_once_private_and_shared_by_hosts(tmp_path, postgres):
    import os
    from concurrent.futures import ThreadPoolExecutor
    from quillo_service.clients import load_secret
    from quillo_service.db import StoreError, open_store
    path = str(tmp_path / "state" / "client.secret")
    with ThreadPoolExecutor(8) as pool:  # workers starting together agree on one secret
        made = set(pool.map(lambda _: load_secret(path), range(8)))
    assert len(made) == 1 and os.stat(path).st_mode & 0o777 == 0o600
    assert sorted(os.listdir(tmp_path / "state")) == ["client.secret"]
    os.chmod(path, 0o640)
    with pytest.raises(ConfigError, match="chmod 600"):
        load_secret(path)
    # A host with another secret than the one the database knows is refused.
    from conftest import empty_postgres
    first = open_store(empty_postgres(postgres), client_secret=b"x" * 32)
    first.check()
    with pytest.raises(StoreError, match="another secret"):
        open_store(postgres.url, client_secret=b"y" * 32).check()
    first.forget_client_secret()  # the first secret was lost: a new one is taken
    open_store(postgres.url, client_secret=b"y" * 32).check()
    first._conn().execute("DROP SCHEMA public CASCADE")
    first._conn().execute("CREATE SCHEMA public")
    first.close()
