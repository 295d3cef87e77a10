// flashprep-summary --results: the shift report over stations' results files,
// run as a user runs it, on records made here, made up by the shift
// generator, and written by the station itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e/process.h"
#include "e2e/records.h"
#include "e2e/text_files.h"

namespace {

namespace fs = std::filesystem;

class Report : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/flashprep-report-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }

  // Writes `records` (schema 2) as results file `name`, and checks it
  // against the schema.
  fs::path results(const std::string& name, const std::vector<TestRecord>& records) {
    std::string text;
    for (const TestRecord& r : records)
      text += r.line();
    std::ofstream(dir / name, std::ios::binary) << text;
    EXPECT_TRUE(records_valid(dir / name));
    return dir / name;
  }
  fs::path raw(const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return dir / name;
  }
  // flashprep-summary --results FILES... OPTIONS..., in the scratch folder,
  // its times in UTC unless the options name a zone.
  ProcessResult report(const std::vector<std::string>& files,
                       const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {FLASHPREP_SUMMARY, "--results"};
    argv.insert(argv.end(), files.begin(), files.end());
    argv.insert(argv.end(), options.begin(), options.end());
    if (std::find(options.begin(), options.end(), "--tz") == options.end())
      argv.insert(argv.end(), {"--tz", "UTC"});
    return run_process(argv, dir.string(), {});
  }
  // The lines of the report that start with `prefix`.
  static std::vector<std::string> lines_starting(const std::string& text,
                                                 const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines_of(text)) {
      if (line.rfind(prefix, 0) == 0)
        found.push_back(line);
    }
    return found;
  }
  // `n` boards on one port, the first `failing` of them NOT READY, 10 s apart.
  static std::vector<TestRecord> boards(const std::string& station, const std::string& port, int n,
                                        int failing, const std::string& hour = "06") {
    std::vector<TestRecord> out;
    for (int i = 0; i < n; ++i) {
      TestRecord r;
      r.station = station;
      r.port = port;
      r.start = TestRecord::later("2026-12-08T" + hour + ":00:00.000Z", i * 10000L);
      r.devnum = 10 + i;  // each board plugged in anew
      if (i < failing) {
        r.reasons = {"BLOCKS NOT FORMATTED: 1 (9)"};
        r.failed_blocks = {{9, 9}};
      }
      out.push_back(r);
    }
    return out;
  }

  fs::path dir;
};

