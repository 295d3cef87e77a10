#!/usr/bin/python3
"""The lanes' harness without a guest: the monitor client against a peer of
the test's own, the console's line filter, QEMU's option quoting, TAP."""
import io
import json
import os
import socket
import sys
import tempfile
import threading
import unittest

from harness import (Board, LaneError, Qmp, QmpError, Stream, console_lines, option,
                     run_lane, wait_until)

GREETING = b'{"QMP": {"version": {}, "capabilities": []}}\n'


class SocketPeer:
    """A unix socket peer of the test's own at folder/NAME: sends each of
    `greeting` once connected, then hands every line it reads to
    answer(line), which returns the bytes to send (None: close the
    connection)."""

    def __init__(self, folder, name, greeting, answer):
        self.path = os.path.join(folder, name)
        self._server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._server.bind(self.path)
        self._server.listen(1)
        self._thread = threading.Thread(target=self._serve, args=(greeting, answer), daemon=True)
        self._thread.start()

    def _serve(self, greeting, answer):
        conn, _ = self._server.accept()
        with conn, conn.makefile("rb") as lines:
            for part in greeting:
                conn.sendall(part)
            for line in lines:
                reply = answer(line)
                if reply is None:
                    break
                conn.sendall(reply)

    def close(self):
        self._thread.join(10)
        self._server.close()


class FakeMonitor(SocketPeer):
    """QEMU's monitor: greets, then hands each request to answer(request)."""

    def __init__(self, folder, answer, greeting=(GREETING,)):
        self.requests = []

        def requested(line):
            request = json.loads(line)
            self.requests.append(request)
            return answer(request)

        super().__init__(folder, "qmp.sock", greeting, requested)


def reply(request, **fields):
    return json.dumps(dict(fields, id=request["id"])).encode() + b"\n"


class QmpTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def monitor(self, answer, **kw):
        fake = FakeMonitor(self.folder.name, answer, **kw)
        self.addCleanup(fake.close)
        return fake

    def test_answers_are_matched_by_id_and_events_kept_aside(self):
        def answer(request):
            if request["execute"] == "device_del":
                # An event first, then a stray answer to an earlier id.
                return (b'{"event": "DEVICE_DELETED", "data": {"device": "redir1"}}\n' +
                        b'{"return": "stale", "id": "q0"}\n' + reply(request, **{"return": {}}))
            return reply(request, **{"return": {"status": "running"}})

        fake = self.monitor(answer)
        qmp = Qmp(fake.path, timeout=30)
        self.addCleanup(qmp.close)
        self.assertEqual(qmp.execute("query-status"), {"status": "running"})
        self.assertEqual(qmp.execute("device_del", {"id": "redir1"}), {})
        self.assertIsNotNone(qmp.wait_event("DEVICE_DELETED", 30, device="redir1"))
        self.assertIsNone(qmp.wait_event("DEVICE_DELETED", 0.1, device="redir2"))
        self.assertEqual([r["execute"] for r in fake.requests],
                         ["qmp_capabilities", "query-status", "device_del"])
        self.assertEqual(fake.requests[2]["arguments"], {"id": "redir1"})

    def test_a_greeting_in_pieces_is_read_whole(self):
        fake = self.monitor(lambda r: reply(r, **{"return": {}}),
                            greeting=(GREETING[:7], GREETING[7:30], GREETING[30:]))
        qmp = Qmp(fake.path, timeout=30)
        self.addCleanup(qmp.close)
        self.assertEqual(qmp.execute("stop"), {})

    def test_an_error_answer_raises_with_qemus_reason(self):
        def answer(request):
            if request["execute"] == "device_add":
                return reply(request, error={"class": "GenericError",
                                             "desc": "Bus 'x.0' not found"})
            return reply(request, **{"return": {}})

        qmp = Qmp(self.monitor(answer).path, timeout=30)
        self.addCleanup(qmp.close)
        with self.assertRaisesRegex(QmpError, "device_add: Bus 'x.0' not found"):
            qmp.execute("device_add", {"driver": "usb-redir", "bus": "x.0"})

    def test_a_monitor_that_goes_away_fails_the_command_at_once(self):
        def answer(request):
            return reply(request, **{"return": {}}) if request["execute"] == "qmp_capabilities" \
                else None

        qmp = Qmp(self.monitor(answer).path, timeout=30)
        self.addCleanup(qmp.close)
        # The limit is far off: only the closed connection can end the wait.
        with self.assertRaisesRegex(LaneError, "closed before it answered quit"):
            qmp.execute("quit", timeout=3600)

    def test_no_monitor_while_qemu_has_ended(self):
        with self.assertRaisesRegex(LaneError, "no monitor"):
            Qmp(os.path.join(self.folder.name, "none.sock"), timeout=3600, stop=lambda: True)


# A board process that listens on its socket and ends when the connection
# closes, as flashprep-sim-usbredir does; none comes here, so it ends once
# the socket is there.
LISTENER = ("import socket, sys; s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); "
            "s.listen(1); sys.exit(3)")


class FakeQemu:
    """QEMU's side of plugging a board in: what was asked of its monitor.
    `deleted`: whether device_del ends in a DEVICE_DELETED event; `ends`:
    whether QEMU has ended (its monitor then refuses everything)."""

    def __init__(self, deleted=True, ends=False):
        self.qmp = self
        self.requests = []
        self._deleted = deleted
        self._ends = ends

    def new_id(self, kind):
        return kind + str(len(self.requests))

    def execute(self, command, arguments):
        if self._ends and command == "device_del":
            raise LaneError("the monitor closed before it answered device_del")
        self.requests.append((command, arguments))

    def wait_event(self, name, timeout, **data):
        return {"event": name, "data": data} if self._deleted else None

    def wait(self, timeout):
        return 0 if self._ends else None


class BoardTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def board(self, qemu):
        return Board(qemu, [sys.executable, "-c", LISTENER],
                     os.path.join(self.folder.name, "board,1.sock"), dict(os.environ),
                     os.path.join(self.folder.name, "board.log"))

    def test_plugged_on_its_port_through_a_chardev_of_its_own(self):
        qemu = FakeQemu()
        with self.board(qemu) as board:
            board.plug("hc.0", "2.3")
            self.assertEqual(board.pull(), 3)
        (add, chardev), (device_add, device), (delete, deleted) = qemu.requests
        self.assertEqual((add, device_add, delete), ("chardev-add", "device_add", "device_del"))
        self.assertEqual(chardev["backend"]["data"]["addr"]["data"]["path"], board.socket)
        self.assertFalse(chardev["backend"]["data"]["server"])
        self.assertEqual(device, {"driver": "usb-redir", "chardev": chardev["id"],
                                  "id": deleted["id"], "bus": "hc.0", "port": "2.3"})

    def test_a_qemu_that_ended_has_pulled_its_boards_out(self):
        with self.board(FakeQemu(deleted=False, ends=True)) as board:
            board.plug("hc.0", "1")
            self.assertEqual(board.pull(), 3)

    def test_a_board_qemu_keeps_is_not_pulled_out(self):
        with self.board(FakeQemu(deleted=False)) as board:
            board.plug("hc.0", "1")
            with self.assertRaisesRegex(LaneError, "did not pull out"):
                board.pull(timeout=1)


class ConsoleTest(unittest.TestCase):
    def test_keeps_the_guests_lines_without_their_prefix(self):
        read, write = os.pipe()
        log = io.BytesIO()
        with os.fdopen(read, "rb") as r:
            lines = Stream(r, console_lines("FPQ:"), log)
            with os.fdopen(write, "wb") as w:
                w.write(b"\x1b[2J\x1b[01;01HSeaBIOS\r\nFPQ:case 1\r\n[ 1.0] usb 1-1: new\n"
                        b"FPQ:out BLOCK 0 FORMATTED\r\nxFPQ:not the guest's\nFPQ:done")
            self.assertIsNotNone(lines.wait(lambda items: "done" in items, 30))
            lines.join(30)
        self.assertEqual(lines.items(), ["case 1", "out BLOCK 0 FORMATTED", "done"])
        self.assertIn(b"SeaBIOS", log.getvalue())

    def test_a_wait_ends_when_the_stream_does(self):
        read, write = os.pipe()
        with os.fdopen(read, "rb") as r:
            lines = Stream(r)
            os.close(write)
            # The limit is far off: the end of the stream ends the wait.
            self.assertIsNone(lines.wait(lambda items: "never" in items, 3600))
        self.assertTrue(lines.ended())


class OptionTest(unittest.TestCase):
    def test_commas_in_values_are_doubled(self):
        self.assertEqual(option("socket", id="board1", path="/tmp/a,b/board.sock"),
                         "socket,id=board1,path=/tmp/a,,b/board.sock")
        self.assertEqual(option("unix:/tmp/x,y", server="on"), "unix:/tmp/x,,y,server=on")


class WaitTest(unittest.TestCase):
    def test_the_first_true_value_or_none_once_it_cannot_come(self):
        values = iter([0, "", "ready"])
        self.assertEqual(wait_until(lambda: next(values), 3600, interval=0), "ready")
        self.assertIsNone(wait_until(lambda: False, 3600, interval=0, stop=lambda: True))


class TapTest(unittest.TestCase):
    def run_lane(self, body):
        out = io.StringIO()
        status = run_lane(body, out)
        return status, out.getvalue().splitlines()

    def test_every_check_numbered_and_the_plan_last(self):
        status, lines = self.run_lane(lambda tap: [tap.check("one", True),
                                                   tap.note("between\ntwo lines"),
                                                   tap.check("two", 1, ["not shown"])])
        self.assertEqual(status, 0)
        self.assertEqual(lines, ["ok 1 - one", "# between", "# two lines", "ok 2 - two", "1..2"])

    def test_a_failed_check_fails_the_lane_and_says_why(self):
        status, lines = self.run_lane(lambda tap: [tap.check("one", False, ["got 3", "want 4"]),
                                                   tap.check("two", True)])
        self.assertEqual(status, 1)
        self.assertEqual(lines, ["not ok 1 - one", "#   got 3", "#   want 4", "ok 2 - two",
                                 "1..2"])

    def test_a_lane_that_cannot_go_on_bails_out_with_status_2(self):
        def body(tap):
            tap.check("booted", True)
            raise LaneError("no answer from the guest\n--- console")

        status, lines = self.run_lane(body)
        self.assertEqual(status, 2)
        self.assertEqual(lines[0], "ok 1 - booted")
        self.assertEqual(lines[-1], "Bail out! no answer from the guest")
        self.assertIn("# --- console", lines)

    def test_a_lane_that_checked_nothing_has_not_passed(self):
        self.assertEqual(self.run_lane(lambda tap: None)[0], 2)


if __name__ == "__main__":
    unittest.main()
