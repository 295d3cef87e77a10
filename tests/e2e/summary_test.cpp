// flashprep-summary on the output of the shipped binary on the simulated board
// and on logs computed from the tool's rules, saved as a file or piped in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/process.h"
#include "e2e/records.h"
#include "e2e/text_files.h"
#include "image/srecord_writer.h"
#include "run_expectations.h"
#include "util/write_file.h"

namespace {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

constexpr uint32_t kDriverBytes = 4000;

std::vector<std::string> reasons_in(const std::string& summary) {
  std::vector<std::string> reasons;
  for (const std::string& line : lines_of(summary)) {
    if (line.rfind("REASON : ", 0) == 0)
      reasons.push_back(line.substr(9));
  }
  return reasons;
}

// The first `n` lines of `log`.
std::string head(const std::string& log, int n) {
  size_t end = 0;
  for (int i = 0; i < n; ++i)
    end = log.find('\n', end) + 1;
  return log.substr(0, end);
}

// A run's output from the tool's rules: identify and init succeed, and the
// driver blocks, flash blocks and table blocks in the sets are refused.
std::string oracle_log(const std::set<int>& driver, const std::set<int>& failing,
                       const std::set<int>& tables) {
  return expected_run(kDriverBytes, kRam, kRam + kDriverBytes - 1, [&](const Exchange& e) {
    switch (e.kind) {
      case Exchange::load_block:
        return driver.count(e.id) == 0;
      case Exchange::format:
        return failing.count(e.id) == 0;
      case Exchange::table_write:
        return tables.count(e.id) == 0;
      default:
        return true;
    }
  });
}

// One parsed cell of the map.
struct Cell {
  std::string state;
  int x;
  int y;
};

int attribute(const std::string& tag, const std::string& name) {
  const size_t at = tag.find(" " + name + "=\"");
  return at == std::string::npos ? -1 : std::stoi(tag.substr(at + name.size() + 3));
}

// Every block's cell, by block number, with the class of its group.
std::map<int, Cell> cells_of(const std::string& svg) {
  std::map<int, Cell> cells;
  std::string state;
  for (size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1)) {
    const std::string tag = svg.substr(at, svg.find('>', at) - at + 1);
    if (tag.rfind("<g class=\"", 0) == 0) {
      state = tag.substr(10, tag.find('"', 10) - 10);
    } else if (tag == "</g>") {
      state.clear();
    } else if (tag.rfind("<rect ", 0) == 0 && !state.empty()) {
      const size_t title = svg.find("<title>block ", at);
      const int block = std::stoi(svg.substr(title + 13, 8));
      EXPECT_EQ(cells.count(block), 0u) << "two cells for block " << block;
      EXPECT_EQ(attribute(tag, "width"), 9);
      cells[block] = {state, attribute(tag, "x"), attribute(tag, "y")};
    }
  }
  return cells;
}

class Summary : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/flashprep-summary-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }

  // The summary of `log`, saved as a file as it is given.
  ProcessResult summarize(const std::string& log, const std::vector<std::string>& options = {}) {
    std::ofstream(dir / "log.txt", std::ios::binary) << log;
    std::vector<std::string> argv = {FLASHPREP_SUMMARY};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back((dir / "log.txt").string());
    return run_process(argv, dir.string(), {});
  }

  // The shipped binary's output on the simulated board, with the sample
  // driver in the folder unless `driver` is empty.
  std::string board_run(const Env& env, const std::string& driver = "sample") {
    const fs::path run_dir = dir / "run";
    fs::remove_all(run_dir);
    fs::create_directory(run_dir);
    if (driver == "sample") {
      const std::vector<uint8_t> bytes(kDriverBytes, 0x5A);
      EXPECT_TRUE(write_file((run_dir / "serial_flash.S19").string(),
                             srecord::data_records(4, kRam, bytes.data(), bytes.size(), 32)));
    } else if (!driver.empty()) {
      EXPECT_TRUE(write_file((run_dir / "serial_flash.S19").string(), driver));
    }
    const ProcessResult r =
        run_process({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, run_dir.string(), env);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return r.out;
  }

  fs::path dir;
};

