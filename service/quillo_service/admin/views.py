"""The console's views, in menu order: each feature's view under its name
in the address (/admin/<name>).

A view has a `title` (the menu's text) and `build(store, config, period,
filters, now)`, which returns a tables.Page.  The views live with their
features; the console imports them here, and no feature imports the console.
The banners above every view come from their own feature (banners/).
"""

from .. import banners
from ..alerts.view import AlertsView
from ..dashboard.views import Crashes, Failures, Installs, Malformed, Rates, Systems
from ..funnel.view import FunnelView
from ..rollouts.view import RolloutsView, rule_anchor

VIEWS = {"installs": Installs, "failures": Failures, "rates": Rates, "systems": Systems,
         "crashes": Crashes, "malformed": Malformed, "funnel": FunnelView,
         "rollouts": RolloutsView, "alerts": AlertsView}

__all__ = ["VIEWS", "banners", "rule_anchor"]
