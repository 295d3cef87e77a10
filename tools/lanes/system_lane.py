"""The system lane's host side: the packages and the lane disk, the guest (a
whole Debian system under QEMU, one QEMU process per power-on), its agent
and the station's lines as they come, the boards on two hubs and their runs
alone. The checks are in system_checks.py, the power cuts in power_cut.py.
"""
import base64
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time

from agent import Agent
from boards import Alone, clean_env
from harness import Board, LaneError, Qemu, Stream, close_socket, connect_unix, option, tail

UNIT = "flashprep-station.service"
LOGS = "/var/log/flashprep"
RESULTS = LOGS + "/results.jsonl"

# Limits, each sized for what it waits for on a starved guest (the figures
# of docs/system-lane.md, at a load of 16 to 20 on two cores).
BOOT_SECONDS = 420  # to the agent's hello: a reboot took up to 355 s
RUN_SECONDS = 600  # a board's whole run: up to 3.5 min
APT_SECONDS = 600  # apt-get install or remove: up to 140 s
COMMAND_SECONDS = 120  # a command that waits for nothing
MARGIN = 60  # the host's limit over a wait the guest does itself

# The boards, by name: the hub, its port, the settings. Board K on hub H is
# on QEMU's port "H.K", which the guest names "1-H.K". Hub 1 has the
# boards of the service's checks, hub 2 the power cuts' three.
BOARDS = {
    "a": (1, 1, {}),  # healthy
    # Blocks fail, a table write refused.
    "b": (1, 2, {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS": "7,100-101,4095",
                 "FLASHPREP_SIM_REFUSE_WRITES": "2530"}),
    "c": (1, 3, {"FLASHPREP_SIM_UNPLUG_AFTER": "4000"}),  # pulled out in its format pass
    # From block 5 on, each block takes 1 s to format: the stop comes while
    # the host waits for one (which one depends on how quickly the guest acts).
    "d": (1, 4, {"FLASHPREP_SIM_FORMAT_DELAY_MS": "1000",
                 "FLASHPREP_SIM_FORMAT_DELAY_BLOCKS": "5-400"}),
    "e": (1, 5, {}),  # healthy, left plugged
    # The station is killed while block 5 formats. A board whose run was cut
    # mid-exchange holds its reply; this one drops it when configured again
    # (as the user guide says, others need a re-plug), so that what is seen
    # is the station's doing.
    "f": (1, 6, {"FLASHPREP_SIM_FORMAT_DELAY_MS": "1500", "FLASHPREP_SIM_FORMAT_DELAY_BLOCKS": "5",
                 "FLASHPREP_SIM_PENDING_REPLY": "drop"}),
    "g": (1, 7, {}),  # for the login users
    "h": (1, 8, {}),  # healthy, for the upgrade
    # The power cuts' boards: runs of three lengths, so that a cut falls
    # before, during and between their records. x is healthy; y's flash
    # does not initialise (a run of seconds); z has failing blocks and ends
    # some seconds after x.
    "x": (2, 1, {}),
    "y": (2, 2, {"FLASHPREP_SIM_REFUSE_INIT": "1"}),
    "z": (2, 3, {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS": "7,2000-2001",
                 "FLASHPREP_SIM_FORMAT_DELAY_MS": "150",
                 "FLASHPREP_SIM_FORMAT_DELAY_BLOCKS": "3000-3039"}),
    "n": (2, 4, {}),  # healthy, for a node udev has not handled yet
    "i": (2, 5, {}),  # plugged in before the installation
}


def port_of(name):
    """The guest's name of board `name`'s port."""
    hub, k, _ = BOARDS[name]
    return f"1-{hub}.{k}"


def event_count(lines, word, port):
    """How many of the station's lines are WORD for `port` (WORD may be two
    words: "NOT STARTED")."""
    pattern = re.compile(rf"{re.escape(word)} {re.escape(port)}( |:|$)")
    return sum(1 for line in lines if pattern.match(line))


def station_line(line):
    """("boot", BOOT_ID) where the agent's forwarder starts a boot, else
    ("line", LINE)."""
    if line.startswith("@@boot "):
        return ("boot", line[len("@@boot "):].strip())
    return ("line", line)