TEST_F(Summary, CompleteRunIsReadyHoweverItWasSaved) {
  const std::string log = board_run({});
  const std::string want =
      "READY\n"
      "BYTES  : 4000\n"
      "START  : 20000000\n"
      "END    : 20000F9F\n"
      "BLOCKS : 16\n"
      "DRIVER BLOCKS : 16 DOWNLOADED, 0 REFUSED\n"
      "FLASH BLOCKS  : 4064 FORMATTED, 0 FAILED\n"
      "TABLE BLOCKS  : 17 WRITTEN, 0 REFUSED, 15 UNUSED\n";
  ProcessResult r = summarize(log);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, want);

  std::string crlf;
  for (const std::string& line : lines_of(log))
    crlf += line + "\r\n";
  std::string utf16 = "\xFF\xFE";
  for (const char c : crlf)
    utf16 += std::string{c, '\0'};
  const std::pair<const char*, std::string> savings[] = {
      {"CR LF", crlf},
      {"no end to the last line", log.substr(0, log.size() - 1)},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + crlf},
      {"UTF-16LE, as Windows PowerShell writes", utf16},
  };
  for (const auto& [how, text] : savings) {
    r = summarize(text);
    EXPECT_EQ(r.exit_status, 0) << how;
    EXPECT_EQ(r.out, want) << how;
  }

  std::ofstream(dir / "piped.txt", std::ios::binary) << crlf;
  r = run_process({"/bin/sh", "-c", std::string("exec ") + FLASHPREP_SUMMARY + " < piped.txt"},
                  dir.string(), {});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, want) << "from standard input";
}

