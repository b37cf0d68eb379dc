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


def _power_text(e):
    """10 ** e as an axis reads it: 0.01, 1, 1,000, 1e6."""
    if e < 0:
        return f"{10.0 ** e:.{-e}f}"
    return f"{10 ** e:,}" if e <= 5 else f"1e{e}"


def log_line(points, threshold, title, width=760, height=240, floor=1e-2, above=3,
             y_label="evidence (log scale)", unit="hour"):
    """A line of positive values over time on a log scale against a dashed
    threshold: values multiply as they grow (the guard's evidence), so
    their logarithm moves evenly.  points: [(label, value or None, halted)]
    in time order, labels as periods.hour_text; None leaves a gap.  The
    scale runs from 1 (or lower, down to `floor`) to `above` powers of ten
    over the threshold; a value beyond either end is drawn at that end and
    named in full in its title."""
    values = [v for _, v, _ in points if v is not None and v > 0]
    if not points or not any(v is not None for _, v, _ in points):
        return _empty(title, width)
    left, right, top, bottom = _LEFT + 10, _RIGHT + 70, _TOP, _BOTTOM
    plot_w, plot_h = width - left - right, height - top - bottom
    top_e = math.ceil(math.log10(threshold)) + above
    low_e = min(0, max(math.floor(math.log10(min(values, default=1))), round(math.log10(floor))))

    def y(v):
        e = math.log10(v) if v and v > 0 else low_e
        return top + plot_h * (1 - (min(max(e, low_e), top_e) - low_e) / (top_e - low_e))

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" role="img" '
           f'width="{width}" height="{height}" viewBox="0 0 {width} {height}">',
           f"<title>{escape(title)}</title>"]
    for e in range(low_e, top_e + 1):
        ty = y(10.0 ** e)
        out.append(f'<line x1="{left}" x2="{width - right}" y1="{ty:.1f}" y2="{ty:.1f}" '
                   f'stroke="{"#c8c8c8" if e == 0 else "#ececec"}"/>')
        out.append(f'<text x="{left - 4}" y="{ty + 4:.1f}" text-anchor="end" '
                   f'font-size="10">{escape(_power_text(e))}</text>')
    ty = y(threshold)
    out.append(f'<line class="threshold" x1="{left}" x2="{width - right}" y1="{ty:.1f}" '
               f'y2="{ty:.1f}" stroke="{colour(3)}" stroke-dasharray="6 4" stroke-width="1.5"/>')
    out.append(f'<text x="{width - right + 4}" y="{ty + 4:.1f}" font-size="10" '
               f'fill="{colour(3)}">halts at {escape(f"{threshold:,.6g}")}</text>')
    slot = plot_w / max(len(points), 1)
    runs, run = [], []
    for i, (label, v, halted) in enumerate(points):
        if v is None:
            runs, run = runs + [run] if run else runs, []
            continue
        run.append((left + (i + 0.5) * slot, y(v), label, v, halted))
    runs += [run] if run else []
    for run in runs:
        if len(run) > 1:
            out.append(f'<polyline fill="none" stroke="{colour(0)}" stroke-width="1.8" points="'
                       + " ".join(f"{x:.1f},{py:.1f}" for x, py, *_ in run) + '"/>')
        for x, py, label, v, halted in run:
            if halted or len(run) == 1 or len(points) <= 200:
                fill = colour(3) if halted else colour(0)
                said = f"{label}: {v:,.3g}" + (" (halted)" if halted else "")
                out.append(f'<circle cx="{x:.1f}" cy="{py:.1f}" r="{4 if halted else 2}" '
                           f'fill="{fill}"><title>{escape(said)}</title></circle>')
    every = max(1, len(points) // 8)
    for i, (label, _, _) in enumerate(points):
        if i % every == 0:
            out.append(f'<text x="{left + (i + 0.5) * slot:.1f}" y="{height - bottom + 14}" '
                       f'text-anchor="middle" font-size="10">{escape(label[5:])}</text>')
    out.append(f'<text x="{left}" y="{height - 6}" font-size="10">{unit} (UTC)</text>')
    out.append(f'<text x="12" y="{top + plot_h / 2:.0f}" font-size="10" text-anchor="middle" '
               f'transform="rotate(-90 12 {top + plot_h / 2:.0f})">{escape(y_label)}</text>')
    out.append("</svg>")
    return Markup("".join(out))
