// flashprep-station --watch with boards plugged in and pulled out as files
// of a folder while it runs: each plug-in prepared once, every run's log
// kept, the results file whole whatever stops the station, and a soak of
// 200 plug-ins whose descriptors and memory stay flat.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <regex>
#include <thread>

#include "e2e/process.h"
#include "e2e/station_fixture.h"
#include "e2e/text_files.h"
#include "run_expectations.h"

namespace {

using std::chrono::milliseconds;

// `t` as the records write it, from the C library rather than the
// station's own calendar.
std::string utc(std::chrono::system_clock::time_point t, const char* format = "%Y-%m-%dT%H:%M:%S") {
  const time_t s = std::chrono::system_clock::to_time_t(t);
  tm parts{};
  gmtime_r(&s, &parts);
  char text[32];
  strftime(text, sizeof text, format, &parts);
  return text;
}

// The results file's lines, each checked as a whole record: every member
// the schema asks for, of its kind. `cut_first`: the first line is the cut
// line the test wrote there, left alone.
void expect_whole_records(const std::vector<nlohmann::json>& recs, size_t from) {
  for (size_t i = from; i < recs.size(); ++i) {
    const nlohmann::json& rec = recs[i];
    ASSERT_TRUE(rec.is_object()) << "line " << i + 1 << " is no record";
    for (const char* member :
         {"board", "start", "end", "verdict", "version", "station", "bus", "device"})
      EXPECT_TRUE(rec.contains(member) && rec[member].is_string()) << member << ": " << rec;
    EXPECT_TRUE(rec["seconds"].is_number()) << rec;
    EXPECT_EQ(rec["schema"], 2) << rec;
    EXPECT_TRUE(rec["reasons"].is_array()) << rec;
    EXPECT_TRUE(rec["counts"].is_object()) << rec;
    EXPECT_TRUE(std::regex_match(rec.value("start", ""),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << rec;
  }
}

class Watch : public Station {
 protected:
  std::unique_ptr<RunningProcess> watch(const Env& env, std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<RunningProcess>(argv, dir.string(), env);
  }
};

// Plugged in before and after the start, left plugged, pulled out and
// plugged in again, pulled out mid-run and plugged in again at once: each
// plug-in is prepared once, in its own log, and has its own record.
TEST_F(Watch, EachPlugInIsPreparedOnce) {
  const auto begin = std::chrono::system_clock::now();
  // Logs of earlier runs under every name a's first run could take in the
  // next minute: a new run's log is never one of them.
  fs::create_directories(dir / "station-logs");
  std::vector<fs::path> earlier;
  for (int s = 0; s < 60; ++s) {
    earlier.push_back(dir / "station-logs" /
                      ("sim-a." + utc(begin + std::chrono::seconds(s), "%Y%m%dT%H%M%SZ") + ".log"));
    std::ofstream(earlier.back()) << "earlier\n";
  }
  plug("boards", "a", "");
  auto w = watch(folder("boards"), {"--results", "results.jsonl"});
  ASSERT_TRUE(w->wait_for("FINISHED sim-a ", 30)) << w->out();
  plug("boards", "b", "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=9\n");
  ASSERT_TRUE(w->wait_for("FINISHED sim-b ", 30)) << w->out();
  // Left plugged: the next looks at the bus find both again.
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_EQ(count_of(w->out(), "FOUND sim-a\n"), 1u) << w->out();
  EXPECT_EQ(count_of(w->out(), "FOUND sim-b\n"), 1u) << w->out();
  EXPECT_EQ(w->out().find("UNPLUGGED"), std::string::npos) << w->out();

  fs::remove(dir / "boards" / "a");
  ASSERT_TRUE(w->wait_for("UNPLUGGED sim-a\n", 10)) << w->out();
  plug("boards", "a", "");
  ASSERT_TRUE(w->wait_for("FINISHED sim-a ", 30, 2)) << w->out();

  // Pulled out while block 5's reply is held, plugged in at once: the new
  // plug-in waits for the run of the last one to end, then has its own.
  plug("boards", "c", held_before("c", "5"));
  ASSERT_TRUE(holding("c")) << w->out();
  fs::remove(dir / "boards" / "c");
  plug("boards", "c", "");
  ASSERT_TRUE(w->wait_for("FINISHED sim-c ", 30, 2)) << w->out();
  // Pulled out and left out: its run ends within moments, mostly before the
  // next look at the bus, which still tells the pull-out.
  plug("boards", "d", held_before("d", "200"));
  ASSERT_TRUE(holding("d")) << w->out();
  fs::remove(dir / "boards" / "d");
  ASSERT_TRUE(w->wait_for("FINISHED sim-d ", 30)) << w->out();
  ASSERT_TRUE(w->wait_for("UNPLUGGED sim-d\n", 10)) << w->out();
  w->signal(SIGTERM);
  const ProcessResult r = w->finish();
  const auto end = std::chrono::system_clock::now();
  EXPECT_EQ(r.signal, SIGTERM) << r.out << r.err;
  EXPECT_NE(r.out.find("DONE 3 READY, 3 NOT READY\n"), std::string::npos) << r.out;
  // Each pull-out told once, however its run and the bus's look fell.
  for (const char* board : {"sim-a", "sim-c", "sim-d"})
    EXPECT_EQ(count_of(r.out, std::string("UNPLUGGED ") + board + "\n"), 1u) << board << r.out;

  const std::vector<std::string> a = started_logs(r.out, "sim-a");
  const std::vector<std::string> c = started_logs(r.out, "sim-c");
  ASSERT_EQ(a.size(), 2u) << r.out;
  ASSERT_EQ(c.size(), 2u) << r.out;
  EXPECT_NE(a[0], a[1]);
  EXPECT_NE(a[0].find("Z_2.log"), std::string::npos) << a[0] << ": not beside the earlier log";
  for (const fs::path& log : earlier)
    EXPECT_EQ(read_text(log), "earlier\n") << log << " written over";
  EXPECT_TRUE(std::regex_match(a[0], std::regex(R"(station-logs/sim-a\.\d{8}T\d{6}Z(_\d+)?\.log)")))
      << a[0];
  EXPECT_TRUE(same_lines(read_text(dir / a[0]), full_run()));
  EXPECT_TRUE(same_lines(read_text(dir / a[1]), full_run()));
  EXPECT_TRUE(same_lines(read_text(dir / c[1]), full_run()));
  const std::string c_cut = read_text(dir / c[0]);
  EXPECT_NE(c_cut.find("BLOCK 4 FORMATTED\n"), std::string::npos);
  EXPECT_EQ(c_cut.find("BLOCK 4095 FORMATTED\n"), std::string::npos) << "pulled out, yet whole";
  EXPECT_LT(r.out.find("FINISHED sim-c "), r.out.find("STARTED " + std::string("sim-c ") + c[1]))
      << "two runs on one port at once";

  // One record per run, in the order they finished, naming each run's log.
  const std::vector<nlohmann::json> recs = records("results.jsonl");
  ASSERT_EQ(recs.size(), 6u);
  expect_whole_records(recs, 0);
  std::vector<std::string> order;
  for (const std::string& line : lines_of(r.out))
    if (line.rfind("FINISHED ", 0) == 0)
      order.push_back(line.substr(9, line.find(' ', 9) - 9));
  const std::map<std::string, std::vector<std::string>> logs = {
      {"sim-a", a},
      {"sim-b", started_logs(r.out, "sim-b")},
      {"sim-c", c},
      {"sim-d", started_logs(r.out, "sim-d")}};
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < recs.size(); ++i) {
    const nlohmann::json& rec = recs[i];
    const std::string board = rec.value("board", "");
    EXPECT_EQ(board, order[i]);
    EXPECT_EQ(rec.value("log", ""), logs.at(board).at(seen[board]++)) << rec;
    const std::string start = rec.value("start", "");
    const std::string stop = rec.value("end", "");
    EXPECT_GE(start.substr(0, 19), utc(begin)) << rec;
    EXPECT_LE(stop.substr(0, 19), utc(end)) << rec;
    EXPECT_LE(start, stop);
    // The two times span the run's seconds (time of day; no run here spans
    // midnight by more than the margin).
    const auto time_of_day = [](const std::string& iso) {
      return std::stoi(iso.substr(11, 2)) * 3600 + std::stoi(iso.substr(14, 2)) * 60 +
             std::stod(iso.substr(17, 6));
    };
    EXPECT_NEAR(std::fmod(time_of_day(stop) - time_of_day(start) + 86400, 86400),
                rec.value("seconds", -1.0), 0.1)
        << rec;
    const bool b = board == "sim-b";
    const bool cut = rec.value("log", "") == c[0] || board == "sim-d";
    EXPECT_EQ(rec.value("verdict", ""), b || cut ? "NOT READY" : "READY") << rec;
    if (b) {
      EXPECT_EQ(rec["reasons"], nlohmann::json::array({"BLOCKS NOT FORMATTED: 1 (9)"}));
    }
    if (cut) {
      EXPECT_EQ(rec["reasons"][0], "UNPLUGGED") << rec;
    }
    // The same plug-in is never recorded twice.
    EXPECT_EQ(rec.value("bus", ""), "sim");
  }
  EXPECT_NE(recs[0].value("devnum", 0), 0);
}

// A stop request, a kill, a file cut by something else: every line after
// the cut is a whole record of its own.
TEST_F(Watch, TheResultsFileStaysWhole) {
  ProcessResult r = run_process(
      {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch", "--results", "no/such/folder/r"},
      dir.string(), {});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_NE(r.err.find("cannot write no/such/folder/r"), std::string::npos) << r.err;

  const std::string cut = R"({"board":"sim-x","start":"2026-)";
  std::ofstream(dir / "results.jsonl", std::ios::binary) << cut;
  for (const char* name : {"a", "b"})
    plug("boards", name, held_before(name, "5"));
  auto w = watch(folder("boards"), {"--results", "results.jsonl"});
  ASSERT_TRUE(holding("a") && holding("b")) << w->out();
  w->signal(SIGTERM);
  ASSERT_TRUE(w->wait_for("STOPPING ON SIGNAL 15\n", 60)) << w->out();
  let_go("a");
  let_go("b");
  r = w->finish();
  EXPECT_EQ(r.signal, SIGTERM) << r.out << r.err;
  std::vector<nlohmann::json> recs = records("results.jsonl");
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(lines_of(read_text(dir / "results.jsonl"))[0], cut);
  expect_whole_records(recs, 1);
  for (size_t i = 1; i < recs.size(); ++i) {
    EXPECT_EQ(recs[i].value("verdict", ""), "NOT READY");
    EXPECT_EQ(recs[i]["reasons"][0], "STOPPED BY SIGNAL 15");
  }

  // Killed outright just as a board's record goes out, after the first or
  // the second: what it wrote is whole records only. Each round plugs new
  // boards (a station started again does not prepare again a board it
  // prepared in this boot) in a folder of its own: the killed station's
  // board processes may still be leaving their states in the last one.
  for (int round = 0; round < 6; ++round) {
    const std::string boards = "quick" + std::to_string(round);
    plug(boards, "p" + std::to_string(round), "");
    plug(boards, "q" + std::to_string(round), "FLASHPREP_SIM_REFUSE_INIT=1\n");
    auto k = watch(folder(boards), {"--results", "results.jsonl", "--logs", "quick-logs"});
    ASSERT_TRUE(k->wait_for("FINISHED ", 60, 1 + round % 2)) << k->out();
    k->signal(SIGKILL);
    EXPECT_EQ(k->finish().signal, SIGKILL);
  }
  recs = records("results.jsonl");
  EXPECT_GE(recs.size(), 3u + 6) << "a round without its record";
  expect_whole_records(recs, 1);
}

// What goes while the station watches is made again, and nothing it writes
// is lost: a logs folder removed (or that cannot be made) and a results file
// removed or whose folder went. While records cannot be written no board is
// started, and each board waits plugged in until they can.
// Removes `folder` whole while a station may still remove a file in it (a
// run's note goes once its record is written): a file gone under the walk is
// no failure, the walk is made again.
void remove_under_station(const fs::path& folder) {
  std::error_code error;
  for (int attempt = 0; attempt < 100; ++attempt) {
    error.clear();
    fs::remove_all(folder, error);
    if (!error)
      return;
  }
  FAIL() << "cannot remove " << folder << ": " << error.message();
}

TEST_F(Watch, WhatGoesIsMadeAgainAndNothingIsLost) {
  fs::create_directories(dir / "out");
  fs::create_directories(dir / "boards");
  auto w = watch(folder("boards"), {"--results", "out/r.jsonl"});
  plug("boards", "a", "");
  ASSERT_TRUE(w->wait_for("FINISHED sim-a ", 60)) << w->out();

  // The logs folder and the results file removed: both come back.
  remove_under_station(dir / "station-logs");
  fs::remove(dir / "out" / "r.jsonl");
  plug("boards", "b", "");
  ASSERT_TRUE(w->wait_for("FINISHED sim-b ", 60)) << w->out();
  EXPECT_TRUE(same_lines(log("sim-b"), full_run()));
  ASSERT_EQ(records("out/r.jsonl").size(), 1u);
  EXPECT_EQ(records("out/r.jsonl")[0].value("board", ""), "sim-b");

  // The logs folder cannot be made (a file has its name): the board is told
  // not started, waits, and starts once the folder can be made.
  remove_under_station(dir / "station-logs");
  std::ofstream(dir / "station-logs") << "in the way\n";
  plug("boards", "c", "");
  ASSERT_TRUE(w->wait_for("NOT STARTED sim-c: cannot create station-logs", 60)) << w->out();
  fs::remove(dir / "station-logs");
  ASSERT_TRUE(w->wait_for("FINISHED sim-c ", 60)) << w->out();
  EXPECT_EQ(count_of(w->out(), "NOT STARTED sim-c"), 1u) << "told more than once";

  // The results file's folder gone: the record waits, no board starts while
  // it does, and all goes on once the folder is back.
  fs::remove_all(dir / "out");
  plug("boards", "d", "");
  ASSERT_TRUE(w->wait_for("RECORD NOT WRITTEN sim-d: cannot write out/r.jsonl", 60)) << w->out();
  plug("boards", "e", "");
  ASSERT_TRUE(w->wait_for("NOT STARTED sim-e: records wait to be written", 60)) << w->out();
  EXPECT_EQ(w->out().find("STARTED sim-e"), w->out().find("NOT STARTED sim-e") + 4);
  fs::create_directories(dir / "out");
  ASSERT_TRUE(w->wait_for("RECORDS WRITTEN 1\n", 60)) << w->out();
  ASSERT_TRUE(w->wait_for("FINISHED sim-e ", 60)) << w->out();
  w->signal(SIGTERM);
  const ProcessResult r = w->finish();
  EXPECT_EQ(r.signal, SIGTERM) << r.err;
  EXPECT_EQ(count_of(r.out, "RECORDS WRITTEN"), 1u) << "told more than once\n" << r.out;
  const std::vector<nlohmann::json> recs = records("out/r.jsonl");
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].value("board", ""), "sim-d");
  EXPECT_EQ(recs[1].value("board", ""), "sim-e");
  expect_whole_records(recs, 0);
}

