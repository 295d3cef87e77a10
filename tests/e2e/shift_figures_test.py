#!/usr/bin/env python3
"""The shift report's figures against a computation of their own.

    shift_figures_test.py SUMMARY MAKE_SHIFT

Runs flashprep-summary --results as a user does, over a shift the generator
makes (retests, a file given twice, a copy of a file taken at noon, two
stations of one name, rehearsals on simulated boards, runs the station
ended, a last bar of a few minutes) and over records made here (small
counts, the stand-out boundary, month ends and leap days), and checks each
figure of the text, the CSV and the page against what this script computes
from the same files by the rules of the man page's SHIFT REPORT, with
Python's json, csv and zoneinfo: none of the report's own code. Prints
"ok" or "not ok" per check; the exit status is 1 when any failed.
"""
import csv
import html
import json
import math
import os
import re
import subprocess
import sys
from datetime import datetime, timedelta, timezone
from fractions import Fraction
from zoneinfo import ZoneInfo

import checks
from checks import check

ENDS = ("STOPPED BY SIGNAL", "NOT STARTED", "NOT WAITED FOR", "BUSY", "STATION ENDED", "LOG LOST")
GAP_MS = 10 * 60 * 1000
WIDTHS_MIN = [5, 10, 15, 30, 60, 120, 180, 240, 360, 720, 1440, 2880, 10080, 20160, 40320, 131040]


def ms_of(text):
    return int(datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp() * 1000 + 0.5)


