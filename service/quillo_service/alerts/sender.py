"""Delivering the outbox's alerts, on the housekeeping thread.

The `Sender`, run by the one host that holds the housekeeping lease
(background.py), delivers what is due:

- a webhook: an HTTP POST of a JSON body, {"key", "kind", "created_at",
  "data"}, with the headers Idempotency-Key (the alert's key, the same on
  every attempt), X-Quillo-Timestamp (seconds since 1970) and
  X-Quillo-Signature, "sha256=" and the hex HMAC-SHA256, under the
  configured secret, of the timestamp, a dot and the body;
- an e-mail through SMTP, whose Message-ID is made from the key.

A delivery counts as done only when the receiver accepted it (a 2xx answer,
or the SMTP server taking the message), and that is written to the store
after the fact: a crash in between sends it again, with the same key.  So
delivery is at least once, and the key lets a receiver drop a repeat.  A
failed attempt, whatever went wrong (a refusal, a reset, an answer that is
not HTTP, no answer in time), is tried again after retry_seconds, then twice
as long each time up to an hour, across restarts (the next attempt's time is
in the store), until give_up_hours have passed; the pass goes on with the
next alert.  Each delivery, from connecting to the last byte of the answer,
ends within DELIVERY_SECONDS, however slowly a receiver trickles its answer:
the sender runs on the housekeeping thread, which the rollup, the purge and
the detectors share.
"""

import functools
import hashlib
import hmac
import http.client
import json
import logging
import smtplib
import socket
import ssl
import time
import urllib.error
import urllib.request
from email.message import EmailMessage
from email.utils import formatdate

from . import queue
from ..periods import time_text
from ..throttle import LogThrottle

log = logging.getLogger("quillo_service")

MAX_BACKOFF = 3600.0   # seconds between attempts, at most
DELIVERY_SECONDS = 10.0  # one delivery, connecting to the last byte of the answer
PASS_SECONDS = 30.0    # a pass of the sender starts no delivery after this
_problems = LogThrottle(interval=300.0)


class DeliveryError(Exception):
    """The receiver did not take the alert; the text says why."""


def sign(secret, timestamp, body):
    """The signature header's value for a body sent at `timestamp`."""
    mac = hmac.new(secret.encode(), f"{timestamp}.".encode() + body, hashlib.sha256)
    return "sha256=" + mac.hexdigest()


# A socket timeout bounds each wait, not the delivery: a receiver sending one
# byte a second would hold the sender for as long as it liked.  These sockets
# set each wait's timeout to what is left until one monotonic deadline, so
# the delivery ends by it (TLS reads and handshakes count their timeout over
# the whole call, so one call cannot overrun it either).

def _left(deadline):
    left = deadline - time.monotonic()
    if left <= 0:
        raise TimeoutError("the receiver took longer than the delivery may")
    return left


class _Deadline:
    deadline = None  # time.monotonic() by which every wait has ended

    def _wait_until_deadline(self):
        if self.deadline is not None:
            self.settimeout(_left(self.deadline))

    def recv(self, *args):
        self._wait_until_deadline()
        return super().recv(*args)

    def recv_into(self, *args):
        self._wait_until_deadline()
        return super().recv_into(*args)

    def send(self, *args):
        self._wait_until_deadline()
        return super().send(*args)

    def sendall(self, *args):
        self._wait_until_deadline()
        return super().sendall(*args)


class _Socket(_Deadline, socket.socket):
    pass


class _TLSSocket(_Deadline, ssl.SSLSocket):
    pass


def _connect(deadline, address, timeout=None, source_address=None):
    """socket.create_connection, with every wait ending by `deadline`
    (which stands for the timeout)."""
    plain = socket.create_connection(address, _left(deadline), source_address)
    sock = _Socket(plain.family, plain.type, plain.proto, fileno=plain.detach())
    sock.deadline = deadline
    sock.settimeout(_left(deadline))  # for a TLS handshake, which bypasses recv and send
    return sock


def _tls_context():
    context = ssl.create_default_context()
    context.sslsocket_class = _TLSSocket
    return context


class _DeadlineConnection:
    def __init__(self, *args, deadline, **kwargs):
        super().__init__(*args, **kwargs)
        self.deadline = deadline
        self._create_connection = functools.partial(_connect, deadline)  # http.client's hook

    def connect(self):
        super().connect()
        self.sock.deadline = self.deadline  # the TLS socket, where there is one


class _HTTPConnection(_DeadlineConnection, http.client.HTTPConnection):
    pass


class _HTTPSConnection(_DeadlineConnection, http.client.HTTPSConnection):
    pass


class _HTTPHandler(urllib.request.HTTPHandler):
    def __init__(self, deadline):
        super().__init__()
        self.deadline = deadline

    def http_open(self, req):
        return self.do_open(functools.partial(_HTTPConnection, deadline=self.deadline), req)


class _HTTPSHandler(urllib.request.HTTPSHandler):
    def __init__(self, deadline):
        super().__init__(context=_tls_context())
        self.deadline = deadline

    def https_open(self, req):
        return self.do_open(functools.partial(_HTTPSConnection, deadline=self.deadline), req,
                            context=self._context)


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None  # a moved receiver is a configuration error, shown as a failure


