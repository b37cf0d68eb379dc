"""Hostile queries: every one gets a sane answer, is recorded as it came (cut
and marked where too long), and is shown only escaped."""

import http.client
import ssl

import pytest

from conftest import CONFIG, KEY, MACHINE, SECRET
from quillo_service.clients import client_key
from quillo_service.reports.records import recent_events
from stack import App, Stack, free_port, local_host

STABLE = b"GET:https://setup.test/installers/stable.exe"
GOOD = f"version=0%2C1%2C0%2C220&id={MACHINE}"
ERROR = "/error/?source=gatherkit&code=215&error=0x80072efd&version=0%2C1%2C0%2C220&os=6%2E1"


def store_of(app):
    return app.extensions["quillo"].store


# query -> (bundle_key recorded, malformed, cut)
INSTRUCTION_CASES = {
    "key=%3Cscript%3Ealert(1)%3C%2Fscript%3E&" + GOOD: ("<script>alert(1)</script>", "", ""),
    "key=" + "a" * 2000 + "&" + GOOD: ("a" * 1023, "key", "key"),
    "key=acme" + "x" * 1100 + "&" + GOOD: ("acme" + "x" * 1019, "key", "key"),
    "key=" + "%C3%A9" * 600 + "&" + GOOD: ("\u00e9" * 511, "key", "key"),
    "key=%FF%FEacme&" + GOOD: ("\ufffd\ufffdacme", "key", ""),
    "key=acme%00&" + GOOD: ("acme\ufffd", "key", ""),
    "key=acme%0D%0AX-Injected:%201&" + GOOD: ("acme\r\nX-Injected: 1", "key", ""),
    "key='%20OR%201=1;%20DROP%20TABLE%20requests;--&" + GOOD:
        ("' OR 1=1; DROP TABLE requests;--", "", ""),
    "key=acme1&key=feedfeedfeedfeedfeedfeedfeedfeedfeedfeed&" + GOOD: ("acme1", "key", ""),
    "key=x&channel=beta&page=https%3A%2F%2Fevil.test&answer=GOTO:x&" + GOOD: ("x", "", ""),
    "key=" + KEY + "&version=99999999999&id=" + MACHINE: (KEY, "version", ""),
    "key=" + KEY + "&version=0,1,0,220%0A&id=" + MACHINE + "%0D%0A": (KEY, "id,version", ""),
    "key=" + KEY + "&version=" + "9" * 100 + "&id=" + MACHINE: (KEY, "version", "version"),
    "k%65y=" + KEY + "&" + GOOD: (KEY, "", ""),
    "key&version&id": ("", "id,key,version", ""),
    "&&&=&==": (None, "id,key,version", ""),
}


@pytest.mark.parametrize("query", list(INSTRUCTION_CASES))
def test_hostile_instruction_requests(client, app, query):
    r = client.get("/getinstaller?" + query)
    assert (r.status_code, r.data, r.headers["Content-Type"]) == (200, STABLE, "text/plain")
    assert "X-Injected" not in r.headers
    rows = store_of(app).recent_requests(5)
    assert len(rows) == 1  # one request, one record, and the table is still there
    key, malformed, cut = INSTRUCTION_CASES[query]
    assert (rows[0]["bundle_key"], rows[0]["malformed"], rows[0]["cut"], rows[0]["rule"]) == \
        (key, malformed, cut, "default")


def test_raw_bytes_in_the_query_line(client, app):
    # Bytes that were never percent-escaped arrive as they are.
    r = client.get("/getinstaller", query_string=b"key=\xc3\xa9\xff&" + GOOD.encode())
    assert r.data == STABLE
    assert store_of(app).recent_requests(1)[0]["bundle_key"] == "\u00e9\ufffd"


def test_markup_is_shown_escaped(client, app):
    page = client.get(
        ERROR + "&message=%3Cscript%3Ealert(1)%3C%2Fscript%3E"
        "&key=%22%3E%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E"
        "&full_installer=javascript:alert(1)").get_data(as_text=True)
    assert "<script>alert" not in page and "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert "<img" not in page and "javascript:" not in page
    assert 'href="https://dl.test/QuilloFull.exe"' in page
    e = recent_events(store_of(app), 1)[0]
    assert e["message"] == "<script>alert(1)</script>"
    assert e["bundle_key"] == '"><img src=x onerror=alert(1)>'
    crash = client.get("/error/?source=Gatherkit&code=0&message=0x00400000%3A0x00401000%3A"
                       "c0000005%3A%3Cb%3Ex%3C%2Fb%3E.dll&error=0x0000023e&version=0&os=0&key=0")
    assert "&lt;b&gt;x&lt;/b&gt;.dll" in crash.get_data(as_text=True)
    assert recent_events(store_of(app), 1)[0]["module"] == "<b>x</b>.dll"


