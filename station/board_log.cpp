#include "station/board_log.h"

#include <vector>

bool BoardLog::follow() {
  if (finished_)
    return false;
  if (!in_.is_open()) {
    in_.open(path_, std::ios::binary);
    if (!in_.is_open())
      return false;
  }
  // At the end of what it has, a stream stays failed: clear it and look
  // again from where the last read ended.
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(read_));
  std::vector<LogLine> lines;
  char chunk[65536];
  while (in_.read(chunk, sizeof chunk) || in_.gcount() > 0) {
    const auto n = static_cast<size_t>(in_.gcount());
    read_ += n;
    splitter_.add(chunk, n, &lines);
  }
  for (const LogLine& line : lines)
    reader_.take(line);
  return !lines.empty();
}

const Verdict& BoardLog::finish() {
  if (finished_)
    return verdict_;
  follow();
  std::vector<LogLine> last;
  splitter_.end(&last);
  for (const LogLine& line : last)
    reader_.take(line);
  verdict_ = judge(reader_.finish());
  finished_ = true;
  // Read whole: a port's last log must not hold a file open while it waits
  // for its next board.
  in_.close();
  return verdict_;
}
