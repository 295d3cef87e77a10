// The shipped binary against the preloaded simulated board, one test per
// scenario family. Expected output is computed from the tool's rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <thread>

#include "e2e/process.h"
#include "e2e/text_files.h"
#include "image/srecord_writer.h"
#include "run_expectations.h"
#include "util/write_file.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Env = std::map<std::string, std::string>;

constexpr int kDriverBytes = 4000;
// Transfers before the format pass: identify (4), 16 driver blocks (32), init (2).
constexpr long kBeforeFormat = 38;

Bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The completed transfers of a usbmon pcap that the simulated board wrote:
// endpoint and byte count of each, in order.
std::vector<std::pair<int, uint32_t>> completed_transfers(const fs::path& pcap) {
  const Bytes b = read_file(pcap);
  std::vector<std::pair<int, uint32_t>> out;
  size_t at = 24;  // after the file header
  while (at + 16 + 64 <= b.size()) {
    uint32_t captured = 0;
    std::memcpy(&captured, &b[at + 8], 4);
    const uint8_t* usbmon = &b[at + 16];
    if (usbmon[8] == 'C') {
      uint32_t length = 0;
      std::memcpy(&length, usbmon + 32, 4);
      out.emplace_back(usbmon[10], length);
    }
    at += 16 + captured;
  }
  return out;
}

std::set<int> blocks(int first, int last) {
  std::set<int> s;
  for (int b = first; b <= last; ++b)
    if (b < 2528 || b > 2559)
      s.insert(b);
  return s;
}

class E2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/flashprep-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    driver.resize(kDriverBytes);
    uint32_t x = 12345;
    for (uint8_t& b : driver) {
      x = x * 1103515245u + 12345u;
      b = static_cast<uint8_t>(x >> 16);
    }
    ASSERT_TRUE(write_file((dir / "serial_flash.S19").string(),
                           srecord::header_record("e2e") +
                               srecord::data_records(4, kRam, driver.data(), driver.size(), 32) +
                               srecord::terminator_record(4, kRam)));
  }
  void TearDown() override { fs::remove_all(dir); }

  ProcessResult run(Env env) {
    env["FLASHPREP_SIM_STATE"] = (dir / "state").string();
    ProcessResult r = run_process({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), env);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return r;
  }

  Bytes flash() { return read_file(dir / "state" / "flash.bin"); }
  Bytes ram() { return read_file(dir / "state" / "ram.bin"); }
  std::string events() { return read_text(dir / "state" / "events.txt"); }
  int count_events(const std::string& prefix) {
    std::istringstream in(events());
    std::string line;
    int n = 0;
    while (std::getline(in, line))
      n += line.rfind(prefix, 0) == 0;
    return n;
  }

  // How many bytes standard output held as each transfer started.
  std::vector<long> output_at_transfers() {
    std::ifstream in(dir / "state" / "stdout-bytes.txt");
    std::vector<long> sizes;
    for (long n = 0; in >> n;)
      sizes.push_back(n);
    return sizes;
  }

  std::string download() { return expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1); }

  // The tables the board holds match the sums of the blocks as they read now.
  void expect_tables(const FormatExpectation& e, const std::set<int>& refused = {}) {
    const Bytes f = flash();
    ASSERT_EQ(f.size(), 4096u * 256u);
    for (const TableWrite& t : e.tables) {
      if (refused.count(t.block))
        continue;
      for (int i = 0; i < 256; ++i) {
        const int src = t.entries[i];
        const uint8_t want = src < 0 ? 0xFF : block_sum(&f[src * 256]);
        ASSERT_EQ(f[t.block * 256 + i], want) << "table " << t.block << " entry " << i;
      }
    }
  }

  void expect_lines(const std::string& got, const std::string& want) {
    EXPECT_TRUE(same_lines(got, want));
  }

  fs::path dir;
  Bytes driver;
};

