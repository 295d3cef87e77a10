// The station's tests' scratch folder: a driver image of its own, boards
// plugged in as files of a folder, the station and flashprep run there with
// the simulated boards preloaded.
#ifndef FLASHPREP_TESTS_E2E_STATION_FIXTURE_H_
#define FLASHPREP_TESTS_E2E_STATION_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/process.h"
#include "image/srecord_writer.h"
#include "run_expectations.h"

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

constexpr uint32_t kRam = 0x20000000;
constexpr int kDriverBytes = 3000;
// Transfers before the format pass: identify (4), 12 driver blocks (24), init (2).
constexpr long kBeforeFormat = 30;

inline std::string read_text(const fs::path& p) {
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
  // A board file in `folder` (created if need be).
  void plug(const std::string& folder, const std::string& name, const std::string& text) {
    fs::create_directories(dir / folder);
    std::ofstream(dir / folder / name, std::ios::binary) << text;
  }
  Env folder(const std::string& name) { return {{"FLASHPREP_SIM_BOARDS", (dir / name).string()}}; }
  static std::string full_run() {
    return expected_download(kDriverBytes, kRam, kRam + kDriverBytes - 1) +
           expected_format({}).lines;
  }

  fs::path dir;
};

#endif  // FLASHPREP_TESTS_E2E_STATION_FIXTURE_H_
