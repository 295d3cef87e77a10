// Counts a shift's records as they are read (add), then lays them out once
// (report) by the rules of summary/shift_report.h.
#ifndef FLASHPREP_SUMMARY_SHIFT_TALLY_H_
#define FLASHPREP_SUMMARY_SHIFT_TALLY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "records/results_reader.h"
#include "summary/shift_report.h"
#include "summary/shift_runs.h"
#include "summary/shift_steps.h"
#include "summary/time_zone.h"

struct TallyOptions {
  bool since_given = false;
  int64_t since_ms = 0;
  bool until_given = false;
  int64_t until_ms = 0;
  bool with_simulated = false;
};

// What the CSV adds to a record: how the report counted it.
struct RunFacts {
  bool copy = false;  // dropped as a copy of an earlier record
  bool simulated = false;
  bool ended = false;         // by the station
  std::string station;        // as the report names it
  std::string board;          // serial, or station, port and plug
  uint32_t run_of_board = 0;  // 1 for its first run; 0 when not counted
};

class ShiftTally {
 public:
  explicit ShiftTally(const TallyOptions& options) : options_(options) {}

  // False when the record lies outside the times asked for (not kept).
  bool add(const ResultRecord& record);
  // Whether add() keeps the record: it lies inside the times asked for.
  bool inside(const ResultRecord& record) const;

  // The report; `files` and `notes` are those of the reading, `zone` the
  // one its times are shown in (the timeline's bars start at its round
  // hours). Call once.
  ShiftReport report(const std::vector<std::string>& files, const ReadNotes& notes,
                     const TimeZone& zone);

  // After report(): the facts of the n-th record (from 0) that add() kept
  // of file `file`; false when it kept fewer (a file that grew since).
  bool facts(size_t file, uint64_t n, RunFacts* out) const;

 private:
  TallyOptions options_;
  RunTable table_;
  uint64_t outside_window_ = 0;
  std::vector<uint64_t> kept_per_file_;
  uint32_t last_station_ = RunTable::kNone;
  uint32_t last_boot_ = RunTable::kNone;
  Analysis analysis_;  // what report() found, for facts()
};

#endif  // FLASHPREP_SUMMARY_SHIFT_TALLY_H_