TEST_F(E2E, HealthyBoardFullRun) {
  const ProcessResult r = run({});
  const FormatExpectation format = expected_format({});
  expect_lines(r.out, download() + format.lines);
  std::vector<long> paced;
  expected_run(
      kDriverBytes, kRam, kRam + kDriverBytes - 1, [](const Exchange&) { return true; }, &paced);
  EXPECT_TRUE(output_kept_pace(output_at_transfers(), paced));
  EXPECT_EQ(r.err, "");
  Bytes want = driver;
  want.resize(8192, 0xFF);
  EXPECT_EQ(ram(), want);
  EXPECT_EQ(count_events("init"), 1);
  EXPECT_EQ(count_events("format "), 4064);
  EXPECT_EQ(count_events("write "), 17);
  expect_tables(format);
  const Bytes f = flash();
  for (int b = 2545; b < 2560; ++b)
    EXPECT_EQ(Bytes(f.begin() + b * 256, f.begin() + b * 256 + 256), Bytes(256, 0xFF));
  // Weak cells make some sums differ from an all-0xFF block's.
  int uneven = 0;
  for (int b = 0; b < 4096; ++b)
    uneven += block_sum(&f[b * 256]) != 0;
  EXPECT_GT(uneven, 100);
  EXPECT_LT(r.seconds, 5.0);

  const ProcessResult report =
      run_process({FLASHPREP_SIM_REPORT, (dir / "state").string()}, dir.string(), {});
  EXPECT_EQ(report.exit_status, 0);
  EXPECT_NE(report.out.find("blocks formatted     : 4064"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("table blocks written : 17 (2528 to 2544)"), std::string::npos);
  EXPECT_NE(report.out.find("tables MATCH"), std::string::npos);
  EXPECT_NE(report.out.find("table entries checked: 4352"), std::string::npos);
  EXPECT_NE(report.out.find("checked again"), std::string::npos) << "4352 next to 4064 explained";
}

TEST_F(E2E, NoUsableBoardOnTheBus) {
  const Env cases[] = {
      {{"FLASHPREP_SIM_BOARD", "none"}},           {{"FLASHPREP_SIM_BOARD", "wrong-vid"}},
      {{"FLASHPREP_SIM_BOARD", "wrong-pid"}},      {{"FLASHPREP_SIM_REFUSE", "open"}},
      {{"FLASHPREP_SIM_REFUSE", "configuration"}}, {{"FLASHPREP_SIM_REFUSE", "claim"}},
  };
  for (const Env& env : cases) {
    const ProcessResult r = run(env);
    EXPECT_EQ(r.out, "FAIL: UNABLE TO START DRIVER\n") << env.begin()->second;
    EXPECT_EQ(ram(), Bytes(8192, 0xFF));
    EXPECT_EQ(events(), "driver_blocks 0\n");
  }
}

TEST_F(E2E, TwoBoardsOnlyTheFirstIsPrepared) {
  const ProcessResult r = run({{"FLASHPREP_SIM_BOARD", "two"}});
  expect_lines(r.out, download() + expected_format({}).lines);
  EXPECT_EQ(count_events("format "), 4064);
}

TEST_F(E2E, BootloaderThatDoesNotAnswerB) {
  for (const char* mode : {"silent", "wrong"}) {
    const ProcessResult r = run({{"FLASHPREP_SIM_BOOTLOADER", mode}});
    EXPECT_EQ(r.out, "FAIL: BOOTLOADER NOT PRESENT\n") << mode;
    EXPECT_EQ(events(), "driver_blocks 0\n");
  }
}

TEST_F(E2E, SilentBootloaderWaitsOutOneRealTimeOut) {
  const ProcessResult r =
      run({{"FLASHPREP_SIM_BOOTLOADER", "silent"}, {"FLASHPREP_SIM_REAL_TIMEOUTS", "1"}});
  EXPECT_EQ(r.out, "FAIL: BOOTLOADER NOT PRESENT\n");
  EXPECT_GE(r.seconds, 5.0);
  EXPECT_LT(r.seconds, 10.0) << "more than one time-out waited out";
}

TEST_F(E2E, DriverStepFailures) {
  const std::set<int> refused = {1, 2, 15};
  ProcessResult r = run({{"FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS", "1-2,15"}});
  expect_lines(r.out, expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1, refused) +
                          expected_format({}).lines);
  const Bytes m = ram();
  EXPECT_EQ(Bytes(m.begin() + 256, m.begin() + 768), Bytes(512, 0xFF)) << "refused blocks";
  EXPECT_EQ(Bytes(m.begin(), m.begin() + 256), Bytes(driver.begin(), driver.begin() + 256));

  r = run({{"FLASHPREP_SIM_REFUSE_INIT", "1"}});
  EXPECT_EQ(r.out, download() + "FAIL: SERIAL FLASH NOT INITIALIZED\n");
  EXPECT_EQ(count_events("format "), 0);

  fs::remove(dir / "serial_flash.S19");
  r = run({});
  EXPECT_EQ(r.out, "FAIL: SERIAL DRIVER NOT LOADED\n");
  ASSERT_TRUE(write_file((dir / "serial_flash.S19").string(),
                         "S30620000000AAFF\n"));  // checksum should be 0x2F
  r = run({});
  EXPECT_EQ(r.out, "FAIL: SERIAL DRIVER NOT LOADED\n");
  EXPECT_EQ(events(), "driver_blocks 0\n");
}

