"""The console's named users, kept in the store: each logs in and acts as
itself, a read-only one changes nothing, a removed one is refused; and what
the 401 page tells when nobody can log in yet."""

import base64
import io
import re
import sys
import time
from pathlib import Path

from conftest import ADMIN, CONFIG, GOOD, GUARDED, PASSWORD, RULE, confirmation

from quillo_service import __main__ as cli
from quillo_service import create_app
from quillo_service.admin import auth
from quillo_service.admin.users import Users
from quillo_service.rollouts import changes
from quillo_service.rollouts.queries import RolloutQueries


def basic(user, password):
    return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}


def add_user(monkeypatch, path, name, *flags, password=PASSWORD):
    """scripts/quillo users PATH add NAME, the password on standard input."""
    monkeypatch.setattr(sys, "stdin", io.StringIO(password + "\n"))
    return cli.main(["users", path, "add", name, *flags])


def actions(html):
    return re.findall(r'name="action" value="(\w+)"', html)


def test_store_users_act_as_themselves_a_read_only_one_changes_nothing_a_removed_one_is_refused(
        database, write_config, monkeypatch, capsys):
    auth._accepted.clear()
    path = write_config(GUARDED.format(steps="25, 50, 100") + ADMIN)
    app = create_app(path, database=database, proxies="127.0.0.1")
    state = app.extensions["quillo"]
    state.scheduler.stop()
    changes.tick(state.store, state.watcher.current())
    monkeypatch.setenv("QUILLO_SERVICE_DATABASE", database)
    assert add_user(monkeypatch, path, "ana") == 0
    assert add_user(monkeypatch, path, "rui", "--read-only") == 0
    client = app.test_client()

    def page(headers):
        r = client.get("/admin/rollouts", headers=headers)
        assert r.status_code == 200
        html = r.data.decode()
        token = re.search(r'name="token" value="([^"]+)"', html)
        return html, token and token.group(1)

    def act(headers, action, token):
        return client.post("/admin/rollouts/act", headers=headers,
                           data={"rule": RULE, "action": action, "token": token, "why": "w"})

    ana = basic("ana", PASSWORD)
    html, ana_token = page(ana)
    assert actions(html) == ["halt", "advance"]
    assert act(GOOD, "halt", ana_token).status_code == 403  # ana's token is no good to boss
    assert act(ana, "halt", ana_token).status_code == 303
    html, boss_token = page(GOOD)
    asked = act(GOOD, "resume", boss_token)
    assert asked.status_code == 200  # a resume asks first
    assert client.post("/admin/rollouts/act", headers=GOOD,
                       data=confirmation(asked.data.decode())).status_code == 303

    # rui sees the page without its forms, and a token of rui's own is refused.
    html, _ = page(basic("rui", PASSWORD))
    assert actions(html) == [] and "Your user, rui, is read-only" in html
    rui_token = auth.form_token({auth.LOGIN: ("rui", Users(state.store).find("rui")[0])},
                                time.time())
    r = act(basic("rui", PASSWORD), "halt", rui_token)
    assert r.status_code == 403 and "rui, is read-only" in r.data.decode()
    assert RolloutQueries(state.store).states()[RULE]["state"] == "running"
    audit = RolloutQueries(state.store).audit(RULE)
    assert [(who, action) for _, _, who, action, _, _, _ in audit] == [
        ("console: rui", "halt refused"), ("console: boss", "resume"), ("console: ana", "halt"),
        ("console: boss", "halt refused"), ("guard", "start")]
    assert audit[0][6] == "the user is read-only"

    # Remembered or not, a removed user, or an old password, is refused at once.
    assert cli.main(["users", path, "remove", "ana"]) == 0
    assert cli.main(["users", path, "remove", "rui"]) == 0
    assert add_user(monkeypatch, path, "rui", password="another password") == 0
    for headers in (ana, basic("rui", PASSWORD)):
        assert client.get("/admin/rollouts", headers=headers).status_code == 401
    html, _ = page(basic("rui", "another password"))
    assert actions(html) == ["halt", "advance"]  # no longer read-only
    state.store.close()


def test_the_401_page_says_how_to_make_a_user(database, write_config, monkeypatch):
    auth._accepted.clear()
    path = write_config(CONFIG)
    app = create_app(path, database=database, proxies="127.0.0.1")
    state, client = app.extensions["quillo"], app.test_client()
    r = client.get("/admin/")
    assert r.status_code == 401 and r.headers["WWW-Authenticate"].startswith("Basic ")
    assert ("No one can open the console yet: make a user with scripts/quillo users "
            f"{Path(path).resolve()} add NAME") in r.data.decode()
    # Nobody's name still costs one hash check, with no hash to check it against.
    checked = []
    monkeypatch.setattr(auth, "check_password_hash", lambda h, p: checked.append(p) or True)
    env = {"HTTP_AUTHORIZATION": basic("root", PASSWORD)["Authorization"]}
    assert auth.check(env, None, state.store, time.time()) == "wrong" and checked == [PASSWORD]
    monkeypatch.undo()

    assert Users(state.store).add("ana", auth.make_hash(PASSWORD), read_only=False)
    r = client.get("/admin/", headers=basic("ana", "wrong"))
    text = r.data.decode()
    assert r.status_code == 401 and r.headers["WWW-Authenticate"].startswith("Basic ")
    assert "needs the name and password of a console user" in text
    assert "scripts/quillo users FILE add NAME" in text and "No one can" not in text
    assert client.get("/admin/", headers=basic("ana", PASSWORD)).status_code == 200
    state.store.close()
