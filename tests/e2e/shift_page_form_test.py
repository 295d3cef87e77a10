#!/usr/bin/env python3
"""The shift report's page as markup: its form and where its charts draw.

    shift_page_form_test.py SUMMARY MAKE_SHIFT

Writes pages with flashprep-summary --results --html as a user does, over the
generator's shift and over records made here (records of flashprep 1.0 and a
cut line, runs within one bar, a month at a bar a day, 60 and 61 ports, nothing
to scale, a pace of millions), and reads them with Python's html.parser: every
element closed in its order, every table headed by a row of headings and as
wide in each row, every chart's marks inside the chart; each scale up to its
top; the time axis's labels at the starts of the test's own buckets; each bar
of the pace chart in its bucket's slot; a bar per port, the 60 most failing
when there are more. Prints "ok" or "not ok" per check; the exit status is 1
when any failed.
"""
import os
import re
import sys
from datetime import datetime, timedelta, timezone
from html.parser import HTMLParser
from zoneinfo import ZoneInfo

import checks
from checks import check
from shift_figures_test import Shift, WIDTHS_MIN, natural_key, record, run, utc_text, write

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
        "track", "wbr"}


class Page(HTMLParser):
    """What the checks read of a page: its nesting faults, tables, headings
    and paragraphs, list items, each chart's texts and rectangles, and what
    each chart draws outside its own box."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.open, self.faults = [], []
        self.tables, self.blocks, self.items = [], [], []
        self.texts, self.rects = [], []
        self.svg, self.capture = None, None
        self.box, self.outside = (0.0, 0.0), []
        self.feed(text)
        self.close()
        self.faults += [f"<{tag}> never closed" for tag in self.open]

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag not in VOID:
            self.open.append(tag)
        if tag == "table":
            self.tables.append([])
        elif tag == "tr" and self.tables:
            self.tables[-1].append([])
        elif tag in ("th", "td") and self.tables and self.tables[-1]:
            self.tables[-1][-1].append((tag, int(attrs.get("colspan", 1))))
        elif tag == "svg":
            self.svg, self.box = attrs.get("id"), (float(attrs["width"]), float(attrs["height"]))
        elif tag in ("h2", "p", "li"):
            self.capture = [tag, ""]
        elif tag == "text":
            self.inside(tag, attrs, ("x",), ("y",))
            self.texts.append([self.svg, attrs, ""])
            self.capture = self.texts[-1]
        elif tag == "rect":
            self.inside(tag, attrs, ("x",), ("y",))
            self.rects.append([self.svg, attrs, ""])
        elif tag == "title" and self.open[-2:-1] == ["rect"]:
            self.capture = self.rects[-1]

    def handle_startendtag(self, tag, attrs):
        # An SVG element closed in its own tag.
        if tag == "line":
            self.inside(tag, dict(attrs), ("x1", "x2"), ("y1", "y2"))

    def inside(self, tag, attrs, xs, ys):
        """Notes a mark of the chart with an end outside its box: the x and y
        attributes named, and a rectangle's far corner."""
        at = [[float(attrs[a]) for a in names] for names in (xs, ys)]
        for axis, size in enumerate(("width", "height")):
            if size in attrs:
                at[axis].append(float(attrs[xs[0] if axis == 0 else ys[0]]) + float(attrs[size]))
        if self.svg and any(not 0 <= v <= self.box[axis] for axis in (0, 1) for v in at[axis]):
            self.outside.append((self.svg, tag, at))

    def handle_endtag(self, tag):
        if not self.open or self.open[-1] != tag:
            self.faults.append(f"</{tag}> closes <{self.open[-1] if self.open else 'nothing'}>")
            return
        self.open.pop()
        if tag == "svg":
            self.svg = None
        if self.capture is not None and tag in ("h2", "p", "li", "text", "title"):
            if tag in ("h2", "p", "li"):
                (self.items if tag == "li" else self.blocks).append(tuple(self.capture))
            self.capture = None

    def handle_data(self, data):
        if self.capture is not None:
            self.capture[-1] += data

    def chart_texts(self, chart):
        return [(a, t) for svg, a, t in self.texts if svg == chart]

    def chart_rects(self, chart):
        return [(a, t) for svg, a, t in self.rects if svg == chart]


