#!/usr/bin/env python3
"""The shift report's page as a browser shows it.

    report_page_test.py SUMMARY MAKE_SHIFT VALIDATOR SCHEMA

Makes a shift with the generator (four stations, a bad port, a station that
changes its image, two stations of one name, runs the station ended),
checks its records against the schema, writes the page with
flashprep-summary --results --html, has headless Chromium (Debian's
chromium) draw it into a PNG, and checks that each chart is there: every
chart draws its data in a colour of its own, and so many pixels of that
colour must be found, the charts in their order down the page. Then the
page printed (Chromium's PDF, each page drawn by pdftoppm of poppler-utils):
each chart's colour on one page only, so no chart is cut; and the page in a
phone's 390 px: nothing drawn at its right edge (the content would run past
it), each chart narrower than the window. Chromium missing is a failure,
never a skip. Prints "ok" or "not ok" per check; the exit status is 1 when
any failed.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

import checks
from checks import check



def read_png(path):
    """(width, height, rows of RGB bytes) of an 8-bit RGB or RGBA PNG."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour not in (2, 6) or interlace != 0:
                raise ValueError(f"PNG of a kind not read here ({depth}, {colour}, {interlace})")
        elif kind == b"IDAT":
            idat += body
    bpp = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        if kind == 1:
            for x in range(bpp, stride):
                line[x] = (line[x] + line[x - bpp]) & 255
        elif kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, prev))
        elif kind == 3:
            for x in range(stride):
                left = line[x - bpp] if x >= bpp else 0
                line[x] = (line[x] + (left + prev[x]) // 2) & 255
        elif kind == 4:
            for x in range(stride):
                a = line[x - bpp] if x >= bpp else 0
                b, c = prev[x], prev[x - bpp] if x >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line) if bpp == 3 else bytes(
            v for i, v in enumerate(line) if i % 4 != 3))
        prev = line
    return width, height, rows


def colour_boxes(width, rows, colours):
    """For each colour (hex), how many pixels have it (give or take 6 per
    channel) and the box around them: (count, top, bottom, left, right)."""
    wanted = {c: tuple(int(c[i:i + 2], 16) for i in (1, 3, 5)) for c in colours}
    found = {c: [0, None, None, width, -1] for c in colours}
    for y, row in enumerate(rows):
        for x in range(width):
            r, g, b = row[3 * x], row[3 * x + 1], row[3 * x + 2]
            if r > 240 and g > 240 and b > 240:
                continue
            for c, (wr, wg, wb) in wanted.items():
                if abs(r - wr) <= 6 and abs(g - wg) <= 6 and abs(b - wb) <= 6:
                    f = found[c]
                    f[0] += 1
                    f[1] = y if f[1] is None else f[1]
                    f[2] = y
                    f[3] = min(f[3], x)
                    f[4] = max(f[4], x)
    return found


def drawn_by_chromium(chromium, profile, what, page, out, options):
    """Headless Chromium draws `page` into `out` (--screenshot or
    --print-to-pdf, in `options`); False, told, when it did not."""
    made = subprocess.run(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--hide-scrollbars", f"--user-data-dir={profile}"] + options
        + ["file://" + page], capture_output=True, text=True, timeout=240)
    return check(what, made.returncode == 0 and os.path.exists(out), made.stderr[-2000:])


def printed(chromium, profile, page, scratch, charts):
    """Each chart on one printed page."""
    pdf = os.path.join(scratch, "page.pdf")
    if not drawn_by_chromium(chromium, profile, "chromium prints the page", page, pdf,
                             ["--no-pdf-header-footer", f"--print-to-pdf={pdf}"]):
        return
    keep(pdf)
    drawn = subprocess.run(["pdftoppm", "-r", "40", "-png", pdf, os.path.join(scratch, "printed")],
                           capture_output=True, text=True)
    pngs = sorted(f for f in os.listdir(scratch) if f.startswith("printed"))
    check(f"pdftoppm draws its {len(pngs)} pages", drawn.returncode == 0 and len(pngs) > 1,
          drawn.stderr)
    on_pages = {colour: [] for _, colour, _ in charts}
    for n, name in enumerate(pngs):
        width, _, rows = read_png(os.path.join(scratch, name))
        for colour, box in colour_boxes(width, rows, list(on_pages)).items():
            if box[0] >= 10:
                on_pages[colour].append(n + 1)
    for name, colour, _ in charts[:4]:
        check(f"printed, {name} lies on one page (pages {on_pages[colour]})",
              len(on_pages[colour]) == 1)


