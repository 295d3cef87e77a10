// Splits a saved log into its lines, whatever system saved it: lines may end
// in LF or CR LF, and Windows tools may put a byte-order mark first (UTF-8) or
// write the whole text as UTF-16LE (the `>` of Windows PowerShell 5).
#ifndef FLASHPREP_RUNLOG_LOG_LINES_H_
#define FLASHPREP_RUNLOG_LOG_LINES_H_

#include <string>
#include <vector>

struct LogLine {
  std::string text;   // without its line end
  bool ended = true;  // false only for a last line that has no line end
};

// The lines of `bytes`, in order; an empty input has none. A UTF-16LE
// character outside ASCII becomes the byte 0xFF, which no line of a run holds.
std::vector<LogLine> split_log_lines(const std::string& bytes);

#endif  // FLASHPREP_RUNLOG_LOG_LINES_H_
