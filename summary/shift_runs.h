// The runs a shift report counts, as the tally keeps them while the records
// are read: about 40 bytes a run, its strings (stations, boots, ports,
// reasons, serials, images) numbered and kept once. The steps of the report
// (summary/shift_steps.h) read them from here.
#ifndef FLASHPREP_SUMMARY_SHIFT_RUNS_H_
#define FLASHPREP_SUMMARY_SHIFT_RUNS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "records/record_line.h"
#include "summary/string_table.h"

// Where a run was: the station's name, its boot, the port and the place's
// name; each a number in RunTable::texts (boot kNone when unknown).
struct Where {
  uint32_t station;
  uint32_t boot;
  uint32_t port;
  uint32_t place;
};

// What a run that did not end READY said: its reasons and failed blocks.
struct Failure {
  uint32_t reasons_at;  // in RunTable::reasons
  uint32_t blocks_at;   // in RunTable::blocks
  uint16_t reasons;
  uint16_t blocks;
};

struct Run {
  static constexpr uint8_t kSimulated = 1;  // on a simulated board
  static constexpr uint8_t kEnded = 2;      // ended by the station
  static constexpr uint8_t kCopy = 4;       // a copy of an earlier record: dropped
  static constexpr uint8_t kSchema1 = 8;

  int64_t start_ms;
  uint32_t duration_ms;  // to its end
  uint32_t run_ms;       // the run's own "seconds", to the millisecond as recorded
  uint32_t where;        // in RunTable::wheres
  uint32_t serial;       // in RunTable::serials; kNone without
  uint32_t image;        // in RunTable::images; kNone when none was read
  uint32_t devnum;
  uint32_t failure;  // in RunTable::failures; kNone for a run without reasons
  Outcome verdict;
  uint8_t flags;
  uint16_t nth;  // set by the report: its number among its board's runs

  int64_t end_ms() const { return start_ms + duration_ms; }
  bool judged() const { return (flags & kEnded) == 0; }
};

struct RunTable {
  static constexpr uint32_t kNone = StringTable::kNone;

  std::vector<Run> runs;  // every record inside the times asked for, as read
  std::vector<Where> wheres;
  std::vector<Failure> failures;
  std::vector<uint32_t> reasons;  // numbers in texts
  std::vector<BlockRange> blocks;
  StringTable texts;
  StringTable serials;
  StringTable images;  // by sha256
  std::vector<std::string> image_files;
  std::vector<int64_t> image_bytes;

  // The number of a place, added when new.
  uint32_t where_of(const Where& w);
  std::string_view text(uint32_t id) const {
    return id == kNone ? std::string_view() : texts.text(id);
  }
  static bool counted(const Run& run, bool with_simulated) {
    return (run.flags & Run::kCopy) == 0 && (with_simulated || (run.flags & Run::kSimulated) == 0);
  }
  // The run's reasons as texts.
  std::vector<std::string_view> reasons_of(const Run& run) const;

  // Kept by where_of(): the places by a hash of their four numbers.
  std::unordered_map<uint64_t, std::vector<uint32_t>> where_index;
};

#endif  // FLASHPREP_SUMMARY_SHIFT_RUNS_H_
