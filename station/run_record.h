// A finished board's record in the results file: one JSON object on one
// line (JSON Lines), its members in this order:
//
//   {"board":"1-1.3","start":"2026-12-08T13:05:01.234Z",
//    "end":"2026-12-08T13:05:13.501Z","seconds":12.267,"verdict":"NOT READY",
//    "reasons":["BLOCKS NOT FORMATTED: 1 (9)"],
//    "log":"station-logs/1-1.3.20261208T130501Z.log","version":"1.4.0"}
//
// Times are UTC, ISO 8601, to the millisecond; seconds is the run's own
// (monotonic) time; verdict and reasons are flashprep-summary's, reasons
// empty for READY.
#ifndef FLASHPREP_STATION_RUN_RECORD_H_
#define FLASHPREP_STATION_RUN_RECORD_H_

#include <string>

#include "station/board_run.h"
#include "station/results_file.h"

// The record of `run`, which has finished; no newline.
std::string run_record(const BoardRun& run, const std::string& version);

// `t` as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string utc_time(WallClock::time_point t);

// `text` as a JSON string, quotes included.
std::string json_string(const std::string& text);

// Appends the record of `run` to `results`; a record that cannot be written
// is told on standard error and the station goes on.
void record_run(ResultsFile& results, const BoardRun& run, const std::string& version);

#endif  // FLASHPREP_STATION_RUN_RECORD_H_