TEST_F(E2E, FormatFailuresOfChosenBlocks) {
  const Env env = {{"FLASHPREP_SIM_FORMAT_REQUEST_FAILS", "0,255,2600-2602"},
                   {"FLASHPREP_SIM_FORMAT_REPLY_FAILS", "7,4095"},
                   {"FLASHPREP_SIM_SHORT_REPLY", "8"},
                   {"FLASHPREP_SIM_OVERSIZED_REPLY", "9,3000"},
                   {"FLASHPREP_SIM_REFUSE_WRITES", "2530"}};
  const std::set<int> failing = {0, 255, 2600, 2601, 2602, 7, 4095, 8, 9, 3000};
  const ProcessResult r = run(env);
  const FormatExpectation format = expected_format(failing, {2530});
  expect_lines(r.out, download() + format.lines);
  expect_tables(format, {2530});
}

TEST_F(E2E, EveryFormatReplyFailsAndTheRunStillEndsPromptly) {
  const ProcessResult r = run({{"FLASHPREP_SIM_FORMAT_REPLY_FAILS", "all"}});
  const FormatExpectation format = expected_format(blocks(0, 4095));
  expect_lines(r.out, download() + format.lines);
  EXPECT_EQ(count_events("format"), 4064);
  expect_tables(format);  // two tables written, both all 0xFF
  EXPECT_LT(r.seconds, 5.0);
}

TEST_F(E2E, BoardUnpluggedDuringTheFormatPass) {
  // Unplugged once block 99's reply was read: every later transfer fails.
  const long after = kBeforeFormat + 4 * 100;
  const ProcessResult r = run({{"FLASHPREP_SIM_UNPLUG_AFTER", std::to_string(after)}});
  std::set<int> tables;
  for (int t = 2528; t <= 2544; ++t)
    tables.insert(t);
  const FormatExpectation format = expected_format(blocks(100, 4095), tables);
  expect_lines(r.out, download() + format.lines);
  EXPECT_EQ(count_events("format "), 100);
  EXPECT_EQ(count_events("write "), 0);
  EXPECT_LT(r.seconds, 5.0);
}

TEST_F(E2E, SingleFaultsAtChosenTransfers) {
  struct Case {
    std::string fault;
    std::string want;
  } cases[] = {
      // identify's reply header read fails
      {"error@3", "FAIL: BOOTLOADER NOT PRESENT\n"},
      // header of driver block 0
      {"timeout@5", expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1, {0}) +
                        expected_format({}).lines},
      // the init request body
      {"short@38", download() + "FAIL: SERIAL FLASH NOT INITIALIZED\n"},
      // block 0's reply body, then block 1's reply header
      {"short@42,error@45", download() + expected_format({0, 1}).lines},
      // unplugged at block 2's request
      {"unplug@47", download() + expected_format(blocks(2, 4095), {2528, 2529}).lines},
  };
  for (const Case& c : cases) {
    const ProcessResult r = run({{"FLASHPREP_SIM_FAULT", c.fault}});
    SCOPED_TRACE(c.fault);
    expect_lines(r.out, c.want);
  }
}

TEST_F(E2E, InterruptedWhileAFormatReplyIsPending) {
  // Block 5's reply is held until the signals were sent: they come while the
  // host waits for it.
  const fs::path pcap = dir / "run.pcap";
  const std::string hold = (dir / "hold").string();
  const Env env = {{"FLASHPREP_SIM_HOLD_FILE", hold},
                   {"FLASHPREP_SIM_HOLD_BLOCKS", "5"},
                   {"FLASHPREP_SIM_TRACE", pcap.string()},
                   {"FLASHPREP_SIM_STATE", (dir / "state").string()}};
  const std::vector<std::string> argv = {FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY};

  // One SIGINT: block 5's reply is still read and reported, then nothing is
  // sent, the device is closed and the process ends by SIGINT.
  ProcessResult r = run_process(argv, dir.string(), env, {"BLOCK 4 FORMATTED", {SIGINT}, hold});
  EXPECT_EQ(r.signal, SIGINT);
  long transfers = 0;
  std::vector<long> paced;
  const long reply_header = kBeforeFormat + 4 * 5 + 3;
  expect_lines(r.out, expected_stopped_run(kDriverBytes, kRam, kRam + kDriverBytes - 1,
                                           reply_header, &transfers, &paced));
  EXPECT_TRUE(output_kept_pace(output_at_transfers(), paced));
  const auto traced = completed_transfers(pcap);
  ASSERT_EQ(static_cast<long>(traced.size()), transfers) << "the trace is written at the close";
  EXPECT_EQ(traced.back(), std::make_pair(0x81, 257u)) << "the last transfer read the reply";
  EXPECT_EQ(count_events("format "), 6);

  // A second signal while the run waits to stop ends the process at once:
  // by that signal, before the reply and without the close.
  fs::remove_all(dir / "state");
  r = run_process(argv, dir.string(), env, {"BLOCK 4 FORMATTED", {SIGINT, SIGTERM}, hold});
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.out.substr(r.out.rfind("BLOCK ")), "BLOCK 4 FORMATTED\n");
  EXPECT_FALSE(fs::exists(dir / "state")) << "the board saw the device closed";

  // The reader gone before the stop (Ctrl-C ends a `tee` too): block 5's
  // line finds no reader, yet the board is closed and the process ends by
  // the stop's signal, not by SIGPIPE, and says nothing about its output.
  r = run_process(argv, dir.string(), env,
                  {"BLOCK 4 FORMATTED", {SIGINT}, hold, SignalPlan::Output::pipe_closed});
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_EQ(count_events("format "), 6) << "the board saw the device closed";
  EXPECT_EQ(r.err, "");
}

