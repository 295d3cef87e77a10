#!/usr/bin/python3
"""The real-USB lane's host side without a guest: where a board is said to
be, how a case's console lines are read back, the settings the guest
sources, board files."""
import os
import subprocess
import tempfile
import unittest

from boards import read_board_file
from harness import LaneError
from usb_cases import Case, Port, Result
from usb_lane import write_conf

EHCI_COMPANION = ("driver=uhci_hcd pci=0x8086:0x2934 speed=12 hub=none path=3-1 "
                  "buses=ehci-pci,uhci_hcd,uhci_hcd serial=none")


class PortTest(unittest.TestCase):
    def test_the_board_must_be_on_the_controller_and_hub_asked_for(self):
        self.assertTrue(Port("ehci").holds(EHCI_COMPANION))
        # The same driver on the guest's other UHCI is not the companion.
        self.assertFalse(Port("ehci").holds(EHCI_COMPANION.replace("0x2934", "0x7020")))
        self.assertTrue(Port("uhci").holds(EHCI_COMPANION.replace("0x2934", "0x7020")))
        self.assertFalse(Port("ehci", hub=True).holds(EHCI_COMPANION))
        self.assertTrue(Port("ehci", hub=True).holds(
            EHCI_COMPANION.replace("hub=none", "hub=0409:55aa")))
        self.assertFalse(Port("xhci").holds("none buses=xhci_hcd"))

    def test_names(self):
        self.assertEqual(Port.parse("ohci_hub"), Port("ohci", True))
        self.assertEqual(Port.parse("xhci").name, "xhci")
        for wrong in ("xhci_", "usb", "ehci_hubs"):
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
        result = Result(Case(Port("xhci", hub=True), "/x", boards={"a": {}, "b": {}}), lines, [])
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
