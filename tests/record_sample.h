// A record for the records' tests, with every member the schema allows, each
// set apart from the others so that a member read or written in another's
// place shows.
#ifndef FLASHPREP_TESTS_RECORD_SAMPLE_H_
#define FLASHPREP_TESTS_RECORD_SAMPLE_H_

#include <chrono>
#include <string>

#include "records/record.h"

inline RunRecord sample_record() {
  using std::chrono::milliseconds;
  using Clock = std::chrono::system_clock;
  RunRecord r;
  r.board = "1-1.3";
  r.start = Clock::time_point(milliseconds(1796734701234));  // 2026-12-08T12:58:21.234Z
  r.end = Clock::time_point(milliseconds(1796734713501));
  r.seconds = 12.267;
  r.verdict = "NOT READY";
  r.reasons = {"UNPLUGGED", "BLOCKS NOT FORMATTED: 3 (9, 100-101)"};
  r.log = "station-logs\\1-1.3.20261208T133821Z.log";
  r.version = "1.1.0";
  r.station = "bench \"4\"";
  r.port = "1-1.3";
  r.bus = "001";
  r.device = "007";
  r.devnum = 7;
  r.boot = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  r.serial = "FP-0042";
  r.image_known = true;
  r.image = {"serial_flash.S19", std::string(64, 'a'), 4000, "20000000", "20000F9F", 16};
  r.driver_downloaded = 15;
  r.driver_refused = 1;
  r.flash_formatted = 4061;
  r.flash_failed = 3;
  r.table_written = 16;
  r.table_refused = 2;
  r.failed_blocks = {{9, 9}, {100, 101}};
  return r;
}

// The sample as a system that tells less writes it, READY: no port, boot,
// serial, log or image.
inline RunRecord bare_sample_record() {
  RunRecord r = sample_record();
  r.port.clear();
  r.boot.clear();
  r.serial.clear();
  r.log.clear();
  r.image_known = false;
  r.image = RecordImage();
  r.verdict = "READY";
  r.reasons.clear();
  r.failed_blocks.clear();
  r.seconds = 0.5;
  return r;
}

#endif  // FLASHPREP_TESTS_RECORD_SAMPLE_H_
