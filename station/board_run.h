// One board's share of the station: where it is, the process preparing it,
// its log as read so far, and its times and verdict.
#ifndef FLASHPREP_STATION_BOARD_RUN_H_
#define FLASHPREP_STATION_BOARD_RUN_H_

#include <chrono>
#include <string>

#include "station/board_list.h"
#include "station/board_log.h"
#include "station/host.h"
#include "tools/summary/verdict.h"

using StationClock = std::chrono::steady_clock;

struct BoardRun {
  explicit BoardRun(BoardSlot where, const std::string& log_path)
      : slot(std::move(where)), log_path(log_path), log(log_path) {}

  BoardSlot slot;
  std::string log_path;
  BoardProcess process;
  BoardLog log;
  bool started = false;
  bool finished = false;
  StationClock::time_point start_time;
  // When lines of the format pass were first read, and how many blocks
  // they had reached then: the pace is measured from there.
  StationClock::time_point format_seen;
  int format_seen_blocks = 0;
  bool format_begun = false;
  double seconds = 0;  // from start to end, once finished
  Verdict verdict;     // once finished

  // Flash blocks the log has reached so far (formatted, failed or tables).
  int blocks_reached() const;
  // Where the run is: STARTING, DRIVER, INIT or FORMAT; once finished, the
  // verdict's headline.
  std::string phase() const;
  // Seconds left at the pace so far, or -1 before that pace is known.
  double seconds_left(StationClock::time_point now) const;
  // The first reason of the verdict, "" for READY.
  std::string first_reason() const;
};

#endif  // FLASHPREP_STATION_BOARD_RUN_H_
