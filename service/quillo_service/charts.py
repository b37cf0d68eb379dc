"""Small charts drawn on the server as SVG.

Hand-made rather than matplotlib: two chart kinds (stacked bars per day and
horizontal bars) are a few dozen lines, need no extra package, render in
microseconds, and the pages work without JavaScript.  Every text that goes
into the SVG (keys, versions, codes) passes through `escape`, so stored values
can never become markup; the SVG is inline in the page, under its
Content-Security-Policy.
"""

import math

from markupsafe import Markup, escape

from .shorten import middle

PALETTE = ("#2a62c9", "#e07b39", "#3ca370", "#c94a4a", "#8a63c9", "#c9b52a",
           "#3fb1c4", "#b5657f", "#7f8c8d", "#5d4037")
OTHER_COLOUR = "#b0b0b0"
# Characters of a label beside a horizontal bar: about 7 px each at 11 px
# (wide digits and letters), so that none runs past the left edge.
LABEL_CHARS = 29


def colour(i):
    return PALETTE[i % len(PALETTE)]


def _num(n):
    return f"{n:,.1f}" if isinstance(n, float) else f"{n:,}"


def round_step(peak, steps=4):
    """A step of 1, 2 or 5 times a power of ten that covers `peak` (a count, a percentage)
    in at most `steps` steps: axes people read at a glance (0, 500, 1,000)."""
    step = 1
    while True:
        for m in (1, 2, 5):
            if step * m * steps >= peak:
                return step * m
        step *= 10


_LEFT, _RIGHT, _TOP, _BOTTOM = 52, 8, 24, 42  # margins of the charts per day
NO_DATA = "No data in this period"


def _empty(title, width, height=60):
    """A chart with nothing to draw says so, instead of bare 0 to 1 axes."""
    return Markup(
        f'<svg xmlns="http://www.w3.org/2000/svg" class="chart empty" role="img" '
        f'width="{width}" height="{height}" viewBox="0 0 {width} {height}">'
        f"<title>{escape(title)}: {NO_DATA.lower()}</title>"
        f'<rect x="0.5" y="0.5" width="{width - 1}" height="{height - 1}" fill="#fafafa" '
        'stroke="#e3e3e3"/>'
        f'<text x="{width / 2:.0f}" y="{height / 2 + 5:.0f}" text-anchor="middle" '
        f'font-size="13">{NO_DATA}</text></svg>')


def _frame(width, height, title, highest, tick_text):
    """The start of a chart per day: the <svg> with its title and grid lines
    on round values up to `highest`; returns (parts, the scale's top)."""
    plot_h = height - _TOP - _BOTTOM
    step = round_step(highest)
    ticks = max(1, math.ceil(highest / step))  # whole steps up to the top bar
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" role="img" '
           f'width="{width}" height="{height}" viewBox="0 0 {width} {height}">',
           f"<title>{escape(title)}</title>"]
    for i in range(ticks + 1):
        y = _TOP + plot_h - plot_h * i / ticks
        out.append(f'<line x1="{_LEFT}" x2="{width - _RIGHT}" y1="{y:.1f}" y2="{y:.1f}" '
                   'stroke="#e3e3e3"/>')
        out.append(f'<text x="{_LEFT - 4}" y="{y + 4:.1f}" text-anchor="end" '
                   f'font-size="10">{escape(tick_text(step * i))}</text>')
    return out, step * ticks


def _tick(label, unit):
    """A bar's label under the axis: "12-08" of a day, "14:00" of an hour."""
    return label[11:] if unit == "hour" else label[5:]


