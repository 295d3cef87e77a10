// flashprep-station against the preloaded simulated boards: each board's log
// is what flashprep prints for that board alone, stop requests reach every
// board once, and the exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "e2e/process.h"
#include "e2e/station_fixture.h"
#include "run_expectations.h"

namespace {

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

// Boards of one folder, each with its own trouble: every log and board state
// is the one flashprep leaves on that board alone, and a board waiting out
// its time-outs holds up no other.
TEST_F(Station, EveryBoardAsItsRunAloneWhateverTheOthersDo) {
  const std::map<std::string, std::string> boards = {
      {"a", ""},
      {"b", "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=7\nFLASHPREP_SIM_FAULT=short@42\n"},
      {"c", "FLASHPREP_SIM_UNPLUG_AFTER=300\n"},
      {"d", "FLASHPREP_SIM_BOOTLOADER=silent\nFLASHPREP_SIM_REAL_TIMEOUTS=1\n"}};
  for (const auto& [name, text] : boards)
    plug("boards", name, text);
  const ProcessResult r = station(folder("boards"));
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  // Block k's format takes transfers kBeforeFormat + 4k + 1 to + 4: b's
  // transfer 42 is block 2's reply, and c vanishes in block 67's.
  EXPECT_GE(r.seconds, 5.0) << "d waited out its time-out";
  const std::vector<std::string> events = events_without_seconds(r.out);
  EXPECT_EQ(std::vector<std::string>(events.begin() + 8, events.end()),
            (std::vector<std::string>{"FINISHED sim-a READY",
                                      "FINISHED sim-b NOT READY: BLOCKS NOT FORMATTED: 2 (2, 7)",
                                      "FINISHED sim-c NOT READY: BLOCKS NOT FORMATTED: 3997 "
                                      "(67-2527, 2560-4095)",
                                      "FINISHED sim-d NOT READY: RUN STOPPED: FAIL: BOOTLOADER "
                                      "NOT PRESENT",
                                      "DONE 1 READY, 3 NOT READY"}))
      << r.out;
  const size_t a_done = r.out.find("FINISHED sim-a ");
  ASSERT_NE(a_done, std::string::npos);
  EXPECT_LT(std::atof(r.out.c_str() + a_done + 15), 3.0) << "a kept its own pace";
  EXPECT_EQ(log("sim-d"), "FAIL: BOOTLOADER NOT PRESENT\n");

  for (const char* name : {"a", "b", "c"}) {
    plug(std::string("alone-") + name, name, boards.at(name));
    const ProcessResult alone = flashprep_alone(folder(std::string("alone-") + name));
    EXPECT_EQ(log(std::string("sim-") + name), alone.out) << name;
    for (const char* file : {"ram.bin", "flash.bin", "events.txt"})
      EXPECT_EQ(
          read_text(dir / "boards" / (std::string(name) + ".state") / file),
          read_text(dir / ("alone-" + std::string(name)) / (std::string(name) + ".state") / file))
          << name << " " << file;
  }
  EXPECT_TRUE(same_lines(log("sim-a"), full_run()));
}

// A board in use by another station is refused to a second station and to
// flashprep, and the run that holds it goes on undisturbed.
TEST_F(Station, ABoardInUseIsLeftToItsHolder) {
  plug("boards", "a", "FLASHPREP_SIM_FORMAT_DELAY_MS=1500\nFLASHPREP_SIM_FORMAT_DELAY_BLOCKS=5\n");
  std::future<ProcessResult> holder =
      std::async(std::launch::async, [&] { return station(folder("boards")); });
  for (int i = 0; i < 1000 && log("sim-a").find("BLOCK 4 FORMATTED") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const ProcessResult second = station(folder("boards"), {"--logs", "second"});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_EQ(log("sim-a", "second"), "FAIL: UNABLE TO START DRIVER\n");
  EXPECT_EQ(flashprep_alone(folder("boards")).out, "FAIL: UNABLE TO START DRIVER\n");
  EXPECT_EQ(holder.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the holder was over before the others";
  const ProcessResult first = holder.get();
  EXPECT_EQ(first.exit_status, 0) << first.out;
  EXPECT_TRUE(same_lines(log("sim-a"), full_run()));
}

TEST_F(Station, ExitStatuses) {
  // Devices of another product, even of the board's maker, are no boards.
  ProcessResult r;
  for (const char* bus : {"none", "wrong-pid", "wrong-vid"}) {
    r = station({{"FLASHPREP_SIM_BOARD", bus}});
    EXPECT_EQ(r.exit_status, 2) << bus;
    EXPECT_EQ(r.out, "NO BOARD FOUND\n") << bus;
    EXPECT_FALSE(fs::exists(dir / "station-logs")) << bus;
  }

  // Block 9 fails to format on both boards: the first reason of the
  // summary's rules, and status 1.
  r = station({{"FLASHPREP_SIM_BOARD", "two"}, {"FLASHPREP_SIM_FORMAT_REQUEST_FAILS", "9"}},
              {"--results", "results.jsonl"});
  EXPECT_EQ(r.exit_status, 1);
  // One pass keeps its records too: one line per board, naming its log.
  const std::string results = read_text(dir / "results.jsonl");
  EXPECT_EQ(std::count(results.begin(), results.end(), '\n'), 2) << results;
  for (const char* board : {"001-002", "002-002"})
    EXPECT_NE(results.find(std::string("{\"board\":\"") + board + "\",\"start\":\"20"),
              std::string::npos)
        << results;
  for (const char* board : {"001-002", "002-002"})
    EXPECT_NE(results.find(std::string("\"reasons\":[\"BLOCKS NOT FORMATTED: 1 (9)\"],") +
                           "\"log\":\"station-logs/" + board + ".log\""),
              std::string::npos)
        << results;
  EXPECT_NE(r.out.find(" NOT READY: BLOCKS NOT FORMATTED: 1 (9)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DONE 0 READY, 2 NOT READY\n"), std::string::npos) << r.out;
  EXPECT_TRUE(same_lines(
      log("002-002"),
      expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1) + expected_format({9}).lines));
  // A later run's log replaces the earlier one whole.
  r = station({{"FLASHPREP_SIM_BOARD", "two"}, {"FLASHPREP_SIM_BOOTLOADER", "silent"}});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(log("002-002"), "FAIL: BOOTLOADER NOT PRESENT\n");

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--logs"}, {"--logs", ""}, {"--results"}, {"extra"}, {"-x"}, {"--run-board", "001"}}) {
    r = station({}, args);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_NE(r.err.find("usage: flashprep-station"), std::string::npos) << args[0];
  }
  // Logs or records that cannot be kept: no board is started without them.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--logs", "results.jsonl/logs"}, {"--results", "no-such-folder/r.jsonl"}}) {
    r = station({{"FLASHPREP_SIM_BOARD", "two"}}, args);
    EXPECT_EQ(r.exit_status, 2) << args[1];
    EXPECT_EQ(r.out.find("STARTED"), std::string::npos) << args[1] << "\n" << r.out;
    EXPECT_NE(r.err.find("flashprep-station: "), std::string::npos) << args[1];
  }
  r = station({}, {"--help"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.rfind("usage: flashprep-station [--watch] [--logs DIR] [--results FILE]\n", 0),
            0u)
      << r.out;
  r = station({}, {"--version"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.rfind("flashprep-station ", 0), 0u) << r.out;
}

// Each board's process gets the request once: it completes the exchange in
// flight (block 5's reply comes late), writes its line and closes its board;
// the station waits for both and ends by that signal. A process that got the
// request twice would end before block 5's line.
TEST_F(Station, AStopRequestReachesEveryBoardOnce) {
  long transfers = 0;
  const std::string stopped = expected_stopped_run(kDriverBytes, kRam, kRam + kDriverBytes - 1,
                                                   kBeforeFormat + 4 * 5 + 3, &transfers);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    fs::remove_all(dir / "boards");
    fs::remove_all(dir / "station-logs");
    for (const char* name : {"a", "b"})
      plug("boards", name,
           "FLASHPREP_SIM_FORMAT_DELAY_MS=2500\nFLASHPREP_SIM_FORMAT_DELAY_BLOCKS=5\n");
    const ProcessResult r =
        station(folder("boards"), {}, {"STARTED sim-b station-logs/sim-b.log", {signal}, 800, 0});
    EXPECT_EQ(r.signal, signal) << r.out << r.err;
    EXPECT_NE(r.out.find("STOPPING ON SIGNAL " + std::to_string(signal) + "\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("DONE 0 READY, 2 NOT READY\n"), std::string::npos) << r.out;
    for (const char* name : {"a", "b"}) {
      EXPECT_TRUE(same_lines(log(std::string("sim-") + name), stopped)) << signal;
      // The state is saved when the board is closed, not when a process
      // is killed.
      const std::string events =
          read_text(dir / "boards" / (std::string(name) + ".state") / "events.txt");
      EXPECT_NE(events.find("format 5\n"), std::string::npos) << name << " " << signal;
      EXPECT_EQ(events.find("format 6\n"), std::string::npos) << name << " " << signal;
    }
  }
}

}  // namespace
