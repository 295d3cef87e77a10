#!/usr/bin/python3
"""flashprep inside a QEMU guest, against usbredir boards, next to the same
scenarios on the preloaded board. Runs the given cases one after the other in
one guest boot, each with boards of its own, and prints TAP:

    lane_test.py --build DIR [--guest-build DIR] --libusb legacy|compat PORT:CASE...

PORT is xhci, ehci, uhci or ohci, with _hub for a hub on the way (_hub_hub:
two tiers of hubs, a hub behind a hub). DIR is this
machine's build (the boards, the reference runs); --guest-build DIR has the
guest run that build's programs (an arm64 build: an arm64 guest). Exit
status 0 when every check held, 1 when one failed, 2 when the lane could not
run.
"""
import argparse
import functools
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "lanes"))

from boards import Alone, clean_env  # noqa: E402
from harness import files_differ, lacks_line, run_lane, text_differs  # noqa: E402
from usb_cases import Case, Port  # noqa: E402
from usb_lane import Lane  # noqa: E402

STATE_FILES = ["ram.bin", "flash.bin", "events.txt"]
FLASH_BLOCKS = 4064  # the blocks a run formats


def write_lines(path, lines):
    with open(path, "w", encoding="utf-8") as f:
        f.writelines(line + "\n" for line in lines)
    return path


def count(lines, pattern):
    return sum(1 for line in lines if re.search(pattern, line))


def between(value, low, high):
    return value is not None and low <= value <= high


def summary_verdict(build, out):
    """flashprep-summary's verdict of a run's output."""
    status = subprocess.run([os.path.join(build, "flashprep-summary"), out],
                            stdout=subprocess.DEVNULL).returncode
    return {0: "READY", 1: "NOT READY"}.get(status, f"no verdict (status {status})")


class Context:
    """One case's share of the run: its folder, its reference runs and its
    TAP lines (each prefixed with the case's name)."""

    def __init__(self, tap, build, folder, label):
        self.tap = tap
        self.build = build
        self.folder = folder
        self.label = label
        os.makedirs(folder)

    def check(self, description, held, details=()):
        return self.tap.check(f"{self.label}: {description}", held, details)

    def note(self, text):
        self.tap.note(f"{self.label}: {text}")

    def alone(self, name, settings=None):
        return Alone(self.build, self.folder, name, settings or {})

    def path(self, name):
        return os.path.join(self.folder, name)

    def same_text(self, description, expected, got):
        differ = text_differs(expected, got)
        return self.check(description, not differ, differ)

    def same_state(self, description, expected, got, files=STATE_FILES):
        differ = files_differ(expected, got, files)
        return self.check(description, not differ, differ)


# Each case: case(context, port) -> (the Case for the guest, check(result)).

# A station's board with faults the xHCI guest passes on as the preloaded
# board does (as in full_run) and a refused table write.
STATION_FAULTS = {"FLASHPREP_SIM_FAULT": "error@20,error@50,short@58,short@80",
                  "FLASHPREP_SIM_REFUSE_WRITES": "2529"}