class StationLines:
    """The station's lines as the guest's journal gets them, boot by boot,
    read from the port the agent forwards them to."""

    def __init__(self, sock, log):
        self._sock = sock
        self._stream = Stream(sock.makefile("rb"), station_line, log)

    def lines(self, boot):
        """The lines of boot `boot` so far."""
        return of_boot(self._stream.items(), boot)

    def wait(self, boot, condition, seconds):
        """condition(lines of boot `boot`)'s first true value, None after
        `seconds` or once the channel has closed (the guest's power is off)."""
        return self._stream.wait(lambda items: condition(of_boot(items, boot)), seconds)

    def close(self):
        close_socket(self._sock)


def of_boot(items, boot):
    lines, inside = [], False
    for item in items:
        if item[0] == "boot":
            inside = item[1] == boot
        elif inside:
            lines.append(item[1])
    return lines


class Machine:
    """One power-on of the lane's guest: a QEMU process, booted again by the
    guest's own reboots, ended by power_off() or cut() (SIGKILL, as a power
    cut). Its agent and the station's lines come over two virtio ports.
    Boards given are plugged in before the guest's CPU starts."""

    def __init__(self, lane, number, boards=()):
        self.lane = lane
        self.number = number
        work = lane.work
        agent_sock = os.path.join(work, f"agent{number}.sock")
        station_sock = os.path.join(work, f"station{number}.sock")
        # Default caching (writeback): the guest's flushes reach the host's
        # disk, as a power cut needs; QEMU's cache=unsafe would drop them.
        argv = ["qemu-system-x86_64", "-machine", "pc,accel=tcg", "-cpu", "max", "-smp", "2",
                "-m", "1024", "-nodefaults", "-S",
                "-kernel", lane.kernel, "-initrd", os.path.join(lane.image, "initrd.img"),
                "-append", "console=ttyS0 root=/dev/vda rw quiet",
                "-drive", option("if=virtio", file=lane.system_disk, format="qcow2",
                                 cache="writeback"),
                "-drive", option("if=virtio", file=lane.lane_disk, format="raw", readonly="on"),
                "-device", "virtio-serial-pci",
                "-chardev", option("socket", id="agent", path=agent_sock, server="on", wait="off"),
                "-device", option("virtserialport", chardev="agent", name="flashprep.lane"),
                "-chardev", option("socket", id="station", path=station_sock, server="on",
                                   wait="off"),
                "-device", option("virtserialport", chardev="station", name="flashprep.station"),
                "-device", option("qemu-xhci", id="hc"),
                "-device", option("usb-hub", bus="hc.0", port="1"),
                "-device", option("usb-hub", bus="hc.0", port="2")]
        # The guest's own lines are the journal's, over the station's port:
        # the console is kept in console.log only.
        self.qemu = Qemu(argv, work, prefix="\0")
        self.boots = []
        self.closed = False
        self._logs = [open(os.path.join(work, name), "ab") for name in ("agent.log", "station.log")]
        try:
            self.agent = Agent(agent_sock, 60, stop=self.qemu.ended, log=self._logs[0])
            self.station = StationLines(
                connect_unix(station_sock, 60, self.qemu.ended, "station port"), self._logs[1])
            for name in boards:
                lane.boards.plug(self, name)
            self.qemu.qmp.execute("cont")
        except BaseException:
            self.qemu.close()
            raise

    @property
    def boot(self):
        """The id of the boot the guest runs now."""
        return self.boots[-1]

    def wait_boot(self):
        """Waits for the agent's hello of the next boot; its boot id."""
        begun = time.monotonic()
        boot = self.agent.wait_boot(len(self.boots) + 1, BOOT_SECONDS)
        if boot is None:
            raise LaneError(f"the guest did not come up within {BOOT_SECONDS} s (power-on "
                            f"{self.number}, boot {len(self.boots) + 1}); console:\n" +
                            tail(os.path.join(self.lane.work, "console.log"), 20))
        self.boots.append(boot)
        self.lane.tap.note(f"power-on {self.number}, boot {len(self.boots)}: the guest's agent "
                           f"answered after {time.monotonic() - begun:.0f} s")
        return boot

    def run(self, *argv, seconds=COMMAND_SECONDS, waiting_for=None):
        """`argv` run as root in the guest: its Reply (status, lines)."""
        return self.agent.run(list(argv), seconds, waiting_for)

    def guest(self, *argv, seconds=COMMAND_SECONDS, waiting_for=None):
        """One of the lane's helpers in the guest (tools/system-lane/guest)."""
        return self.run("guest", *argv, seconds=seconds, waiting_for=waiting_for)

    def text(self, *argv, seconds=COMMAND_SECONDS):
        """What `argv` printed, whatever its status."""
        return "\n".join(self.run(*argv, seconds=seconds).lines)

    def fetch(self, path, to):
        """An exact copy of the guest's file `path` in `to`; False when the
        guest could not read it."""
        reply = self.guest("b64", path)
        if reply.status != 0:
            return False
        with open(to, "wb") as f:
            f.write(base64.b64decode("".join(reply.lines)))
        return True

    def unit_property(self, name):
        return self.text("systemctl", "show", "-p", name, "--value", UNIT)

    def lines(self):
        """The station's lines of this boot so far, as they came."""
        return self.station.lines(self.boot)

    def wait_event(self, word, port, count, seconds, waiting_for):
        """True once the station has said WORD for `port` `count` times in
        this boot; False after `seconds`, with a note of what was waited for
        and what the guest says of its boards."""
        if self.station.wait(self.boot, lambda lines: event_count(lines, word, port) >= count,
                             seconds):
            return True
        self.lane.tap.note(f"no {word} line #{count} for {port} within {seconds} s "
                           f"(waiting for {waiting_for}); the station's last lines:")
        self.lane.tap.note("\n".join(["  " + line for line in self.lines()[-8:]]))
        if not self.qemu.ended():
            self.lane.tap.note("the boards as the guest sees them:\n" +
                               self.text("guest", "boards"))
        return False

    def power_off(self):
        """systemctl poweroff, and QEMU's end (killed when the guest does not
        power off within its limit)."""
        try:
            self.agent.send(["systemctl", "poweroff"])
        except LaneError:
            pass
        if self.qemu.wait(BOOT_SECONDS) is None:
            self.lane.tap.note("the guest did not power off: QEMU killed")
        self.close()

    def cut(self):
        """The power cut: QEMU killed outright (SIGKILL), nothing flushed."""
        self.qemu.kill()
        self.close()

    def close(self):
        if self.closed:
            return
        self.closed = True
        self.qemu.close()
        self.agent.close()
        self.station.close()
        for log in self._logs:
            log.close()
        self.lane.boards.powered_off(self)


