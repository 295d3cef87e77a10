// flashprep-station among what a production line meets every week: a reader
// of its lines that goes away, a second station or flashprep alone on its
// boards, links planted where it writes, names that would forge lines, its
// logs folder removed, a cause that lasts, and its program replaced while
// it runs; a killed station's runs, recorded in its own results file alone,
// one of them once its process has ended (the rest of a station started
// again is in watch_test.cpp); a journal that refuses the station's entries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "e2e/process.h"
#include "e2e/station_fixture.h"
#include "e2e/text_files.h"

namespace {

using LineEvents = Station;

// `| head -n 1`: the boards go on, each recorded, and the station ends as
// it would have, having said once that its output went.
TEST_F(LineEvents, AReaderThatGoesAwayStopsNothing) {
  // a held until the reader has gone: its FINISHED line is written to no
  // one.
  plug("boards", "a", held_before("a", "5"));
  for (const char* name : {"b", "c"})
    plug("boards", name, "");
  SignalPlan plan;
  plan.after = "FOUND sim-a";
  plan.held = hold("a").string();
  plan.output = SignalPlan::Output::pipe_closed;
  plan.signals = {0};  // none: kill(2)'s probe, so that the reader closes its end
  const ProcessResult r = station(folder("boards"), {"--results", "r.jsonl"}, plan);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(count_of(r.err, "flashprep-station: cannot write standard output\n"), 1u) << r.err;
  const std::vector<nlohmann::json> recs = records("r.jsonl");
  ASSERT_EQ(recs.size(), 3u);
  for (const nlohmann::json& rec : recs)
    EXPECT_EQ(rec["verdict"], "READY") << rec;
  for (const char* name : {"sim-a", "sim-b", "sim-c"})
    EXPECT_EQ(log(name), full_run()) << name;
}

// flashprep run alone on a board: the station's run finds it held and the
// board is BUSY, not a board that failed; its run leaves no log.
TEST_F(LineEvents, ABoardFlashprepHoldsIsBusy) {
  plug("boards", "a", held_before("a", "3"));
  RunningProcess alone({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), folder("boards"));
  ASSERT_TRUE(holding("a")) << alone.out();
  const ProcessResult r = station(folder("boards"), {"--results", "r.jsonl"});
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_EQ(count_of(r.out, "BUSY sim-a: held by another process\n"), 1u) << r.out;
  EXPECT_NE(r.out.find("DONE 0 READY, 0 NOT READY, 1 BUSY\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("FINISHED"), std::string::npos) << r.out;
  EXPECT_EQ(read_text(dir / "r.jsonl"), "");
  EXPECT_TRUE(logs_of("sim-a").empty());
  alone.signal(SIGTERM);
  let_go("a");
  alone.finish();
}

// Watching, the board flashprep alone held is prepared once that run has
// ended: the station's BUSY run was none of the board's.
TEST_F(LineEvents, AWatchingStationPreparesABusyBoardOnceFree) {
  plug("boards", "a", held_before("a", "3"));
  RunningProcess alone({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), folder("boards"));
  ASSERT_TRUE(holding("a")) << alone.out();
  RunningProcess watching(
      {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch", "--results", "r.jsonl"}, dir.string(),
      folder("boards"));
  ASSERT_TRUE(watching.wait_for("BUSY sim-a: held by another process\n", 60)) << watching.out();
  alone.signal(SIGTERM);
  let_go("a");
  alone.finish();
  // The station's own run is held where flashprep's was.
  ASSERT_TRUE(holding("a")) << watching.out();
  let_go("a");
  ASSERT_TRUE(watching.wait_for("FINISHED sim-a ", 60)) << watching.out();
  watching.signal(SIGTERM);
  const ProcessResult r = watching.finish();
  const std::vector<nlohmann::json> recs = records("r.jsonl");
  ASSERT_EQ(recs.size(), 1u) << r.out;
  EXPECT_EQ(recs[0]["verdict"], "READY") << recs[0];
  ASSERT_EQ(logs_of("sim-a").size(), 1u);
  EXPECT_EQ(log("sim-a"), full_run());
}

// The station in `dir` on the boards of `boards` as a service's would run:
// in a mount namespace of its own, whose /run/systemd/journal `journal` (a
// shell command) fills, its standard output the very stream JOURNAL_STREAM
// names. `journal` ends by running "$@", the station.
ProcessResult station_as_service(const std::string& dir, const Env& boards,
                                 const std::string& journal) {
  const std::vector<std::string> argv = {
      "/usr/bin/unshare",
      "-m",
      "/bin/sh",
      "-c",
      "d=/run/systemd; [ -d $d ] || d=/run; mount -t tmpfs none $d && "
      "mkdir -p /run/systemd/journal && "
      "export JOURNAL_STREAM=\"$(stat -L -c %d:%i /proc/$$/fd/1)\" && " +
          journal,
      "sh",
      FLASHPREP_SIM_LAUNCHER,
      FLASHPREP_STATION,
      "--results",
      "r.jsonl"};
  return run_process(argv, dir, boards);
}

// A journal that refuses entries: what would have gone to it is written to
// standard output, once. Its socket is a file no one listens on (one not
// there at all, libsystemd drops the entry and says it was sent).
TEST_F(LineEvents, WhatTheJournalRefusesIsWrittenOnce) {
  if (geteuid() != 0)
    GTEST_SKIP() << "only root can put a journal of its own before the station";
  plug("boards", "a", "");
  const ProcessResult r = station_as_service(dir.string(), folder("boards"),
                                             ": >/run/systemd/journal/socket && exec \"$@\"");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(count_of(r.out, "FINISHED sim-a "), 1u) << r.out;
  EXPECT_EQ(count_of(r.out, "DONE 1 READY, 0 NOT READY\n"), 1u) << r.out;
  ASSERT_EQ(records("r.jsonl").size(), 1u);
}

// A journal that takes them: the FINISHED line goes there alone, with the
// record's facts, and not to standard output as well.
TEST_F(LineEvents, WhatTheJournalTakesIsNotWrittenAgain) {
  if (geteuid() != 0)
    GTEST_SKIP() << "only root can put a journal of its own before the station";
  // Each entry its datagram's text, after a line "ENTRY".
  const char* journal = R"(exec python3 -c '
import socket, subprocess, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/run/systemd/journal/socket")
status = subprocess.call(sys.argv[1:])
s.setblocking(False)
with open(sys.argv[4] + ".entries", "w") as out:
    while True:
        try:
            out.write("ENTRY\n" + s.recv(1 << 20).decode())
        except BlockingIOError:
            break
sys.exit(status)' "$@")";
  plug("boards", "a", "");
  const ProcessResult r = station_as_service(dir.string(), folder("boards"), journal);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out.find("FINISHED"), std::string::npos) << r.out;
  EXPECT_EQ(count_of(r.out, "DONE 1 READY, 0 NOT READY\n"), 1u) << r.out;
  const std::string entries = read_text(dir / "r.jsonl.entries");
  EXPECT_EQ(count_of(entries, "ENTRY\n"), 1u) << entries;
  EXPECT_EQ(count_of(entries, "\nMESSAGE=FINISHED sim-a "), 1u) << entries;
  EXPECT_EQ(count_of(entries, "\nPRIORITY=6\n"), 1u) << entries;
  EXPECT_EQ(count_of(entries, "\nFLASHPREP_VERDICT=READY\n"), 1u) << entries;
  ASSERT_EQ(records("r.jsonl").size(), 1u);
}

// Root runs a station on a folder another account can write: a link planted
// as its lock file or as its results file is refused, and what it points to
// is left as it was.
TEST_F(LineEvents, APlantedLinkIsRefusedNotFollowed) {
  plug("boards", "a", "");
  ASSERT_TRUE(write_file((dir / "precious").string(), "keep me\n"));
  fs::create_directory(dir / "station-logs");
  fs::create_symlink(dir / "precious", dir / "station-logs" / ".flashprep-station.lock");
  const ProcessResult lock = station(folder("boards"));
  EXPECT_EQ(lock.exit_status, 3);
  EXPECT_NE(lock.err.find(".flashprep-station.lock: a symbolic link, not followed"),
            std::string::npos)
      << lock.err;
  fs::remove(dir / "station-logs" / ".flashprep-station.lock");
  fs::create_symlink(dir / "precious", dir / "r.jsonl");
  const ProcessResult results = station(folder("boards"), {"--results", "r.jsonl"});
  EXPECT_EQ(results.exit_status, 3);
  EXPECT_NE(results.err.find("cannot write r.jsonl: a symbolic link, not followed"),
            std::string::npos)
      << results.err;
  EXPECT_EQ(results.out.find("STARTED"), std::string::npos) << results.out;
  EXPECT_EQ(read_text(dir / "precious"), "keep me\n");
}

// A name with a control character would put a line of its own among the
// events: refused before anything is done.
TEST_F(LineEvents, ANameThatWouldForgeALineIsRefused) {
  plug("boards", "a", "");
  for (const auto& [option, value] :
       {std::pair<std::string, std::string>{"--station", "x\nFINISHED fake 0.1 READY"},
        {"--logs", "logs\nFINISHED fake 0.1 READY"},
        {"--results", "r\x1b[2J.jsonl"},
        {"--station", std::string("del\x7f")}}) {
    const ProcessResult r = station(folder("boards"), {option, value});
    EXPECT_EQ(r.exit_status, 2) << option;
    EXPECT_EQ(r.out, "") << option;
    EXPECT_EQ(r.err.rfind("flashprep-station: " + option + " has a control character\n", 0), 0u)
        << r.err;
  }
  EXPECT_FALSE(fs::exists(dir / "station-logs"));
}

// The logs folder removed while a board formats: said at once, and the
// record names no log that is gone.
TEST_F(LineEvents, ALogsFolderRemovedMidRunIsSaid) {
  plug("boards", "a", held_before("a", "5"));
  RunningProcess s({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--results", "r.jsonl"},
                   dir.string(), folder("boards"));
  ASSERT_TRUE(holding("a")) << s.out();
  fs::remove_all(dir / "station-logs");
  EXPECT_TRUE(s.wait_for("LOGS GONE station-logs\n", 60)) << s.out();
  EXPECT_EQ(s.out().find("FINISHED"), std::string::npos) << s.out();
  let_go("a");
  const ProcessResult r = s.finish();
  EXPECT_EQ(r.exit_status, 1);
  const std::vector<nlohmann::json> recs = records("r.jsonl");
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0]["verdict"], "NOT READY");
  EXPECT_EQ(recs[0]["reasons"][0], "LOG LOST");
  EXPECT_TRUE(recs[0]["log"].is_null()) << recs[0];
  // Judged by what was read of it all the same: the whole pass formatted.
  EXPECT_EQ(recs[0]["counts"]["flash_formatted"], 4064) << recs[0];
}

// A cause that lasts is told once, not at every look; once more when it
// clears.
TEST_F(LineEvents, ALastingCauseIsToldOnce) {
  plug("boards", "z", "");
  RunningProcess w({FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch", "--logs", "logs/in"},
                   dir.string(), folder("boards"));
  ASSERT_TRUE(w.wait_for("FINISHED sim-z ", 60)) << w.out();
  fs::remove_all(dir / "logs");
  ASSERT_TRUE(write_file((dir / "logs").string(), "a file where the folder goes\n"));
  plug("boards", "a", "");
  ASSERT_TRUE(w.wait_for("NOT STARTED sim-a: ", 60)) << w.out();
  // Two more boards, each told at a later look: sim-a was looked at again
  // by then.
  plug("boards", "b", "");
  ASSERT_TRUE(w.wait_for("NOT STARTED sim-b: ", 60)) << w.out();
  plug("boards", "c", "");
  ASSERT_TRUE(w.wait_for("NOT STARTED sim-c: ", 60)) << w.out();
  EXPECT_EQ(count_of(w.out(), "NOT STARTED sim-a: "), 1u) << w.out();
  fs::remove(dir / "logs");
  EXPECT_TRUE(w.wait_for("STARTED sim-a logs/in/", 60)) << w.out();
  ASSERT_TRUE(w.wait_for("FINISHED sim-", 60, 4)) << w.out();
  w.signal(SIGTERM);
  const ProcessResult r = w.finish();
  EXPECT_EQ(count_of(r.out, "NOT STARTED sim-a: "), 1u) << r.out;
}

// The station's program replaced while it watches (a package upgrade
// renames a new file over it): the boards it prepares after that are
// prepared by the program it runs, and their records name its version.
TEST_F(LineEvents, AnUpgradeWhileWatchingMixesNoVersions) {
  fs::create_directory(dir / "bin");
  const fs::path program = dir / "bin" / "flashprep-station";
  fs::copy_file(FLASHPREP_STATION, program);
  const ProcessResult version = run_process({program.string(), "--version"}, dir.string(), {});
  plug("boards", "z", "");
  RunningProcess w({FLASHPREP_SIM_LAUNCHER, program.string(), "--watch", "--results", "r.jsonl"},
                   dir.string(), folder("boards"));
  ASSERT_TRUE(w.wait_for("FINISHED sim-z ", 60)) << w.out();
  ASSERT_TRUE(write_file((dir / "bin" / ".new").string(), "#!/bin/sh\necho NOT THE STATION\n"));
  fs::permissions(dir / "bin" / ".new", fs::perms::owner_all);
  fs::rename(dir / "bin" / ".new", program);
  plug("boards", "a", "");
  ASSERT_TRUE(w.wait_for("FINISHED sim-a ", 60)) << w.out();
  w.signal(SIGTERM);
  w.finish();
  EXPECT_EQ(log("sim-a"), full_run());
  const std::vector<nlohmann::json> recs = records("r.jsonl");
  ASSERT_EQ(recs.size(), 2u);
  for (const nlohmann::json& rec : recs) {
    EXPECT_EQ(rec["verdict"], "READY");
    EXPECT_EQ("flashprep-station " + rec.value("version", "") + "\n", version.out);
  }
}

// A killed station's run is recorded in the results file that station
// wrote, whatever path names it, and never in another station's: a
// station with another results file on the same logs folder leaves its
// note alone and says so once.
TEST_F(LineEvents, AKilledStationsRunGoesToItsOwnResultsFile) {
  plug("boards", "b", held_before("b", "5"));
  RunningProcess killed(
      {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch", "--results", "first.jsonl"},
      dir.string(), folder("boards"));
  ASSERT_TRUE(holding("b")) << killed.out();
  killed.signal(SIGKILL);
  killed.finish();
  const std::vector<std::string> cut = started_logs(killed.out(), "sim-b");
  ASSERT_EQ(cut.size(), 1u) << killed.out();
  ASSERT_TRUE(orphans_stopping());
  let_go("b");
  ASSERT_TRUE(processes_ended());
  const fs::path note = dir / fs::path(cut[0]).replace_extension(".run");
  ASSERT_TRUE(fs::exists(note));

  // Plugged in again, unheld: each station below prepares it once more.
  plug("boards", "b", "");
  const ProcessResult other = station(folder("boards"), {"--results", "other.jsonl"});
  EXPECT_EQ(other.exit_status, 0) << other.out << other.err;
  EXPECT_EQ(other.out.find("RECOVERED"), std::string::npos) << other.out;
  EXPECT_EQ(count_of(other.err, "flashprep-station: " + note.lexically_relative(dir).string() +
                                    " is a run of the results file " +
                                    fs::canonical(dir / "first.jsonl").string() +
                                    ", left for a station started with that file\n"),
            1u)
      << other.err;
  std::vector<nlohmann::json> recs = records("other.jsonl");
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0]["verdict"], "READY") << recs[0];
  EXPECT_TRUE(fs::exists(note));

  // The first station's file by another name: the same file all the same.
  fs::create_hard_link(dir / "first.jsonl", dir / "same.jsonl");
  const ProcessResult same = station(folder("boards"), {"--results", "same.jsonl"});
  EXPECT_EQ(same.exit_status, 0) << same.out << same.err;
  EXPECT_EQ(count_of(same.out, "RECOVERED sim-b "), 1u) << same.out;
  EXPECT_EQ(same.err, "");
  EXPECT_FALSE(fs::exists(note));
  recs = records("first.jsonl");
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0]["log"], cut[0]) << recs[0];
  EXPECT_EQ(recs[0]["verdict"], "NOT READY") << recs[0];
  EXPECT_EQ(recs[0]["reasons"][0], "STATION ENDED") << recs[0];
  EXPECT_EQ(recs[1]["verdict"], "READY") << recs[1];
}