TEST_F(Report, CountsStationsPortsReasonsAndPace) {
  // line-a: 1-1.1 four boards (one NOT READY), 1-1.2 two; line-b: 1-1.1 three
  // (two NOT READY, one of them also with a refused table write).
  std::vector<TestRecord> a;
  const double seconds_a[] = {10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 6; ++i) {
    TestRecord r;
    r.port = i < 4 ? "1-1.1" : "1-1.2";
    r.start = TestRecord::later("2026-12-08T06:00:00.000Z", i * 600000L);
    r.seconds = seconds_a[i];
    r.serial = "SN-A" + std::to_string(i);
    if (i == 1)
      r.reasons = {"RUN STOPPED: FAIL: BOOTLOADER NOT PRESENT"};
    a.push_back(r);
  }
  std::vector<TestRecord> b;
  for (int i = 0; i < 3; ++i) {
    TestRecord r;
    r.station = "line-b";
    r.start = TestRecord::later("2026-12-08T06:05:00.000Z", i * 600000L);
    r.seconds = 320 + i;
    r.serial = "SN-B" + std::to_string(i);
    if (i > 0) {
      r.reasons = {"BLOCKS NOT FORMATTED: 2 (7, 4095)"};
      r.failed_blocks = {{7, 7}, {4095, 4095}};
    }
    if (i == 2)
      r.reasons.push_back("TABLE WRITES REFUSED: 1 (2530)");
    b.push_back(r);
  }
  const ProcessResult r = report({results("a.jsonl", a).string(), results("b.jsonl", b).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // Nine boards from 06:00:00 to 06:50:15 (the last line-a board ends at
  // 06:50:00 + 15 s), no gap of 10 minutes: 9 / (50.25 / 60) h. Seconds
  // sorted: 10 11 12 13 14 15 320 321 322, median 14, 95th percentile at rank
  // 9 (long enough that a run's seconds a thousandth off show).
  // Each board was run once: its first run is its last.
  EXPECT_EQ(
      r.out,
      "SHIFT REPORT: 2026-12-08T06:00:00+00:00 TO 2026-12-08T06:50:15+00:00 (0.8 H), "
      "TIMES IN UTC\n"
      "READ   : 2 FILES, 9 RECORDS\n"
      "BOARDS : 9, FIRST PASS 6 READY (66.7 %), FINAL 6 READY (66.7 %), 3 NOT READY AT THE "
      "END\n"
      "RUNS   : 9, 6 READY, 3 NOT READY; RETESTS: 0 RUNS ON 0 BOARDS\n"
      "PACE   : 10.7 RUNS PER HOUR OVER 0.8 H AT WORK; SECONDS PER RUN: MEDIAN 14.0, 95TH "
      "PERCENTILE 322.0\n"
      "\n"
      "STATION / PORT         RUNS   READY  NOT READY   YIELD   ENDED\n"
      "line-a                    6       5          1   83.3 %      0\n"
      "  1-1.1                   4       3          1   75.0 %      0\n"
      "  1-1.2                   2       2          0  100.0 %      0\n"
      "line-b                    3       1          2   33.3 %      0\n"
      "  1-1.1                   3       1          2   33.3 %      0\n"
      "\n"
      "FAILURES BY REASON                            RUNS\n"
      "BLOCKS NOT FORMATTED                             2\n"
      "RUN STOPPED: FAIL: BOOTLOADER NOT PRESENT        1\n"
      "TABLE WRITES REFUSED                             1\n"
      "\n"
      "BLOCKS FAILED ON MORE THAN ONE BOARD: 7 (2), 4095 (2)\n"
      "\n"
      "IMAGE 3f2a9c01d2e4 serial_flash.S19, 4000 BYTES: 9 RUNS (line-a, line-b)\n"
      "\n"
      "NOT READY AT THE END: 3 BOARDS:\n"
      "  SN-A1            line-a 1-1.1         1 RUN, 2026-12-08T06:10:00+00:00: RUN STOPPED: "
      "FAIL: BOOTLOADER NOT PRESENT\n"
      "  SN-B1            line-b 1-1.1         1 RUN, 2026-12-08T06:15:00+00:00: BLOCKS NOT "
      "FORMATTED: 2 (7, 4095)\n"
      "  SN-B2            line-b 1-1.1         1 RUN, 2026-12-08T06:25:00+00:00: BLOCKS NOT "
      "FORMATTED: 2 (7, 4095)\n");
  EXPECT_EQ(r.err, "");
}

// Names as a terminal shows them: columns by display width (a wide
// character takes two, an accented one one), and a name read with a control
// character forges no line.
TEST_F(Report, NamesKeepTheColumnsAndForgeNoLine) {
  std::vector<TestRecord> recs(3);
  recs[0].station = "\u7ebf-\u4e00";  // two wide characters
  recs[1].station = "lign\u00e9";
  recs[2].station = "x\nFINISHED";
  recs[2].reasons = {"BLOCKS NOT FORMATTED: 1 (7)"};
  recs[2].failed_blocks = {{7, 7}};
  const ProcessResult r = report({results("a.jsonl", recs).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // The name column is 20 columns wide, whatever the bytes.
  const std::string good = "      1       1          0  100.0 %      0\n";
  EXPECT_NE(r.out.find("\n\u7ebf-\u4e00" + std::string(15, ' ') + good), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nlign\u00e9" + std::string(15, ' ') + good), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nx?FINISHED" + std::string(10, ' ') +
                       "      1       0          1    0.0 %      0\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("\nFINISHED"), std::string::npos) << r.out;
}

TEST_F(Report, PortsThatStandOut) {
  // Eight ports at 2 of 100; one at 12 of 100 stands out. Near misses: 3 of
  // 40 fails over twice as often but as likely by chance; 2 of 10 has too
  // few failures; 5 of 100 is not twice the others' rate; 11 of 100 is just
  // short: the chance of 11 or more is 0.10 %, of 12 or more 0.03 %, and the
  // bar is 1 % over 13 ports, 0.077 %.
  std::vector<TestRecord> all;
  const auto add = [&](const std::string& station, const std::string& port, int n, int failing) {
    const std::vector<TestRecord> more = boards(station, port, n, failing);
    all.insert(all.end(), more.begin(), more.end());
  };
  for (int p = 1; p <= 8; ++p)
    add(p <= 4 ? "line-a" : "line-b", "1-1." + std::to_string(p), 100, 2);
  add("line-b", "1-1.9", 100, 12);
  add("line-c", "1-1.1", 40, 3);
  add("line-c", "1-1.2", 10, 2);
  add("line-c", "1-1.3", 100, 5);
  add("line-c", "1-1.4", 100, 11);
  const ProcessResult r = report({results("line.jsonl", all).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(lines_starting(r.out, "STANDS OUT"),
            std::vector<std::string>{"STANDS OUT: line-b 1-1.9, 12 OF 100 RUNS NOT READY (12.0 %), "
                                     "THE OTHER PORTS 3.5 %"})
      << r.out;
  EXPECT_NE(
      r.out.find("  1-1.9                 100      88         12   88.0 %      0  STANDS OUT\n"),
      std::string::npos)
      << r.out;

  // Many boards: 100 of 2000 is surely no chance against 3.4 % elsewhere,
  // but not twice that rate; 70 of 1000 is.
  all.clear();
  for (int p = 1; p <= 10; ++p)
    add(p <= 5 ? "line-a" : "line-b", "1-1." + std::to_string(p), 1000, 30);
  add("line-c", "1-1.1", 2000, 100);
  add("line-c", "1-1.2", 1000, 70);
  const ProcessResult many = report({results("many.jsonl", all).string()});
  EXPECT_EQ(lines_starting(many.out, "STANDS OUT"),
            std::vector<std::string>{"STANDS OUT: line-c 1-1.2, 70 OF 1000 RUNS NOT READY (7.0 %), "
                                     "THE OTHER PORTS 3.3 %"})
      << many.out;

  // A port alone on the line has no others to stand out from.
  const ProcessResult alone =
      report({results("alone.jsonl", boards("x", "1-1.1", 50, 20)).string()});
  EXPECT_EQ(lines_starting(alone.out, "STANDS OUT"), std::vector<std::string>{}) << alone.out;
}

TEST_F(Report, BlocksCountOncePerBoard) {
  TestRecord a;  // prepared twice, block 7 failing both times
  a.serial = "SN-A";
  a.reasons = {"BLOCKS NOT FORMATTED: 1 (7)"};
  a.failed_blocks = {{7, 7}};
  TestRecord a_again = a;
  a_again.start = "2026-12-08T07:00:00.000Z";
  TestRecord b;  // 7 and 100-101
  b.serial = "SN-B";
  b.reasons = {"BLOCKS NOT FORMATTED: 3 (7, 100-101)"};
  b.failed_blocks = {{7, 7}, {100, 101}};
  TestRecord c;  // no serial: a board of its own plug; 100-102
  c.reasons = {"BLOCKS NOT FORMATTED: 3 (100-102)"};
  c.failed_blocks = {{100, 102}};
  c.start = "2026-12-08T06:01:00.000Z";
  TestRecord d = c;  // and another, plugged in after it
  d.start = "2026-12-08T06:02:00.000Z";
  d.devnum = 8;
  d.failed_blocks = {{101, 101}};
  d.reasons = {"BLOCKS NOT FORMATTED: 1 (101)"};
  const ProcessResult r = report({results("r.jsonl", {a, a_again, b, c, d}).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // 101 failed on b, c and d; 7 on a and b; 100 on b and c; 102 on c only.
  EXPECT_EQ(
      lines_starting(r.out, "BLOCKS FAILED"),
      std::vector<std::string>{"BLOCKS FAILED ON MORE THAN ONE BOARD: 101 (3), 7 (2), 100 (2)"})
      << r.out;

  // The text names eight ranges, then says how many more there are.
  for (const int ranges : {8, 9}) {
    std::vector<TestRecord> two(2);
    for (int k = 0; k < 2; ++k) {
      two[k].serial = "SN-" + std::to_string(k);
      two[k].start = TestRecord::later(two[k].start, k * 60000L);
      for (int i = 1; i <= ranges; ++i)
        two[k].failed_blocks.emplace_back(i * 10, i * 10);
      two[k].reasons = {"BLOCKS NOT FORMATTED: " + std::to_string(ranges)};
    }
    const ProcessResult many = report({results("many.jsonl", two).string()});
    EXPECT_EQ(lines_starting(many.out, "BLOCKS FAILED"),
              std::vector<std::string>{"BLOCKS FAILED ON MORE THAN ONE BOARD: 10 (2), 20 (2), "
                                       "30 (2), 40 (2), 50 (2), 60 (2), 70 (2), 80 (2)" +
                                       std::string(ranges == 9 ? " AND 1 MORE" : "")})
        << many.out;
  }
}

TEST_F(Report, ImagesAndTheStationThatUsedAnother) {
  std::vector<TestRecord> records;
  for (const char* station : {"line-a", "line-b", "line-c"}) {
    for (int i = 0; i < 3; ++i) {
      TestRecord r;
      r.station = station;
      r.start = TestRecord::later(r.start, i * 20000L);
      r.devnum = 10 + i;
      r.image = std::string(station) == "line-c" && i > 0 ? kImageB : kImageA;
      records.push_back(r);
    }
  }
  TestRecord unread;
  unread.station = "line-b";
  unread.start = "2026-12-08T06:05:00.000Z";
  unread.image = nullptr;
  unread.reasons = {"RUN STOPPED: FAIL: SERIAL DRIVER NOT LOADED"};
  records.push_back(unread);
  const ProcessResult r = report({results("r.jsonl", records).string()}, {"--html", "page.html"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // The page's table of images flags the line's (most runs) and the other.
  const std::string page = read_text(dir / "page.html");
  const std::string cell = "<td class=\"flag\">";
  const auto flag_of = [&](const char* sha) {
    const size_t at = page.find(std::string("<code title=\"") + sha + "\">");
    const size_t flag = at == std::string::npos ? at : page.find(cell, at);
    return flag == std::string::npos
               ? std::string("(no row)")
               : page.substr(flag + cell.size(), page.find("</td>", flag) - flag - cell.size());
  };
  EXPECT_EQ(flag_of(kImageA), "the line's");
  EXPECT_EQ(flag_of(kImageB), "another image");
  EXPECT_EQ(lines_starting(r.out, "IMAGE "),
            (std::vector<std::string>{
                "IMAGE 3f2a9c01d2e4 serial_flash.S19, 4000 BYTES: 7 RUNS (line-a, line-b, "
                "line-c)",
                "IMAGE 9b7e11aa0c53 serial_flash.S19, 4000 BYTES: 2 RUNS (line-c), NOT THE "
                "LINE'S IMAGE",
                // line-c's first run had the line's image, its second (06:00:20) another.
                "IMAGE CHANGED: line-c AT 2026-12-08T06:00:20+00:00, 3f2a9c01d2e4 TO "
                "9b7e11aa0c53"}))
      << r.out;
  EXPECT_EQ(lines_starting(r.out, "NO IMAGE READ"),
            std::vector<std::string>{"NO IMAGE READ: 1 RUN"});
  EXPECT_EQ(lines_starting(r.out, "line-"),
            (std::vector<std::string>{
                "line-a                    3       3          0  100.0 %      0",
                "line-b                    4       3          1   75.0 %      0",
                "line-c                    3       3          0  100.0 %      0  OTHER IMAGE"}))
      << r.out;
}

TEST_F(Report, BoardsByTheirFirstAndLastRun) {
  // SN-1: READY at 08:00 in a.jsonl, NOT READY at 09:00 in b.jsonl, READY at
  // 07:00 in b.jsonl: first READY, last (latest start) NOT READY, whatever
  // the order of the files. SN-2: NOT READY, then READY twice. SN-3 once.
  TestRecord r1;
  r1.serial = "SN-1";
  r1.start = "2026-12-08T08:00:00.000Z";
  TestRecord r2 = r1;
  r2.start = "2026-12-08T09:00:00.000Z";
  r2.station = "line-b";
  r2.port = "1-1.4";
  r2.reasons = {"UNPLUGGED"};
  TestRecord r3 = r1;
  r3.start = "2026-12-08T07:00:00.000Z";
  std::vector<TestRecord> s2(3);
  for (int i = 0; i < 3; ++i) {
    s2[i].serial = "SN-2";
    s2[i].start = TestRecord::later("2026-12-08T06:00:00.000Z", i * 600000L);
  }
  s2[0].reasons = {"BLOCKS NOT FORMATTED: 1 (9)"};
  TestRecord s3;
  s3.serial = "SN-3";
  s3.start = "2026-12-08T06:30:00.000Z";
  // SN-2 read first: the page's order is not the order read.
  const fs::path a = results("a.jsonl", {s2[0], s2[1], s2[2], r1, s3});
  const fs::path b = results("b.jsonl", {r2, r3});
  for (const auto& files : {std::vector<std::string>{a.string(), b.string()},
                            std::vector<std::string>{b.string(), a.string()}}) {
    const ProcessResult r = report(files);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lines_starting(r.out, "BOARDS"),
              std::vector<std::string>{"BOARDS : 3, FIRST PASS 2 READY (66.7 %), FINAL 2 READY "
                                       "(66.7 %), 1 NOT READY AT THE END"})
        << r.out;
    EXPECT_EQ(lines_starting(r.out, "RUNS"),
              std::vector<std::string>{"RUNS   : 7, 5 READY, 2 NOT READY; RETESTS: 4 RUNS ON 2 "
                                       "BOARDS"});
    const size_t at = r.out.find("NOT READY AT THE END:");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at),
              "NOT READY AT THE END: 1 BOARD:\n"
              "  SN-1             line-b 1-1.4         3 RUNS, 2026-12-08T09:00:00+00:00: "
              "UNPLUGGED\n")
        << files.front();
  }
  // The page lists the boards judged more than once too, last NOT READY first.
  ASSERT_EQ(report({a.string(), b.string()}, {"--html", "page.html"}).exit_status, 0);
  const std::string page = read_text(dir / "page.html");
  const size_t retested = page.find("<h2>Boards judged more than once</h2>");
  const size_t sn1 = page.find(
      "<tr><td>SN-1</td><td>line-b</td><td>1-1.4</td><td class=\"n\">3</td><td>READY</td>"
      "<td>NOT READY</td>",
      retested);
  const size_t sn2 = page.find(
      "<tr><td>SN-2</td><td>line-a</td><td>1-1.1</td><td class=\"n\">3</td><td>NOT READY</td>"
      "<td>READY</td>",
      retested);
  EXPECT_NE(retested, std::string::npos);
  EXPECT_NE(sn1, std::string::npos);
  EXPECT_NE(sn2, std::string::npos);
  EXPECT_LT(sn1, sn2) << "last NOT READY first";
  EXPECT_EQ(page.find("<td>SN-3</td>"), std::string::npos) << "judged once, READY";
}

// A record read twice, from the same file given twice or from pieces of one
// station's file that overlap, is one run; records of another board, or of
// the same board at another time, are not copies.
TEST_F(Report, CopiesOfARecordCountOnce) {
  std::vector<TestRecord> all;
  for (int i = 0; i < 9; ++i) {
    TestRecord r;
    r.serial = "SN-" + std::to_string(i);
    r.start = TestRecord::later(r.start, i * 60000L);
    if (i == 4)
      r.reasons = {"UNPLUGGED"};
    all.push_back(r);
  }
  TestRecord other_board = all[4];  // same place and start, another serial
  other_board.serial = "SN-3a";     // read after SN-4, listed before it
  all.push_back(other_board);
  const fs::path whole = results("whole.jsonl", all);
  const fs::path early = results("early.jsonl", {all.begin(), all.begin() + 6});
  const fs::path late = results("late.jsonl", {all.begin() + 3, all.end()});
  const std::string once = report({whole.string()}).out;
  ASSERT_NE(once.find("\nRUNS   : 10, 8 READY, 2 NOT READY"), std::string::npos) << once;
  // Boards of one place and time are listed by serial, whatever the order read.
  EXPECT_NE(once.find("\n  SN-3a            line-a 1-1.1         1 RUN, 2026-12-08T06:04:00+00:00: "
                      "UNPLUGGED\n  SN-4   "),
            std::string::npos)
      << once;
  const auto after_read = [](const std::string& text) {
    return text.substr(text.find("\nBOARDS"));
  };
  const ProcessResult twice = report({whole.string(), whole.string()});
  EXPECT_EQ(lines_starting(twice.out, "READ"),
            std::vector<std::string>{"READ   : 2 FILES, 20 RECORDS, 10 COPIES OF ANOTHER DROPPED"});
  EXPECT_EQ(after_read(twice.out), after_read(once));
  const ProcessResult pieces = report({late.string(), early.string()});
  EXPECT_EQ(lines_starting(pieces.out, "READ"),
            std::vector<std::string>{"READ   : 2 FILES, 13 RECORDS, 3 COPIES OF ANOTHER DROPPED"});
  EXPECT_EQ(after_read(pieces.out), after_read(once));
}

// Two stations cloned from one image share a name: their boots tell them
// apart once their runs overlap on a port, and the report says so. A
// station restarted (another boot, no overlap) stays one station.
TEST_F(Report, TwoStationsOfOneNameAreToldApart) {
  std::vector<TestRecord> first;
  std::vector<TestRecord> second;
  std::vector<TestRecord> restarted;
  for (int i = 0; i < 4; ++i) {
    TestRecord r;
    r.station = "bench";
    r.serial = "A-" + std::to_string(i);
    r.start = TestRecord::later(r.start, i * 60000L);
    r.boot = "11111111-0000-4000-8000-000000000001";
    first.push_back(r);
    r.serial = "B-" + std::to_string(i);
    r.start = TestRecord::later(r.start, 5000);  // while the first's run is on
    r.boot = "22222222-0000-4000-8000-000000000002";
    r.reasons = i == 0 ? std::vector<std::string>{"UNPLUGGED"} : std::vector<std::string>{};
    second.push_back(r);
    r.station = "solo";
    r.boot = "33333333-0000-4000-8000-00000000000" + std::to_string(i % 2);
    r.reasons.clear();
    restarted.push_back(r);
  }
  // Records that name no boot tell no station from another: beside runs of
  // one boot on the same port, overlapping them, they make no second station.
  std::vector<TestRecord> unbooted;
  for (int i = 0; i < 4; ++i) {
    TestRecord r;
    r.station = "older";
    r.serial = "D-" + std::to_string(i);
    r.start = TestRecord::later(r.start, i / 2 * 60000L + i % 2 * 5000L);
    r.boot = i % 2 == 0 ? "" : "55555555-0000-4000-8000-000000000005";
    unbooted.push_back(r);
  }
  // Another pair of clones, named before the first in the alphabet.
  std::vector<TestRecord> clones;
  for (const char* boot :
       {"44444444-0000-4000-8000-000000000004", "44444444-5000-4000-8000-000000000005"}) {
    TestRecord r;
    r.station = "alpha";
    r.port = "2-1";
    r.serial = std::string("C-") + boot;
    r.boot = boot;
    r.start = TestRecord::later(r.start, clones.empty() ? 0 : 1000);
    clones.push_back(r);
  }
  const ProcessResult r =
      report({results("first.jsonl", first).string(), results("second.jsonl", second).string(),
              results("solo.jsonl", restarted).string(), results("clones.jsonl", clones).string(),
              results("older.jsonl", unbooted).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // Boots that start alike are told apart by as many digits as it takes.
  EXPECT_EQ(lines_starting(r.out, "STATION NAME"),
            (std::vector<std::string>{
                "STATION NAME USED BY TWO STATIONS: alpha, RUNS OVERLAP ON PORT 2-1 AT "
                "2026-12-08T06:00:01+00:00; TOLD APART BY BOOT: alpha [44444444-0], alpha "
                "[44444444-5]",
                "STATION NAME USED BY TWO STATIONS: bench, RUNS OVERLAP ON PORT 1-1.1 AT "
                "2026-12-08T06:00:05+00:00; TOLD APART BY BOOT: bench [11111111], bench "
                "[22222222]"}))
      << r.out;
  EXPECT_EQ(
      lines_starting(r.out, "bench"),
      (std::vector<std::string>{"bench [11111111]          4       4          0  100.0 %      0",
                                "bench [22222222]          4       3          1   75.0 %      0"}))
      << r.out;
  EXPECT_EQ(
      lines_starting(r.out, "older"),
      std::vector<std::string>{"older                     4       4          0  100.0 %      0"})
      << r.out;
  EXPECT_EQ(
      lines_starting(r.out, "solo"),
      std::vector<std::string>{"solo                      4       4          0  100.0 %      0"})
      << r.out;
}

// Rehearsals on simulated boards are no production, and a run the station
// ended (stopped, not started, busy...) is no verdict on its board.
TEST_F(Report, SimulatedBoardsAndRunsTheStationEnded) {
  std::vector<TestRecord> records;
  const char* const ended[] = {"STOPPED BY SIGNAL 15", "NOT STARTED: cannot run flashprep",
                               "NOT WAITED FOR",       "BUSY",
                               "STATION ENDED",        "LOG LOST: removed"};
  for (int i = 0; i < 6; ++i) {
    TestRecord r;
    r.serial = "E-" + std::to_string(i);
    r.start = TestRecord::later(r.start, i * 60000L);
    r.reasons = {ended[i]};
    // Pulled out as the station stopped: what ended the run is its second reason.
    if (i == 0)
      r.reasons = {"UNPLUGGED", ended[i]};
    records.push_back(r);
    if (i % 2 == 0) {  // prepared again, READY
      r.start = TestRecord::later(r.start, 30000L);
      r.reasons.clear();
      records.push_back(r);
    }
  }
  TestRecord sim;
  sim.port = "";
  sim.place = "sim-a";
  sim.bus = "sim";
  sim.start = "2026-12-08T06:02:10.000Z";
  sim.reasons = {"BLOCKS NOT FORMATTED: 1 (9)"};
  sim.failed_blocks = {{9, 9}};
  sim.image = kImageB;  // a rehearsal's image is no image of the line
  records.push_back(sim);
  TestRecord not_ended;  // a board that failed, though its reason reads alike
  not_ended.serial = "F-1";
  not_ended.start = "2026-12-08T06:09:00.000Z";
  not_ended.reasons = {"BUSYNESS: 1"};
  records.push_back(not_ended);
  const std::string file = results("r.jsonl", records).string();
  const ProcessResult r = report({file});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(lines_starting(r.out, "SIMULATED"),
            std::vector<std::string>{"SIMULATED: 1 RUN OF SIMULATED BOARDS LEFT OUT"});
  // Seven boards: three READY once prepared again, three never judged, F-1.
  EXPECT_EQ(lines_starting(r.out, "BOARDS"),
            std::vector<std::string>{"BOARDS : 7, FIRST PASS 3 READY (75.0 %), FINAL 3 READY "
                                     "(75.0 %), 4 NOT READY AT THE END"})
      << r.out;
  EXPECT_EQ(lines_starting(r.out, "RUNS"),
            std::vector<std::string>{"RUNS   : 4, 3 READY, 1 NOT READY; RETESTS: 0 RUNS ON 0 "
                                     "BOARDS; 6 ENDED BY THE STATION (NO FAILURE)"})
      << r.out;
  const size_t at = r.out.find("ENDED BY THE STATION   ");
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(at, r.out.find("\n\n", at) - at),
            "ENDED BY THE STATION       RUNS\n"
            "BUSY                          1\n"
            "LOG LOST                      1\n"
            "NOT STARTED                   1\n"
            "NOT WAITED FOR                1\n"
            "STATION ENDED                 1\n"
            "STOPPED BY SIGNAL 15          1");
  EXPECT_EQ(lines_starting(r.out, "IMAGE "),
            std::vector<std::string>{"IMAGE 3f2a9c01d2e4 serial_flash.S19, 4000 BYTES: 10 RUNS "
                                     "(line-a)"})
      << r.out;
  EXPECT_NE(r.out.find("  E-1              line-a 1-1.1         NOT FINISHED, "
                       "2026-12-08T06:01:00+00:00: NOT STARTED: cannot run flashprep\n"),
            std::string::npos)
      << r.out;

  const ProcessResult with = report({file}, {"--include-simulated"});
  EXPECT_EQ(lines_starting(with.out, "SIMULATED"),
            std::vector<std::string>{"SIMULATED: 1 RUN OF SIMULATED BOARDS COUNTED "
                                     "(--include-simulated)"});
  EXPECT_NE(with.out.find("\nRUNS   : 5, 3 READY, 2 NOT READY;"), std::string::npos) << with.out;
  EXPECT_NE(with.out.find("\n  sim-a "), std::string::npos) << with.out;
  EXPECT_NE(with.out.find("\nIMAGE 9b7e11aa0c53 serial_flash.S19, 4000 BYTES: 1 RUN (line-a)"),
            std::string::npos)
      << with.out;
}

TEST_F(Report, SinceAndUntilCountRunsByTheirStart) {
  std::vector<TestRecord> records;
  for (const char* start : {"2026-12-07T23:59:59.990Z", "2026-12-08T00:00:00.000Z",
                            "2026-12-08T13:59:59.999Z", "2026-12-08T14:00:00.000Z"}) {
    TestRecord r;
    r.start = start;
    r.seconds = 0;
    records.push_back(r);
  }
  const std::string file = results("r.jsonl", records).string();
  const std::map<std::vector<std::string>, std::string> cases = {
      {{"--since", "2026-12-08"}, "RUNS   : 3,"},
      {{"--since", "2026-12-08T00:00Z", "--until", "2026-12-08T14:00"}, "RUNS   : 2,"},
      {{"--until", "2026-12-08T13:59:59.999"}, "RUNS   : 2,"},
      // A time finer than a record's: 13:59:59.999 is before it.
      {{"--until", "2026-12-08T13:59:59.9991"}, "RUNS   : 3,"},
      {{"--since", "2026-12-08T00:00:00.5"}, "RUNS   : 2,"},
      {{"--since", "2026-12-08T14:00:00", "--until", "2026-12-09"}, "RUNS   : 1,"},
      {{"--since", "2026-12-08T15:00+01:00"}, "RUNS   : 1,"},
      {{"--since", "2026-12-07T19:00:00-0500"}, "RUNS   : 3,"},
      {{"--since", "2026-12-08T05:30+05:30", "--until", "2026-12-08T14:00:00.000Z"}, "RUNS   : 2,"},
      // A time without offset is the zone's: Berlin's 01:00 is 00:00 UTC.
      {{"--since", "2026-12-08T01:00", "--tz", "Europe/Berlin"}, "RUNS   : 3,"},
      {{"--since", "2026-12-08T01:00", "--tz", "CET-1"}, "RUNS   : 3,"},
      {{"--since", "2026-12-09"}, "BOARDS : 0\n"},
      {{"--since", "2000-02-29", "--until", "2100-02-28T23:59:59.999"}, "RUNS   : 4,"},
  };
  for (const auto& [options, runs_line] : cases) {
    const ProcessResult r = report({file}, options);
    EXPECT_EQ(r.exit_status, 0) << options[1] << r.err;
    EXPECT_NE(r.out.find("\n" + runs_line), std::string::npos) << options[1] << "\n" << r.out;
  }
  const ProcessResult r = report({file}, {"--since", "2026-12-08T01:00", "--tz", "Europe/Berlin"});
  EXPECT_EQ(lines_starting(r.out, "SHIFT REPORT"),
            std::vector<std::string>{"SHIFT REPORT SINCE 2026-12-08T01:00:00+01:00, RUNS FROM "
                                     "2026-12-08T01:00:00+01:00 TO 2026-12-08T15:00:00+01:00 "
                                     "(14.0 H), TIMES IN Europe/Berlin"})
      << r.out;
  EXPECT_NE(r.out.find("READ   : 1 FILE, 4 RECORDS, 1 OF THEM OUTSIDE THE TIMES ASKED FOR\n"),
            std::string::npos)
      << r.out;

  // Refused before anything is read, with the reason: exit status 2.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--since", "2026-12-08T10:00", "--until", "2026-12-08T09:00"}, "is not after --since"},
      {{"--since", "2026-12-08T10:00", "--until", "2026-12-08T11:00+01:00"}, "is not after"},
      {{"--since", "2026-12-08", "--since", "2026-12-09"}, "--since given twice"},
      {{"--until", "2026-12-08", "--until", "2026-12-09"}, "--until given twice"},
      {{"--tz", "UTC", "--tz", "Europe/Berlin"}, "--tz given twice"},
      {{"--html", "a.html", "--html", "b.html"}, "--html given twice"},
      {{"--tz", "Mars/Olympus_Mons"}, "--tz Mars/Olympus_Mons: no such time zone"},
      {{"--tz", "../../etc/passwd"}, "no such time zone"},
      {{"--since", "2026-03-29T02:30", "--tz", "Europe/Berlin"},
       "--since 2026-03-29T02:30: no such time in Europe/Berlin"},
      {{"--since", "2026-10-25T02:30", "--tz", "Europe/Berlin"},
       "--since 2026-10-25T02:30: twice in Europe/Berlin (+02:00 and +01:00): give an offset"},
      {{"--since", "2026-12-08", "--until", "2026-12-32"}, "--until 2026-12-32: not a time"},
  };
  for (const auto& [options, why] : refused) {
    const ProcessResult wrong = report({file}, options);
    EXPECT_EQ(wrong.exit_status, 2) << options[1];
    EXPECT_EQ(wrong.out, "") << options[1];
    EXPECT_NE(wrong.err.find(why), std::string::npos) << options[1] << ": " << wrong.err;
  }
  for (const char* bad :
       {"2026-12-8", "2026-02-30", "2100-02-29", "1900-02-29", "08.12.2026", "2026-12-08 06:00",
        "2026-12-08T24:00", "yesterday", "2026-12-08T06:00+24:00", "2026-12-08T06:00:00.",
        "2026-12-08T06:00:00.1234567891", "2026-12-08T06:00.5", "2026-12-08T06:00ZZ",
        "2026-12-08+01:00"}) {
    const ProcessResult wrong = report({file}, {"--since", bad});
    EXPECT_EQ(wrong.exit_status, 2) << bad;
    EXPECT_EQ(wrong.out, "") << bad;
    EXPECT_NE(wrong.err.find(std::string("--since ") + bad + ": not a time"), std::string::npos)
        << bad << ": " << wrong.err;
    EXPECT_NE(wrong.err.find("fraction"), std::string::npos) << "fractions are told of";
  }
}

// A line that is no whole record, of any kind, wherever it is: skipped,
// counted and named, the records around it counted, exit status 1; only a
// file that cannot be read stops the report.
TEST_F(Report, DamagedLinesAreSkippedCountedAndNamed) {
  TestRecord ok;
  const std::string line = ok.line();
  const std::string cut = line.substr(0, line.size() / 2);
  // Records of boards of their own (copies of one record would count once).
  const auto nth = [](int n) {
    TestRecord r;
    r.serial = "SN-" + std::to_string(n);
    return r.line();
  };
  // A record cut by a killed station, then (as the station does on its next
  // start) a newline and more records; and a file whose last line is cut.
  raw("middle.jsonl", nth(1) + cut + "\n" + nth(2));
  raw("end.jsonl", nth(3) + nth(4) + cut);
  ProcessResult r = report({"middle.jsonl", "end.jsonl"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(lines_starting(r.out, "READ"), std::vector<std::string>{"READ   : 2 FILES, 4 RECORDS"});
  EXPECT_EQ(lines_starting(r.out, "SKIPPED"),
            std::vector<std::string>{"SKIPPED: 2 DAMAGED LINES: middle.jsonl LINE 2 (CUT), "
                                     "end.jsonl LINE 3 (CUT)"})
      << r.out;
  EXPECT_NE(r.out.find("\nRUNS   : 4, 4 READY"), std::string::npos) << r.out;

  nlohmann::ordered_json no_station = ok.json();
  no_station.erase("station");
  // What a newer station may add, before its schema and after it, an array
  // of arrays and objects among them: passed over whole, named by its schema.
  nlohmann::ordered_json schema_3 = {{"operators", {{"ann", 1}, {{{"schema", 2}}}}}};
  const nlohmann::ordered_json whole = ok.json();
  for (const auto& [member, value] : whole.items())
    schema_3[member] = value;
  schema_3["schema"] = 3;
  schema_3["shift"] = "B";
  nlohmann::ordered_json bad_time = ok.json();
  bad_time["start"] = "2026-12-08 06:00:00";
  nlohmann::ordered_json bad_sha = ok.json();
  bad_sha["image"]["sha256"] = std::string(kImageA).substr(0, 63) + "G";
  nlohmann::ordered_json bad_blocks = ok.json();
  bad_blocks["failed_blocks"] = {{7, 4096}};
  nlohmann::ordered_json more = ok.json();
  more["operator"] = "ann";
  const struct {
    const char* what;
    std::string line;
    const char* named;
  } damaged[] = {
      {"text", "hello\n", "NOT A RECORD"},
      {"an empty line", "\n", "BLANK"},
      {"spaces", "  \r\n", "BLANK"},
      {"NUL bytes a power cut left, then a record", std::string(300, '\0') + "\n", "NUL BYTES"},
      {"another JSON object", "{\"board\":\"1-1.1\"}\n", "NOT A RECORD"},
      {"a list", "[1,2]\n", "NOT A RECORD"},
      {"two records on a line", line.substr(0, line.size() - 1) + line, "NOT A RECORD"},
      {"a record and more", line.substr(0, line.size() - 1) + "]\n", "NOT A RECORD"},
      {"a schema 2 record without station", no_station.dump() + "\n", "NOT A RECORD"},
      {"a member no schema has", more.dump() + "\n", "NOT A RECORD"},
      {"a later schema", schema_3.dump() + "\n", "SCHEMA 3"},
      {"a time of another form", bad_time.dump() + "\n", "NOT A RECORD"},
      {"a block that does not exist", bad_blocks.dump() + "\n", "NOT A RECORD"},
      {"an image's sha256 that is not hex", bad_sha.dump() + "\n", "NOT A RECORD"},
      {"a line longer than any record", std::string(5 << 20, ' ') + "x\n", "NOT A RECORD"},
  };
  for (const auto& d : damaged) {
    raw("damaged.jsonl", nth(5) + nth(6) + d.line + nth(7));
    r = report({"middle.jsonl", "damaged.jsonl"});
    EXPECT_EQ(r.exit_status, 1) << d.what;
    EXPECT_EQ(r.err, "") << d.what;
    EXPECT_EQ(lines_starting(r.out, "SKIPPED"),
              std::vector<std::string>{"SKIPPED: 2 DAMAGED LINES: middle.jsonl LINE 2 (CUT), "
                                       "damaged.jsonl LINE 3 (" +
                                       std::string(d.named) + ")"})
        << d.what << ":\n"
        << r.out;
    EXPECT_NE(r.out.find("\nRUNS   : 5, 5 READY"), std::string::npos) << d.what << ":\n" << r.out;
  }

  // A tail of NUL bytes after a power cut, more than a page of them, and a
  // line skipped in a later piece of a long file (read in pieces of about
  // 4 MB): named at their numbers, the first three of them in the text, all
  // of them on the page.
  std::string many;
  for (int i = 0; i < 10000; ++i)
    many += nth(100 + i);
  raw("late.jsonl", many + "\n" + nth(20) + "{\"board\":\"1-1.1\"}\n" + nth(21));
  raw("tail.jsonl", nth(22) + nth(23) + std::string(9000, '\0'));
  r = report({"late.jsonl", "tail.jsonl"}, {"--html", "page.html"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_EQ(lines_starting(r.out, "SKIPPED"),
            std::vector<std::string>{"SKIPPED: 3 DAMAGED LINES: late.jsonl LINE 10001 (BLANK), "
                                     "late.jsonl LINE 10003 (NOT A RECORD), tail.jsonl LINE 3 "
                                     "(NUL BYTES)"})
      << r.out;
  EXPECT_NE(r.out.find("\nRUNS   : 10004, 10004 READY"), std::string::npos) << r.out;
  const std::string page = read_text(dir / "page.html");
  EXPECT_NE(page.find("3 damaged lines skipped"), std::string::npos);
  EXPECT_NE(page.find("<td>10001 (blank), 10003 (not a record: no member &quot;start&quot;)</td>"),
            std::string::npos);
  EXPECT_NE(page.find("<td>3 (NUL bytes)</td>"), std::string::npos);

  // A file that cannot be read; a file that is not a results file at all.
  r = report({"middle.jsonl", "missing.jsonl"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("flashprep-summary: missing.jsonl: cannot read", 0), 0u) << r.err;
  r = report({FLASHPREP_SUMMARY});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find("\nBOARDS : 0\n"), std::string::npos) << r.out;
}

TEST_F(Report, RecordsOfFlashprep10CountWhereTheirMembersAllow) {
  TestRecord old;
  old.port = "1-1.2";
  std::string text = old.line_v1();
  old.reasons = {"LOG CUT: AFTER LINE 20"};
  old.start = "2026-12-08T06:10:00.000Z";
  text += old.line_v1();
  raw("old.jsonl", text);
  TestRecord now;
  now.serial = "SN-9";
  const ProcessResult r = report({"old.jsonl", results("new.jsonl", {now}).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("READ   : 2 FILES, 3 RECORDS, 2 OF FLASHPREP 1.0 (NO STATION, SERIAL OR "
                       "IMAGE)\n"),
            std::string::npos)
      << r.out;
  // Each record of flashprep 1.0 is a board of its own: it tells no plug.
  EXPECT_EQ(lines_starting(r.out, "BOARDS"),
            std::vector<std::string>{"BOARDS : 3, FIRST PASS 2 READY (66.7 %), FINAL 2 READY "
                                     "(66.7 %), 1 NOT READY AT THE END"})
      << r.out;
  EXPECT_EQ(
      lines_starting(r.out, "unknown"),
      std::vector<std::string>{"unknown                   2       1          1   50.0 %      0"})
      << r.out;
  EXPECT_NE(r.out.find("\n  1-1.2                   2       1          1   50.0 %      0\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nLOG CUT "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nIMAGE 3f2a9c01d2e4 serial_flash.S19, 4000 BYTES: 1 RUN (line-a)\n"),
            std::string::npos)
      << r.out;
}

TEST_F(Report, PageIsOneFileThatFetchesNothing) {
  TestRecord odd;
  odd.station = "<b>line & co</b>";
  odd.reasons = {"BLOCKS NOT FORMATTED: 1 (9)"};
  odd.failed_blocks = {{9, 9}};
  std::vector<TestRecord> records = boards("line-a", "1-1.1", 20, 2);
  records.push_back(odd);
  const std::string file = results("r.jsonl", records).string();
  const ProcessResult r = report({file}, {"--html", "page.html"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, report({file}).out) << "the text does not change with --html";
  const std::string page = read_text(dir / "page.html");
  EXPECT_EQ(page.rfind("<!DOCTYPE html>\n", 0), 0u);
  for (const char* chart : {"yield-chart", "pace-chart", "reasons-chart", "ports-chart"})
    EXPECT_NE(page.find(std::string("<svg id=\"") + chart + "\""), std::string::npos) << chart;
  for (const char* outside : {"<script", "http:", "https:", "src=", "<link", "url(", "@import",
                              "<iframe", "<object", "<img"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  EXPECT_EQ(page.find("<b>line"), std::string::npos) << "a station's name as markup";
  EXPECT_NE(page.find("&lt;b&gt;line &amp; co&lt;/b&gt;"), std::string::npos);
  // Two of line-a's boards and the odd station's one, every one of them listed.
  EXPECT_NE(page.find("<p>3 boards (the CSV lists every run).</p>"), std::string::npos);
}

// The CSV, for a quality system: a row per run, under the rule of --html.
TEST_F(Report, CsvOfTheRuns) {
  std::vector<TestRecord> records = boards("line-a", "1-1.1", 3, 1);
  records[2].reasons = {"BLOCKS NOT FORMATTED: 2 (7, \"odd\", 9)"};
  const std::string file = results("r.jsonl", records).string();
  ProcessResult r = report({file, file}, {"--csv", "runs.csv"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::vector<std::string> rows = lines_of(read_text(dir / "runs.csv"));
  ASSERT_EQ(rows.size(), 4u) << "a header and a row per run, the copies dropped";
  EXPECT_EQ(rows[0].rfind("flashprep_run,file,line,station,board,port,", 0), 0u) << rows[0];
  EXPECT_EQ(rows[0].back(), '\r') << "CR LF ends each line (RFC 4180)";
  EXPECT_NE(rows[3].find(",\"BLOCKS NOT FORMATTED: 2 (7, \"\"odd\"\", 9)\","), std::string::npos)
      << rows[3];
  // The first board failed block 9; without a serial it is its station, port and plug.
  EXPECT_NE(rows[1].find(",1,17,0,9,2026-12-08T06:00:00+00:00,line-a,line-a 1-1.1 plug "
                         "0f1e2d3c/10,1,judged\r"),
            std::string::npos)
      << rows[1];
  // Written again over its own CSV; never over another file, nor a file read.
  EXPECT_EQ(report({file}, {"--csv", "runs.csv"}).exit_status, 0);
  raw("notes.csv", "a,b\r\n1,2\r\n");
  for (const std::string& target : {std::string("notes.csv"), file}) {
    r = report({file}, {"--csv", target});
    EXPECT_EQ(r.exit_status, 2) << target;
    EXPECT_NE(r.err.find("not written over"), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_text(dir / "notes.csv"), "a,b\r\n1,2\r\n");
}

// A file a station still writes to can grow between the report's reading and
// the CSV's: the CSV has a row for each record the report counted, and none
// for a record written since (nor the facts of another file's run for it).
// The file is a FIFO here, so that the test gives each reading its text.
TEST_F(Report, CsvOfAFileThatGrewBetweenTheReadings) {
  const std::vector<TestRecord> grown = boards("line-g", "1-1.1", 3, 0);
  const fs::path fifo = dir / "grows.jsonl";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  const std::string other = results("other.jsonl", boards("line-o", "1-1.2", 2, 1)).string();
  RunningProcess p(
      {FLASHPREP_SUMMARY, "--results", fifo.string(), other, "--tz", "UTC", "--csv", "runs.csv"},
      dir.string(), {});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // Writes `n` records to the reading that has the FIFO open or waits for it.
  const auto feed = [&](size_t n) {
    int fd = -1;
    while ((fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && errno == ENXIO &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (fd < 0 || fcntl(fd, F_SETFL, 0) != 0)
      return false;
    std::string text;
    for (size_t i = 0; i < n; ++i)
      text += grown[i].line();
    bool written = true;
    for (size_t at = 0; written && at < text.size();) {
      const ssize_t k = write(fd, text.data() + at, text.size() - at);
      written = k > 0;
      at += written ? static_cast<size_t>(k) : 0;
    }
    return close(fd) == 0 && written;
  };
  // The CSV is opened once the report's reading has ended: the next reading
  // of the FIFO is the CSV's.
  const auto csv_opened = [&] {
    const fs::path fds = "/proc/" + std::to_string(p.pid()) + "/fd";
    const fs::path csv = fs::canonical(dir) / "runs.csv";
    for (;;) {
      std::error_code error;
      for (const auto& fd : fs::directory_iterator(fds, error))
        if (fs::read_symlink(fd.path(), error) == csv)
          return true;
      if (std::chrono::steady_clock::now() >= deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  const bool fed = feed(2) && csv_opened() && feed(3);
  if (!fed)
    p.signal(SIGKILL);
  const ProcessResult r = p.finish();
  ASSERT_TRUE(fed);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("READ   : 2 FILES, 4 RECORDS"), std::string::npos) << r.out;
  const std::vector<std::string> rows = lines_of(read_text(dir / "runs.csv"));
  ASSERT_EQ(rows.size(), 5u) << "a header and a row per record the report counted";
  for (size_t i = 1; i < rows.size(); ++i) {
    const char* station = i <= 2 ? ",line-g," : ",line-o,";
    EXPECT_NE(rows[i].find(station), std::string::npos) << rows[i];
  }
}

// The report over what the station itself wrote for three simulated boards.
TEST_F(Report, OverTheStationsOwnResults) {
  ASSERT_EQ(run_process({FLASHPREP_MAKE_DRIVER, "serial_flash.S19"}, dir.string(), {}).exit_status,
            0);
  fs::create_directory(dir / "boards");
  raw("boards/a", "");
  raw("boards/b", "");
  raw("boards/c", "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=9\n");
  const ProcessResult station = run_process(
      {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--results", "results.jsonl"}, dir.string(),
      {{"FLASHPREP_SIM_BOARDS", (dir / "boards").string()},
       {"FLASHPREP_LOCK_DIR", (dir / "claims").string()}});
  ASSERT_EQ(station.exit_status, 1) << station.out << station.err;
  const std::string written = read_text(dir / "results.jsonl");
  // Checked against the schema once the station writes schema 2.
  if (written.find("\"schema\":2") != std::string::npos) {
    EXPECT_TRUE(records_valid(dir / "results.jsonl"));
  }
  // A rehearsal on simulated boards: left out unless asked for.
  const ProcessResult rehearsal = report({"results.jsonl"});
  ASSERT_EQ(rehearsal.exit_status, 0) << rehearsal.err;
  EXPECT_NE(rehearsal.out.find("\nSIMULATED: 3 RUNS OF SIMULATED BOARDS LEFT OUT\nBOARDS : 0\n"),
            std::string::npos)
      << rehearsal.out;
  const ProcessResult r = report({"results.jsonl"}, {"--include-simulated"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("\nRUNS   : 3, 2 READY, 1 NOT READY;"), std::string::npos) << r.out;
  const std::vector<std::string> reasons = lines_starting(r.out, "BLOCKS NOT FORMATTED ");
  ASSERT_EQ(reasons.size(), 1u) << r.out;
  EXPECT_EQ(reasons[0].substr(reasons[0].find_last_not_of(' ')), "1") << r.out;
  for (const char* port : {"\n  sim-a ", "\n  sim-b ", "\n  sim-c "})
    EXPECT_NE(r.out.find(port), std::string::npos) << port << "\n" << r.out;
}

// A month of daily results files read under a limit of 16 open files, as a
// report over a long span would be under the system's: each file is closed
// once read, by the report and by the CSV's reading alike.
TEST_F(Report, FilesAreClosedOnceRead) {
  std::vector<std::string> argv = {"/usr/bin/prlimit", "--nofile=16", FLASHPREP_SUMMARY,
                                   "--results"};
  for (int day = 1; day <= 40; ++day) {
    TestRecord r;
    r.start = TestRecord::later("2026-11-01T06:00:00.000Z", (day - 1) * 86400000L);
    r.serial = "D-" + std::to_string(day);
    // One file checked against the schema is enough: the checker takes a tenth of a second.
    const std::string name = "day" + std::to_string(day) + ".jsonl";
    argv.push_back((day == 1 ? results(name, {r}) : raw(name, r.line())).string());
  }
  argv.insert(argv.end(), {"--csv", "runs.csv", "--tz", "UTC"});
  const ProcessResult r = run_process(argv, dir.string(), {});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(lines_starting(r.out, "RUNS   : 40, 40 READY,").size(), 1u) << r.out;
  EXPECT_EQ(lines_of(read_text(dir / "runs.csv")).size(), 41u);
}

}  // namespace