def on_a_phone(chromium, profile, page, scratch, charts):
    """Nothing runs past a 390 px window."""
    png = os.path.join(scratch, "phone.png")
    if not drawn_by_chromium(chromium, profile, "chromium draws the page 390 px wide", page, png,
                             ["--window-size=390,4000", f"--screenshot={png}"]):
        return
    width, height, rows = read_png(png)
    edge = [y for y in range(height) for x in range(width - 3, width)
            if min(rows[y][3 * x:3 * x + 3]) < 200]
    check("nothing is drawn at the window's right edge", not edge,
          f"{len(edge)} dark pixels, the first at y={edge[:1]}")
    boxes = colour_boxes(width, rows, [c for _, c, _ in charts[:4]])
    for name, colour, _ in charts[:4]:
        count, _, _, left, right = boxes[colour]
        check(f"at 390 px, {name} is drawn inside the window", count > 0 and right < width - 4,
              f"{count} pixels up to x={right}")
    keep(png)


def keep(path):
    """A copy for a person to look at, into FLASHPREP_PAGE_KEEP when set."""
    folder = os.environ.get("FLASHPREP_PAGE_KEEP")
    if folder:
        shutil.copy(path, folder)


def main(argv):
    summary, make_shift, validator, schema = argv[1:5]
    scratch = tempfile.mkdtemp(prefix="flashprep-page-")
    try:
        shift = subprocess.run([make_shift, "--twin", "--ended", "6", scratch], capture_output=True,
                               text=True)
        check("the generator makes a shift", shift.returncode == 0, shift.stderr)
        files = sorted(os.path.join(scratch, f) for f in os.listdir(scratch) if f.endswith(".jsonl"))
        valid = subprocess.run([sys.executable, validator, schema] + files,
                               capture_output=True, text=True)
        check("its records are of the schema", valid.returncode == 0, valid.stdout + valid.stderr)
        page = os.path.join(scratch, "page.html")
        report = subprocess.run([summary, "--results"] + files + ["--html", page],
                                capture_output=True, text=True)
        check("flashprep-summary writes the page", report.returncode == 0, report.stderr)
        check("the text names the bad port", "STANDS OUT: station-3 1-1.3," in report.stdout,
              report.stdout)
        html = open(page, encoding="utf-8").read()
        for outside in ("<script", "http:", "https:", "src=", "<link", "url(", "@import"):
            check(f"the page has no {outside}", outside not in html)

        chromium = shutil.which("chromium")
        if not check("chromium is installed (tools/test installs it)", chromium is not None):
            return 1
        png = os.path.join(scratch, "page.png")
        profile = os.path.join(scratch, "profile")
        os.mkdir(profile)
        if not drawn_by_chromium(chromium, profile, "chromium draws the page", page, png,
                                 ["--window-size=1100,2300", f"--screenshot={png}"]):
            return 1
        width, height, rows = read_png(png)
        check("the picture is the window's size", (width, height) == (1100, 2300),
              f"{width}x{height}")
        # Each chart's own colour, and how many of its pixels make it there
        # (a line of 30 points, bars of boards, of reasons, of 20 ports).
        charts = [("yield over the shift", "#0072B2", 2000),
                  ("boards per hour", "#009E73", 20000),
                  ("failures by reason", "#CC79A7", 3000),
                  ("failures by port", "#56B4E9", 1500),
                  ("the port that stands out", "#E69F00", 300)]
        boxes = colour_boxes(width, rows, [c for _, c, _ in charts])
        for name, colour, least in charts:
            count, top, bottom, left, right = boxes[colour]
            check(f"{name} is drawn ({count} pixels of {colour})", count >= least,
                  f"fewer than {least}")
        order = [boxes[c][1] for _, c, _ in charts[:4]]
        check("the charts come in their order down the page",
              None not in order and order == sorted(order), str(order))
        port_box, flagged_box = boxes["#56B4E9"], boxes["#E69F00"]
        check("the port that stands out is among the ports' bars",
              None not in (port_box[1], flagged_box[1]) and port_box[1] <= flagged_box[1] <= port_box[2],
              f"{port_box} {flagged_box}")
        printed(chromium, profile, page, scratch, charts)
        on_a_phone(chromium, profile, page, scratch, charts)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
