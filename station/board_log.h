// Follows one board's log while the board's process writes it: reads what
// was appended since the last look and reads the whole lines so far with
// flashprep-summary's reader, so the station and flashprep-summary agree on
// every line.
#ifndef FLASHPREP_STATION_BOARD_LOG_H_
#define FLASHPREP_STATION_BOARD_LOG_H_

#include <fstream>
#include <string>

#include "runlog/run_log.h"
#include "runlog/verdict.h"

class BoardLog {
 public:
  explicit BoardLog(std::string path) : path_(std::move(path)) {}

  // Reads what was appended to the file. True when whole lines were added
  // (run() then covers them). A file that cannot be opened yet reads as
  // empty.
  bool follow();

  // The whole lines read so far, as the summary's reader sees them.
  const RunLog& run() const { return run_; }

  // The verdict on everything read, a last line without its end included:
  // for a process that has ended, after a last follow().
  Verdict verdict() const;

 private:
  std::string path_;
  std::ifstream in_;
  std::string bytes_;
  size_t whole_ = 0;  // bytes up to the end of the last whole line
  RunLog run_;
};

#endif  // FLASHPREP_STATION_BOARD_LOG_H_
