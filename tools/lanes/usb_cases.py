"""What a case of the real-USB lane asks of the guest (the port its boards
go on, their settings, the runs) and what the guest reported of it.
"""
import os
import re
from dataclasses import dataclass, field

from harness import option

# A board goes on root port 1 of its controller, or behind a hub on port 2:
# that hub's own ports (2.1, 2.2, ...), or with a second tier of hubs on its
# ports 1 and 2, theirs (2.1.1 to 2.1.8, then 2.2.1 to 2.2.8).
DIRECT_PORT = "1"
HUB_PORT = "2"
HUB_PORTS = 8  # a QEMU usb-hub's ports
SECOND_TIER = 2  # hubs of the second tier
TIERS = ("", "_hub", "_hub_hub")  # a port's name after its controller's


@dataclass(frozen=True)
class Controller:
    devices: tuple  # QEMU -device values; the bus is "<id>.0"
    modules: tuple  # the guest's modules
    driver: str  # the guest's driver of the board's bus
    pci: str  # that bus's PCI ID, where another controller has the same driver


# A full-speed device on an EHCI port is handed to the companion controller,
# as on a PC.
CONTROLLERS = {
    "xhci": Controller((option("qemu-xhci", id="xhci"),), ("xhci-hcd", "xhci-pci"),
                       "xhci_hcd", ""),
    "ehci": Controller((option("ich9-usb-ehci1", id="ehci", addr="1d.7", multifunction="on"),
                        option("ich9-usb-uhci1", masterbus="ehci.0", firstport=0, addr="1d.0",
                               multifunction="on")),
                       ("ehci-hcd", "ehci-pci", "uhci-hcd"), "uhci_hcd", "0x8086:0x2934"),
    "uhci": Controller((option("piix3-usb-uhci", id="uhci"),), ("uhci-hcd",), "uhci_hcd",
                       "0x8086:0x7020"),
    "ohci": Controller((option("pci-ohci", id="ohci"),), ("ohci-hcd", "ohci-pci"), "ohci-pci",
                       ""),
}


@dataclass(frozen=True)
class Port:
    """Where a case's boards go: a controller, and the tiers of hubs on the
    way (0, 1 or 2)."""
    controller: str
    hubs: int = 0

    @staticmethod
    def parse(text):
        controller, underscore, hubs = text.partition("_")
        if controller not in CONTROLLERS or (underscore + hubs) not in TIERS:
            raise ValueError(f"no port {text} (xhci, ehci, uhci, ohci, each with _hub, "
                             "_hub_hub or neither)")
        return Port(controller, TIERS.index(underscore + hubs))

    @property
    def name(self):
        return self.controller + TIERS[self.hubs]

    def capacity(self):
        """How many boards this has ports for."""
        return (1, HUB_PORTS, SECOND_TIER * HUB_PORTS)[self.hubs]

    def hub_ports(self):
        """QEMU's names of the ports the hubs on the way go on, each after
        the hub it is plugged into."""
        second = [f"{HUB_PORT}.{h}" for h in range(1, SECOND_TIER + 1)]
        return ([], [HUB_PORT], [HUB_PORT] + second)[self.hubs]

    def usb_port(self, k=1):
        """QEMU's name of the port of the case's k-th board."""
        if self.hubs < 2:
            return f"{HUB_PORT}.{k}" if self.hubs else DIRECT_PORT
        return f"{HUB_PORT}.{(k - 1) // HUB_PORTS + 1}.{(k - 1) % HUB_PORTS + 1}"

    def guest_name(self, k):
        """A pattern of the guest's name of that port (its bus number left
        open): 1-2.1.3 is QEMU's 2.1.3 on bus 1."""
        return rf'[^\s"]*-{re.escape(self.usb_port(k))}'

    def holds(self, port_line):
        """Whether the guest's FPQ:port line puts the board where this asks:
        on the controller asked for, on one of this port's places (as many
        tiers of hubs deep)."""
        want = CONTROLLERS[self.controller]
        fields = dict(f.split("=", 1) for f in port_line.split() if "=" in f)
        path = fields.get("path", "")
        return (fields.get("driver") == want.driver and want.pci in ("", fields.get("pci")) and
                (fields.get("hub") == "none") == (self.hubs == 0) and
                any(re.fullmatch(self.guest_name(k), path)
                    for k in range(1, self.capacity() + 1)))


@dataclass
class Case:
    """What one case asks of the guest. `folder` is the case's own on the
    host: the board's state goes to folder/lane.state (unless its settings
    name one), many boards' to boards_dir/NAME.state."""
    port: Port
    folder: str
    runs: int = 1
    settings: dict = field(default_factory=dict)  # the board's FLASHPREP_SIM_* variables
    boards: dict = None  # name: settings; many boards behind the hub, the station
    boards_dir: str = None
    plan: list = None  # with boards: the hub's ports start empty (see run_plan)
    mark: str = ""  # the log line "wait N MARK NAME" waits for
    second: bool = False  # a second flashprep while the last run formats
    interrupt: tuple = None  # (run, line): SIGINT to that run once it printed line

    def board_names(self):
        return sorted(self.boards) if self.boards else []

    def state(self, name=None):
        if name is None:
            return self.settings.get("FLASHPREP_SIM_STATE") or os.path.join(self.folder,
                                                                              "lane.state")
        return self.boards[name].get("FLASHPREP_SIM_STATE") or os.path.join(
            self.boards_dir or os.path.join(self.folder, "boards"), name + ".state")


@dataclass
class Run:
    k: int
    status: int
    ms: int
    out: list


class Result:
    """What the guest reported of one case (its FPQ: lines, prefix taken
    off), with the exit status of each board process and the plan's steps;
    `boot`: the lines the guest printed of itself before its first case."""

    def __init__(self, case, lines, statuses, steps=(), plan_error=None, boot=()):
        self.case = case
        self.machine = next((line[8:] for line in boot if line.startswith("machine ")), "")
        self.library = next((line[8:] for line in boot if line.startswith("library ")), "")
        self.lines = lines
        self.statuses = statuses
        self.steps = list(steps)
        self.plan_error = plan_error
        self.runs = []
        out = []
        for line in lines:
            word, _, rest = line.partition(" ")
            if word == "begin":
                out = []
            elif word == "out":
                out.append(rest)
            elif word == "end":
                k, status, ms = rest.split()
                self.runs.append(Run(int(k), int(status), int(ms), out))

    def values(self, word):
        return [line[len(word) + 1:] for line in self.lines if line.startswith(word + " ")]

    def value(self, word):
        found = self.values(word)
        return found[0] if found else ""

    def output(self):
        return [line for run in self.runs for line in run.out]

    def station_logs(self, k):
        """The logs of the board on the case's k-th hub port, in the order
        the station started them: [(guest port, log name, its lines)]."""
        pattern = re.compile(rf"STARTED ({self.case.port.guest_name(k)}) (\S+)$")
        logs = []
        for line in self.output():
            found = pattern.match(line)
            if found:
                name = os.path.basename(found.group(2))[:-len(".log")]
                logs.append((found.group(1), name, [
                    rest.partition(" ")[2] for rest in self.values("log")
                    if rest.split(" ", 1)[0] == name]))
        return logs