// write() calls process `pid` has made, failed ones included (Linux counts
// each call in /proc/PID/io).
long write_calls(int pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string name;
  long value = -1;
  while (io >> name >> value)
    if (name == "syscw:")
      return value;
  return -1;
}

// A record on a full disk is tried again once a second, not at every turn
// of the station's loop, and waits for room without starting a board.
// Needs root, for a small file system of its own (CI runs as root).
TEST_F(Watch, ARecordOnAFullDiskIsTriedAgainOnceASecond) {
  if (geteuid() != 0)
    GTEST_SKIP() << "mounting a small file system needs root";
  const fs::path small = dir / "small";
  fs::create_directories(small);
  ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};
  std::ofstream(small / "r.jsonl").flush();
  {
    std::ofstream filler(small / "filler", std::ios::binary);
    const std::string page(4096, 'x');
    while (filler.write(page.data(), static_cast<std::streamsize>(page.size())) && filler.flush()) {
    }
  }
  auto w = watch(folder("boards"), {"--results", "small/r.jsonl"});
  plug("boards", "a", "");
  ASSERT_TRUE(w->wait_for("RECORD NOT WRITTEN sim-a: cannot write small/r.jsonl", 60)) << w->out();
  plug("boards", "b", "");
  ASSERT_TRUE(w->wait_for("NOT STARTED sim-b: records wait to be written", 60)) << w->out();
  // Nothing else is written while the station waits: each write is a try.
  // A loaded machine only makes fewer of them.
  const long before = write_calls(w->pid());
  ASSERT_GE(before, 0);
  const auto from = std::chrono::steady_clock::now();
  long tries = 0;
  double seconds = 0;
  while (seconds < 3 && tries <= 20) {
    std::this_thread::sleep_for(milliseconds(100));
    tries = write_calls(w->pid()) - before;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  }
  EXPECT_LE(tries, std::ceil(seconds) + 1) << "in " << seconds << " s";
  fs::remove(small / "filler");
  ASSERT_TRUE(w->wait_for("FINISHED sim-b ", 60)) << w->out();
  w->signal(SIGTERM);
  EXPECT_EQ(w->finish().signal, SIGTERM);
  const std::vector<nlohmann::json> recs = records("small/r.jsonl");
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].value("board", ""), "sim-a");
  EXPECT_EQ(recs[1].value("board", ""), "sim-b");
}