def local(ms, zone):
    return datetime.fromtimestamp(ms // 1000, zone).isoformat(timespec="seconds")


def natural_key(text):
    return [(0, int(p), "") if p.isdigit() else (1, 0, p) for p in re.split(r"(\d+)", text) if p]


def one(x):
    return "%.1f" % x


def ended(record):
    return any(r == e or r.startswith(e + " ") or r.startswith(e + ":")
               for r in record["reasons"] for e in ENDS)


def read_runs(paths):
    """Every record of the files, in their order, with where it was read."""
    runs = []
    for f, path in enumerate(paths):
        with open(path, encoding="utf-8", errors="replace") as lines:
            for n, line in enumerate(lines, 1):
                try:
                    r = json.loads(line)
                except ValueError:
                    continue
                r["_file"], r["_line"], r["_order"] = f, n, len(runs)
                r["_start"], r["_end"] = ms_of(r["start"]), ms_of(r["end"])
                r["_ms"] = round(r["seconds"] * 1000)
                r["_station"] = r.get("station", "unknown")
                r["_port"] = r.get("port", r["board"])
                runs.append(r)
    return runs


class Shift:
    """The figures, computed from the records by the report's written rules."""

    def __init__(self, paths, zone, with_simulated=False):
        self.zone = zone
        records = read_runs(paths)
        seen, self.kept = set(), []
        for r in records:
            key = (r["_station"], r.get("boot"), r["board"], r.get("serial"), r["_start"])
            if key not in seen:
                seen.add(key)
                self.kept.append(r)
        self.records = len(records)
        self.copies = len(records) - len(self.kept)
        self.simulated = sum(1 for r in self.kept if r.get("bus", "").startswith("sim"))
        self.name_stations()
        self.runs = sorted((r for r in self.kept
                            if with_simulated or not r.get("bus", "").startswith("sim")),
                           key=lambda r: (r["_start"], r["_order"]))
        self.judged = [r for r in self.runs if not ended(r)]
        self.count_boards()

    def name_stations(self):
        by_name = {}
        for r in self.kept:
            by_name.setdefault(r["_station"], []).append(r)
        self.shared = {}
        for name, runs in by_name.items():
            overlaps = [(b["_start"], b["_port"]) for a in runs for b in runs
                        if a.get("boot") and b.get("boot") and a["boot"] != b["boot"]
                        and a["_port"] == b["_port"] and a["_start"] <= b["_start"] < a["_end"]]
            if overlaps:
                boots = sorted({r["boot"] for r in runs if r.get("boot")})
                digits = 8
                while len({b[:digits] for b in boots}) < len(boots):
                    digits += 1
                self.shared[name] = (digits, min(overlaps))
        for r in self.kept:
            digits = self.shared.get(r["_station"], (0,))[0]
            r["_label"] = r["_station"] + (
                "" if not digits else " [" + (r["boot"][:digits] if r.get("boot") else "no boot") + "]")

    def count_boards(self):
        self.boards = {}
        for r in self.runs:
            if r.get("serial"):
                key = ("serial", r["serial"])
            elif r.get("schema") != 2:
                key = ("record", r["_order"])
            else:
                key = ("plug", r["_label"], r["_port"], r.get("boot"), r["devnum"])
            self.boards.setdefault(key, []).append(r)
            r["_board"] = key
            r["_nth"] = len(self.boards[key])

    def board_figures(self):
        first = final = judged = retested = retests = 0
        not_ready = []
        for runs in self.boards.values():
            j = [r for r in runs if not ended(r)]
            if j:
                judged += 1
                first += j[0]["verdict"] == "READY"
                final += j[-1]["verdict"] == "READY"
                retested += len(j) > 1
                retests += len(j) - 1
            if not j or j[-1]["verdict"] != "READY":
                not_ready.append((j[-1] if j else runs[-1], len(j)))
        return first, final, judged, retested, retests, not_ready

    def work(self):
        first = self.runs[0]["_start"]
        last = max(r["_end"] for r in self.runs)
        gaps, busy = [], self.runs[0]["_end"]
        for r in self.runs:
            if r["_start"] - busy >= GAP_MS:
                gaps.append((busy, r["_start"]))
            busy = max(busy, r["_end"])
        return first, last, gaps

    def text_lines(self):
        """The report's lines that carry figures, as they must read."""
        first_ready, final_ready, judged, retested, retests, not_ready = self.board_figures()
        ready = sum(r["verdict"] == "READY" for r in self.judged)
        n = len(self.judged)
        first, last, gaps = self.work()
        work = last - first - sum(b - a for a, b in gaps)
        ms = sorted(r["_ms"] for r in self.judged)
        median = ms[n // 2] / 1000 if n % 2 else (ms[n // 2 - 1] + ms[n // 2]) / 2000
        p95 = ms[-(-n * 95 // 100) - 1] / 1000
        pct = lambda a, b: one(100 * a / b) + " %"
        ended_runs = len(self.runs) - n
        lines = {
            "BOARDS": f"BOARDS : {len(self.boards)}, FIRST PASS {first_ready} READY "
                      f"({pct(first_ready, judged)}), FINAL {final_ready} READY "
                      f"({pct(final_ready, judged)}), {len(self.boards) - final_ready} NOT READY AT THE END",
            "RUNS": f"RUNS   : {n}, {ready} READY, {n - ready} NOT READY; RETESTS: {retests} "
                    f"RUN{'' if retests == 1 else 'S'} ON {retested} BOARD{'' if retested == 1 else 'S'}"
                    + (f"; {ended_runs} ENDED BY THE STATION (NO FAILURE)" if ended_runs else ""),
            "PACE": f"PACE   : {one(n * 3600000 / work)} RUNS PER HOUR OVER {one(work / 3600000)} H AT WORK"
                    + (f" ({len(gaps)} GAP{'' if len(gaps) == 1 else 'S'} OF 10 MIN OR MORE LEFT OUT)"
                       if gaps else "")
                    + f"; SECONDS PER RUN: MEDIAN {one(median)}, 95TH PERCENTILE {one(p95)}",
            "SHIFT REPORT": f"SHIFT REPORT: {local(first, self.zone)} TO {local(last, self.zone)} "
                            f"({one((last - first) / 3600000)} H), TIMES IN {self.zone.key}",
        }
        return lines, not_ready

    def port_rows(self):
        rows = {}
        for r in self.runs:
            for key in ((r["_label"],), (r["_label"], r["_port"])):
                row = rows.setdefault(key, [0, 0, 0])
                if ended(r):
                    row[2] += 1
                else:
                    row[0] += 1
                    row[1] += r["verdict"] == "READY"
        out = []
        for key in sorted(rows, key=lambda k: [natural_key(p) for p in k]):
            runs, ready, ends = rows[key]
            name = key[0] if len(key) == 1 else "  " + key[1]
            out.append("%-20s%7d %7d %10d %6s %% %6d" % (
                name, runs, ready, runs - ready, one(100 * ready / runs if runs else 0), ends))
        return out

    def image_changes(self):
        last, out = {}, []
        for r in self.runs:
            if not r.get("image"):
                continue
            sha = r["image"]["sha256"]
            if r["_label"] in last and last[r["_label"]] != sha:
                out.append(f"IMAGE CHANGED: {r['_label']} AT {local(r['_start'], self.zone)}, "
                           f"{last[r['_label']][:12]} TO {sha[:12]}")
            last[r["_label"]] = sha
        return out

    def buckets(self):
        """(local start label, runs judged, minutes at work) of each bucket with runs."""
        first, last, gaps = self.work()
        span = self.runs[-1]["_start"] - first
        width = next((w for w in WIDTHS_MIN if span // (w * 60000) + 2 <= 48), WIDTHS_MIN[-1]) * 60000
        offset = int(datetime.fromtimestamp(first // 1000, self.zone).utcoffset().total_seconds() * 1000)
        bucket_of = lambda ms: (ms + offset) // width
        counts = {}
        for r in self.judged:
            counts[bucket_of(r["_start"])] = counts.get(bucket_of(r["_start"]), 0) + 1
        out = []
        for b in sorted(counts):
            start = b * width - offset
            end = start + width
            at_work = max(0, min(end, last) - max(start, first)) - sum(
                max(0, min(end, g1) - max(start, g0)) for g0, g1 in gaps)
            out.append((counts[b], at_work))
        return out


def run(argv, cwd):
    return subprocess.run(argv, cwd=cwd, capture_output=True, text=True)


def lines_with(text, prefix):
    return [l for l in text.splitlines() if l.startswith(prefix)]


def made_shift(summary, make_shift, scratch):
    """The made shift: every figure of the text, the CSV and the page."""
    shift = run([make_shift, "--twin", "--ended", "6", "--simulated", "12", "--copy", "--cut",
                 scratch], scratch)
    check("the generator makes a shift", shift.returncode == 0, shift.stderr)
    files = sorted(f for f in os.listdir(scratch) if f.startswith("station-")) + ["station-2.jsonl"]
    zone = ZoneInfo("Asia/Kolkata")
    report = run([summary, "--results"] + files + ["--tz", zone.key, "--html", "page.html",
                                                   "--csv", "runs.csv"], scratch)
    check("flashprep-summary reports, a cut line skipped (exit 1)", report.returncode == 1,
          report.stderr)
    text = report.stdout
    s = Shift([os.path.join(scratch, f) for f in files], zone)
    check("the shift has what it was made for", s.copies > 100 and s.simulated == 12
          and s.shared and len(s.runs) > len(s.judged) and s.image_changes(),
          f"{s.copies} copies, {s.simulated} simulated, {s.shared}")
    want, not_ready = s.text_lines()
    for prefix, line in want.items():
        check(f"the {prefix} line", lines_with(text, prefix + " ") + lines_with(text, prefix + ":") == [line],
              f"{lines_with(text, prefix)} != {line}")
    check("the READ line", lines_with(text, "READ") == [
        f"READ   : {len(files)} FILES, {s.records} RECORDS, {s.copies} COPIES OF ANOTHER DROPPED"],
        str(lines_with(text, "READ")))
    check("the simulated runs left out", lines_with(text, "SIMULATED") == [
        f"SIMULATED: {s.simulated} RUNS OF SIMULATED BOARDS LEFT OUT"])
    name, (digits, (at, port)) = next(iter(s.shared.items()))
    labels = sorted({r["_label"] for r in s.kept if r["_station"] == name}, key=natural_key)
    check("the station name used by two stations", lines_with(text, "STATION NAME") == [
        f"STATION NAME USED BY TWO STATIONS: {name}, RUNS OVERLAP ON PORT {port} AT "
        f"{local(at, zone)}; TOLD APART BY BOOT: {', '.join(labels)}"], str(lines_with(text, "STATION NAME")))
    table = text.split("STATION / PORT")[1].split("\n\n")[0].splitlines()[1:]
    rows = [l.replace("  STANDS OUT", "").replace("  OTHER IMAGE", "") for l in table
            if not l.startswith("STANDS OUT")]
    check("every station's and port's runs, READY, NOT READY, yield, ended", rows == s.port_rows(),
          "\n".join(rows) + "\n!=\n" + "\n".join(s.port_rows()))
    check("the image's change", lines_with(text, "IMAGE CHANGED") == s.image_changes(),
          str(lines_with(text, "IMAGE CHANGED")))
    not_ready.sort(key=lambda x: (natural_key(x[0]["_label"]), natural_key(x[0]["_port"]),
                                  x[0]["_start"]))
    listed = text.split("NOT READY AT THE END:")[1].splitlines()[1:]
    want_listed = ["  %-16s %-20s %s, %s: %s" % (
        r.get("serial") or "(NO SERIAL)", r["_label"] + " " + r["_port"],
        (f"{n} RUN{'' if n == 1 else 'S'}" if n else "NOT FINISHED"), local(r["_start"], zone),
        r["reasons"][0] if r["reasons"] else "") for r, n in not_ready[:20]]
    check("the boards NOT READY at the end, by station, port and time", listed[:20] == want_listed,
          "\n".join(listed) + "\n!=\n" + "\n".join(want_listed))

    with open(os.path.join(scratch, "runs.csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    check("the CSV has one row per run, copies dropped", len(rows) == len(s.kept),
          f"{len(rows)} != {len(s.kept)}")
    by_place = {(r["_file"], r["_line"]): r for r in s.kept}
    def same(row, r):
        return r is not None and row["start"] == r["start"] and row["seconds"] == "%.3f" % r["seconds"] \
            and row["verdict"] == r["verdict"] and row["serial"] == r.get("serial", "") \
            and row["report_station"] == r["_label"] and row["run_of_board"] == str(r.get("_nth", 0)) \
            and row["counted_as"] == ("simulated, left out" if "_nth" not in r
                                      else "ended by the station" if ended(r) else "judged")
    mismatched = [row["flashprep_run"] for row in rows
                  if not same(row, by_place.get((files.index(row["file"]), int(row["line"]))))]
    check("each row is its record's, with its seconds, its station, its number among its "
          "board's runs and how it counts", not mismatched, f"rows {mismatched[:5]}")

    page = open(os.path.join(scratch, "page.html"), encoding="utf-8").read()
    cards = {k: html.unescape(v) for k, v in
             re.findall(r'id="card-([a-z0-9-]+)"><div class="value">([^<]*)<', page)}
    boards = re.match(r"BOARDS : (\d+), FIRST PASS \d+ READY \(([\d.]+ %)\), FINAL \d+ READY \(([\d.]+ %)\), "
                      r"(\d+) NOT READY", want["BOARDS"]).groups()
    pace = re.match(r"PACE   : ([\d.]+) RUNS.*MEDIAN ([\d.]+), 95TH PERCENTILE ([\d.]+)", want["PACE"]).groups()
    runs = re.match(r"RUNS   : (\d+),.*RETESTS: (\d+) RUN", want["RUNS"]).groups()
    check("the page's cards are the text's figures", cards == {
        "boards": boards[0], "first-pass": boards[1], "final": boards[2], "not-ready": boards[3],
        "runs": runs[0], "retests": runs[1], "pace": pace[0], "median": pace[1] + " s",
        "p95": pace[2] + " s"}, str(cards))
    _, final_ready, _, retested, retests, _ = s.board_figures()
    not_ready_part = page.split('<h2 id="not-ready">')[1].split("<h2>")[0]
    retested_part = page.split("<h2>Boards judged more than once</h2>")[1].split("<h2")[0]
    for part, sentence, boards_n in (
            (not_ready_part, "%d boards{} (the CSV lists every run)." % (len(s.boards) - final_ready),
             len(s.boards) - final_ready),
            (retested_part, "%d boards, %d retests{}." % (retested, retests), retested)):
        rows = part.count("<tr><td")
        told = sentence.format("; the first %d listed" % rows if rows < boards_n else "")
        check(f"the page's {boards_n} boards: said how many, and whether all are listed ({rows})",
              f"<p>{told}</p>" in part and 0 < rows <= boards_n, part[:300])
    bars = [(int(n), float(m)) for n, m in re.findall(
        r'<rect [^>]*fill="#009E73"><title>[^<]*: (\d+) runs in ([\d.]+) min at work', page)]
    want_bars = [(n, round(ms / 60000, 1)) for n, ms in s.buckets()]
    check("each bar of the pace chart over its own time at work, the last one's few minutes too",
          bars == want_bars and want_bars[-1][1] < want_bars[-2][1],
          f"{bars[-3:]} != {want_bars[-3:]}")


def record(start, seconds=12.0, reasons=(), port="1-1.1", serial=None, station="line-a", devnum=7):
    r = {"board": port, "start": start, "end": start, "seconds": seconds,
         "verdict": "NOT READY" if reasons else "READY", "reasons": list(reasons), "log": None,
         "version": "1.1.0", "schema": 2, "station": station, "port": port, "bus": "001",
         "device": "%03d" % (devnum % 1000), "devnum": devnum,
         "boot": "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0",
         "image": {"file": "serial_flash.S19", "sha256": "3f2a9c01" * 8, "bytes": 4000,
                   "start": "20000000", "end": "20000F9F", "blocks": 16},
         "counts": {"driver_downloaded": 16, "driver_refused": 0, "flash_formatted": 4064,
                    "flash_failed": 0, "table_written": 17, "table_refused": 0},
         "failed_blocks": []}
    if serial:
        r["serial"] = serial
    end = datetime.fromisoformat(start.replace("Z", "+00:00")) + timedelta(seconds=seconds)
    r["end"] = end.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (end.microsecond // 1000)
    return r


def utc_text(dt):
    return dt.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (dt.microsecond // 1000)


def write(path, records):
    with open(path, "w", encoding="utf-8") as f:
        for r in records:
            f.write(json.dumps(r, separators=(",", ":")) + "\n")
    return path


def small_counts(summary, scratch):
    """Median and 95th percentile ranks over 1 to 21 runs; from the eleventh on,
    after a pause of exactly 10 minutes: one gap, left out."""
    seconds = [7.25, 12.5, 3.0, 9.75, 11.0, 4.5, 20.125, 8.0, 15.5, 6.0, 10.0, 13.25, 5.5, 19.0,
               2.75, 16.0, 9.0, 14.5, 1.5, 18.25, 17.0]
    start = datetime(2026, 12, 8, 6, tzinfo=timezone.utc)
    # The tenth run ends at 06:09:06, the last of those before it.
    starts = [start + timedelta(minutes=i) if i < 10 else start + timedelta(minutes=9 + i, seconds=6)
              for i in range(len(seconds))]
    wrong = []
    for n in range(1, len(seconds) + 1):
        runs = [record(utc_text(starts[i]), seconds[i], serial=f"P-{i}") for i in range(n)]
        path = write(os.path.join(scratch, "small.jsonl"), runs)
        out = run([summary, "--results", path, "--tz", "UTC"], scratch).stdout
        s = Shift([path], ZoneInfo("UTC"))
        if lines_with(out, "PACE") != [s.text_lines()[0]["PACE"]]:
            wrong.append((n, lines_with(out, "PACE"), s.text_lines()[0]["PACE"]))
    check("median and 95th percentile over 1 to 21 runs, a gap of 10 minutes left out", not wrong,
          str(wrong[:2]))


def stand_out_boundary(summary, scratch):
    """7 and 8 NOT READY of 100 against 2 of 100 on eight ports: the chance of
    as many at the others' rate (exact, in fractions) against 1 % over the
    nine ports lies between them."""
    for bad in (7, 8):
        runs = []
        for p in range(9):
            for i in range(100):
                fails = bad if p == 8 else 2
                runs.append(record(utc_text(datetime(2026, 12, 8, 6, tzinfo=timezone.utc)
                                            + timedelta(seconds=20 * i)),
                                   reasons=["UNPLUGGED"] if i < fails else (), port=f"1-1.{p + 1}",
                                   devnum=10 + i))
        path = write(os.path.join(scratch, "ports.jsonl"), runs)
        out = run([summary, "--results", path, "--tz", "UTC"], scratch).stdout
        rate = Fraction(16, 800)
        tail = sum(math.comb(100, k) * rate ** k * (1 - rate) ** (100 - k) for k in range(bad, 101))
        stands = bad >= 3 and Fraction(bad, 100) >= 2 * rate and tail < Fraction(1, 100) / 9
        check(f"{bad} of 100 against 2 %: stands out {stands} (chance {float(tail):.5f})",
              bool(lines_with(out, "STANDS OUT")) == stands, out)


def long_span(summary, scratch):
    """Bars of weeks and half days: a line's runs over four months, and over a
    fortnight every six hours from midnight, so that some start just as a bar does."""
    for days, every in ((120, 2), (14, 0.25)):
        start = datetime(2027, 1, 4, 8 if every > 1 else 0, 0, tzinfo=timezone.utc)
        runs = [record(utc_text(start + timedelta(days=every * i)), serial=f"L-{i}")
                for i in range(int(days / every))]
        path = write(os.path.join(scratch, "long.jsonl"), runs)
        out = run([summary, "--results", path, "--tz", "UTC", "--html", "long.html"], scratch)
        page = open(os.path.join(scratch, "long.html"), encoding="utf-8").read()
        bars = [(int(n), float(m)) for n, m in re.findall(
            r'<rect [^>]*fill="#009E73"><title>[^<]*: (\d+) runs in ([\d.]+) min at work', page)]
        want = [(n, round(ms / 60000, 1)) for n, ms in Shift([path], ZoneInfo("UTC")).buckets()]
        check(f"runs every {every} days over {days} days: each bar's runs and time at work",
              out.returncode == 0 and bars == want, f"{bars[:3]} != {want[:3]}")


def dates(summary, scratch):
    """A shift over a leap day and a month's end, in a zone a day ahead of UTC."""
    zone = ZoneInfo("Pacific/Auckland")
    start = datetime(2028, 2, 27, 22, 0, tzinfo=timezone.utc)
    runs = [record(utc_text(start + timedelta(minutes=37 * i)), serial=f"D-{i}") for i in range(120)]
    path = write(os.path.join(scratch, "leap.jsonl"), runs)
    s = Shift([path], zone)
    out = run([summary, "--results", path, "--tz", zone.key, "--html", "leap.html"], scratch)
    check("over a leap day: the first and last times", lines_with(out.stdout, "SHIFT REPORT") ==
          [s.text_lines()[0]["SHIFT REPORT"]], out.stdout[:300])
    page = open(os.path.join(scratch, "leap.html"), encoding="utf-8").read()
    check("the timeline names the leap day where it starts", ">02-29 " in page and ">03-01 " in page)
    for since, until in (("2028-02-29", "2028-03-01"), ("2028-02-29T12:30", "2028-03-01T00:00:00.001")):
        lo = int(datetime.fromisoformat(since).replace(tzinfo=zone).timestamp() * 1000)
        hi = math.ceil(datetime.fromisoformat(until).replace(tzinfo=zone).timestamp() * 1000)
        n = sum(1 for r in runs if lo <= ms_of(r["start"]) < hi)
        out = run([summary, "--results", path, "--tz", zone.key, "--since", since, "--until", until],
                  scratch).stdout
        check(f"{since} to {until} in {zone.key}: {n} runs", lines_with(out, "RUNS")[:1] and
              lines_with(out, "RUNS")[0].startswith(f"RUNS   : {n},"), out[:400])
    year_end = [record(utc_text(datetime(2027, 12, 31, 23, 50, tzinfo=timezone.utc)
                                + timedelta(minutes=5 * i)), serial=f"Y-{i}") for i in range(5)]
    path = write(os.path.join(scratch, "year.jsonl"), year_end)
    out = run([summary, "--results", path, "--tz", "UTC"], scratch).stdout
    check("over a year's end", lines_with(out, "SHIFT REPORT") ==
          [Shift([path], ZoneInfo("UTC")).text_lines()[0]["SHIFT REPORT"]], out[:200])
    refused = run([summary, "--results", path, "--since", "2027-02-29"], scratch)
    check("no 29 February in 2027", refused.returncode == 2 and "not a time" in refused.stderr,
          refused.stderr)


def main(argv):
    summary, make_shift = argv[1:3]

    def body(scratch):
        made_shift(summary, make_shift, scratch)
        small_counts(summary, scratch)
        stand_out_boundary(summary, scratch)
        long_span(summary, scratch)
        dates(summary, scratch)
    return checks.in_scratch("flashprep-figures-", body)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
