"""The endpoints through Flask's test client, recording into both stores."""

import re
import time

import psycopg

from conftest import CONFIG, KEY, MACHINE, SECRET
from quillo_service import create_app  # noqa: E402
from quillo_service.clients import client_key
from quillo_service.launcher.instructions import request_id
from quillo_service.reports.records import find_event, recent_events

QUERY = f"key={KEY}&version=0%2C1%2C0%2C220&id={MACHINE}"
CRASH = ("/error/?source=Gatherkit&code=0&message=0x00400000%3A0x00401A2B%3Ac0000005%3A"
         "Quillo%2Dsetup%2Eexe&error=0x0000023e&version=0&os=0&key=0")


def store_of(app):
    return app.extensions["quillo"].store


def test_instruction_answer_is_exactly_the_instruction(client, app):
    r = client.get("/getinstaller?key=acme42&version=0%2C1%2C0%2C220&id=" + MACHINE,
                   headers={"X-Real-IP": "203.0.113.7"})
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "text/plain"
    assert r.data == b"GET:https://setup.test/installers/campaign.exe"  # no line end
    row = store_of(app).recent_requests(1)[0]
    assert {k: row[k] for k in ("client", "bundle_key", "version", "machine_id", "answer",
                                "rule", "malformed", "cut")} == {
        "client": client_key("203.0.113.7", SECRET), "bundle_key": "acme42", "version": "0,1,0,220",
        "machine_id": MACHINE, "answer": "GET:https://setup.test/installers/campaign.exe",
        "rule": "acme", "malformed": "", "cut": ""}
    assert row["recorded_at"] > 1.6e9


def test_requests_are_stamped_by_the_database_clock(client, app):
    app.extensions["quillo"].clock = lambda: 1000.0  # a host whose clock is far off
    client.get("/getinstaller?" + QUERY)
    assert abs(store_of(app).recent_requests(1)[0]["recorded_at"] - time.time()) < 600


def test_every_request_is_recorded(client, app):
    for q in (QUERY, "", "key=acme", QUERY):
        assert client.get("/getinstaller?" + q).status_code == 200
    assert client.head("/getinstaller?" + QUERY).status_code == 200
    rows = store_of(app).recent_requests(10)
    assert len(rows) == 5
    assert rows[2]["malformed"] == "id,version" and rows[3]["malformed"] == "id,key,version"


def test_only_an_id_of_nginxs_32_hex_digits_is_kept(client, app):
    rid = "ab" * 16
    for value in (rid, rid + "c", rid[:-1] + "g", rid + "-x"):  # on the bound, one past, ...
        client.get("/getinstaller?" + QUERY, headers={"X-Request-Id": value})
    assert [r["request_id"] for r in store_of(app).recent_requests(4)[::-1]] == [
        rid, None, None, None]
    assert request_id({"HTTP_X_REQUEST_ID": rid + "\n"}) is None


def test_client_address_comes_from_the_proxy_only(client, app, database, write_config):
    client.get("/getinstaller?" + QUERY, headers={"X-Real-IP": "198.51.100.4"},
               environ_base={"REMOTE_ADDR": "203.0.113.50"})
    client.get("/getinstaller?" + QUERY, headers={"X-Real-IP": "not an address"})
    client.get("/getinstaller?" + QUERY, environ_base={"REMOTE_ADDR": ""},  # unix socket
               headers={"X-Real-IP": "2001:db8::1"})
    client.get("/getinstaller?" + QUERY, headers={"X-Real-IP": "192.0.2.1"},
               environ_base={"REMOTE_ADDR": "::ffff:127.0.0.1"})  # the proxy, IPv4 in IPv6
    rows = store_of(app).recent_requests(4)[::-1]
    assert [r["client"] for r in rows] == [client_key(a, SECRET) for a in (
        "203.0.113.50", "127.0.0.1", "2001:db8::1", "192.0.2.1")]
    # Without configured proxies a loopback peer is any local process: its
    # header is ignored, on every path that records an address.
    bare = create_app(write_config(), database=database, proxies="").test_client()
    bare.get("/getinstaller?" + QUERY, headers={"X-Real-IP": "198.51.100.5"},
             environ_base={"REMOTE_ADDR": "127.0.0.2"})
    bare.get("/error/?source=gatherkit&code=155&key=k", headers={"X-Real-IP": "198.51.100.6"})
    assert store_of(app).recent_requests(1)[0]["client"] == client_key("127.0.0.2", SECRET)
    assert recent_events(store_of(app), 1)[0]["client"] == client_key("127.0.0.1", SECRET)


def test_configuration_edits_apply_without_restart(client, app):
    path = app.extensions["quillo"].watcher.path
    with open(path, "w") as f:
        f.write(CONFIG.replace("enabled = false", "enabled = true"))
    r = client.get("/getinstaller?" + QUERY)
    assert r.data == b"GOTO:https://setup.test/notice/maintenance"
    assert store_of(app).recent_requests(1)[0]["rule"] == "maintenance"


