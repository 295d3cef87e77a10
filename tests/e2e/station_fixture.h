// The station's tests' scratch folder: a driver image of its own, boards
// plugged in as files of a folder, the station and flashprep run there with
// the simulated boards preloaded.
#ifndef FLASHPREP_TESTS_E2E_STATION_FIXTURE_H_
#define FLASHPREP_TESTS_E2E_STATION_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board/board_facts.h"
#include "e2e/process.h"
#include "e2e/records.h"
#include "e2e/text_files.h"
#include "image/srecord_writer.h"
#include "records/results_reader.h"
#include "run_expectations.h"
#include "util/write_file.h"

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

// The logs the station named for board `name` in its STARTED lines, in the
// order the runs started.
inline std::vector<std::string> started_logs(const std::string& out, const std::string& name) {
  std::vector<std::string> logs;
  for (const std::string& line : lines_of(out))
    if (line.rfind("STARTED " + name + " ", 0) == 0)
      logs.push_back(line.substr(9 + name.size()));
  return logs;
}
constexpr int kDriverBytes = 3000;
// Transfers before the format pass: identify (4), 12 driver blocks (24), init (2).
constexpr long kBeforeFormat = 30;

class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/flashprep-station-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    // The boards' claims of the stations a test starts, its own: tests run
    // side by side with boards of the same names.
    ASSERT_EQ(setenv("FLASHPREP_LOCK_DIR", (dir / "claims").c_str(), 1), 0);
    std::vector<uint8_t> driver(kDriverBytes);
    for (size_t i = 0; i < driver.size(); ++i)
      driver[i] = static_cast<uint8_t>(i * 31 + 7);
    ASSERT_TRUE(write_file((dir / "serial_flash.S19").string(),
                           srecord::header_record("station") +
                               srecord::data_records(4, kRam, driver.data(), driver.size(), 32) +
                               srecord::terminator_record(4, kRam)));
  }
  // A station killed outright leaves its boards' runs to end by themselves,
  // still writing their logs here; the folder goes once they have. A board
  // a test left held (it stopped early) is let go.
  void TearDown() override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::vector<int> left;
    std::error_code ec;
    while (!(left = processes_in(dir)).empty() && std::chrono::steady_clock::now() < deadline) {
      fs::remove_all(dir / "holds", ec);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(left.empty()) << left.size() << " processes still run in " << dir << ", the first "
                              << left[0];
    fs::remove_all(dir, ec);
    EXPECT_FALSE(ec) << dir << ": " << ec.message();
  }
  // Processes other than this one working in `folder` or below it.
  static std::vector<int> processes_in(const fs::path& folder) {
    std::vector<int> pids;
    std::error_code ec;
    // Processes come and go while the list is read: no step may throw.
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos || std::stoi(name) == getpid())
        continue;
      std::error_code gone;
      const std::string cwd = fs::read_symlink(it->path() / "cwd", gone).string() + "/";
      if (!gone && cwd.rfind(folder.string() + "/", 0) == 0)
        pids.push_back(std::stoi(name));
    }
    return pids;
  }

  // Waits (a minute at most) until every process working in the scratch
  // folder runs one thread alone: a board's process whose station ended has
  // then filed its stop request (the thread that watches for the station's
  // end ends once it has), and stops at its next exchange.
  bool orphans_stopping() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      bool all = true;
      for (const int pid : processes_in(dir)) {
        const std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
        all = all && (status.empty() || status.find("\nThreads:\t1\n") != std::string::npos);
      }
      if (all)
        return true;
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // Waits (a minute at most) until no process works in the scratch folder.
  bool processes_ended() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!processes_in(dir).empty()) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  ProcessResult station(const Env& env, std::vector<std::string> args = {},
                        const SignalPlan& plan = SignalPlan()) {
    std::vector<std::string> argv = {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, dir.string(), env, plan);
  }
  ProcessResult flashprep_alone(const Env& env) {
    return run_process({FLASHPREP_SIM_LAUNCHER, FLASHPREP_BINARY}, dir.string(), env);
  }
  // The logs of board `name` in the folder `logs`, in name order, which is
  // the order of the runs: the last is the latest run's.
  std::vector<fs::path> logs_of(const std::string& name, const std::string& logs = "station-logs") {
    std::vector<fs::path> found;
    std::error_code ec;
    const std::regex run_log(std::regex_replace(name, std::regex(R"([.])"), R"(\.)") +
                             R"(\.\d{8}T\d{6}Z(_\d+)?\.log)");
    for (fs::directory_iterator it(dir / logs, ec), end; !ec && it != end; it.increment(ec))
      if (std::regex_match(it->path().filename().string(), run_log))
        found.push_back(it->path());
    std::sort(found.begin(), found.end());
    return found;
  }
  // The latest log of board `name`; "" when it has none.
  std::string log(const std::string& name, const std::string& logs = "station-logs") {
    const std::vector<fs::path> found = logs_of(name, logs);
    return found.empty() ? "" : read_text(found.back());
  }
  // Waits (a minute at most: the machine may be loaded) until the file
  // `path` (in the scratch folder) holds `text`.
  bool file_reaches(const fs::path& path, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (read_text(dir / path).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  // The records of a results file, one JSON object per line that the
  // records' one rule (records/) takes as a record; a line it skips comes
  // back as null. Every record read is checked against the schema the
  // package ships as well.
  std::vector<nlohmann::json> records(const std::string& file) {
    std::vector<uint64_t> record_lines;
    ReadNotes notes;
    std::string error;
    EXPECT_TRUE(read_results(
        {(dir / file).string()}, [&](const ResultRecord& r) { record_lines.push_back(r.line); },
        &notes, &error))
        << error;
    std::vector<nlohmann::json> out;
    std::string whole;
    const std::vector<std::string> lines = lines_of(read_text(dir / file));
    for (size_t i = 0; i < lines.size(); ++i) {
      const bool record =
          std::find(record_lines.begin(), record_lines.end(), i + 1) != record_lines.end();
      out.push_back(record ? nlohmann::json::parse(lines[i]) : nlohmann::json());
      if (record)
        whole += lines[i] + "\n";
    }
    const fs::path checked = dir / (file + ".records");
    std::ofstream(checked, std::ios::binary) << whole;
    EXPECT_TRUE(records_valid(checked));
    fs::remove(checked);
    return out;
  }
  // A board file in `folder` (created if need be), plugged in whole: written
  // under a name the board folder passes over, then renamed, so that a look
  // at the folder never finds it half written (a file written again is a
  // board plugged in again).
  void plug(const std::string& folder, const std::string& name, const std::string& text) {
    fs::create_directories(dir / folder);
    const fs::path hidden = dir / folder / ("." + name + ".new");
    std::ofstream(hidden, std::ios::binary) << text;
    fs::rename(hidden, dir / folder / name);
  }
  Env folder(const std::string& name) { return {{"FLASHPREP_SIM_BOARDS", (dir / name).string()}}; }
  // The command line that runs the station with `args` as nobody (setpriv),
  // since root writes anywhere, on copies of the launcher, the station and
  // the board library in the scratch folder: that user may not enter the
  // folder the build lies in (root's home is private). `env` is told where
  // the library's copy is.
  std::vector<std::string> station_as_nobody(const std::vector<std::string>& args, Env* env) {
    const fs::perms readable = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
    const fs::path programs = dir / "programs";
    fs::create_directories(programs);
    fs::permissions(programs, readable);
    for (const fs::path program :
         {FLASHPREP_SIM_LAUNCHER, FLASHPREP_STATION, FLASHPREP_SIM_PRELOAD}) {
      if (!fs::exists(programs / program.filename()))
        fs::copy_file(program, programs / program.filename());
      fs::permissions(programs / program.filename(), readable);
    }
    (*env)["FLASHPREP_SIM_LIBRARY"] =
        (programs / fs::path(FLASHPREP_SIM_PRELOAD).filename()).string();
    std::vector<std::string> argv = {
        "/usr/bin/setpriv",
        "--reuid=nobody",
        "--regid=nogroup",
        "--clear-groups",
        (programs / fs::path(FLASHPREP_SIM_LAUNCHER).filename()).string(),
        (programs / fs::path(FLASHPREP_STATION).filename()).string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  // A board file's settings that hold board `name` before the format
  // replies of `blocks`: its process creates hold(name) once such a request
  // came, and the board answers once let_go(name) removed it. A test moves
  // its boards on when it has seen what it waited for, never after a time.
  std::string held_before(const std::string& name, const std::string& blocks) {
    fs::create_directories(dir / "holds");
    return "FLASHPREP_SIM_HOLD_FILE=" + hold(name).string() +
           "\nFLASHPREP_SIM_HOLD_BLOCKS=" + blocks + "\n";
  }
  fs::path hold(const std::string& name) const { return dir / "holds" / name; }
  // Waits (a minute at most) until board `name` holds a reply.
  bool holding(const std::string& name) { return file_appears(hold(name).string()); }
  void let_go(const std::string& name) { fs::remove(hold(name)); }
  static std::string full_run() {
    return expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1) +
           expected_format({}).lines;
  }

  fs::path dir;
};

#endif  // FLASHPREP_TESTS_E2E_STATION_FIXTURE_H_
