"""Reading the configuration file, and picking up its edits while serving."""

import logging
import os
import threading
import time
import tomllib
from pathlib import Path

from .checks import ConfigError

log = logging.getLogger("quillo_service")


def _signature(st):
    return (st.st_ino, st.st_size, st.st_mtime_ns)


def _load(path):
    """(Config, signature of the file that was read); raises ConfigError.

    The signature is taken before the read and compared after the parse, so
    a file changed meanwhile is never the one returned."""
    try:
        with open(path, "rb") as f:
            before = os.fstat(f.fileno())
            data = f.read()
    except OSError as e:
        raise ConfigError(f"{path}: cannot read the file: {e.strerror}") from None
    # Looked up in the package on each read, so that whatever the package
    # holds as parse_config is what every load uses.
    from . import parse_config
    try:
        config = parse_config(tomllib.loads(data.decode("utf-8")), path)
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise ConfigError(f"{path}: not valid TOML: {e}") from None
    finally:
        try:
            after = _signature(os.stat(path))
        except OSError:
            after = None
    if _signature(before) != after:
        raise _Changing()
    return config, after


class _Changing(Exception):
    """The file changed while it was read."""


def load_config(path):
    """Read and validate the TOML file at `path`; raises ConfigError."""
    for _ in range(10):
        try:
            return _load(path)[0]
        except _Changing:
            time.sleep(0.05)
    raise ConfigError(f"{path}: the file keeps changing while it is read")


class ConfigWatcher:
    """Holds the current configuration and picks up edits to its file.

    `current()` is called on every request; it stats the file at most once per
    `interval` seconds and parses it only when inode, size or mtime changed.
    A file rewritten in place passes through half-written states that may
    well be valid TOML (say, without its rules), so an edit is swapped in only
    once the file has been left alone for `settle` seconds and did not change
    while it was read and parsed.  Replacing the file by a rename is atomic
    and needs no such wait, but the wait costs little.
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
        self._config = load_config(self.path)
        self._signature = _signature(os.stat(self.path))
        self._checked_at = clock()

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
                return
            sig = _signature(st)
            if sig == self._signature:
                return
            if 0 <= time.time() - st.st_mtime < self.settle:
                return  # still being written, perhaps: look again next time
            try:
                config, sig = _load(self.path)
            except _Changing:
                return
            except ConfigError as e:
                # Remembered, so that a broken edit is reported once, not every second.
                self._signature = sig
                log.error("configuration not reloaded, keeping the last good one: %s", e)
                return
            self._signature = sig
            if config.database != self._config.database:
                log.warning("configuration: a changed database takes effect only after a restart")
            self._config = config
            log.info("configuration reloaded from %s", self.path)
            return True