def test_error_page_explains_and_records(client, app):
    r = client.get("/error/?source=gatherkit&code=206&message=Could%20not%20verify%20signature"
                   f"&error=0x800b0100&version=0%2C1%2C0%2C220&os=5%2E1&key={KEY}",
                   headers={"X-Real-IP": "192.0.2.8"})
    assert r.status_code == 200 and r.mimetype == "text/html"
    page = r.get_data(as_text=True)
    assert "not the genuine installer" in page
    assert 'href="https://dl.test/QuilloFull.exe"' in page
    assert "help@quillo.test" in page and "Could not verify signature" in page
    ref = re.search(r"<strong>([A-Z2-7]{4}-[A-Z2-7]{4})</strong>", page).group(1)
    e = find_event(store_of(app), ref)
    assert {k: e[k] for k in ("client", "kind", "source", "code", "message", "error", "version",
                              "os", "bundle_key", "code_number", "hresult", "module",
                              "malformed", "cut")} == {
        "client": client_key("192.0.2.8", SECRET), "kind": "error", "source": "gatherkit", "code": "206",
        "message": "Could not verify signature", "error": "0x800b0100",
        "version": "0,1,0,220", "os": "5.1", "bundle_key": KEY, "code_number": 206,
        "hresult": 0x800B0100, "module": None, "malformed": "", "cut": ""}


def test_codes_give_their_own_words(client):
    for code, words in ((215, "connection"), (484, "clock"), (475, "too old"),
                        (420, "damaged"), (155, "not understood"), (99999, "could not finish")):
        page = client.get(f"/error/?source=gatherkit&code={code}&message=&error=0x80004005"
                          "&version=0%2C1%2C0%2C220&os=6%2E1&key=").get_data(as_text=True)
        assert words in page, code


def test_crash_page_records_module_and_address(client, app):
    r = client.get(CRASH)
    page = r.get_data(as_text=True)
    assert r.status_code == 200 and "stopped unexpectedly" in page
    assert "Quillo-setup.exe at offset 0x1A2B" in page and "c0000005" in page
    e = recent_events(store_of(app), 1)[0]
    assert (e["kind"], e["module"], e["module_base"], e["address"], e["module_offset"],
            e["exception_code"], e["hresult"], e["malformed"]) == (
        "crash", "Quillo-setup.exe", 0x400000, 0x401A2B, 0x1A2B, 0xC0000005, 574, "")
    # No module: base and name null, as the launcher sends when it cannot tell.
    client.get(CRASH.replace("0x00400000", "0x00000000").replace("Quillo%2Dsetup%2Eexe",
                                                                 "%28null%29"))
    e = recent_events(store_of(app), 1)[0]
    assert (e["module"], e["module_base"], e["module_offset"], e["malformed"]) == \
        (None, 0, None, "")


def test_notice_and_problem_pages(client):
    assert "maintenance" in client.get("/notice/maintenance?key=x").get_data(as_text=True)
    assert client.get("/notice/update").status_code == 200
    for r, status in ((client.get("/notice/..%2F..%2Fetc%2Fpasswd"), 404),
                      (client.get("/nothing/here"), 404),
                      (client.post("/getinstaller?" + QUERY), 405),
                      (client.post("/error/", data="x" * 10000), 405)):
        assert r.status_code == status
        assert len(r.data) < 2000 and b"Traceback" not in r.data


def test_failures_show_no_details(client, app, monkeypatch):
    # An unexpected fault on a page gives a short page; /getinstaller still answers.
    def broken(*a, **k):
        raise RuntimeError("secret detail /etc/quillo database=postgresql://u:pw@h/db")
    monkeypatch.setattr("quillo_service.reports.pages.explain", broken)
    monkeypatch.setattr("quillo_service.launcher.instructions.decide", broken)
    r = client.get(CRASH)
    assert r.status_code == 500 and b"secret" not in r.data and b"Traceback" not in r.data
    r = client.get("/getinstaller?" + QUERY)
    assert (r.status_code, r.data) == (200, b"GET:https://setup.test/installers/stable.exe")


def test_a_failing_database_costs_records_not_answers(postgres, write_config, caplog):
    app = create_app(write_config(), database=postgres.url)
    client = app.test_client()
    assert client.get("/getinstaller?" + QUERY).status_code == 200
    with psycopg.connect(postgres.url, autocommit=True) as admin:
        # From now on every new session of the service can only read.
        admin.execute(f"ALTER DATABASE {postgres.database} SET default_transaction_read_only = on")
        admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                      "WHERE pid <> pg_backend_pid() AND datname = current_database()")
        shown = []
        try:
            for _ in range(5):
                r = client.get("/getinstaller?" + QUERY)
                assert (r.status_code, r.data) == (200, b"GET:https://setup.test/installers/"
                                                         b"stable.exe")
                page = client.get(CRASH)
                assert page.status_code == 200
                shown += re.findall(r"<strong>([A-Z2-7]{4}-[A-Z2-7]{4})</strong>", page.text)
        finally:
            admin.execute(f"ALTER DATABASE {postgres.database} "
                          "SET default_transaction_read_only = off")
    # Requests and reports went to the spool, and come back from it once,
    # each report under the reference its page showed.
    assert not [r for r in caplog.records if "not recorded" in r.message]
    store = app.extensions["quillo"].store
    store.close()  # its thread would write the spool in a few seconds
    assert len(set(shown)) == 5
    assert store.replay_spool() == 10 and store.count("requests") == 6
    assert store.replay_spool() == 0
    assert sorted(e["reference"] for e in recent_events(store, 5)) == sorted(shown)
    store.close()


def test_the_crash_page_offers_the_full_installer_once(client):
    page = client.get(CRASH).data.decode()
    assert page.count("full installer") == 1
    assert page.count('href="https://dl.test/QuilloFull.exe"') == 1
