"""nginx's configurations (nginx_config): every kind that scripts/serve runs
or `stack.py nginx-conf` / `front-conf` prints is one real nginx accepts;
development and production differ only in where nginx keeps its files; and
a report sent to /error/ reaches gunicorn with the front's request id, also
when the front retries it on a second host."""

import dataclasses
import os
import http.server
import re
import socket
import ssl
import subprocess
import threading
import time
import urllib.error
import urllib.request

import pytest
import stack
import tomllib
from conftest import CONFIG
from quillo_service.config import parse_config
from quillo_service.ingest.fallback import parse_line, write_answer
from nginx_config import Front, Host, Local, front_config, host_config

# The http block of Debian's own /etc/nginx/nginx.conf, into which a site
# from sites-enabled/ is included.
DEBIAN_NGINX = """worker_processes auto;
error_log {tmp}/error.log;
pid {tmp}/nginx.pid;
events {{ worker_connections 768; }}
http {{
    sendfile on;
    tcp_nopush on;
    types_hash_max_size 2048;
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    ssl_protocols TLSv1 TLSv1.1 TLSv1.2 TLSv1.3;
    ssl_prefer_server_ciphers on;
    access_log {tmp}/access.log;
    gzip on;
    include {tmp}/sites-enabled/*;
}}
"""


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    return stack.make_local_ca(str(tmp_path_factory.mktemp("certs")))


def local_host(tmp, certs, upstream="unix:/tmp/quillo-none.sock", **more):
    """A development host's description in `tmp`, as scripts/serve's."""
    (tmp / "fallback").mkdir(parents=True, exist_ok=True)
    fields = dict(name="localhost", cert=f"{certs}/server.crt", cert_key=f"{certs}/server.key",
                  installers=str(tmp), fallback=str(tmp / "fallback"), upstream=upstream,
                  listen=f"127.0.0.1:{stack.free_port()}", local=Local(str(tmp / "nginx")))
    fields.update(more)
    return Host(**fields)


def local_front(tmp, certs, hosts):
    return Front(name="localhost", cert=f"{certs}/server.crt", cert_key=f"{certs}/server.key",
                 hosts=tuple(hosts), ca=f"{certs}/ca.crt",
                 listen=f"127.0.0.1:{stack.free_port()}", local=Local(str(tmp / "nginx")))


def production(argv, capsys):
    assert stack.main(argv) == 0
    return capsys.readouterr().out


def nginx_t(tmp, config):
    """Real `nginx -t` of `config`, its system paths moved into `tmp`."""
    config = config.replace("/var/log/nginx/", f"{tmp}/").replace("/run/nginx.pid",
                                                                  f"{tmp}/nginx.pid")
    (tmp / "nginx.conf").write_text(config)
    for folder in re.findall(r"_temp_path (\S+);", config):
        (tmp / folder).mkdir(parents=True, exist_ok=True)
    t = subprocess.run(["nginx", "-t", "-p", str(tmp), "-c", str(tmp / "nginx.conf"), "-e",
                        str(tmp / "error.log")], capture_output=True, text=True, timeout=60)
    assert t.returncode == 0, t.stderr


KINDS = ["scripts/serve", "scripts/serve --hosts: a host", "scripts/serve --hosts: the front",
         "nginx-conf", "nginx-conf --front", "nginx-conf --site", "front-conf"]


@pytest.mark.parametrize("kind", KINDS)
def test_every_kind_is_one_nginx_accepts(kind, tmp_path, certs, capsys):
    cert = ["--host", "setup.example.com", "--cert", f"{certs}/server.crt",
            "--cert-key", f"{certs}/server.key"]
    (tmp_path / "fallback").mkdir()
    host = ["nginx-conf"] + cert + ["--installers", str(tmp_path),
                                    "--fallback", str(tmp_path / "fallback")]
    if kind == "scripts/serve":
        nginx_t(tmp_path, host_config(local_host(tmp_path, certs)))
    elif kind == "scripts/serve --hosts: a host":
        nginx_t(tmp_path, host_config(local_host(tmp_path, certs, fronts=("127.0.0.1",))))
    elif kind == "scripts/serve --hosts: the front":
        nginx_t(tmp_path, front_config(local_front(tmp_path, certs, ["127.0.0.11:8443"])))
    elif kind == "nginx-conf":
        nginx_t(tmp_path, production(host, capsys))
    elif kind == "nginx-conf --front":
        nginx_t(tmp_path, production(host + ["--front", "10.0.0.10", "--front", "10.0.1.0/24"],
                                     capsys))
    elif kind == "nginx-conf --site":
        site = production(host + ["--site", "--front", "10.0.0.10"], capsys)
        assert "http {" not in site and "events {" not in site
        (tmp_path / "sites-enabled").mkdir()
        (tmp_path / "sites-enabled" / "quillo").write_text(
            site.replace("/var/log/nginx/", f"{tmp_path}/"))
        nginx_t(tmp_path, DEBIAN_NGINX.format(tmp=tmp_path))
    else:
        nginx_t(tmp_path, production(["front-conf"] + cert + [
            "--hosts", "10.0.0.11:443,10.0.0.12:443", "--ca", f"{certs}/ca.crt"], capsys))


