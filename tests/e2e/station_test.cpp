// flashprep-station against the preloaded simulated boards: each board's log
// is what flashprep prints for that board alone, stop requests reach every
// board once, and the exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e/process.h"
#include "image/srecord_writer.h"
#include "run_expectations.h"

namespace {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

constexpr uint32_t kRam = 0x20000000;
constexpr int kDriverBytes = 3000;
// Transfers before the format pass: identify (4), 12 driver blocks (24), init (2).
constexpr long kBeforeFormat = 30;

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/flashprep-station-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    std::vector<uint8_t> driver(kDriverBytes);
    for (size_t i = 0; i < driver.size(); ++i)
      driver[i] = static_cast<uint8_t>(i * 31 + 7);
    ASSERT_TRUE(
        srecord::write_file((dir / "serial_flash.S19").string(),
                            srecord::header_record("station") +
                                srecord::data_records(4, kRam, driver.data(), driver.size(), 32) +
                                srecord::terminator_record(4, kRam)));
  }
  void TearDown() override { fs::remove_all(dir); }

  ProcessResult station(const Env& env, std::vector<std::string> args = {},
                        const SignalPlan& plan = SignalPlan()) {
    std::vector<std::string> argv = {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, dir.string(), env, plan);
  }
  ProcessResult flashprep_alone(const Env& env) {
    return run_process({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), env);
  }
  std::string log(const std::string& name, const std::string& logs = "station-logs") {
    return read_text(dir / logs / (name + ".log"));
  }
  static std::string full_run() {
    return expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1) +
           expected_format({}).lines;
  }

  fs::path dir;
};

// The event lines, FINISHED lines with their seconds taken out (the one
// field that varies from run to run) and in name order (boards finish in
// any order).
std::vector<std::string> events_without_seconds(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("FINISHED ", 0) == 0) {
      const size_t name_end = line.find(' ', 9);
      const size_t seconds_end = line.find(' ', name_end + 1);
      line = line.substr(0, name_end) + line.substr(seconds_end);
    }
    lines.push_back(line);
  }
  const auto finished = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("FINISHED ", 0) == 0;
  });
  std::sort(finished, std::find(finished, lines.end(), lines.back()));
  return lines;
}

TEST_F(Station, EachBoardsLogIsItsRunAlone) {
  const ProcessResult r = station({{"FLASHPREP_SIM_BOARD", "two"}}, {"--logs", "out"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(
      events_without_seconds(r.out),
      (std::vector<std::string>{"FOUND 001-002", "FOUND 002-002", "STARTED 001-002 out/001-002.log",
                                "STARTED 002-002 out/002-002.log", "FINISHED 001-002 READY",
                                "FINISHED 002-002 READY", "DONE 2 READY, 0 NOT READY"}))
      << r.out;
  const ProcessResult alone = flashprep_alone({});
  EXPECT_TRUE(same_lines(alone.out, full_run()));
  EXPECT_EQ(log("001-002", "out"), alone.out);
  EXPECT_EQ(log("002-002", "out"), alone.out);
  const ProcessResult summary =
      run_process({FLASHPREP_SUMMARY, (dir / "out" / "002-002.log").string()}, dir.string(), {});
  EXPECT_EQ(summary.exit_status, 0) << summary.out;
}

TEST_F(Station, ExitStatuses) {
  ProcessResult r = station({{"FLASHPREP_SIM_BOARD", "none"}});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, "NO BOARD FOUND\n");
  EXPECT_FALSE(fs::exists(dir / "station-logs"));

  // Block 9 fails to format on both boards: the first reason of the
  // summary's rules, and status 1.
  r = station({{"FLASHPREP_SIM_BOARD", "two"}, {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS", "9"}});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find(" NOT READY: BLOCKS NOT FORMATTED: 1 (9)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DONE 0 READY, 2 NOT READY\n"), std::string::npos) << r.out;
  EXPECT_TRUE(same_lines(
      log("002-002"),
      expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1) + expected_format({9}).lines));

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--logs"}, {"--logs", ""}, {"extra"}, {"-x"}, {"--run-board", "001"}}) {
    r = station({}, args);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_NE(r.err.find("usage: flashprep-station"), std::string::npos) << args[0];
  }
  r = station({}, {"--help"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.rfind("usage: flashprep-station [--logs DIR]\n", 0), 0u) << r.out;
  r = station({}, {"--version"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.rfind("flashprep-station ", 0), 0u) << r.out;
}

// Each board's process gets the request once: it completes the exchange in
// flight (block 5's reply comes late) and writes its line, then stops; the
// station waits for both and ends by that signal. A process that got the
// request twice would end before block 5's line.
TEST_F(Station, AStopRequestReachesEveryBoardOnce) {
  const Env env = {{"FLASHPREP_SIM_BOARD", "two"},
                   {"FLASHPREP_SIM_FORMAT_DELAY_MS", "2500"},
                   {"FLASHPREP_SIM_FORMAT_DELAY_BLOCKS", "5"}};
  long transfers = 0;
  const std::string stopped = expected_stopped_run(kDriverBytes, kRam, kRam + kDriverBytes - 1,
                                                   kBeforeFormat + 4 * 5 + 3, &transfers);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    fs::remove_all(dir / "station-logs");
    const ProcessResult r =
        station(env, {}, {"STARTED 002-002 station-logs/002-002.log", {signal}, 800, 0});
    EXPECT_EQ(r.signal, signal) << r.out << r.err;
    EXPECT_NE(r.out.find("STOPPING ON SIGNAL " + std::to_string(signal) + "\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("DONE 0 READY, 2 NOT READY\n"), std::string::npos) << r.out;
    EXPECT_TRUE(same_lines(log("001-002"), stopped)) << signal;
    EXPECT_TRUE(same_lines(log("002-002"), stopped)) << signal;
  }
}

}  // namespace
