// Results records in the end-to-end tests: whether a results file holds only
// records the schema (docs/results-record.schema.json) accepts, checked with
// a real validator (tests/validate_records.py, python3-jsonschema), and
// records made for the shift report's tests.
#ifndef FLASHPREP_TESTS_E2E_RECORDS_H_
#define FLASHPREP_TESTS_E2E_RECORDS_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "e2e/process.h"

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
  std::string start = "2026-12-08T06:00:00.000Z";
  double seconds = 12;
  std::vector<std::string> reasons;  // empty: READY
  std::string verdict;               // empty: READY without reasons, else NOT READY
  std::vector<std::pair<int, int>> failed_blocks;
  const char* image = kImageA;  // nullptr: the image could not be read

  // "YYYY-MM-DDTHH:MM:SS.mmmZ" of start plus `ms` (within the same day).
  static std::string later(const std::string& start, long ms) {
    const long h = std::stol(start.substr(11, 2));
    const long m = std::stol(start.substr(14, 2));
    const long s = std::stol(start.substr(17, 2));
    const long milli = std::stol(start.substr(20, 3));
    const long t = ((h * 60 + m) * 60 + s) * 1000 + milli + ms;
    char text[40];
    std::snprintf(text, sizeof text, "%sT%02ld:%02ld:%02ld.%03ldZ", start.substr(0, 10).c_str(),
                  t / 3600000, t / 60000 % 60, t / 1000 % 60, t % 1000);
    return text;
  }

  std::string outcome() const {
    if (!verdict.empty())
      return verdict;
    return reasons.empty() ? "READY" : "NOT READY";
  }

  // Members up to version: what schema 1 and 2 share.
  nlohmann::ordered_json common(const std::string& version) const {
    nlohmann::ordered_json j;
    j["board"] = port.empty() ? "sim-" + serial : port;
    j["start"] = start;
    j["end"] = later(start, static_cast<long>(seconds * 1000) + 2);
    j["seconds"] = seconds;
    j["verdict"] = outcome();
    j["reasons"] = reasons;
    j["log"] = "station-logs/" + j["board"].get<std::string>() + ".log";
    j["version"] = version;
    return j;
  }

  nlohmann::ordered_json json() const {
    nlohmann::ordered_json j = common("1.1.0");
    j["schema"] = 2;
    j["station"] = station;
    if (!port.empty())
      j["port"] = port;
    j["bus"] = "001";
    j["device"] = "007";
    j["devnum"] = 7;
    j["boot"] = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
    if (!serial.empty())
      j["serial"] = serial;
    if (image == nullptr) {
      j["image"] = nullptr;
    } else {
      j["image"] = {{"file", "serial_flash.S19"}, {"sha256", image},   {"bytes", 4000},
                    {"start", "20000000"},        {"end", "20000F9F"}, {"blocks", 16}};
    }
    int failed = 0;
    nlohmann::json ranges = nlohmann::json::array();
    for (const auto& [first, last] : failed_blocks) {
      failed += last - first + 1;
      ranges.push_back({first, last});
    }
    j["counts"] = {
        {"driver_downloaded", 16}, {"driver_refused", 0}, {"flash_formatted", 4064 - failed},
        {"flash_failed", failed},  {"table_written", 17}, {"table_refused", 0}};
    j["failed_blocks"] = ranges;
    return j;
  }

  std::string line() const { return json().dump() + "\n"; }
  // As flashprep 1.0 wrote it (schema 1).
  std::string line_v1() const { return common("1.0.0").dump() + "\n"; }
};

#endif  // FLASHPREP_TESTS_E2E_RECORDS_H_
