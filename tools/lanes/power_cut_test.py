#!/usr/bin/python3
"""The power cut's judgement of what a station left, without a guest: the
station's lines the host saw before the cut, the results file read after
the boot, the logs' verdicts."""
import unittest

from power_cut import PAST_THE_END, judge, moment, readers_disagree, runs_seen

OLD, CUT, NEW = "boot-old", "boot-cut", "boot-new"
LOG = "/var/log/flashprep/1-2.{}.20261208T1200{}Z.log"


def record(port, boot, verdict="READY", n=0):
    return {"board": f"1-2.{port}", "boot": boot, "verdict": verdict,
            "log": LOG.format(port, n), "seconds": 12.5}


def recovered(port, log_lost=False):
    """The record the next boot's station makes of a cut run of the cut
    boot from its note."""
    r = dict(record(port, CUT, "NOT READY"), reasons=["STATION ENDED"])
    if log_lost:
        r.update(log=None, reasons=["STATION ENDED", "LOG LOST"])
    return r


def started(port, n=0):
    return f"STARTED 1-2.{port} {LOG.format(port, n)}"


# The host saw the three runs start and board 2's end (its flash did not
# initialise) before the cut.
SEEN = ["Started flashprep-station.service", "FOUND 1-2.1", started(1), "FOUND 1-2.2",
        started(2), started(3), "FINISHED 1-2.2 1.1 NOT READY: RUN STOPPED: FAIL: SERIAL FLASH "
        "NOT INITIALIZED"]


def numbered(*records):
    return list(enumerate(records, 1))


class JudgeTest(unittest.TestCase):
    def judge(self, records, verdicts=None, seen=SEEN):
        logs = {r["log"]: r["verdict"] for _, r in records if r}
        logs.update(verdicts or {})
        return judge(seen, records, logs, {OLD, CUT}, CUT)

    def assertHolds(self, found, *but):
        """Every judgement holds but those named, which do not."""
        self.assertEqual({k for k, v in found.items() if v}, set(but), found)

    def test_what_a_station_should_leave_holds(self):
        records = numbered(record(1, OLD, n=9), record(2, CUT, "NOT READY"), recovered(1),
                           recovered(3), record(2, NEW, "NOT READY", n=1))
        self.assertHolds(self.judge(records))
        # A run that ended just before the cut, its FINISHED line unseen, has
        # its own record; one whose log the cut lost is recorded without it.
        ended = numbered(record(1, OLD, n=9), record(2, CUT, "NOT READY"), record(1, CUT),
                         recovered(3, log_lost=True))
        self.assertHolds(self.judge(ended))

    def test_a_finished_board_without_its_record(self):
        found = self.judge(numbered(record(1, OLD, n=9), recovered(1), recovered(3)))
        self.assertHolds(found, "finished")
        self.assertIn("1-2.2: 0 records", found["finished"][0])

    def test_one_damaged_line_where_the_file_ended(self):
        records = numbered(record(1, OLD, n=9), record(2, CUT, "NOT READY"), None,
                           recovered(1), recovered(3), record(2, NEW, "NOT READY", n=1))
        self.assertHolds(self.judge(records))
        self.assertHolds(self.judge(records + [(7, None)]), "whole")
        # Records of the boots before the cut cannot come after the file's
        # end as the cut left it.
        moved = numbered(record(1, OLD, n=9), None, record(2, CUT, "NOT READY"), recovered(1),
                         recovered(3))
        self.assertHolds(self.judge(moved), "whole")

    def test_a_damaged_line_an_earlier_cut_left_stays_where_it_was(self):
        # Line 2, torn by an earlier cut, now has the later boots' records
        # after it; a line this cut tore is judged as before.
        records = numbered(record(1, OLD, n=9), None, record(2, CUT, "NOT READY"), recovered(1),
                           recovered(3), None)
        logs = {r["log"]: r["verdict"] for _, r in records if r}
        self.assertHolds(judge(SEEN, records, logs, {OLD, CUT}, CUT, {2}))
        self.assertHolds(self.judge(records), "whole")

    def test_a_record_there_twice(self):
        twice = record(2, CUT, "NOT READY")
        # A finished board's record twice is not its one record either.
        cut = [recovered(1), recovered(3)]
        self.assertHolds(self.judge(numbered(twice, dict(twice), *cut)), "twice", "finished")
        self.assertHolds(self.judge(numbered(twice, record(1, OLD, n=9), record(1, OLD, n=9),
                                             *cut)), "twice")
        refused = {"board": "1-2.3", "boot": CUT, "verdict": "NOT READY", "log": "",
                   "reasons": ["NOT STARTED: cannot create"]}
        self.assertHolds(self.judge(numbered(record(2, CUT, "NOT READY"), refused,
                                             dict(refused), *cut)), "twice")

    def test_logs_must_be_there_and_end_as_recorded(self):
        records = numbered(record(2, CUT, "NOT READY"), record(1, OLD, n=9), recovered(1),
                           recovered(3))
        found = self.judge(records, {LOG.format(1, 9): None})
        self.assertHolds(found, "logs")
        self.assertIn("missing", found["logs"][0])
        self.assertHolds(self.judge(records, {LOG.format(1, 9): "NOT READY"}), "logs")

    def test_an_interrupted_run_is_recorded_once_of_its_boot_never_ready_beyond_its_log(self):
        base = [record(2, CUT, "NOT READY"), recovered(1)]
        cut_run = record(3, CUT, "READY")
        # Not recorded at all: its note was on the disk.
        self.assertIn("1-2.3: 0 records", " ".join(self.judge(numbered(*base))["interrupted"]))
        # Recorded as a run of the boot after the cut.
        self.assertIn("names boot boot-new", " ".join(self.judge(
            numbered(*base, dict(cut_run, boot=NEW, verdict="NOT READY")))["interrupted"]))
        # Recorded after the boot, READY, while its log was cut short.
        found = self.judge(numbered(*base, cut_run), {cut_run["log"]: "NOT READY"})
        self.assertIn("recorded READY", " ".join(found["interrupted"]))
        self.assertHolds(self.judge(numbered(*base, dict(cut_run, verdict="NOT READY"))))
        self.assertIn("2 records of the cut run",
                      " ".join(self.judge(numbered(*base, cut_run, dict(cut_run)))["interrupted"]))

    def test_finished_lines_go_to_the_last_run_of_their_port(self):
        lines = [started(1, 1), "FINISHED 1-2.1 9.0 READY", started(1, 2), started(11),
                 "FINISHED 1-2.11 9.0 READY", "UNPLUGGED 1-2.1"]
        self.assertEqual(runs_seen(lines), [["1-2.1", LOG.format(1, 1), True],
                                            ["1-2.1", LOG.format(1, 2), False],
                                            ["1-2.11", LOG.format(11, 0), True]])