def faulty_run(t, port, shortened):
    # A long run with a refused driver block (a stalled OUT of five packets),
    # short and oversized replies (IN transfers of 129 and 300 bytes), a
    # refused format request and a refused table write along the way; an I/O
    # error on the body of driver block 7 (which the guest's xHCI driver
    # retries), and early in the format pass I/O errors on the IN body of
    # block 2, the OUT body of block 6 and transfer 101 (the OUT header of
    # block 17, or block 16's IN header where block 11 sends its header
    # whole), and a byte lost from the IN body of block 4 (256 bytes: four
    # full packets and a zero-length one) and from the IN header of block 5.
    faults = ["error@20", "error@50", "short@58", "short@61", "error@63", "error@101"]
    lines = ["BLOCK 3 FAILED", "BLOCK 7 FAILED", "BLOCK 10 DOWNLOADED", "FAIL: WRITING BLOCK 2529"]
    lines += [f"FAIL: FORMATTING BLOCK {n}" for n in (2, 4, 5, 6, 100, 200, 300)]
    # A byte lost from a write (the body of driver block 5, the OUT header of
    # block 11): on a wire a device takes or refuses whole packets, and
    # QEMU's OHCI, like hardware, counts an accepted OUT packet whole. Its
    # xHCI and UHCI pass on the count the board reports.
    if port.controller != "ohci":
        faults += ["short@16", "short@80"]
        lines += ["BLOCK 5 FAILED", "FAIL: FORMATTING BLOCK 11", "FAIL: FORMATTING BLOCK 17"]
    else:
        lines += ["FAIL: FORMATTING BLOCK 16"]
    # Time-outs: on the body of driver block 9, where the board has taken
    # four packets when the host gives up (libusb 0.1 returns the time-out,
    # libusb-compat the 256 bytes that went), and on the IN body of block 8,
    # whose every queued request the board holds until the host cancels
    # them. QEMU's xHCI has a whole OUT transfer in one request and reports
    # it sent whole once cancelled (it counts OUT bytes as it hands them
    # over), which libusb-compat returns as a complete write: a lane
    # artefact. The time-outs, 5 s each, are left to the other ports.
    if port.controller != "xhci":
        faults += ["timeout@24", "timeout@71"]
        lines += ["BLOCK 9 FAILED", "FAIL: FORMATTING BLOCK 8"]
    # A serial number with a space and signs in it: the guest's kernel reads
    # it at enumeration, and sysfs shows it.
    serial = "FP 0042/b#7"
    settings = {"FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS": "3", "FLASHPREP_SIM_SHORT_REPLY": "100",
                "FLASHPREP_SIM_OVERSIZED_REPLY": "200",
                "FLASHPREP_SIM_FORMAT_REQUEST_FAILS": "300",
                "FLASHPREP_SIM_REFUSE_WRITES": "2529", "FLASHPREP_SIM_FAULT": ",".join(faults),
                "FLASHPREP_SIM_SERIAL": serial}
    # On the slow ports the board goes away after transfer 2100, once every
    # exchange above (the refused table write is the last) has happened; the
    # remaining blocks then fail at once.
    if shortened:
        settings["FLASHPREP_SIM_UNPLUG_AFTER"] = "2100"
    ref = t.alone("ref", settings)
    case = Case(port, t.folder, settings=settings)

    def check(result):
        out = write_lines(t.path("lane.out"), result.output())
        t.check("exit status 0", result.runs[0].status == 0)
        t.same_text("output as on the preloaded board", ref.out, out)
        t.same_state("board state as on the preloaded board", ref.state, case.state())
        t.check("the guest's sysfs has the board's serial number",
                f" serial={serial}" in result.value("port"), [result.value("port")])
        for line in lines:
            t.check(line, not lacks_line(out, line))
        formatted = count(result.output(), " FORMATTED$")
        if not shortened:
            failing = sum(1 for line in lines if line.startswith("FAIL: FORMATTING"))
            t.check(f"every other block formatted ({formatted})",
                    formatted == FLASH_BLOCKS - failing)
        else:
            t.check(f"formatted up to the unplug ({formatted})", between(formatted, 500, 520))
            t.check("the last block failed", not lacks_line(out, "FAIL: FORMATTING BLOCK 4095"))
        t.check("the summary of the guest's output is NOT READY",
                summary_verdict(t.build, out) == "NOT READY")
        # The run's time on the guest clock, identify and download included.
        ms = result.runs[0].ms
        t.note(f"run: {ms} ms on the guest clock, {ms / FLASH_BLOCKS:.2f} ms per formatted block")

    return case, check


