"""The console's Download funnel view: the funnel's counts (queries.py) as a
chart and tables of campaigns, days, bandwidth and download speed."""

from .. import charts
from ..periods import day_text
from ..links import requests_link
from ..tables import (CLOCK_RULE, DOWNLOAD_RULE, FAILURE_RULE, GIB, OTHER_KEYS, Bytes, Money,
                      Page, Table, answer_label, percent_of)
from .outcomes import (BYTES_SENT, BYTES_WASTED, COMPLETED, COMPLETED_BYTES,
                       COMPLETED_SECONDS, COUNTS, STARTED, UNASKED, installer_path,
                       of_requests)
from .queries import FunnelCounts


STAGES = ("asked", "sent to download", "download started", "download completed",
          "resumed", "failure reported", "no news")


def download_label(answer, config):
    """The channel (or file) that bytes went to, in the publisher's terms."""
    if answer.startswith(UNASKED):
        path = answer[len(UNASKED):]
        for name, address in config.channels.items():
            if installer_path("GET:" + address) == path:
                return f"channel {name} (no instruction request)"
        return f"file {path} (no instruction request)"
    return answer_label(answer, config)


def _sum(rows):
    total = [0] * len(COUNTS)
    for counts in rows:
        for j, n in enumerate(counts):
            total[j] += n
    return total


def _cost(nbytes, config):
    return Money(round(nbytes / GIB * config.price_per_gib, 2))


def _grouped(campaigns, days, config):
    """The period's funnel rows summed per (campaign key, rule, channel) and
    per day, and their bytes [sent, sent twice] per (day, channel), from
    the rows by key, rule and answer and those by day and answer."""
    by_campaign, by_day, by_bytes = {}, {}, {}
    for (_, key, _, rule, answer), counts in campaigns.items():
        if of_requests(answer):
            c = by_campaign.setdefault((key, rule, answer_label(answer, config)),
                                       [0] * len(COUNTS))
            for j, n in enumerate(counts):
                c[j] += n
    for (day, _, _, _, answer), counts in days.items():
        if of_requests(answer):
            d = by_day.setdefault(day, [0] * len(COUNTS))
            for j, n in enumerate(counts):
                d[j] += n
        if counts[BYTES_SENT]:
            b = by_bytes.setdefault((day, download_label(answer, config)), [0, 0])
            b[0] += counts[BYTES_SENT]
            b[1] += counts[BYTES_WASTED]
    return by_campaign, by_day, by_bytes


def _speed_rows(asked, config):
    """Per channel: completed downloads, their average seconds and MiB/s."""
    speed = {}
    for (day, key, version, rule, answer), counts in asked.items():
        s = speed.setdefault(answer_label(answer, config), [0, 0, 0.0])
        s[0] += counts[COMPLETED]
        s[1] += counts[COMPLETED_BYTES]
        s[2] += counts[COMPLETED_SECONDS]
    return [(channel, n, f"{secs / n:.1f}" if n else "",
             f"{size / secs / 2 ** 20:.2f}" if secs else "")
            for channel, (n, size, secs) in sorted(speed.items()) if n]


def _notes(rows, config):
    """What the stages mean, how records are laid at requests, and the bytes
    sent in the period with their cost."""
    price = config.price_per_gib
    sent, wasted = (sum(c[BYTES_SENT] for c in rows.values()),
                    sum(c[BYTES_WASTED] for c in rows.values()))
    return [
        "\"No news\" is an upper estimate of the installs that succeeded: the "
        "launcher reports only failures, so a completed download without a failure "
        "report may still have failed silently (silent runs never report).",
        f"{DOWNLOAD_RULE} {FAILURE_RULE} {CLOCK_RULE} Rows are by the day of the "
        "instruction request; a period that starts within an hour counts that whole hour.",
        f"{Bytes(sent).text} ({sent:,} bytes) of installers sent in the period; "
        f"{percent_of(wasted, sent) or '0.0 %'} of them sent more than once (overlapping "
        "ranges)." + (f" Egress cost at {price:g} {config.currency} per GiB: "
                      f"{_cost(sent, config).text} {config.currency}." if price else
                      " Set [bandwidth] price_per_gib to see the egress cost.")]


class FunnelView:
    title = "Download funnel"

    @staticmethod
    def build(store, config, period, filters, now):
        campaigns, days = FunnelCounts(store).grouped(
            period, filters, (("bundle_key", "rule", "answer"), ("day", "answer")), now)
        asked = {k: v for k, v in campaigns.items() if of_requests(k[4])}
        total = _sum(asked.values())
        stages = list(zip(STAGES, total[:len(STAGES)]))
        svg = charts.funnel(stages, "Download funnel")
        by_campaign, by_day, by_bytes = _grouped(campaigns, days, config)
        price = config.price_per_gib

        def money(nbytes):
            return (_cost(nbytes, config),) if price else ()
        campaign_rows = [
            (requests_link(key, key=key) if key else OTHER_KEYS,
             requests_link(rule, rule=rule) if rule else rule, channel, *c[:len(STAGES)],
             percent_of(c[COMPLETED], c[STARTED]), Bytes(c[BYTES_SENT]),
             percent_of(c[BYTES_WASTED], c[BYTES_SENT]))
            + money(c[BYTES_SENT])
            for (key, rule, channel), c in sorted(
                by_campaign.items(), key=lambda kv: (-kv[1][0], kv[0]))[:500]]
        day_rows = [(day_text(d), *by_day.get(d, [0] * len(COUNTS))[:len(STAGES)])
                    for d in period.days]
        bandwidth = [(day_text(d), channel, Bytes(sent), round(sent / GIB, 3), Bytes(wasted),
                      percent_of(wasted, sent)) + money(sent)
                     for (d, channel), (sent, wasted) in sorted(by_bytes.items())]
        cost_col = (f"cost ({config.currency})",) if price else ()
        return Page(
            "Download funnel: from instruction request to installer on disk",
            [("Instruction requests and what became of them", svg, [])],
            [Table("funnel", "Funnel and bytes sent per campaign key, rule and channel",
                   ("key", "rule", "answer") + STAGES
                   + ("completed of started (%)", "bytes sent", "wasted share (%)") + cost_col,
                   campaign_rows, "Up to 500 rows, most requests first."),
             Table("per-day", "Funnel per day", ("day (UTC)",) + STAGES, day_rows),
             Table("bandwidth", "Bytes sent per day and channel",
                   ("day (UTC)", "channel", "bytes sent", "GiB", "bytes sent twice",
                    "wasted share (%)") + cost_col, bandwidth),
             Table("speed", "Completed downloads: average time and speed",
                   ("channel", "completed downloads", "average seconds",
                    "average MiB/s"), _speed_rows(asked, config),
                   "From the first byte asked for to the last byte sent, pauses included.")],
            _notes(days, config))
