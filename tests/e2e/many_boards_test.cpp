// A full bench: 120 simulated boards over four buses on one station, each
// prepared as alone and recorded once; and what the station keeps per board
// counted against the system's limits before a board starts (the limits
// lowered with prlimit, as an operator's shell or a service's unit would).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/process.h"
#include "e2e/station_fixture.h"
#include "e2e/text_files.h"
#include "run_expectations.h"
#include "station/board_room.h"

namespace {

// Boards FINISHED READY in a station's event lines.
size_t ready_in(const std::string& out) {
  size_t n = 0;
  for (const std::string& line : lines_of(out))
    n += line.rfind("FINISHED ", 0) == 0 && line.size() > 6 &&
                 line.compare(line.size() - 6, 6, " READY") == 0 &&
                 line.find(" NOT READY") == std::string::npos
             ? 1
             : 0;
  return n;
}

class ManyBoards : public Station {
 protected:
  // `n` healthy boards b001... in folder "boards".
  void healthy_boards(int n) {
    for (int i = 1; i <= n; ++i)
      plug("boards", board_file(i), "");
  }
  static std::string board_file(int i) {
    char name[8];
    (void)std::snprintf(name, sizeof name, "b%03d", i);
    return name;
  }
  // The station started as `prefix` (prlimit, setpriv...) starts it.
  ProcessResult station_under(const std::vector<std::string>& prefix, const Env& env,
                              const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(FLASHPREP_SIM_LAUNCHER);
    argv.push_back(FLASHPREP_STATION);
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, dir.string(), env);
  }
  // Nothing of a station that did not start: no log, no record, and no
  // board touched (a board's process leaves the board's state beside it).
  void expect_nothing_started(const ProcessResult& r, int boards) {
    EXPECT_EQ(r.exit_status, 2) << r.out << r.err;
    EXPECT_EQ(r.out.find("STARTED"), std::string::npos) << r.out;
    EXPECT_TRUE(logs_of("sim-" + board_file(1)).empty());
    EXPECT_EQ(read_text(dir / "results.jsonl"), "");
    for (int i = 1; i <= boards; ++i)
      EXPECT_FALSE(fs::exists(dir / "boards" / (board_file(i) + ".state"))) << board_file(i);
  }
};