def silent_then_two_processes(t, port):
    # Run 1 meets a bootloader that does not answer: one real time-out. Run 2
    # on the same board must find nothing left of that discarded read. While
    # run 2 formats, a second flashprep starts on the same board: the
    # kernel's claim keeps it out, and neither its failed start nor its
    # release and close may touch run 2's claim, output or board.
    ref = t.alone("ref")
    once = t.alone("once", {"FLASHPREP_SIM_BOOTLOADER": "silent-once"})
    case = Case(port, t.folder, runs=2, second=True,
                settings={"FLASHPREP_SIM_BOOTLOADER": "silent-once"})

    def check(result):
        run1 = write_lines(t.path("run1.out"), result.runs[0].out)
        run2 = write_lines(t.path("run2.out"), result.runs[1].out)
        second = result.value("second").split()
        second_ms = int(second[1]) if len(second) == 2 else None
        t.check("exit status 0", all(run.status == 0 for run in result.runs))
        t.same_text("run 1 as on the preloaded board", once.out, run1)
        t.check("run 1 reports the missing bootloader",
                not lacks_line(run1, "FAIL: BOOTLOADER NOT PRESENT"))
        t.check(f"run 1 waited one 5000 ms time-out ({result.runs[0].ms} ms)",
                between(result.runs[0].ms, 5000, 8000))
        t.same_text("run 2 as a healthy board on the preloaded board", ref.out, run2)
        t.same_state("board state as after one healthy run", ref.state, case.state())
        t.check("the second flashprep could not start",
                result.values("second_out") == ["FAIL: UNABLE TO START DRIVER"],
                result.values("second_out"))
        # Within a second, as a user would see it: 190 to 350 ms on the guest
        # clock with two guests sharing the two cores. A host loaded several
        # times over stretches that (up to 2.9 s seen with libusb-compat under
        # other builds); a second flashprep that waited for the board would
        # take its 5000 ms time-out.
        t.check(f"within a second ({second_ms} ms)", between(second_ms, 0, 999))
        t.check("run 2 kept its claim on the board's interface", result.value("claim") == "usbfs",
                [f"claim {result.value('claim')}"] + result.values("kernel"))

    return case, check


def unplug_in_format(t, port):
    # Transfer 4000 falls in the format pass, near block 990.
    settings = {"FLASHPREP_SIM_UNPLUG_AFTER": "4000"}
    ref = t.alone("ref", settings)
    case = Case(port, t.folder, settings=settings)

    def check(result):
        out = write_lines(t.path("lane.out"), result.output())
        formatted = count(result.output(), " FORMATTED$")
        refused = count(result.output(), "^FAIL: FORMATTING BLOCK ")
        t.check("exit status 0", result.runs[0].status == 0)
        t.same_text("output as on the preloaded board", ref.out, out)
        t.same_state("board state as on the preloaded board", ref.state, case.state())
        t.check(f"unplugged in the middle ({formatted} formatted)", between(formatted, 900, 1100))
        t.check("no serial number unless one is set", " serial=none" in result.value("port"),
                [result.value("port")])
        t.check("one line for every block", formatted + refused == FLASH_BLOCKS)
        t.check("the last block failed", not lacks_line(out, "FAIL: FORMATTING BLOCK 4095"))
        # A transfer that waited for its time-out would alone take 5000 ms.
        t.check(f"ended promptly ({result.runs[0].ms} ms)", between(result.runs[0].ms, 0, 4999))

    return case, check


def empty_identify_reply(t, port):
    # The reply header 00 00: the host reads a body of zero bytes, which the
    # device must complete at once with an empty packet, twice.
    settings = {"FLASHPREP_SIM_BOOTLOADER": "empty"}
    ref = t.alone("ref", settings)
    case = Case(port, t.folder, runs=2, settings=settings)

    def check(result):
        t.check("exit status 0", all(run.status == 0 for run in result.runs))
        for run in result.runs:
            out = write_lines(t.path(f"run{run.k}.out"), run.out)
            t.same_text(f"run {run.k} as on the preloaded board", ref.out, out)
            if run.k == 1:
                t.check("the reply is refused",
                        not lacks_line(out, "FAIL: BOOTLOADER NOT PRESENT"))
        for run in result.runs:
            t.check(f"run {run.k} waited no time-out ({run.ms} ms)", between(run.ms, 0, 1999))
        t.same_state("board state as on the preloaded board", ref.state, case.state())

    return case, check