def post_webhook(settings, row, now, deadline):
    body = json.dumps({"key": row["alert_key"], "kind": row["kind"],
                       "created_at": time_text(row["created_at"]) + "Z",
                       "data": json.loads(row["data"])},
                      separators=(",", ":"), ensure_ascii=False).encode()
    timestamp = str(int(now))
    request = urllib.request.Request(settings.webhook_url, data=body, method="POST", headers={
        "Content-Type": "application/json", "User-Agent": "Quillo-service-alerts",
        "Idempotency-Key": row["alert_key"], "X-Quillo-Timestamp": timestamp,
        "X-Quillo-Signature": sign(settings.webhook_secret, timestamp, body)})
    # Proxies from the environment still apply (the opener's default).
    opener = urllib.request.build_opener(_NoRedirect, _HTTPHandler(deadline),
                                         _HTTPSHandler(deadline))
    try:
        with opener.open(request, timeout=_left(deadline)) as response:
            response.read(65536)
    except urllib.error.HTTPError as e:
        raise DeliveryError(f"the webhook answered {e.code}") from None
    except http.client.HTTPException as e:
        raise DeliveryError(f"the webhook's answer is not HTTP: {e!r:.200}") from None
    except (urllib.error.URLError, OSError, ValueError) as e:
        raise DeliveryError(f"the webhook cannot be reached: {getattr(e, 'reason', e)}") from None


class _SMTP(smtplib.SMTP):
    def __init__(self, host, port, deadline):
        self.deadline = deadline
        super().__init__(host, port, timeout=_left(deadline))

    def _get_socket(self, host, port, timeout):
        return _connect(self.deadline, (host, port), None, self.source_address)

    def starttls(self, **kwargs):
        answer = super().starttls(context=_tls_context())
        self.sock.deadline = self.deadline
        return answer


def send_mail(settings, row, now, deadline):
    data = json.loads(row["data"])
    message = EmailMessage()
    message["Subject"] = f"Quillo alert: {row['kind']}"
    message["From"] = settings.smtp_from
    message["To"] = ", ".join(settings.smtp_to)
    message["Date"] = formatdate(now)
    message["Message-ID"] = f"<{row['alert_key'].replace(':', '.')}@quillo.alert>"
    message.set_content(
        f"{row['kind']}, raised {time_text(row['created_at'])} UTC\n\n"
        + json.dumps(data, indent=2, sort_keys=True, ensure_ascii=False) + "\n")
    try:
        with _SMTP(settings.smtp_host, settings.smtp_port, deadline) as smtp:
            if settings.smtp_starttls:
                smtp.starttls()
            smtp.send_message(message)
    except (smtplib.SMTPException, OSError) as e:
        raise DeliveryError(f"the SMTP server {settings.smtp_host}: {e}") from None


class Sender:
    """Delivers the outbox's due alerts; see the module's text."""

    deliver = {"webhook": post_webhook, "email": send_mail}

    def __init__(self, store, config, delivery_seconds=DELIVERY_SECONDS):
        self.store = store
        self.config = config  # a callable giving the current configuration
        self.delivery_seconds = delivery_seconds

    @staticmethod
    def _configured(channel, settings):
        if channel == "webhook":
            return settings.webhook_url is not None
        return settings.smtp_host is not None

    def send_due(self, now=None):
        """One pass over what is due now; returns the deliveries made."""
        settings = self.config().alerts
        now = self.store.now() if now is None else now
        sent, down, began = 0, set(), time.monotonic()
        for row in queue.due(self.store, now):
            if not self._configured(row["channel"], settings):
                queue.done(self.store, row["id"], "skipped", now)
                continue
            if now - row["created_at"] > settings.give_up_hours * 3600:
                log.error("alert %s by %s dropped: undelivered for %g h (give_up_hours)",
                          row["alert_key"], row["channel"], settings.give_up_hours)
                queue.done(self.store, row["id"], "dropped", now, "too late")
                continue
            # A receiver that just failed is not tried again in this pass, and
            # a pass ends well within the housekeeping lease.
            if row["channel"] in down or time.monotonic() - began > PASS_SECONDS:
                continue
            try:
                self.deliver[row["channel"]](settings, row, now,
                                             time.monotonic() + self.delivery_seconds)
            except Exception as e:  # whatever went wrong, this alert waits, not the others
                if not isinstance(e, DeliveryError):
                    e = DeliveryError(f"{type(e).__name__}: {e}"[:300])
                wait = min(settings.retry_seconds * 2.0 ** min(row["attempts"], 20), MAX_BACKOFF)
                queue.retry(self.store, row["id"], now + wait, str(e))
                down.add(row["channel"])
                held = _problems.allow(row["channel"])
                if held is not None:
                    log.warning("alert %s not delivered by %s, trying again in %d s: %s",
                                row["alert_key"], row["channel"], wait, e)
                continue
            queue.done(self.store, row["id"], "sent", now)
            log.info("alert %s delivered by %s", row["alert_key"], row["channel"])
            sent += 1
        return sent
