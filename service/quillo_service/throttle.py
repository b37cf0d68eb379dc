"""Keeping floods out of the log: a flood must not fill the disk through it."""

import threading
import time


class LogThrottle:
    """Lets a message through at most once per `interval` seconds per key,
    counting what it held back, for at most `keys` different keys at a time."""

    def __init__(self, interval=60.0, keys=1000, clock=time.monotonic):
        self.interval = interval
        self.keys = keys
        self._clock = clock
        self._lock = threading.Lock()
        self._seen = {}  # key -> [time let through, held back since]

    def allow(self, key=None):
        """Returns None to stay quiet, else the number of messages held back."""
        now = self._clock()
        with self._lock:
            entry = self._seen.get(key)
            if entry is not None and now - entry[0] < self.interval:
                entry[1] += 1
                return None
            if entry is None and len(self._seen) >= self.keys:
                self._seen = {k: v for k, v in self._seen.items()
                              if now - v[0] < self.interval}
                if len(self._seen) >= self.keys:
                    return None
            held = entry[1] if entry else 0
            self._seen[key] = [now, 0]
            return held