// A stop that lands while a line waits for room in a full pipe: the line
// still goes out whole, so the output ends with the last block the board
// formatted.
TEST_F(E2E, AStopWhileALineWaitsOnAFullPipeKeepsTheLine) {
  // Block 0's reply is held until the test has stopped reading: the rest of
  // the output (more than a pipe holds) comes after that.
  const std::string hold = (dir / "hold").string();
  const Env env = {{"FLASHPREP_SIM_HOLD_FILE", hold},
                   {"FLASHPREP_SIM_HOLD_BLOCKS", "0"},
                   {"FLASHPREP_SIM_STATE", (dir / "state").string()}};
  const ProcessResult r =
      run_process({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), env,
                  {"BLOCK 15 DOWNLOADED", {SIGINT}, hold, SignalPlan::Output::pipe_filled});
  EXPECT_EQ(r.signal, SIGINT);
  int last = -1;
  std::istringstream in(events());
  for (std::string line; std::getline(in, line);)
    if (line.rfind("format ", 0) == 0)
      last = std::stoi(line.substr(7));
  ASSERT_GT(last, 0);
  ASSERT_LT(last, 4095) << "stopped before the end";
  const std::string full = download() + expected_format({}).lines;
  const std::string line = "BLOCK " + std::to_string(last) + " FORMATTED\n";
  expect_lines(r.out, full.substr(0, full.find(line) + line.size()));
}

// Time-outs reported at once move the board's clock by their length, so a
// format slower than the 5 s time-out gives the lines and the board of a
// run with real time-outs, only sooner. The board takes requests one after
// the other and keeps a reply nobody waits for: the next read gets it.
// The runs go side by side, so that they share whatever load the machine
// has: those whose time-outs are reported at once end well before the one
// that waits 5 s out for real, however slow all of them are.
TEST_F(E2E, QuickTimeOutsGiveTheRunThatRealOnesGive) {
  const struct {
    const char* delay;
    const char* blocks;
    bool real;
    std::set<int> failing;
  } cases[] = {
      {"5300", "5", true, {5}},
      {"5300", "5", false, {5}},
      // Block 5's reply is still 5.3 s away when block 6's read starts.
      {"10300", "5", false, {5, 6}},
      // Block 6's format starts when block 5's ends: block 7's read finds
      // block 6's reply 5.3 s away.
      {"5300", "5-6", false, {5, 7}},
  };
  std::vector<std::future<ProcessResult>> runs;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Env env = {{"FLASHPREP_SIM_FORMAT_DELAY_MS", cases[i].delay},
                     {"FLASHPREP_SIM_FORMAT_DELAY_BLOCKS", cases[i].blocks},
                     {"FLASHPREP_SIM_REAL_TIMEOUTS", cases[i].real ? "1" : "0"},
                     {"FLASHPREP_SIM_STATE", (dir / ("state" + std::to_string(i))).string()}};
    runs.push_back(std::async(std::launch::async, [this, env] {
      return run_process({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), env);
    }));
  }
  std::vector<ProcessResult> done;
  for (std::future<ProcessResult>& r : runs)
    done.push_back(r.get());
  const ProcessResult& waited = done[0];
  EXPECT_GE(waited.seconds, 5.3);
  for (size_t i = 0; i < done.size(); ++i) {
    SCOPED_TRACE(std::string(cases[i].delay) + " ms for blocks " + cases[i].blocks);
    EXPECT_EQ(done[i].exit_status, 0) << done[i].err;
    expect_lines(done[i].out, download() + expected_format(cases[i].failing).lines);
    if (i > 0) {
      // Waited out for real, their time-outs would take 5, 10 and 10 s.
      EXPECT_LT(done[i].seconds + 2.5, waited.seconds) << "a time-out waited out for real";
    }
  }
  EXPECT_EQ(done[1].out, waited.out);
  for (const char* file : {"flash.bin", "events.txt"})
    EXPECT_EQ(read_file(dir / "state1" / file), read_file(dir / "state0" / file)) << file;
}

