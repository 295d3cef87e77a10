#!/usr/bin/python3
"""The real-USB lane's host side without a guest: where a board is said to
be, how a case's console lines are read back, the settings the guest
sources, board files."""
import os
import re
import subprocess
import tempfile
import unittest

from boards import read_board_file
from harness import LaneError
from usb_cases import Case, Port, Result
from usb_lane import hub_devices, write_conf

EHCI_COMPANION = ("driver=uhci_hcd pci=0x8086:0x2934 speed=12 hub=none path=3-1 "
                  "buses=ehci-pci,uhci_hcd,uhci_hcd serial=none")


class PortTest(unittest.TestCase):
    def test_the_board_must_be_on_the_controller_and_hub_asked_for(self):
        self.assertTrue(Port("ehci").holds(EHCI_COMPANION))
        # The same driver on the guest's other UHCI is not the companion.
        self.assertFalse(Port("ehci").holds(EHCI_COMPANION.replace("0x2934", "0x7020")))
        self.assertTrue(Port("uhci").holds(EHCI_COMPANION.replace("0x2934", "0x7020")))
        self.assertFalse(Port("ehci", 1).holds(EHCI_COMPANION))
        self.assertTrue(Port("ehci", 1).holds(
            EHCI_COMPANION.replace("hub=none path=3-1", "hub=0409:55aa path=3-2.1")))
        self.assertFalse(Port("xhci").holds("none buses=xhci_hcd"))

    def test_the_tiers_of_hubs_are_the_depth_of_the_guests_name(self):
        behind = "driver=xhci_hcd pci=0x1b36:0x000d speed=12 hub=0409:55aa path={} serial=none"
        for path, hubs in (("1-2.3", 1), ("1-2.1.8", 2), ("1-2.2.1", 2)):
            for port in (Port("xhci", 1), Port("xhci", 2)):
                self.assertEqual(port.holds(behind.format(path)), port.hubs == hubs, path)
        # A third hub of the second tier is not one the lane plugs in.
        self.assertFalse(Port("xhci", 2).holds(behind.format("1-2.3.1")))

    def test_sixteen_boards_fill_the_two_hubs_of_the_second_tier_in_order(self):
        port = Port("xhci", 2)
        self.assertEqual(port.hub_ports(), ["2", "2.1", "2.2"])
        self.assertEqual([port.usb_port(k) for k in (1, 8, 9, 16)],
                         ["2.1.1", "2.1.8", "2.2.1", "2.2.8"])
        self.assertEqual(port.capacity(), 16)
        self.assertTrue(re.fullmatch(port.guest_name(9), "1-2.2.1"))
        for other in ("1-2.1.1", "1-2.2.10", "1-2.2"):
            self.assertFalse(re.fullmatch(port.guest_name(9), other), other)

    def test_one_boot_cannot_have_a_board_and_a_hub_on_one_port(self):
        self.assertEqual(hub_devices("xhci", [Port("xhci"), Port("ohci", 2), Port("xhci", 2)]),
                         ["-device", "usb-hub,bus=xhci.0,port=2",
                          "-device", "usb-hub,bus=xhci.0,port=2.1",
                          "-device", "usb-hub,bus=xhci.0,port=2.2"])
        self.assertEqual(hub_devices("uhci", [Port("xhci", 2), Port("uhci")]), [])
        with self.assertRaises(LaneError):
            hub_devices("xhci", [Port("xhci", 1), Port("xhci", 2)])

    def test_names(self):
        self.assertEqual(Port.parse("ohci_hub"), Port("ohci", 1))
        self.assertEqual(Port.parse("xhci_hub_hub"), Port("xhci", 2))
        self.assertEqual(Port.parse("xhci").name, "xhci")
        self.assertEqual(Port.parse("uhci_hub_hub").name, "uhci_hub_hub")
        for wrong in ("xhci_", "usb", "ehci_hubs", "xhci_hub_hub_hub", "xhci__hub"):
            with self.assertRaises(ValueError):
                Port.parse(wrong)