// A station whose program file went (removed under it, as an upgrade
// renames a new file over it) still starts each board's process from the
// very program it runs: the board is prepared as by the station before.
TEST_F(Watch, ABoardIsStartedByTheStationsOwnProgramAfterItsFileWent) {
  const fs::path station = dir / "programs" / fs::path(FLASHPREP_STATION).filename();
  fs::create_directories(station.parent_path());
  fs::copy_file(FLASHPREP_STATION, station);
  auto w = std::make_unique<RunningProcess>(
      std::vector<std::string>{FLASHPREP_SIM_LAUNCHER, station.string(), "--watch"}, dir.string(),
      folder("boards"));
  plug("boards", "a", "");
  ASSERT_TRUE(w->wait_for("FINISHED sim-a ", 60)) << w->out();
  fs::remove(station);
  plug("boards", "b", "");
  ASSERT_TRUE(w->wait_for("FINISHED sim-b ", 60)) << w->out();
  EXPECT_EQ(w->out().find("NOT STARTED"), std::string::npos) << w->out();
  w->signal(SIGTERM);
  EXPECT_EQ(w->finish().signal, SIGTERM);
  EXPECT_TRUE(same_lines(log("sim-b"), full_run()));
}

// Started again after a kill, in the same boot: a board prepared before and
// still plugged is not prepared again; the board whose run the kill cut
// short is; a board plugged in again, while the station was down or after,
// is.
TEST_F(Watch, AStationStartedAgainPreparesEachPlugOnce) {
  plug("boards", "a", "");
  plug("boards", "d", "");
  auto w = watch(folder("boards"), {"--results", "r.jsonl"});
  ASSERT_TRUE(w->wait_for("FINISHED sim-", 60, 2)) << w->out();
  plug("boards", "b", held_before("b", "5"));
  ASSERT_TRUE(holding("b")) << w->out();
  w->signal(SIGKILL);
  w->finish();
  // b's process stops at its next exchange, its station gone; the board is
  // free again after that.
  ASSERT_TRUE(orphans_stopping());
  let_go("b");
  ASSERT_TRUE(processes_ended());
  const std::vector<nlohmann::json> before = records("r.jsonl");
  ASSERT_EQ(before.size(), 2u);
  // d pulled out and plugged in again while no station watched: the same
  // port, another plug.
  plug("boards", "d", "");
  // What hands and a power cut may leave in the file: a blank line, a line
  // that is no record, a newer station's record that would make a's plug
  // another one were it taken, and a tail of NUL bytes.
  nlohmann::json newer = before[0]["board"] == "sim-a" ? before[0] : before[1];
  newer["schema"] = 3;
  newer["devnum"] = newer.value("devnum", 0) + 50;
  std::ofstream(dir / "r.jsonl", std::ios::binary | std::ios::app) << "\n"
                                                                   << "not a record\n"
                                                                   << newer.dump() << "\n"
                                                                   << std::string(600, '\0');

  auto again = watch(folder("boards"), {"--results", "r.jsonl"});
  // b's new run is held where the first one was.
  ASSERT_TRUE(holding("b")) << again->out();
  let_go("b");
  ASSERT_TRUE(again->wait_for("FINISHED sim-", 60, 2)) << again->out();
  EXPECT_NE(again->out().find("ALREADY PREPARED sim-a\n"), std::string::npos) << again->out();
  EXPECT_EQ(again->out().find("STARTED sim-a"), std::string::npos) << again->out();
  EXPECT_NE(again->out().find("STARTED sim-b"), std::string::npos) << again->out();
  EXPECT_NE(again->out().find("STARTED sim-d"), std::string::npos) << again->out();
  // A later look (the one that finds a board plugged in now) still leaves
  // a's port alone: what was prepared before the restart is not forgotten
  // after the first look.
  plug("boards", "e", "");
  ASSERT_TRUE(again->wait_for("FINISHED sim-e ", 60)) << again->out();
  EXPECT_EQ(again->out().find("STARTED sim-a"), std::string::npos) << again->out();
  // Another board put in a's port between two looks (its file replaced in
  // one move), so that the port is never seen empty: a new plug, prepared.
  plug("boards", "a", "");
  ASSERT_TRUE(again->wait_for("FINISHED sim-a ", 60)) << again->out();
  // Plugged in again while watched: a new plug, prepared.
  fs::remove(dir / "boards" / "a");
  ASSERT_TRUE(again->wait_for("UNPLUGGED sim-a\n", 60)) << again->out();
  plug("boards", "a", "");
  ASSERT_TRUE(again->wait_for("FINISHED sim-a ", 60, 2)) << again->out();
  again->signal(SIGTERM);
  const ProcessResult ended = again->finish();
  // The lines skipped are said once, on standard error: standard output's
  // lines are the events alone.
  EXPECT_EQ(count_of(ended.err,
                     "flashprep-station: r.jsonl: 4 damaged lines skipped: line 3 "
                     "(blank), line 4 (not a record), line 5 (schema 3), line 6 (NUL "
                     "bytes)\n"),
            1u)
      << ended.err;
  EXPECT_EQ(ended.out.find("damaged"), std::string::npos) << ended.out;
  // The NUL bytes stay alone on their line; the records after them are
  // whole lines of their own.
  const std::vector<nlohmann::json> recs = records("r.jsonl");
  ASSERT_GT(recs.size(), 6u);
  for (size_t i = 2; i < 6; ++i)
    EXPECT_TRUE(recs[i].is_null()) << "line " << i + 1;
  std::map<std::string, std::vector<nlohmann::json>> of;
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(recs[i].is_null(), i >= 2 && i < 6) << "line " << i + 1;
    if (!recs[i].is_null())
      of[recs[i].value("board", "")].push_back(recs[i]);
  }
  ASSERT_EQ(of["sim-a"].size(), 3u);
  ASSERT_EQ(of["sim-d"].size(), 2u);
  // b's run the kill cut, recorded once by the station started again as
  // its log tells, then b prepared again.
  ASSERT_EQ(of["sim-b"].size(), 2u);
  EXPECT_EQ(of["sim-b"][0].value("verdict", ""), "NOT READY");
  EXPECT_EQ(of["sim-b"][0]["reasons"][0], "STATION ENDED");
  EXPECT_EQ(of["sim-b"][0]["log"], started_logs(w->out(), "sim-b")[0]);
  EXPECT_NE(again->out().find("RECOVERED sim-b "), std::string::npos) << again->out();
  EXPECT_EQ(of["sim-b"][1].value("verdict", ""), "READY");
  for (const char* name : {"sim-a", "sim-d"})
    for (size_t i = 1; i < of[name].size(); ++i)
      EXPECT_NE(of[name][i].value("devnum", 0), of[name][i - 1].value("devnum", 0)) << name;
}

