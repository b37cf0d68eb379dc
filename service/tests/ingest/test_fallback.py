"""nginx's own answer when the service cannot give one, and its way into the records.

The log reader runs against both stores; the rest runs through a real nginx
and gunicorn (service/stack.py), stopping and starting gunicorn in between.
"""

import gzip
import http.client
import os
import shutil
import socket
import ssl
import threading
import time

import pytest

from conftest import CONFIG, MACHINE, SECRET, wait_for
from quillo_service.clients import client_key, load_secret
from quillo_service.config import load_config
from quillo_service.ingest.fallback import Ingester, parse_line
from quillo_service.ingest.logs import machine_position_name, rotated_order
from quillo_service.db import open_store
from quillo_service.ingest.positions import ingest_position, ingest_rows
from stack import App, Stack, free_port, local_host

DEFAULT = b"GET:https://setup.test/installers/stable.exe"
MAINTENANCE = b"GOTO:https://setup.test/notice/maintenance"


def line(n, key=None, at=1765000000.0):
    key = key or f"k{n}"
    return (f"{at + n:.3f} 198.51.100.{n % 250} GET /getinstaller?key={key}"
            f"&version=0%2C1%2C0%2C220&id={MACHINE} HTTP/1.1\n").encode()


def fallback_rows(store):
    return [r for r in store.recent_requests(100000) if r["rule"] == "fallback"]


def test_a_log_line_is_read_exactly_once_through_rotation_restarts_and_garbage(
        store, tmp_path, write_config):
    config = load_config(write_config())
    log = tmp_path / "fallback.log"
    first = line(0, key=r"a\x22b\x5Cc")  # nginx escapes '"' and '\'
    log.write_bytes(first + line(1) + b"not a line of ours\n" + line(2))
    reader = Ingester(store, str(log), lambda: config, batch=len(first) + len(line(1)) + 5,
                      settle=0)
    assert reader.step() == (2, 0)  # a batch stops at its last whole line
    # logrotate moves the log; nginx writes to the old file until it reopens.
    os.rename(log, tmp_path / "fallback.log.1")
    with open(tmp_path / "fallback.log.1", "ab") as f:
        f.write(line(3))
    log.write_bytes(line(4) + line(5))
    # A restarted service (a new reader) goes on where the store says.
    assert Ingester(store, str(log), lambda: config, settle=0).ingest() == (4, 1)
    with open(log, "ab") as f:
        f.write(line(6) + line(7)[:20])  # nginx is still writing the last line
    assert Ingester(store, str(log), lambda: config, settle=0).ingest() == (1, 0)

    rows = sorted(fallback_rows(store), key=lambda r: r["recorded_at"])
    assert [r["bundle_key"] for r in rows] == ['a"b\\c'] + [f"k{n}" for n in range(1, 7)]
    assert {r["answer"] for r in rows} == {DEFAULT.decode()}
    # nginx logs the address; the store holds only its key.
    assert rows[1]["client"] == client_key("198.51.100.1", SECRET)
    assert rows[1]["recorded_at"] == 1765000001.0
    assert rows[1]["version"] == "0,1,0,220" and rows[1]["malformed"] == ""
    assert ingest_position(store, reader.name)[2] == 1  # the garbage line, counted


def test_an_answer_nginx_gave_keeps_the_marks_the_request_path_records(app, client, tmp_path):
    state = app.extensions["quillo"]
    query = "key=k&version=not-a-version&id=short"
    client.get("/getinstaller?" + query)
    served = state.store.recent_requests(1)[0]
    log = tmp_path / "fallback.log"
    log.write_bytes(f"1765000000.000 198.51.100.1 GET /getinstaller?{query} HTTP/1.1\n".encode())
    assert Ingester(state.store, str(log), state.watcher.current).ingest() == (1, 0)
    logged = state.store.recent_requests(1)[0]
    assert logged["rule"] == "fallback"
    assert (logged["malformed"], logged["cut"]) == (served["malformed"], served["cut"]) == (
        "id,version", "")


def lines(first, n):
    return b"".join(line(i) for i in range(first, first + n))


def append(path, data):
    with open(path, "ab") as f:  # nginx opens its log for appending
        f.write(data)


