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

// The splitting of a log that is still being written: bytes are added as they
// come, and each line is given out once its end has come, so that a reader
// following a log handles each byte once. A UTF-16LE character outside ASCII
// becomes the byte 0xFF, which no line of a run holds.
class LogLineSplitter {
 public:
  // Adds `n` bytes; appends the lines they end to `lines`.
  void add(const char* bytes, size_t n, std::vector<LogLine>* lines);
  // The text has ended: appends its last line when that has no end.
  void end(std::vector<LogLine>* lines);

 private:
  enum class Encoding { unknown, ascii, utf16le };
  void take_text(const std::string& text, std::vector<LogLine>* lines);

  Encoding encoding_ = Encoding::unknown;
  std::string head_;  // the first bytes, until they tell the encoding
  std::string line_;  // the line not yet ended
  std::string odd_;   // UTF-16LE: the first byte of a character
};

// The lines of `bytes`, in order; an empty input has none.
std::vector<LogLine> split_log_lines(const std::string& bytes);

#endif  // FLASHPREP_RUNLOG_LOG_LINES_H_
