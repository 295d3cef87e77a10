// A finished board's run as its record: every member from what the run,
// its plug, its log and the station say, compared whole with a record this
// test builds from what it gave the run. The run's process prints a log the
// test computed (tests/run_expectations), through a POSIX shell.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "board/board_facts.h"
#include "records/record_text.h"
#include "run_expectations.h"
#include "station/file_handle.h"
#include "station/run_record.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::system_clock;

// Starts `run` on a process that prints the file `canned` as its log, and
// waits for its end.
bool run_to_its_end(BoardRun* run, const std::string& canned) {
  std::string why;
  bool taken = false;
  if (!run->start("/bin/sh", {"/bin/sh", "-c", "cat \"$0\"", canned}, {}, &why, &taken)) {
    ADD_FAILURE() << why;
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!run->ended() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return run->ended();
}

TEST(RunRecordOf, TheRecordSaysWhatTheRunThePlugAndTheStationSay) {
  ScratchDir dir;
  constexpr uint32_t kBytes = 3000;  // 12 driver blocks
  const std::set<int> failing = {9, 100, 101};
  const FormatExpectation format = expected_format(failing, {2530});
  ASSERT_TRUE(dir.write(
      "canned.txt", expected_download(kBytes, kDriverRamFirst, kDriverRamFirst + kBytes - 1, {3}) +
                        format.lines));
  Plug plug;
  plug.place = UsbPlace{"001", "007", 7};
  plug.name = "1-1.3";
  plug.port = "1-1.3";
  plug.serial = "FP-0042";
  const RecordImage image{"serial_flash.S19", std::string(64, 'c'), kBytes,
                          "20000000",         "20000BB7",           12};
  BoardRun run(plug, dir.file("1-1.3.log"), dir.file("1-1.3.err"));
  run.set_image(image, true);
  const Clock::time_point before = Clock::now();
  ASSERT_TRUE(run_to_its_end(&run, dir.file("canned.txt")));
  run.finish(StationClock::now());
  const Clock::time_point after = Clock::now();
  const RunRecord r = record_of(run, {"bench-4", "1.1.0", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"});

  // The times as the clocks allow; the rest exactly.
  EXPECT_LE(before, r.start);
  EXPECT_LE(r.start, r.end);
  EXPECT_LE(r.end, after);
  EXPECT_GE(r.seconds, 0);
  EXPECT_LE(r.seconds, std::chrono::duration<double>(after - before).count());
  RunRecord expected;
  expected.board = "1-1.3";
  expected.start = r.start;
  expected.end = r.end;
  expected.seconds = r.seconds;
  expected.verdict = "NOT READY";
  expected.reasons = {"DRIVER BLOCKS REFUSED: 1 (3)", "BLOCKS NOT FORMATTED: 3 (9, 100-101)",
                      "TABLE WRITES REFUSED: 1 (2530)"};
  expected.log = dir.file("1-1.3.log");
  expected.version = "1.1.0";
  expected.station = "bench-4";
  expected.port = "1-1.3";
  expected.bus = "001";
  expected.device = "007";
  expected.devnum = 7;
  expected.boot = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  expected.serial = "FP-0042";
  expected.image_known = true;
  expected.image = image;
  expected.driver_downloaded = 11;
  expected.driver_refused = 1;
  expected.flash_formatted = kFlashBlocks - 32 - static_cast<int>(failing.size());
  expected.flash_failed = static_cast<int>(failing.size());
  expected.table_written = static_cast<int>(format.tables.size()) - 1;  // every table tried
  expected.table_refused = 1;
  expected.failed_blocks = {{9, 9}, {100, 101}};
  EXPECT_EQ(record_text(r), record_text(expected));
}

// A log the system could not put on the disk is no proof of the run: the
// record says so.
TEST(RunRecordOf, ALogThatCannotBeSyncedIsNotWritten) {
  ScratchDir dir;
  ASSERT_TRUE(
      dir.write("canned.txt", expected_download(3000, kDriverRamFirst, kDriverRamFirst + 2999) +
                                  expected_format({}).lines));
  BoardRun run(Plug{UsbPlace{"001", "007", 7}, "1-1.3", "1-1.3", ""}, dir.file("1-1.3.log"),
               dir.file("1-1.3.err"));
  ASSERT_TRUE(run_to_its_end(&run, dir.file("canned.txt")));
  fail_next_syncs_for_test(1);
  run.finish(StationClock::now());
  fail_next_syncs_for_test(0);
  EXPECT_EQ(run.headline(), "NOT READY");
  EXPECT_EQ(run.reasons(), std::vector<std::string>{"LOG NOT WRITTEN: Input/output error"});
}

// A log's entry in its folder is on the disk before its board's process
// starts: a power cut must not take the log of a board whose record names it.
TEST(RunRecordOf, ALogsFolderThatCannotBeSyncedStartsNoRun) {
  ScratchDir dir;
  BoardRun run(Plug{UsbPlace{"001", "007", 7}, "1-1.3", "1-1.3", ""}, dir.file("1-1.3.log"),
               dir.file("1-1.3.err"));
  std::string why;
  bool taken = true;
  fail_next_syncs_for_test(1);
  EXPECT_FALSE(run.start("/bin/true", {"/bin/true"}, {}, &why, &taken));
  fail_next_syncs_for_test(0);
  EXPECT_EQ(why.rfind("cannot flush the folder of " + dir.file("1-1.3.log") + ": ", 0), 0u) << why;
  EXPECT_FALSE(taken);
  EXPECT_FALSE(std::filesystem::exists(dir.file("1-1.3.log")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("1-1.3.err")));
}

}  // namespace