def interrupted_format_reply(t, port):
    # Ctrl-C while the host waits for a format reply (block 5's takes 2 s):
    # run 1 reads that reply, reports the block, closes the device and ends
    # by SIGINT (the shell's status 130); run 2 on the same board must find
    # nothing left of run 1 and be a whole run whose tables match the blocks.
    ref = t.alone("ref")
    to_block5 = write_lines(t.path("ref-to-block5.out"), ref.lines()[:26])
    case = Case(port, t.folder, runs=2, interrupt=(1, "BLOCK 4 FORMATTED"),
                settings={"FLASHPREP_SIM_FORMAT_DELAY_MS": "2000",
                          "FLASHPREP_SIM_FORMAT_DELAY_BLOCKS": "5"})

    def check(result):
        run1 = write_lines(t.path("run1.out"), result.runs[0].out)
        run2 = write_lines(t.path("run2.out"), result.runs[1].out)
        t.check(f"run 1 ended by SIGINT (status {result.runs[0].status})",
                result.runs[0].status == 130)
        t.same_text("run 1 stopped after block 5's reply", to_block5, run1)
        t.check("run 2 exit status 0", result.runs[1].status == 0)
        t.same_text("run 2 as a healthy run", ref.out, run2)
        t.same_state("flash as after one healthy run", ref.state, case.state(), ["flash.bin"])
        report = subprocess.run([os.path.join(t.build, "flashprep-sim-report"), case.state()],
                                capture_output=True, text=True).stdout.splitlines()
        t.check("the report finds the tables matching", "tables MATCH the blocks" in report,
                report[-5:])

    return case, check


def station_board_checks(t, case, alone, result):
    """What a one-pass station's run must show of each board of `case`:
    prepared once (one STARTED, one FINISHED, one log), all of them at once
    (every board started before the first one finished), its log and state
    as its run alone (alone[name]), its verdict that run's summary's."""
    run = result.runs[0]
    names = case.board_names()
    started = [i for i, line in enumerate(run.out) if line.startswith("STARTED ")]
    finished = [i for i, line in enumerate(run.out) if line.startswith("FINISHED ")]
    t.check(f"{len(started)} boards started for {len(names)} plugged in",
            len(started) == len(names))
    t.check("every board started before the first one finished",
            bool(finished) and max(started, default=0) < min(finished))
    ready = 0
    for k, name in enumerate(names, 1):
        where = case.port.guest_name(k)
        logs = result.station_logs(k)
        ends = [line.split(" ", 3) for line in run.out if re.match(rf"FINISHED {where} ", line)]
        t.check(f"board {name}: prepared once ({len(logs)} STARTED, {len(ends)} FINISHED)",
                len(logs) == 1 and len(ends) == 1)
        got = write_lines(t.path(f"{name}.log"), logs[0][2] if logs else [])
        differ = text_differs(alone[name].out, got) if logs else ["no log of its port"]
        t.check(f"board {name}: log as its run alone", not differ, differ)
        t.same_state(f"board {name}: state as its run alone", alone[name].state,
                     case.state(name))
        verdict = summary_verdict(t.build, alone[name].out)
        ready += verdict == "READY"
        # The closing note's table: board, scenario, the station's verdict,
        # the board's seconds (from the station's FINISHED line).
        scenario = " ".join(f"{key}={v}" for key, v in case.boards[name].items()) or "healthy"
        for words in ends[:1]:
            t.check(f"board {name}: {verdict} as the summary of its run alone",
                    words[3].split(":")[0] == verdict, [" ".join(words)])
            t.note(f"board {name} ({words[1]}): {scenario} | {words[3]} | {words[2]} s")
    done = f"DONE {ready} READY, {len(names) - ready} NOT READY"
    t.check(done, done in run.out, run.out[-3:])


def station_boards(t, port, four):
    # Boards behind one hub, each served by its own process with its own
    # scenario, and flashprep-station in the guest preparing them at once:
    # each board's log and state must be that board's run alone on the
    # preloaded board. One has faults (xHCI-safe ones, as in full_run), one
    # is unplugged in the format pass, one has other weak cells. Two boards:
    # the first two of them.
    boards = {"a": {}, "b": STATION_FAULTS}
    if four:
        boards.update(c={"FLASHPREP_SIM_UNPLUG_AFTER": "4000"}, d={"FLASHPREP_SIM_WEAK_SEED": "7"})
    alone = {name: t.alone("alone-" + name, settings) for name, settings in boards.items()}
    case = Case(port, t.folder, boards=boards)

    def check(result):
        run = result.runs[0]
        t.check("the station's exit status is 1 (not every board READY)", run.status == 1)
        station_board_checks(t, case, alone, result)
        if four:
            logs = result.station_logs(3)
            t.check("board c was unplugged in the middle",
                    bool(logs) and "FAIL: FORMATTING BLOCK 4095" in logs[0][2])
        t.check(f"the whole run within 90 s ({run.ms} ms)", between(run.ms, 0, 90000))

    return case, check