// 120 boards over buses sim, sim1, sim2 and sim3, every tenth failing a
// block and every fifteenth pulled out during its format pass (for its own
// process): each board's log and state are its run alone, each has one
// record naming it and its log, and the counts are the test's own.
TEST_F(ManyBoards, AHundredAndTwentyBoardsOverFourBusesEachAsAlone) {
  constexpr int kBoards = 120;
  const std::string failing = "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=7\n";
  const std::string pulled = "FLASHPREP_SIM_UNPLUG_AFTER=300\n";
  const auto scenario = [&](int i) {
    return i % 15 == 0 ? pulled : i % 10 == 0 ? failing : std::string();
  };
  std::map<std::string, std::string> expected_file;  // board name -> scenario
  int ready = 0;
  for (int i = 1; i <= kBoards; ++i) {
    const int bus = i % 4;
    plug("boards", board_file(i),
         (bus == 0 ? "" : "FLASHPREP_SIM_BUS=" + std::to_string(bus) + "\n") + scenario(i));
    const std::string name = (bus == 0 ? "sim" : "sim" + std::to_string(bus)) + "-" + board_file(i);
    expected_file[name] = scenario(i);
    ready += scenario(i).empty() ? 1 : 0;
  }
  std::map<std::string, std::string> alone;
  std::map<std::string, std::map<std::string, std::string>> alone_state;
  for (const std::string& text : {std::string(), failing, pulled}) {
    const std::string where = "alone-" + std::to_string(alone.size());
    plug(where, "b", text);
    alone[text] = flashprep_alone(folder(where)).out;
    for (const char* file : {"ram.bin", "flash.bin", "events.txt"})
      alone_state[text][file] = read_text(dir / where / "b.state" / file);
  }
  ASSERT_TRUE(same_lines(alone[""], full_run()));

  const ProcessResult r = station(folder("boards"), {"--results", "results.jsonl"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_NE(r.out.find("DONE " + std::to_string(ready) + " READY, " +
                       std::to_string(kBoards - ready) + " NOT READY\n"),
            std::string::npos)
      << r.out;
  for (const auto& [name, text] : expected_file) {
    const std::vector<std::string> logs = started_logs(r.out, name);
    ASSERT_EQ(logs.size(), 1U) << name;
    EXPECT_EQ(count_of(r.out, "FINISHED " + name + " "), 1U) << name;
    EXPECT_EQ(read_text(dir / logs[0]), alone[text]) << name;
    const std::string file = name.substr(name.find('-') + 1);
    for (const auto& [state_file, bytes] : alone_state[text])
      EXPECT_EQ(read_text(dir / "boards" / (file + ".state") / state_file), bytes)
          << name << " " << state_file;
  }
  std::set<std::string> recorded;
  for (const nlohmann::json& rec : records("results.jsonl")) {
    ASSERT_TRUE(rec.is_object());
    const std::string name = rec.value("board", "");
    EXPECT_TRUE(recorded.insert(name).second) << name << " recorded twice";
    ASSERT_EQ(expected_file.count(name), 1U) << name;
    EXPECT_EQ(rec.value("verdict", ""), expected_file[name].empty() ? "READY" : "NOT READY") << rec;
    EXPECT_EQ(rec.value("log", ""), started_logs(r.out, name).at(0)) << rec;
    EXPECT_EQ(rec.value("bus", ""), name.substr(0, name.find('-'))) << rec;
  }
  EXPECT_EQ(recorded.size(), static_cast<size_t>(kBoards));
}

// 120 boards that end within a moment of each other: each held before its
// last block's reply until all are, then let go at once. Every board has
// one FINISHED line, every record is whole and the records come in the
// order of those lines, each log is the run alone.
TEST_F(ManyBoards, AHundredAndTwentyBoardsLetGoAtOnceAreEachToldAndRecordedInTurn) {
  constexpr int kBoards = 120;
  for (int i = 1; i <= kBoards; ++i)
    plug("boards", board_file(i),
         held_before(board_file(i), std::to_string(kFlashBlocks - 1)) +
             (i % 2 == 0 ? "FLASHPREP_SIM_BUS=1\n" : ""));
  RunningProcess s({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--results", "results.jsonl"},
                   dir.string(), folder("boards"));
  for (int i = 1; i <= kBoards; ++i)
    ASSERT_TRUE(holding(board_file(i))) << board_file(i) << "\n" << s.out();
  EXPECT_EQ(s.out().find("FINISHED "), std::string::npos) << s.out();
  for (int i = 1; i <= kBoards; ++i)
    let_go(board_file(i));
  const ProcessResult r = s.finish();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("DONE 120 READY, 0 NOT READY\n"), std::string::npos) << r.out;

  std::vector<std::string> finished;
  for (const std::string& line : lines_of(r.out))
    if (line.rfind("FINISHED ", 0) == 0)
      finished.push_back(line.substr(9, line.find(' ', 9) - 9));
  std::vector<std::string> recorded;
  for (const nlohmann::json& rec : records("results.jsonl")) {
    ASSERT_TRUE(rec.is_object()) << "a line that is no whole record";
    recorded.push_back(rec.value("board", ""));
    EXPECT_EQ(rec.value("verdict", ""), "READY") << rec;
  }
  EXPECT_EQ(recorded, finished);
  EXPECT_EQ(std::set<std::string>(finished.begin(), finished.end()).size(),
            static_cast<size_t>(kBoards));
  for (int i = 1; i <= kBoards; ++i) {
    const std::string name = (i % 2 == 0 ? "sim1-" : "sim-") + board_file(i);
    const std::vector<std::string> logs = started_logs(r.out, name);
    ASSERT_EQ(logs.size(), 1U) << name;
    EXPECT_TRUE(same_lines(read_text(dir / logs[0]), full_run())) << name;
  }
}

// One pass: the boards are counted against the limits before any starts.
// Under a limit on open files that the boards do not fit, not one board is
// started, the reason named; under the same soft limit with room below the
// hard one, the station raises it and prepares them all; boards that fit as
// they are are prepared.
TEST_F(ManyBoards, OpenFilesAreCountedBeforeAnyBoardStarts) {
  constexpr int kBoards = 40;
  healthy_boards(kBoards);
  const ProcessResult refused = station_under({"/usr/bin/prlimit", "--nofile=40"}, folder("boards"),
                                              {"--results", "results.jsonl"});
  expect_nothing_started(refused, kBoards);
  EXPECT_NE(refused.err.find("flashprep-station: 40 boards at once need "), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find(" open files; the system allows this station 40 (RLIMIT_NOFILE)\n"),
            std::string::npos)
      << refused.err;

  const ProcessResult raised = station_under({"/usr/bin/prlimit", "--nofile=40:4096"},
                                             folder("boards"), {"--results", "results.jsonl"});
  EXPECT_EQ(raised.exit_status, 0) << raised.out << raised.err;
  EXPECT_EQ(ready_in(raised.out), static_cast<size_t>(kBoards)) << raised.out;
  EXPECT_EQ(lines_of(read_text(dir / "results.jsonl")).size(), static_cast<size_t>(kBoards));
  EXPECT_TRUE(same_lines(log("sim-" + board_file(kBoards)), full_run()));

  // Three boards need twelve files beside the station's few: room under 40.
  fs::remove_all(dir / "boards");
  healthy_boards(3);
  const ProcessResult fits = station_under({"/usr/bin/prlimit", "--nofile=40"}, folder("boards"));
  EXPECT_EQ(fits.exit_status, 0) << fits.out << fits.err;
  EXPECT_EQ(ready_in(fits.out), 3U) << fits.out;
}

// The limit on a user's processes, which the system applies to other users
// than root: run as a user that runs nothing else on this machine (so that
// every process of that user is the test's), on copies of the programs in
// the test's folder (that user may not enter the folder the build lies in).
// The station and its six boards are thirteen processes to the system (each
// board's process and the thread in it that watches for the station's end):
// a limit of thirteen holds them, twelve does not, a soft limit of three with room below the hard
// one is raised, and a process the system exempts from the limit is not
// held to it.
TEST_F(ManyBoards, TheUsersProcessesAreCountedBeforeAnyBoardStarts) {
  if (geteuid() != 0)
    GTEST_SKIP() << "changing to another user needs root";
  constexpr int kBoards = 6;
  healthy_boards(kBoards);
  const fs::perms readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(dir, fs::perms::all);
  fs::permissions(dir / "boards", fs::perms::all);
  const fs::path programs = dir / "programs";
  fs::create_directory(programs);
  fs::permissions(programs, readable);
  for (const fs::path program :
       {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, FLASHPREP_SIM_PRELOAD}) {
    fs::copy_file(program, programs / program.filename());
    fs::permissions(programs / program.filename(), readable);
  }
  Env env = folder("boards");
  env["FLASHPREP_SIM_LIBRARY"] = (programs / fs::path(FLASHPREP_SIM_PRELOAD).filename()).string();
  const auto as_lone_user = [&](const std::string& limit, bool beyond_limits = false) {
    fs::remove_all(dir / "station-logs");
    std::vector<std::string> argv = {"/usr/bin/prlimit", "--nproc=" + limit, "/usr/bin/setpriv",
                                     "--reuid=424242",   "--regid=424242",   "--clear-groups"};
    if (beyond_limits) {
      argv.emplace_back("--inh-caps=+sys_admin");
      argv.emplace_back("--ambient-caps=+sys_admin");
    }
    argv.push_back((programs / fs::path(FLASHPREP_SIM_LAUNCHER).filename()).string());
    argv.push_back((programs / fs::path(FLASHPREP_STATION).filename()).string());
    return run_process(argv, dir.string(), env);
  };
  const ProcessResult refused = as_lone_user("12");
  expect_nothing_started(refused, kBoards);
  EXPECT_NE(refused.err.find("flashprep-station: 6 boards at once need 13 processes of this "
                             "user; the system allows this station 12 (RLIMIT_NPROC)\n"),
            std::string::npos)
      << refused.err;
  const ProcessResult fits = as_lone_user("13");
  EXPECT_EQ(fits.exit_status, 0) << fits.out << fits.err;
  EXPECT_EQ(ready_in(fits.out), static_cast<size_t>(kBoards)) << fits.out;
  {
    // Another program of that user with ten threads, each of which the
    // system counts as a process: twenty-three in all now hold the station.
    RunningProcess threads(
        {"/usr/bin/setpriv", "--reuid=424242", "--regid=424242", "--clear-groups",
         "/usr/bin/python3", "-c",
         "import threading, time\n"
         "for _ in range(9):\n"
         "    threading.Thread(target=time.sleep, args=(600,), daemon=True).start()\n"
         "print('ready', flush=True)\n"
         "time.sleep(600)\n"},
        dir.string(), {});
    ASSERT_TRUE(threads.wait_for("ready\n", 60)) << threads.out();
    const ProcessResult short_by_one = as_lone_user("22");
    EXPECT_NE(short_by_one.err.find("6 boards at once need 23 processes of this user; the system "
                                    "allows this station 22 (RLIMIT_NPROC)\n"),
              std::string::npos)
        << short_by_one.out << short_by_one.err;
    const ProcessResult beside = as_lone_user("23");
    EXPECT_EQ(ready_in(beside.out), static_cast<size_t>(kBoards)) << beside.out << beside.err;
  }
  // Raised up to the hard limit this test runs under, which root keeps.
  rlimit processes{};
  ASSERT_EQ(getrlimit(RLIMIT_NPROC, &processes), 0);
  const ProcessResult raised = as_lone_user("3:" + (processes.rlim_max == RLIM_INFINITY
                                                        ? std::string("unlimited")
                                                        : std::to_string(processes.rlim_max)));
  EXPECT_EQ(raised.exit_status, 0) << raised.out << raised.err;
  EXPECT_EQ(ready_in(raised.out), static_cast<size_t>(kBoards)) << raised.out;
  // A process the system lets start processes beyond the limit (one with
  // CAP_SYS_ADMIN) is not held to it by the station either.
  const ProcessResult beyond = as_lone_user("3", /*beyond_limits=*/true);
  EXPECT_EQ(beyond.exit_status, 0) << beyond.out << beyond.err;
  EXPECT_EQ(ready_in(beyond.out), static_cast<size_t>(kBoards)) << beyond.out;
}

// Watching, counted to the last file: the station's limit on open files set
// (prlimit --pid) to what it holds while it waits, as /proc shows them, with
// its spare files and the files of five boards: all five start at once;
// one less, and one board is told, waits plugged in, and is prepared once
// another has ended. None is started half: a log and a record each.
TEST_F(ManyBoards, WatchingTheOpenFilesAreCountedToTheLastOne) {
  constexpr int kBoards = 5;
  fs::create_directories(dir / "boards");
  fs::create_directories(dir / "states");
  RunningProcess w(
      {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch", "--results", "results.jsonl"},
      dir.string(), folder("boards"));
  // The folder's lock is taken before the results file is opened: counted
  // before that, the station would hold one file more than counted.
  const fs::path fds = "/proc/" + std::to_string(w.pid()) + "/fd";
  const auto holds_results = [&] {
    std::error_code error;
    for (const auto& fd : fs::directory_iterator(fds, error))
      if (fs::read_symlink(fd.path(), error) == fs::canonical(dir) / "results.jsonl")
        return true;
    return false;
  };
  const auto started_by = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!holds_results() && std::chrono::steady_clock::now() < started_by)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(holds_results());
  // What it holds between two looks at the buses: the fewest of a few
  // counts, as a look opens a file for a moment.
  size_t held = SIZE_MAX;
  for (int i = 0; i < 20; ++i) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& fd : fs::directory_iterator(fds))
      ++n;
    held = std::min(held, n);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Boards plugged in at once (a folder renamed into place), their states
  // kept outside it, so that it is empty again once they are pulled out.
  const auto plug_all = [&](const std::string& prefix) {
    const fs::path staged = dir / ("staged-" + prefix);
    fs::create_directories(staged);
    for (int i = 1; i <= kBoards; ++i)
      std::ofstream(staged / (prefix + std::to_string(i)))
          << "FLASHPREP_SIM_STATE=" << (dir / "states" / (prefix + std::to_string(i))).string()
          << "\n";
    fs::rename(staged, dir / "boards");
  };
  const auto limit = [&](size_t files) {
    const ProcessResult set = run_process(
        {"/usr/bin/prlimit", "--pid", std::to_string(w.pid()), "--nofile=" + std::to_string(files)},
        dir.string(), {});
    ASSERT_EQ(set.exit_status, 0) << set.err;
  };
  limit(held + kSpareFiles + kBoards * kFilesPerBoard);
  plug_all("a");
  ASSERT_TRUE(w.wait_for("FINISHED ", 60, kBoards)) << w.out();
  EXPECT_EQ(w.out().find("NOT STARTED"), std::string::npos) << w.out();
  for (int i = 1; i <= kBoards; ++i)
    fs::remove(dir / "boards" / ("a" + std::to_string(i)));
  ASSERT_TRUE(w.wait_for("UNPLUGGED ", 30, kBoards)) << w.out();

  const size_t short_by_one = held + kSpareFiles + kBoards * kFilesPerBoard - 1;
  limit(short_by_one);
  plug_all("b");
  ASSERT_TRUE(w.wait_for("FINISHED ", 60, 2 * kBoards)) << w.out();
  w.signal(SIGTERM);
  const ProcessResult r = w.finish();
  EXPECT_EQ(count_of(r.out, "NOT STARTED "), 1U) << r.out;
  EXPECT_NE(r.out.find("5 boards at once need " + std::to_string(short_by_one + 1) +
                       " open files; the system allows this station " +
                       std::to_string(short_by_one) + " (RLIMIT_NOFILE)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("DONE 10 READY, 0 NOT READY\n"), std::string::npos) << r.out;
  for (const char* prefix : {"a", "b"}) {
    for (int i = 1; i <= kBoards; ++i) {
      const std::string name = "sim-" + std::string(prefix) + std::to_string(i);
      ASSERT_EQ(started_logs(r.out, name).size(), 1U) << name;
      EXPECT_TRUE(same_lines(read_text(dir / started_logs(r.out, name)[0]), full_run())) << name;
    }
  }
  EXPECT_EQ(lines_of(read_text(dir / "results.jsonl")).size(), size_t{2 * kBoards});
}

// A bus out of addresses, as seen by a watching station: told once each
// time it fills (a board plugged in there would not be seen), in the order
// of the looks, and not again at a look while it stays full; and a board
// pulled out and plugged in again at the same device number, as the one
// address left on a full bus is given again, is a new plug-in, prepared
// again. (The simulated bus lists every board; a
// real one would not list the 128th.)
TEST_F(ManyBoards, AFullBusIsToldAndAPlugInAtTheSameAddressIsANewOne) {
  // Boards whose bootloader answers wrong: their runs end at once.
  for (int i = 1; i <= 126; ++i)
    plug("boards", board_file(i), "FLASHPREP_SIM_BUS=1\nFLASHPREP_SIM_BOOTLOADER=wrong\n");
  plug("boards", "last", "FLASHPREP_SIM_BUS=1\nFLASHPREP_SIM_DEVNUM=7\n");
  const std::string full =
      "BUS FULL sim1: 127 devices, every address taken; a board plugged in there is not seen\n";
  RunningProcess w({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch"}, dir.string(),
                   folder("boards"));
  ASSERT_TRUE(w.wait_for("FINISHED sim1-last ", 60)) << w.out();
  EXPECT_LT(w.out().find(full), w.out().find("FOUND ")) << "told before the boards it found";
  // A later look while the bus stays full (it finds a board on another
  // bus) tells nothing again.
  plug("boards", "other", "FLASHPREP_SIM_BUS=2\nFLASHPREP_SIM_BOOTLOADER=wrong\n");
  ASSERT_TRUE(w.wait_for("FOUND sim2-other\n", 30)) << w.out();
  EXPECT_EQ(count_of(w.out(), full), 1U) << w.out();
  fs::remove(dir / "boards" / "last");
  ASSERT_TRUE(w.wait_for("UNPLUGGED sim1-last\n", 30)) << w.out();
  plug("boards", "last", "FLASHPREP_SIM_BUS=1\nFLASHPREP_SIM_DEVNUM=7\n");
  ASSERT_TRUE(w.wait_for("FINISHED sim1-last ", 60, 2)) << w.out();
  w.signal(SIGTERM);
  const ProcessResult r = w.finish();
  EXPECT_EQ(count_of(r.out, full), 2U) << r.out;
  EXPECT_EQ(started_logs(r.out, "sim1-last").size(), 2U) << r.out;
  EXPECT_TRUE(same_lines(read_text(dir / started_logs(r.out, "sim1-last").back()), full_run()));

  // One pass: said before the boards found.
  const ProcessResult pass = station(folder("boards"), {"--logs", "pass"});
  EXPECT_EQ(pass.out.rfind(full, 0), 0U) << pass.out;
  EXPECT_EQ(count_of(pass.out, full), 1U) << pass.out;
}

}  // namespace