def logrotate(log, compress=False, delaycompress=True):
    """What logrotate does with `create` (and `compress`): log.N becomes
    log.N+1, the log log.1, a new empty log takes its place; then the
    newest rotated file (with delaycompress, the one before it) is gzipped
    and the plain one removed."""
    folder, base = log.parent, log.name
    for n in range(9, 0, -1):
        for ext in ("", ".gz"):
            if (folder / f"{base}.{n}{ext}").exists():
                os.rename(folder / f"{base}.{n}{ext}", folder / f"{base}.{n + 1}{ext}")
    os.rename(log, folder / f"{base}.1")
    log.write_bytes(b"")
    plain = folder / f"{base}.{2 if delaycompress else 1}"
    if compress and plain.exists():
        with open(plain, "rb") as f, gzip.open(f"{plain}.gz", "wb") as g:
            shutil.copyfileobj(f, g)
        os.remove(plain)


def new_file_on_inode(path, inode):
    """Creates an empty file at `path` on that freed inode, as the filesystem
    does (ext4 hands a freed inode out again soon)."""
    tries = [f"{path}.try{n}" for n in range(500)]
    try:
        for name in tries:
            open(name, "wb").close()
            if os.stat(name).st_ino == inode:
                os.rename(name, path)
                return
        pytest.fail(f"the filesystem of {path} gave no file inode {inode} again")
    finally:
        for name in tries:
            if os.path.exists(name):
                os.remove(name)


def read_all(store, log, config, expected):
    """Reads the log with a new reader (a restarted service), twice; the
    keys recorded must be those of lines 0 .. expected-1, each once."""
    for _ in range(2):  # a few lines a batch, most batches ending inside a line
        Ingester(store, str(log), lambda: config, settle=0, batch=300).ingest()
    keys = sorted(r["bundle_key"] for r in fallback_rows(store))
    assert keys == sorted(f"k{n}" for n in range(expected))


@pytest.mark.parametrize("compress, rotations", [(False, 2), (True, 3)],
                         ids=["renames", "delaycompress"])
def test_rotations_between_two_reads_lose_and_double_nothing(
        store, tmp_path, write_config, compress, rotations):
    config = load_config(write_config())
    log = tmp_path / "fallback.log"
    log.write_bytes(lines(0, 10))
    assert Ingester(store, str(log), lambda: config, settle=0).ingest() == (10, 0)
    append(log, lines(10, 10))
    for r in range(rotations):
        logrotate(log, compress)
        append(log, lines(20 + 10 * r, 10))
    if compress:
        assert sorted(n for n in os.listdir(tmp_path) if n.startswith("fallback")) == [
            "fallback.log", "fallback.log.1", "fallback.log.2.gz", "fallback.log.3.gz"]
    written = 20 + 10 * rotations
    read_all(store, log, config, written)
    append(log, line(written))
    read_all(store, log, config, written + 1)


def test_a_new_log_on_the_inode_of_the_old_one_is_read_from_its_start(
        store, tmp_path, write_config):
    config = load_config(write_config())
    log = tmp_path / "fallback.log"
    log.write_bytes(lines(0, 10))
    assert Ingester(store, str(log), lambda: config, settle=0).ingest() == (10, 0)
    append(log, lines(10, 10))
    inode = os.stat(log).st_ino
    # compress without delaycompress: the rotated file is gzipped at once,
    # which frees its inode for the next log the filesystem creates.
    logrotate(log, compress=True, delaycompress=False)
    os.remove(log)
    new_file_on_inode(log, inode)
    append(log, lines(20, 20))  # longer than what was read of the old one
    read_all(store, log, config, 40)
    assert ingest_position(
        store, Ingester(store, str(log), lambda: config).name)[2] == 0  # no line taken apart