# Where nginx keeps its files and who runs it: the only lines in which a
# development configuration may differ from a production one.
WHERE = re.compile(r"\s*(user|daemon|pid|error_log|worker_processes|\w+_temp_path) ")


def test_development_differs_from_production_only_in_where_nginx_keeps_its_files(tmp_path,
                                                                                  certs):
    def same(config, *logs):
        lines = [line for line in config.splitlines() if not WHERE.match(line)]
        for n, log in enumerate(logs):
            lines = [line.replace(log, "LOG%d" % n) for line in lines]
        return lines
    dev = local_host(tmp_path, certs, fronts=("127.0.0.1",))
    prod = dataclasses.replace(dev, local=None)
    assert prod.access_log == "/var/log/nginx/quillo.access.log"
    assert dev.access_log == f"{tmp_path}/nginx/access.log"
    assert same(host_config(dev), dev.access_log) == same(host_config(prod), prod.access_log)
    # The server's, and again in the installers' and the refused requests'.
    assert host_config(prod).count(f"access_log {prod.access_log} quillo;") == 3
    front = local_front(tmp_path, certs, ["127.0.0.11:8443"])
    system = dataclasses.replace(front, local=None)
    assert system.fallback_log == "/var/log/nginx/quillo-front-fallback.log"
    assert same(front_config(front), front.log, front.fallback_log) == same(
        front_config(system), system.log, system.fallback_log)


class Upstream(http.server.BaseHTTPRequestHandler):
    """gunicorn's stand-in: answers 200 and keeps each request's X-Request-Id."""
    seen = []

    def do_GET(self):
        self.seen.append((self.path, self.headers.get("X-Request-Id")))
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


