"""The console's users in headless chromium, through nginx and gunicorn: the
first user that scripts/serve makes where there is none, and a read-only
user who sees the Rollouts page without its forms and whose forged halt,
with a token of its own, is refused and shown in the history.

QUILLO_SCREENSHOTS=FOLDER keeps the read-only user's Rollouts page there as
rollouts-read-only.png."""

import base64
import os
import re
import ssl
import time
import urllib.error
import urllib.parse
import urllib.request

from conftest import GUARDED, PASSWORD, RULE, browse, needs_chromium

import stack
from quillo_service.admin import auth
from quillo_service.admin.users import Users
from quillo_service.db import open_store

pytestmark = needs_chromium


def fetch(site, path, user=None, password=PASSWORD, form=None):
    """(status, body) of a request through nginx."""
    headers = {}
    if user:
        headers["Authorization"] = "Basic " + base64.b64encode(
            f"{user}:{password}".encode()).decode()
    data = urllib.parse.urlencode(form).encode() if form is not None else None
    request = urllib.request.Request(site.url(path), data=data, headers=headers)
    context = ssl.create_default_context(cafile=site.ca)
    try:
        with urllib.request.urlopen(request, context=context, timeout=30) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def test_the_first_user_and_a_read_only_one_that_cannot_halt(tmp_path_factory, tmp_path,
                                                              capsys):
    root = tmp_path_factory.mktemp("users-browser")
    config = root / "service.toml"
    config.write_text(GUARDED.format(steps="1, 5, 25, 50, 100"))  # no [admin]
    database = f"sqlite://{root}/quillo.db"
    with stack.Stack(stack.local_host(root / "state", stack.free_port()),
                     stack.App(root / "state", str(config), database=database)) as site:
        status, body = fetch(site, "/admin/rollouts")
        assert status == 401 and "No one can open the console yet" in body
        password = stack.first_user(str(config), database, site.port)
        assert f"with user admin and password {password}" in capsys.readouterr().out
        store = open_store(database)
        assert Users(store).add("reader", auth.make_hash(PASSWORD), read_only=True)

        dom = browse(site, "/admin/rollouts", tmp_path, user="admin", password=password)
        assert re.findall(r'name="action" value="(\w+)"', dom) == ["halt", "advance"]
        shot = os.path.join(os.environ.get("QUILLO_SCREENSHOTS") or str(tmp_path),
                            "rollouts-read-only.png")
        browse(site, "/admin/rollouts", tmp_path, user="reader", screenshot=shot)
        with open(shot, "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"
        dom = browse(site, "/admin/rollouts", tmp_path, user="reader")
        assert RULE in dom and "<form class=\"act\"" not in dom and 'name="token"' not in dom
        assert "Your user, reader, is read-only" in dom

        # A halt forged with a token that is good for reader: refused all the same.
        token = auth.form_token({auth.LOGIN: ("reader", Users(store).find("reader")[0])},
                                time.time())
        status, body = fetch(site, "/admin/rollouts/act", "reader", form={
            "rule": RULE, "action": "halt", "why": "forged", "token": token})
        assert status == 403 and "reader, is read-only" in body
        dom = browse(site, "/admin/rollouts", tmp_path, user="admin", password=password)
        assert '<p class="banner"' not in dom
        history = dom[dom.index("History"):]
        assert "console: reader" in history and "halt refused" in history
        assert "the user is read-only" in history
        store.close()