def test_a_rotated_log_caught_while_gzip_writes_it_is_read_from_the_complete_file(
        store, tmp_path, write_config, monkeypatch):
    config = load_config(write_config())
    log, rotated = tmp_path / "fallback.log", tmp_path / "fallback.log.1"
    log.write_bytes(lines(0, 6))
    reader = Ingester(store, str(log), lambda: config, settle=0, batch=2 * len(line(0)) + 5)
    assert reader.step() == (2, 0)
    os.rename(log, rotated)
    log.write_bytes(lines(6, 2))
    # logrotate's gzip has written half of the .gz; the plain file is still there.
    packed = gzip.compress(lines(0, 6))
    (tmp_path / "fallback.log.1.gz").write_bytes(packed[:len(packed) // 2])
    assert reader.step() == (2, 0)
    (tmp_path / "fallback.log.1.gz").write_bytes(packed)  # done: gzip removes the plain file
    os.remove(rotated)
    assert reader.ingest() == (4, 0)

    # Next rotation: gzip ends, and removes the plain file, between the
    # reader's listing of the folder and its look at each file.
    os.rename(tmp_path / "fallback.log.1.gz", tmp_path / "fallback.log.2.gz")
    os.rename(log, rotated)
    append(rotated, line(8))  # nginx has not reopened its log yet
    log.write_bytes(line(9))
    (tmp_path / "fallback.log.1.gz").write_bytes(gzip.compress(rotated.read_bytes()))
    os.remove(rotated)
    listdir = os.listdir
    monkeypatch.setattr(os, "listdir", lambda folder: listdir(folder) + [rotated.name])
    assert reader.ingest() == (2, 0)
    monkeypatch.undo()
    assert sorted(r["bundle_key"] for r in fallback_rows(store)) == sorted(
        f"k{n}" for n in range(10))


def test_copytruncate_loses_and_doubles_nothing(store, tmp_path, write_config):
    config = load_config(write_config())
    log = tmp_path / "fallback.log"
    log.write_bytes(lines(0, 10))
    assert Ingester(store, str(log), lambda: config, settle=0).ingest() == (10, 0)
    append(log, lines(10, 10))
    # logrotate's copytruncate: a copy, then the log cut to nothing in place,
    # where nginx goes on appending.
    shutil.copyfile(log, str(log) + ".1")
    os.truncate(log, 0)
    append(log, lines(20, 20))
    read_all(store, log, config, 40)
    append(log, line(40))
    read_all(store, log, config, 41)


def test_a_position_stored_before_the_first_bytes_were_kept_is_followed_through_gzip(
        store, tmp_path, write_config):
    config = load_config(write_config())
    log = tmp_path / "fallback.log"
    log.write_bytes(lines(0, 2))
    reader = Ingester(store, str(log), lambda: config, settle=0)
    st = os.stat(log)  # read to its end by an earlier version, which kept dev:inode only
    assert ingest_rows(store, reader.name, ("", 0),
                       (f"{st.st_dev}:{st.st_ino}", len(lines(0, 2))), "requests", [])
    assert reader.ingest() == (0, 0)
    logrotate(log, compress=True, delaycompress=False)  # the inode goes
    append(log, lines(2, 2))
    assert reader.ingest() == (2, 0)
    assert sorted(r["bundle_key"] for r in fallback_rows(store)) == ["k2", "k3"]


def test_a_crash_tail_or_a_batch_without_a_line_end_is_skipped_and_reading_goes_on(
        store, tmp_path, write_config):
    config = load_config(write_config())
    log = tmp_path / "fallback.log"
    batch = 500
    # A crash leaves zeros where nginx's last lines were; nginx appends after them.
    log.write_bytes(line(0) + b"\0" * 300 + line(1) + b"x" * batch + line(2)
                    + b"x" * (batch + 1) + line(3))
    reader = Ingester(store, str(log), lambda: config, batch=batch, settle=0)
    assert reader.ingest() == (3, 4)  # a batch longer than a batch takes the next line along
    assert sorted(r["bundle_key"] for r in fallback_rows(store)) == ["k0", "k1", "k2"]


def test_a_logged_answer_is_skipped_when_its_request_was_recorded_already(
        store, tmp_path, write_config):
    # In maintenance, nginx's answer is the maintenance answer.
    config = load_config(write_config(CONFIG.replace("enabled = false", "enabled = true")))
    at = 1765000000.0
    ids = ["%032x" % n for n in range(4)]
    for n, rid in enumerate(ids[:2]):  # recorded by a worker that then died
        store.record_request(at - 3600, "127.0.0.1", f"served{n}", None,
                             None, "GET:x", "served", "", "", rid)
    log = tmp_path / "fallback.log"
    # The last answered without asking gunicorn (over the address's limit,
    # on the host the front tried next): the same id, the same rule.
    log.write_bytes(b"".join(f"{at:.3f} 198.51.100.1 {rid} {'-' if n == 4 else 502} GET "
                             f"/getinstaller?key=logged{n} HTTP/1.1\n".encode()
                             for n, rid in enumerate(ids + ids[1:2])))
    assert Ingester(store, str(log), lambda: config).ingest() == (2, 0)
    rows = fallback_rows(store)
    assert sorted(r["bundle_key"] for r in rows) == ["logged2", "logged3"]
    assert {r["answer"] for r in rows} == {MAINTENANCE.decode()}


def test_each_host_keeps_its_own_position_and_an_upgraded_host_reads_on(
        store, tmp_path, write_config, monkeypatch):
    config = load_config(write_config())
    log = tmp_path / "fallback.log"
    log.write_bytes(lines(0, 2))
    monkeypatch.delenv("QUILLO_SERVICE_HOST", raising=False)
    # Read before the host's name could be set: kept under the machine's name.
    before = Ingester(store, str(log), lambda: config,
                      name=machine_position_name("fallback", str(log)))
    assert before.ingest() == (2, 0)
    assert Ingester(store, str(log), lambda: config).ingest() == (0, 0)  # upgraded, unnamed
    append(log, lines(2, 1))
    monkeypatch.setenv("QUILLO_SERVICE_HOST", "web-a")  # named later: reads on
    assert Ingester(store, str(log), lambda: config).ingest() == (1, 0)
    assert ingest_position(store, before.name) == ("", 0, 0)  # one position, moved over
    # Another host whose own log is at the same path: a position of its own.
    assert Ingester(store, str(log), lambda: config, host="web-b").ingest() == (3, 0)
    append(log, lines(3, 1))
    for host in ("web-a", "web-b"):
        assert Ingester(store, str(log), lambda: config, host=host).ingest() == (1, 0)
    assert len(fallback_rows(store)) == 8


def test_rotated_files_are_known_by_logrotate_names_oldest_first():
    def oldest_first(names):
        return sorted(names, key=lambda n: rotated_order("fallback.log", n)[0])
    assert oldest_first(["fallback.log.1", "fallback.log.10.gz", "fallback.log.9.gz"]) == [
        "fallback.log.10.gz", "fallback.log.9.gz", "fallback.log.1"]
    assert oldest_first(["fallback.log-20261208", "fallback.log-20261130.gz"]) == [
        "fallback.log-20261130.gz", "fallback.log-20261208"]
    assert rotated_order("fallback.log", "fallback.log.2.gz")[1] is True
    for other in ("fallback.log", "fallback.log.1.tmp", "fallback.logx", "downloads.log.1"):
        assert rotated_order("fallback.log", other) is None


def test_concurrent_readers_take_each_line_once(store, tmp_path, write_config):
    config = load_config(write_config())
    log = tmp_path / "fallback.log"
    log.write_bytes(b"".join(line(n) for n in range(300)))
    errors = []

    def read():
        try:
            Ingester(store, str(log), lambda: config, batch=2000).ingest()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)
    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    keys = [r["bundle_key"] for r in fallback_rows(store)]
    assert sorted(keys) == sorted(f"k{n}" for n in range(300))


def test_parse_line_refuses_what_nginx_does_not_write():
    assert parse_line(line(1).rstrip(b"\n"))[2:] == (
        b"key=k1&version=0%2C1%2C0%2C220&id=" + MACHINE.encode(), None, None)
    rid = "0123456789abcdef0123456789abcdef"
    assert parse_line(f"1765000000.5 ::1 {rid} 502 GET /getinstaller?key=a HTTP/1.1".encode()) \
        == (1765000000.5, "::1", b"key=a", rid, "502")
    assert parse_line(f"1765000000.5 ::1 {rid} - GET /getinstaller HTTP/1.1".encode())[3:] \
        == (rid, "-")
    assert parse_line(b"1765000000.000 198.51.100.1 GET /getinstaller HTTP/1.1")[2] == b""
    for bad in (b"", b"x 198.51.100.1 GET /getinstaller?key=a HTTP/1.1",
                b"1765000000.000 198.51.100.1 POST /getinstaller?key=a HTTP/1.1",
                b"1765000000.000 198.51.100.1 GET /getinstallers?key=a HTTP/1.1"):
        assert parse_line(bad) is None


# -- through nginx and gunicorn ------------------------------------------------------

@pytest.fixture(scope="module")
def stack(tmp_path_factory):
    root = tmp_path_factory.mktemp("fallback")
    config = root / "service.toml"
    config.write_text(CONFIG)
    # Two requests a second per address: a short burst goes over the limit.
    s = Stack(local_host(root / "state", free_port(), client_rate="2r/s", client_burst=1),
              App(root / "state", str(config), database=f"sqlite:///{root}/q.db", workers=1,
                  threads=2))
    with s:
        s.store = open_store(s.database,
                             client_secret=load_secret(str(root / "client.secret"), create=False))
        yield s
        s.store.close()


def ask(stack, query, path="/getinstaller"):
    conn = http.client.HTTPSConnection(
        "localhost", stack.port, timeout=30,
        context=ssl.create_default_context(cafile=stack.ca))
    try:
        conn.request("GET", f"{path}?{query}")
        r = conn.getresponse()
        return r.status, dict(r.getheaders()), r.read()
    finally:
        conn.close()


def keyed(stack, key):
    return [r for r in stack.store.recent_requests(100000) if r["bundle_key"] == key]


def test_gunicorn_stopped_the_launcher_gets_the_instruction_and_it_is_recorded_once(stack):
    time.sleep(1.1)  # under the per-address limit
    status, service_headers, body = ask(stack, "key=up")
    assert (status, body) == (200, DEFAULT)
    stack.stop_gunicorn()
    try:
        status, headers, body = ask(stack, f"key=down&version=0%2C1%2C0%2C220&id={MACHINE}")
        assert (status, body) == (200, DEFAULT)
        # What the launcher sees is the service's answer; only the file's
        # date is extra.
        same = ("Content-Type", "Content-Length", "Cache-Control", "Strict-Transport-Security")
        assert {h: headers.get(h) for h in same} == {h: service_headers.get(h) for h in same}
        assert set(headers) - set(service_headers) == {"Last-Modified"}
        assert headers["Strict-Transport-Security"] == "max-age=31536000"
        # nginx refuses a request line over 8 KiB before it picks a location;
        # the server still turns that into the instruction, for this path only.
        assert ask(stack, "key=" + "x" * 9000)[::2] == (200, DEFAULT)
        assert ask(stack, "key=" + "x" * 9000, path="/notice/update")[0] == 414
    finally:
        stack.start_gunicorn()
    wait_for(lambda: keyed(stack, "x" * 1023), "the cut request")
    [row] = keyed(stack, "down")
    assert (row["rule"], row["answer"], row["machine_id"], row["client"]) == (
        "fallback", DEFAULT.decode(), MACHINE, client_key("127.0.0.1", stack.store.client_secret))
    assert keyed(stack, "x" * 1023)[0]["cut"] == "key"
    # A restarted service reads the log again from where it stopped.
    stack.stop_gunicorn()
    ask(stack, "key=after-restart")
    stack.start_gunicorn()
    wait_for(lambda: keyed(stack, "after-restart"), "the request after the restart")
    assert len(keyed(stack, "down")) == 1 and len(keyed(stack, "up")) == 1


def test_over_the_address_limit_every_request_gets_the_instruction_and_a_record(stack):
    time.sleep(1.1)
    answers = [ask(stack, f"key=flood{i}")[::2] for i in range(8)]
    assert answers == [(200, DEFAULT)] * 8
    wait_for(lambda: all(keyed(stack, f"flood{i}") for i in range(8)), "all 8 requests")
    rows = [r for i in range(8) for r in keyed(stack, f"flood{i}")]
    assert len(rows) == 8
    assert {r["rule"] for r in rows} == {"default", "fallback"}


def test_maintenance_reaches_the_fallback_answer(stack):
    config = stack.config
    answer = os.path.join(stack.fallback_dir, "answer.txt")
    try:
        with open(config, "w") as f:
            f.write(CONFIG.replace("enabled = false", "enabled = true"))
        wait_for(lambda: open(answer, "rb").read() == MAINTENANCE, "the maintenance answer")
        stack.stop_gunicorn()
        try:
            assert ask(stack, "key=maint")[::2] == (200, MAINTENANCE)
        finally:
            stack.start_gunicorn()
    finally:
        with open(config, "w") as f:
            f.write(CONFIG)
    wait_for(lambda: open(answer, "rb").read() == DEFAULT, "the default answer again")
    wait_for(lambda: keyed(stack, "maint"), "the request in maintenance")


def test_rotation_in_the_middle_of_reading_loses_and_doubles_nothing(stack):
    stack.stop_gunicorn()
    try:
        time.sleep(1.1)
        for i in range(3):
            assert ask(stack, f"key=rot{i}")[::2] == (200, DEFAULT)
        log = stack.fallback_log
        # nginx writes its log line after the answer has gone out.
        wait_for(lambda: open(log, "rb").read().count(b" /getinstaller?key=rot") == 3,
                 "the three lines in the log")
        tail = open(log, "rb").read().splitlines(True)[-3:]
        # This process reads the first of the three, as a worker would ...
        start = os.path.getsize(log) - len(b"".join(tail))
        reader = Ingester(stack.store, log, lambda: load_config(stack.config))
        file, position, _ = ingest_position(stack.store, reader.name)
        assert position <= start
        reader.batch = start - position + len(tail[0])
        assert reader.step() is not None
        # ... then logrotate moves the log away and has nginx reopen it.
        os.rename(log, log + ".1")
        stack.reopen_nginx_logs()
        wait_for(lambda: os.path.exists(log), "nginx's new log")
        time.sleep(1.1)
        for i in range(3, 5):
            assert ask(stack, f"key=rot{i}")[::2] == (200, DEFAULT)
        wait_for(lambda: b"key=rot4" in open(log, "rb").read() + open(log + ".1", "rb").read(),
                 "the last line in the log")
        with open(log, "ab") as f:
            f.write(b"a line nginx never wrote\n")
    finally:
        stack.start_gunicorn()
    wait_for(lambda: keyed(stack, "rot4"), "the requests after the rotation")
    assert [len(keyed(stack, f"rot{i}")) for i in range(5)] == [1] * 5
    wait_for(lambda: ingest_position(stack.store, reader.name)[2] == 1, "the garbage counted")


def test_service_failing_or_killed_after_recording_counts_each_request_once(stack):
    """In gunicorn's place, a server that answers 500 or 503, or records the
    request as a worker would and dies before it answers (nginx: 502)."""
    stack.stop_gunicorn()
    path = stack.upstream[len("unix:"):]
    fake = socket.socket(socket.AF_UNIX)
    fake.bind(path)
    fake.listen(8)

    def serve():
        while True:
            try:
                conn, _ = fake.accept()
            except OSError:
                return
            with conn:
                head = b""
                while b"\r\n\r\n" not in head:
                    head += conn.recv(4096)
                key = head.split(b"key=")[1].split(b" ")[0].decode()
                if key.startswith("failed"):
                    conn.sendall(b"HTTP/1.1 %s Oops\r\nContent-Length: 0\r\n\r\n" % key[6:9].encode())
                    continue
                rid = [h.split(b": ")[1] for h in head.split(b"\r\n")
                       if h.lower().startswith(b"x-request-id: ")][0].decode()
                stack.store.record_request(None, "127.0.0.1", key, None, None, "GET:x",
                                           "served", "", "", rid)
    threading.Thread(target=serve, daemon=True).start()
    try:
        time.sleep(1.1)
        for key in ("failed500", "failed503", "killed"):
            assert ask(stack, f"key={key}")[::2] == (200, DEFAULT)
            time.sleep(0.6)
    finally:
        fake.close()
        os.remove(path)
        stack.start_gunicorn()
    time.sleep(0.6)
    stack.stop_gunicorn()  # refused outright: a line after the others
    try:
        assert ask(stack, "key=after-killed")[::2] == (200, DEFAULT)
    finally:
        stack.start_gunicorn()
    wait_for(lambda: keyed(stack, "after-killed"), "the last request")
    assert [r["rule"] for k in ("failed500", "failed503", "killed") for r in keyed(stack, k)] \
        == ["fallback", "fallback", "served"]
