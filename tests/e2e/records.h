// Results records in the end-to-end tests: whether a results file holds only
// records the schema (docs/results-record.schema.json) accepts, checked with
// a real validator (tests/validate_records.py, python3-jsonschema), and
// records made for the shift report's tests by the station's own writer
// (records/).
#ifndef FLASHPREP_TESTS_E2E_RECORDS_H_
#define FLASHPREP_TESTS_E2E_RECORDS_H_

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "e2e/process.h"
#include "records/record_text.h"
#include "records/record_time.h"

// Success when every line of `results` is a record of the schema; otherwise
// the validator's words: the file, the line, where in the record and what is
// wrong. A file with no record, or one that cannot be read, fails too.
inline ::testing::AssertionResult records_valid(const std::filesystem::path& results) {
  const ProcessResult r = run_process(
      {FLASHPREP_PYTHON, FLASHPREP_VALIDATE_RECORDS, FLASHPREP_RECORD_SCHEMA, results.string()},
      ".", {});
  if (r.exit_status == 0)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << results << " holds what the schema refuses (validator "
                                       << "exit status " << r.exit_status << "):\n"
                                       << r.out << r.err;
}

// Two driver images: the line's and another.
constexpr const char* kImageA = "3f2a9c01d2e4b5a697887766554433221100ffeeddccbbaa9988776655443322";
constexpr const char* kImageB = "9b7e11aa0c53d2e4f5061728394a5b6c7d8e9fa0b1c2d3e4f5061728394a5b6c";

// One board's record, as flashprep-station writes it. Start is given, end is
// start plus seconds; an empty port or serial is left out.
struct TestRecord {
  std::string station = "line-a";
  std::string port = "1-1.1";
  std::string serial;
  int devnum = 7;  // without a serial, a board is its station, port and plug
  std::string boot = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  std::string bus = "001";
  std::string place;  // the board's place; empty: its port, else sim-SERIAL
  std::string start = "2026-12-08T06:00:00.000Z";
  double seconds = 12;
  std::vector<std::string> reasons;  // empty: READY
  std::string verdict;               // empty: READY without reasons, else NOT READY
  std::vector<std::pair<int, int>> failed_blocks;
  const char* image = kImageA;  // nullptr: the image could not be read

  // "YYYY-MM-DDTHH:MM:SS.mmmZ" of start plus `ms`.
  static std::string later(const std::string& start, long ms) {
    int64_t start_ms = 0;
    EXPECT_TRUE(parse_record_time(start, &start_ms)) << start;
    return record_time_text(start_ms + ms);
  }

  std::string outcome() const {
    if (!verdict.empty())
      return verdict;
    return reasons.empty() ? "READY" : "NOT READY";
  }

  // The record as the station's own writer (records/) makes it.
  RunRecord run_record() const {
    int64_t start_ms = 0;
    EXPECT_TRUE(parse_record_time(start, &start_ms)) << start;
    const auto at = [](int64_t ms) {
      return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
    };
    RunRecord r;
    r.board = !place.empty() ? place : port.empty() ? "sim-" + serial : port;
    r.start = at(start_ms);
    r.end = at(start_ms + static_cast<int64_t>(seconds * 1000) + 2);
    r.seconds = seconds;
    r.verdict = outcome();
    r.reasons = reasons;
    r.log = "station-logs/" + r.board + ".log";
    r.version = "1.1.0";
    r.station = station;
    r.port = port;
    r.bus = bus;
    r.device = "007";
    r.devnum = devnum;
    r.boot = boot;
    r.serial = serial;
    r.image_known = image != nullptr;
    if (image != nullptr)
      r.image = {"serial_flash.S19", image, 4000, "20000000", "20000F9F", 16};
    int failed = 0;
    for (const auto& [first, last] : failed_blocks)
      failed += last - first + 1;
    r.driver_downloaded = 16;
    r.flash_formatted = 4064 - failed;
    r.flash_failed = failed;
    r.table_written = 17;
    r.failed_blocks = failed_blocks;
    return r;
  }

  std::string line() const { return record_text(run_record()) + "\n"; }
  // The line as JSON, for a test to change a member.
  nlohmann::ordered_json json() const { return nlohmann::ordered_json::parse(line()); }
  // As flashprep 1.0 wrote it (schema 1): the members up to version.
  std::string line_v1() const {
    const nlohmann::ordered_json v2 = json();
    nlohmann::ordered_json v1;
    for (const auto& [name, value] : v2.items()) {
      if (name == "schema")
        break;
      v1[name] = value;
    }
    v1["version"] = "1.0.0";
    return v1.dump() + "\n";
  }
};

#endif  // FLASHPREP_TESTS_E2E_RECORDS_H_
