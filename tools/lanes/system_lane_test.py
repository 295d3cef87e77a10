#!/usr/bin/python3
"""The system lane's host side without a guest: the station's lines told
apart by boot and by port, the results file read line by line."""
import os
import tempfile
import unittest

from system_lane import event_count, of_boot, read_records, station_line


class StationLinesTest(unittest.TestCase):
    def test_a_boots_lines_are_those_after_its_mark(self):
        items = [station_line(line) for line in
                 ["@@boot one", "FOUND 1-1.5", "@@boot two", "FOUND 1-1.5", "STARTED 1-1.5 x",
                  "@@boot one", "after a power cut, the same id cannot come back"]]
        self.assertEqual(of_boot(items, "two"), ["FOUND 1-1.5", "STARTED 1-1.5 x"])
        self.assertEqual(len(of_boot(items, "one")), 2)
        self.assertEqual(of_boot(items, "three"), [])

    def test_a_port_is_counted_whole(self):
        lines = ["FOUND 1-1.1", "FOUND 1-1.10", "NOT STARTED 1-1.1: cannot create", "FOUND 1-1.1x",
                 "UNPLUGGED 1-1.1", "FINISHED 1-1.1 7.0 READY", "ALREADY PREPARED 1-1.1"]
        self.assertEqual(event_count(lines, "FOUND", "1-1.1"), 1)
        self.assertEqual(event_count(lines, "NOT STARTED", "1-1.1"), 1)
        self.assertEqual(event_count(lines, "UNPLUGGED", "1-1.1"), 1)
        self.assertEqual(event_count(lines, "FINISHED", "1-1.1"), 1)
        self.assertEqual(event_count(lines, "STARTED", "1-1.1"), 0)


class RecordsTest(unittest.TestCase):
    def test_each_line_is_a_record_or_damaged(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "results.jsonl")
            with open(path, "wb") as f:
                f.write(b'{"board":"1-1.1"}\n\n[1,2]\n{"board":"1-1.2"}\n{"board":"1-\x00\x00')
            self.assertEqual(read_records(path), [(1, {"board": "1-1.1"}), (3, None),
                                                  (4, {"board": "1-1.2"}), (5, None)])


if __name__ == "__main__":
    unittest.main()