class Boards:
    """The lane's boards: a flashprep-sim-usbredir process per plug, its
    state in state/NAME.N, its flash kept from plug to plug (and across
    power-ons) in flash/NAME.bin."""

    def __init__(self, lane):
        self.lane = lane
        self.plugged = {}  # name: (Machine, harness.Board)
        self.plugs = {}  # name: plugs so far
        for folder in ("state", "flash"):
            os.makedirs(os.path.join(lane.work, folder), exist_ok=True)

    def plug(self, machine, name):
        hub, k, settings = BOARDS[name]
        n = self.plugs.get(name, 0) + 1
        self.plugs[name] = n
        state = self.state(name, n)
        os.makedirs(state)
        env = dict(clean_env(), **settings, FLASHPREP_SIM_STATE=state,
                   FLASHPREP_SIM_FLASH=os.path.join(self.lane.work, "flash", name + ".bin"))
        board = Board(machine.qemu, [self.lane.tool("flashprep-sim-usbredir")],
                      os.path.join(self.lane.work, f"{name}.{n}.sock"), env,
                      os.path.join(state, "stderr"))
        self.plugged[name] = (machine, board)
        try:
            board.plug("hc.0", f"{hub}.{k}")
        except LaneError as e:
            raise LaneError(f"QEMU did not plug board {name} in: {e}") from e

    def pull(self, name):
        """device_del; the board's process writes its state and ends."""
        _, board = self.plugged.pop(name)
        with board:
            board.pull()

    def powered_off(self, machine):
        """Every board of `machine`'s QEMU, which has ended and so closed
        their connections: their processes write their states and end."""
        for name, (on, board) in list(self.plugged.items()):
            if on is machine:
                del self.plugged[name]
                with board:
                    board.end()

    def state(self, name, n=None):
        """The state folder of board `name`'s n-th plug (default: its last)."""
        return os.path.join(self.lane.work, "state", f"{name}.{n or self.plugs.get(name, 0)}")

    def close(self):
        for name in list(self.plugged):
            machine, board = self.plugged.pop(name)
            with board:
                pass


