"""/metrics: the collector's figures in Prometheus's text format, behind the
console's login (admin/auth.py), like every page that shows the store's
figures.  A scraper gives a console user's name and password (a read-only
user is enough); the login is remembered by each worker for a few
minutes, so a scrape does not pay for the password's hash each time."""

from flask import Blueprint, Response, current_app
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest

from .. import admin
from .collector import StoreCollector

bp = Blueprint("metrics", __name__)
bp.before_request(admin.require_credentials)


@bp.route("/metrics")
def metrics():
    registry = CollectorRegistry()
    registry.register(StoreCollector(current_app.extensions["quillo"]))
    return Response(generate_latest(registry), 200, content_type=CONTENT_TYPE_LATEST,
                    headers={"Cache-Control": "no-store"})
