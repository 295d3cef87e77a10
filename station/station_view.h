// What the station shows while it works.
//
// On a terminal: one line per board (name, phase, a bar over its flash
// blocks, time left, then the verdict and its first reason), redrawn in
// place, and a closing table. Elsewhere (a file, a pipe, a journal) one
// plain line per event, whose words scripts may rely on:
//
//   FOUND NAME
//   STARTED NAME LOG
//   NOT STARTED NAME: WHY
//   STOPPING ON SIGNAL N
//   FINISHED NAME SECONDS READY
//   FINISHED NAME SECONDS NOT READY: FIRST REASON
//   FINISHED NAME SECONDS NOT A FLASHPREP LOG: FIRST REASON
//   DONE R READY, N NOT READY
//
// and, watching, when a board is pulled out:
//
//   UNPLUGGED NAME
//
// NAME holds no space; SECONDS has one decimal.
#ifndef FLASHPREP_STATION_STATION_VIEW_H_
#define FLASHPREP_STATION_STATION_VIEW_H_

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "station/board_run.h"

// The boards the view shows, one line each, in this order. Not owned.
using BoardLines = std::vector<const BoardRun*>;

class StationView {
 public:
  // `out` is the station's standard output; `terminal` chooses the live
  // view, `columns` its width.
  StationView(std::ostream& out, bool terminal, int columns)
      : out_(out), terminal_(terminal), columns_(columns) {}

  void found(const BoardRun& board);
  void started(const BoardRun& board);
  void not_started(const BoardRun& board, const std::string& why);
  void stopping(int request);
  void finished(const BoardRun& board);
  void unplugged(const BoardRun& board);
  // Redraws the live view (a terminal only).
  void draw(const BoardLines& boards, StationClock::time_point now);
  void draw(const std::deque<BoardRun>& boards, StationClock::time_point now);
  // The last drawing and the closing table of `boards`, or the DONE line,
  // which counts `ready` and `not_ready` runs.
  void close(const BoardLines& boards, StationClock::time_point now, int ready, int not_ready);
  // The same, the DONE line counting `boards`.
  void close(const std::deque<BoardRun>& boards, StationClock::time_point now);

 private:
  void event(const std::string& line);
  std::string board_line(const BoardRun& board, size_t name_width,
                         StationClock::time_point now) const;

  std::ostream& out_;
  bool terminal_;
  int columns_;
  int drawn_ = 0;  // lines of the last drawing, to go back over
};

#endif  // FLASHPREP_STATION_STATION_VIEW_H_