def stacked_bars(days, series, title, width=760, height=240, unit="day"):
    """Bars per day (or per hour, by `unit`), stacked by series.

    days: [(label, {series name: count})], labels as periods.day_text or
    hour_text; series: [(name, colour)] in stacking order.  Returns Markup
    holding an <svg>.
    """
    left, top, bottom = _LEFT, _TOP, _BOTTOM
    plot_w, plot_h = width - _LEFT - _RIGHT, height - _TOP - _BOTTOM
    totals = [sum(counts.values()) for _, counts in days]
    if not any(totals):
        return _empty(title, width)
    out, peak = _frame(width, height, title, max(totals, default=0), _num)
    slot = plot_w / max(len(days), 1)
    bar = max(1.0, slot * 0.75)
    every = max(1, len(days) // 10)
    for i, (label, counts) in enumerate(days):
        x = left + i * slot + (slot - bar) / 2
        y = top + plot_h
        for name, fill in series:
            n = counts.get(name, 0)
            if not n:
                continue
            h = plot_h * n / peak
            y -= h
            out.append(f'<rect class="bar" x="{x:.1f}" y="{y:.1f}" width="{bar:.1f}" '
                       f'height="{max(h, 0.5):.1f}" fill="{fill}"><title>'
                       f'{escape(label)}: {escape(name)} {escape(_num(n))}</title></rect>')
        if i % every == 0:
            out.append(f'<text x="{x + bar / 2:.1f}" y="{height - bottom + 14}" '
                       f'text-anchor="middle" font-size="10">{escape(_tick(label, unit))}</text>')
    out.append(f'<text x="{left}" y="{height - 6}" font-size="10">{unit} (UTC)</text>')
    out.append("</svg>")
    return Markup("".join(out))


def horizontal_bars(rows, title, width=760, bar_h=18, label_w=220, unit=""):
    """One bar per (label, count), largest first as given; a row may add
    the whole of a label cut by its caller, (label, count, whole), for the
    titles."""
    if not rows:
        return _empty(title, width)
    top = 6
    height = top + len(rows) * (bar_h + 4) + 6
    peak = max((row[1] for row in rows), default=0) or 1
    plot_w = width - label_w - 80
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" role="img" '
           f'width="{width}" height="{height}" viewBox="0 0 {width} {height}">',
           f"<title>{escape(title)}</title>"]
    for i, (label, n, *given) in enumerate(rows):
        y = top + i * (bar_h + 4)
        # Longer labels lose their middle and keep the whole in a title.
        text = middle(label, LABEL_CHARS)
        label = given[0] if given else label
        whole = f"<title>{escape(label)}</title>" if text != str(label) else ""
        w = max(plot_w * n / peak, 1)
        out.append(f'<text x="{label_w - 6}" y="{y + bar_h - 5}" text-anchor="end" '
                   f'font-size="11">{whole}{escape(text)}</text>')
        out.append(f'<rect class="bar" x="{label_w}" y="{y}" width="{w:.1f}" height="{bar_h}" '
                   f'fill="{colour(0)}"><title>{escape(label)}: {escape(_num(n) + unit)}</title></rect>')
        out.append(f'<text x="{label_w + w + 4:.1f}" y="{y + bar_h - 5}" '
                   f'font-size="11">{escape(_num(n) + unit)}</text>')
    out.append("</svg>")
    return Markup("".join(out))


def grouped_bars(days, series, title, width=760, height=200, unit=" %"):
    """Bars per day side by side, one per series (rates, which must not be
    stacked).  days: [(label, {series name: value or None})]; series:
    [(name, colour)].  A missing value draws no bar."""
    left, top, bottom = _LEFT, _TOP, _BOTTOM
    plot_w, plot_h = width - _LEFT - _RIGHT, height - _TOP - _BOTTOM
    values = [v for _, vs in days for v in vs.values() if v is not None]
    if not values:
        return _empty(title, width)
    out, peak = _frame(width, height, title, max(values, default=0), lambda v: f"{v:,}{unit}")
    slot = plot_w / max(len(days), 1)
    bar = max(1.0, slot * 0.8 / max(len(series), 1))
    every = max(1, len(days) // 10)
    for i, (label, vs) in enumerate(days):
        x0 = left + i * slot + slot * 0.1
        for j, (name, fill) in enumerate(series):
            v = vs.get(name)
            if v is None:
                continue
            h = plot_h * v / peak
            out.append(f'<rect class="bar" x="{x0 + j * bar:.1f}" y="{top + plot_h - h:.1f}" '
                       f'width="{bar:.1f}" height="{max(h, 0.5):.1f}" fill="{fill}"><title>'
                       f'{escape(label)}: {escape(name)} {escape(f"{v:.2f}{unit}")}'
                       '</title></rect>')
        if i % every == 0:
            out.append(f'<text x="{x0 + bar * len(series) / 2:.1f}" y="{height - bottom + 14}" '
                       f'text-anchor="middle" font-size="10">{escape(label[5:])}</text>')
    out.append(f'<text x="{left}" y="{height - 6}" font-size="10">day (UTC)</text>')
    out.append("</svg>")
    return Markup("".join(out))


def funnel(stages, title, width=760, bar_h=30, label_w=170):
    """A funnel: one centred bar per (stage, count), widths against the first
    stage, each labelled with its count and its share of the first."""
    first = stages[0][1] if stages else 0
    if not first:
        return _empty(title, width)
    top = 6
    height = top + len(stages) * (bar_h + 6) + 6
    plot_w = width - label_w - 150
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" role="img" '
           f'width="{width}" height="{height}" viewBox="0 0 {width} {height}">',
           f"<title>{escape(title)}</title>"]
    for i, (label, n) in enumerate(stages):
        y = top + i * (bar_h + 6)
        w = max(plot_w * n / first, 1) if first else 1
        x = label_w + (plot_w - w) / 2
        share = f" ({100.0 * n / first:.1f} %)" if first else ""
        out.append(f'<text x="{label_w - 8}" y="{y + bar_h / 2 + 4:.1f}" text-anchor="end" '
                   f'font-size="12">{escape(label)}</text>')
        out.append(f'<rect class="bar" x="{x:.1f}" y="{y}" width="{w:.1f}" height="{bar_h}" '
                   f'fill="{colour(i)}"><title>{escape(label)}: {escape(_num(n) + share)}'
                   '</title></rect>')
        out.append(f'<text x="{label_w + plot_w + 8}" y="{y + bar_h / 2 + 4:.1f}" '
                   f'font-size="12">{escape(_num(n) + share)}</text>')
    out.append("</svg>")
    return Markup("".join(out))
