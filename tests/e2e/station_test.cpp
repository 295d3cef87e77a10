// flashprep-station against the preloaded simulated boards: each board's log
// is what flashprep prints for that board alone, every run has a log of its
// own that nothing else writes, stop requests reach every board once, what
// cannot be written is said, and the exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e/process.h"
#include "e2e/station_fixture.h"
#include "run_expectations.h"

namespace {

// The event lines, FINISHED lines with their seconds taken out (the one
// field that varies from run to run), the logs' start times as T, and the
// FINISHED lines in name order (boards finish in any order).
std::vector<std::string> events_without_times(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("FINISHED ", 0) == 0) {
      const size_t name_end = line.find(' ', 9);
      const size_t seconds_end = line.find(' ', name_end + 1);
      line = line.substr(0, name_end) + line.substr(seconds_end);
    }
    lines.push_back(std::regex_replace(line, std::regex(R"(\.\d{8}T\d{6}Z\.log)"), ".T.log"));
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
  EXPECT_EQ(events_without_times(r.out),
            (std::vector<std::string>{"FOUND 001-002", "FOUND 002-002",
                                      "STARTED 001-002 out/001-002.T.log",
                                      "STARTED 002-002 out/002-002.T.log", "FINISHED 001-002 READY",
                                      "FINISHED 002-002 READY", "DONE 2 READY, 0 NOT READY"}))
      << r.out;
  const ProcessResult alone = flashprep_alone({});
  EXPECT_TRUE(same_lines(alone.out, full_run()));
  EXPECT_EQ(log("001-002", "out"), alone.out);
  EXPECT_EQ(log("002-002", "out"), alone.out);
  // Nothing on a board's standard error: no file of it is left.
  for (const auto& entry : fs::directory_iterator(dir / "out"))
    EXPECT_NE(entry.path().extension(), ".err") << entry.path();
  const ProcessResult summary = run_process(
      {FLASHPREP_SUMMARY, (dir / started_logs(r.out, "002-002").at(0)).string()}, dir.string(), {});
  EXPECT_EQ(summary.exit_status, 0) << summary.out;
}