TEST_F(E2E, FlashPersistsBetweenRuns) {
  const std::string flash_file = (dir / "board.flash").string();
  run({{"FLASHPREP_SIM_FLASH", flash_file}});
  const Bytes first = flash();
  ASSERT_EQ(read_file(flash_file), first);
  // A second run that formats and writes nothing leaves the flash as it was.
  run({{"FLASHPREP_SIM_FLASH", flash_file},
       {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS", "all"},
       {"FLASHPREP_SIM_REFUSE_WRITES", "all"}});
  EXPECT_EQ(flash(), first);
  EXPECT_EQ(read_file(flash_file), first);
}

TEST_F(E2E, LauncherHelpAndBadSettings) {
  const ProcessResult help = run_process({FLASHPREP_SIM_LAUNCHER, "--help"}, dir.string(), {});
  EXPECT_EQ(help.exit_status, 0);
  for (const char* var : {"FLASHPREP_SIM_BOARD",
                          "FLASHPREP_SIM_REFUSE=",
                          "FLASHPREP_SIM_BOOTLOADER",
                          "FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS",
                          "FLASHPREP_SIM_REFUSE_INIT",
                          "FLASHPREP_SIM_FORMAT_REQUEST_FAILS",
                          "FLASHPREP_SIM_FORMAT_REPLY_FAILS",
                          "FLASHPREP_SIM_SHORT_REPLY",
                          "FLASHPREP_SIM_OVERSIZED_REPLY",
                          "FLASHPREP_SIM_UNPLUG_AFTER",
                          "FLASHPREP_SIM_FAULT",
                          "FLASHPREP_SIM_REAL_TIMEOUTS",
                          "FLASHPREP_SIM_WEAK_SEED",
                          "FLASHPREP_SIM_FLASH",
                          "FLASHPREP_SIM_STATE",
                          "FLASHPREP_SIM_TRACE",
                          "FLASHPREP_SIM_FORMAT_DELAY_MS",
                          "FLASHPREP_SIM_FORMAT_DELAY_BLOCKS",
                          "FLASHPREP_SIM_HOLD_FILE",
                          "FLASHPREP_SIM_HOLD_BLOCKS",
                          "FLASHPREP_SIM_PENDING_REPLY",
                          "FLASHPREP_SIM_SERIAL",
                          "FLASHPREP_SIM_BOARDS"})
    EXPECT_NE(help.out.find(var), std::string::npos) << var;

  EXPECT_NE(help.out.find("flashprep-sim-report DIR"), std::string::npos);
  // What a board file may hold, and what becomes of one that holds more.
  for (const char* said : {"A board file holds", "no spaces around '='", "# COMMENT",
                           "'flashprep-sim: DIR/NAME: WHY'"})
    EXPECT_NE(help.out.find(said), std::string::npos) << said;

  // Refused before the run, with one line: no run, no file written.
  const std::string user_file = (dir / "mine.bin").string();
  std::ofstream(user_file, std::ios::binary) << "abc";
  const struct {
    Env env;
    const char* says;
  } bad_settings[] = {
      {{{"FLASHPREP_SIM_FAULT", "melt@3"}}, "FLASHPREP_SIM_FAULT"},
      {{{"FLASHPREP_SIM_STATE", (dir / "no" / "state").string()}}, "no folder"},
      {{{"FLASHPREP_SIM_FLASH", (dir / "no" / "flash").string()}}, "no folder"},
      {{{"FLASHPREP_SIM_FLASH", user_file}}, "(3 bytes, 1048576 expected)"},
      {{{"FLASHPREP_SIM_FORMAT_REQUEST_FAILS", "5000"}}, "blocks 0 to 4095"},
      {{{"FLASHPREP_SIM_REFUSE_INIT", "yes"}}, "0 or 1"},
      {{{"FLASHPREP_SIM_BORD", "none"}}, "did you mean FLASHPREP_SIM_BOARD?"},
      {{{"FLASHPREP_SIM_SERIAL", "\tx"}}, "1 to 126 printable ASCII characters"},
      {{{"FLASHPREP_SIM_BOARDS", (dir / "no" / "boards").string()}}, "no such folder"},
      {{{"FLASHPREP_SIM_BOARDS", user_file}}, "no such folder"},
  };
  for (const auto& c : bad_settings) {
    const ProcessResult bad =
        run_process({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), c.env);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(bad.exit_status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find(c.says), std::string::npos) << bad.err;
    EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
  }
  EXPECT_EQ(read_text(user_file), "abc") << "a file that is no flash image is left alone";
  EXPECT_FALSE(fs::exists(dir / "no"));
}

// Every program a user runs answers -h and --help alike, and --version, and
// refuses a command line it does not understand in the same words: the
// reason, its usage and where to read more on standard error, status 2.
TEST_F(E2E, ProgramsAnswerHelpAndVersionAndRefuseBadCommandLines) {
  std::vector<const char*> programs = {FLASHPREP_BINARY, FLASHPREP_SIM_REPORT,
                                       FLASHPREP_MAKE_DRIVER, FLASHPREP_SUMMARY, FLASHPREP_STATION};
#ifndef FLASHPREP_HOST_PROGRAMS_FOREIGN
  programs.push_back(FLASHPREP_SIM_LAUNCHER);
#endif
#ifdef FLASHPREP_SIM_USBREDIR
  programs.push_back(FLASHPREP_SIM_USBREDIR);
#endif
  for (const char* program : programs) {
    SCOPED_TRACE(program);
    const std::string name = fs::path(program).filename().string();
    const ProcessResult help = run_process({program, "--help"}, dir.string(), {});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("usage: " + name, 0), 0u) << help.out;
    EXPECT_NE(help.out.find("\n       " + name + " -h | --help | --version\n"), std::string::npos)
        << help.out;
    EXPECT_EQ(help.err, "");
    const ProcessResult h = run_process({program, "-h"}, dir.string(), {});
    EXPECT_EQ(h.exit_status, 0);
    EXPECT_EQ(h.out, help.out);
    const ProcessResult version = run_process({program, "--version"}, dir.string(), {});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, name + " " + FLASHPREP_VERSION + "\n");
    // A mistyped option is refused, also where it would abbreviate one.
    for (const char* bad : {"--bogus", "--vers"}) {
      const ProcessResult r = run_process({program, bad}, dir.string(), {});
      EXPECT_EQ(r.exit_status, 2) << bad;
      EXPECT_EQ(r.out, "") << bad;
      EXPECT_EQ(r.err.rfind(name + ": unknown option " + bad + "\nusage: " + name, 0), 0u) << r.err;
      const std::string hint = "(" + name + " --help tells more)\n";
      EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), hint.size())), hint) << r.err;
    }
  }
  EXPECT_FALSE(fs::exists(dir / "--help")) << "the driver writer took --help for a path";
  EXPECT_FALSE(fs::exists(dir / "station-logs")) << "the station ran";
  const ProcessResult none =
      run_process({FLASHPREP_SIM_LAUNCHER, "no-such-command"}, dir.string(), {});
  EXPECT_EQ(none.exit_status, 2);
  EXPECT_EQ(none.err.rfind("flashprep-sim: no command no-such-command\nusage: ", 0), 0u)
      << none.err;
  // An option without its value names what it needs.
  for (const auto& c : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{FLASHPREP_STATION, "--logs"}, "flashprep-station: --logs needs a DIR\n"},
           {{FLASHPREP_STATION, "--results="}, "flashprep-station: --results needs a FILE\n"},
           {{FLASHPREP_SUMMARY, "run.log", "--svg"}, "flashprep-summary: --svg needs a FILE\n"},
           {{FLASHPREP_MAKE_DRIVER, "a", "1", "0", "b"},
            "flashprep-make-driver: unexpected argument b\n"},
           {{FLASHPREP_SIM_REPORT}, "flashprep-sim-report: no STATE_DIR to read\n"},
       }) {
    const ProcessResult r = run_process(c.first, dir.string(), {});
    EXPECT_EQ(r.exit_status, 2) << c.second;
    EXPECT_EQ(r.err.rfind(c.second, 0), 0u) << r.err;
  }
  EXPECT_EQ(fs::path(FLASHPREP_SIM_REPORT).parent_path(),
            fs::path(FLASHPREP_SIM_LAUNCHER).parent_path())
      << "the report reader is built beside the other programs";
}