def well_made(name, page):
    """Every element closed in order; every table headed and of one width."""
    check(f"{name}: every element closed, in its order", not page.faults, str(page.faults[:3]))
    wrong = []
    for rows in page.tables:
        widths = [sum(span for _, span in row) for row in rows]
        if not rows or not rows[0] or any(tag != "th" for tag, _ in rows[0]) or \
                len(set(widths)) != 1:
            wrong.append(rows[:2])
    check(f"{name}: {len(page.tables)} tables, each headed by its headings and as wide in each row",
          page.tables and not wrong, str(wrong[:2]))
    check(f"{name}: every chart's lines, texts and rectangles inside its box",
          not page.outside, str(page.outside[:3]))


def report_page(summary, scratch, name, files, zone="UTC"):
    out = run([summary, "--results"] + files + ["--tz", zone, "--html", name + ".html"], scratch)
    check(f"{name}: the page is written", out.returncode in (0, 1), out.stderr)
    page = Page(open(os.path.join(scratch, name + ".html"), encoding="utf-8").read())
    well_made(name, page)
    return page


def bucket_words(width_min):
    if width_min < 60:
        return f"{width_min} minutes"
    if width_min < 1440:
        return "hour" if width_min == 60 else f"{width_min // 60} hours"
    return "day" if width_min == 1440 else f"{width_min // 1440} days"


