"""Alerts about rollouts: for now only written to the service's log."""

import logging

log = logging.getLogger("quillo_service")


def notify(store, kind, data):
    """Report an event of `kind` with its JSON-serialisable `data`."""
    log.info("alert %s: %s", kind, data)