// flashprep with an argument only prints: the board (the first of a folder,
// whose file has it keep a trace) is never opened, its state never written.
TEST_F(E2E, FlashprepWithAnArgumentTouchesNoBoard) {
  const fs::path boards = dir / "boards";
  fs::create_directory(boards);
  const fs::path trace = dir / "a.pcap";
  std::ofstream(boards / "a", std::ios::binary) << "FLASHPREP_SIM_TRACE=" << trace.string() << "\n";
  const Env folder = {{"FLASHPREP_SIM_BOARDS", boards.string()}};
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;  // the start of standard output
    const char* err;
  } cases[] = {
      {{"--help"}, 0, "usage: flashprep\n       flashprep -h | --help | --version\n", ""},
      {{"-h"}, 0, "usage: flashprep\n", ""},
      {{"--version"}, 0, "flashprep " FLASHPREP_VERSION "\n", ""},
      {{"--help", "now"}, 2, "", "flashprep: unexpected argument now\nusage: flashprep\n"},
      {{"serial_flash.S19"}, 2, "", "flashprep: unexpected argument serial_flash.S19\n"},
      {{"--"}, 2, "", "flashprep: unexpected argument --\n"},
      {{"--hel"}, 2, "", "flashprep: unknown option --hel\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProcessResult r = run_process(argv, dir.string(), folder);
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    if (c.status != 0) {
      EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(trace)) << "the board was configured";
    EXPECT_FALSE(fs::exists(boards / "a.state")) << "the board was opened and closed";
  }
  // Without one it runs, as ever: the same board is prepared.
  const ProcessResult run =
      run_process({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), folder);
  EXPECT_EQ(run.exit_status, 0);
  expect_lines(run.out, download() + expected_format({}).lines);
  EXPECT_TRUE(fs::exists(trace));
  EXPECT_TRUE(fs::exists(boards / "a.state" / "events.txt"));
}