def station_sixteen_boards(t, port):
    # Sixteen boards behind two tiers of hubs (eight on each hub of the
    # second tier), prepared at once by flashprep-station in the guest, as a
    # gang station's bus: each prepared once, its log and state as its run
    # alone. Most are healthy (one run alone stands for them all); on the
    # first hub one with faults and one with other weak cells, on the second
    # one with a refused table write and one unplugged in its format pass.
    special = {"b": STATION_FAULTS, "f": {"FLASHPREP_SIM_WEAK_SEED": "7"},
               "k": {"FLASHPREP_SIM_REFUSE_WRITES": "2529"},
               "o": {"FLASHPREP_SIM_UNPLUG_AFTER": "4000"}}
    healthy = t.alone("alone-healthy")
    alone = {name: t.alone("alone-" + name, settings) for name, settings in special.items()}
    boards = {name: special.get(name, {}) for name in "abcdefghijklmnop"}
    alone.update((name, healthy) for name in boards if name not in special)
    case = Case(port, t.folder, boards=boards)

    def check(result):
        run = result.runs[0]
        t.check("the station's exit status is 1 (not every board READY)", run.status == 1)
        station_board_checks(t, case, alone, result)
        t.note(f"the station's run: {run.ms} ms on the guest clock, {len(boards)} boards")

    return case, check


def station_hotplug(t, port):
    # flashprep-station --watch in the guest while boards are plugged in and
    # pulled out through QEMU's monitor: a, then b once a formats, then c
    # once b formats; c pulled out once it formats, and plugged in again once
    # every run has finished. Each board must be prepared once per plug: a
    # and b and c's second run as each alone, c's first run cut in its
    # format pass; none prepared again while left plugged (the guest lingers
    # 3 s after the last run before it stops the station).
    boards = {"a": {}, "b": {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS": "7"},
              "c": {"FLASHPREP_SIM_REFUSE_WRITES": "2529"}}
    # c goes back in last, once every other run has finished: the station
    # must then still be watching, and c's second run is the last to end.
    plan = ["plug a", "wait 1 MARK a", "plug b", "wait 1 MARK b", "plug c", "wait 1 MARK c",
            "unplug c", "wait 1 FINISHED c", "wait 1 FINISHED a", "wait 1 FINISHED b", "plug c",
            "wait 2 FINISHED c"]
    alone = {name: t.alone("alone-" + name, settings) for name, settings in boards.items()}
    case = Case(port, t.folder, boards=boards, plan=plan, mark="BLOCK 300 FORMATTED")

    def check(result):
        run = result.runs[0]
        t.check("every step of the plan done", result.plan_error is None,
                [f"not done: {result.plan_error}"])
        t.check(f"the station ended by SIGTERM (status {run.status})", run.status == 143)
        for k, name in enumerate(case.board_names(), 1):
            plugs = plan.count(f"plug {name}")
            where = port.guest_name(k)
            for word in ("STARTED", "FINISHED"):
                n = count(run.out, rf"^{word} {where} ")
                t.check(f"board {name}: {n} lines {word} for {plugs} plug(s)", n == plugs)
            n = count(result.values("results"), rf'^\{{"board":"{where}"')
            t.check(f"board {name}: {n} results records for {plugs} plug(s)", n == plugs)
            logs = result.station_logs(k)
            last = write_lines(t.path(f"{name}.{plugs}.log"),
                               logs[plugs - 1][2] if len(logs) >= plugs else [])
            t.same_text(f"board {name}: its last run's log as its run alone", alone[name].out, last)
            t.same_state(f"board {name}: state as its run alone", alone[name].state,
                         case.state(name))
            # The closing note's table: board, plug, verdict and seconds as
            # the station's FINISHED lines give them.
            finished = [line.split(" ", 3) for line in run.out if re.match(
                rf"FINISHED {where} ", line)]
            for plug, words in enumerate(finished, 1):
                t.note(f"board {name} ({words[1]}) plug {plug}: {words[3]} | {words[2]} s")
        # c's first run: what its run alone printed up to the pull, then a
        # failure for every block left.
        logs = result.station_logs(3)
        cut = logs[0][2] if logs else []
        kept = next((i for i, line in enumerate(cut) if line.startswith("FAIL")), 0)
        formatted = count(cut, " FORMATTED$")
        refused = count(cut, "^FAIL: FORMATTING BLOCK ")
        t.check(f"board c: pulled out in its format pass ({formatted} formatted)",
                between(formatted, 301, 4000))
        t.check("board c: its cut run as its run alone up to the pull",
                bool(cut) and alone["c"].lines()[:kept] == cut[:kept])
        t.check("board c: one line for every block", formatted + refused == FLASH_BLOCKS)
        for step in result.steps:
            t.note(f"step at {step}")
        # The guest stops the station 3 s after the last run, or at 120 s
        # whatever it does: under the limit, the station ran each plug once
        # and then idled as it should (75 s seen with other guests beside it).
        t.check(f"the station stopped before the guest's 120 s limit ({run.ms} ms)",
                between(run.ms, 0, 115000))

    return case, check


CASES = {"full_run": functools.partial(faulty_run, shortened=False),
         "shortened_run": functools.partial(faulty_run, shortened=True),
         "station_four_boards": functools.partial(station_boards, four=True),
         "station_two_boards": functools.partial(station_boards, four=False)}
CASES.update((f.__name__, f) for f in (silent_then_two_processes, unplug_in_format,
                                       empty_identify_reply, interrupted_format_reply,
                                       station_hotplug, station_sixteen_boards))
LIBRARIES = {"legacy": "libusb-0.1.so.4=", "compat": "libusb-1.0.so.0="}


def parse_case(text):
    port, _, name = text.partition(":")
    if name not in CASES:
        raise argparse.ArgumentTypeError(f"no case {name} (one of {', '.join(CASES)})")
    try:
        return Port.parse(port), name
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))


