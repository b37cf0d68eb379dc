"""The installer downloads, from nginx's log of them.

nginx serves the installers itself (location /installers/), with ranges, and
logs every request there to `downloads.log` in the fallback folder, one line
each, written when the request ends:

    1765200000.123 203.0.113.7 206 52428 0.734 OK "bytes=100-" "bytes 100-52527/52528" "52428" /installers/stable.exe

nginx's $msec, $remote_addr, $status, $body_bytes_sent, $request_time,
$request_completion ("OK" when nginx sent all it meant to, else empty), the
Range the client asked for, the Content-Range and Content-Length nginx
answered with (which name the first byte sent and the file's whole size,
for 200 and 206 alike), and the path ($uri, last, since nothing else on the
line may hold a blank).  Values nginx cannot write as printable ASCII, and
the quote and backslash, come as \\xHH; a missing header comes as "-".

The service reads the log into `downloads` with the same machinery as the
fallback answers (logs.py): exactly once, across workers, restarts and
rotation, with the lines nginx did not write counted and skipped.  What a
download means for the campaigns, funnel/outcomes.py works out.
"""

import re

from . import logs
from .positions import take_rows
from ..clients import client_key

LOG = "downloads.log"
BATCH_BYTES = 1024 * 1024  # about ten thousand downloads per transaction
PATH_LIMIT = 1023
RANGE_LIMIT = 64

_LINE = re.compile(rb"(\d{1,12}\.\d{3}) (\S{1,64}) (\d{3}) (\d{1,19}) (\d{1,9}\.\d{3}) "
                   rb'(OK|-|) "([^"]{0,4096})" '
                   rb'"(?:bytes (\d{1,19})-\d{1,19}/(\d{1,19})|bytes \*/(\d{1,19})|-)" '
                   rb'"(\d{1,19}|-)" (/.*)')
_ESCAPE = re.compile(rb"\\x([0-9A-Fa-f]{2})")


def _unescape(raw):
    return _ESCAPE.sub(lambda e: bytes([int(e.group(1), 16)]), raw)


def parse_line(line):
    """The row (in DOWNLOAD_COLUMNS order) for one log line without its line
    end, or None when the line is not one nginx wrote in this format."""
    m = _LINE.fullmatch(line)
    if m is None:
        return None
    (at, client, status, sent, seconds, done, asked, first, total, unsatisfied,
     length, path) = m.groups()
    status = int(status)
    if status == 206:
        if first is None:
            return None  # a partial answer always names its bytes
        first_byte, size = int(first), int(total)
    else:
        first_byte = 0
        size = int(total or unsatisfied) if (total or unsatisfied) else (
            int(length) if status == 200 and length != b"-" else None)
    asked = _unescape(asked).decode("ascii", "replace")[:RANGE_LIMIT]
    return (float(at), client.decode("ascii", "replace"),
            _unescape(path).decode("utf-8", "replace")[:PATH_LIMIT], status, first_byte,
            int(sent), size, float(seconds), 1 if done == b"OK" else 0,
            None if asked == "-" else asked)


class Ingester(logs.Ingester):
    """Takes the lines of one download log into `downloads`."""

    kind = "downloads"

    def __init__(self, store, log_path, batch=BATCH_BYTES, secret=None, **kwargs):
        super().__init__(store, log_path, batch=batch, **kwargs)
        # As for requests, only the address's key is stored: the funnel
        # joins downloads to requests by equality on it.
        self.secret = store.client_secret if secret is None else secret

    def rows(self, lines):
        rows = [parse_line(line) for line in lines]
        good = [(r[0], client_key(r[1], self.secret), *r[2:]) for r in rows if r is not None]
        return good, len(rows) - len(good)

    def write(self, expected, new, rows, skipped):
        return take_rows(self.store, self.name, expected, new, "downloads", rows, skipped)