// A board file that cannot be used ends the program that opens its board at
// once, with status 2 and one line saying which file and why, before the
// run's first line; a program that only lists the boards goes on.
TEST_F(E2E, ABoardFileThatCannotBeUsedStopsTheProgramThatOpensIt) {
  const fs::path boards = dir / "boards";
  fs::create_directory(boards);
  const Env folder = {{"FLASHPREP_SIM_BOARDS", boards.string()}};
  const std::vector<std::string> argv = {FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY};
  const std::string file = (boards / "b").string();
  const struct {
    const char* text;
    std::string why;
  } cases[] = {
      {"FLASHPREP_SIM_FORMAT_REQUEST_FAIL=7\n",
       "line 1: unknown variable FLASHPREP_SIM_FORMAT_REQUEST_FAIL (did you mean "
       "FLASHPREP_SIM_FORMAT_REQUEST_FAILS? flashprep-sim --help lists them)"},
      {"# a comment\nFLASHPREP_SIM_FORMAT_REQUEST_FAILS = 7\n",
       "line 2: 'FLASHPREP_SIM_FORMAT_REQUEST_FAILS = 7' is not FLASHPREP_SIM_NAME=VALUE (no "
       "spaces around '=')"},
      {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS=7,9000\n",
       "bad value for FLASHPREP_SIM_FORMAT_REQUEST_FAILS: '7,9000' (blocks 0 to 4095: N, N-M, "
       "comma separated, or all; flashprep-sim --help lists the values)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text;
    const ProcessResult r = run_process(argv, dir.string(), folder);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "flashprep-sim: " + file + ": " + c.why + "\n");
    EXPECT_FALSE(fs::exists(boards / "b.state"));
  }
  // Listed after a usable board, it stops nobody who does not open it.
  std::ofstream(boards / "a", std::ios::binary) << "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=7\n";
  const ProcessResult first = run_process(argv, dir.string(), folder);
  EXPECT_EQ(first.exit_status, 0);
  EXPECT_EQ(first.err, "");
  expect_lines(first.out, download() + expected_format({7}).lines);
}

