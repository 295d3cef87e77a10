// Follows one board's log while the board's process writes it: each look
// reads what was appended since the last one and hands its lines, once each,
// to the very reader flashprep-summary uses (runlog/), so that the station
// and flashprep-summary agree on every line and a look costs what was
// appended, not the whole log.
#ifndef FLASHPREP_STATION_BOARD_LOG_H_
#define FLASHPREP_STATION_BOARD_LOG_H_

#include <cstdint>
#include <fstream>
#include <string>

#include "runlog/log_lines.h"
#include "runlog/run_log.h"
#include "runlog/verdict.h"

// Ownership: the object owns its open file. Not copyable.
class BoardLog {
 public:
  explicit BoardLog(std::string path) : path_(std::move(path)) {}
  BoardLog(const BoardLog&) = delete;
  BoardLog& operator=(const BoardLog&) = delete;

  // Reads what was appended to the file. True when whole lines were added
  // (run() then covers them). A file that cannot be opened yet reads as
  // empty.
  bool follow();

  // The whole lines read so far, as the summary's reader sees them.
  const RunLog& run() const { return reader_.run(); }

  // The process has ended: reads the rest, takes a last line without its
  // end, judges the whole log and closes the file. Later calls give the same
  // verdict.
  const Verdict& finish();

  // Bytes read so far.
  uint64_t bytes() const { return read_; }

 private:
  std::string path_;
  std::ifstream in_;
  uint64_t read_ = 0;
  LogLineSplitter splitter_;
  RunLogReader reader_;
  bool finished_ = false;
  Verdict verdict_;
};

#endif  // FLASHPREP_STATION_BOARD_LOG_H_