TEST_F(Summary, EachReasonForNotReady) {
  const auto refuse_step = [](Exchange::Kind step) {
    return expected_run(kDriverBytes, kRam, kRam + kDriverBytes - 1,
                        [=](const Exchange& e) { return e.kind != step; });
  };
  std::set<int> first_224;
  for (int b = 0; b < 224; ++b)
    first_224.insert(b);
  // Every other block from 0 to 40: 21 ranges, of which a reason names 16.
  std::set<int> scattered;
  std::string sixteen;
  for (int b = 0; b <= 40; b += 2) {
    scattered.insert(b);
    if (b < 32)
      sixteen += (b == 0 ? "" : ", ") + std::to_string(b);
  }
  struct Case {
    const char* name;
    std::string log;
    std::vector<std::string> reasons;
  } cases[] = {
      {"no board",
       board_run({{"FLASHPREP_SIM_BOARD", "none"}}),
       {"RUN STOPPED: FAIL: UNABLE TO START DRIVER"}},
      {"no bootloader",
       refuse_step(Exchange::identify),
       {"RUN STOPPED: FAIL: BOOTLOADER NOT PRESENT"}},
      {"no driver file", board_run({}, ""), {"RUN STOPPED: FAIL: SERIAL DRIVER NOT LOADED"}},
      {"no driver byte in the file",
       board_run({}, "S0030000FC\nS9030000FC\n"),
       {"RUN STOPPED: FAIL: SERIAL DRIVER NOT LOADED"}},
      {"flash not initialised",
       refuse_step(Exchange::init),
       {"RUN STOPPED: FAIL: SERIAL FLASH NOT INITIALIZED"}},
      {"refused blocks of each kind",
       oracle_log({3, 7, 8, 9}, {7, 100, 101, 4095}, {2530, 2543}),
       {"DRIVER BLOCKS REFUSED: 4 (3, 7-9)", "BLOCKS NOT FORMATTED: 4 (7, 100-101, 4095)",
        "TABLE WRITES REFUSED: 2 (2530, 2543)"}},
      // 2304 blocks formatted in the first range: block 2527's line fills
      // table 2536 and ends the range with 2537; only the second is refused.
      {"the second of two table writes in a row refused",
       oracle_log({}, first_224, {2537}),
       {"BLOCKS NOT FORMATTED: 224 (0-223)", "TABLE WRITES REFUSED: 1 (2537)"}},
      {"more ranges than a reason names",
       oracle_log({}, scattered, {}),
       {"BLOCKS NOT FORMATTED: 21 (" + sixteen + ", ...)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = summarize(c.log);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(lines_of(r.out).front(), "NOT READY");
    EXPECT_EQ(reasons_in(r.out), c.reasons) << r.out;
  }
}

TEST_F(Summary, CountsFollowTheTablesTheRunWrote) {
  const std::set<int> failing = {7, 100, 101, 4095};
  const std::set<int> refused = {2530, 2543};
  const ProcessResult r = summarize(oracle_log({3}, failing, refused));
  const size_t tables = expected_format(failing, refused).tables.size();
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "DRIVER BLOCKS : 15 DOWNLOADED, 1 REFUSED");
  EXPECT_EQ(lines[lines.size() - 2], "FLASH BLOCKS  : 4060 FORMATTED, 4 FAILED");
  EXPECT_EQ(lines.back(), "TABLE BLOCKS  : " + std::to_string(tables - 2) +
                              " WRITTEN, 2 REFUSED, " + std::to_string(32 - tables) + " UNUSED");
}

TEST_F(Summary, CutLogsAreNotReady) {
  const std::string ok = oracle_log({}, {}, {});
  const std::string failing = oracle_log({}, {4095}, {2543});
  const int ok_lines = static_cast<int>(lines_of(ok).size());
  const struct {
    const char* name;
    std::string log;
    std::string cut;  // empty: the log is complete
  } cases[] = {
      {"empty", "", "LOG CUT: EMPTY"},
      {"in its first line", "BYTES  : ", "LOG CUT: IN LINE 1"},
      {"after the driver summary", head(ok, 4), "LOG CUT: AFTER LINE 4"},
      {"while sending driver block 3", head(ok, 7) + "BLOCK 3", "LOG CUT: IN LINE 8"},
      {"when block 255 filled the first table", head(ok, 4 + 16 + 256), "LOG CUT: AFTER LINE 276"},
      {"before the last line", head(ok, ok_lines - 1),
       "LOG CUT: AFTER LINE " + std::to_string(ok_lines - 1)},
      {"in the last line", ok.substr(0, ok.size() - 6),
       "LOG CUT: IN LINE " + std::to_string(ok_lines)},
      // Block 4095's line ends a run whose last table write went through.
      {"before a refused last table write", head(failing, ok_lines), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = summarize(c.log);
    EXPECT_EQ(r.exit_status, 1);
    const std::vector<std::string> reasons = reasons_in(r.out);
    const bool says_cut = !reasons.empty() && reasons.back().rfind("LOG CUT", 0) == 0;
    EXPECT_EQ(says_cut ? reasons.back() : "", c.cut) << r.out;
  }
}

TEST_F(Summary, TextThatIsNoLog) {
  const std::string ok = oracle_log({}, {}, {});
  std::string swapped = ok;
  const size_t five = swapped.find("BLOCK 5 FORMATTED\n");
  swapped.replace(five, 36, "BLOCK 6 FORMATTED\nBLOCK 5 FORMATTED\n");
  std::string blocks = ok;
  blocks.replace(blocks.find("BLOCKS : 16"), 11, "BLOCKS : 15");
  std::string leading_zero = ok;
  leading_zero.replace(0, 13, "BYTES  : 04000");
  const std::string binary = read_text(FLASHPREP_SUMMARY).substr(0, 4096);
  // A run whose last table write was refused has ended: nothing may follow.
  const std::string ended = oracle_log({}, {4095}, {2543});
  const std::string after_end =
      "LINE " + std::to_string(lines_of(ended).size() + 1) + ": \"BYTES  : 4000\" AFTER THE RUN";
  const struct {
    const char* name;
    std::string text;
    std::string line;
    std::string says = "";  // the rest of the reason, where the case pins it
  } cases[] = {
      {"other text", "hello\n", "LINE 1: "},
      {"a blank line", head(ok, 10) + "\n" + ok.substr(head(ok, 10).size()), "LINE 11: "},
      {"lines out of order", swapped, "LINE 26: "},
      {"a second run after the first", ok + ok, "LINE 4085: "},
      {"a second run after one that ended", ended + ok, after_end},
      {"a table write where none is made", head(ok, 120) + "FAIL: WRITING BLOCK 2528\n",
       "LINE 121: "},
      {"BLOCKS not as START and END say", blocks, "LINE 4: ",
       "\"" + lines_of(blocks)[3] + "\" DOES NOT FIT THE BYTES, START AND END LINES BEFORE IT"},
      {"a number with a leading zero", leading_zero, "LINE 1: "},
      {"a binary file", binary, "LINE 1: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = summarize(c.text, {"--svg", (dir / "map.svg").string()});
    EXPECT_EQ(r.exit_status, 2);
    const std::vector<std::string> reasons = reasons_in(r.out);
    EXPECT_EQ(lines_of(r.out).front(), "NOT A FLASHPREP LOG");
    ASSERT_EQ(reasons.size(), 1u) << r.out;
    EXPECT_EQ(reasons[0].rfind("UNEXPECTED LINE: " + c.line, 0), 0u) << r.out;
    if (!c.says.empty()) {
      EXPECT_EQ(reasons[0], "UNEXPECTED LINE: " + c.line + c.says) << r.out;
    }
    EXPECT_FALSE(fs::exists(dir / "map.svg")) << "a map of no log";
  }
  // A line out of place is told with what a run prints there instead: a
  // run's first line is BYTES or one of the failures before it.
  const std::vector<std::string> first = reasons_in(summarize("hello\n").out);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].rfind("UNEXPECTED LINE: LINE 1: \"hello\" WHERE A RUN PRINTS ", 0), 0u)
      << first[0];
  for (const char* instead : {"FAIL: UNABLE TO START DRIVER", "FAIL: BOOTLOADER NOT PRESENT",
                              "FAIL: SERIAL DRIVER NOT LOADED", "BYTES  : n"})
    EXPECT_NE(first[0].find(instead), std::string::npos) << first[0];

  for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
           {FLASHPREP_SUMMARY, "--svg"},
           {FLASHPREP_SUMMARY, "--colour"},
           {FLASHPREP_SUMMARY, "a.log", "b.log"},
           {FLASHPREP_SUMMARY, (dir / "missing.log").string()},
           {FLASHPREP_SUMMARY, dir.string()},
       }) {
    const ProcessResult r = run_process(argv, dir.string(), {});
    EXPECT_EQ(r.exit_status, 2) << argv.back();
    EXPECT_EQ(r.out, "") << argv.back();
    EXPECT_NE(r.err, "") << argv.back();
  }
}