// Two processes on two boards of one folder run side by side, each as it
// would alone; a third one on a board in use is refused and changes nothing.
TEST_F(E2E, BoardsOfOneFolderRunSideBySide) {
  const fs::path boards = dir / "boards";
  fs::create_directory(boards);
  const Env folder = {{"FLASHPREP_SIM_BOARDS", boards.string()}};
  const std::vector<std::string> argv = {FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY};
  auto plug = [&](const char* name, const std::string& text) {
    std::ofstream(boards / name, std::ios::binary) << text;
  };
  // b is held before block 5's format reply until the others have run.
  const fs::path hold = dir / "b.hold";
  const std::string b_faults = "FLASHPREP_SIM_FAULT=short@42,error@45\n";
  plug("b",
       b_faults + "FLASHPREP_SIM_HOLD_FILE=" + hold.string() + "\nFLASHPREP_SIM_HOLD_BLOCKS=5\n");
  std::future<ProcessResult> first =
      std::async(std::launch::async, [&] { return run_process(argv, dir.string(), folder); });
  // Gone before `first`, whose end waits for the run: a test that stops
  // early does not wait for a board held for good.
  struct LetGo {
    fs::path hold;
    ~LetGo() { fs::remove(hold); }
  } let_go{hold};
  ASSERT_TRUE(file_appears(hold.string())) << "b never got to block 5";

  const ProcessResult busy = run_process(argv, dir.string(), folder);
  EXPECT_EQ(busy.out, "FAIL: UNABLE TO START DRIVER\n");
  plug("a", "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=0,255\n");  // listed before b
  const ProcessResult second = run_process(argv, dir.string(), folder);
  EXPECT_EQ(first.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the held run was over before the others";
  fs::remove(hold);
  const ProcessResult one = first.get();

  expect_lines(one.out, download() + expected_format({0, 1}).lines);
  expect_lines(second.out, download() + expected_format({0, 255}).lines);
  // Each board's state is the one its run alone leaves.
  const struct {
    const char* board;
    Env alone;
  } runs[] = {{"b", {{"FLASHPREP_SIM_FAULT", "short@42,error@45"}}},
              {"a", {{"FLASHPREP_SIM_FORMAT_REQUEST_FAILS", "0,255"}}}};
  for (const auto& r : runs) {
    run(r.alone);
    for (const char* file : {"ram.bin", "flash.bin", "events.txt"})
      EXPECT_EQ(read_file(boards / (std::string(r.board) + ".state") / file),
                read_file(dir / "state" / file))
          << r.board << " " << file;
  }
}

TEST_F(E2E, BoardFilePulledOutMidRun) {
  const fs::path boards = dir / "boards";
  fs::create_directory(boards);
  const fs::path hold = dir / "a.hold";
  std::ofstream(boards / "a", std::ios::binary)
      << "FLASHPREP_SIM_HOLD_FILE=" << hold.string() << "\nFLASHPREP_SIM_HOLD_BLOCKS=5\n";
  RunningProcess running({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(),
                         {{"FLASHPREP_SIM_BOARDS", boards.string()}});
  // Pulled out once block 5's request went out, while its reply is held:
  // the host's wait for it ends with the pull-out, the hold never let go.
  ASSERT_TRUE(file_appears(hold.string())) << running.out();
  fs::remove(boards / "a");
  const bool ended = running.wait_for("FAIL: FORMATTING BLOCK 5\n", 60);
  if (!ended)
    fs::remove(hold);  // the run is not left waiting for good
  ASSERT_TRUE(ended) << "the held read outlived the pull-out\n" << running.out();
  const ProcessResult r = running.finish();

  // Unplugged while block 5's reply was on its way: that block and every
  // later one fail at once, as for a vanished board.
  const size_t fail = r.out.find("FAIL: FORMATTING BLOCK ");
  ASSERT_NE(fail, std::string::npos) << r.out;
  const int first_failed = std::atoi(r.out.c_str() + fail + 23);
  EXPECT_EQ(first_failed, 5);
  std::set<int> tables;
  for (int t = 2528; t <= 2544; ++t)
    tables.insert(t);
  expect_lines(r.out, download() + expected_format(blocks(first_failed, 4095), tables).lines);
  const std::string events = read_text(boards / "a.state" / "events.txt");
  EXPECT_NE(events.find("format 0\n"), std::string::npos) << "state saved at the close";
  EXPECT_EQ(events.find("format " + std::to_string(first_failed + 1) + "\n"), std::string::npos)
      << "nothing reached the board after it was pulled out";
}

TEST_F(E2E, TraceThatCannotBeWrittenWholeIsReported) {
  // /dev/full takes the file open and refuses its bytes: a cut trace must
  // not pass for a whole one.
  const ProcessResult r =
      run({{"FLASHPREP_SIM_TRACE", "/dev/full"}, {"FLASHPREP_SIM_REFUSE_INIT", "1"}});
  EXPECT_NE(r.err.find("flashprep-sim: cannot write /dev/full"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("FAIL: SERIAL FLASH NOT INITIALIZED"), std::string::npos);
}

// Output that cannot be written at all is said once on standard error; the
// run goes on and the status stays 0.
TEST_F(E2E, OutputThatCannotBeWrittenIsSaidOnce) {
  const ProcessResult r = run_process(
      {"/bin/sh", "-c",
       std::string("exec ") + FLASHPREP_SIM_LAUNCHER + " " + FLASHPREP_BINARY + " >/dev/full"},
      dir.string(),
      {{"FLASHPREP_SIM_REFUSE_INIT", "1"}, {"FLASHPREP_SIM_STATE", (dir / "state").string()}});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "flashprep: cannot write standard output\n");
  EXPECT_EQ(count_events("driver_blocks 16"), 1) << "the run went on";
}

TEST_F(E2E, TraceOpensInTshark) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed (tools/test installs it)";
  const std::string pcap = (dir / "run.pcap").string();
  run({{"FLASHPREP_SIM_TRACE", pcap}, {"FLASHPREP_SIM_REFUSE_INIT", "1"}});
  const std::string fields = (dir / "fields.txt").string();
  const std::string cmd = "tshark -r " + pcap +
                          " -T fields -E separator=, -e usb.urb_type -e usb.endpoint_address"
                          " -e usb.transfer_type -e usb.urb_status -e usb.capdata > " +
                          fields + " 2>" + (dir / "tshark.err").string();
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_text(dir / "tshark.err");
  std::istringstream in(read_text(fields));
  std::vector<std::string> rows;
  std::string row;
  while (std::getline(in, row))
    rows.push_back(row);
  // identify (4) + 16 driver blocks (32) + the refused init (2): two records each.
  ASSERT_EQ(rows.size(), 2u * 38u);
  auto lower = [](std::string s) {
    for (char& c : s)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  EXPECT_EQ(lower(rows[0]), "'s',0x02,0x03,-115,0001");
  EXPECT_EQ(lower(rows[2]), "'s',0x02,0x03,-115,00");
  EXPECT_EQ(lower(rows[5]), "'c',0x81,0x03,0,0009") << "identify reply header";
  EXPECT_EQ(lower(rows[7]).substr(0, 20), "'c',0x81,0x03,0,4242") << "identify reply body";
  EXPECT_EQ(lower(rows.back()), "'c',0x02,0x03,-32,") << "the stalled init request";
}

}  // namespace