class Lane:
    """What the lane's guests are made of: the ci build's boards and tools,
    the two packages, the cached image, the lane disk and the system disk's
    overlay (kept across power-ons, as a disk is). `tap` gets the notes."""

    def __init__(self, root, build, package, work, tap):
        self.root = root
        self.build = build
        self.package = package
        self.work = work
        self.tap = tap
        self.alone = {}
        self.started = time.monotonic()
        self.boards = Boards(self)
        for folder in ("disk", "ref", "guest"):
            os.makedirs(os.path.join(work, folder), exist_ok=True)

    def tool(self, name):
        return os.path.join(self.build, name)

    def elapsed(self):
        return time.monotonic() - self.started

    def phase(self, text):
        self.tap.note(f"{self.elapsed():.0f} s: {text}")

    def prepare(self):
        """Installs what the lane needs, builds the packages and makes the
        guest's disks."""
        if subprocess.run([os.path.join(self.root, "tools", "install-deps"), "qemu-system-x86",
                           "qemu-utils", "e2fsprogs", "dpkg-dev"],
                          stdout=subprocess.DEVNULL).returncode != 0:
            raise LaneError("cannot install what the lane needs")
        for tool in ("flashprep-sim-usbredir", "flashprep-sim", "flashprep",
                     "flashprep-make-driver", "flashprep-summary", "libusb-compat/libusb-0.1.so.4"):
            if not os.path.exists(self.tool(tool)):
                raise LaneError(f"{self.tool(tool)} missing (the ci preset builds it)")
        made = subprocess.run([os.path.join(self.root, "tools", "system-lane", "image")],
                              capture_output=True, text=True)
        if made.returncode != 0:
            raise LaneError(f"no guest image: {made.stderr[-2000:]}")
        self.image = made.stdout.strip()
        self.kernel = os.path.join(self.image, "vmlinux")
        if not os.path.isfile(self.kernel):
            self.kernel = os.path.join(self.image, "vmlinuz")
        self.deb, self.next_deb, self.version, self.next_version = self.packages()
        disk = os.path.join(self.work, "disk")
        self.driver = os.path.join(disk, "serial_flash.S19")
        if subprocess.run([self.tool("flashprep-make-driver"), self.driver]).returncode != 0:
            raise LaneError("cannot make the driver image")
        for name in ("agent", "guest"):
            shutil.copy(os.path.join(self.root, "tools", "system-lane", name), disk)
        shutil.copy(self.tool("libusb-compat/libusb-0.1.so.4"),
                    os.path.join(disk, "libusb-compat-0.1.so.4"))
        subprocess.run(["chmod", "-R", "a+rX", disk], check=True)
        self.lane_disk = os.path.join(self.work, "lane.img")
        self.system_disk = os.path.join(self.work, "system.qcow2")
        with open(self.lane_disk, "wb") as f:
            f.truncate(64 << 20)
        if subprocess.run(["mke2fs", "-q", "-t", "ext4", "-O", "^has_journal", "-L", "lane",
                           "-d", disk, "-F", self.lane_disk], stdout=subprocess.DEVNULL).returncode:
            raise LaneError("cannot make the lane disk")
        if subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b",
                           os.path.join(self.image, "disk.img"), self.system_disk]).returncode:
            raise LaneError("cannot make the system disk's overlay")

    def run_alone(self):
        """Each board's run alone (board d's waits for the guest's stop)."""
        for name, (_, _, settings) in BOARDS.items():
            if name == "d":
                continue
            # A format time below the host's 5 s time-out changes no line
            # and no state: a whole run alone leaves it out.
            whole = {k: v for k, v in settings.items() if k != "FLASHPREP_SIM_FORMAT_DELAY_MS"}
            self.alone[name] = Alone(self.build, os.path.join(self.work, "ref"), name, whole)

    def alone_stopped(self, name, line, settings):
        """Board `name`'s run alone, stopped by SIGTERM once it printed `line`,
        with `settings` over its own."""
        self.alone[name] = Alone(self.build, os.path.join(self.work, "ref"), name,
                                 dict(BOARDS[name][2], **settings), stop_at=line)
        return self.alone[name]

    def packages(self):
        """The package by the user guide's recipe, and the same package one
        patch version up for the upgrade (FLASHPREP_PACKAGE_VERSION changes
        the package's version only, and is set back once it is made)."""
        package, log = self.package, os.path.join(self.work, "package.log")
        env = {k: v for k, v in os.environ.items()
               if k not in ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS")}

        def step(*argv, cwd=None):
            with open(log, "ab") as out:
                if subprocess.run(list(argv), cwd=cwd, env=env, stdout=out,
                                  stderr=subprocess.STDOUT).returncode != 0:
                    raise LaneError(f"the package could not be built: {tail(log)}")

        print(f"system-lane: building the package in {package}", file=sys.stderr)
        step("cmake", "-S", self.root, "-B", package, "-DCMAKE_BUILD_TYPE=Release",
             "-DCMAKE_INSTALL_PREFIX=/usr", "-DFLASHPREP_TESTS=OFF", "-UFLASHPREP_PACKAGE_VERSION")
        step("cmake", "--build", package, f"-j{os.cpu_count() or 1}")
        for old in os.listdir(package):
            if old.startswith("flashprep_") and old.endswith(".deb"):
                os.remove(os.path.join(package, old))
        step("cpack", cwd=package)
        debs = [n for n in os.listdir(package) if n.startswith("flashprep_") and n.endswith(".deb")]
        if len(debs) != 1:
            raise LaneError(f"expected one package in {package}, found: {debs}")
        deb = debs[0]
        version = subprocess.run(["dpkg-deb", "-f", os.path.join(package, deb), "Version"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        parts = version.split(".")
        next_version = ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                              check=True).stdout.strip()
        next_deb = f"flashprep_{next_version}_{arch}.deb"
        try:
            step("cmake", package, f"-DFLASHPREP_PACKAGE_VERSION={next_version}")
            step("cpack", cwd=package)
        finally:
            step("cmake", package, "-UFLASHPREP_PACKAGE_VERSION")
        for name in (deb, next_deb):
            shutil.copy(os.path.join(package, name), os.path.join(self.work, "disk"))
        # The tree keeps the package of its own version alone, as the recipe
        # left it (tools/test-arm64 compares the arm64 package with it).
        os.remove(os.path.join(package, next_deb))
        return deb, next_deb, version, next_version

    def power_on(self, boards=()):
        """A new QEMU on the lane's disks, `boards` plugged in from the start;
        returns once the guest's agent has answered."""
        self.power_ons = getattr(self, "power_ons", 0) + 1
        machine = Machine(self, self.power_ons, boards)
        try:
            machine.wait_boot()
        except BaseException:
            machine.close()
            raise
        return machine

    def ref(self, name):
        """Board `name`'s run alone's output file."""
        return self.alone[name].out

    def guest_file(self, name):
        return os.path.join(self.work, "guest", name)

    def verdict(self, log):
        """flashprep-summary's verdict of a board's log (its first line)."""
        ran = subprocess.run([self.tool("flashprep-summary"), log], capture_output=True,
                             text=True)
        return (ran.stdout.splitlines() or [""])[0]

    def image_sha256(self):
        with open(self.driver, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()


def read_records(path):
    """The results file's lines: (number, record or None when the line is
    not a whole JSON object)."""
    records = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f.read().split("\n"), 1):
            if not line:
                continue
            try:
                record = json.loads(line)
            except ValueError:
                record = None
            records.append((number, record if isinstance(record, dict) else None))
    return records