// Two stop requests at once while watching: every board still gets the
// stop first, then its record (STOPPED BY SIGNAL, NOT WAITED FOR), and
// formats nothing after the exchange under way.
TEST_F(Watch, TwoStopRequestsAtOnceStillStopAndRecordEveryBoard) {
  for (const char* name : {"a", "b"})
    plug("boards", name, held_before(name, "5"));
  auto w = watch(folder("boards"), {"--results", "r.jsonl"});
  ASSERT_TRUE(holding("a") && holding("b")) << w->out();
  // Two different signals: two of one kind sent together may arrive as one.
  w->signal(SIGINT);
  w->signal(SIGTERM);
  // Done, the station has passed the first request on and given up on the
  // boards; it ends once their processes have.
  ASSERT_TRUE(w->wait_for("DONE 0 READY, 2 NOT READY\n", 60)) << w->out();
  let_go("a");
  let_go("b");
  const ProcessResult r = w->finish();
  EXPECT_TRUE(r.signal == SIGINT || r.signal == SIGTERM) << r.out << r.err;
  const std::vector<nlohmann::json> recs = records("r.jsonl");
  ASSERT_EQ(recs.size(), 2u);
  for (const nlohmann::json& rec : recs) {
    ASSERT_GE(rec["reasons"].size(), 2u) << rec;
    EXPECT_EQ(rec["reasons"][0], "STOPPED BY SIGNAL " + std::to_string(r.signal));
    EXPECT_EQ(rec["reasons"][1], "NOT WAITED FOR");
  }
  for (const char* name : {"a", "b"}) {
    const fs::path events = fs::path("boards") / (std::string(name) + ".state") / "events.txt";
    EXPECT_TRUE(file_reaches(events, "format 5\n")) << name;
    EXPECT_EQ(read_text(dir / events).find("format 6\n"), std::string::npos) << name;
  }
}