class ReadersTest(unittest.TestCase):
    RECORDS = numbered(record(1, OLD, n=9), None, record(2, CUT, "NOT READY"))
    SUMMARY = ["SHIFT REPORT", "READ   : 1 FILE, 2 RECORDS",
               "SKIPPED: 1 DAMAGED LINE: /tmp/r.jsonl LINE 2 (CUT)", "BOARDS : 2, 1 READY"]
    JOURNAL = ["Started flashprep-station.service",
               "flashprep-station: /var/log/flashprep/results.jsonl: 1 damaged line skipped: "
               "line 2 (cut)", "FOUND 1-2.1"]

    def test_readers_that_agree_with_the_lane(self):
        self.assertEqual(readers_disagree(self.RECORDS, self.SUMMARY, self.JOURNAL), [])
        whole = numbered(record(1, OLD, n=9))
        self.assertEqual(readers_disagree(whole, ["READ   : 1 FILE, 1 RECORD"], []), [])

    def test_a_reader_that_counts_or_names_otherwise(self):
        fewer = [line.replace("2 RECORDS", "1 RECORD") for line in self.SUMMARY]
        self.assertIn("reads 2 records",
                      " ".join(readers_disagree(self.RECORDS, fewer, self.JOURNAL)))
        unnamed = [line for line in self.SUMMARY if not line.startswith("SKIPPED")]
        self.assertIn("names damaged lines []",
                      " ".join(readers_disagree(self.RECORDS, unnamed, self.JOURNAL)))
        silent = readers_disagree(self.RECORDS, self.SUMMARY, self.JOURNAL[::2])
        self.assertEqual(len(silent), 1)
        self.assertIn("the station names damaged lines []", silent[0])
        # Lines it does not hold named as damaged.
        whole = numbered(record(1, OLD, n=9), record(2, CUT, "NOT READY"))
        self.assertEqual(len(readers_disagree(whole, self.SUMMARY, [])), 1)


class MomentTest(unittest.TestCase):
    def test_a_seed_gives_its_moment_spread_over_the_runs(self):
        self.assertEqual(moment(17, 40), moment(17, 40))
        moments = [moment(seed, 40) for seed in range(300)]
        self.assertTrue(all(0 <= m <= PAST_THE_END * 40 for m in moments))
        # Early in the runs, late and past their expected end all come up.
        self.assertTrue(any(m < 5 for m in moments))
        self.assertTrue(any(30 < m < 40 for m in moments))
        self.assertTrue(any(m > 40 for m in moments))


if __name__ == "__main__":
    unittest.main()
