"""Power cuts while the watching service prepares three boards: QEMU is
killed outright (SIGKILL) at a moment drawn from a seed, the guest boots
again from the same disk, and what the station left is judged against what
it had said before the cut, as the host saw it live.

The moment: the cut's seed draws a fraction of the span of the three runs
(from the boot's first STARTED line to a fifth past the expected last
FINISHED line), so that cuts fall before any record, during the runs and
between records alike.
"""
import collections
import json
import random
import re
import statistics
import time

from system_lane import RESULTS, RUN_SECONDS, event_count, port_of, read_records

BOARDS = ("x", "y", "z")
# The first reason of a run recorded by a station other than its own.
STATION_ENDED = "STATION ENDED"
# How far past the expected end of the three runs a cut may fall.
PAST_THE_END = 1.2

# How long the station of the new boot may take to start and record a run
# from its note.
RECOVERY_SECONDS = 120


def runs_seen(lines):
    """The runs a boot's station lines tell of, in order: [port, log,
    finished] for each STARTED line, finished once its FINISHED line came."""
    runs = []
    for line in lines:
        words = line.split()
        if len(words) >= 3 and words[0] == "STARTED":
            runs.append([words[1], words[2], False])
        elif len(words) >= 2 and words[0] == "FINISHED":
            for run in reversed(runs):
                if run[0] == words[1]:
                    run[2] = True
                    break
    return runs


def judge(seen, records, verdicts, earlier_boots, cut_boot, known_damaged=()):
    """What the station left after a cut, against what it had said before it.

    seen: the station's lines of the cut boot that the host had before the
    cut; records: the results file after the boot again, [(line number,
    record or None when the line is damaged)]; verdicts: {log: flashprep-
    summary's verdict of it, or None when it is missing}; earlier_boots: the
    ids of the boots up to the cut one, cut_boot the cut one's;
    known_damaged: the damaged lines
    earlier cuts left (they stay where they are, records after them).

    Returns, for each judgement, the lines that say what is wrong (none:
    it holds): "whole", "finished", "twice", "logs", "interrupted".
    """
    found = {}
    damaged = [number for number, record in records
               if record is None and number not in known_damaged]
    whole = []
    if len(damaged) > 1:
        whole.append(f"damaged lines: {damaged}")
    elif damaged:
        # A damaged line is where the cut left the file's end: only records
        # of a later boot may follow it, and those a later station recovered.
        after = [r for n, r in records if n > damaged[0] and r is not None and
                 r.get("boot") in earlier_boots and
                 (r.get("reasons") or [""])[0] != STATION_ENDED]
        if after:
            whole.append(f"line {damaged[0]} is damaged and {len(after)} records of earlier "
                         f"boots follow it")
    found["whole"] = whole

    kept = [r for _, r in records if r is not None]
    by_log = collections.defaultdict(list)
    for record in kept:
        if record.get("log"):
            by_log[record["log"]].append(record)
    runs = runs_seen(seen)
    found["finished"] = [f"{port}: {len(by_log.get(log, []))} records of {log}"
                         for port, log, finished in runs
                         if finished and len(by_log.get(log, [])) != 1]
    # A record without a log (a board that could not be started) is there
    # twice when a whole record is.
    unlogged = collections.Counter(json.dumps(r, sort_keys=True) for r in kept if not r.get("log"))
    found["twice"] = [f"{log}: {len(rs)} records" for log, rs in by_log.items() if len(rs) > 1] + \
        [f"{n} times: {text}" for text, n in unlogged.items() if n > 1]
    found["logs"] = []
    for log, rs in by_log.items():
        verdict = verdicts.get(log)
        if verdict is None:
            found["logs"].append(f"{log}: missing")
        found["logs"] += [f"{log}: the record says {r.get('verdict')}, its log {verdict}"
                          for r in rs if verdict is not None and r.get("verdict") != verdict]
    # A run the host saw start had its note on the disk (the station syncs
    # it before the board's process starts): the station of the next boot
    # records it from the note when the cut came before its record, as it
    # does a killed station's, with a null log when the cut lost the log.
    interrupted = []
    for port, log, finished in runs:
        if finished:
            continue
        rs = by_log.get(log, []) + [
            r for r in kept if not r.get("log") and r.get("board") == port and
            r.get("boot") == cut_boot and (r.get("reasons") or [""])[:2] == [STATION_ENDED,
                                                                             "LOG LOST"]]
        if len(rs) != 1:
            interrupted.append(f"{port}: {len(rs)} records of the cut run {log}")
        elif rs[0].get("boot") != cut_boot:
            interrupted.append(f"{port}: the cut run's record names boot {rs[0].get('boot')}")
        if any(r.get("verdict") == "READY" for r in rs) and verdicts.get(log) != "READY":
            interrupted.append(f"{port}: the cut run recorded READY, its log says "
                               f"{verdicts.get(log)}")
    found["interrupted"] = interrupted
    return found