// How often the process has waited (slept or blocked) so far, from /proc.
long waits_of(int pid) {
  const std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("\nvoluntary_ctxt_switches:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 25);
}

// Once stopping, the station starts no board: one plugged in while the last
// run ends is neither found nor opened, and the station still ends by the
// signal as soon as that run has ended.
TEST_F(Watch, ABoardPluggedInWhileStoppingIsLeftAlone) {
  plug("boards", "a", held_before("a", "5"));
  auto w = watch(folder("boards"));
  ASSERT_TRUE(holding("a")) << w->out();
  w->signal(SIGTERM);
  ASSERT_TRUE(w->wait_for("STOPPING ON SIGNAL 15\n", 60)) << w->out();
  plug("boards", "b", "");
  // a, held, keeps the station stopping while it goes through more ticks
  // than three looks at the bus take (one every 20 ticks): a station still
  // looking would find b. Counted in the station's own waits, about one a
  // tick, however slow the machine.
  const long waits = waits_of(w->pid());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (waits_of(w->pid()) < waits + 100 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(20));
  let_go("a");
  const ProcessResult r = w->finish();
  EXPECT_EQ(r.signal, SIGTERM) << r.out << r.err;
  EXPECT_EQ(r.out.find("sim-b"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir / "boards" / "b.state")) << "board b was opened";
  EXPECT_NE(r.out.find("DONE 0 READY, 1 NOT READY\n"), std::string::npos) << r.out;
}

// The station's open descriptors and resident memory, from /proc.
size_t open_fds(int pid) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    ++n;
  return n;
}