// Boards of one folder, each with its own trouble: every log and board state
// is the one flashprep leaves on that board alone, and a board waiting for
// a reply (out its time-outs, or held) holds up no other.
TEST_F(Station, EveryBoardAsItsRunAloneWhateverTheOthersDo) {
  const std::map<std::string, std::string> boards = {
      {"a", ""},
      {"b", "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=7\nFLASHPREP_SIM_FAULT=short@42\n"},
      {"c", "FLASHPREP_SIM_UNPLUG_AFTER=300\n"},
      {"d", "FLASHPREP_SIM_BOOTLOADER=silent\nFLASHPREP_SIM_REAL_TIMEOUTS=1\n"}};
  for (const auto& [name, text] : boards)
    plug("boards", name, name == "b" ? text + held_before("b", "5") : text);
  RunningProcess s({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION}, dir.string(), folder("boards"));
  // a runs to its end while b waits for block 5's reply.
  ASSERT_TRUE(holding("b")) << s.out();
  ASSERT_TRUE(s.wait_for("FINISHED sim-a ", 60)) << s.out();
  let_go("b");
  const ProcessResult r = s.finish();
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  // Block k's format takes transfers kBeforeFormat + 4k + 1 to + 4: b's
  // transfer 42 is block 2's reply, and c vanishes in block 67's (for its
  // own process only: its file stays, so the station still sees it).
  EXPECT_GE(r.seconds, 5.0) << "d waited out its time-out";
  const std::vector<std::string> events = events_without_times(r.out);
  EXPECT_EQ(std::vector<std::string>(events.begin() + 8, events.end()),
            (std::vector<std::string>{"FINISHED sim-a READY",
                                      "FINISHED sim-b NOT READY: BLOCKS NOT FORMATTED: 2 (2, 7)",
                                      "FINISHED sim-c NOT READY: BLOCKS NOT FORMATTED: 3997 "
                                      "(67-2527, 2560-4095)",
                                      "FINISHED sim-d NOT READY: RUN STOPPED: FAIL: BOOTLOADER "
                                      "NOT PRESENT",
                                      "DONE 1 READY, 3 NOT READY"}))
      << r.out;
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

// A board in use by another station with logs of its own is refused to that
// station and to flashprep, and the run that holds it goes on undisturbed.
// A second station on the same logs folder or results file is refused
// before it touches a board, naming the first; a killed station's claim
// dies with it.
TEST_F(Station, OneStationPerBoardPerLogsFolderPerResultsFile) {
  plug("boards", "a", held_before("a", "5"));
  RunningProcess holder({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--results", "r.jsonl"},
                        dir.string(), folder("boards"));
  ASSERT_TRUE(holding("a")) << holder.out();

  // A board another station holds is busy: neither started nor recorded.
  const ProcessResult second =
      station(folder("boards"), {"--logs", "second", "--results", "second.jsonl"});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_NE(second.out.find("BUSY sim-a: held by another process\n"), std::string::npos)
      << second.out;
  EXPECT_NE(second.out.find("DONE 0 READY, 0 NOT READY, 1 BUSY\n"), std::string::npos)
      << second.out;
  EXPECT_TRUE(logs_of("sim-a", "second").empty());
  EXPECT_EQ(read_text(dir / "second.jsonl"), "");
  EXPECT_EQ(flashprep_alone(folder("boards")).out, "FAIL: UNABLE TO START DRIVER\n");

  const std::string pid = std::to_string(holder.pid());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--watch"},
        std::vector<std::string>{"--logs", "third", "--results", "r.jsonl"}}) {
    const ProcessResult refused = station(folder("boards"), args);
    // Held now: a service tries again later.
    EXPECT_EQ(refused.exit_status, 3) << refused.out;
    EXPECT_EQ(refused.out, "") << "a board was looked at";
    EXPECT_NE(refused.err.find("is held by flashprep-station process " + pid), std::string::npos)
        << refused.err;
  }
  EXPECT_EQ(read_text(dir / "station-logs" / ".flashprep-station.lock"), pid + "\n");

  let_go("a");
  const ProcessResult first = holder.finish();
  EXPECT_EQ(first.exit_status, 0) << first.out;
  ASSERT_EQ(logs_of("sim-a").size(), 1u) << "a second run wrote a log beside the first";
  EXPECT_TRUE(same_lines(log("sim-a"), full_run()));
  EXPECT_EQ(records("r.jsonl").size(), 1u);

  // Killed outright, a station leaves its lock file, not its claim.
  {
    fs::create_directories(dir / "empty");
    RunningProcess killed({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch"}, dir.string(),
                          folder("empty"));
    ASSERT_TRUE(
        file_reaches("station-logs/.flashprep-station.lock", std::to_string(killed.pid()) + "\n"));
    killed.signal(SIGKILL);
    killed.finish();
  }
  plug("boards", "a", "");  // held no more
  const ProcessResult after = station(folder("boards"));
  EXPECT_EQ(after.exit_status, 0) << after.err;
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
              {"--results", "results.jsonl", "--station", "bench-7"});
  EXPECT_EQ(r.exit_status, 1);
  // One pass keeps its records too: one line per board, naming its log.
  const std::vector<nlohmann::json> recs = records("results.jsonl");
  ASSERT_EQ(recs.size(), 2u) << read_text(dir / "results.jsonl");
  // The image each board was given, as the test made it.
  const ProcessResult sum =
      run_process({"/usr/bin/sha256sum", "serial_flash.S19"}, dir.string(), {});
  ASSERT_EQ(sum.exit_status, 0) << sum.err;
  char start[9];
  char end[9];
  (void)std::snprintf(start, sizeof start, "%08X", static_cast<unsigned>(kRam));
  (void)std::snprintf(end, sizeof end, "%08X", static_cast<unsigned>(kRam + kDriverBytes - 1));
  const nlohmann::json image = {{"file", "serial_flash.S19"},
                                {"sha256", sum.out.substr(0, 64)},
                                {"bytes", kDriverBytes},
                                {"start", start},
                                {"end", end},
                                {"blocks", (kDriverBytes + 255) / 256}};
  for (const nlohmann::json& rec : recs) {
    EXPECT_EQ(rec["image"], image);
    const std::string board = rec.value("board", "");
    ASSERT_EQ(started_logs(r.out, board).size(), 1u) << board;
    EXPECT_EQ(rec.value("log", ""), started_logs(r.out, board)[0]);
    EXPECT_EQ(rec["reasons"], nlohmann::json::array({"BLOCKS NOT FORMATTED: 1 (9)"}));
    EXPECT_EQ(rec["station"], "bench-7");
    EXPECT_EQ(rec["failed_blocks"], nlohmann::json::parse("[[9,9]]"));
    EXPECT_EQ(rec["counts"]["flash_failed"], 1);
    EXPECT_EQ(rec["counts"]["flash_formatted"], 4063);
  }
  EXPECT_NE(r.out.find(" NOT READY: BLOCKS NOT FORMATTED: 1 (9)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DONE 0 READY, 2 NOT READY\n"), std::string::npos) << r.out;
  const std::string first_log = log("002-002");
  EXPECT_TRUE(same_lines(first_log, expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1) +
                                        expected_format({9}).lines));

  // A later run in the same folder has a log of its own: the earlier one,
  // and the record that names it, stay true.
  r = station({{"FLASHPREP_SIM_BOARD", "two"}, {"FLASHPREP_SIM_BOOTLOADER", "silent"}},
              {"--results", "results.jsonl"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(log("002-002"), "FAIL: BOOTLOADER NOT PRESENT\n");
  ASSERT_EQ(logs_of("002-002").size(), 2u);
  EXPECT_EQ(read_text(logs_of("002-002")[0]), first_log);
  EXPECT_EQ(read_text(dir / recs[0].value("log", "")),
            recs[0]["board"] == "002-002" ? first_log : read_text(logs_of("001-002")[0]));
  EXPECT_EQ(records("results.jsonl").size(), 4u);

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--logs"},
                                             {"--logs", ""},
                                             {"--results"},
                                             {"--station"},
                                             {"extra"},
                                             {"-x"},
                                             {"--run-board", "001"}}) {
    r = station({}, args);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_NE(r.err.find("usage: flashprep-station"), std::string::npos) << args[0];
  }
  // Logs or records that cannot be kept, or a driver image every board
  // would fail on: no board is started.
  // One record whose checksum is wrong (00 where 7E belongs).
  std::ofstream(dir / "bad.S19") << "S30D20000000001122334455667700\n";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--logs", "results.jsonl/logs"}, {"--results", "no-such-folder/r.jsonl"}}) {
    r = station({{"FLASHPREP_SIM_BOARD", "two"}}, args);
    EXPECT_EQ(r.exit_status, 3) << args[1];
    EXPECT_EQ(r.out.find("STARTED"), std::string::npos) << args[1] << "\n" << r.out;
    EXPECT_NE(r.err.find("flashprep-station: "), std::string::npos) << args[1];
  }
  fs::rename(dir / "serial_flash.S19", dir / "good.S19");
  for (const char* image : {"", "bad.S19"}) {
    if (*image != '\0')
      fs::copy_file(dir / image, dir / "serial_flash.S19");
    for (const char* mode : {"--logs", "--watch"}) {
      r = station({{"FLASHPREP_SIM_BOARD", "two"}}, std::string(mode) == "--watch"
                                                        ? std::vector<std::string>{"--watch"}
                                                        : std::vector<std::string>{"--logs", "x"});
      EXPECT_EQ(r.exit_status, 2) << image << mode;
      EXPECT_EQ(r.out, "") << image << mode;
      EXPECT_NE(
          r.err.find(*image == '\0' ? "cannot read serial_flash.S19: No such file"
                                    : "serial_flash.S19 has a record whose checksum is wrong"),
          std::string::npos)
          << r.err;
    }
  }
  r = station({}, {"--help"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.rfind("usage: flashprep-station [--watch] [--logs DIR] [--results FILE]", 0), 0u)
      << r.out;
  r = station({}, {"--version"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.rfind("flashprep-station ", 0), 0u) << r.out;
}

// Each board's process gets the request once: it completes the exchange in
// flight (block 5's reply, held until then), writes its line and closes its board;
// the station waits for both, tells why they are NOT READY and ends by that
// signal. A process that got the request twice would end before block 5's
// line.
TEST_F(Station, AStopRequestReachesEveryBoardOnce) {
  long transfers = 0;
  const std::string stopped = expected_stopped_run(kDriverBytes, kRam, kRam + kDriverBytes - 1,
                                                   kBeforeFormat + 4 * 5 + 3, &transfers);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    fs::remove_all(dir / "boards");
    fs::remove_all(dir / "station-logs");
    for (const char* name : {"a", "b"})
      plug("boards", name, held_before(name, "5"));
    RunningProcess s({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION}, dir.string(), folder("boards"));
    // Both boards wait for block 5's reply: the request finds them there,
    // and they answer once the station says it passed the request on.
    ASSERT_TRUE(holding("a") && holding("b")) << s.out();
    s.signal(signal);
    ASSERT_TRUE(s.wait_for("STOPPING ON SIGNAL " + std::to_string(signal) + "\n", 60)) << s.out();
    let_go("a");
    let_go("b");
    const ProcessResult r = s.finish();
    EXPECT_EQ(r.signal, signal) << r.out << r.err;
    EXPECT_NE(r.out.find("STOPPING ON SIGNAL " + std::to_string(signal) + "\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("DONE 0 READY, 2 NOT READY\n"), std::string::npos) << r.out;
    for (const char* name : {"a", "b"}) {
      EXPECT_NE(r.out.find("FINISHED sim-" + std::string(name)), std::string::npos);
      EXPECT_TRUE(std::regex_search(r.out, std::regex("FINISHED sim-" + std::string(name) +
                                                      " [0-9.]+ NOT READY: STOPPED BY SIGNAL " +
                                                      std::to_string(signal) + "\n")))
          << r.out;
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

// A second request ends the station at once, yet every board started has
// its record: judged by what its log holds, stopped and not waited for. The
// boards still end their exchange and close by themselves.
TEST_F(Station, ASecondStopRequestStillRecordsEveryBoard) {
  // The second request once the station says it is stopping, and two at
  // once (before the station has passed the first on to its boards): two
  // different signals, since two of one kind sent together may arrive as
  // one.
  for (const bool at_once : {false, true}) {
    SCOPED_TRACE(at_once ? "both requests at once" : "the second after STOPPING");
    const std::string boards = at_once ? "boards-2" : "boards-1";
    for (const char* name : {"a", "b"})
      plug(boards, name, held_before(boards + name, "5"));
    const std::string results = boards + ".jsonl";
    RunningProcess s({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--results", results},
                     dir.string(), folder(boards));
    for (const char* name : {"a", "b"})
      ASSERT_TRUE(holding(boards + name)) << s.out();
    s.signal(SIGINT);
    if (!at_once) {
      ASSERT_TRUE(s.wait_for("STOPPING ON SIGNAL 2\n", 60)) << s.out();
    }
    s.signal(at_once ? SIGTERM : SIGINT);
    // Done, the station has passed the first request on and given up on the
    // boards; it ends once their processes have.
    ASSERT_TRUE(s.wait_for("DONE 0 READY, 2 NOT READY\n", 60)) << s.out();
    for (const char* name : {"a", "b"})
      let_go(boards + name);
    const ProcessResult r = s.finish();
    // The station ends by the request it took first (SIGINT, unless the
    // system delivered the two the other way round).
    EXPECT_TRUE(r.signal == SIGINT || (at_once && r.signal == SIGTERM)) << r.out << r.err;
    const std::vector<nlohmann::json> recs = records(results);
    ASSERT_EQ(recs.size(), 2u) << read_text(dir / results);
    for (const nlohmann::json& rec : recs) {
      EXPECT_EQ(rec["verdict"], "NOT READY");
      ASSERT_GE(rec["reasons"].size(), 2u) << rec;
      EXPECT_EQ(rec["reasons"][0], "STOPPED BY SIGNAL " + std::to_string(r.signal));
      EXPECT_EQ(rec["reasons"][1], "NOT WAITED FOR");
    }
    // The boards, left to end alone, were still told to stop: each ends the
    // exchange under way and closes, and formats nothing after it.
    for (const char* name : {"a", "b"}) {
      const fs::path events = fs::path(boards) / (std::string(name) + ".state") / "events.txt";
      EXPECT_TRUE(file_reaches(events, "format 5\n")) << name;
      EXPECT_EQ(read_text(dir / events).find("format 6\n"), std::string::npos) << name;
    }
  }
}

// A board file that cannot be used (a misspelt setting, spaces around '=')
// is a board refused, not a healthy one: told NOT STARTED with the simulated
// board's reason, counted NOT READY and recorded so; its process's message
// stays beside its log.
TEST_F(Station, ABoardFileThatCannotBeUsedIsRefused) {
  plug("boards", "a", "");
  plug("boards", "c", "FLASHPREP_SIM_FORMAT_REQUEST_FAIL=7\n");
  plug("boards", "d", "FLASHPREP_SIM_FORMAT_REQUEST_FAILS = 7\n");
  const ProcessResult r = station(folder("boards"), {"--results", "r.jsonl"});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("NOT STARTED sim-c: flashprep-sim: " + (dir / "boards" / "c").string() +
                       ": line 1: unknown variable FLASHPREP_SIM_FORMAT_REQUEST_FAIL (did you "
                       "mean FLASHPREP_SIM_FORMAT_REQUEST_FAILS?"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("NOT STARTED sim-d: flashprep-sim: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DONE 1 READY, 2 NOT READY\n"), std::string::npos) << r.out;
  EXPECT_EQ(log("sim-c"), "") << "the refused board was talked to";
  for (const nlohmann::json& rec : records("r.jsonl")) {
    if (rec["board"] == "sim-a")
      continue;
    EXPECT_EQ(rec["verdict"], "NOT READY");
    EXPECT_EQ(rec["reasons"][0].get<std::string>().rfind("NOT STARTED: flashprep-sim: ", 0), 0u)
        << rec;
  }
  const std::string errors = logs_of("sim-c")[0].replace_extension(".err").string();
  EXPECT_NE(read_text(errors).find("unknown variable"), std::string::npos) << errors;

  // A folder of boards that is not there: refused before anything runs.
  const ProcessResult missing = station(folder("no-such-boards"));
  EXPECT_EQ(missing.exit_status, 2);
  EXPECT_EQ(missing.out, "");
}

// A board pulled out during a one-pass run: UNPLUGGED, not a list of the
// blocks it never reached.
// The pid of the process whose standard output is the file `log` (a board's
// run); 0 when there is none.
pid_t writer_of(const fs::path& log) {
  std::error_code ec;
  const fs::path want = fs::canonical(log, ec);
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code gone;
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") == std::string::npos &&
        fs::read_symlink(it->path() / "fd" / "1", gone) == want && !gone)
      return static_cast<pid_t>(std::stol(name));
  }
  return 0;
}

// What ended a board is named: pulled out, or its process killed by a
// signal the station did not send.
TEST_F(Station, WhatEndedABoardIsNamed) {
  // Both held before block 5's reply, for good: the pull-out and the kill
  // end them.
  for (const char* name : {"a", "c"})
    plug("boards", name, held_before(name, "5"));
  plug("boards", "b", "");
  RunningProcess s({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--results", "r.jsonl"},
                   dir.string(), folder("boards"));
  ASSERT_TRUE(holding("a") && holding("c")) << s.out();
  fs::remove(dir / "boards" / "a");
  const pid_t c = writer_of(logs_of("sim-c").back());
  ASSERT_NE(c, 0) << "no process writes the log of sim-c";
  ASSERT_EQ(kill(c, SIGKILL), 0);
  const bool ended = s.wait_for("FINISHED sim-a ", 60);
  if (!ended)
    let_go("a");  // the station is not left waiting for good
  ASSERT_TRUE(ended) << "the held board outlived its pull-out\n" << s.out();
  const ProcessResult r = s.finish();
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("FINISHED sim-a [0-9.]+ NOT READY: UNPLUGGED\n")))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("FINISHED sim-b [0-9.]+ READY\n"))) << r.out;
  EXPECT_TRUE(
      std::regex_search(r.out, std::regex("FINISHED sim-c [0-9.]+ NOT READY: ENDED BY SIGNAL 9")))
      << r.out;
  for (const nlohmann::json& rec : records("r.jsonl")) {
    if (rec["board"] == "sim-c") {
      EXPECT_NE(std::find(rec["reasons"].begin(), rec["reasons"].end(), "ENDED BY SIGNAL 9"),
                rec["reasons"].end())
          << rec;
    }
  }
}

// Output that cannot be written is said: logs on a full disk are judged by
// what happened to them, records that cannot be written are given on
// standard error with status 2, and the station's own lines' loss is told.
// Needs root, for a small file system of its own (CI runs as root).
TEST_F(Station, WhatCannotBeWrittenIsSaid) {
  if (geteuid() != 0)
    GTEST_SKIP() << "mounting a small file system needs root";
  fs::create_directories(dir / "small");
  ASSERT_EQ(mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=96k"), 0)
      << std::strerror(errno);
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{dir / "small"};
  plug("boards", "a", "");
  plug("boards", "b", "");
  ProcessResult r = station(folder("boards"), {"--logs", "small/logs", "--results", "r.jsonl"});
  EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
  // Each log (84 KB whole) ran out of room; neither is taken for a cut log.
  const std::vector<nlohmann::json> recs = records("r.jsonl");
  ASSERT_EQ(recs.size(), 2u);
  size_t full = 0;
  for (const nlohmann::json& rec : recs) {
    if (rec["reasons"].size() > 0 &&
        rec["reasons"][0] == "LOG NOT WRITTEN: No space left on device")
      ++full;
  }
  EXPECT_GE(full, 1u) << read_text(dir / "r.jsonl");
  EXPECT_NE(r.out.find("NOT READY: LOG NOT WRITTEN: No space left on device\n"), std::string::npos)
      << r.out;

  // A logs folder on a disk without a byte left: the station's claim on it
  // cannot be written, so no board is started, and status 3 (try again).
  fs::remove_all(dir / "small" / "logs");
  {
    std::ofstream filler(dir / "small" / "filler", std::ios::binary);
    const std::string page(4096, 'x');
    while (filler.write(page.data(), static_cast<std::streamsize>(page.size())) && filler.flush()) {
    }
  }
  r = station(folder("boards"), {"--logs", "small/logs", "--results", "r.jsonl"});
  EXPECT_EQ(r.exit_status, 3) << r.out << r.err;
  EXPECT_EQ(r.out.find("STARTED"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("cannot write small/logs/.flashprep-station.lock: No space left on device"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(records("r.jsonl").size(), 2u) << "a record of a board never started";
  fs::remove(dir / "small" / "filler");

  // Records on a device that takes none: each said, given whole on standard
  // error at the end, and status 2.
  fs::remove_all(dir / "small" / "logs");
  r = station(folder("boards"), {"--results", "/dev/full"});
  EXPECT_EQ(r.exit_status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("RECORD NOT WRITTEN sim-a: cannot write /dev/full: No space left on device"),
            std::string::npos)
      << r.out;
  for (const char* board : {"sim-a", "sim-b"})
    EXPECT_NE(r.err.find("record never written (cannot write /dev/full: No space left on device): "
                         "{\"board\":\"" +
                         std::string(board) + "\""),
              std::string::npos)
        << r.err;

  // The station's own lines lost: said on standard error, as flashprep does.
  const ProcessResult lost = run_process(
      {"/bin/sh", "-c",
       std::string("'") + FLASHPREP_SIM_LAUNCHER + "' '" + FLASHPREP_STATION + "' > /dev/full"},
      dir.string(), folder("boards"));
  EXPECT_NE(lost.err.find("flashprep-station: cannot write standard output"), std::string::npos)
      << lost.err;
}

// A logs folder that exists but that the station's user cannot write: no
// board is started, and status 3, as --help promises. Run as an
// unprivileged user.
TEST_F(Station, ALogsFolderThatCannotBeWrittenStartsNoBoard) {
  if (geteuid() != 0)
    GTEST_SKIP() << "changing to another user needs root";
  plug("boards", "a", "");
  fs::create_directories(dir / "locked");
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(dir / "boards", fs::perms::all);
  Env env = folder("boards");
  const ProcessResult r =
      run_process(station_as_nobody({"--logs", "locked"}, &env), dir.string(), env);
  EXPECT_EQ(r.exit_status, 3) << r.out << r.err;
  EXPECT_EQ(r.out.find("STARTED"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("cannot write locked: Permission denied"), std::string::npos) << r.err;
}

}  // namespace