def readers_disagree(records, summary, journal):
    """What the product's readers make of the results file, against the
    lane's own reading `records`: flashprep-summary --results (its lines
    `summary`) counts the same whole records and names each damaged line;
    the station started again (its lines of the new boot, `journal`) names
    them too, as it skips them. The lines that say what differs."""
    damaged = sorted(number for number, record in records if record is None)
    whole = len(records) - len(damaged)
    wrong = []
    read = [line for line in summary if line.startswith("READ ")]
    if not read or not re.search(rf": 1 FILE, {whole} RECORDS?( |,|$)", read[0]):
        wrong.append(f"flashprep-summary: {read[:1]}, the lane reads {whole} records")
    skipped = [line for line in summary if line.startswith("SKIPPED:")]
    named = sorted(int(n) for n in re.findall(r" LINE (\d+) \(", " ".join(skipped)))
    if named != damaged:
        wrong.append(f"flashprep-summary names damaged lines {named}, the lane finds {damaged}")
    if damaged:
        told = [line for line in journal if " damaged line" in line and " skipped: " in line]
        by_station = sorted(int(n) for n in re.findall(r"line (\d+) \(", " ".join(told[:1])))
        if by_station != damaged[:10]:
            wrong.append(f"the station names damaged lines {by_station} ({told[:1]}), the lane "
                         f"finds {damaged}")
    return wrong


def moment(seed, span):
    """The cut's moment, in seconds after the boot's first STARTED line."""
    return random.Random(seed).uniform(0, PAST_THE_END * span)


