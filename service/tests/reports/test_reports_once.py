"""Every error or crash report stored once, on SQLite and a real PostgreSQL:
a report retried with nginx's id, one spooled while the database could not
take it, and one both spooled and stored by another host."""

import re

from conftest import hold_write_lock
from quillo_service.reports.records import find_event

ERROR = ("/error/?source=gatherkit&code=206&message={message}&error=0x800b0100"
         "&version=0%2C1%2C0%2C220&os=6%2E1&key=k")
REFERENCE = re.compile(r"<strong>([A-Z2-7]{4}-[A-Z2-7]{4})</strong>")


def report(client, message, rid=None):
    """The reference the page of one report showed."""
    r = client.get(ERROR.format(message=message), headers={"X-Request-Id": rid} if rid else {})
    assert r.status_code == 200
    return REFERENCE.search(r.text).group(1)


def stored(store, message):
    return [row["reference"] for row in store.rows(
        f"SELECT reference FROM events WHERE message = {store.placeholder}", (message,))]


def test_a_report_of_one_id_is_stored_once_under_the_reference_shown(client, app):
    store = app.extensions["quillo"].store
    rid = "ab" * 16
    shown = [report(client, "retried", rid) for _ in range(2)]  # the front's retry
    assert shown[0] == shown[1] and stored(store, "retried") == shown[:1]
    assert report(client, "retried", "cd" * 16) != shown[0]  # another report of its own
    for _ in range(2):  # straight to gunicorn, without an id: each stored as it comes
        report(client, "no id")
    assert len(stored(store, "retried")) == 2 and len(set(stored(store, "no id"))) == 2



def test_a_report_the_store_cannot_take_is_spooled_and_stored_once(client, app, database,
                                                                   monkeypatch):
    store = app.extensions["quillo"].store
    monkeypatch.setattr(store, "_replay_later", lambda: None)  # replayed by hand below
    store.check()
    locked = hold_write_lock(database, "events")
    try:
        spooled = report(client, "spooled", "01" * 16)
        # This one the front retries on another host, which stores it.
        both = report(client, "both", "02" * 16)
    finally:
        locked.execute("ROLLBACK")
        locked.close()
    assert store.count("events") == 0 and store.spool.pending()
    assert report(client, "both", "02" * 16) == both
    assert store.replay_spool() == 1 and store.replay_spool() == 0
    assert stored(store, "spooled") == [spooled] and stored(store, "both") == [both]
    assert find_event(store, spooled)["code"] == "206"
