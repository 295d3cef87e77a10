// One board's share of the station: where it is, the process preparing it,
// its log as read so far, and its times and verdict.
#ifndef FLASHPREP_STATION_BOARD_RUN_H_
#define FLASHPREP_STATION_BOARD_RUN_H_

#include <chrono>
#include <string>

#include "runlog/verdict.h"
#include "station/board_list.h"
#include "station/board_log.h"
#include "station/host.h"

using StationClock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

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
  WallClock::time_point started_at;  // for the results file; start_time times the run
  WallClock::time_point ended_at;
  // When lines of the format pass were first read, and how many blocks
  // they had reached then: the pace is measured from there.
  StationClock::time_point format_seen;
  int format_seen_blocks = 0;
  bool format_begun = false;
  double seconds = 0;      // from start to end, once finished
  Verdict verdict;         // once finished
  bool unplugged = false;  // watching: the board was pulled out since it was found

  // Notes the start: now, on both clocks.
  void begin();
  // Reads what the board's process added to its log (notes when the format
  // pass was first seen, for the pace).
  void follow(StationClock::time_point now);
  // The process has ended: reads the rest of its log and judges it.
  void finish(StationClock::time_point now);

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
