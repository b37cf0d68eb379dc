"""The application under a real gunicorn with several worker processes."""

import os
import socket
import subprocess
import sys
import time
import urllib.request

from conftest import KEY, MACHINE, SERVICE



def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_workers_share_the_store(database, write_config):
    # --preload builds the app (and checks the database) before forking the
    # workers: each must open its own connection.
    port = free_port()
    env = dict(os.environ, QUILLO_SERVICE_CONFIG=write_config(), QUILLO_SERVICE_DATABASE=database)
    args = [sys.executable, "-m", "gunicorn", "--chdir", SERVICE, "-w", "2", "-k", "gthread",
            "--threads", "2", "-b", f"127.0.0.1:{port}", "--log-level", "warning",
            "--graceful-timeout", "2"]
    server = subprocess.Popen(args + ["--preload", "quillo_service:create_app()"], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    try:
        for _ in range(100):
            try:
                urllib.request.urlopen(base + "/notice/update", timeout=5).read()
                break
            except OSError:
                assert server.poll() is None, server.stdout.read().decode()
                time.sleep(0.1)
        answers = {urllib.request.urlopen(
            f"{base}/getinstaller?key={KEY}&version=0%2C1%2C0%2C220&id={MACHINE}",
            timeout=5).read() for _ in range(60)}
        assert answers == {b"GET:https://setup.test/installers/stable.exe"}
        page = urllib.request.urlopen(base + "/error/?source=gatherkit&code=155&message=Invalid"
                                      "%20response&error=0x80004005&version=0%2C1%2C0%2C220"
                                      "&os=6%2E1&key=" + KEY, timeout=5).read()
        assert b"not understood" in page
    finally:
        server.terminate()
        log = server.communicate(timeout=30)[0].decode()
    assert "Traceback" not in log and "ERROR" not in log, log
    from quillo_service.db import open_store
    s = open_store(database)
    assert (s.count("requests"), s.count("events")) == (60, 1)
    s.close()