long rss_kb(int pid) {
  const std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// 200 plug-ins: 20 ports, each plugged in and pulled out 10 times, with a
// run READY, one with a failed block, one that stops after the driver, one
// whose board vanishes early (short runs, so that 200 fit in a minute).
// Every run's log and board state are those of the same board alone, and
// the station's descriptors and memory do not grow with the plug-ins.
TEST_F(Watch, SoakOf200PlugIns) {
  constexpr int kPorts = 20;
  constexpr int kWaves = 10;
  const std::vector<std::string> scenarios = {"", "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=9\n",
                                              "FLASHPREP_SIM_REFUSE_INIT=1\n",
                                              "FLASHPREP_SIM_UNPLUG_AFTER=100\n"};
  const std::vector<std::string> files = {"ram.bin", "flash.bin", "events.txt"};
  std::vector<std::string> alone_log;
  std::vector<std::map<std::string, std::string>> alone_state(scenarios.size());
  for (size_t k = 0; k < scenarios.size(); ++k) {
    const std::string where = "alone-" + std::to_string(k);
    plug(where, "p", scenarios[k]);
    alone_log.push_back(flashprep_alone(folder(where)).out);
    for (const std::string& file : files)
      alone_state[k][file] = read_text(dir / where / "p.state" / file);
  }
  ASSERT_TRUE(same_lines(alone_log[0], full_run()));

  fs::create_directories(dir / "soak");
  auto w = watch(folder("soak"), {"--results", "results.jsonl"});
  size_t fds_start = 0;
  long rss_start = 0;
  for (int wave = 0; wave < kWaves; ++wave) {
    for (int i = 0; i < kPorts; ++i)
      plug("soak", "p" + std::to_string(i), scenarios[i % scenarios.size()]);
    ASSERT_TRUE(w->wait_for("FINISHED ", 60, (wave + 1) * kPorts)) << w->out();
    for (int i = 0; i < kPorts; ++i) {
      const std::string port = "p" + std::to_string(i);
      const std::vector<std::string> logs = started_logs(w->out(), "sim-" + port);
      ASSERT_EQ(logs.size(), static_cast<size_t>(wave + 1)) << port;
      const size_t k = i % scenarios.size();
      EXPECT_EQ(read_text(dir / logs.back()), alone_log[k]) << logs.back();
      for (const std::string& file : files)
        EXPECT_EQ(read_text(dir / "soak" / (port + ".state") / file), alone_state[k][file])
            << port << " " << file << " wave " << wave;
    }
    for (int i = 0; i < kPorts; ++i)
      fs::remove(dir / "soak" / ("p" + std::to_string(i)));
    ASSERT_TRUE(w->wait_for("UNPLUGGED ", 30, (wave + 1) * kPorts)) << w->out();
    if (wave == 1) {
      fds_start = open_fds(w->pid());
      rss_start = rss_kb(w->pid());
    }
  }
  const size_t fds_end = open_fds(w->pid());
  const long rss_end = rss_kb(w->pid());
  std::cout << "soak: " << kPorts * kWaves << " plug-ins; open descriptors " << fds_start << " -> "
            << fds_end << "; VmRSS " << rss_start << " kB -> " << rss_end << " kB\n";
  EXPECT_EQ(fds_end, fds_start);
#ifndef FLASHPREP_PROGRAMS_ADDRESS_SANITIZED
  // Under AddressSanitizer freed memory waits in a quarantine of up to
  // 256 MB before it is used again, so the resident size grows whatever
  // the station does: the plain build's run of this test checks it.
  EXPECT_LT(rss_end - rss_start, 1024) << "memory grows with the plug-ins";
#endif
  w->signal(SIGTERM);
  const ProcessResult r = w->finish();
  EXPECT_EQ(r.signal, SIGTERM);
  const int ready = kWaves * ((kPorts + 3) / 4);  // the ports of the first scenario
  EXPECT_NE(r.out.find("DONE " + std::to_string(ready) + " READY, " +
                       std::to_string(kPorts * kWaves - ready) + " NOT READY\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(lines_of(read_text(dir / "results.jsonl")).size(), size_t{kPorts * kWaves});
  size_t logs = 0;
  for (const auto& entry : fs::directory_iterator(dir / "station-logs"))
    logs += entry.path().extension() == ".log" ? 1 : 0;
  EXPECT_EQ(logs, size_t{kPorts * kWaves}) << "a log written over";
}

}  // namespace