# query -> fields expected in the recorded event
EVENT_CASES = {
    ERROR + "&message=" + "m" * 5000 + "&key=" + "k" * 3000:
        {"message": "m" * 2048, "bundle_key": "k" * 1023, "cut": "key,message",
         "malformed": "key,message"},
    ERROR + "&message=%FF%C3%28&key=":
        {"message": "\ufffd\ufffd(", "malformed": "message"},
    "/error/?source=gatherkit&code=1;%20DROP%20TABLE%20events&message=x&error=0xZZ&version=v&os=o&key=":
        {"code": "1; DROP TABLE ev", "code_number": None, "hresult": None, "cut": "code",
         "malformed": "code,error,os,version"},
    "/error/?source=gatherkit&code=99999999999&message=&error=0x1234567890&version=&os=6.1&key=":
        {"code_number": None, "malformed": "code,error"},
    "/error/?code=7&code=8":
        {"code": "7", "code_number": 7,
         "malformed": "code,error,key,message,os,source,version"},
    "/error/?source=Gatherkit&code=0&message=0xZZ%3A0x1%3Ac0000005%3Ax.dll&error=0x0000023e&version=0&os=0&key=0":
        {"kind": "crash", "module": None, "address": None, "malformed": "message"},
    "/error/?source=Gatherkit&code=0&message=0xFFFFFFFFFFFFFFFF%3A0x1%3Ac0000005%3Ax.dll&error=0x0000023e&version=0&os=0&key=0":
        {"kind": "crash", "module_base": None, "malformed": "message"},
    "/error/?source=%3Cscript%3E&code=-5&message=&error=0x00000000&version=0&os=0&key=0":
        {"kind": "error", "source": "<script>", "code_number": -5, "malformed": "source"},
}


@pytest.mark.parametrize("url", list(EVENT_CASES))
def test_hostile_error_queries(client, app, url):
    r = client.get(url)
    assert r.status_code == 200 and b"Traceback" not in r.data
    e = recent_events(store_of(app), 1)[0]
    assert {k: e[k] for k in EVENT_CASES[url]} == EVENT_CASES[url]


def test_error_recording_is_rate_limited_per_client(client, app):
    app.extensions["quillo"].clock = lambda: 120 * 1000.0 + 5  # all in one minute
    pages = [client.get(ERROR + "&message=x&key=", headers={"X-Real-IP": "203.0.113.1"})
             for _ in range(8)]
    assert all(p.status_code == 200 for p in pages)
    assert [b"reference: <strong>" in p.data for p in pages] == [True] * 5 + [False] * 3
    assert client.get(ERROR + "&message=y&key=",
                      headers={"X-Real-IP": "203.0.113.2"}).status_code == 200
    # A client that talks to the service directly cannot pose as others.
    for i in range(8):
        client.get(ERROR + "&message=z&key=", headers={"X-Real-IP": f"192.0.2.{i}"},
                   environ_base={"REMOTE_ADDR": "198.51.100.9"})
    events = recent_events(store_of(app), 100)
    by_client = {}
    for e in events:
        by_client[e["client"]] = by_client.get(e["client"], 0) + 1
    assert by_client == {client_key("203.0.113.1", SECRET): 5,
                         client_key("203.0.113.2", SECRET): 1,
                         client_key("198.51.100.9", SECRET): 5}
    app.extensions["quillo"].clock = lambda: 121 * 1000.0  # a later minute
    client.get(ERROR + "&message=x&key=", headers={"X-Real-IP": "203.0.113.1"})
    assert store_of(app).count("events") == 12


def test_bounds_of_the_query_and_its_fields():
    from quillo_service.reports.events import build_event
    from quillo_service.launcher.query import parse_query
    q = parse_query(b"key=abcd&version=abcde&id=a+b%2Bc", {"key": 4, "version": 4, "id": 9})
    assert q.values == {"key": "abcd", "version": "abcd", "id": "a b+c"}
    assert q.cut == {"version"}  # a value on its bound is whole; one byte more is cut
    # A cut never leaves half a character, and keeps one that ends on the bound.
    q = parse_query("key=ab\u00e9x&id=abc\u00e9".encode(), {"key": 4, "id": 4})
    assert q.values == {"key": "ab\u00e9", "id": "abc"} and not q.malformed
    for code, number in (("2147483647", 2**31 - 1), ("-2147483648", -2**31),
                         ("2147483648", None), ("-2147483649", None)):
        assert build_event(f"code={code}".encode(), "c", 0.0)["code_number"] == number
    crash = build_event(b"source=Gatherkit&message=0x00400000:0x00400000:c0000005:a.exe",
                        "c", 0.0)
    assert crash["module_offset"] == 0  # a crash on the module's first byte


# -- refused before the service sees them, through nginx and gunicorn ----------------

@pytest.fixture(scope="module")
def stack(tmp_path_factory):
    root = tmp_path_factory.mktemp("hostile")
    config = root / "service.toml"
    config.write_text(CONFIG)
    with Stack(local_host(root / "state", free_port()),
               App(root / "state", str(config), database=f"sqlite:///{root}/q.db", workers=1,
                   threads=2)) as s:
        yield s


# what is sent -> (headers, body, the status any other path gets)
REFUSED = {
    "101 headers, over gunicorn's 100": ({f"X-Header-{i}": "1" for i in range(101)}, None, 400),
    "a 9 KB header, over nginx's 8 KB": ({"X-Big": "x" * 9000}, None, 400),
    "a 2 KB body, over nginx's 1 KB": ({}, b"x" * 2048, 413),
}


@pytest.mark.parametrize("sent", list(REFUSED))
def test_the_launcher_gets_the_instruction_where_nginx_or_gunicorn_refuse(stack, sent):
    headers, body, refused = REFUSED[sent]

    def ask(path):
        conn = http.client.HTTPSConnection("localhost", stack.port, timeout=30,
                                           context=ssl.create_default_context(cafile=stack.ca))
        try:
            conn.request("GET", f"{path}?{GOOD}", body=body, headers=headers)
            r = conn.getresponse()
            return r.status, r.getheader("Content-Type"), r.read()
        finally:
            conn.close()
    assert ask("/getinstaller") == (200, "text/plain", STABLE)
    assert ask("/notice/update")[0] == refused