def lane_checks(tap, lane, libusb, guest_build):
    """What every boot is checked for: the guest is the machine and loaded
    the library it was made for."""

    def check(k, result):
        if k == 1:
            tap.check(f"the guest is {lane.machine()}, as the programs of {guest_build}",
                      result.machine == lane.machine(), [f"machine {result.machine}"])
            loaded = [name for name, soname in LIBRARIES.items() if soname in result.library]
            tap.check(f"flashprep loaded libusb {libusb}", loaded[-1:] == [libusb],
                      [f"library {result.library}"])
    return check


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--guest-build")
    parser.add_argument("--libusb", choices=LIBRARIES, default="legacy")
    parser.add_argument("cases", nargs="+", type=parse_case, metavar="PORT:CASE")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    guest_build = os.path.abspath(args.guest_build or args.build)
    scratch = tempfile.mkdtemp(prefix="flashprep-lane-test.")

    def body(tap):
        lane = Lane(ROOT, build, guest_build, args.libusb, os.path.join(scratch, "lane"),
                    clean_env())
        os.makedirs(lane.work)
        boot_checks = lane_checks(tap, lane, args.libusb, guest_build)
        cases, checks = [], []
        for k, (port, name) in enumerate(args.cases, 1):
            t = Context(tap, build, os.path.join(scratch, f"{k}-{name}"), f"{port.name} {name}")
            case, check = CASES[name](t, port)
            cases.append(case)
            checks.append((t, check))

        def report(k, result):
            boot_checks(k, result)
            t, check = checks[k - 1]
            t.note(f"port {result.value('port')}")
            t.check(f"{len(result.runs)} of {result.case.runs} runs reported",
                    len(result.runs) == result.case.runs)
            if result.case.plan is None:
                t.check(f"the board is on {result.case.port.name}",
                        result.case.port.holds(result.value("port")), [result.value("port")])
            t.check("every board's process ended with status 0",
                    all(status == 0 for status in result.statuses), [str(result.statuses)])
            if len(result.runs) == result.case.runs:
                check(result)

        lane.boot(cases, report)

    try:
        return run_lane(body)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
