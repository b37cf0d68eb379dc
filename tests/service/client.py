"""Starts the local test service (service.py) and talks to its control API.

    with Service() as svc:
        svc.start(root, certdir)
        svc.set_faults("/files/a.bin", [{"type": "drop", "after": 1000}])
        ... run the program against svc.url("/files/a.bin") ...
        entries = svc.log()
"""

import base64
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

SERVICE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "service.py")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "service"))
from stack import _die_with_parent, ensure_port_free  # noqa: E402


class Service:
    def __init__(self):
        self.proc = None
        self.http_port = self.https_port = None
        self._tmp = None

    def start(self, root, certdir, http_port=0, https_port=0, timeout=15, verbose=False):
        for port in (http_port, https_port):
            if port:
                ensure_port_free(port)
        self._tmp = tempfile.TemporaryDirectory(prefix="service-")
        ready = os.path.join(self._tmp.name, "ready.json")
        cmd = [sys.executable, SERVICE, "--root", root,
               "--cert", os.path.join(certdir, "server.crt"), "--key", os.path.join(certdir, "server.key"),
               "--http-port", str(http_port), "--https-port", str(https_port), "--ready", ready]
        if verbose:
            cmd.append("--verbose")
        # It dies with the test that started it, however that one ends.
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        deadline = time.monotonic() + timeout
        while not os.path.exists(ready):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("test service did not start")
            time.sleep(0.05)
        with open(ready) as f:
            ports = json.load(f)
        self.http_port, self.https_port = ports["http"], ports["https"]
        return self

    def stop(self):
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None
        if self._tmp:
            self._tmp.cleanup()
            self._tmp = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def url(self, path, https=True):
        if https:
            return "https://localhost:%d%s" % (self.https_port, path)
        return "http://127.0.0.1:%d%s" % (self.http_port, path)

    def _call(self, name, args=None, query=""):
        data = None if args is None else json.dumps(args).encode()
        req = urllib.request.Request(self.url("/_control/" + name + query, https=False), data=data,
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=60) as resp:
            return json.load(resp)

    def set_faults(self, path, faults, append=False):
        """Queues faults for path; each request to path takes the next entry."""
        return self._call("faults", {"path": path, "faults": faults, "append": append})["queued"]

    def pending_faults(self):
        return self._call("faults")

    def set_response(self, path, status, body, headers=None):
        """Canned answer for path (body: str or bytes); body None removes it."""
        args = {"path": path, "status": status, "headers": headers or {}}
        if body is None:
            args = {"path": path, "clear": True}
        elif isinstance(body, bytes):
            args["body_b64"] = base64.b64encode(body).decode()
        else:
            args["body"] = body
        self._call("response", args)

    def snapshot(self, wait=10):
        """{"requests": [...], "bytes": {path: n}} once no request is in progress."""
        return self._call("log", query="?wait=%g" % wait)

    def log(self, wait=10):
        return self.snapshot(wait)["requests"]

    def bytes_sent(self, path, wait=10):
        """Body bytes sent for path since the last reset (all requests together)."""
        return self.snapshot(wait)["bytes"].get(path, 0)

    def reset_log(self):
        self._call("reset_log", {})

    def reset(self):
        self._call("reset", {})
