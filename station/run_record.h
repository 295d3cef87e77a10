// A finished board's run as its record (records/record.h): what the station
// knows of the run, the plug and itself, and what the log says.
#ifndef FLASHPREP_STATION_RUN_RECORD_H_
#define FLASHPREP_STATION_RUN_RECORD_H_

#include <string>

#include "records/record.h"
#include "station/board_run.h"

// Who writes the records: the station's name, the tool's version and the
// boot the station runs in.
struct RecordSource {
  std::string station;
  std::string version;
  std::string boot;
};

// The record of `run`, which has finished.
RunRecord record_of(const BoardRun& run, const RecordSource& source);

// The record of `run` as it starts: what is known before its process runs,
// judged as a run a station never saw end would be (NOT READY, STATION
// ENDED, nothing counted). A run's note (station/recovery.h).
RunRecord starting_record_of(const BoardRun& run, const RecordSource& source);

// Fills the record's counts and failed blocks from `log`.
void count_log(const RunLog& log, RunRecord* record);

#endif  // FLASHPREP_STATION_RUN_RECORD_H_
