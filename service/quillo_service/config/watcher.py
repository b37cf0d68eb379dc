"""Reading the configuration file, and picking up its edits while serving."""

import hashlib
import logging
import os
import threading
import time
import tomllib
from pathlib import Path
from typing import NamedTuple

from .checks import ConfigError
from .lines import error_line

log = logging.getLogger("quillo_service")


def _signature(st):
    return (st.st_ino, st.st_size, st.st_mtime_ns)


class LoadError(ConfigError):
    """A configuration that does not load, with what the console shows of it:
    the error without the file's name in front, and its line (0: not known)."""

    def __init__(self, text, path, line=0):
        super().__init__(f"{path}: {text}")
        self.text, self.line = text, line


def _error(path, data, e):
    """A ConfigError raised while `data` (the file's bytes) was read, as a
    LoadError that knows its line where it can be told."""
    text = str(e)
    text = text[len(path) + 2:] if text.startswith(path + ": ") else text
    return LoadError(text, path, error_line(data.decode("utf-8", "replace"), text))


def _load(path):
    """(Config, signature of the file that was read, SHA-256 of its bytes in
    hex); raises LoadError.

    The signature is taken before the read and compared after the parse, so
    a file changed meanwhile is never the one returned."""
    path = str(path)
    try:
        with open(path, "rb") as f:
            before = os.fstat(f.fileno())
            data = f.read()
    except OSError as e:
        raise LoadError(f"cannot read the file: {e.strerror}", path) from None
    # Looked up in the package on each read, so that whatever the package
    # holds as parse_config is what every load uses.
    from . import parse_config
    try:
        config = parse_config(tomllib.loads(data.decode("utf-8")), path)
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise _error(path, data, ConfigError(f"not valid TOML: {e}")) from None
    except ConfigError as e:
        raise _error(path, data, e) from None
    finally:
        try:
            after = _signature(os.stat(path))
        except OSError:
            after = None
    if _signature(before) != after:
        raise _Changing()
    return config, after, hashlib.sha256(data).hexdigest()


class _Changing(Exception):
    """The file changed while it was read."""


def _load_whole(path):
    """_load, again while the file changes under it; raises ConfigError."""
    for _ in range(10):
        try:
            return _load(path)
        except _Changing:
            time.sleep(0.05)
    raise ConfigError(f"{path}: the file keeps changing while it is read")


def load_config(path):
    """Read and validate the TOML file at `path`; raises ConfigError."""
    return _load_whole(path)[0]


class Live(NamedTuple):
    """The configuration a process serves with, as its heartbeat and the
    console tell it: the file, a fingerprint of the bytes loaded (hosts with
    the same file have the same), when they were loaded (time.time()), and
    the last load error since then ("" and 0 while the file loads)."""
    fingerprint: str
    file: str
    since: float
    error: str = ""
    error_line: int = 0


class ConfigWatcher:
    """Holds the current configuration and picks up edits to its file.

    `current()` is called on every request; it stats the file at most once per
    `interval` seconds and parses it only when inode, size or mtime changed.
    A file rewritten in place passes through half-written states that may
    well be valid TOML (say, without its rules), so an edit is swapped in only
    once the file has been left alone for `settle` seconds and did not change
    while it was read and parsed.  Replacing the file by a rename is atomic
    and needs no such wait, but the wait costs little.

    `live()` says what the configuration in use is and why an edit was not
    taken (the console shows it on every page; the heartbeat carries it to
    the other hosts).
    """

    def __init__(self, path, interval=1.0, clock=time.monotonic, settle=0.5):
        self.path = str(Path(path).resolve())
        # Called with each configuration swapped in, after the swap and outside
        # the lock, by the request that noticed the edit; must not raise.
        self.on_reload = None
        self.interval = interval
        self.settle = settle
        self._clock = clock
        self._lock = threading.Lock()
        self._config, self._signature, fingerprint = _load_whole(self.path)
        self._live = Live(fingerprint, self.path, time.time())
        self._checked_at = clock()

    def live(self):
        """The Live of the configuration in use, and of the file's last load."""
        return self._live

    def current(self):
        if self._clock() - self._checked_at >= self.interval and self._check() \
                and self.on_reload is not None:
            self.on_reload(self._config)
        return self._config

    def _check(self):
        """Look at the file; True when a new configuration was swapped in."""
        with self._lock:
            now = self._clock()
            if now - self._checked_at < self.interval:
                return
            self._checked_at = now
            try:
                st = os.stat(self.path)
            except OSError as e:
                if self._signature is not None:
                    log.error("configuration %s cannot be read (%s); keeping the last good one",
                              self.path, e.strerror)
                    self._signature = None
                    self._live = self._live._replace(
                        error=f"cannot read the file: {e.strerror}", error_line=0)
                return
            sig = _signature(st)
            if sig == self._signature:
                return
            if 0 <= time.time() - st.st_mtime < self.settle:
                return  # still being written, perhaps: look again next time
            try:
                config, sig, fingerprint = _load(self.path)
            except _Changing:
                return
            except LoadError as e:
                # Remembered, so that a broken edit is reported once, not every second.
                self._signature = sig
                self._live = self._live._replace(error=e.text, error_line=e.line)
                log.error("configuration not reloaded, keeping the last good one: %s", e)
                return
            self._signature = sig
            if config.database != self._config.database:
                log.warning("configuration: a changed database takes effect only after a restart")
            self._config = config
            # The same bytes again (the file touched, or put back after a
            # broken edit) are the configuration that was in use all along.
            same = fingerprint == self._live.fingerprint
            self._live = Live(fingerprint, self.path, self._live.since if same else time.time())
            log.info("configuration reloaded from %s", self.path)
            return True

