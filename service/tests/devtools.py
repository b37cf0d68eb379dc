"""Headless chromium driven through its DevTools protocol over a pipe
(--remote-debugging-pipe: JSON messages ended by a NUL byte, commands on
the browser's fd 3, answers and events on its fd 4), for the tests that
type into a page and submit it as a person would.  Standard library only."""

import base64
import fcntl
import json
import os
import subprocess
import time

from conftest import CHROMIUM


class Page:
    """One tab of a fresh headless chromium; close() ends the browser."""

    def __init__(self, profile, user, password):
        commands, self._answers = os.pipe(), os.pipe()
        self._to, self._from = commands[1], self._answers[0]
        theirs = commands[0], self._answers[1]

        def at_3_and_4():  # above 10 first, so neither lands on the other's number
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in theirs]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)
        self.browser = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--ignore-certificate-errors", "--remote-debugging-pipe",
             f"--user-data-dir={profile}", "about:blank"],
            preexec_fn=at_3_and_4, close_fds=False, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        for fd in theirs:
            os.close(fd)
        self._buffer, self._events, self._id, self.session = b"", [], 0, None
        self.target = self.send("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=self.target,
                                 flatten=True)["sessionId"]
        self.send("Page.enable")
        self.send("Network.enable")
        login = base64.b64encode(f"{user}:{password}".encode()).decode()
        self.send("Network.setExtraHTTPHeaders", headers={"Authorization": f"Basic {login}"})

    def _read(self, deadline):
        while b"\0" not in self._buffer:
            assert time.monotonic() < deadline, "chromium did not answer in time"
            chunk = os.read(self._from, 65536)
            assert chunk, "chromium closed its pipe"
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, seconds=30, **params):
        """The result of one command; raises on the browser's error."""
        self._id += 1
        message = {"id": self._id, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self._to, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + seconds
        while True:
            m = self._read(deadline)
            if m.get("id") == self._id:
                assert "error" not in m, m["error"]
                return m["result"]
            self._events.append(m)

    def wait_for(self, event, seconds=30):
        deadline = time.monotonic() + seconds
        while True:
            for i, m in enumerate(self._events):
                if m.get("method") == event:
                    return self._events.pop(i)
            self._events.append(self._read(deadline))

    def open(self, url):
        self._events.clear()
        self.send("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired")

    def type_into(self, selector, text):
        """Focus the element of a CSS selector and type text into it."""
        root = self.send("DOM.getDocument")["root"]["nodeId"]
        node = self.send("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        assert node, f"nothing on the page matches {selector}"
        self.send("DOM.focus", nodeId=node)
        self.send("Input.insertText", text=text)

    def press_enter(self):
        """Enter, and the page it leads to loaded."""
        self._events.clear()
        key = {"key": "Enter", "code": "Enter", "windowsVirtualKeyCode": 13}
        self.send("Input.dispatchKeyEvent", type="keyDown", text="\r", **key)
        self.send("Input.dispatchKeyEvent", type="keyUp", **key)
        self.wait_for("Page.loadEventFired")

    def url(self):
        return self.send("Target.getTargetInfo", targetId=self.target)["targetInfo"]["url"]

    def html(self):
        root = self.send("DOM.getDocument")["root"]["nodeId"]
        return self.send("DOM.getOuterHTML", nodeId=root)["outerHTML"]

    def close(self):
        try:
            self.send("Browser.close", seconds=10)
        except (AssertionError, OSError):
            pass
        try:
            self.browser.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.browser.kill()
            self.browser.wait()
        os.close(self._to)
        os.close(self._from)
