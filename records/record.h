// A finished board's record in a station's results file: one JSON object on
// one line (JSON Lines), schema 2 (docs/results-record.schema.json), its
// members in this order:
//
//   {"board":"1-1.3","start":"2026-12-08T13:05:01.234Z",
//    "end":"2026-12-08T13:05:13.501Z","seconds":12.267,"verdict":"NOT READY",
//    "reasons":["BLOCKS NOT FORMATTED: 1 (9)"],
//    "log":"station-logs/1-1.3.20261208T130501Z.log","version":"1.1.0",
//    "schema":2,"station":"bench-4","port":"1-1.3","bus":"001","device":"007",
//    "devnum":7,"boot":"0e6c...","serial":"FP-0042",
//    "image":{"file":"serial_flash.S19","sha256":"9f86...","bytes":4000,
//             "start":"20000000","end":"20000F9F","blocks":16},
//    "counts":{"driver_downloaded":16,"driver_refused":0,"flash_formatted":4063,
//              "flash_failed":1,"table_written":17,"table_refused":0},
//    "failed_blocks":[[9,9]]}
//
// Times are UTC, ISO 8601, to the millisecond; seconds is the run's own
// (monotonic) time; verdict and reasons are flashprep-summary's, with what
// only the station knows first; log is null when no log was made; port,
// boot and serial are left out when the system does not tell them, image is
// null when the driver image could not be read when the run started.
//
// Records of flashprep 1.0 (schema 1) have the members up to version only,
// and no schema member.
#ifndef FLASHPREP_RECORDS_RECORD_H_
#define FLASHPREP_RECORDS_RECORD_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The schema the station writes, and the newest a reader knows.
constexpr int kRecordSchema = 2;

// The driver image a board's run was started with.
struct RecordImage {
  std::string file;    // the file's name, as the run opens it
  std::string sha256;  // of the file's bytes
  // The run's summary of it: BYTES, START, END (hexadecimal, as printed)
  // and BLOCKS.
  uint32_t bytes = 0;
  std::string start;
  std::string end;
  int blocks = 0;
};

// The first reason of a record that a station started later wrote for a run
// whose own station ended before the run did (station/recovery.h).
constexpr const char* kStationEnded = "STATION ENDED";

// Everything a record says, as plain values.
struct RunRecord {
  std::string board;
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  double seconds = 0;
  std::string verdict;
  std::vector<std::string> reasons;
  std::string log;  // "" for none (null in the record)
  std::string version;
  std::string station;
  std::string port;  // "" when unknown (left out)
  std::string bus;
  std::string device;
  int devnum = 0;
  std::string boot;    // "" when unknown (left out)
  std::string serial;  // "" when unknown (left out)
  bool image_known = false;
  RecordImage image;
  int driver_downloaded = 0;
  int driver_refused = 0;
  int flash_formatted = 0;
  int flash_failed = 0;
  int table_written = 0;
  int table_refused = 0;
  std::vector<std::pair<int, int>> failed_blocks;  // ascending [first, last]
};

#endif  // FLASHPREP_RECORDS_RECORD_H_