def timeline(summary, scratch, name, runs, zone):
    """The time axis and the pace chart's bars against the test's own buckets."""
    path = write(os.path.join(scratch, name + ".jsonl"), runs)
    page = report_page(summary, scratch, name, [path], zone.key)
    with open(os.path.join(scratch, name + ".html"), encoding="utf-8") as f:
        text = f.read()
    s = Shift([path], zone)
    first, last = s.runs[0]["_start"], s.runs[-1]["_start"]
    span = last - first
    width = next((w for w in WIDTHS_MIN if span // (w * 60000) + 2 <= 48), WIDTHS_MIN[-1]) * 60000
    offset = int(datetime.fromtimestamp(first // 1000, zone).utcoffset().total_seconds() * 1000)
    b0 = (first + offset) // width
    n = (last + offset) // width - b0 + 1
    words = bucket_words(width // 60000)
    check(f"{name}: {n} buckets of a {words}, so named", f"one bar per {words}</text>" in text
          and f"one point per {words}</text>" in text
          and f"each point and bar of the timeline is one {words}." in text, words)

    # The whole shift's yield: a dashed line across the plot at its height on
    # the chart's own scale (read from the scale's labelled lines), so named.
    judged = s.judged
    overall = 100 * sum(r["verdict"] == "READY" for r in judged) / len(judged)
    said = [t for _, t in page.chart_texts("yield-chart") if t.startswith("shift ")]
    yield_svg = text.split('<svg id="yield-chart"')[1].split("</svg>")[0]
    scale = [(float(v), float(y)) for y, v in re.findall(
        r'<line x1="[\d.]+" y1="([\d.]+)" x2="[\d.]+" y2="[\d.]+" stroke="#DDDDDD"/>\n'
        r'<text x="[\d.]+" y="[\d.]+" text-anchor="end">(\d+) %</text>', yield_svg)]
    (low, y_low), (high, y_high) = min(scale), max(scale)
    at = y_high + (high - overall) / (high - low) * (y_low - y_high)
    dashed = re.findall(r'<line x1="([\d.]+)" y1="([\d.]+)" x2="([\d.]+)" y2="([\d.]+)" '
                        r'stroke="#333333" stroke-dasharray="6 4"/>', yield_svg)
    across = [tuple(map(float, d)) for d in dashed]
    check(f"{name}: the yield chart's line for the whole shift at {overall:.1f} % on its scale, "
          "so named", said == ["shift %.1f %%" % overall] and len(across) == 1 and
          abs(across[0][1] - at) <= 0.15 and across[0][1] == across[0][3], (said, across, at))

    # A point per bucket with runs judged, at its own yield on the scale, which
    # reaches down to the lowest of them.
    per = {}
    for r in judged:
        counts = per.setdefault((r["_start"] + offset) // width - b0, [0, 0])
        counts[0] += r["verdict"] == "READY"
        counts[1] += 1
    x0, x1 = map(float, re.search(r'<line x1="([\d.]+)" y1="[\d.]+" x2="([\d.]+)" y2="[\d.]+" '
                                  r'stroke="#DDDDDD"/>', yield_svg).groups())
    circles = re.findall(r'<circle cx="([\d.]+)" cy="([\d.]+)" r="4" fill="[^"]+"><title>[^<]*: '
                         r'[\d.]+ %, (\d+) of (\d+) READY</title>', yield_svg)
    wrong = []
    for (k, (ready, runs)), (cx, cy, said_ready, said_runs) in zip(sorted(per.items()), circles):
        percent = 100 * ready / runs
        y = y_high + (high - percent) / (high - low) * (y_low - y_high)
        if (int(said_ready), int(said_runs)) != (ready, runs) or not low <= percent <= high or \
                abs(float(cy) - y) > 0.15 or abs(float(cx) - (x0 + (x1 - x0) / n * (k + 0.5))) > 0.15:
            wrong.append((k, ready, runs, cx, cy, round(y, 1), low))
    check(f"{name}: a point for each of the {len(per)} buckets with runs judged, at its yield on "
          "the chart's scale", len(circles) == len(per) and not wrong, wrong[:3])

    for chart in ("yield-chart", "pace-chart"):
        # The scale's lines run across the plot: its left and right edges.
        edges = re.findall(r'<line x1="([\d.]+)" y1="[\d.]+" x2="([\d.]+)" y2="[\d.]+" '
                           r'stroke="#DDDDDD"/>', text.split(f'<svg id="{chart}"')[1].split("</svg>")[0])
        left, right = float(edges[0][0]), float(edges[0][1])
        slot = (right - left) / n
        labels = [(float(a["x"]), t) for a, t in page.chart_texts(chart)
                  if a.get("text-anchor") == "start" and a.get("font-size") == "11"]
        form = r"\d\d-\d\d" if width >= 86400000 else r"(\d\d-\d\d )?\d\d:\d\d"
        wrong, times, date, year = [], [], None, datetime.fromtimestamp(first // 1000, zone).year
        for x, label in labels:
            if not re.fullmatch(form, label):
                wrong.append((label, "form"))
                continue
            if " " in label or width >= 86400000:
                date = label[:5]
            elif date is None:
                wrong.append((label, "no date on the first label"))
                continue
            clock = label[-5:] if width < 86400000 else "00:00"
            at = datetime.strptime(f"{year}-{date} {clock}", "%Y-%m-%d %H:%M")
            if at.month < datetime.fromtimestamp(first // 1000, zone).month:
                at = at.replace(year=year + 1)
            local_ms = int(at.replace(tzinfo=timezone.utc).timestamp() * 1000)
            k = local_ms // width - b0
            if local_ms % width or not 0 <= k < n or abs(x - (left + slot * k)) > 0.15:
                wrong.append((label, x, k))
            else:
                times.append(local_ms)
        # Round steps: quarter and half hours, hours that divide a day, days, weeks.
        steps = {d * 60000 for d in (15, 30, 60, 120, 180, 240, 360, 720, 1440, 2880, 10080, 20160,
                                     40320)}
        apart = {b - a for a, b in zip(times, times[1:])}
        if len(apart) > 1 or not apart <= steps or any(t % min(apart, default=1) for t in times):
            wrong.append(("not a round step apart", sorted(apart)))
        dated = [t for _, t in labels if " " in t or width >= 86400000]
        check(f"{name}, {chart}: {len(labels)} time labels, each at a bucket's start, dated "
              "where the day changes", labels and not wrong and dated[:1] == [labels[0][1]],
              f"{wrong[:3]} of {[t for _, t in labels]}")

    bars = [(a, t) for a, t in page.chart_rects("pace-chart")
            if a.get("fill") == "#009E73" and ": " in t]
    check(f"{name}: a bar for each bucket with runs", len(bars) == len(s.buckets()),
          f"{len(bars)} != {len(s.buckets())}")
    misplaced = []
    for a, title in bars:
        start = re.match(r"(\d{4}-\d\d-\d\dT\d\d:\d\d) to (\d\d:\d\d) ([+-]\d\d:\d\d)", title)
        at = datetime.fromisoformat(start.group(1)).replace(tzinfo=timezone.utc)
        local_ms = int(at.timestamp() * 1000)
        k = local_ms // width - b0
        ends = (at + timedelta(milliseconds=width)).strftime("%H:%M")
        x, w = float(a["x"]), float(a["width"])
        centre = left + slot * (k + 0.5)
        if local_ms % width or start.group(2) != ends or abs(x + w / 2 - centre) > 0.15 or \
                not 0.5 * slot < w <= slot:
            misplaced.append((title, x, w, k, slot))
    check(f"{name}: each bar in the middle of its bucket's slot, wider than half of it, "
          "named by its start and end", not misplaced, str(misplaced[:2]))


def made_shift(summary, make_shift, scratch):
    shift = run([make_shift, "--twin", "--ended", "6", "--simulated", "12", "--copy", "--cut",
                 scratch], scratch)
    check("the generator makes a shift", shift.returncode == 0, shift.stderr)
    files = sorted(f for f in os.listdir(scratch) if f.startswith("station-"))
    page = report_page(summary, scratch, "made shift", files + [files[0]], "Asia/Kolkata")
    version = run([summary, "--version"], scratch).stdout.strip()
    with open(os.path.join(scratch, "made shift.html"), encoding="utf-8") as f:
        check("made shift: the page names the program that wrote it, as --version does",
              f'<meta name="generator" content="{version}">' in f.read(), version)
    heads = [t for tag, t in page.blocks if tag == "h2"]
    check("made shift: the image changes, the boards NOT READY and judged more than once are "
          "tables of their own", {"Image changes", "Boards NOT READY at the end",
                                  "Boards judged more than once"} <= set(heads)
          and len(page.tables) >= 7, str(heads))


def old_records(summary, scratch):
    """Records of flashprep 1.0 (no image) and one cut line."""
    lines = []
    for i in range(4):
        r = record(utc_text(datetime(2026, 12, 8, 6, tzinfo=timezone.utc) + timedelta(minutes=i)))
        v1 = {k: r[k] for k in ("board", "start", "end", "seconds", "verdict", "reasons", "log")}
        v1["version"] = "1.0.0"
        lines.append(v1)
    path = write(os.path.join(scratch, "old.jsonl"), lines)
    with open(path, encoding="utf-8") as f:
        whole = f.read()
    with open(path, "w", encoding="utf-8") as f:
        f.write(whole + whole.splitlines()[0][:40] + "\n")
    page = report_page(summary, scratch, "old records", [path])
    after = [b for i, b in enumerate(page.blocks) if i and page.blocks[i - 1] == ("h2", "Driver images")]
    check("old records: under Driver images, that the records name no image",
          after[:1] and after[0][0] == "p" and "name no image" in after[0][1], str(after))
    check("old records: one damaged line skipped, so told",
          any(t.startswith("1 damaged line skipped") for _, t in page.items),
          str([t for _, t in page.items]))


def scales(summary, scratch):
    """No run NOT READY (the ports' rates all 0), no run judged (the pace all
    0): the chart's scale from 0 to 1, inside the chart (well_made). Five runs
    within one millisecond: 18 million runs an hour, under the scale's top."""
    start = datetime(2026, 12, 8, 6, tzinfo=timezone.utc)
    for name, reasons, chart, anchor in (("all ready", (), "ports-chart", "middle"),
                                         ("none judged", ["NOT WAITED FOR"], "pace-chart", "end")):
        runs = [record(utc_text(start + timedelta(minutes=i)), reasons=reasons, serial=f"Z-{i}")
                for i in range(3)]
        page = report_page(summary, scratch, name, [write(os.path.join(scratch, name + ".jsonl"), runs)])
        scale = [t for a, t in page.chart_texts(chart) if a.get("text-anchor") == anchor]
        check(f"{name}: the {chart}'s scale, 0 and 1", scale == ["0", "1"], str(scale))
    runs = [record(utc_text(start), 0.001, port=f"1-1.{p}", serial=f"F-{p}") for p in range(1, 6)]
    page = report_page(summary, scratch, "one millisecond",
                       [write(os.path.join(scratch, "ms.jsonl"), runs)])
    scale = [float(t) for a, t in page.chart_texts("pace-chart") if a.get("text-anchor") == "end"]
    check("one millisecond: the pace chart's scale from 0 up to 18000000 runs an hour or more",
          scale[:1] == [0] and max(scale, default=0) >= 5 * 3600000, str(scale))


def ports(summary, scratch):
    """A bar per port up to 60; past that, the 60 that fail most, most first."""
    for count in (60, 61):
        runs = []
        for p in range(1, count + 1):
            for i in range(100):
                runs.append(record(utc_text(datetime(2026, 12, 8, 6, tzinfo=timezone.utc)
                                            + timedelta(seconds=20 * i)),
                                   reasons=["UNPLUGGED"] if i < p else (), port=f"1-1.{p}",
                                   devnum=10 + i))
        path = write(os.path.join(scratch, f"ports-{count}.jsonl"), runs)
        page = report_page(summary, scratch, f"{count} ports", [path])
        shown = sorted(range(1, count + 1), key=lambda p: -p)[:60] if count > 60 else \
            sorted(range(1, count + 1), key=lambda p: natural_key(f"1-1.{p}"))
        want = [f"line-a  1-1.{p}: {p} of 100 ({p}.0 %)" for p in shown]
        bars = page.chart_rects("ports-chart")
        got = [re.sub(r" stands out$", "", t) for _, t in bars]
        # The shift's rate as a dashed line, where a bar of that rate would end.
        shift = sum(range(1, count + 1)) / count
        top = max(range(len(bars)), key=lambda i: float(bars[i][0]["width"]))
        at = float(bars[top][0]["x"]) + float(bars[top][0]["width"]) * shift / shown[top]
        with open(os.path.join(scratch, f"{count} ports.html"), encoding="utf-8") as f:
            text = f.read()
        dashed = re.findall(r'<line x1="([\d.]+)" y1="[\d.]+" x2="([\d.]+)" y2="[\d.]+" '
                            r'stroke="#333333" stroke-dasharray="5 3"/>', text)
        check(f"{count} ports: the shift's rate, {shift:.1f} %, a dashed line across the ports "
              "only", len(dashed) == 1 and abs(float(dashed[0][0]) - at) < 0.3
              and f"shift {shift:.1f} %" in [t for _, t in page.chart_texts("ports-chart")],
              f"{dashed} against {at:.1f}")
        check(f"{count} ports: {len(want)} bars, each its port's NOT READY rate, in their order",
              got == want, f"{len(got)} bars: {got[:2]} ... {got[-2:]}")


def main(argv):
    summary, make_shift = argv[1:3]

    def body(scratch):
        made_shift(summary, make_shift, scratch)
        old_records(summary, scratch)
        scales(summary, scratch)
        start = datetime(2026, 12, 8, 6, 0, tzinfo=timezone.utc)
        timeline(summary, scratch, "one bar", [
            record(utc_text(start + timedelta(seconds=20 * i)), serial=f"O-{i}") for i in range(10)],
            ZoneInfo("UTC"))
        # The last run alone in its bucket, right after the others', and NOT
        # READY: the yield's scale goes down to 0 for it.
        timeline(summary, scratch, "a shift", [
            record(utc_text(start + timedelta(minutes=m)), serial=f"S-{m}",
                   reasons=["UNPLUGGED"] if m % 63 == 28 or m == 497 else ())
            for m in [*range(0, 490, 7), 497]], ZoneInfo("Asia/Kolkata"))
        month = datetime(2027, 1, 4, 8, 0, tzinfo=timezone.utc)
        timeline(summary, scratch, "a month", [
            record(utc_text(month + timedelta(hours=12 * i)), serial=f"M-{i}") for i in range(60)],
            ZoneInfo("Asia/Kolkata"))
        ports(summary, scratch)
    return checks.in_scratch("flashprep-page-form-", body)

if __name__ == "__main__":
    sys.exit(main(sys.argv))