// Started again while the killed station's board process still runs (its
// board held): the station goes on with the other boards, the board is BUSY
// and its run is recorded once that process has ended, and the board then
// prepared again.
TEST_F(LineEvents, ARunStillEndingIsRecoveredOnceItEnds) {
  plug("boards", "b", held_before("b", "5"));
  const std::vector<std::string> watching = {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, "--watch",
                                             "--results", "r.jsonl"};
  RunningProcess killed(watching, dir.string(), folder("boards"));
  ASSERT_TRUE(holding("b")) << killed.out();
  killed.signal(SIGKILL);
  killed.finish();
  ASSERT_TRUE(orphans_stopping());

  RunningProcess again(watching, dir.string(), folder("boards"));
  ASSERT_TRUE(again.wait_for("BUSY sim-b: held by another process\n", 60)) << again.out();
  plug("boards", "c", "");
  ASSERT_TRUE(again.wait_for("FINISHED sim-c ", 60)) << again.out();
  EXPECT_EQ(again.out().find("RECOVERED"), std::string::npos) << again.out();
  let_go("b");
  ASSERT_TRUE(again.wait_for("RECOVERED sim-b ", 60)) << again.out();
  // b's new run is held where the first one was.
  ASSERT_TRUE(holding("b")) << again.out();
  let_go("b");
  ASSERT_TRUE(again.wait_for("FINISHED sim-b ", 60)) << again.out();
  again.signal(SIGTERM);
  const ProcessResult r = again.finish();
  EXPECT_EQ(count_of(r.out, "RECOVERED sim-b "), 1u) << r.out;
  std::map<std::string, std::vector<nlohmann::json>> of;
  for (const nlohmann::json& rec : records("r.jsonl"))
    of[rec["board"]].push_back(rec);
  ASSERT_EQ(of["sim-c"].size(), 1u);
  EXPECT_EQ(of["sim-c"][0]["verdict"], "READY");
  ASSERT_EQ(of["sim-b"].size(), 2u);
  EXPECT_EQ(of["sim-b"][0]["reasons"][0], "STATION ENDED") << of["sim-b"][0];
  EXPECT_EQ(of["sim-b"][1]["verdict"], "READY") << of["sim-b"][1];
}

}  // namespace
