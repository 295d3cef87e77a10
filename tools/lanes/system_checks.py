"""The system lane's checks, in the order a user meets what they check:
installation, a board's node, login users, the service without a driver
image, the service set up with boards, its stop, its kill, libusb-compat,
its user out of plugdev, a reboot, an upgrade, power cuts, remove and purge.
Each check is one TAP line; a check's details say what differed.
"""
import concurrent.futures
import json
import os
import re

import power_cut
from harness import files_differ, text_differs
from system_lane import (APT_SECONDS, COMMAND_SECONDS, LOGS, MARGIN, RESULTS, RUN_SECONDS, UNIT,
                         event_count, port_of, read_records)

BOARD_FILES = ["ram.bin", "flash.bin", "events.txt"]


class Checks:
    """The checks of one lane run on `lane`'s guest."""

    def __init__(self, lane, tap):
        self.lane = lane
        self.tap = tap
        self.m = None  # the Machine the guest runs on now
        self.journal = []  # the station's lines in this boot's journal, as last read
        self.records = []  # the results file's lines, as last read
        self.keep_logs = False  # the guest's logs fetched before the package goes

    def check(self, description, details):
        """A check that holds when `details`, what differs, is empty."""
        return self.tap.check(description, not details, details)

    def equals(self, description, expected, got):
        return self.check(description, [] if expected == got else
                          [f"expected '{expected}', got '{got}'"])

    # --------------------------------------------------------------- reading

    def read_journal(self):
        """The station's lines in this boot's journal, in guest/events.txt."""
        self.journal = self.m.guest("events").lines
        with open(self.lane.guest_file("events.txt"), "w", encoding="utf-8") as f:
            f.writelines(line + "\n" for line in self.journal)
        return self.journal

    def count(self, word, name):
        return event_count(self.journal, word, port_of(name))

    def read_records(self):
        """The results file now, in guest/results.jsonl: [(line, record)]."""
        path = self.lane.guest_file("results.jsonl")
        if not self.m.fetch(RESULTS, path):
            self.records = []
            return self.records
        self.records = read_records(path)
        return self.records

    def records_of(self, name):
        port = port_of(name)
        return [r for _, r in self.records if r is not None and r.get("board") == port]

    def log_of(self, name, k=None):
        """The log the k-th (default: last) STARTED line of this boot names."""
        return "\n".join(self.m.guest("log", port_of(name), *([str(k)] if k else [])).lines)

    def wait_finished(self, name, count=1):
        return self.m.wait_event("FINISHED", port_of(name), count, RUN_SECONDS,
                                 f"board {name}'s run")

    # ---------------------------------------------------------------- checks

    def prepared(self, name, want, k=None):
        """Board `name`'s k-th (default: last) run in this boot gave the log
        of board `want`'s run alone; leaves it in guest/NAME.log. A re-plug
        names its k: the last run would be the earlier plug's when the
        station never started the new one."""
        port = port_of(name)
        log = self.log_of(name, k)
        if not log:
            return [f"no STARTED line for {port}"]
        got = self.lane.guest_file(name + ".log")
        if not self.m.fetch(log, got):
            return [f"cannot read {log} in the guest"]
        return text_differs(self.lane.ref(want), got)

    def one_record(self, name, besides=()):
        """Exactly one whole record for the board's port, of the log the
        STARTED line named, with the verdict of flashprep-summary on it;
        records of the logs `besides` (earlier runs) left out."""
        records = [r for r in self.records_of(name) if r.get("log") not in besides]
        if len(records) != 1:
            return [f"records of {port_of(name)}: {records}"]
        verdict = self.lane.verdict(self.lane.guest_file(name + ".log"))
        log = self.log_of(name)
        return ([] if records[0].get("verdict") == verdict else
                [f"verdict: expected '{verdict}', got '{records[0].get('verdict')}'"]) + \
            ([] if records[0].get("log") == log else
             [f"log: expected '{log}', got '{records[0].get('log')}'"])

    def journal_entry(self, name):
        """One structured journal entry per plug of the board in this boot,
        with its port, the verdict of its log and the driver image's hash."""
        port = port_of(name)
        entries = [json.loads(line) for line in self.m.run(
            "journalctl", "-b", "-u", UNIT, "-o", "json", "--no-pager").lines if line.strip()]
        mine = [e for e in entries if e.get("FLASHPREP_PORT") == port]
        if len(mine) != 1:
            return [f"{len(mine)} entries with FLASHPREP_PORT={port}"]
        verdict = self.lane.verdict(self.lane.guest_file(name + ".log"))
        sha256 = self.lane.image_sha256()
        return ([] if mine[0].get("FLASHPREP_VERDICT") == verdict else
                [f"verdict: expected '{verdict}', got '{mine[0].get('FLASHPREP_VERDICT')}'"]) + \
            ([] if mine[0].get("FLASHPREP_IMAGE_SHA256") == sha256 else
             [f"image: expected {sha256}, got {mine[0].get('FLASHPREP_IMAGE_SHA256')}"])

    def same_state(self, name, files=BOARD_FILES):
        """The board's state after its last plug as after its run alone."""
        return files_differ(self.lane.alone[name].state, self.lane.boards.state(name), files)

    # ---------------------------------------------------------------- phases

    def run(self, power_cuts, seed):
        lane = self.lane
        # The boards' runs alone are the host's work while the guest boots.
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            alone = pool.submit(lane.run_alone)
            self.m = lane.power_on()
            alone.result()
        self.first_boot = self.m.boot
        self.installation()
        self.node_and_users()
        self.no_driver_image()
        self.three_boards()
        self.stop()
        self.kill()
        self.libusb_compat()
        self.out_of_plugdev()
        self.reboot()
        self.node_as_at_boot()
        self.upgrade()
        if power_cuts:
            self.m = power_cut.PowerCuts(self, power_cuts, seed).run()
        self.named_by_ports()
        self.remove_and_purge()

    def installation(self):
        """Installed as the user guide says, with apt-get, in a guest with no
        network: libusb 0.1 comes from the packages the image holds."""
        self.lane.phase("installation")
        m = self.m
        # A board plugged in before the package's udev rule is there: the
        # installation has udev handle it again.
        self.lane.boards.plug(m, "i")
        node = m.text("guest", "node", port_of("i"), "120", seconds=120 + MARGIN)
        before = m.text("stat", "-c", "%G %a", node)
        installed = m.guest("install", self.lane.deb, seconds=APT_SECONDS)
        with open(self.lane.guest_file("install.txt"), "w", encoding="utf-8") as f:
            f.writelines(line + "\n" for line in installed.lines)
        self.check("apt-get installs the package offline, libusb 0.1 from the image's packages",
                   [] if installed.status == 0 and any(
                       line.startswith("Setting up libusb-0.1-4") for line in installed.lines)
                   else installed.lines[-8:])
        passwd = m.text("getent", "passwd", "flashprep").split(":")
        self.check("the user flashprep: a system user, no home, no shell",
                   [] if len(passwd) == 7 and passwd[2].isdigit() and int(passwd[2]) < 1000 and
                   passwd[5] == "/nonexistent" and passwd[6] == "/usr/sbin/nologin"
                   else [":".join(passwd)])
        groups = m.text("id", "-nG", "flashprep")
        self.check("the user flashprep is in plugdev",
                   [] if "plugdev" in groups.split() else [groups])
        # The user guide: the service works in /var/lib/flashprep (root puts
        # the image there) and writes only to /var/log/flashprep, for root
        # and group flashprep.
        self.equals("/var/lib/flashprep: root's, 755", "755 root root",
                    m.text("stat", "-c", "%a %U %G", "/var/lib/flashprep"))
        self.equals("/var/log/flashprep: 750, user and group flashprep",
                    "750 flashprep flashprep", m.text("stat", "-c", "%a %U %G", "/var/log/flashprep"))
        self.equals("the service is installed, not enabled, not running", "loaded disabled inactive",
                    " ".join([m.unit_property("LoadState"), m.text("systemctl", "is-enabled", UNIT),
                              m.text("systemctl", "is-active", UNIT)]))
        # The boards' claims: the service's station and those root or group
        # flashprep run by hand claim there, no other account; none removes
        # another's claim.
        self.equals("/run/flashprep: root's, group flashprep, 3770, for the boards' claims",
                    "3770 root flashprep", m.text("stat", "-c", "%a %U %G", "/run/flashprep"))
        after = m.text("stat", "-c", "%G %a", node)
        self.check(f"a board plugged in before the installation: its node {node} given to "
                   "plugdev, mode 660, with no re-plug",
                   [] if after == "plugdev 660" and before != after else
                   [f"before the installation '{before}', after '{after}'"])
        self.lane.boards.pull("i")

    def node_and_users(self):
        """udev gives a board's node to plugdev; a login user in plugdev runs
        flashprep without root, one outside cannot open the board."""
        lane, m = self.lane, self.m
        lane.phase("a board's node")
        lane.boards.plug(m, "g")
        node = m.text("guest", "node", port_of("g"), "120", seconds=120 + MARGIN)
        self.equals(f"a board plugged in: its node {node} is group plugdev's, mode 660",
                    "plugdev 660", m.text("stat", "-c", "%G %a", node))

        lane.phase("login users")
        m.guest("users")
        for user in ("alice", "bob"):
            out = m.text("guest", "user-run", user, seconds=RUN_SECONDS).splitlines()
            got = lane.guest_file(user + ".out")
            if not out or not m.fetch(out[-1], got):
                open(got, "w").close()
        self.check("alice (plugdev) runs flashprep on the board: the whole run, as alone",
                   text_differs(lane.ref("g"), lane.guest_file("alice.out")))
        unable = lane.guest_file("unable.out")
        with open(unable, "w", encoding="utf-8") as f:
            f.write("FAIL: UNABLE TO START DRIVER\n")
        self.check("bob (not in plugdev): FAIL: UNABLE TO START DRIVER",
                   text_differs(unable, lane.guest_file("bob.out")))
        lane.boards.pull("g")
        self.check("the board after alice's and bob's runs: as after its run alone",
                   self.same_state("g"))

    def no_driver_image(self):
        """Without the driver image the station refuses to start (status 2):
        the service must end failed at once, not restart in a loop."""
        self.lane.phase("no driver image")
        m = self.m
        m.run("systemctl", "start", UNIT)
        failed = m.guest("active", "failed", "20", seconds=20 + MARGIN)
        restarts = m.unit_property("NRestarts")
        told = sum(1 for line in self.read_journal() if "serial_flash.S19" in line)
        self.check("without the driver image the service ends failed, not restarted, the reason "
                   "in the journal",
                   [] if failed.status == 0 and restarts == "0" and told > 0 else
                   [f"state {' '.join(failed.lines) or 'failed'}, {restarts} restarts, "
                    f"{told} lines naming serial_flash.S19"])
        self.equals("without the driver image the station's status is 2 (it will not get better "
                    "by itself)", "2", m.unit_property("ExecMainStatus"))
        m.guest("stop")

    def three_boards(self):
        """The user guide's set-up, then three boards plugged in together."""
        lane, m = self.lane, self.m
        lane.phase("the service set up, three boards")
        m.guest("set-up", seconds=APT_SECONDS)
        active = m.guest("active", "active", "30", seconds=30 + MARGIN)
        self.equals("systemctl enable --now: enabled and running", "enabled active",
                    f"{m.text('systemctl', 'is-enabled', UNIT)} "
                    f"{' '.join(active.lines)}{m.text('systemctl', 'is-active', UNIT)}")
        self.equals("the sandbox lets the station read the boot's id", m.boot,
                    m.text("guest", "station-boot-id"))
        # Side by side, each on its own port: what is checked of one is its
        # own, and the guest spends one board's time on the three.
        for name in ("a", "b", "c"):
            lane.boards.plug(m, name)
        for name in ("a", "b", "c"):
            self.wait_finished(name)
        m.wait_event("UNPLUGGED", port_of("c"), 1, 30, "board c's pulling out by itself")
        self.read_journal()
        self.read_records()
        bad = [number for number, record in self.records if record is None]
        self.check("the results file: whole records only",
                   [] if self.records and not bad else
                   [f"{len(bad)} lines not records, {len(self.records)} lines in all"])
        for name in ("a", "b", "c"):
            port = port_of(name)
            for word in ("FOUND", "STARTED", "FINISHED"):
                self.equals(f"board {name} ({port}): one {word} line in the journal", 1,
                            self.count(word, name))
            self.check(f"board {name}: its log in /var/log/flashprep as its run alone",
                       self.prepared(name, name))
            self.check(f"board {name}: one record, of that log, with its verdict",
                       self.one_record(name))
            self.check(f"board {name}: one structured journal entry (port, verdict, image)",
                       self.journal_entry(name))
        self.equals("board c: the journal says it was pulled out", 1, self.count("UNPLUGGED", "c"))
        for name in ("a", "b", "c"):
            lane.boards.pull(name)
            self.check(f"board {name}: state as after its run alone", self.same_state(name))

    def stop(self):
        """systemctl stop while a board formats: only the station gets
        SIGTERM from systemd; it passes it on once, the board's exchange
        completes, the board is closed, the record is written, the unit ends
        inactive."""
        lane, m = self.lane, self.m
        lane.phase("systemctl stop")
        lane.boards.plug(m, "d")
        stops = sum(1 for line in self.read_journal() if line == "STOPPING ON SIGNAL 15")
        # While the service runs board d, a station run by hand finds the
        # board claimed: it neither starts nor records it.
        port = port_of("d")
        hand = m.guest("at-line", port, "1", "BLOCK 4 FORMATTED", str(RUN_SECONDS),
                       "guest", "hand-station", seconds=RUN_SECONDS + MARGIN,
                       waiting_for="board d's block 4, then a station run by hand").lines
        self.check("a station run by hand while the service runs board d: d BUSY, not started, "
                   "no record, status 1",
                   [] if f"BUSY {port}: held by another process" in hand and
                   "DONE 0 READY, 0 NOT READY, 1 BUSY" in hand and "status 1" in hand and
                   "records 0" in hand and not any(line.startswith("STARTED ") for line in hand)
                   else hand[-8:])
        m.run("systemctl", "stop", UNIT, seconds=RUN_SECONDS)
        self.read_journal()
        self.read_records()
        self.equals("systemctl stop: the unit ends inactive, not failed", "inactive success",
                    f"{m.text('systemctl', 'is-active', UNIT)} {m.unit_property('Result')}")
        self.equals("the station passed SIGTERM on", stops + 1,
                    sum(1 for line in self.journal if line == "STOPPING ON SIGNAL 15"))
        # Its run alone stopped at the same point: the guest's log ends with
        # the block whose format the stop came in (n); alone, the stop comes
        # as soon as block n-1 is printed, while block n formats. A stop that
        # cut the exchange under way leaves a log one block short, the board
        # with block n formatted and its reply unread: the state then
        # differs from the run alone's.
        got = lane.guest_file("d.log")
        last = ""
        if m.fetch(self.log_of("d"), got):
            with open(got, encoding="utf-8", errors="replace") as f:
                last = (f.read().splitlines() or [""])[-1]
        found = re.fullmatch(r"BLOCK (\d+) FORMATTED", last)
        stopped_at = int(found.group(1)) if found else 0
        self.tap.note(f"board d: stopped in block {stopped_at or '?'}'s format")
        if stopped_at > 0:
            lane.alone_stopped("d", f"BLOCK {stopped_at - 1} FORMATTED",
                               {"FLASHPREP_SIM_FORMAT_DELAY_BLOCKS": str(stopped_at)})
        else:
            lane.alone_stopped("d", "", {})
            with open(lane.ref("d"), "w", encoding="utf-8") as f:
                f.write("no stop in a format\n")
        self.check("board d: its log as its run alone stopped by SIGTERM at the same line",
                   self.prepared("d", "d"))
        self.check("board d: one record, of that log, with its verdict", self.one_record("d"))
        reasons = [r.get("reasons", [""])[0] for r in self.records_of("d")]
        self.equals("board d: its record says it was stopped by signal 15", ["STOPPED BY SIGNAL 15"],
                    reasons)
        lane.boards.pull("d")
        # The board's process says so when a reply was left unread.
        with open(os.path.join(lane.boards.state("d"), "stderr"), encoding="utf-8",
                  errors="replace") as f:
            said = [line.rstrip("\n") for line in f if line.strip()]
        self.check("board d: closed with no exchange half done, state as its run alone stopped "
                   "there", self.same_state("d") + said)

    def kill(self):
        """The station killed outright while a board formats: systemd starts
        it again, the cut board is prepared again, a READY board left plugged
        is not."""
        lane, m = self.lane, self.m
        lane.phase("the station killed")
        m.run("systemctl", "start", UNIT)
        lane.boards.plug(m, "e")
        self.wait_finished("e")
        lane.boards.plug(m, "f")
        m.guest("at-line", port_of("f"), "1", "BLOCK 4 FORMATTED", str(RUN_SECONDS),
                "guest", "kill-station", "KILL", seconds=RUN_SECONDS + MARGIN,
                waiting_for="board f's block 4, then the station's kill")
        m.wait_event("STARTED", port_of("f"), 2, RUN_SECONDS, "board f's second run")
        self.wait_finished("f")
        self.read_journal()
        self.read_records()
        self.equals("SIGKILL: systemd started the station again (once)", "1 active",
                    f"{m.unit_property('NRestarts')} {m.text('systemctl', 'is-active', UNIT)}")
        self.equals("board f: its cut run prepared again", 2, self.count("STARTED", "f"))
        self.check("board f: the new run's log as its run alone", self.prepared("f", "f", 2))
        # The killed station's run of f is recorded by the one systemd
        # started again, from the note it left beside the run's log.
        killed = self.log_of("f", 1)
        recovered = [r for r in self.records_of("f") if r.get("log") == killed]
        told = self.count("RECOVERED", "f")
        self.check("board f: the killed run recorded once, NOT READY, its station ended "
                   "(RECOVERED)",
                   [] if told == 1 and len(recovered) == 1 and
                   recovered[0].get("verdict") == "NOT READY" and
                   (recovered[0].get("reasons") or [""])[0] == "STATION ENDED" else
                   [f"{told} RECOVERED lines, records of {killed}: {recovered}"])
        self.check("board f: one record for the new run, READY",
                   self.one_record("f", besides=(killed,)) +
                   [f"verdict {r.get('verdict')}" for r in self.records_of("f")
                    if r.get("log") != killed and r.get("verdict") != "READY"])
        self.equals("board e, READY and left plugged: not prepared again after the restart", 1,
                    self.count("STARTED", "e"))
        lane.boards.pull("f")
        self.check("board f: flash as after its run alone", self.same_state("f", ["flash.bin"]))

    def libusb_compat(self):
        """libusb-compat as the system's libusb 0.1 (as on Fedora or Arch):
        the same unit prepares a board."""
        lane, m = self.lane, self.m
        lane.phase("libusb-compat")
        m.guest("libusb-compat", "on", seconds=APT_SECONDS)
        libraries = m.text("guest", "station-libusb").split()
        self.tap.note(f"the station's libusb: {' '.join(libraries)}")
        self.check("libusb-compat: the service's station loaded it over libusb-1.0",
                   [] if any("/libusb-1.0.so.0" in lib for lib in libraries) else libraries)
        lane.boards.plug(m, "a")
        self.wait_finished("a", 2)
        self.check("libusb-compat: a board plugged in is prepared, its log as its run alone",
                   self.prepared("a", "a", 2))
        lane.boards.pull("a")
        m.guest("libusb-compat", "off", seconds=APT_SECONDS)
        exposure = m.text("guest", "exposure")
        self.tap.note(f"systemd-analyze security: exposure {exposure}")
        try:
            low = float(exposure) <= 1.0
        except ValueError:
            low = False
        self.check(f"the sandbox's exposure, {exposure}, is at most 1.0", [] if low else [exposure])

    def out_of_plugdev(self):
        """The service keeps its boards when its user has lost plugdev (the
        unit itself names the group), and systemd-sysusers gives it back."""
        lane, m = self.lane, self.m
        lane.phase("the user out of plugdev")
        m.guest("plugdev-out")
        lane.boards.plug(m, "c")
        self.wait_finished("c", 2)
        self.check("the user out of plugdev: the service still prepares a board",
                   self.prepared("c", "c", 2))
        lane.boards.pull("c")
        m.run("systemd-sysusers")
        groups = m.text("id", "-nG", "flashprep")
        self.check("systemd-sysusers puts the user back in plugdev",
                   [] if "plugdev" in groups.split() else [groups])

    def reboot(self):
        """Board e has stayed plugged through four restarts of the station
        (the SIGKILL, libusb-compat in and out, the user out of plugdev): it
        has had one run and one record in this boot. Then a reboot with it
        plugged: the enabled service prepares it once in the new boot."""
        lane, m = self.lane, self.m
        lane.phase("a reboot")
        m.guest("idle", "300", seconds=300 + MARGIN)
        self.read_journal()
        self.read_records()
        self.equals("board e: prepared once, one record, through four restarts of the station",
                    "1 1", f"{self.count('STARTED', 'e')} {len(self.records_of('e'))}")
        m.agent.send(["systemctl", "reboot"])
        m.wait_boot()
        self.check("rebooted (a new boot id)",
                   [] if m.boot and m.boot != self.first_boot else [m.boot])
        self.wait_finished("e")
        self.check("after the reboot the enabled service prepared board e, as alone",
                   self.prepared("e", "e"))
        self.read_records()
        self.equals("board e: one record per boot, each naming its boot",
                    [self.first_boot, m.boot], [r.get("boot") for r in self.records_of("e")])

    def node_as_at_boot(self):
        """A board whose node udev has not yet given to plugdev when the
        station looks, as at boot, where the initramfs leaves it root's, 664:
        the station tells it, starts no run that could not open it, and
        prepares it, named by its port, once udev has handled it."""
        lane, m = self.lane, self.m
        lane.phase("a board's node as the initramfs leaves it")
        m.guest("stop")
        lane.boards.plug(m, "n")
        port = port_of("n")
        before = len(m.lines())

        def looked(lines):
            return any(line.startswith(("STARTED ", "NOT STARTED ")) for line in lines[before:])

        m.guest("as-at-boot", port, seconds=60 + MARGIN)
        m.station.wait(m.boot, looked, RUN_SECONDS)
        seen = m.lines()[before:]
        m.guest("udev-add", port, seconds=60 + MARGIN)
        self.wait_finished("n")
        self.check("a board whose node udev has not given to plugdev yet: told, not started, "
                   "named by its port",
                   [] if any(line.startswith(f"NOT STARTED {port}: ") for line in seen) and
                   not any(line.startswith("STARTED ") for line in seen) else seen)
        self.read_records()
        self.check("that board once udev has handled it: prepared, its log as its run alone, "
                   "one record", self.prepared("n", "n") + self.one_record("n"))
        lane.boards.pull("n")

    def named_by_ports(self):
        """Every board the station told of in any boot is named by its port:
        none by its bus and device (a board listed before udev handled its
        node, or one being pulled out)."""
        lines = self.m.run("journalctl", "-q", "-u", UNIT, "-o", "cat", "--no-pager",
                           seconds=COMMAND_SECONDS).lines
        event = re.compile(r"(FOUND|STARTED|FINISHED|UNPLUGGED|NOT STARTED|ALREADY PREPARED) ")
        port = re.compile(r"[A-Z ]+ 1-\d+\.\d+( |:|$)")
        wrong = [line for line in lines if event.match(line) and not port.match(line)]
        self.check("in every boot the station named each board by its port", wrong[:10])

    def upgrade(self):
        """An upgrade while the station prepares a board: not restarted, the
        board finishes."""
        lane, m = self.lane, self.m
        lane.phase("an upgrade")
        lane.boards.plug(m, "h")
        said = m.guest("at-line", port_of("h"), "1", "BLOCK 4 FORMATTED", str(RUN_SECONDS),
                       "guest", "upgrade", lane.next_deb, seconds=RUN_SECONDS + APT_SECONDS,
                       waiting_for="board h's block 4, then the upgrade").lines
        values = dict(line.partition(" ")[::2] for line in said)
        self.tap.note(f"upgrade: {' '.join(said)}")
        version = m.text("dpkg-query", "-W", "-f=${Version}", "flashprep")
        self.check(f"upgraded to {lane.next_version} while board h formatted",
                   [] if values.get("upgrade") == "0" and values.get("board") == "running" and
                   version == lane.next_version else [f"installed: {version}"])
        self.check("the running station was not restarted by the upgrade",
                   [] if values.get("pid") and values.get("pid") == values.get("after") ==
                   m.unit_property("MainPID") else [])
        self.check("the station still running is the replaced program",
                   [] if values.get("exe", "").endswith("flashprep-station (deleted)") else [])
        self.wait_finished("h")
        self.read_records()
        self.check("board h finished, its log as its run alone", self.prepared("h", "h"))
        self.check("board h: one record", self.one_record("h"))
        self.read_journal()
        self.equals("board e: prepared once in this boot", 1, self.count("STARTED", "e"))
        for name in ("e", "h"):
            lane.boards.pull(name)

    def logs_aged(self):
        """The package keeps the logs 90 days: systemd-tmpfiles' cleaning,
        the guest's clock moved on, removes older logs and keeps newer ones
        and the results file. Last before the package goes: no check reads
        the logs it removes."""
        m = self.m
        self.lane.phase("the logs' age")
        logs = sorted(name for name in m.run("ls", "-A", LOGS).lines if name.endswith(".log"))
        at_89 = m.guest("tmpfiles-clean", "89").lines
        gone = [name for name in logs if name not in at_89]
        self.check(f"systemd-tmpfiles keeps the {len(logs)} logs 89 days on",
                   [] if logs and not gone else [f"removed: {gone[:5]}"])
        at_91 = m.guest("tmpfiles-clean", "91").lines
        old = [name for name in at_91 if name.endswith(".log") and name != "made-later.log"]
        self.check("systemd-tmpfiles removes them 91 days on, keeps a newer log and the results "
                   "file",
                   [] if not old and "made-later.log" in at_91 and "results.jsonl" in at_91 else
                   [f"left: {at_91[:8]}"])
        self.tap.note(f"the logs folder 91 days on, but for its logs: "
                      f"{' '.join(name for name in at_91 if not name.endswith('.log'))}")

    def remove_and_purge(self):
        """apt-get remove and purge as the package documents."""
        lane, m = self.lane, self.m
        lane.phase("remove, purge")
        if self.keep_logs and m.run("tar", "-C", "/var/log", "-czf", "/tmp/logs.tar.gz",
                                    "flashprep").status == 0:
            m.fetch("/tmp/logs.tar.gz", lane.guest_file("logs.tar.gz"))
        self.logs_aged()
        removing = m.run("apt-get", "remove", "-y", "flashprep", seconds=APT_SECONDS)
        with open(lane.guest_file("remove.txt"), "w", encoding="utf-8") as f:
            f.writelines(line + "\n" for line in removing.lines)
        left = {"service": m.text("systemctl", "is-active", UNIT),
                "station": m.text("pgrep", "-a", "-f", "^/usr/bin/flashprep-station"),
                "results": m.run("test", "-s", RESULTS).status == 0,
                "lib": m.run("test", "-d", "/var/lib/flashprep").status == 0,
                "user": m.run("getent", "passwd", "flashprep").status == 0}
        self.check("apt-get remove stops the service and leaves the logs, the folders and the "
                   "user", [] if left == {"service": "inactive", "station": "", "results": True,
                                          "lib": True, "user": True} else [str(left)])
        m.run("apt-get", "purge", "-y", "flashprep", seconds=APT_SECONDS)
        listed = m.run("ls", "-d", "/var/log/flashprep", "/var/lib/flashprep").lines
        kept = [line for line in listed if "No such" not in line]
        user = m.run("getent", "passwd", "flashprep").status == 0
        self.check("apt-get purge removes both folders and keeps the user",
                   kept + ([] if user else ["no user flashprep"]))