TEST_F(Summary, RunStoppedBeforeTheFormatPassAndMapsThatCannotBeWritten) {
  const std::string log = board_run({{"FLASHPREP_SIM_REFUSE_INIT", "1"}});
  ProcessResult r = summarize(log);
  EXPECT_EQ(lines_of(r.out).back(),
            "TABLE BLOCKS  : 0 WRITTEN, 0 REFUSED, 15 UNUSED, 17 NOT REACHED");

  // The map fails before any verdict is printed.
  r = summarize(log, {"--svg", (dir / "no" / "map.svg").string()});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;

  // At a terminal with no LOG it says what it waits for.
  if (std::system("command -v script >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "script (util-linux) is not installed";
  r = run_process({"/bin/sh", "-c",
                   std::string("exec script -qec ") + FLASHPREP_SUMMARY + " /dev/null </dev/null"},
                  dir.string(), {});
  EXPECT_NE(r.out.find("reading a run's output from standard input"), std::string::npos) << r.out;
}

TEST_F(Summary, MapShowsEachBlockAsTheLogSaysAndDraws) {
  const std::set<int> failing = {7, 100, 101, 2600, 4095};
  const std::set<int> refused = {2530, 2543};
  const std::string log = oracle_log({}, failing, refused);
  const fs::path svg = dir / "map.svg";
  ASSERT_EQ(summarize(log, {"--svg", svg.string()}).exit_status, 1);
  const std::string text = read_text(svg);
  std::map<int, std::string> want;
  for (int n = 0; n < 4096; ++n)
    want[n] = n >= 2528 && n < 2560 ? "unused" : failing.count(n) != 0 ? "failed" : "formatted";
  for (const TableWrite& t : expected_format(failing, refused).tables)
    want[t.block] = refused.count(t.block) != 0 ? "table-refused" : "table-written";

  const std::map<int, Cell> cells = cells_of(text);
  ASSERT_EQ(cells.size(), 4096u);
  const Cell& origin = cells.at(0);
  for (const auto& [n, cell] : cells) {
    ASSERT_EQ(cell.state, want[n]) << "block " << n;
    ASSERT_EQ(cell.x - origin.x, n % 64 * 10) << "block " << n;
    ASSERT_EQ(cell.y - origin.y, n / 64 * 10) << "block " << n;
  }
  ASSERT_EQ(summarize(log, {"--svg", svg.string()}).exit_status, 1);
  EXPECT_EQ(read_text(svg), text) << "the same log gives the same map";

  // Cut after block 1000's line: the rest was not reached, and of the
  // reserved blocks only those no run writes are unused.
  const std::string block_1000 = "BLOCK 1000 FORMATTED\n";
  const ProcessResult cut_summary =
      summarize(log.substr(0, log.find(block_1000) + block_1000.size()), {"--svg", svg.string()});
  // Blocks 0-1000 but 7, 100 and 101 formatted; the reserved blocks count
  // with the tables, not here.
  EXPECT_NE(cut_summary.out.find("FLASH BLOCKS  : 998 FORMATTED, 3 FAILED, 3063 NOT REACHED\n"),
            std::string::npos)
      << cut_summary.out;
  const std::string cut_text = read_text(svg);
  const std::map<int, Cell> cut = cells_of(cut_text);
  ASSERT_EQ(cut.size(), 4096u);
  EXPECT_EQ(cut.at(1000).state, "formatted");
  EXPECT_EQ(cut.at(1001).state, "not-reached");
  EXPECT_EQ(cut.at(2530).state, "table-refused");
  EXPECT_EQ(cut.at(2531).state, "not-reached");
  EXPECT_EQ(cut.at(2544).state, "not-reached");
  EXPECT_EQ(cut.at(2545).state, "unused");
  EXPECT_EQ(cut.at(4095).state, "not-reached");
  // Three reasons (two kinds of failure and the cut), each on its own line
  // above the grid and its column numbers (9 high, standing on their y).
  const std::vector<std::string> reasons = reasons_in(cut_summary.out);
  ASSERT_EQ(reasons.size(), 3u);
  const auto y_of_text = [&](size_t inside) {
    const size_t at = cut_text.rfind("<text ", inside);
    return attribute(cut_text.substr(at, cut_text.find('>', at) - at), "y");
  };
  const size_t column_0 = cut_text.find(" font-size=\"9\">0</text>");
  ASSERT_NE(column_0, std::string::npos);
  const int grid_top = y_of_text(column_0) - 9;
  for (const std::string& reason : reasons) {
    const std::string label = ">" + reason.substr(0, reason.find(" (")) + "</text>";
    const size_t drawn = cut_text.find(label);
    ASSERT_NE(drawn, std::string::npos) << reason;
    EXPECT_LT(y_of_text(drawn), std::min(grid_top, cut.at(0).y))
        << reason << " drawn over the grid";
  }

  if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "rsvg-convert is not installed (tools/test installs librsvg2-bin)";
  const fs::path png = dir / "map.png";
  ASSERT_EQ(std::system(("rsvg-convert -o " + png.string() + " " + svg.string()).c_str()), 0);
  const std::string image = read_text(png);
  ASSERT_GT(image.size(), 24u);
  EXPECT_EQ(image.substr(0, 8), "\x89PNG\r\n\x1A\n");
  const auto be32 = [&](size_t at) {
    return static_cast<int>(
        static_cast<uint8_t>(image[at]) << 24 | static_cast<uint8_t>(image[at + 1]) << 16 |
        static_cast<uint8_t>(image[at + 2]) << 8 | static_cast<uint8_t>(image[at + 3]));
  };
  const size_t svg_at = cut_text.find("<svg ");
  const std::string svg_tag = cut_text.substr(svg_at, cut_text.find('>', svg_at) - svg_at);
  EXPECT_EQ(be32(16), attribute(svg_tag, "width")) << "PNG width";
  EXPECT_EQ(be32(20), attribute(svg_tag, "height")) << "PNG height";
}

// --svg never writes over a file that is no map of its own, nor over the log
// it reads, by whatever name; --html likewise for pages and results files.
TEST_F(Summary, MapsAndPagesWriteOnlyOverTheirOwnFiles) {
  const std::string log = oracle_log({}, {7}, {});
  std::ofstream(dir / "run.log", std::ios::binary) << log;
  const auto sh = [&](const std::string& command) {
    return run_process({"/bin/sh", "-c", command}, dir.string(), {{"SUMMARY", FLASHPREP_SUMMARY}});
  };
  const auto refused = [&](const ProcessResult& r, const std::string& why, const char* what) {
    EXPECT_EQ(r.exit_status, 2) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_NE(r.err.find(why), std::string::npos) << what << ": " << r.err;
    EXPECT_EQ(read_text(dir / "run.log"), log) << what << ": the log was written over";
  };
  const std::string not_ours = "exists and is no map that flashprep-summary wrote";
  const std::string same = "(the same file), which this run reads";

  // The map's name forgotten: the log is taken for the map and the run's
  // output is awaited on standard input, whether it comes or not.
  refused(sh("exec \"$SUMMARY\" --svg run.log < run.log"), not_ours, "a log on standard input");
  refused(sh("exec \"$SUMMARY\" --svg run.log <&-"), not_ours, "standard input closed");

  // The log it reads, by its name, by another path, by a link.
  fs::create_directory(dir / "sub");
  fs::create_symlink("run.log", dir / "symlink.log");
  fs::create_hard_link(dir / "run.log", dir / "hardlink.log");
  for (const char* name : {"run.log", "sub/../run.log", "symlink.log", "hardlink.log"})
    refused(sh(std::string("exec \"$SUMMARY\" --svg ") + name + " run.log"), same, name);

  // Some other SVG, an empty file: not ours either.
  const std::string drawing = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>\n";
  std::ofstream(dir / "drawing.svg") << drawing;
  refused(sh("exec \"$SUMMARY\" --svg drawing.svg run.log"), not_ours, "another SVG");
  EXPECT_EQ(read_text(dir / "drawing.svg"), drawing);
  std::ofstream(dir / "empty.svg").close();
  refused(sh("exec \"$SUMMARY\" --svg empty.svg run.log"), not_ours, "an empty file");

  // A new map, then the same map written again over itself.
  ProcessResult r = sh("exec \"$SUMMARY\" --svg map.svg run.log");
  EXPECT_EQ(r.exit_status, 1) << r.err;
  const std::string map = read_text(dir / "map.svg");
  EXPECT_NE(map.find("<svg "), std::string::npos);
  std::ofstream(dir / "map.svg", std::ios::binary | std::ios::app) << "<!-- old -->\n";
  r = sh("exec \"$SUMMARY\" --svg map.svg run.log");
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_EQ(read_text(dir / "map.svg"), map) << "a map of its own is written over";

  // The report page: not over the results it reads, nor over another page.
  std::ofstream(dir / "r.jsonl", std::ios::binary) << TestRecord().line();
  const std::string results = read_text(dir / "r.jsonl");
  for (const char* name : {"r.jsonl", "./sub/../r.jsonl"}) {
    r = sh(std::string("exec \"$SUMMARY\" --results r.jsonl --html ") + name);
    EXPECT_EQ(r.exit_status, 2) << name;
    EXPECT_NE(r.err.find(same), std::string::npos) << name << ": " << r.err;
    EXPECT_EQ(read_text(dir / "r.jsonl"), results) << name;
  }
  std::ofstream(dir / "notes.html") << "<html>my notes</html>\n";
  r = sh("exec \"$SUMMARY\" --results r.jsonl --html notes.html");
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("exists and is no report page that flashprep-summary wrote"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_text(dir / "notes.html"), "<html>my notes</html>\n");
  for (int i = 0; i < 2; ++i) {
    r = sh("exec \"$SUMMARY\" --results r.jsonl --html page.html");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(read_text(dir / "page.html").find("<svg id=\"yield-chart\""), std::string::npos);
  }
  // And a map does not go over a page, nor a page over a map.
  refused(sh("exec \"$SUMMARY\" --svg page.html run.log"), not_ours, "a page");
  r = sh("exec \"$SUMMARY\" --results r.jsonl --html map.svg");
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(read_text(dir / "map.svg"), map);
}

TEST_F(Summary, VersionAndHelp) {
  ProcessResult r = run_process({FLASHPREP_SUMMARY, "--version"}, dir.string(), {});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, std::string("flashprep-summary ") + FLASHPREP_VERSION + "\n");
  r = run_process({FLASHPREP_SUMMARY, "--help"}, dir.string(), {});
  EXPECT_EQ(r.exit_status, 0);
  for (const char* told : {"--results RESULTS...", "--since", "--until", "--html FILE",
                           "--csv FILE", "--tz ZONE", "--include-simulated", "First-pass yield",
                           "A port stands out when", "95th percentile", "YYYY-MM-DD"})
    EXPECT_NE(r.out.find(told), std::string::npos) << told;
  for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
           {FLASHPREP_SUMMARY, "--results"},
           {FLASHPREP_SUMMARY, "--html", "page.html", "run.log"},
           {FLASHPREP_SUMMARY, "--since", "2026-12-08", "run.log"},
           {FLASHPREP_SUMMARY, "--csv", "runs.csv", "run.log"},
           {FLASHPREP_SUMMARY, "--tz", "UTC", "run.log"},
           {FLASHPREP_SUMMARY, "--include-simulated", "run.log"},
           {FLASHPREP_SUMMARY, "run.log", "--results", "r.jsonl"},
           {FLASHPREP_SUMMARY, "--results", "r.jsonl", "--svg", "map.svg"},
           {FLASHPREP_SUMMARY, "--results", "r.jsonl", "--until"},
       }) {
    r = run_process(argv, dir.string(), {});
    EXPECT_EQ(r.exit_status, 2) << argv[1];
    EXPECT_EQ(r.out, "") << argv[1];
    EXPECT_NE(r.err.find("usage: flashprep-summary"), std::string::npos) << r.err;
  }
}

}  // namespace