def run_nginx(config, folder, listen, request):
    """Real nginx with `config` from `folder`, until the test ends."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "nginx.conf").write_text(config)
    for t in re.findall(r"_temp_path (\S+);", config):
        (folder / t).mkdir(parents=True, exist_ok=True)
    proc = subprocess.Popen(["nginx", "-p", str(folder), "-c", str(folder / "nginx.conf"),
                             "-e", str(folder / "error.log")], stdout=subprocess.DEVNULL,
                            stderr=subprocess.STDOUT, preexec_fn=stack._die_with_parent)
    request.addfinalizer(lambda: (proc.terminate(), proc.wait(15)))
    address, port = listen.rsplit(":", 1)
    for _ in range(200):
        assert proc.poll() is None, (folder / "error.log").read_text()
        try:
            socket.create_connection((address, int(port)), 0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    pytest.fail("nginx did not listen on %s" % listen)


def test_an_error_report_reaches_gunicorn_with_the_fronts_request_id_on_any_host(
        tmp_path, certs, request):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Upstream)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    request.addfinalizer(server.shutdown)
    root = os.geteuid() == 0  # workers as root can read the test's folders
    # Host a's gunicorn is down (its nginx answers /error/ with 502), host
    # b's is the stand-in; the front retries a's 502 on b.
    hosts = [local_host(tmp_path / name, certs, upstream=upstream, fronts=("127.0.0.1",),
                        local=Local(str(tmp_path / name / "nginx"), as_root=root))
             for name, upstream in (("a", "127.0.0.1:%d" % stack.free_port()),
                                    ("b", "127.0.0.1:%d" % server.server_port))]
    front = dataclasses.replace(local_front(tmp_path / "front", certs, [h.listen for h in hosts]),
                                local=Local(str(tmp_path / "front" / "nginx"), as_root=root))
    for name, h in zip("ab", hosts):
        run_nginx(host_config(h), tmp_path / name / "nginx", h.listen, request)
    run_nginx(front_config(front), tmp_path / "front" / "nginx", front.listen, request)
    tls = ssl.create_default_context(cafile=f"{certs}/ca.crt")

    def report(listen, n):
        with urllib.request.urlopen(f"https://{listen}/error/?source=gatherkit&code={n}",
                                    context=tls, timeout=30) as r:
            assert r.status == 200
            return r.getheader("X-Request-Id")

    # Round robin gives a one of the first two; a failure then leaves it out.
    ids = [report(front.listen.replace("127.0.0.1", "localhost"), n) for n in (1, 2)]
    assert all(re.fullmatch("[0-9a-f]{32}", i) for i in ids) and ids[0] != ids[1]
    assert Upstream.seen == [("/error/?source=gatherkit&code=%d" % n, i)
                             for n, i in zip((1, 2), ids)]
    # nginx logs a request once it has answered it: wait for both lines.
    for _ in range(100):
        tried = [line.split("|")[4] for line in open(front.log)]
        if len(tried) == 2:
            break
        time.sleep(0.05)
    assert sorted(len(t.split(", ")) for t in tried) == [1, 2], tried  # a, then b
    # A host reached directly gives /error/ an id of its own.
    Upstream.seen.clear()
    report(hosts[1].listen.replace("127.0.0.1", "localhost"), 3)
    [(_, own)] = Upstream.seen
    assert own and re.fullmatch("[0-9a-f]{32}", own) and own not in ids


def test_the_front_answers_getinstaller_itself_when_no_host_can(tmp_path, certs, request):
    root = os.geteuid() == 0
    # Two hosts that refuse every connection, as hosts whose machines died.
    front = dataclasses.replace(
        local_front(tmp_path / "front", certs,
                    ["127.0.0.1:%d" % stack.free_port() for _ in range(2)]),
        local=Local(str(tmp_path / "front" / "nginx"), as_root=root),
        answer=str(tmp_path / "front" / "answer"))
    config = parse_config(tomllib.loads(CONFIG))
    write_answer(front.answer, config)
    run_nginx(front_config(front), tmp_path / "front" / "nginx", front.listen, request)
    tls = ssl.create_default_context(cafile=f"{certs}/ca.crt")
    base = "https://" + front.listen.replace("127.0.0.1", "localhost")

    def get(path):
        try:
            with urllib.request.urlopen(base + path, context=tls, timeout=30) as r:
                return r.status, dict(r.headers), r.read()
        except urllib.error.HTTPError as e:
            return e.code, dict(e.headers), e.read()

    query = "/getinstaller?key=acme42&version=1%2C0%2C0%2C0&id=" + "A" * 40
    ids = []
    for _ in range(3):  # the hosts refusing, then left out as failed ("no live upstreams")
        status, headers, body = get(query)
        assert (status, body) == (200, config.default_answer.encode("ascii"))  # no line end
        assert headers["Content-Type"] == "text/plain" and headers["Cache-Control"] == "no-store"
        assert "Accept-Ranges" not in headers and "ETag" not in headers
        ids.append(headers["X-Request-Id"])
    # Health checks and every other path keep the front's 502: no host answers.
    assert get("/readyz")[0] == 502 and get("/healthz")[0] == 502
    assert get("/error/?source=gatherkit&code=1")[0] == 502
    # The answer file changes, nginx serves the new one without a reload.
    write_answer(front.answer, parse_config(tomllib.loads(
        CONFIG.replace("enabled = false", "enabled = true"))))
    assert get(query)[2] == b"GOTO:https://setup.test/notice/maintenance"
    # Each answer is logged as a host logs its own fallback answers, under the
    # id the client got back, with the last status the front had (502).
    for _ in range(100):
        lines = open(front.fallback_log, "rb").read().splitlines()
        if len(lines) == 4:
            break
        time.sleep(0.05)
    parsed = [parse_line(line) for line in lines]
    assert all(p is not None for p in parsed), lines
    assert [p[3] for p in parsed[:3]] == ids and {p[4] for p in parsed} == {"502"}
    assert {p[1] for p in parsed} == {"127.0.0.1"} and parsed[0][2] == query.split("?")[1].encode()
    # ... and in the front's log of every request as well.
    assert sum(query in line for line in open(front.log)) == 4
