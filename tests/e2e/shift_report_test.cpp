// flashprep-summary --results: the shift report over stations' results files,
// run as a user runs it, on records made here, made up by the shift
// generator, and written by the station itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
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
  // flashprep-summary --results FILES... OPTIONS..., in the scratch folder.
  ProcessResult report(const std::vector<std::string>& files,
                       const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {FLASHPREP_SUMMARY, "--results"};
    argv.insert(argv.end(), files.begin(), files.end());
    argv.insert(argv.end(), options.begin(), options.end());
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
    if (i == 1)
      r.reasons = {"RUN STOPPED: FAIL: BOOTLOADER NOT PRESENT"};
    a.push_back(r);
  }
  std::vector<TestRecord> b;
  for (int i = 0; i < 3; ++i) {
    TestRecord r;
    r.station = "line-b";
    r.start = TestRecord::later("2026-12-08T06:05:00.000Z", i * 600000L);
    r.seconds = 20 + i;
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
  // 06:50:00 + 15 s): 9 / (50.25 / 60) h. Seconds sorted: 10 11 12 13 14 15
  // 20 21 22, median 14, 95th percentile at rank 9.
  EXPECT_EQ(r.out,
            "SHIFT REPORT: 2026-12-08T06:00:00Z TO 2026-12-08T06:50:15Z (0.8 H)\n"
            "READ   : 2 FILES, 9 RECORDS\n"
            "BOARDS : 9, 6 READY, 3 NOT READY, YIELD 66.7 %\n"
            "PACE   : 10.7 BOARDS PER HOUR; SECONDS PER BOARD: MEDIAN 14.0, 95TH PERCENTILE "
            "22.0\n"
            "\n"
            "STATION / PORT       BOARDS   READY  NOT READY   YIELD\n"
            "line-a                    6       5          1   83.3 %\n"
            "  1-1.1                   4       3          1   75.0 %\n"
            "  1-1.2                   2       2          0  100.0 %\n"
            "line-b                    3       1          2   33.3 %\n"
            "  1-1.1                   3       1          2   33.3 %\n"
            "\n"
            "FAILURES BY REASON                          BOARDS\n"
            "BLOCKS NOT FORMATTED                             2\n"
            "RUN STOPPED: FAIL: BOOTLOADER NOT PRESENT        1\n"
            "TABLE WRITES REFUSED                             1\n"
            "\n"
            "BLOCKS FAILED ON MORE THAN ONE BOARD: 7 (2), 4095 (2)\n"
            "\n"
            "IMAGE 3f2a9c01d2e4 serial_flash.S19, 4000 BYTES: 9 BOARDS (line-a, line-b)\n");
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
  const std::string good = "      1       1          0  100.0 %\n";
  EXPECT_NE(r.out.find("\n\u7ebf-\u4e00" + std::string(15, ' ') + good), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nlign\u00e9" + std::string(15, ' ') + good), std::string::npos) << r.out;
  EXPECT_NE(
      r.out.find("\nx?FINISHED" + std::string(10, ' ') + "      1       0          1    0.0 %\n"),
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
            std::vector<std::string>{"STANDS OUT: line-b 1-1.9, 12 OF 100 NOT READY (12.0 %), "
                                     "THE OTHER PORTS 3.5 %"})
      << r.out;
  EXPECT_NE(r.out.find("  1-1.9                 100      88         12   88.0 %  STANDS OUT\n"),
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
            std::vector<std::string>{"STANDS OUT: line-c 1-1.2, 70 OF 1000 NOT READY (7.0 %), "
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
  TestRecord c;  // no serial: a board of its own; 100-102
  c.reasons = {"BLOCKS NOT FORMATTED: 3 (100-102)"};
  c.failed_blocks = {{100, 102}};
  TestRecord d = c;  // and another
  d.failed_blocks = {{101, 101}};
  d.reasons = {"BLOCKS NOT FORMATTED: 1 (101)"};
  const ProcessResult r = report({results("r.jsonl", {a, a_again, b, c, d}).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // 101 failed on b, c and d; 7 on a and b; 100 on b and c; 102 on c only.
  EXPECT_EQ(
      lines_starting(r.out, "BLOCKS FAILED"),
      std::vector<std::string>{"BLOCKS FAILED ON MORE THAN ONE BOARD: 101 (3), 7 (2), 100 (2)"})
      << r.out;
}

TEST_F(Report, ImagesAndTheStationThatUsedAnother) {
  std::vector<TestRecord> records;
  for (const char* station : {"line-a", "line-b", "line-c"}) {
    for (int i = 0; i < 3; ++i) {
      TestRecord r;
      r.station = station;
      r.image = std::string(station) == "line-c" && i > 0 ? kImageB : kImageA;
      records.push_back(r);
    }
  }
  TestRecord unread;
  unread.station = "line-b";
  unread.image = nullptr;
  unread.reasons = {"RUN STOPPED: FAIL: SERIAL DRIVER NOT LOADED"};
  records.push_back(unread);
  const ProcessResult r = report({results("r.jsonl", records).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(lines_starting(r.out, "IMAGE"),
            (std::vector<std::string>{
                "IMAGE 3f2a9c01d2e4 serial_flash.S19, 4000 BYTES: 7 BOARDS (line-a, line-b, "
                "line-c)",
                "IMAGE 9b7e11aa0c53 serial_flash.S19, 4000 BYTES: 2 BOARDS (line-c), NOT THE "
                "LINE'S IMAGE"}))
      << r.out;
  EXPECT_EQ(lines_starting(r.out, "NO IMAGE READ"),
            std::vector<std::string>{"NO IMAGE READ: 1 BOARD"});
  EXPECT_EQ(lines_starting(r.out, "line-"),
            (std::vector<std::string>{
                "line-a                    3       3          0  100.0 %",
                "line-b                    4       3          1   75.0 %",
                "line-c                    3       3          0  100.0 %  OTHER IMAGE"}))
      << r.out;
}

TEST_F(Report, BoardsPreparedMoreThanOnceWithTheirLastVerdict) {
  // SN-1: READY at 08:00 in a.jsonl, NOT READY at 09:00 in b.jsonl, READY at
  // 07:00 in b.jsonl: its last (latest start) is NOT READY, whatever the
  // order of the files. SN-2: three times, last READY. SN-3 once.
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
  TestRecord s2;
  s2.serial = "SN-2";
  TestRecord s3;
  s3.serial = "SN-3";
  const fs::path a = results("a.jsonl", {r1, s2, s2, s2, s3});
  const fs::path b = results("b.jsonl", {r2, r3});
  // The text names the boards still NOT READY; the page lists the others too.
  const std::string want =
      "PREPARED MORE THAN ONCE: 2 BOARDS, 1 OF THEM LAST NOT READY:\n"
      "  SN-1             3 TIMES, LAST NOT READY (line-b 1-1.4, 2026-12-08T09:00:00Z)\n";
  for (const auto& files : {std::vector<std::string>{a.string(), b.string()},
                            std::vector<std::string>{b.string(), a.string()}}) {
    const ProcessResult r = report(files);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const size_t at = r.out.find("PREPARED MORE THAN ONCE");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at), want) << files.front();
  }
  ASSERT_EQ(report({a.string(), b.string()}, {"--html", "page.html"}).exit_status, 0);
  const std::string page = read_text(dir / "page.html");
  const size_t sn1 = page.find("<tr><td>SN-1</td><td class=\"n\">3</td><td>NOT READY</td>");
  const size_t sn2 = page.find("<tr><td>SN-2</td><td class=\"n\">3</td><td>READY</td>");
  EXPECT_NE(sn1, std::string::npos);
  EXPECT_NE(sn2, std::string::npos);
  EXPECT_LT(sn1, sn2) << "last NOT READY first";
  EXPECT_EQ(page.find("<td>SN-3</td>"), std::string::npos) << "prepared once";
}

TEST_F(Report, SinceAndUntilCountBoardsByTheirStart) {
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
      {{"--since", "2026-12-08"}, "BOARDS : 3,"},
      {{"--since", "2026-12-08T00:00Z", "--until", "2026-12-08T14:00"}, "BOARDS : 2,"},
      {{"--until", "2026-12-08T13:59:59.999"}, "BOARDS : 2,"},
      {{"--since", "2026-12-08T14:00:00", "--until", "2026-12-09"}, "BOARDS : 1,"},
      {{"--since", "2026-12-09"}, "BOARDS : 0\n"},
  };
  for (const auto& [options, boards_line] : cases) {
    const ProcessResult r = report({file}, options);
    EXPECT_EQ(r.exit_status, 0) << options[1];
    EXPECT_NE(r.out.find("\n" + boards_line), std::string::npos) << options[1] << "\n" << r.out;
  }
  const ProcessResult r = report({file}, {"--since", "2026-12-08"});
  EXPECT_NE(r.out.find("READ   : 1 FILE, 4 RECORDS, 1 OF THEM OUTSIDE THE TIMES ASKED FOR\n"),
            std::string::npos)
      << r.out;
  for (const char* bad : {"2026-12-8", "2026-02-30", "08.12.2026", "2026-12-08 06:00",
                          "2026-12-08T24:00", "yesterday"}) {
    const ProcessResult wrong = report({file}, {"--since", bad});
    EXPECT_EQ(wrong.exit_status, 2) << bad;
    EXPECT_EQ(wrong.out, "") << bad;
    EXPECT_NE(wrong.err.find("not a time"), std::string::npos) << bad << ": " << wrong.err;
  }
}

// A line that is no whole record, of any kind, wherever it is: skipped,
// counted and named, the records around it counted, exit status 1; only a
// file that cannot be read stops the report.
TEST_F(Report, DamagedLinesAreSkippedCountedAndNamed) {
  TestRecord ok;
  const std::string line = ok.line();
  const std::string cut = line.substr(0, line.size() / 2);
  // A record cut by a killed station, then (as the station does on its next
  // start) a newline and more records; and a file whose last line is cut.
  raw("middle.jsonl", line + cut + "\n" + line);
  raw("end.jsonl", line + line + cut);
  ProcessResult r = report({"middle.jsonl", "end.jsonl"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(lines_starting(r.out, "READ"), std::vector<std::string>{"READ   : 2 FILES, 4 RECORDS"});
  EXPECT_EQ(lines_starting(r.out, "SKIPPED"),
            std::vector<std::string>{"SKIPPED: 2 DAMAGED LINES: middle.jsonl LINE 2 (CUT), "
                                     "end.jsonl LINE 3 (CUT)"})
      << r.out;
  EXPECT_NE(r.out.find("\nBOARDS : 4, 4 READY"), std::string::npos) << r.out;

  nlohmann::ordered_json no_station = ok.json();
  no_station.erase("station");
  nlohmann::ordered_json schema_3 = ok.json();
  schema_3["schema"] = 3;
  schema_3["shift"] = "B";  // what a newer station may add
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
    raw("damaged.jsonl", line + line + d.line + line);
    r = report({"middle.jsonl", "damaged.jsonl"});
    EXPECT_EQ(r.exit_status, 1) << d.what;
    EXPECT_EQ(r.err, "") << d.what;
    EXPECT_EQ(lines_starting(r.out, "SKIPPED"),
              std::vector<std::string>{"SKIPPED: 2 DAMAGED LINES: middle.jsonl LINE 2 (CUT), "
                                       "damaged.jsonl LINE 3 (" +
                                       std::string(d.named) + ")"})
        << d.what << ":\n"
        << r.out;
    EXPECT_NE(r.out.find("\nBOARDS : 5, 5 READY"), std::string::npos) << d.what << ":\n" << r.out;
  }

  // A tail of NUL bytes after a power cut, more than a page of them, and a
  // line skipped in a later piece of a long file (read in pieces of about
  // 4 MB): named at their numbers, the first three of them in the text, all
  // of them on the page.
  std::string many;
  for (int i = 0; i < 10000; ++i)
    many += line;
  raw("late.jsonl", many + "\n" + line + "{\"board\":\"1-1.1\"}\n" + line);
  raw("tail.jsonl", line + line + std::string(9000, '\0'));
  r = report({"late.jsonl", "tail.jsonl"}, {"--html", "page.html"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_EQ(lines_starting(r.out, "SKIPPED"),
            std::vector<std::string>{"SKIPPED: 3 DAMAGED LINES: late.jsonl LINE 10001 (BLANK), "
                                     "late.jsonl LINE 10003 (NOT A RECORD), tail.jsonl LINE 3 "
                                     "(NUL BYTES)"})
      << r.out;
  EXPECT_NE(r.out.find("\nBOARDS : 10004, 10004 READY"), std::string::npos) << r.out;
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
  text += old.line_v1();
  raw("old.jsonl", text);
  TestRecord now;
  now.serial = "SN-9";
  const ProcessResult r = report({"old.jsonl", results("new.jsonl", {now}).string()});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("READ   : 2 FILES, 3 RECORDS, 2 OF FLASHPREP 1.0 (NO STATION, SERIAL OR "
                       "IMAGE)\nBOARDS : 3, 2 READY, 1 NOT READY, YIELD 66.7 %\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(lines_starting(r.out, "unknown"),
            std::vector<std::string>{"unknown                   2       1          1   50.0 %"})
      << r.out;
  EXPECT_NE(r.out.find("\n  1-1.2                   2       1          1   50.0 %\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nLOG CUT "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nIMAGE 3f2a9c01d2e4 serial_flash.S19, 4000 BYTES: 1 BOARD (line-a)\n"),
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
  const ProcessResult r = report({"results.jsonl"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("\nBOARDS : 3, 2 READY, 1 NOT READY, YIELD 66.7 %\n"), std::string::npos)
      << r.out;
  const std::vector<std::string> reasons = lines_starting(r.out, "BLOCKS NOT FORMATTED ");
  ASSERT_EQ(reasons.size(), 1u) << r.out;
  EXPECT_EQ(reasons[0].substr(reasons[0].find_last_not_of(' ')), "1") << r.out;
  for (const char* port : {"\n  sim-a ", "\n  sim-b ", "\n  sim-c "})
    EXPECT_NE(r.out.find(port), std::string::npos) << port << "\n" << r.out;
}

}  // namespace