class PowerCuts:
    """`count` power cuts, the k-th drawn from seed `seed + k - 1`, on the
    guest of `checks` (whose service is set up and enabled); then the
    boards prepared whole in the last boot."""

    def __init__(self, checks, count, seed):
        self.checks = checks
        self.lane = checks.lane
        self.count = count
        self.seed = seed
        self.boots = []  # every boot up to the current one
        self.damaged = set()  # the damaged lines of the results file, as cuts left them

    def run(self):
        """Returns the Machine the guest runs on after the last cut."""
        checks, lane = self.checks, self.lane
        m = checks.m
        lane.phase(f"{self.count} power cuts, seeds {self.seed} to {self.seed + self.count - 1}")
        self.boots = list(dict.fromkeys(r.get("boot") for _, r in checks.read_records() if r))
        self.boots.append(m.boot)
        span = self.first_span()
        for name in BOARDS:
            lane.boards.plug(m, name)
        for k in range(1, self.count + 1):
            seed = self.seed + k - 1
            seen, span = self.cut(m, k, seed, span)
            cut_boot = m.boot
            m = lane.power_on(boards=BOARDS)
            checks.m = m
            # The station of the new boot records the runs the cut broke off
            # from their notes once it runs, which may be after the guest's
            # agent answers: the file is read once it has said so for each
            # (or the wait has given up, which the check then tells). A run
            # whose record the station wrote just before the cut, its
            # FINISHED line lost with the cut, is not recovered: its wait is
            # kept short.
            ports = {port_of(name) for name in BOARDS}
            for port, _, finished in runs_seen(seen):
                if port in ports and not finished:
                    m.wait_event("RECOVERED", port, 1, RECOVERY_SECONDS,
                                 f"the record of {port}'s run power cut {k} broke off")
            self.judge(k, seed, seen, cut_boot)
            self.boots.append(m.boot)
            started = [name for name in BOARDS
                       if not m.wait_event("STARTED", port_of(name), 1, RUN_SECONDS,
                                           f"board {name}'s run after power cut {k}")]
            checks.check(f"power cut {k} (seed {seed}): the station started the three boards "
                         "again in the new boot", [f"no STARTED line for board {name}"
                                                   for name in started])
            self.readers(k, seed)
        self.last_boot(m)
        return m

    def first_span(self):
        """The three runs' expected span: half as long again as the lane's
        whole runs took (median; three boards share the guest's two CPUs),
        and board z's delay (40 blocks of 150 ms)."""
        seconds = [r.get("seconds", 0) for _, r in self.checks.records
                   if r and r.get("verdict") == "READY"]
        return 1.5 * (statistics.median(seconds) if seconds else 60) + 6

    def cut(self, m, k, seed, span):
        """Cuts the power at the seeded moment of this boot's runs: the
        station's lines seen before it, and the span to draw the next cut
        from (this boot's, when all three runs were seen to end)."""
        lane = self.lane
        begun = m.station.wait(m.boot, lambda lines: any(
            event_count(lines, "STARTED", port_of(name)) for name in BOARDS), RUN_SECONDS)
        if not begun:
            lane.tap.note(f"power cut {k}: no board started within {RUN_SECONDS} s; cut anyway")
        first = time.monotonic()
        at = moment(seed, span)
        ended = {}

        def all_ended(lines):
            for name in BOARDS:
                if name not in ended and event_count(lines, "FINISHED", port_of(name)):
                    ended[name] = time.monotonic() - first
            return False

        # The moment is the seed's: what the station does meanwhile only
        # tells the next cut's span.
        m.station.wait(m.boot, all_ended, at)
        m.station.wait(m.boot, all_ended, 0)
        seen = m.lines()
        m.cut()
        ports = {port_of(name) for name in BOARDS}
        runs = [run for run in runs_seen(seen) if run[0] in ports]
        lane.tap.note(f"power cut {k}: seed {seed}, {at:.1f} s after the first STARTED line "
                      f"(span {span:.0f} s); {len(runs)} runs started, "
                      f"{sum(1 for r in runs if r[2])} finished before it")
        if len(ended) == len(BOARDS):
            span = max(ended.values())
        return seen, span

    def judge(self, k, seed, seen, cut_boot):
        checks, m = self.checks, self.checks.m
        records = checks.read_records()
        logs = sorted({r["log"] for _, r in records if r and r.get("log")})
        said = m.guest("verdicts", *logs, seconds=60 + len(logs)).lines
        verdicts = {}
        for line in said:
            log, _, verdict = line.partition(" ")
            verdicts[log] = None if verdict == "missing" else verdict
        found = judge(seen, records, verdicts, set(self.boots), cut_boot, self.damaged)
        self.damaged.update(number for number, record in records if record is None)
        # What the summary makes of a log that ends otherwise than its
        # record says, and its size: a log cut or lost whole.
        for line in list(found["logs"][:3]):
            log = line.split(":")[0]
            found["logs"] += [f"  {text}" for text in
                              m.run("stat", "-c", "%s bytes", log).lines +
                              m.run("flashprep-summary", log).lines[:3]]
        name = f"power cut {k} (seed {seed})"
        checks.check(f"{name}: the results file reads whole but for at most one damaged line, at "
                     "its end", (["no results file"] if not records else []) + found["whole"])
        checks.check(f"{name}: each board the station said FINISHED for before the cut has one "
                     "record of that run", found["finished"])
        checks.check(f"{name}: no record is there twice", found["twice"])
        checks.check(f"{name}: every log a record names is there and ends as its record says",
                     found["logs"])
        checks.check(f"{name}: a run the cut interrupted is recorded once, of its boot, never "
                     "READY unless its log says so", found["interrupted"])

    def readers(self, k, seed):
        """flashprep-summary and the station started again read the file the
        cut left as the lane does: the same records, each damaged line named.
        The three read one copy, which the boards' new records leave alone."""
        checks, m = self.checks, self.checks.m
        copy = "/tmp/results-after-cut.jsonl"
        local = self.lane.guest_file(f"results-after-cut-{k}.jsonl")
        wrong = []
        if m.run("cp", RESULTS, copy).status != 0 or not m.fetch(copy, local):
            wrong.append(f"cannot copy {RESULTS} in the guest")
        else:
            summary = m.run("flashprep-summary", "--results", copy).lines
            wrong = readers_disagree(read_records(local), summary, m.lines())
        checks.check(f"power cut {k} (seed {seed}): flashprep-summary and the station started "
                     "again read every whole record and name each damaged line", wrong)

    def last_boot(self, m):
        """After the last cut the station prepares the three boards whole."""
        checks, lane = self.checks, self.lane
        lane.phase("after the last power cut")
        for name in BOARDS:
            checks.wait_finished(name)
        checks.read_records()
        for name in BOARDS:
            mine = [r for r in checks.records_of(name) if r.get("boot") == m.boot]
            checks.check(f"after the last power cut board {name} is prepared, its log as its run "
                         "alone, one record of this boot",
                         checks.prepared(name, name) +
                         ([] if len(mine) == 1 else [f"{len(mine)} records of this boot"]))
        for name in BOARDS:
            lane.boards.pull(name)