class ResultTest(unittest.TestCase):
    def test_each_run_gets_its_own_lines(self):
        lines = ["ready 3100", "port none", "begin 1", "out FAIL: BOOTLOADER NOT PRESENT",
                 "end 1 0 5210", "begin 2", "out A", "out B", "second 1 240",
                 "second_out FAIL: UNABLE TO START DRIVER", "claim usbfs", "end 2 130 900"]
        result = Result(Case(Port("xhci"), "/x", runs=2), lines, [0],
                        boot=["machine x86_64", "library libusb-0.1.so.4=/lib/libusb-0.1.so.4 "])
        self.assertEqual([(r.k, r.status, r.ms, r.out) for r in result.runs],
                         [(1, 0, 5210, ["FAIL: BOOTLOADER NOT PRESENT"]),
                          (2, 130, 900, ["A", "B"])])
        self.assertEqual(result.output(), ["FAIL: BOOTLOADER NOT PRESENT", "A", "B"])
        self.assertEqual(result.value("second"), "1 240")
        self.assertEqual(result.values("second_out"), ["FAIL: UNABLE TO START DRIVER"])
        self.assertEqual(result.value("kernel"), "")
        self.assertEqual(result.machine, "x86_64")

    def test_a_boards_logs_in_the_order_the_station_started_them(self):
        # Logs are named PORT.TIME, with _2 when two runs start in one second.
        lines = ["begin 1",
                 "out STARTED 1-2.2 /tmp/logs/1-2.2.T0.log",
                 "out STARTED 1-2.1 /tmp/logs/1-2.1.T0.log",
                 "out STARTED 1-2.12 /tmp/logs/1-2.12.T0.log",
                 "out STARTED 1-2.2 /tmp/logs/1-2.2.T0_2.log",
                 "log 1-2.2.T0_2 second run", "log 1-2.2.T0 first run",
                 "log 1-2.2.T0 BLOCK 0 FORMATTED",
                 "log 1-2.1.T0 other board", "log 1-2.12.T0 yet another",
                 "end 1 143 6000"]
        result = Result(Case(Port("xhci", 1), "/x", boards={"a": {}, "b": {}}), lines, [])
        self.assertEqual(result.station_logs(2), [
            ("1-2.2", "1-2.2.T0", ["first run", "BLOCK 0 FORMATTED"]),
            ("1-2.2", "1-2.2.T0_2", ["second run"])])
        self.assertEqual(result.station_logs(1), [("1-2.1", "1-2.1.T0", ["other board"])])


class ConfTest(unittest.TestCase):
    def test_the_guests_shell_reads_back_every_value(self):
        values = {"MARK": "BLOCK 300 FORMATTED", "INTERRUPT_AFTER": "it's \"$HOME\" `x` \\ ;",
                  "RUNS": 2, "EMPTY": ""}
        with tempfile.TemporaryDirectory() as folder:
            conf = os.path.join(folder, "1.conf")
            write_conf(conf, values)
            shown = subprocess.run(
                ["sh", "-c", '. "$1"; printf "%s\\n" "$MARK" "$INTERRUPT_AFTER" "$RUNS" "$EMPTY"',
                 "-", conf], capture_output=True, text=True, check=True).stdout
        self.assertEqual(shown.split("\n")[:-1], [str(v) for v in values.values()])


class BoardFileTest(unittest.TestCase):
    def read(self, text):
        with tempfile.NamedTemporaryFile("w", suffix=".board") as f:
            f.write(text)
            f.flush()
            return read_board_file(f.name)

    def test_settings_lines_comments_and_line_ends(self):
        self.assertEqual(self.read("# healthy but slow\r\n\n"
                                   "  FLASHPREP_SIM_FAULT=error@20,short@58\r\n"
                                   "FLASHPREP_SIM_SERIAL=FP 0042/b#7\n"),
                         {"FLASHPREP_SIM_FAULT": "error@20,short@58",
                          "FLASHPREP_SIM_SERIAL": "FP 0042/b#7"})

    def test_what_a_board_file_cannot_say(self):
        for text in ("FLASHPREP_SIM_BOARDS=dir\n", "FLASHPREP_SIM_BOARD=two\n", "PATH=/bin\n",
                     "FLASHPREP_SIM_FAULT\n"):
            with self.assertRaises(LaneError, msg=text):
                self.read(text)


if __name__ == "__main__":
    unittest.main()
